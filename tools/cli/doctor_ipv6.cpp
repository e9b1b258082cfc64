// IPv6 around the tunnel: while a core runs, an IPv6 default route through
// a physical adapter carries all IPv6 traffic past the tunnel.
#include "doctor.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <ws2tcpip.h>
#include <netioapi.h>

namespace talir::doctor {
namespace {

using UniqueMibTable = Unique<PMIB_IPFORWARD_TABLE2, &FreeMibTable>;

}  // namespace

Check CheckIpv6(std::optional<unsigned long> tunIndex, bool coreRuns) {
    UniqueMibTable table;
    if (const DWORD status = GetIpForwardTable2(AF_INET6, table.put()); status != NO_ERROR) {
        return CannotCheck(Check("ipv6"), OneLine(ErrorText(status)));
    }
    std::map<unsigned long, std::string> names;  // without them, the mend names the index
    ListAdapters(names);
    return JudgeIpv6(*table.get(), names, tunIndex, coreRuns);
}

Check JudgeIpv6(const MIB_IPFORWARD_TABLE2& table, const std::map<unsigned long, std::string>& names,
                std::optional<unsigned long> tunIndex, bool coreRuns) {
    Check check{"ipv6"};
    const MIB_IPFORWARD_ROW2* lowest = nullptr;
    for (ULONG i = 0; i < table.NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table.Table[i];
        if (row.DestinationPrefix.Prefix.si_family != AF_INET6 || row.DestinationPrefix.PrefixLength != 0) continue;
        char nextHop[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &row.NextHop.Ipv6.sin6_addr, nextHop, sizeof nextHop);
        check.facts.push_back(std::string("default via ") + nextHop + " if " + std::to_string(row.InterfaceIndex) +
                              " metric " + std::to_string(row.Metric));
        if (lowest == nullptr || row.Metric < lowest->Metric) lowest = &row;
    }
    if (lowest == nullptr) {
        check.facts.push_back("no IPv6 default route");
    } else if (!coreRuns) {
        check.facts.push_back("no core runs");
    } else if (tunIndex && lowest->InterfaceIndex == *tunIndex) {
        check.facts.push_back("IPv6 goes into the tunnel");
    } else {
        const auto name = names.find(lowest->InterfaceIndex);
        const std::string adapter = name != names.end() ? name->second : "if " + std::to_string(lowest->InterfaceIndex);
        check.facts.push_back("IPv6 leaves through " + adapter + ", around the tunnel");
        Flag(check, Status::Problem,
             "turn IPv6 off on that adapter: Disable-NetAdapterBinding -Name \"" + adapter +
                 "\" -ComponentID ms_tcpip6 (PowerShell, as administrator); or let the core carry IPv6");
    }
    return check;
}

}  // namespace talir::doctor
