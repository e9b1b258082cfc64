#!/bin/bash
# Builds the release package (scripts/package.sh), then the tests, their
# stand-ins and the benchmark around the zip's DLL and CLI, with the
# release's compiler (cmake/clang-mingw-w64-x86_64.cmake). The tests' Wine
# prefix is made meanwhile: wineboot mostly waits.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# A tree that another compiler configured starts afresh.
grep -qs '^CMAKE_TOOLCHAIN_FILE:.*/clang-mingw-w64-x86_64.cmake$' "$build/CMakeCache.txt" || rm -rf "$build"
mkdir -p "$build"
"$root/tests/harness/wine-prefix.sh" "$build" &
prefix=$!
# A second user of the machine, for the cases of two users' records.
"$root/tests/harness/wine-prefix.sh" "$build" "$build/wineprefix-2" &
prefix2=$!
"$root/scripts/package.sh" >/dev/null
# Ninja keeps both cores busy across the tree.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTALIRVPN_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
wait "$prefix" "$prefix2"
