#!/bin/bash
# Configures and builds the DLL, the host CLI, the tests and their stand-ins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# TOOLCHAIN=clang-mingw-w64-x86_64 builds with the release's compiler.
toolchain=$root/cmake/${TOOLCHAIN:-mingw-w64-x86_64}.cmake
# Ninja keeps both cores busy across the tree (a tree configured before
# keeps its generator).
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
