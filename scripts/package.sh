#!/bin/bash
# Builds the release in a clean folder (build-release/) and writes
# dist/talirvpn-VERSION-win64.zip and dist/SHA256SUMS. The release is built
# with clang and lld (cmake/clang-mingw-w64-x86_64.cmake), which write the
# PDB. Two runs on one commit give the same bytes: the zip lists its files in
# a fixed order, with the commit's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != --at-fixed-path ]; then
  "$root/scripts/setup.sh"
  # The PDB keeps the compiler's command lines, folders and all: the build
  # sees this tree at /mnt/talirvpn, in a mount namespace of its own, wherever
  # the tree is.
  exec unshare --mount -- bash -c 'mount -t tmpfs talirvpn /mnt && mkdir /mnt/talirvpn &&
    mount --bind "$0" /mnt/talirvpn && exec /mnt/talirvpn/scripts/package.sh --at-fixed-path' "$root"
fi
build=$root/build-release
dist=$root/dist

# The caller's compiler search paths stay out of the release.
unset CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH LIBRARY_PATH
rm -rf "$build" "$dist"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTALIRVPN_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
cmake --install "$build" --prefix "$build/stage" >/dev/null

[ -z "$(git -C "$root" status --porcelain)" ] ||
  echo "warning: uncommitted changes: this package is not the commit's" >&2
epoch=$(git -C "$root" log -1 --format=%ct)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=talirvpn-$version-win64.zip
mkdir -p "$dist"
find "$build/stage" -exec touch -h -d "@$epoch" {} +
# Zip keeps local time: UTC makes it the same everywhere. -X leaves out the
# owner and the extra time fields.
(cd "$build/stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort |
  TZ=UTC zip -X -D -q -9 "$dist/$zip" -@)
(cd "$dist" && sha256sum "$zip" >SHA256SUMS)
unzip -v "$dist/$zip" | sed '1,2d'
cat "$dist/SHA256SUMS"
