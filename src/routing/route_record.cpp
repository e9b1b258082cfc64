#include "routing/route_record.h"

#include "log/write_log.h"
#include "record/host_mark.h"
#include "record/record_store.h"
#include "routing/forward_table.h"

#include <algorithm>

namespace talir {

std::optional<bool> RouteInTable(const RecordedRoute& route) {
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) return std::nullopt;
    for (DWORD i = 0; i < read.table->dwNumEntries; ++i) {
        if (RowIsRoute(read.table->table[i], route)) return true;
    }
    return false;
}

RouteIntent RecordRouteIntent(RecordedRoute route) {
    RouteIntent intent;
    if (std::string problem = MarkThisHost(); !problem.empty()) {
        intent.problem = "this host cannot be marked: " + problem;
        return intent;
    }
    const RecordLock lock;
    if (!lock.Held()) {
        intent.problem = "the record cannot be locked: " + lock.Problem();
        return intent;
    }
    RecordRead read = ReadMachineRecord();
    if (read.state == RecordState::Unreadable) {
        intent.unreadable = true;
        intent.problem = "the record cannot be read: " + read.problem + "; talirvpn-cli doctor --fix sets it aside";
        return intent;
    }
    route.owner = ThisHost();
    std::vector<RecordedRoute>& routes = read.record.routes;
    // Another thread of this host may be adding the same route.
    const auto ours = [&](const RecordedRoute& r) { return SameRoute(r, route) && r.owner == route.owner; };
    if (std::any_of(routes.begin(), routes.end(), ours)) return intent;
    route.when = RecordTime();
    routes.push_back(route);
    intent.problem = WriteMachineRecord(read.record);
    return intent;
}

void SettleRoute(RecordedRoute route, bool shown) {
    route.owner = ThisHost();
    const RecordLock lock;
    if (!lock.Held()) return WriteLog("Error: the record of the routes is not updated: " + lock.Problem());
    RecordRead read = ReadMachineRecord();
    if (read.state == RecordState::Unreadable) {
        return WriteLog("Error: the record of the routes is not updated: " + read.problem);
    }
    std::vector<RecordedRoute>& routes = read.record.routes;
    const auto ours = [&](const RecordedRoute& r) { return SameRoute(r, route) && r.owner == route.owner; };
    const bool recorded = std::any_of(routes.begin(), routes.end(), ours);
    // Another thread's command for the same route may have added it since.
    if (shown == recorded || (!shown && RouteInTable(route).value_or(true))) return;
    if (shown) {
        route.when = RecordTime();
        routes.push_back(route);
    } else {
        routes.erase(std::remove_if(routes.begin(), routes.end(), ours), routes.end());
    }
    if (const std::string problem = WriteMachineRecord(read.record); !problem.empty()) {
        WriteLog("Error: the record of the routes is not updated: " + problem);
    }
}

void ForgetRoutesGone(const std::string& destination, const std::string& mask) {
    const RecordLock lock;
    RecordRead read = lock.Held() ? ReadMachineRecord() : RecordRead{};
    if (read.state != RecordState::Read) return;
    std::vector<RecordedRoute>& routes = read.record.routes;
    const auto gone = std::remove_if(routes.begin(), routes.end(), [&](const RecordedRoute& route) {
        return route.destination == destination && route.mask == mask && !RouteInTable(route).value_or(true);
    });
    if (gone == routes.end()) return;
    routes.erase(gone, routes.end());
    if (const std::string problem = WriteMachineRecord(read.record); !problem.empty()) {
        WriteLog("Error: the record of the routes is not updated: " + problem);
    }
}

}  // namespace talir
