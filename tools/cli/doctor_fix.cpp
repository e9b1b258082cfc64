// talirvpn-cli doctor --fix: the mends that are safe to apply without the
// client, each made the way the library makes such a change and judged by
// reading the state again, never by the answer of the call that made it.
#include "doctor.h"

#include "desktop/desktop.h"
#include "routing/forward_table.h"
#include "toolkit/error_text.h"
#include "toolkit/execute_command.h"
#include "toolkit/unique.h"

#include <windows.h>

namespace talir::doctor {
namespace {

// Routes and firewall rules change only from an elevated process.
bool Elevated() {
    UniqueHandle token;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
           GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

// As SetSystemProxy(nullptr) does it, with the reasons that its constant
// texts leave out.
std::string SwitchProxyOff() {
    const ProxySwitch outcome = talir::SwitchProxyOff();
    std::string lines;
    for (const std::string& line : outcome.lines) lines += OneLine(line) + "; ";
    if (std::string(outcome.result) != "success") return "cannot switch the proxy off: " + lines + outcome.result;
    return (lines.empty() ? "ProxyEnable 0" : lines.substr(0, lines.size() - 2)) + ", running programs told";
}

std::string DeleteRoute(const MIB_IPFORWARDROW& row) {
    const std::string command = RouteDeleteCommand(row);
    const CommandOutcome outcome = RunCommand(command);
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) {
        return command + ": cannot read the routes again: " +
               (read.status == ForwardTable::Status::Failed ? OneLine(read.errorText) : "out of memory");
    }
    for (DWORD i = 0; i < read.table->dwNumEntries; ++i) {
        if (RowIsRoute(read.table->table[i], RouteOfRow(row))) {
            return command + ": still there" + (outcome.text == "success" ? "" : ": " + OneLine(outcome.text)) +
                   (Elevated() ? "" : "; run as administrator");
        }
    }
    return command + ": deleted";
}

}  // namespace

std::vector<std::string> ApplyMends(const std::vector<Check>& checks) {
    std::vector<std::string> lines;
    for (const Check& check : checks) {
        if (check.status != Status::Problem) continue;
        const std::string head = "mend " + check.name + ": ";
        if (check.proxyOff) lines.push_back(head + SwitchProxyOff());
        for (const MIB_IPFORWARDROW& row : check.deadRoutes) lines.push_back(head + DeleteRoute(row));
        if (check.ruleToRemove) lines.push_back(head + RemoveFirewallRule(check.ruleToRemove));
        for (const std::string& line : MendRecord(check)) lines.push_back(head + line);
    }
    return lines;
}

}  // namespace talir::doctor
