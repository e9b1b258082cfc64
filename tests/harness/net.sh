#!/bin/sh
# net.sh STEP...: the network of the routing tests, built in their private
# namespace. Prints one line per interface made ("NAME INDEX [GATEWAY
# METRIC]"); exits 77 in the machine's own namespace.
#
# Steps, run in order:
#   reset                         removes every interface but lo (and so
#                                 every route through them)
#   tun NAME ADDRESS|-            a TUN interface carrying ADDRESS (or no
#                                 address), up
#   default NAME GATEWAY|- METRIC a default route on NAME's interface via
#                                 GATEWAY (taken as on-link), or with none:
#                                 what Windows lists with next hop 0.0.0.0
#   drop NAME                     removes NAME's interface and its routes
#   uplink NAME GATEWAY METRIC    a veth pair; NAME gets the address after
#                                 GATEWAY (in 192.0.2.0/24) and a default
#                                 route via GATEWAY with METRIC
#   uplink-listed-first NAME GATEWAY METRIC
#                                 the same, but the kernel lists this default
#                                 route before the others whatever its metric
#   hosts NAME COUNT              exactly COUNT host routes in 198.18.0.0/15
#                                 (kept for benchmarks) on NAME's interface,
#                                 given to ip at once; 0 removes them
#   route add|delete DEST/MASK GATEWAY INDEX
#                                 what route.exe applies ("-": none given);
#                                 the last step

# Never touch the machine's own network.
sh "$(dirname "$0")/private-ns.sh" net || exit 77

# /sys/class/net shows the namespace that mounted /sys, not this one: ask ip.
links() { ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $1, $2 }'; }
index_of() { links | awk -v n="$1" '$2 == n { print $1 }'; }
device() { links | awk -v n="$1" '$2 ~ "^" n "-[0-9]+$" { print $2 }'; }
name_of_index() { links | awk -v i="$1" '$1 == i { print $2; found = 1 } END { exit !found }'; }

# Wine keeps the index that it first saw for an interface name for the
# whole session, so a name is never used twice: each interface is named
# after its index, and the tests know it by the name they gave.
fresh() {  # NAME: renames the new interface "new" to NAME-INDEX
  index=$(index_of new) && dev=$1-$index && ip link set new name "$dev"
}

uplink() {  # NAME GATEWAY METRIC [EXTRA...]
  name=$1 gateway=$2 metric=$3; shift 3
  ip link add new type veth peer name newpeer && fresh "$name" &&
  ip link set newpeer name "${dev}p" && ip link set "$dev" up && ip link set "${dev}p" up &&
  ip addr add "${gateway%.*}.$((${gateway##*.} + 1))/24" dev "$dev" &&
  ip route add default via "$gateway" dev "$dev" metric "$metric" "$@" &&
  echo "$name $index $gateway $metric" && echo "${name}p $(index_of "${dev}p")"
}

route() {  # add|delete DEST/MASK GATEWAY|- INDEX|-
  verb=$1 destination=$2 gateway=${3#-} index=${4#-}
  set --
  if [ -n "$index" ]; then
    dev=$(name_of_index "$index") || return 1
    set -- dev "$dev"
    # Linux refuses a next hop that is the interface's own address (the
    # tunnel's 172.17.0.1): such a route is on-link from that address, and
    # Wine shows it with that next hop.
    if [ -n "$gateway" ] && ip -o -4 addr show dev "$dev" | grep -q " inet $gateway/"; then
      [ "$verb" = add ] && set -- "$@" src "$gateway" metric 1
      gateway=
    fi
  fi
  [ -n "$gateway" ] && set -- via "$gateway" "$@"
  ip route "$verb" "$destination" "$@"
}

while [ $# -gt 0 ]; do
  step=$1; shift
  case $step in
    reset)
      for dev in $(links | awk '$2 != "lo" { print $2 }'); do
        # Deleting one end of a veth pair takes the other with it.
        ! index_of "$dev" | grep -q . || ip link del "$dev" || exit 1
      done
      ;;
    tun)
      ip tuntap add dev new mode tun && fresh "$1" && { [ "$2" = - ] || ip addr add "$2/32" dev "$dev"; } &&
        ip link set "$dev" up && echo "$1 $index" || exit 1
      shift 2
      ;;
    default)
      dev=$(device "$1")
      if [ "$2" = - ]; then ip route add default dev "$dev" metric "$3" || exit 1
      else ip route add default via "$2" dev "$dev" onlink metric "$3" || exit 1; fi
      shift 3
      ;;
    drop)
      ip link del "$(device "$1")" || exit 1
      shift
      ;;
    uplink)
      uplink "$1" "$2" "$3" || exit 1
      shift 3
      ;;
    uplink-listed-first)
      # The kernel lists routes with a type of service ahead of plain ones
      # of the same destination; Wine reads them in that order.
      uplink "$1" "$2" "$3" tos 0x10 || exit 1
      shift 3
      ;;
    hosts)
      dev=$(device "$1") && ip route flush root 198.18.0.0/15 &&
        awk -v n="$2" -v dev="$dev" 'BEGIN { for (i = 1; i <= n; i++)
          printf "route add 198.%d.%d.%d/32 dev %s\n", 18 + int(i / 65536), int(i / 256) % 256, i % 256, dev }' |
        ip -batch - || exit 1
      shift 2
      ;;
    route)
      route "$@"
      exit $?
      ;;
    *)
      echo "net.sh: unknown step $step" >&2
      exit 2
      ;;
  esac
done
exit 0
