// The records of what the library changed: the routes in lib_win and this
// user's proxy settings; what, when, which host and whether it still runs.
// What a host that is gone left is undone as RestoreNetwork undoes it; a
// record that cannot be read is set aside, never acted upon.
#include "doctor.h"

#include "record/host_mark.h"
#include "record/record_store.h"
#include "restore/restore_network.h"

namespace talir::doctor {
namespace {

std::string HostFact(const Owner& owner, bool& gone) {
    const HostState state = LookAtHost(owner);
    gone = gone || state == HostState::Gone;
    return "by process " + std::to_string(owner.id) + ", which " +
           (state == HostState::Runs ? "still runs" : state == HostState::Gone ? "no longer runs"
                                                                                : "cannot be looked at");
}

void ProxyFacts(const ProxyChange& proxy, const char* whose, Check& check, bool& gone) {
    std::string connections;
    for (const ConnectionProxy& connection : proxy.connections) {
        connections += (connections.empty() ? "" : ", ") +
                       (connection.name.empty() ? std::string("LAN") : Utf8(connection.name));
    }
    check.facts.push_back(std::string(whose) + "proxy " + Utf8(proxy.server) + " set at " + proxy.when + " " +
                          HostFact(proxy.owner, gone) + ", the settings from before kept for " +
                          (connections.empty() ? std::string("no connection") : connections));
}

}  // namespace

Check CheckRecord() {
    Check check{"record"};
    const RecordRead user = ReadUserRecord(), machine = ReadMachineRecord();
    bool gone = false;
    for (const RecordRead* read : {&user, &machine}) {
        const char* where = read == &user ? "the user's record" : "lib_win's record";
        if (read->state == RecordState::Unreadable) {
            // Never acted upon: set aside, its text kept, so that the
            // library records again.
            check.facts.push_back(std::string(where) + " cannot be read: " + OneLine(read->problem));
            Flag(check, Status::Problem, "talirvpn-cli doctor --fix sets it aside");
            (read == &user ? check.setAsideUser : check.setAsideMachine) = true;
        } else if (read->record.proxy) {
            ProxyFacts(*read->record.proxy, read == &user ? "" : "an older version's ", check, gone);
        }
    }
    for (const RecordedRoute& route : machine.record.routes) {
        check.facts.push_back("route " + route.destination + " mask " + route.mask + " " + route.nextHop + " if " +
                              std::to_string(route.interfaceIndex) + " added at " + route.when + " " +
                              HostFact(route.owner, gone));
    }
    if (check.facts.empty()) check.facts.push_back("none");
    if (gone) {
        Flag(check, Status::Problem, "RestoreNetwork");
        check.restore = true;
    }
    return check;
}

std::vector<std::string> MendRecord(const Check& check) {
    std::vector<std::string> lines;
    std::string problem;
    if (check.setAsideUser) {
        const std::string aside = SetAsideUserRecord(problem);
        lines.push_back(aside.empty() ? "the user's record cannot be set aside: " + OneLine(problem)
                                      : "the user's record set aside as " + aside);
    }
    if (check.setAsideMachine) {
        const std::string aside = SetAsideMachineRecord(problem);
        lines.push_back(aside.empty() ? "lib_win's record cannot be set aside: " + OneLine(problem)
                                      : "lib_win's record set aside as " + aside);
    }
    if (check.restore) {
        std::vector<std::string> restored = RestoreRecorded(&RunCommand);
        if (restored.empty()) restored.push_back("nothing left to undo");
        lines.insert(lines.end(), restored.begin(), restored.end());
    }
    return lines;
}

}  // namespace talir::doctor
