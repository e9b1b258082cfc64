#!/bin/bash
# Checks that a release is reproducible: builds the package of this commit
# twice, from clean clones in two different folders, and compares the bytes
# of the zip, the DLL (with its reference to the PDB) and the PDB. Takes a
# minute or two; not part of scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse HEAD)
work=$(mktemp -d)

for clone in a "b/a-longer-folder"; do
  git clone -q "$root" "$work/$clone"
  git -C "$work/$clone" checkout -q "$commit"
  bash "$work/$clone/scripts/package.sh" >/dev/null
done

status=0
for file in dist/*.zip build-release/bin/talirvpn.dll build-release/bin/talirvpn.pdb; do
  hashes=$(cd "$work" && sha256sum a/$file b/a-longer-folder/$file)
  echo "$hashes"
  if [ "$(awk '{ print $1 }' <<<"$hashes" | uniq | wc -l)" != 1 ]; then
    echo "DIFFERENT: $file"
    status=1
  fi
done
x86_64-w64-mingw32-objdump -p "$work/a/build-release/bin/talirvpn.dll" | grep RSDS
if [ $status = 0 ]; then
  echo "same bytes from both clones of $commit"
  rm -rf "$work"
else
  echo "both builds kept in $work"
fi
exit $status
