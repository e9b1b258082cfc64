#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"
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

    CommandOutcome outcome = ExecuteCommand(RedirectCommand(interfaceIndex));
    // route may exit 0 having refused the change, or complain about a route
    // that is already there: the forwarding table decides.
    if (outcome.ran) {
        const std::optional<bool> present =
            HasRoute("0.0.0.0", "0.0.0.0", std::strtoul(interfaceIndex, nullptr, 10));
        outcome.text = present.value_or(false)
                           ? "success"
                           : "Error: the default route into the tunnel was not added.";
    }
    WriteLog("Execute command result: " + outcome.text);
    return ToResultString(std::move(outcome.text));
}

}  // namespace talir
