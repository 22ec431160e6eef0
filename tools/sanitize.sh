#!/usr/bin/env bash
# Builds the native code with AddressSanitizer and UndefinedBehaviorSanitizer
# into build/asan/stage/torvo and runs the tests against it.  The interpreter
# itself is not instrumented, so ASan is preloaded and leak detection (which
# would report the interpreter's own allocations) is off.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
[ -x "$PY" ] || { echo "run ./test.sh first to create .venv" >&2; exit 1; }
"$PY" -m pip install -q nanobind cmake ninja

STAGE=build/asan/stage
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVO_SANITIZE=ON -DTORVO_OUTPUT_DIR="$PWD/$STAGE/torvo" \
  -DPython_EXECUTABLE="$PWD/$PY" > build/asan-configure.log
cmake --build build/asan

# The staged package: built modules plus links to the package's Python files.
ln -sfn "$PWD/torvo/sim" "$STAGE/torvo/sim"
for f in torvo/*.py torvo/*.pyi torvo/py.typed; do
  [ -e "$f" ] && ln -sf "$PWD/$f" "$STAGE/torvo/"
done

# libstdc++ is preloaded too: the interpreter loads it only later, and ASan must
# see it from the start to intercept the C++ exception machinery.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$PWD/$STAGE"
.venv/bin/pytest -q -m "not nosanitize" "$@"
