#!/usr/bin/env bash
# Cross-builds for 64-bit Windows with MinGW-w64 g++ (POSIX threads), warnings
# as errors: the stand-in trader library as a DLL, a small program linked
# against its import library (the header's dllimport side), and every file
# outside vendor/ that talks to the operating system without including
# Python.h (CPython's Windows headers cannot be had here, so files that include
# Python.h are not checked; README.md, "Tests", lists those that touch the OS).
# Output in build/windows/.  Needs x86_64-w64-mingw32-g++-posix (Debian
# package g++-mingw-w64-x86-64-posix): installed in CI (CI=true), else the
# build is skipped (exit 77).
set -euo pipefail
cd "$(dirname "$0")/.."

# Files outside vendor/ that talk to the operating system (sockets, threads,
# clocks, processes) and include no Python or nanobind header, directly or
# through their headers.  Add such a file here when it is written.
OS_FILES=()
if [ -e _relay/wakeup.cpp ]; then OS_FILES+=(_relay/wakeup.cpp); fi

CXX=${WINDOWS_CXX:-x86_64-w64-mingw32-g++-posix}
source tools/need.sh
need "$CXX" g++-mingw-w64-x86-64-posix
OUT=build/windows
rm -rf "$OUT"
mkdir -p "$OUT/obj"
FLAGS=(-std=c++20 -O1 -Wall -Wextra -Werror -I vendor -I .)
echo "compiler: $("$CXX" --version | head -1)"

echo "building $OUT/thosttraderapi_se.dll from vendor/*.cpp"
objects=()
for src in vendor/*.cpp; do
  obj="$OUT/obj/$(basename "$src" .cpp).o"
  "$CXX" "${FLAGS[@]}" -DTHOST_TRADER_BUILDING -c "$src" -o "$obj"
  objects+=("$obj")
done
"$CXX" -shared -o "$OUT/thosttraderapi_se.dll" "${objects[@]}" \
  -Wl,--out-implib,"$OUT/libthosttraderapi_se.dll.a" -lws2_32

# The DLL must export the API's two entry points.
exports=$(x86_64-w64-mingw32-objdump -p "$OUT/thosttraderapi_se.dll")
for symbol in CreateFtdcTraderApi GetApiVersion; do
  grep -q "$symbol" <<<"$exports" || { echo "thosttraderapi_se.dll does not export $symbol" >&2; exit 1; }
done

echo "linking a user of the DLL through its import library"
cat > "$OUT/user.cpp" <<'CPP'
#include <cstdio>
#include "ThostFtdcTraderApi.h"
int main() {
    std::puts(CThostFtdcTraderApi::GetApiVersion());
    CThostFtdcTraderApi *api = CThostFtdcTraderApi::CreateFtdcTraderApi(".");
    if (api != nullptr) api->Release();
}
CPP
"$CXX" "${FLAGS[@]}" "$OUT/user.cpp" -o "$OUT/user.exe" -L"$OUT" -lthosttraderapi_se

for src in "${OS_FILES[@]}"; do
  echo "compiling $src"
  "$CXX" "${FLAGS[@]}" -c "$src" -o "$OUT/obj/$(echo "$src" | tr / _).o"
done
echo "windows build: ${#objects[@]} vendor files, DLL linked; ${#OS_FILES[@]} other files: ${OS_FILES[*]:-none}"
