#include "restore/restore_network.h"

#include "core/core_process.h"
#include "desktop/desktop.h"
#include "log/write_log.h"
#include "record/host_mark.h"
#include "record/record_store.h"
#include "routing/route_commands.h"
#include "routing/route_record.h"
#include "toolkit/result_string.h"

#include <algorithm>

namespace talir {
namespace {

const char kSetAside[] = "; talirvpn-cli doctor --fix sets it aside";

std::string Describe(const RecordedRoute& route) {
    return "route " + route.destination + " mask " + route.mask + " " + route.nextHop + " if " +
           std::to_string(route.interfaceIndex);
}

// Who made what is left alone: a live host undoes its own changes.
struct LeftAlone {
    std::vector<std::string> runs, unknown;
    void Note(const Owner& owner, HostState state) {
        std::vector<std::string>& list = state == HostState::Runs ? runs : unknown;
        const std::string id = std::to_string(owner.id);
        if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
    }
    std::string Line() const {
        std::string line;
        for (const auto* list : {&runs, &unknown}) {
            if (list->empty()) continue;
            std::string ids;
            for (const std::string& id : *list) ids += (ids.empty() ? "" : ", ") + id;
            line += std::string(line.empty() ? "" : "; ") + "process " + ids + ", which made these changes, " +
                    (list == &runs ? "still runs." : "cannot be looked at.");
        }
        return line.empty() ? line : "Error: nothing restored: " + line;
    }
};

// The user's own proxy settings, and those of a version-1 record in
// lib_win, which did not know whose they were: given back when the host
// that set them is gone. Called with the record's lock held; false when
// nothing was tried.
bool GiveBackIfGone(ChangeRecord& record, LeftAlone& left, std::vector<std::string>& lines) {
    if (!record.proxy) return false;
    const HostState state = LookAtHost(record.proxy->owner);
    if (state != HostState::Gone) return left.Note(record.proxy->owner, state), false;
    const ProxySwitch outcome = GiveBackProxy(record);
    lines.insert(lines.end(), outcome.lines.begin(), outcome.lines.end());
    return true;
}

}  // namespace

std::vector<std::string> RestoreRecorded(CommandOutcome (*run)(const std::string& commandLine)) {
    std::vector<std::string> lines;
    LeftAlone left;
    std::vector<RecordedRoute> routes;
    {
        const RecordLock lock;
        if (!lock.Held()) return {"Error: nothing restored: the record cannot be locked: " + lock.Problem()};
        RecordRead user = ReadUserRecord();
        if (user.state == RecordState::Unreadable) {
            lines.push_back("Error: the proxy settings are not restored: their record cannot be read: " +
                            user.problem + kSetAside);
        } else if (GiveBackIfGone(user.record, left, lines)) {
            if (const std::string problem = WriteUserRecord(user.record); !problem.empty()) {
                lines.push_back("Error: failed to update the record of the proxy settings: " + problem);
            }
        }
        RecordRead machine = ReadMachineRecord();
        if (machine.state == RecordState::Unreadable) {
            lines.push_back("Error: nothing restored: the record cannot be read: " + machine.problem + kSetAside);
            return lines;
        }
        if (GiveBackIfGone(machine.record, left, lines)) {
            if (const std::string problem = WriteMachineRecord(machine.record); !problem.empty()) {
                lines.push_back("Error: failed to update the record: " + problem);
            }
        }
        routes = machine.record.routes;
    }

    // Each route whose host is gone and that the table still shows is
    // deleted, with no lock held while the tool runs; a route the user
    // deleted meanwhile is no change to undo. A route into the tunnel stays
    // while a core of this folder may run: its traffic would leak.
    std::optional<std::optional<bool>> coreRuns;
    std::vector<RecordedRoute> settled;
    for (const RecordedRoute& route : routes) {
        const HostState state = LookAtHost(route.owner);
        if (state != HostState::Gone) {
            left.Note(route.owner, state);
            continue;
        }
        std::optional<bool> there = RouteInTable(route);
        if (there.value_or(false) && route.nextHop == kTunAddress) {
            if (!coreRuns) coreRuns = CoreRuns(FindCores(L"lib_win\\sing-box.exe"));
            if (coreRuns->value_or(true)) {
                lines.push_back("Error: " + Describe(route) + " left: a proxy core of this folder " +
                                (coreRuns->has_value() ? "runs." : "may run."));
                continue;
            }
        }
        if (there.value_or(false)) {
            const std::string index = std::to_string(route.interfaceIndex);
            const CommandOutcome outcome =
                run(RouteCommand("delete", route.destination, route.mask, route.nextHop, index));
            there = RouteInTable(route);
            if (!there.value_or(true)) {
                lines.push_back("Deleted " + Describe(route));
            } else if (there) {
                lines.push_back("Error: failed to delete " + Describe(route) + ": " +
                                (outcome.text != "success" ? outcome.text : std::string("it is still there")));
            }
        }
        if (!there.has_value()) lines.push_back("Error: failed to read the routes to delete " + Describe(route));
        if (there == false) settled.push_back(route);
    }

    // What others recorded meanwhile stays: the record is read again.
    if (!settled.empty()) {
        const RecordLock lock;
        RecordRead machine = lock.Held() ? ReadMachineRecord() : RecordRead{};
        std::string problem = lock.Held() ? machine.problem : lock.Problem();
        if (machine.state == RecordState::Read) {
            std::vector<RecordedRoute>& kept = machine.record.routes;
            kept.erase(std::remove_if(kept.begin(), kept.end(),
                                      [&](const RecordedRoute& r) {
                                          return std::any_of(settled.begin(), settled.end(), [&](const auto& s) {
                                              return SameRoute(r, s) && r.owner == s.owner;
                                          });
                                      }),
                       kept.end());
            problem = WriteMachineRecord(machine.record);
        }
        if (!problem.empty()) lines.push_back("Error: failed to update the record: " + problem);
    }
    if (lines.empty() && !left.Line().empty()) lines.push_back(left.Line());
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
