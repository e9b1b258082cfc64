#!/bin/bash
# The library's main job, shown end to end on a fresh Debian 12 machine (as
# root): sets up, builds, and runs talirvpn.dll under Wine through its host
# CLI, in a temporary working folder whose lib_win holds a stand-in proxy
# core, inside a private network namespace that provides the TUN interface
# and a physical default route. Nothing leaves that namespace.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
bin=$BUILD_DIR/bin

if [ "${1:-}" != --steps ]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" >/dev/null
  exec unshare --net --mount -- "$root/tests/harness/session.sh" "$BUILD_DIR" "$0" --steps
fi

if ! "$root/tests/harness/private-ns.sh" net; then
  echo "refusing to change the machine's own routes: run scripts/demo.sh" >&2
  exit 1
fi

say() { printf '\n== %s\n' "$*"; }

say "Network namespace of the demo: a TUN with 172.17.0.1, a physical route via 192.0.2.1"
net=$(mktemp)
sh "$root/tests/harness/net.sh" tun tun 172.17.0.1 uplink phys 192.0.2.1 10 >"$net" || { cat "$net" >&2; exit 1; }
ip -br addr | sed 's/^/    /'
ip route | sed 's/^/    /'

work=$(mktemp -d /tmp/talirvpn-demo.XXXXXX)
mkdir "$work/lib_win"
cp "$bin/standins/talir_standin.exe" "$work/lib_win/sing-box.exe"
echo '{}' >"$work/lib_win/config.json"
# The stand-ins for the Windows tools that Wine lacks or stubs live in the
# prefix's system folder, where the library starts them from (wine-prefix.sh
# puts them there): they record in ran.txt what they received; route also
# applies the change to this namespace.
cd "$work"
say "Working folder $work"
# Wine's own filtering engine, not the stand-in that the suite leaves in the
# prefix's system folder: the leak guard shows what Wine answers.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;fwpuclnt=b"

coproc CLI { wine "$bin/talirvpn-cli.exe" 2>&1; }
# call LINE: one line to the host, then everything it prints up to the result.
call() {
  echo "$*" >&"${CLI[1]}"
  printf '  > %s\n' "$*"
  local line
  while IFS= read -r line <&"${CLI[0]}"; do
    line=${line%$'\r'}
    printf '    %s\n' "$line"
    [[ $line == *" -> "* ]] && break
  done
}

say "Start the proxy core"
call RunSingBox
for _ in $(seq 100); do [ -s lib_win/sing-box.started ] && break; sleep 0.1; done
echo "    the core recorded: $(cut -f2 lib_win/sing-box.started)"
# Under Wine the core is a Linux process that shows its Windows command line.
cores() { pgrep -fc '^lib_win/sing-box run' || true; }
ps -eo pid,args | grep '^ *[0-9]* lib_win/sing-box run' | sed 's/^/    ps: /'
echo "    running: $(cores) proxy core(s)"

say "Find the TUN interface and point the default route into it"
call GetSingInterface
call RedirectToTun "$(awk '$1 == "tun" { print $2 }' "$net")"

say "Route one address past the tunnel"
call CreatePingRoute 203.0.113.5
ip route show 203.0.113.5 | sed 's/^/    kernel: /'

say "The leak guard, after the routes (Wine's own filtering engine cannot be opened: its error is the answer)"
call StartLeakGuard

# doctor [--json]: the read-only report, from a process of its own.
doctor() {
  printf '  > talirvpn-cli doctor %s\n' "$*"
  # To a file: a Wine desktop process that the doctor may start inherits its
  # output and would hold a pipe open.
  local code=0
  wine "$bin/talirvpn-cli.exe" doctor "$@" >doctor.out 2>&1 || code=$?
  tr -d '\r' <doctor.out | sed 's/^/    /'
  echo "    (exit code $code)"
}
say "Doctor while connected (Wine's own firewall cannot be read: a note)"
doctor

say "Remove the ping route"
call DeletePingRoute 203.0.113.5
echo "    the route stand-in received:"
sed 's/^/      /' ran.txt
ip route | sed 's/^/    kernel: /'

say "Per-user proxy on port 1080, then off"
call SetSystemProxy 1080
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
wine reg query "$key" /v ProxyEnable 2>/dev/null | tr -d '\r' | grep Proxy | sed 's/^ */    registry: /'
wine reg query "$key" /v ProxyServer 2>/dev/null | tr -d '\r' | grep Proxy | sed 's/^ */    registry: /'
call SetSystemProxy
wine reg query "$key" /v ProxyEnable 2>/dev/null | tr -d '\r' | grep Proxy | sed 's/^ */    registry: /'

say "Single instance: this host is the first, a second host finds it"
call CheckAppRunning
echo "  > (second host) CheckAppRunning"
wine "$bin/talirvpn-cli.exe" CheckAppRunning 2>&1 | tr -d '\r' | sed 's/^/    /'

say "Stop the proxy core"
call StopSingBox
for _ in $(seq 100); do [ "$(cores)" = 0 ] && break; sleep 0.1; done
echo "    running: $(cores) proxy core(s)"

exec {CLI[1]}>&-
wait "$CLI_PID" 2>/dev/null || true

say "The library's log, lib_win/talirvpn_dll.log"
tr -d '\r' <lib_win/talirvpn_dll.log | sed 's/^/    /'

say "A simulated crash: a host connects, turns the proxy on, and is killed"
coproc CRASH { exec wine "$bin/talirvpn-cli.exe" 2>&1; }
printf 'RunSingBox\nRedirectToTun %s\nCreatePingRoute 203.0.113.5\nSetSystemProxy 1080\n' \
  "$(awk '$1 == "tun" { print $2 }' "$net")" >&"${CRASH[1]}"
while IFS= read -r line <&"${CRASH[0]}"; do [[ $line == "SetSystemProxy -> "* ]] && break; done
{ kill -9 "$CRASH_PID" && wait "$CRASH_PID"; } 2>/dev/null || true
for _ in $(seq 100); do [ "$(cores)" = 0 ] && break; sleep 0.1; done
echo "    host killed; running: $(cores) proxy core(s)"
doctor

say "The next host, at its start, puts back what the crashed one changed"
echo "  > (new host) RestoreNetwork"
wine "$bin/talirvpn-cli.exe" RestoreNetwork 2>&1 | tr -d '\r' | sed 's/^/    /'
doctor
ip route | sed 's/^/    kernel: /'
