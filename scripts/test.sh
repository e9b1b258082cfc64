#!/bin/bash
# Sets up, builds (the release package, then the tests around its DLL) and
# runs the whole test suite under Wine, inside private network and mount
# namespaces (nothing the tests route or mount leaves them), with an X
# display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec unshare --net --mount -- "$root/tests/harness/session.sh" "$BUILD_DIR" \
  ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error "$@"
