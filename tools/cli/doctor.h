// talirvpn-cli doctor: reads everything the library changes on a machine
// and tells what is wrong and how to mend it. The checks only read: no
// export that logs or changes state, no write access to the registry or the
// firewall, no process that changes anything. Only ApplyMends (--fix)
// changes what the checks found to be a problem.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>  // before iphlpapi.h: the IPv6 route types need it
#include <iphlpapi.h>

#include "toolkit/change_record.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace talir::doctor {

enum class Status { Ok, Note, Problem };

// One check: what it found and, when something is wrong, the one action
// that mends it (an export to call, or a command).
struct Check {
    explicit Check(std::string checkName) : name(std::move(checkName)) {}

    std::string name;
    Status status = Status::Ok;
    std::vector<std::string> facts;
    std::string action;

    // What --fix may change, set only with a problem that it mends: the
    // per-user proxy switched off, these routes deleted, this rule removed.
    bool proxyOff = false;
    std::vector<MIB_IPFORWARDROW> deadRoutes;
    const wchar_t* ruleToRemove = nullptr;
};

// Raises the check to status with the action that mends it; findings of the
// same weight add their actions, a graver one replaces them.
void Flag(Check& check, Status status, const std::string& action);

// A check that could not be made is a note; the others go on.
Check CannotCheck(Check check, const std::string& cause);

// The system's text for a failed call, on one line.
std::string OneLine(std::string text);

// UTF-8 of a wide text from the system.
std::string Utf8(const std::wstring& text);

// lib_win: the core and its config present; the logs' sizes.
Check CheckLibWin();
// Processes running lib_win\sing-box.exe of this folder; coreRuns is empty
// when they cannot be listed.
Check CheckCore(std::optional<bool>& coreRuns);
// The adapter carrying the TUN address.
Check CheckTun(std::optional<unsigned long>& tunIndex);
// The adapters' names by interface index; the system's code when they
// cannot be listed.
DWORD ListAdapters(std::map<unsigned long, std::string>& names);
// Default routes and ping routes, as the library's gateway lookup sees them.
Check CheckRoutes(std::optional<unsigned long> tunIndex, bool coreRuns);
// Judges a forwarding table; adapters: those that exist, as ListAdapters
// gives them.
Check JudgeRoutes(const MIB_IPFORWARDTABLE& table, const std::map<unsigned long, std::string>& adapters,
                  std::optional<unsigned long> tunIndex, bool coreRuns);
// "route delete DEST mask MASK NEXTHOP if INDEX" for exactly that row.
std::string RouteDeleteCommand(const MIB_IPFORWARDROW& row);
// IPv6 default routes: while a core runs, the lowest-metric one must go into
// the TUN. names: the adapters' names by interface index.
Check CheckIpv6(std::optional<unsigned long> tunIndex, bool coreRuns);
Check JudgeIpv6(const MIB_IPFORWARD_TABLE2& table, const std::map<unsigned long, std::string>& names,
                std::optional<unsigned long> tunIndex, bool coreRuns);
Check CheckFirewallRule(const char* checkName, const wchar_t* rule, const char* deleteExport);
// Removes the rule as the Delete exports do; says what became of it, read
// back from the firewall.
std::string RemoveFirewallRule(const wchar_t* rule);
Check CheckUserProxy();
// "LAN: proxy 127.0.0.1:1080", with the automatic settings that a browser
// tries first.
std::string DescribeConnection(const ConnectionProxy& connection);
bool ProxyInForce(const ConnectionProxy& connection);
Check CheckWinHttpProxy();
Check CheckInstance();
Check CheckAutorun();

std::vector<Check> RunChecks();
// Mends each problem that --fix can mend safely; one line per mend, with
// what it changed or why it could not. A failed mend stops no other.
std::vector<std::string> ApplyMends(const std::vector<Check>& checks);
// mends: ApplyMends' lines, before the report (JSON: "mends", when given).
std::string TextReport(const std::vector<Check>& checks, const std::vector<std::string>& mends = {});
std::string JsonReport(const std::vector<Check>& checks, const std::vector<std::string>* mends = nullptr);
// 1 when a check found a problem, else 0.
int ExitCode(const std::vector<Check>& checks);

}  // namespace talir::doctor
