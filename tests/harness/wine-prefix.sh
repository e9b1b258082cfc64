#!/bin/bash
# wine-prefix.sh BUILD_DIR: creates the build tree's Wine prefix once and
# registers the stand-ins the tests bring.
set -euo pipefail
build=$1
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec 9>"$build/wineprefix.lock"
flock 9
if [ ! -f "$WINEPREFIX/.talir-ready" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.talir-ready"
fi
