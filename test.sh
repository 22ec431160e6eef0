#!/usr/bin/env bash
# Installs torvo and its test dependencies into .venv and runs every test;
# then runs them again on every other CPython 3.12+ found on the machine, and
# against a build with AddressSanitizer and UndefinedBehaviorSanitizer, and
# fuzzes for a short while when clang++ is there.  Works on a fresh machine
# with python3 (3.11+) and g++.  Arguments go to pytest.
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
  echo "== tests on $("$venv/bin/python" --version)"
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

run_tests .venv "${PYTHON:-python3}" "$@"

if [ "${TORVO_SKIP_OTHER_PYTHONS:-0}" != 1 ]; then
  main_version=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  for version in 3.12 3.13 3.14; do
    [ "$version" = "$main_version" ] && continue
    python=$(find_python "$version")
    [ -n "$python" ] && run_tests ".venv-$version" "$python" "$@"
  done
fi

if [ "${TORVO_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  bash tools/sanitize.sh "$@"
fi

# A short coverage-guided fuzzing pass over the wire decoder and the bridge's
# record conversions (fuzz/README.md): 45 s per harness, under 2 minutes with the build.
if [ "${TORVO_SKIP_FUZZ:-0}" != 1 ]; then
  if command -v clang++ >/dev/null 2>&1; then
    echo "== fuzzing (libFuzzer)"
    bash fuzz/run.sh 45
  else
    echo "== fuzzing skipped: clang++ is not installed (TORVO_SKIP_FUZZ=1 silences this)"
  fi
fi
