// The record of what the library changed, in lib_win: what, when, for
// which host, and whether that host still runs. What a host that is gone
// left is undone as RestoreNetwork undoes it.
#include "doctor.h"

#include "restore/restore_network.h"
#include "toolkit/change_record.h"

namespace talir::doctor {

Check CheckRecord() {
    Check check{"record"};
    const RecordRead read = RecordAccess().Read();
    if (read.state == RecordState::Absent) {
        check.facts.push_back("none");
        return check;
    }
    if (read.state == RecordState::Unreadable) {
        // Never acted upon: neither undone nor judged instead.
        return CannotCheck(std::move(check), std::string(kRecordPath) + ": " + read.problem);
    }
    const ChangeRecord& record = read.record;
    const std::optional<bool> runs = HostRuns(record.host);
    check.facts.push_back("made by process " + std::to_string(record.host.id) + ", which " +
                          (runs ? (*runs ? "still runs" : "no longer runs") : "cannot be looked at"));
    if (record.proxy) {
        std::string connections;
        for (const ConnectionProxy& connection : record.proxy->connections) {
            connections += (connections.empty() ? "" : ", ") +
                           (connection.name.empty() ? std::string("LAN") : Utf8(connection.name));
        }
        check.facts.push_back("proxy " + Utf8(record.proxy->server) + " set at " + record.proxy->when +
                              ", the settings from before kept for " + connections);
    }
    for (const RecordedRoute& route : record.routes) {
        check.facts.push_back("route " + route.destination + " mask " + route.mask + " " + route.nextHop + " if " +
                              std::to_string(route.interfaceIndex) + " added at " + route.when);
    }
    if (runs == false) {
        Flag(check, Status::Problem, "RestoreNetwork");
        check.restore = true;
    }
    return check;
}

std::vector<std::string> RestoreRecord() {
    std::vector<std::string> lines = RestoreRecorded(&RunCommand);
    if (lines.empty()) lines.push_back("nothing left to undo");
    return lines;
}

}  // namespace talir::doctor
