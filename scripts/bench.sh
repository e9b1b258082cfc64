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

if ! "$root/tests/harness/private-ns.sh" net; then
  echo "refusing to change the machine's own routes: run scripts/bench.sh" >&2
  exit 1
fi
ip tuntap add dev tun0 mode tun
ip addr add 172.17.0.1/24 dev tun0
ip link set tun0 up
ip link add phys0 type veth peer name phys1
ip addr add 192.0.2.2/24 dev phys0
ip link set phys0 up
ip link set phys1 up
ip route add default via 192.0.2.1 dev phys0 metric 10

cd "$root"
wine "$BUILD_DIR/bin/talirvpn-bench.exe" "$iterations" 'Z:'"$(echo "$root/BENCHMARKS.md" | tr / '\\')"
cat "$root/BENCHMARKS.md"
