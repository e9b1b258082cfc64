#include "routing/gateway.h"

#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"

#include <ws2tcpip.h>

namespace talir {

std::string DefaultGateway;
std::string DefaultInterface;

namespace {

void Fail(const std::string& message) {
    WriteLog("Error getting default gateway / interface: " + message);
    DefaultGateway = "Error";
    DefaultInterface = "Error";
}

}  // namespace

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
    const MIB_IPFORWARDTABLE& table = *read.table;
    if (table.dwNumEntries == 0) return Fail("routing table is empty.");

    // Rows come unsorted, and once the tunnel is up its own default route is
    // among them: a bypass through it would lead straight back in.
    IN_ADDR tun{};
    inet_pton(AF_INET, kTunAddress, &tun);
    const MIB_IPFORWARDROW* best = nullptr;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        if (row.dwForwardDest != 0 || row.dwForwardMask != 0 ||
            row.dwForwardNextHop == tun.S_un.S_addr) {
            continue;
        }
        if (best == nullptr || row.dwForwardMetric1 < best->dwForwardMetric1) best = &row;
    }
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
}

}  // namespace talir
