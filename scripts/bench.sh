#!/bin/bash
# Sets up, builds and runs the benchmark: each export against the bare
# Windows work it must do, and the growth of cost with the size of the work.
# Writes BENCHMARKS.md. Inside private network namespaces with a TUN
# (172.17.0.1) and, for the full run, a physical default route via
# 192.0.2.1; nothing leaves them. With TALIRVPN_BEFORE=REV, the ping routes
# are also timed beside those of the release package built at REV.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
iterations=${1:-2000}

if [ "${2:-}" != --inside ]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" >/dev/null
  cmake --build "$BUILD_DIR" --target talirvpn-bench -j"$(nproc)" >/dev/null
  rm -f "$BUILD_DIR/bin/talirvpn_before.dll"
  if [ -n "${TALIRVPN_BEFORE:-}" ]; then
    before=$(mktemp -d)
    git -C "$root" worktree add --detach "$before/tree" "$TALIRVPN_BEFORE" >/dev/null
    "$before/tree/scripts/package.sh" >/dev/null
    unzip -p "$before"/tree/dist/*.zip bin/talirvpn.dll >"$BUILD_DIR/bin/talirvpn_before.dll"
    git -C "$root" worktree remove --force "$before/tree"
    rm -rf "$before"
  fi
  # The 1 GiB log is sparse where the file system allows; room for it
  # all the same.
  [ "$(df --output=avail -k "$BUILD_DIR" | tail -1)" -gt $((2 * 1024 * 1024)) ] ||
    { echo "bench.sh: less than 2 GiB free for the log trims" >&2; exit 1; }
  # Wine lists every adapter it has seen in a session: the adapters' sizes
  # first, in a session and namespace of their own.
  unshare --net -- "$root/tests/harness/session.sh" "$BUILD_DIR" "$0" "$iterations" --inside --adapters
  exec unshare --net -- "$root/tests/harness/session.sh" "$BUILD_DIR" "$0" "$iterations" --inside
fi

net=$(mktemp)
cd "$root"
if [ "${3:-}" = --adapters ]; then
  sh "$root/tests/harness/net.sh" tun tun 172.17.0.1 >"$net" || { cat "$net" >&2; exit 1; }
  exec "$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/talirvpn-bench.exe" --adapters "$iterations"
fi

sh "$root/tests/harness/net.sh" tun tun 172.17.0.1 uplink phys 192.0.2.1 10 >"$net" || { cat "$net" >&2; exit 1; }
# As the tests run it: with the stand-ins for what Wine lacks or stubs
# (WinINet's per-connection options, the dial-up entries).
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }
before=
[ ! -f "$BUILD_DIR/bin/talirvpn_before.dll" ] || before=$(windows "$BUILD_DIR/bin/talirvpn_before.dll")
"$BUILD_DIR/wine-run.sh" "$BUILD_DIR/bin/talirvpn-bench.exe" "$iterations" "$(windows "$root/BENCHMARKS.md")" \
  ${before:+"$before"}
cat "$root/BENCHMARKS.md"
