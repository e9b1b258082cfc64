#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"
#include "routing/route_record.h"
#include "routing/routing.h"
#include "toolkit/execute_command.h"
#include "toolkit/result_string.h"

#include <cstdlib>

namespace talir {

char* RedirectToTun(const char* interfaceIndex) {
    WriteLog("Creating redirect route.");
    if (!IsInterfaceIndex(interfaceIndex)) {
        std::string error = "Error: invalid interface index.";
        WriteLog(error);
        return ToResultString(std::move(error));
    }

    // A route that was there before is not the library's to undo; one that
    // was not is recorded before the command, so that a crash at any
    // instant leaves nothing the next host cannot undo.
    const RecordedRoute route{"0.0.0.0", "0.0.0.0", kTunAddress, std::strtoul(interfaceIndex, nullptr, 10)};
    const bool there = RouteInTable(route).value_or(true);
    if (!there) {
        if (const RouteIntent intent = RecordRouteIntent(route); !intent.problem.empty()) {
            std::string error = "Error: the route cannot be recorded: " + intent.problem;
            WriteLog(error);
            return ToResultString(std::move(error));
        }
    }
    CommandOutcome outcome = ExecuteCommand(RedirectCommand(interfaceIndex));
    // route may exit 0 having refused the change, or complain about a route
    // that is already there: the forwarding table decides.
    const bool present = outcome.ran && HasRoute("0.0.0.0", "0.0.0.0", route.interfaceIndex).value_or(false);
    if (outcome.ran) outcome.text = present ? "success" : "Error: the default route into the tunnel was not added.";
    if (!there) SettleRoute(route, present);
    WriteLog("Execute command result: " + outcome.text);
    return ToResultString(std::move(outcome.text));
}

}  // namespace talir
