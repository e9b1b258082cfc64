#!/bin/bash
# export-table.sh DEF OBJECT: the DLL's export table, written by dlltool from
# the .def as an object that lld links in as it is. (lld 14 numbers a .def's
# exports from ordinal base 0, with an empty slot 0; dlltool, like ld, starts
# at the lowest ordinal.) The table's time stamp is zeroed, as
# --no-insert-timestamp does for the rest of the DLL.
set -euo pipefail
x86_64-w64-mingw32-dlltool -d "$1" -e "$2"
offset=$(x86_64-w64-mingw32-objdump -h "$2" | awk '$2 == ".edata" { print $6 }')
printf '\0\0\0\0' | dd of="$2" bs=1 seek=$((16#$offset + 4)) conv=notrunc status=none
