// DNS around the tunnel: Windows asks the DNS servers of every adapter, so
// a server outside the TUN sees the user's names unless the leak guard
// blocks it. The verdict is JudgeDns over what the collectors read.
#include "doctor.h"

#include "guard/fwpuclnt.h"
#include "guard/leak_guard.h"
#include "routing/forward_table.h"
#include "toolkit/error_text.h"

#include <algorithm>
#include <cstring>

namespace talir::doctor {
namespace {

// Windows' placeholders for an adapter without IPv6 DNS (fec0:0:0:ffff::1 to 3).
bool Placeholder(const std::string& server) {
    return server == "fec0:0:0:ffff::1" || server == "fec0:0:0:ffff::2" || server == "fec0:0:0:ffff::3";
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
    return joined;
}

DWORD ReadAdapters(std::vector<DnsAdapter>& found) {
    MallocPtr<IP_ADAPTER_ADDRESSES> adapters;
    const DWORD status = ReadAdapterList(GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, adapters);
    if (status != NO_ERROR) return status;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters.get(); adapter; adapter = adapter->Next) {
        // An adapter without an address sends no query.
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK || adapter->OperStatus != IfOperStatusUp ||
            adapter->FirstUnicastAddress == nullptr) {
            continue;
        }
        DnsAdapter entry{adapter->IfIndex, Utf8(adapter->FriendlyName), adapter->Ipv4Metric, {}};
        for (const IP_ADAPTER_DNS_SERVER_ADDRESS* server = adapter->FirstDnsServerAddress; server;
             server = server->Next) {
            const SOCKADDR* address = server->Address.lpSockaddr;
            char text[INET6_ADDRSTRLEN] = {};
            const void* field =
                address->sa_family == AF_INET
                    ? static_cast<const void*>(&reinterpret_cast<const SOCKADDR_IN*>(address)->sin_addr)
                    : static_cast<const void*>(&reinterpret_cast<const SOCKADDR_IN6*>(address)->sin6_addr);
            if (inet_ntop(address->sa_family, field, text, sizeof text)) entry.servers.push_back(text);
        }
        found.push_back(std::move(entry));
    }
    return NO_ERROR;
}

std::optional<DWORD> DnscacheStart() {
    DWORD start = 0, size = sizeof start;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Dnscache", L"Start",
                     RRF_RT_REG_DWORD, nullptr, &start, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return start;
}

// The name resolution policy's rules for ".", by group policy and local.
std::vector<DnsRule> CatchAllRules() {
    std::vector<DnsRule> rules;
    for (const wchar_t* path : {L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient\\DnsPolicyConfig",
                                L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig"}) {
        UniqueKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) continue;
        wchar_t name[256];
        for (DWORD i = 0, length = 256; RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr,
                                                      nullptr) == ERROR_SUCCESS;
             ++i, length = 256) {
            wchar_t names[1024] = {}, servers[1024] = {};
            DWORD namesSize = sizeof names - sizeof(wchar_t), serversSize = sizeof servers - sizeof(wchar_t);
            if (RegGetValueW(key.get(), name, L"Name", RRF_RT_REG_MULTI_SZ, nullptr, names, &namesSize) ||
                RegGetValueW(key.get(), name, L"GenericDNSServers", RRF_RT_REG_SZ, nullptr, servers,
                             &serversSize)) {
                continue;
            }
            bool catchAll = false;
            for (const wchar_t* entry = names; *entry; entry += wcslen(entry) + 1) catchAll |= !wcscmp(entry, L".");
            if (!catchAll) continue;
            DnsRule rule{Utf8(name), {}};
            std::string list = Utf8(servers);
            for (size_t at = 0; at <= list.size();) {
                const size_t end = std::min(list.find(';', at), list.size());
                if (end > at) rule.servers.push_back(list.substr(at, end - at));
                at = end + 1;
            }
            rules.push_back(std::move(rule));
        }
    }
    return rules;
}

// Whether the guard's filters are in the engine; why not known otherwise.
std::optional<bool> GuardPresent(std::string& cause) {
    const Fwpuclnt& fwp = LoadFwpuclnt();
    if (fwp.loadError != 0) return cause = "fwpuclnt.dll: " + OneLine(ErrorText(fwp.loadError)), std::nullopt;
    UniqueEngine engine;
    // Nothing more is called on a failed open: Wine's functions after it end
    // the process.
    if (const DWORD code = fwp.engineOpen(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, engine.put())) {
        engine.release();
        return cause = OneLine(ErrorText(code)), std::nullopt;
    }
    HANDLE enumeration = nullptr;
    if (const DWORD code = fwp.filterCreateEnumHandle(engine.get(), nullptr, &enumeration)) {
        return cause = OneLine(ErrorText(code)), std::nullopt;
    }
    bool present = false;
    for (UINT32 returned = 1; returned > 0 && !present;) {
        UniqueFwp<FWPM_FILTER0*> filters;
        if (const DWORD code = fwp.filterEnum(engine.get(), enumeration, 64, filters.put(), &returned)) {
            fwp.filterDestroyEnumHandle(engine.get(), enumeration);
            return cause = OneLine(ErrorText(code)), std::nullopt;
        }
        for (UINT32 i = 0; i < returned; ++i) {
            const wchar_t* name = filters.get()[i]->displayData.name;
            present |= name != nullptr && wcscmp(name, kLeakGuardName) == 0;
        }
    }
    fwp.filterDestroyEnumHandle(engine.get(), enumeration);
    return present;
}

// Connected: a core runs and the default route goes into the TUN.
bool DefaultIntoTun(std::optional<unsigned long> tunIndex) {
    const ForwardTable read = ReadForwardTable();
    if (!tunIndex || read.status != ForwardTable::Status::Ok) return false;
    for (DWORD i = 0; i < read.table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = read.table->table[i];
        if (row.dwForwardDest == 0 && row.dwForwardMask == 0 && row.dwForwardIfIndex == *tunIndex) return true;
    }
    return false;
}

}  // namespace

Check CheckDns(std::optional<unsigned long> tunIndex, bool coreRuns, std::optional<bool>& guardOn) {
    DnsFacts facts;
    if (const DWORD status = ReadAdapters(facts.adapters); status != NO_ERROR) {
        return CannotCheck(Check("dns"), OneLine(ErrorText(status)));
    }
    facts.tunIndex = tunIndex;
    facts.connected = coreRuns && DefaultIntoTun(tunIndex);
    facts.dnscacheStart = DnscacheStart();
    facts.catchAll = CatchAllRules();
    facts.guardOn = guardOn = GuardPresent(facts.guardUnknown);
    return JudgeDns(facts);
}

Check JudgeDns(const DnsFacts& facts) {
    Check check{"dns"};
    std::vector<std::string> tunServers;
    const DnsAdapter* preferred = nullptr;
    for (const DnsAdapter& adapter : facts.adapters) {
        std::vector<std::string> servers;
        std::copy_if(adapter.servers.begin(), adapter.servers.end(), std::back_inserter(servers),
                     [](const std::string& server) { return !Placeholder(server); });
        const bool tun = facts.tunIndex && adapter.index == *facts.tunIndex;
        if (tun) tunServers = servers;
        check.facts.push_back(adapter.name + " if " + std::to_string(adapter.index) + " metric " +
                              std::to_string(adapter.metric) + ": " +
                              (servers.empty() ? "no DNS server" : Joined(servers)));
        if (!servers.empty() && (preferred == nullptr || adapter.metric < preferred->metric)) preferred = &adapter;
    }
    if (preferred != nullptr) check.facts.push_back("the resolver prefers " + preferred->name);
    const bool tunHasServer = !tunServers.empty();
    if (facts.tunIndex && !tunHasServer) check.facts.push_back("the TUN has no DNS server");
    const auto outside = [&](const std::string& server) {
        return std::find(tunServers.begin(), tunServers.end(), server) == tunServers.end();
    };

    if (!facts.dnscacheStart) {
        check.facts.push_back("no Dnscache service");
    } else {
        const DWORD start = *facts.dnscacheStart;
        check.facts.push_back(std::string("Dnscache ") + (start == 2 ? "automatic" : start == 3 ? "manual"
                                                            : start == 4 ? "disabled" : std::to_string(start).c_str()));
        if (start == 4) {
            Flag(check, Status::Problem,
                 "the DNS Client service is disabled: set Dnscache's Start to 2 (automatic) and restart Windows");
        }
    }
    for (const DnsRule& rule : facts.catchAll) {
        check.facts.push_back("name resolution rule " + rule.name + " sends every name to " + Joined(rule.servers));
        if (std::any_of(rule.servers.begin(), rule.servers.end(), outside)) {
            Flag(check, Status::Problem,
                 "the rule " + rule.name +
                     " sends every name outside the tunnel: remove it (Remove-DnsClientNrptRule)");
        }
    }
    if (facts.catchAll.empty()) check.facts.push_back("no catch-all name resolution rule");

    if (!facts.guardOn) {
        check.facts.push_back("leak guard: cannot check: " + facts.guardUnknown);
    } else {
        check.facts.push_back(*facts.guardOn ? "leak guard on" : "leak guard off");
    }
    if (facts.guardOn.value_or(false) && facts.tunIndex && !tunHasServer) {
        check.facts.push_back("names will not resolve: the guard blocks DNS outside the tunnel");
        Flag(check, Status::Problem, "give the TUN a DNS server (the core's config), or StopLeakGuard");
    }
    if (facts.connected && !facts.guardOn.value_or(false)) {
        for (const DnsAdapter& adapter : facts.adapters) {
            if (facts.tunIndex && adapter.index == *facts.tunIndex) continue;
            const auto leak = std::find_if(adapter.servers.begin(), adapter.servers.end(), [&](const std::string& s) {
                return !Placeholder(s) && outside(s);
            });
            if (leak == adapter.servers.end()) continue;
            check.facts.push_back("DNS queries can leave outside the tunnel: " + *leak + " via " + adapter.name);
            Flag(check, facts.guardOn ? Status::Problem : Status::Note,
                 facts.guardOn ? "the host's StartLeakGuard" : "");
            break;
        }
    }
    return check;
}

void GuardIpv6(Check& ipv6) {
    if (ipv6.status == Status::Problem) ipv6.status = Status::Ok, ipv6.action.clear();
    ipv6.facts.push_back("blocked outside the tunnel");
}

}  // namespace talir::doctor
