// Runs the checks and prints them, as text or as one JSON object.
#include "doctor.h"

#include "firewall/firewall_rules.h"
#include "record/record_store.h"

#include <cstdio>

namespace talir::doctor {
namespace {

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::Note:
        return "note";
    case Status::Problem:
        return "problem";
    }
    return "?";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

}  // namespace

void Flag(Check& check, Status status, const std::string& action) {
    if (status > check.status) {
        check.status = status;
        check.action = action;
    } else if (status == check.status && !action.empty() && check.action.find(action) == std::string::npos) {
        check.action += check.action.empty() ? action : " & " + action;
    }
}

Check CannotCheck(Check check, const std::string& cause) {
    check.facts.push_back("cannot check: " + cause);
    Flag(check, Status::Note, "");
    return check;
}

std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<Check> RunChecks(const ClientFolder& client) {
    std::vector<Check> checks;
    checks.push_back(CheckLibWin(client));
    checks.push_back(CheckRecord());
    std::optional<bool> coreRuns;
    checks.push_back(CheckCore(client, coreRuns));
    std::optional<unsigned long> tunIndex;
    checks.push_back(CheckTun(tunIndex));
    // Unknown counts as running: no problem is claimed that was not seen.
    checks.push_back(CheckRoutes(tunIndex, coreRuns.value_or(true)));
    checks.push_back(CheckIpv6(tunIndex, coreRuns.value_or(true)));
    std::optional<bool> guardOn;
    Check dns = CheckDns(tunIndex, coreRuns.value_or(false), guardOn);
    if (guardOn.value_or(false)) GuardIpv6(checks.back());
    checks.push_back(std::move(dns));
    checks.push_back(CheckFirewallRule("firewall_singbox", SingBoxRule.name, "DeleteFirewallRule"));
    checks.push_back(CheckFirewallRule("firewall_xray", XrayRule.name, "DeleteXrayFirewallRule"));
    checks.push_back(CheckUserProxy());
    checks.push_back(CheckWinHttpProxy());
    checks.push_back(CheckInstance());
    checks.push_back(CheckAutorun());
    // Where the library keeps a record, only what it names is the library's
    // to undo: the other checks report, and judge nothing for --fix.
    if (ReadMachineRecord().state != RecordState::Absent || ReadUserRecord().state != RecordState::Absent) {
        for (Check& check : checks) check.proxyOff = false, check.deadRoutes.clear();
    }
    return checks;
}

std::string TextReport(const std::vector<Check>& checks, const std::vector<std::string>& mends) {
    std::string text;
    for (const std::string& mend : mends) text += mend + '\n';
    for (const Check& check : checks) {
        char head[64];
        std::snprintf(head, sizeof head, "%-8s%-18s", StatusName(check.status), check.name.c_str());
        text += head;
        for (size_t i = 0; i < check.facts.size(); ++i) text += (i > 0 ? "; " : "") + check.facts[i];
        text += '\n';
        if (!check.action.empty()) text += std::string(26, ' ') + "mend: " + check.action + '\n';
    }
    return text;
}

std::string JsonReport(const std::vector<Check>& checks, const std::vector<std::string>* mends) {
    std::string json = "{";
    if (mends != nullptr) {
        json += "\"mends\":[";
        for (size_t i = 0; i < mends->size(); ++i) json += (i > 0 ? "," : "") + Quoted((*mends)[i]);
        json += ']';
    }
    for (const Check& check : checks) {
        if (json.size() > 1) json += ',';
        json += Quoted(check.name) + ":{\"status\":" + Quoted(StatusName(check.status)) + ",\"facts\":[";
        for (size_t i = 0; i < check.facts.size(); ++i) json += (i > 0 ? "," : "") + Quoted(check.facts[i]);
        json += "],\"action\":" + (check.action.empty() ? std::string("null") : Quoted(check.action)) + '}';
    }
    return json + "}\n";
}

int ExitCode(const std::vector<Check>& checks) {
    for (const Check& check : checks) {
        if (check.status == Status::Problem) return 1;
    }
    return 0;
}

}  // namespace talir::doctor
