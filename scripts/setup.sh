#!/bin/bash
# Installs what building and testing need on Debian 12 (run as root).
# wine64-preloader (only suggested by wine64) reserves Wine's fixed address
# ranges before the C library places its randomised heap: without it about
# one Wine process start in 8,000 dies on a heap that covers the shared user
# page, and its parent's CreateProcess fails with error 1359.
set -euo pipefail

packages=(cmake make ninja-build g++-mingw-w64-x86-64-posix wine wine64 wine64-preloader xvfb xauth iproute2 googletest util-linux
          clang-14 lld-14 llvm-14 zip unzip)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
