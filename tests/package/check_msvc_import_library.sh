#!/bin/bash
# check_msvc_import_library.sh PACKAGE: lib/talirvpn.lib names every export of
# bin/talirvpn.dll, for talirvpn.dll, and lld-link resolves an MSVC object's
# calls against it into imports from talirvpn.dll.
set -euo pipefail
package=$1
exports=$(x86_64-w64-mingw32-objdump -p "$package/bin/talirvpn.dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ { f = 1; next } f && /^\t\[/ { print $3; next } f { f = 0 }' | sort)
imports=$(llvm-nm-14 "$package/lib/talirvpn.lib" | awk '$3 ~ /^__imp_/ { sub(/^__imp_/, "", $3); print $3 }' | sort -u)
echo "import library: $(wc -l <<<"$imports") names; DLL: $(wc -l <<<"$exports") exports"
[ "$(wc -l <<<"$exports")" = 23 ]
diff <(echo "$exports") <(echo "$imports")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/host.c" <<'C'
__declspec(dllimport) char *GetSingInterface(void);
__declspec(dllimport) void FreeString(void *text);
const char *CheckFirewallRule(void); /* no dllimport: through the library's thunk */
int mainCRTStartup(void) {
    FreeString(GetSingInterface());
    return CheckFirewallRule() != 0;
}
C
clang-14 --target=x86_64-pc-windows-msvc -c "$work/host.c" -o "$work/host.obj"
lld-link-14 -nologo -nodefaultlib -entry:mainCRTStartup -subsystem:console \
  -out:"$work/host.exe" "$work/host.obj" "$package/lib/talirvpn.lib"
linked=$(llvm-readobj-14 --coff-imports "$work/host.exe" | awk '/Name:/ { print $2 } /Symbol:/ { print $2 }' | sort)
echo "host.exe imports: $(echo $linked)"
[ "$linked" = "$(printf '%s\n' CheckFirewallRule FreeString GetSingInterface talirvpn.dll)" ]
