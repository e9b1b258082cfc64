#!/bin/bash
# consumer.sh PACKAGE BUILD_DIR: builds consumer/ as a host application's
# developer would, in a folder outside this tree, with clang and mingw-w64 against the
# unpacked PACKAGE, and runs it under Wine in BUILD_DIR's prefix.
set -euo pipefail
package=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$here/consumer" "$work/src"
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$here/../../cmake/clang-mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$package" >/dev/null
cmake --build "$work/build"
mkdir -p "$work/run/lib_win"
cd "$work/run"
"$build/wine-run.sh" "$work/build/host.exe"
