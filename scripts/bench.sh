#!/bin/bash
# Sets up, builds and runs the benchmark: each export against the bare
# Windows work it must do. Writes BENCHMARKS.md. Inside a private network
# namespace with a TUN (172.17.0.1) and a physical default route via
# 192.0.2.1; nothing leaves it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
iterations=${1:-2000}

if [ "${2:-}" != --inside ]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" >/dev/null
  exec unshare --net -- "$root/tests/harness/session.sh" "$BUILD_DIR" "$0" "$iterations" --inside
fi

net=$(mktemp)
sh "$root/tests/harness/net.sh" "$net" tun tun 172.17.0.1 uplink phys 192.0.2.1 10
grep -qx 'status 0' "$net" || { cat "$net" >&2; exit 1; }

cd "$root"
wine "$BUILD_DIR/bin/talirvpn-bench.exe" "$iterations" 'Z:'"$(echo "$root/BENCHMARKS.md" | tr / '\\')"
cat "$root/BENCHMARKS.md"
