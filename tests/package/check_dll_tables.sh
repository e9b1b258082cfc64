#!/bin/bash
# check_dll_tables.sh DLL: the DLL imports only Windows system DLLs, and
# exports exactly its names with their fixed ordinals, nothing else.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
status=0

imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$dump" | sort -u)
echo "imports: $(echo $imports)"
for name in $imports; do
  case $name in
    kernel32.dll|user32.dll|advapi32.dll|ole32.dll|oleaut32.dll|iphlpapi.dll|ws2_32.dll|msvcrt.dll|api-ms-win-*) ;;
    *) echo "FAIL: imports non-system DLL $name"; status=1 ;;
  esac
done

expected="1 AddFirewallRule
2 AddXrayFirewallRule
3 AssignToJobObject
4 CheckAppRunning
5 CheckFirewallRule
6 CheckXrayFirewallRule
7 CleanProxy
8 CreatePingRoute
9 DeleteAutorun
10 DeleteFirewallRule
11 DeletePingRoute
12 DeleteXrayFirewallRule
13 FreeString
14 GetSingInterface
15 RedirectToTun
21 RestoreNetwork
16 RunSingBox
17 SetSystemProxy
22 StartLeakGuard
23 StopLeakGuard
18 StopSingBox
19 TruncateDllLog
20 TruncateSingLog"

base=$(awk '/^Ordinal Base/{print $3; exit}' <<<"$dump")
# "[   3] CheckAppRunning": the ordinal less the base, and the name.
actual=$(awk -v base="$base" '/\[Ordinal\/Name Pointer\] Table/{f=1;next}
  f&&/^[ \t]*\[/{gsub(/[][]/," "); print $1+base, $2; next} f{f=0}' <<<"$dump")
# Ordinals without a name would not show above: count every address slot.
slots=$(awk '/^Export Address Table -- Ordinal Base/{f=1;next} f&&/^[ \t]*\[/{n++} f&&/^$/{f=0} END{print n+0}' <<<"$dump")
if [ "$base" != 1 ]; then echo "FAIL: ordinal base is $base, not 1"; status=1; fi
if [ "$slots" != 23 ]; then echo "FAIL: $slots exported addresses, not 23"; status=1; fi
if [ "$actual" != "$expected" ]; then
  echo "FAIL: export table differs:"
  diff <(echo "$expected") <(echo "$actual") || true
  status=1
fi
echo "exports: $(wc -l <<<"$actual") names, $slots addresses, ordinal base $base"
exit $status
