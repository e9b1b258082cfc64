#include "routing/route_record.h"

#include "log/write_log.h"
#include "routing/forward_table.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace talir {
namespace {

DWORD Address(const std::string& dotted) {
    IN_ADDR address{};
    inet_pton(AF_INET, dotted.c_str(), &address);
    return address.S_un.S_addr;
}

bool SameRoute(const RecordedRoute& a, const RecordedRoute& b) {
    return a.destination == b.destination && a.mask == b.mask && a.nextHop == b.nextHop &&
           a.interfaceIndex == b.interfaceIndex;
}

}  // namespace

std::optional<bool> RouteInTable(const RecordedRoute& route) {
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) return std::nullopt;
    const DWORD destination = Address(route.destination), mask = Address(route.mask), nextHop = Address(route.nextHop);
    for (DWORD i = 0; i < read.table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = read.table->table[i];
        if (row.dwForwardDest == destination && row.dwForwardMask == mask &&
            row.dwForwardIfIndex == route.interfaceIndex &&
            (row.dwForwardNextHop == nextHop || row.dwForwardNextHop == 0)) {
            return true;
        }
    }
    return false;
}

void RecordRouteAdded(RecordedRoute route) {
    const RecordAccess access;
    if (!RouteInTable(route).value_or(false)) return;
    RecordRead read = access.Read();
    if (read.state == RecordState::Unreadable) {
        WriteLog("Error: the route is not recorded: the record cannot be read: " + read.problem);
        return;
    }
    std::vector<RecordedRoute>& routes = read.record.routes;
    if (std::any_of(routes.begin(), routes.end(), [&](const RecordedRoute& r) { return SameRoute(r, route); })) return;
    route.when = RecordTime();
    routes.push_back(route);
    read.record.host = ThisProcess();
    if (const std::string problem = access.Write(read.record); !problem.empty()) {
        WriteLog("Error: the route is not recorded: " + problem);
    }
}

void ForgetRoutesGone(const std::string& destination, const std::string& mask) {
    const RecordAccess access;
    RecordRead read = access.Read();
    if (read.state != RecordState::Read) return;
    std::vector<RecordedRoute>& routes = read.record.routes;
    const auto gone = std::remove_if(routes.begin(), routes.end(), [&](const RecordedRoute& route) {
        return route.destination == destination && route.mask == mask && !RouteInTable(route).value_or(true);
    });
    if (gone == routes.end()) return;
    routes.erase(gone, routes.end());
    if (const std::string problem = access.Write(read.record); !problem.empty()) {
        WriteLog("Error: the record of the routes is not updated: " + problem);
    }
}

}  // namespace talir
