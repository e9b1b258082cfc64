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

// ::/0, or one of the halves ::/1 and 8000::/1 that a core may route
// instead: 1 for ::/1, 2 for 8000::/1, else 0.
int Half(const MIB_IPFORWARD_ROW2& row) {
    if (row.DestinationPrefix.PrefixLength != 1) return 0;
    const UCHAR first = row.DestinationPrefix.Prefix.Ipv6.sin6_addr.s6_addr[0];
    return first == 0 ? 1 : first == 0x80 ? 2 : 0;
}

bool Ipv6Default(const MIB_IPFORWARD_ROW2& row) {
    return row.DestinationPrefix.Prefix.si_family == AF_INET6 &&
           (row.DestinationPrefix.PrefixLength == 0 || Half(row) != 0);
}

}  // namespace

Check CheckIpv6(std::optional<unsigned long> tunIndex, bool coreRuns) {
    UniqueMibTable table;
    if (const DWORD status = GetIpForwardTable2(AF_INET6, table.put()); status != NO_ERROR) {
        return CannotCheck(Check("ipv6"), OneLine(ErrorText(status)));
    }
    // Windows ranks a route by its metric plus its interface's.
    std::map<unsigned long, unsigned long> interfaceMetrics;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table.get()->Table[i];
        if (!Ipv6Default(row) || interfaceMetrics.count(row.InterfaceIndex) != 0) continue;
        MIB_IPINTERFACE_ROW entry{};
        entry.Family = AF_INET6;
        entry.InterfaceIndex = row.InterfaceIndex;
        if (const DWORD status = GetIpInterfaceEntry(&entry); status != NO_ERROR) {
            return CannotCheck(Check("ipv6"), "interface " + std::to_string(row.InterfaceIndex) + ": " +
                                                  OneLine(ErrorText(status)));
        }
        interfaceMetrics[row.InterfaceIndex] = entry.Metric;
    }
    std::map<unsigned long, std::string> names;  // without them, the mend names the index
    ListAdapters(names);
    return JudgeIpv6(*table.get(), names, interfaceMetrics, tunIndex, coreRuns);
}

Check JudgeIpv6(const MIB_IPFORWARD_TABLE2& table, const std::map<unsigned long, std::string>& names,
                const std::map<unsigned long, unsigned long>& interfaceMetrics, std::optional<unsigned long> tunIndex,
                bool coreRuns) {
    Check check{"ipv6"};
    const MIB_IPFORWARD_ROW2* lowest = nullptr;
    unsigned long lowestMetric = 0;
    int halvesIntoTun = 0;  // bits: ::/1, 8000::/1
    for (ULONG i = 0; i < table.NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table.Table[i];
        if (!Ipv6Default(row)) continue;
        char nextHop[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &row.NextHop.Ipv6.sin6_addr, nextHop, sizeof nextHop);
        const auto interfaceMetric = interfaceMetrics.find(row.InterfaceIndex);
        const unsigned long metric =
            row.Metric + (interfaceMetric != interfaceMetrics.end() ? interfaceMetric->second : 0);
        const int half = Half(row);
        check.facts.push_back(std::string(half == 1 ? "::/1" : half == 2 ? "8000::/1" : "default") + " via " +
                              nextHop + " if " + std::to_string(row.InterfaceIndex) + " metric " +
                              std::to_string(metric));
        if (half != 0) {
            if (tunIndex && row.InterfaceIndex == *tunIndex) halvesIntoTun |= half;
        } else if (lowest == nullptr || metric < lowestMetric) {
            lowest = &row;
            lowestMetric = metric;
        }
    }
    // The halves are longer prefixes than ::/0: together they win over any
    // default route.
    if (lowest == nullptr && halvesIntoTun != 3) {
        check.facts.push_back("no IPv6 default route");
    } else if (!coreRuns) {
        check.facts.push_back("no core runs");
    } else if (halvesIntoTun == 3 || (tunIndex && lowest->InterfaceIndex == *tunIndex)) {
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
