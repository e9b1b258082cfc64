#!/bin/sh
# private-ns.sh net|mnt: succeeds only when this process is in a network
# (mount) namespace other than that of PID 1. Callers change routes and
# mounts, so anything unreadable or equal counts as the machine's own.
# Root may be refused PID 1's namespace links: then its interface list (its
# mount table) must differ from ours.
kind=$1
self=$(readlink "/proc/self/ns/$kind" 2>/dev/null) init=$(readlink "/proc/1/ns/$kind" 2>/dev/null)
if [ -n "$self" ] && [ -n "$init" ]; then
  [ "$self" != "$init" ]
  exit
fi
case $kind in
  net)
    names() { awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' "$1" | sort; }
    init=$(names /proc/1/net/dev) && self=$(names /proc/self/net/dev) || exit 1
    [ -n "$init" ] && [ "$init" != "$self" ]
    ;;
  mnt)
    cmp -s /proc/1/mountinfo /proc/self/mountinfo
    [ $? -eq 1 ]
    ;;
  *) exit 2 ;;
esac
