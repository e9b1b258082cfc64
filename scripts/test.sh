#!/bin/bash
# Sets up, builds and runs the whole test suite under Wine, inside a private
# network namespace (nothing the tests route leaves it) with an X display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec unshare --net -- "$root/tests/harness/session.sh" "$BUILD_DIR" \
  ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error "$@"
