#include "restore/restore_network.h"

#include "desktop/desktop.h"
#include "log/write_log.h"
#include "routing/route_commands.h"
#include "routing/route_record.h"
#include "toolkit/change_record.h"
#include "toolkit/result_string.h"

namespace talir {

std::vector<std::string> RestoreRecorded(CommandOutcome (*run)(const std::string& commandLine)) {
    const RecordAccess access;
    RecordRead read = access.Read();
    if (read.state == RecordState::Absent) return {};
    if (read.state == RecordState::Unreadable) {
        return {"Error: nothing restored: the record cannot be read: " + read.problem};
    }
    ChangeRecord& record = read.record;
    // Only the changes of a host that is gone: a live host undoes its own.
    if (const std::optional<bool> runs = HostRuns(record.host); runs.value_or(true)) {
        return {"Error: nothing restored: process " + std::to_string(record.host.id) + ", which made these changes, " +
                (runs ? "still runs." : "cannot be looked at.")};
    }

    std::vector<std::string> lines;
    if (record.proxy) lines = GiveBackProxy(record).lines;
    std::vector<RecordedRoute> kept;
    for (const RecordedRoute& route : record.routes) {
        // The table decides: a route the user deleted meanwhile is no change
        // to undo.
        std::optional<bool> there = RouteInTable(route);
        const std::string index = std::to_string(route.interfaceIndex);
        const std::string command = RouteCommand("delete", route.destination, route.mask, route.nextHop, index);
        const std::string what =
            "route " + route.destination + " mask " + route.mask + " " + route.nextHop + " if " + index;
        if (there.value_or(false)) {
            const CommandOutcome outcome = run(command);
            there = RouteInTable(route);
            if (!there.value_or(true)) {
                lines.push_back("Deleted " + what);
            } else {
                lines.push_back("Error: failed to delete " + what + ": " +
                                (outcome.text != "success" ? outcome.text : std::string("it is still there")));
            }
        }
        if (!there.has_value()) lines.push_back("Error: failed to read the routes to delete " + what);
        if (there.value_or(true)) kept.push_back(route);
    }
    record.routes = kept;
    if (const std::string problem = access.Write(record); !problem.empty()) {
        lines.push_back("Error: failed to update the record: " + problem);
    }
    return lines;
}

char* RestoreNetwork() {
    WriteLog("Restoring network");
    const std::vector<std::string> lines = RestoreRecorded(&ExecuteCommand);
    std::string result;
    for (const std::string& line : lines) {
        WriteLog(line);
        result += (result.empty() ? "" : "\n") + line;
    }
    if (result.empty()) WriteLog("Nothing to restore");
    return ToResultString(result.empty() ? std::string("success") : std::move(result));
}

}  // namespace talir
