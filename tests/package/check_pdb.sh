#!/bin/bash
# check_pdb.sh BIN: BIN/talirvpn.pdb is the one the DLL beside it names: the
# same GUID and age, and no folder in the name.
set -euo pipefail
reference=$(x86_64-w64-mingw32-objdump -p "$1/talirvpn.dll" | grep RSDS)
echo "DLL: $reference"
pdb=$(llvm-pdbutil-14 dump -summary "$1/talirvpn.pdb")
guid=$(awk '/GUID:/ { gsub(/[{}-]/, "", $2); print tolower($2) }' <<<"$pdb")
age=$(awk '/Age:/ { print $2 }' <<<"$pdb")
echo "PDB: GUID $guid age $age"
[[ $reference == *"signature $guid age $age pdb talirvpn.pdb)" ]]
