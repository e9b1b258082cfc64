#!/bin/bash
# session.sh BUILD_DIR COMMAND...: runs COMMAND as one Wine session of the
# build tree's prefix, with an X display. Meant to run inside `unshare --net`:
# wineserver and its services then see only this namespace's adapters and
# routes.
set -euo pipefail
build=$1; shift
harness=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$build" "$@"
fi

! "$harness/private-ns.sh" net || ip link set lo up
# Wine gives every adapter the Linux resolver's servers: in the suite's own
# mount namespace, a documentation address, the same on every machine.
if "$harness/private-ns.sh" mnt; then
  echo 'nameserver 192.0.2.53' >"$build/resolv.conf" && mount --bind "$build/resolv.conf" /etc/resolv.conf
fi
# A wineserver of this prefix started elsewhere would answer for another
# network namespace.
for prefix in "$WINEPREFIX" "$build/wineprefix-2"; do
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
done
"$harness/wine-prefix.sh" "$build"
"$harness/wine-prefix.sh" "$build" "$build/wineprefix-2"
# Each case makes a working folder of its own there.
rm -rf "$build/bin/work"

# One server and one set of Wine's own services for the whole run, started
# apart from any output pipe: otherwise every test starts them anew, and they
# hold its output open until they exit. The same for the desktop process,
# which the first window call of a test would start with that test's
# handles (its output pipe, a file it redirects to) for a minute.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &

status=0
"$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
