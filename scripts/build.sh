#!/bin/bash
# Configures and builds the DLL, the host CLI, the tests and their stand-ins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# TOOLCHAIN=clang-mingw-w64-x86_64 builds with the release's compiler.
toolchain=$root/cmake/${TOOLCHAIN:-mingw-w64-x86_64}.cmake
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
