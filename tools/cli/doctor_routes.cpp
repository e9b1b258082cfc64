// The TUN and the routes, judged with the library's own gateway choice.
#include "doctor.h"

#include "routing/forward_table.h"
#include "routing/gateway.h"
#include "routing/route_commands.h"
#include "routing/tun_interface.h"
#include "toolkit/error_text.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace talir::doctor {
namespace {

std::string Dotted(DWORD address) {
    IN_ADDR in{};
    in.S_un.S_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

const char* SkipReason(RouteRole role) {
    switch (role) {
    case RouteRole::OnLink:
        return "skipped, on-link (no next hop)";
    case RouteRole::IntoTunnel:
        return "skipped, into the tunnel";
    default:
        return "skipped, not the first with the lowest metric";
    }
}

}  // namespace

DWORD ReadAdapterList(ULONG flags, MallocPtr<IP_ADAPTER_ADDRESSES>& adapters) {
    ULONG size = 16 * 1024;
    DWORD status = ERROR_BUFFER_OVERFLOW;
    // An adapter may come up between the size and the read.
    for (int reads = 0; reads < 5 && status == ERROR_BUFFER_OVERFLOW; ++reads) {
        adapters.reset(static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size)));
        if (!adapters) return ERROR_NOT_ENOUGH_MEMORY;
        status = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, adapters.get(), &size);
    }
    return status;
}

DWORD ListAdapters(std::map<unsigned long, std::string>& names) {
    MallocPtr<IP_ADAPTER_ADDRESSES> adapters;
    const DWORD status = ReadAdapterList(GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                             GAA_FLAG_SKIP_DNS_SERVER,
                                         adapters);
    if (status != NO_ERROR) return status;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters.get(); adapter; adapter = adapter->Next) {
        names[adapter->IfIndex] = Utf8(adapter->FriendlyName);
    }
    return NO_ERROR;
}

Check CheckTun(std::optional<unsigned long>& tunIndex) {
    Check check{"tun"};
    unsigned long index = 0;
    switch (FindTunInterface(index)) {
    case TunLookup::Found:
        tunIndex = index;
        check.facts.push_back("adapter " + std::to_string(index) + " carries " + kTunAddress);
        break;
    case TunLookup::NotFound:
        check.facts.push_back(std::string("no adapter carries ") + kTunAddress);
        break;
    case TunLookup::NoMemory:
        return CannotCheck(std::move(check), "out of memory");
    }
    return check;
}

Check CheckRoutes(std::optional<unsigned long> tunIndex, bool coreRuns) {
    const ForwardTable read = ReadForwardTable();
    if (read.status != ForwardTable::Status::Ok) {
        return CannotCheck(Check("routes"), read.status == ForwardTable::Status::Failed ? OneLine(read.errorText)
                                                                                     : "out of memory");
    }
    std::map<unsigned long, std::string> adapters;
    if (const DWORD status = ListAdapters(adapters); status != NO_ERROR) {
        return CannotCheck(Check("routes"), "the adapters: " + OneLine(ErrorText(status)));
    }
    return JudgeRoutes(*read.table, adapters, tunIndex, coreRuns);
}

RecordedRoute RouteOfRow(const MIB_IPFORWARDROW& row) {
    return {Dotted(row.dwForwardDest), Dotted(row.dwForwardMask), Dotted(row.dwForwardNextHop), row.dwForwardIfIndex};
}

std::string RouteDeleteCommand(const MIB_IPFORWARDROW& row) {
    const RecordedRoute route = RouteOfRow(row);
    return RouteCommand("delete", route.destination, route.mask, route.nextHop, std::to_string(route.interfaceIndex));
}

Check JudgeRoutes(const MIB_IPFORWARDTABLE& table, const std::map<unsigned long, std::string>& adapters,
                  std::optional<unsigned long> tunIndex, bool coreRuns) {
    Check check{"routes"};
    const MIB_IPFORWARDROW* chosen = ChooseDefaultRoute(table, tunIndex);
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        const RouteRole role = ClassifyRoute(row, tunIndex);
        if (role == RouteRole::NotDefault) continue;
        const std::string nextHop = Dotted(row.dwForwardNextHop), index = std::to_string(row.dwForwardIfIndex);
        std::string fact = "default via " + nextHop + " if " + index + " metric " +
                           std::to_string(row.dwForwardMetric1) + ": ";
        // Either way traffic goes nowhere.
        const char* dead = adapters.count(row.dwForwardIfIndex) == 0 ? "into an interface that no longer exists"
                           : role == RouteRole::IntoTunnel && !coreRuns
                               ? "into the tunnel while no core runs"
                               : nullptr;
        if (dead != nullptr) {
            fact += dead;
            Flag(check, Status::Problem, RouteDeleteCommand(row));
            check.deadRoutes.push_back(row);
        } else {
            fact += &row == chosen ? "chosen" : SkipReason(role);
        }
        check.facts.push_back(fact);
    }
    if (chosen == nullptr) {
        check.facts.push_back("no default route leads past the tunnel: no ping route can be made");
        Flag(check, Status::Note, "");
        return check;
    }
    std::string pings;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table.table[i];
        if (row.dwForwardMask == 0xFFFFFFFF && row.dwForwardNextHop == chosen->dwForwardNextHop &&
            row.dwForwardIfIndex == chosen->dwForwardIfIndex) {
            pings += (pings.empty() ? "" : ", ") + Dotted(row.dwForwardDest);
        }
    }
    check.facts.push_back(pings.empty() ? "no ping routes" : "ping routes: " + pings);
    return check;
}

}  // namespace talir::doctor
