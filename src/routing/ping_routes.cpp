#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/gateway.h"
#include "routing/route_commands.h"
#include "routing/route_record.h"
#include "routing/routing.h"
#include "toolkit/execute_command.h"

#include <cstdlib>

namespace talir {
namespace {

const char kHostMask[] = "255.255.255.255";
const char kRecordUnreadable[] = "Error: the record cannot be read; talirvpn-cli doctor --fix sets it aside.";

}  // namespace

const char* CreatePingRoute(const char* address) {
    const char* const failed = "Error: couldn't create a ping route";
    if (!IsDottedIPv4(address)) {
        WriteLog("Error: invalid ping route address.");
        return failed;
    }
    const GatewayPair pair = GatewayForNewRoute();
    if (pair.gateway == "Error" || pair.interfaceIndex == "Error") {
        return "Error: couldn't get the default gateway / interface.";
    }

    // A route that was there before is not the library's to undo; one that
    // was not is recorded before the command.
    const RecordedRoute route{address, kHostMask, pair.gateway, std::strtoul(pair.interfaceIndex.c_str(), nullptr, 10)};
    const bool there = RouteInTable(route).value_or(true);
    if (!there) {
        if (const RouteIntent intent = RecordRouteIntent(route); !intent.problem.empty()) {
            WriteLog("Error: the ping route cannot be recorded: " + intent.problem);
            return intent.unreadable ? kRecordUnreadable : failed;
        }
    }
    const CommandOutcome outcome =
        ExecuteCommand(PingRouteCommand("add", address, pair.gateway, pair.interfaceIndex));
    const bool present = outcome.ran && HasRoute(address, kHostMask, route.interfaceIndex).value_or(false);
    if (!there) SettleRoute(route, present);
    if (!outcome.ran) return failed;
    if (!present) {
        WriteLog("Error: the ping route was not added.");
        return failed;
    }
    return "success";
}

const char* DeletePingRoute(const char* address) {
    const char* const failed = "Error: couldn't delete a ping route";
    WriteLog("Start deleting route for ping.");
    if (!IsDottedIPv4(address)) {
        WriteLog("Error: invalid ping route address.");
        return failed;
    }

    const GatewayPair pair = GatewayForRemoval();
    const CommandOutcome outcome =
        ExecuteCommand(PingRouteCommand("delete", address, pair.gateway, pair.interfaceIndex));
    if (!outcome.ran) return failed;
    if (HasRoute(address, kHostMask, std::nullopt).value_or(true)) {
        WriteLog("Error: the ping route was not removed.");
        return failed;
    }
    ForgetRoutesGone(address, kHostMask);
    return "success";
}

}  // namespace talir
