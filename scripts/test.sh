#!/bin/bash
# Sets up, builds (the test build and the release package) and runs the
# whole test suite under Wine, inside private network and mount namespaces
# (nothing the tests route or mount leaves them), with an X display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
# The package tests check the release zip as its users get it. It is built
# while the other cases run: they mostly wait on Wine, not on the processor.
mkdir -p "$BUILD_DIR"
rm -f "$BUILD_DIR/package.status"
{ status=0; "$root/scripts/package.sh" >"$BUILD_DIR/package.log" 2>&1 || status=$?
  echo "$status" >"$BUILD_DIR/package.status"; } &
ctest=(ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error "$@")
exec unshare --net --mount -- "$root/tests/harness/session.sh" "$BUILD_DIR" bash -c '
  status=0
  "${@:2}" -E "^Package\." || status=$?
  while [ ! -f "$1/package.status" ]; do sleep 1; done
  if [ "$(cat "$1/package.status")" != 0 ]; then
    cat "$1/package.log" >&2
    exit 1
  fi
  "${@:2}" -R "^Package\." || status=$?
  exit $status' bash "$BUILD_DIR" "${ctest[@]}"
