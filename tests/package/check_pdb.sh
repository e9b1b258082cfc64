#!/bin/bash
# check_pdb.sh BIN: the DLL and the CLI carry no DWARF, and BIN/talirvpn.pdb
# is the one the DLL names (the same GUID and age, no folder in the name)
# and still names the library's functions.
set -euo pipefail
for binary in "$1/talirvpn.dll" "$1/talirvpn-cli.exe"; do
  dwarf=$(x86_64-w64-mingw32-objdump -h "$binary" | awk '$2 ~ /^\.debug_/ { print $2 }')
  [ -z "$dwarf" ] || { echo "FAIL: $binary carries" $dwarf; exit 1; }
done
reference=$(x86_64-w64-mingw32-objdump -p "$1/talirvpn.dll" | grep RSDS)
echo "DLL: $reference"
pdb=$(llvm-pdbutil-14 dump -summary "$1/talirvpn.pdb")
guid=$(awk '/GUID:/ { gsub(/[{}-]/, "", $2); print tolower($2) }' <<<"$pdb")
age=$(awk '/Age:/ { print $2 }' <<<"$pdb")
echo "PDB: GUID $guid age $age"
[[ $reference == *"signature $guid age $age pdb talirvpn.pdb)" ]]
procedures=$(llvm-pdbutil-14 dump -symbols "$1/talirvpn.pdb" | grep -E 'S_[GL]PROC32 .*`talir::')
echo "PDB: $(wc -l <<<"$procedures") procedures of talir::"
grep -q '`talir::RunSingBox`' <<<"$procedures"
