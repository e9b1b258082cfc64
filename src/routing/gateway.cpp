#include "routing/gateway.h"

#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"
#include "routing/tun_interface.h"
#include "toolkit/lock.h"

#include <ws2tcpip.h>

namespace talir {
namespace {

// The found pair, shared by every ping route of the process; guarded, with
// its lookup, by gatewayLock. The numbers are those of the row it came from.
SRWLOCK gatewayLock = SRWLOCK_INIT;
std::string DefaultGateway;
std::string DefaultInterface;
DWORD foundNextHop = 0;
DWORD foundInterface = 0;

std::optional<unsigned long> TunIndex() {
    unsigned long index = 0;
    if (FindTunInterface(index) == TunLookup::Found) return index;
    return std::nullopt;
}

void Fail(const std::string& message) {
    WriteLog("Error getting default gateway / interface: " + message);
    DefaultGateway = "Error";
    DefaultInterface = "Error";
}

void GetDefaultGatewayAndInterface() {
    WriteLog("Start getting default gateway / interface.");

    const ForwardTable read = ReadForwardTable();
    switch (read.status) {
    case ForwardTable::Status::Ok:
        break;
    case ForwardTable::Status::NoMemory:
        return Fail("Memory allocation error.");
    case ForwardTable::Status::NoMemoryForRows:
        return Fail("insufficient buffer.");
    case ForwardTable::Status::Failed:
        return Fail("couldn't get the routing table: " + read.errorText);
    }
    if (read.table->dwNumEntries == 0) return Fail("routing table is empty.");
    const MIB_IPFORWARDROW* best = ChooseDefaultRoute(*read.table, TunIndex());
    if (best == nullptr) return Fail("no default route.");

    IN_ADDR nextHop{};
    nextHop.S_un.S_addr = best->dwForwardNextHop;
    char gateway[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &nextHop, gateway, sizeof gateway);
    // Both or neither: the swaps cannot fail half-way.
    std::string gatewayText = gateway;
    std::string interfaceText = std::to_string(best->dwForwardIfIndex);
    DefaultGateway.swap(gatewayText);
    DefaultInterface.swap(interfaceText);
    foundNextHop = best->dwForwardNextHop;
    foundInterface = best->dwForwardIfIndex;
}

bool Found() {
    return !DefaultGateway.empty() && !DefaultInterface.empty() && DefaultGateway != "Error" &&
           DefaultInterface != "Error";
}

// Whether the found pair still leads out: the machine may have moved to
// another network since. A table that cannot be read keeps it.
bool FoundPairHolds() {
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) return true;
    const std::optional<unsigned long> tunIndex = TunIndex();
    const MIB_IPFORWARDTABLE& table = *read.table;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        if (row.dwForwardNextHop == foundNextHop && row.dwForwardIfIndex == foundInterface &&
            ClassifyRoute(row, tunIndex) == RouteRole::Candidate) {
            return true;
        }
    }
    return false;
}

}  // namespace

RouteRole ClassifyRoute(const MIB_IPFORWARDROW& row, std::optional<unsigned long> tunIndex) {
    if (row.dwForwardDest != 0 || row.dwForwardMask != 0) return RouteRole::NotDefault;
    if (tunIndex && row.dwForwardIfIndex == *tunIndex) return RouteRole::IntoTunnel;
    if (row.dwForwardNextHop == 0) return RouteRole::OnLink;
    return RouteRole::Candidate;
}

const MIB_IPFORWARDROW* ChooseDefaultRoute(const MIB_IPFORWARDTABLE& table,
                                           std::optional<unsigned long> tunIndex) {
    const MIB_IPFORWARDROW* best = nullptr;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        if (ClassifyRoute(row, tunIndex) != RouteRole::Candidate) continue;
        if (best == nullptr || row.dwForwardMetric1 < best->dwForwardMetric1) best = &row;
    }
    return best;
}

GatewayPair GatewayForNewRoute() {
    const ExclusiveLock lock(gatewayLock);
    if (!Found() || !FoundPairHolds()) GetDefaultGatewayAndInterface();
    return {DefaultGateway, DefaultInterface};
}

GatewayPair GatewayForRemoval() {
    const ExclusiveLock lock(gatewayLock);
    return {DefaultGateway, DefaultInterface};
}

}  // namespace talir
