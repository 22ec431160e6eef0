#!/usr/bin/env bash
# Runs every test pass and prints a table of the passes, their results and
# times.  Works on a fresh machine with python3 (3.11+) and g++; arguments go to
# pytest.  The passes, in order (README.md, "Tests", says what each checks):
#   main      the suite on $PYTHON (default python3) in .venv
#   3.12 3.13 the suite on those CPythons when found (TORVO_MIDDLE_PYTHONS=1)
#   sanitize  the suite against an ASan + UBSan build (tools/sanitize.sh)
#   py314     the suite on CPython 3.14 in a Debian unstable root (tools/py314.sh)
#   windows   the Windows cross-build (tools/windows.sh)
#   fuzz      45 s of fuzzing per harness (fuzz/run.sh)
# A pass that cannot run here is skipped with its reason; system packages are
# installed only in CI (CI=true).  Every pass runs even after one failed; the
# exit status is 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")"

# Creates venv $1 with interpreter $2, installs the package and runs the tests.
# Run from the project root with the pytest script (not `python -m pytest`), so
# `import torvo` finds the installed package rather than the source folder.
run_tests() {
  local venv=$1 python=$2
  shift 2
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q '.[test]'
  echo "tests on $("$venv/bin/python" --version) in $venv"
  "$venv/bin/pytest" -q "$@"
}

# The interpreter for version $1, if this machine has a working one.
find_python() {
  local candidate
  for candidate in "python$1" $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/"python$1" 2>/dev/null); do
    if "$candidate" -c 'import venv' >/dev/null 2>&1; then
      echo "$candidate"
      return
    fi
  done
}

# The fuzzers need clang++ and clang's libFuzzer runtime (Debian:
# libclang-rt-N-dev, N being clang's major version).
fuzz() {
  source tools/need.sh
  need clang++ clang
  local major dir
  major=$(clang++ -dumpversion | cut -d. -f1)
  dir=$(clang++ -print-runtime-dir)
  if ! ls "$dir"/libclang_rt.fuzzer*.a >/dev/null 2>&1; then
    install_packages "clang's libFuzzer runtime" "libclang-rt-$major-dev"
    ls "$dir"/libclang_rt.fuzzer*.a >/dev/null 2>&1 || { echo "no libFuzzer runtime in $dir" >&2; exit 1; }
  fi
  bash fuzz/run.sh 45
}

note=$(mktemp)
trap 'rm -f "$note"' EXIT
export TORVO_SKIP_NOTE=$note
names=() results=() times=()
failed=()

record() {  # record NAME RESULT SECONDS
  names+=("$1") results+=("$2") times+=("$3")
}

# pass NAME WHAT COMMAND...: runs one pass with a header; exit status 77 is a
# skip whose reason the command wrote to $TORVO_SKIP_NOTE.
pass() {
  local name=$1 what=$2 start=$SECONDS status
  shift 2
  echo
  echo "==== pass $name: $what"
  : > "$note"
  set +e
  (set -e; "$@")
  status=$?
  set -e
  case $status in
    0) record "$name" passed $((SECONDS - start)) ;;
    77) record "$name" "skipped: $(cat "$note")" $((SECONDS - start)) ;;
    *) record "$name" "failed (exit $status)" $((SECONDS - start)); failed+=("$name") ;;
  esac
  echo "==== pass $name: ${results[-1]} in ${times[-1]} s"
}

skip_pass() {  # skip_pass NAME REASON
  echo
  echo "==== pass $1 skipped: $2"
  record "$1" "skipped: $2" 0
}

python=${PYTHON:-python3}
pass main "the suite on $("$python" --version 2>&1) ($python) in .venv" run_tests .venv "$python" "$@"
main_version=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)

for version in 3.12 3.13; do
  if [ "$version" = "$main_version" ]; then continue
  elif [ "${TORVO_SKIP_OTHER_PYTHONS:-0}" = 1 ]; then skip_pass "$version" "TORVO_SKIP_OTHER_PYTHONS=1"
  elif [ "${TORVO_MIDDLE_PYTHONS:-0}" != 1 ]; then skip_pass "$version" "opt-in (TORVO_MIDDLE_PYTHONS=1)"
  else
    found=$(find_python "$version")
    if [ -n "$found" ]; then
      pass "$version" "the suite on $("$found" --version) ($found) in .venv-$version" run_tests ".venv-$version" "$found" "$@"
    else
      skip_pass "$version" "no CPython $version on this machine"
    fi
  fi
done

if [ "${TORVO_SKIP_SANITIZE:-0}" = 1 ]; then skip_pass sanitize "TORVO_SKIP_SANITIZE=1"
else pass sanitize "the suite against an AddressSanitizer + UndefinedBehaviorSanitizer build on .venv's Python" \
  bash tools/sanitize.sh "$@"
fi

if [ "${TORVO_SKIP_PY314:-0}" = 1 ]; then skip_pass py314 "TORVO_SKIP_PY314=1"
elif [ "${TORVO_SKIP_OTHER_PYTHONS:-0}" = 1 ]; then skip_pass py314 "TORVO_SKIP_OTHER_PYTHONS=1"
elif [ "$main_version" = 3.14 ]; then skip_pass py314 "the main pass ran on 3.14"
else pass py314 "the suite on CPython 3.14 in a Debian unstable root (tools/py314.sh)" bash tools/py314.sh "$@"
fi

if [ "${TORVO_SKIP_WINDOWS:-0}" = 1 ]; then skip_pass windows "TORVO_SKIP_WINDOWS=1"
else pass windows "Windows x64 cross-build with MinGW-w64, warnings as errors (tools/windows.sh)" bash tools/windows.sh
fi

if [ "${TORVO_SKIP_FUZZ:-0}" = 1 ]; then skip_pass fuzz "TORVO_SKIP_FUZZ=1"
else pass fuzz "libFuzzer, 45 s per harness (fuzz/run.sh 45)" fuzz
fi

echo
echo "==== summary"
printf '| %-8s | %-66s | %7s |\n' pass result seconds
for i in "${!names[@]}"; do
  printf '| %-8s | %-66s | %7s |\n' "${names[i]}" "${results[i]}" "${times[i]}"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "test.sh: FAILED: ${failed[*]}"
  exit 1
fi
echo "test.sh: no pass failed"
