// talirvpn-cli doctor: reads everything the library changes on a machine
// and tells what is wrong and how to mend it. The checks only read: no
// export that logs or changes state, no write access to the registry or the
// firewall, no process that changes anything. Only ApplyMends (--fix)
// changes what the checks found to be a problem.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>  // before iphlpapi.h: the IPv6 route types need it
#include <iphlpapi.h>

#include "record/record_text.h"
#include "toolkit/unique.h"
#include "toolkit/utf8.h"

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
    // per-user proxy switched off, these routes deleted, the rules of this
    // name removed (each of them broken).
    bool proxyOff = false;
    std::vector<MIB_IPFORWARDROW> deadRoutes;
    const wchar_t* ruleToRemove = nullptr;
    bool restore = false;  // the record's changes, as RestoreNetwork undoes them
    bool setAsideUser = false, setAsideMachine = false;  // records that cannot be read
};

// Raises the check to status with the action that mends it; findings of the
// same weight add their actions, a graver one replaces them.
void Flag(Check& check, Status status, const std::string& action);

// A check that could not be made is a note; the others go on.
Check CannotCheck(Check check, const std::string& cause);

// The system's text for a failed call, on one line.
std::string OneLine(std::string text);

// The client's folder, the one that holds lib_win: dir when given, else the
// current folder when it holds one, else this program's. It becomes the
// current directory, so that lib_win\... leads there as it does for the
// library. path is empty when none holds lib_win; tried names the folders
// looked at.
struct ClientFolder {
    std::wstring path;  // in full, with a trailing backslash
    std::string tried;
};
ClientFolder EnterClientFolder(const wchar_t* dir);

// lib_win: the folder examined, the core and its config present; the logs'
// sizes.
Check CheckLibWin(const ClientFolder& client);
// Processes whose image is the very file lib_win\sing-box.exe, by its
// volume and index; coreRuns stays empty when a sing-box.exe runs that is
// not proven to be another file, or without lib_win.
Check CheckCore(const ClientFolder& client, std::optional<bool>& coreRuns);
// The adapter carrying the TUN address.
Check CheckTun(std::optional<unsigned long>& tunIndex);
// The adapters' names by interface index; the system's code when they
// cannot be listed.
DWORD ListAdapters(std::map<unsigned long, std::string>& names);
// GetAdaptersAddresses with flags, read again while the list grows.
DWORD ReadAdapterList(ULONG flags, MallocPtr<IP_ADAPTER_ADDRESSES>& adapters);
// Default routes and ping routes, as the library's gateway lookup sees them.
Check CheckRoutes(std::optional<unsigned long> tunIndex, bool coreRuns);
// Judges a forwarding table; adapters: those that exist, as ListAdapters
// gives them.
Check JudgeRoutes(const MIB_IPFORWARDTABLE& table, const std::map<unsigned long, std::string>& adapters,
                  std::optional<unsigned long> tunIndex, bool coreRuns);
// A row as the record names routes, and the command that deletes exactly it:
// "route delete DEST mask MASK NEXTHOP if INDEX".
RecordedRoute RouteOfRow(const MIB_IPFORWARDROW& row);
std::string RouteDeleteCommand(const MIB_IPFORWARDROW& row);
// IPv6 default routes: while a core runs, the one with the lowest metric
// (the route's plus its interface's) must go into the TUN, unless ::/1 and
// 8000::/1 both do. names: the adapters' names by interface index;
// interfaceMetrics: the metric of each interface a default route leaves by.
Check CheckIpv6(std::optional<unsigned long> tunIndex, bool coreRuns);
Check JudgeIpv6(const MIB_IPFORWARD_TABLE2& table, const std::map<unsigned long, std::string>& names,
                const std::map<unsigned long, unsigned long>& interfaceMetrics, std::optional<unsigned long> tunIndex,
                bool coreRuns);
// DNS: each adapter's servers (IPv4 and IPv6) and metric, the DNS Client
// service's start, the name resolution policy's rules for ".", the leak
// guard's filters (guardOn: empty when they cannot be read).
struct DnsAdapter {
    unsigned long index;
    std::string name;
    unsigned long metric;
    std::vector<std::string> servers;
};
struct DnsRule {
    std::string name;
    std::vector<std::string> servers;
};
struct DnsFacts {
    std::vector<DnsAdapter> adapters;
    std::optional<unsigned long> tunIndex;
    bool connected = false;  // a core runs and the default route goes into the TUN
    std::optional<DWORD> dnscacheStart;
    std::vector<DnsRule> catchAll;
    std::optional<bool> guardOn;
    std::string guardUnknown;  // why guardOn is empty
};
Check CheckDns(std::optional<unsigned long> tunIndex, bool coreRuns, std::optional<bool>& guardOn);
// A server counts as inside when the TUN has it too.
Check JudgeDns(const DnsFacts& facts);
// The ipv6 check while the leak guard is on.
void GuardIpv6(Check& ipv6);
// Every rule called rule: a problem when it is not inbound and allowing or
// its program is missing (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND for
// the stored path with its variables expanded); a program that cannot be
// read otherwise is a note.
Check CheckFirewallRule(const char* checkName, const wchar_t* rule, const char* deleteExport);
// Removes the rules of that name, by name as the Delete exports do, as long
// as each one left is broken; says what became of them, read back from the
// firewall.
std::string RemoveFirewallRule(const wchar_t* rule);
Check CheckUserProxy();
// "LAN: proxy 127.0.0.1:1080", with the automatic settings that a browser
// tries first.
std::string DescribeConnection(const ConnectionProxy& connection);
bool ProxyInForce(const ConnectionProxy& connection);
Check CheckWinHttpProxy();
// The library's records, lib_win's and this user's: each change, when, for
// which host, whether that host still runs; a problem when it does not, or
// when a record cannot be read.
Check CheckRecord();
// Sets aside the records that cannot be read, and undoes the changes of
// hosts that are gone as RestoreNetwork does; one line per change.
std::vector<std::string> MendRecord(const Check& check);
Check CheckInstance();
Check CheckAutorun();

std::vector<Check> RunChecks(const ClientFolder& client);
// Mends each problem that --fix can mend safely; one line per mend, with
// what it changed or why it could not. A failed mend stops no other.
std::vector<std::string> ApplyMends(const std::vector<Check>& checks);
// mends: ApplyMends' lines, before the report (JSON: "mends", when given).
std::string TextReport(const std::vector<Check>& checks, const std::vector<std::string>& mends = {});
std::string JsonReport(const std::vector<Check>& checks, const std::vector<std::string>* mends = nullptr);
// 1 when a check found a problem, else 0.
int ExitCode(const std::vector<Check>& checks);

}  // namespace talir::doctor
