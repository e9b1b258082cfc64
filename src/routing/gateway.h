#pragma once

#include <winsock2.h>
#include <iphlpapi.h>

#include <optional>
#include <string>

namespace talir {

// What a row of the forwarding table is to a ping route: only a Candidate
// leads past the tunnel. A default route through the TUN's adapter leads
// into the tunnel whatever its next hop; an on-link default elsewhere (next
// hop 0.0.0.0: a second VPN or a modem) has no gateway to send to. A next
// hop of 172.17.0.1 on another adapter is a LAN's gateway like any other.
enum class RouteRole { NotDefault, OnLink, IntoTunnel, Candidate };

// tunIndex: the interface that carries the TUN address, when there is one.
RouteRole ClassifyRoute(const MIB_IPFORWARDROW& row, std::optional<unsigned long> tunIndex);

// The candidate with the lowest metric, the first of equals; null when the
// table has none.
const MIB_IPFORWARDROW* ChooseDefaultRoute(const MIB_IPFORWARDTABLE& table,
                                           std::optional<unsigned long> tunIndex);

// The physical default gateway and its interface index, as text: both
// "Error" after a failed lookup.
struct GatewayPair {
    std::string gateway;
    std::string interfaceIndex;
};

// For a new ping route: the pair found before while a default route through
// it is still a candidate, else a fresh lookup (logged; a failed one is
// tried again at the next call).
GatewayPair GatewayForNewRoute();

// For removing a ping route: the pair as it stands (empty before any lookup);
// never looks up.
GatewayPair GatewayForRemoval();

}  // namespace talir
