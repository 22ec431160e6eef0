#!/usr/bin/env bash
# Builds the libFuzzer harnesses into build/fuzz/ with clang++, AddressSanitizer
# and UndefinedBehaviorSanitizer, straight from the sources they test.
#   wire_frames     vendor/wire.cpp, records.cpp, callbacks.cpp
#   relay_records   _relay/module.cpp, records.cpp, spi.cpp, request.cpp, wakeup.cpp, with the
#                   interpreter embedded (PYTHON_CONFIG picks it; default: the
#                   one behind .venv, else python3-config)
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=${FUZZ_CXX:-clang++}
OUT=build/fuzz
mkdir -p "$OUT"

if [ -z "${PYTHON_CONFIG:-}" ]; then
  PYTHON_CONFIG=python3-config
  if [ -x .venv/bin/python ]; then
    base=$(.venv/bin/python -c 'import sys; print(getattr(sys, "_base_executable", sys.executable))')
    version=$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    for candidate in "$(dirname "$base")/python$version-config" "python$version-config"; do
      if command -v "$candidate" >/dev/null 2>&1; then PYTHON_CONFIG=$candidate; break; fi
    done
  fi
fi

FLAGS=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -Wall -Wextra -I vendor -I .)

echo "building $OUT/wire_frames"
"$CXX" "${FLAGS[@]}" fuzz/wire_frames.cpp vendor/wire.cpp vendor/records.cpp vendor/callbacks.cpp \
  -o "$OUT/wire_frames"

echo "building $OUT/relay_records (interpreter of $PYTHON_CONFIG)"
# shellcheck disable=SC2046  # the configuration's flags are word lists
"$CXX" "${FLAGS[@]}" -DTORVO_C_API_ONLY $("$PYTHON_CONFIG" --includes) fuzz/relay_records.cpp \
  _relay/module.cpp _relay/records.cpp _relay/spi.cpp _relay/request.cpp _relay/wakeup.cpp \
  -o "$OUT/relay_records" $("$PYTHON_CONFIG" --embed --ldflags)
