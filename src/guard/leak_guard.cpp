#include "guard/leak_guard.h"

#include "guard/fwpuclnt.h"
#include "guard/wfp_values.h"
#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/lock.h"
#include "toolkit/result_string.h"

#include <iphlpapi.h>
#include <objbase.h>

#include <string>
#include <utility>
#include <vector>

namespace talir {

const wchar_t kLeakGuardName[] = L"Talir VPN leak guard";

namespace {

SRWLOCK guardLock = SRWLOCK_INIT;
// Deliberately not an owner type: a destructor would call into fwpuclnt at
// unload; Windows closes the session with the process anyway.
HANDLE guardEngine = nullptr;

// Permits outrank the blocks of the guard's own sublayer; a block in any
// sublayer still beats them, so the core's permit takes nothing from the
// user's own firewall.
constexpr UINT8 kCoreWeight = 15, kTunnelWeight = 14, kLoopbackWeight = 13, kServiceWeight = 12, kBlockWeight = 0;

enum class Match { Core, Tunnel, Loopback, Dns, DnsOverTls, NeighbourDiscovery, Dhcpv6, Everything };

struct FilterPlan {
    const GUID* layer;
    Match match;
};

// IPv4: only DNS is blocked, outside the tunnel and loopback. IPv6: all of
// it, both ways, but for the core, the link's own neighbour discovery and
// DHCPv6.
const FilterPlan kPlan[] = {
    {&wfp::kLayerConnectV4, Match::Core},          {&wfp::kLayerConnectV4, Match::Tunnel},
    {&wfp::kLayerConnectV4, Match::Loopback},      {&wfp::kLayerConnectV4, Match::Dns},
    {&wfp::kLayerConnectV4, Match::DnsOverTls},
    {&wfp::kLayerConnectV6, Match::Core},          {&wfp::kLayerConnectV6, Match::Tunnel},
    {&wfp::kLayerConnectV6, Match::Loopback},      {&wfp::kLayerConnectV6, Match::NeighbourDiscovery},
    {&wfp::kLayerConnectV6, Match::Dhcpv6},        {&wfp::kLayerConnectV6, Match::Everything},
    {&wfp::kLayerRecvAcceptV6, Match::Core},       {&wfp::kLayerRecvAcceptV6, Match::Tunnel},
    {&wfp::kLayerRecvAcceptV6, Match::Loopback},   {&wfp::kLayerRecvAcceptV6, Match::NeighbourDiscovery},
    {&wfp::kLayerRecvAcceptV6, Match::Dhcpv6},     {&wfp::kLayerRecvAcceptV6, Match::Everything},
};

FWPM_FILTER_CONDITION0 Equal(const GUID& field, FWP_DATA_TYPE type) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = field;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = type;
    return condition;
}

FWPM_FILTER_CONDITION0 Protocol(UINT8 protocol) {
    FWPM_FILTER_CONDITION0 condition = Equal(wfp::kProtocol, FWP_UINT8);
    condition.conditionValue.uint8 = protocol;
    return condition;
}

FWPM_FILTER_CONDITION0 Port(const GUID& field, UINT16 port) {
    FWPM_FILTER_CONDITION0 condition = Equal(field, FWP_UINT16);
    condition.conditionValue.uint16 = port;
    return condition;
}

// What one filter needs to hold on to while it is added.
struct Values {
    FWP_BYTE_BLOB* core;
    UINT64 tunnel;
};

// Conditions of one field are OR-ed, of different fields AND-ed.
std::vector<FWPM_FILTER_CONDITION0> Conditions(Match match, Values& values) {
    std::vector<FWPM_FILTER_CONDITION0> conditions;
    switch (match) {
    case Match::Core:
        conditions.push_back(Equal(wfp::kAppId, FWP_BYTE_BLOB_TYPE));
        conditions.back().conditionValue.byteBlob = values.core;
        break;
    case Match::Tunnel:
        conditions.push_back(Equal(wfp::kLocalInterface, FWP_UINT64));
        conditions.back().conditionValue.uint64 = &values.tunnel;
        break;
    case Match::Loopback:
        conditions.push_back(Equal(wfp::kFlags, FWP_UINT32));
        conditions.back().matchType = FWP_MATCH_FLAGS_ALL_SET;
        conditions.back().conditionValue.uint32 = FWP_CONDITION_FLAG_IS_LOOPBACK;
        break;
    case Match::Dns:
        conditions = {Protocol(IPPROTO_UDP), Protocol(IPPROTO_TCP),
                      Port(wfp::kRemotePort, 53)};
        break;
    case Match::DnsOverTls:
        conditions = {Protocol(IPPROTO_TCP), Port(wfp::kRemotePort, 853)};
        break;
    case Match::NeighbourDiscovery:
        // Router and neighbour solicitation and advertisement, redirect: the
        // ICMP type is the local port field at these layers.
        conditions.push_back(Protocol(IPPROTO_ICMPV6));
        for (UINT16 type = 133; type <= 137; ++type) conditions.push_back(Port(wfp::kLocalPort, type));
        break;
    case Match::Dhcpv6:
        conditions = {Protocol(IPPROTO_UDP), Port(wfp::kLocalPort, 546),
                      Port(wfp::kRemotePort, 547)};
        break;
    case Match::Everything:
        break;
    }
    return conditions;
}

UINT8 Weight(Match match) {
    switch (match) {
    case Match::Core:
        return kCoreWeight;
    case Match::Tunnel:
        return kTunnelWeight;
    case Match::Loopback:
        return kLoopbackWeight;
    case Match::NeighbourDiscovery:
    case Match::Dhcpv6:
        return kServiceWeight;
    default:
        return kBlockWeight;
    }
}

bool Blocks(Match match) {
    return match == Match::Dns || match == Match::DnsOverTls || match == Match::Everything;
}

char* Refuse(const std::string& step, DWORD code) {
    const std::string reason = ErrorText(code);
    WriteLog("Failed to start leak guard, " + step + ". Error: " + reason);
    return ToResultString("Error: leak guard: " + reason);
}

}  // namespace

char* StartLeakGuard(FindTun findTun) {
    WriteLog("Starting leak guard");
    unsigned long tunIndex = 0;
    if (!findTun(tunIndex)) {
        std::string text = "Error: sing interface not found.";
        WriteLog(text);
        return ToResultString(std::move(text));
    }
    Values values{};
    NET_LUID tunnel{};
    if (const DWORD code = ConvertInterfaceIndexToLuid(tunIndex, &tunnel); code != NO_ERROR) {
        return Refuse("the tunnel's interface", code);
    }
    values.tunnel = tunnel.Value;
    wchar_t core[MAX_PATH];
    const DWORD length = GetFullPathNameW(L"lib_win\\sing-box.exe", MAX_PATH, core, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return Refuse("the core's path", length ? ERROR_FILENAME_EXCED_RANGE : GetLastError());
    }

    const Fwpuclnt& fwp = LoadFwpuclnt();
    if (fwp.loadError != 0) return Refuse("fwpuclnt.dll", fwp.loadError);
    FWPM_SESSION0 session{};
    session.displayData.name = const_cast<wchar_t*>(kLeakGuardName);
    session.flags = wfp::kSessionDynamic;
    UniqueEngine engine;
    // Under Wine the open fails and the functions after it end the process:
    // nothing more is called on a failed open.
    if (const DWORD code = fwp.engineOpen(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, engine.put())) {
        engine.release();
        return Refuse("opening the filtering engine", code);
    }
    UniqueFwp<FWP_BYTE_BLOB> coreId;
    if (const DWORD code = fwp.appIdFromFileName(core, coreId.put())) return Refuse("the core's application id", code);
    values.core = coreId.get();

    if (const DWORD code = fwp.transactionBegin(engine.get(), 0)) return Refuse("beginning a transaction", code);
    // All or nothing: an abort takes back what this transaction added.
    const auto abort = [&](const std::string& step, DWORD code) {
        fwp.transactionAbort(engine.get());
        return Refuse(step, code);
    };
    FWPM_SUBLAYER0 sublayer{};
    // A fresh key each time: a fixed one collides with another copy of it.
    if (const HRESULT result = CoCreateGuid(&sublayer.subLayerKey); FAILED(result)) {
        return abort("the sublayer's key", static_cast<DWORD>(result));
    }
    sublayer.displayData.name = const_cast<wchar_t*>(kLeakGuardName);
    sublayer.weight = 0xFFFF;
    if (const DWORD code = fwp.subLayerAdd(engine.get(), &sublayer, nullptr)) return abort("adding the sublayer", code);

    int number = 0;
    for (const FilterPlan& plan : kPlan) {
        ++number;
        std::vector<FWPM_FILTER_CONDITION0> conditions = Conditions(plan.match, values);
        FWPM_FILTER0 filter{};
        filter.displayData.name = const_cast<wchar_t*>(kLeakGuardName);
        filter.layerKey = *plan.layer;
        filter.subLayerKey = sublayer.subLayerKey;
        filter.weight.type = FWP_UINT8;
        filter.weight.uint8 = Weight(plan.match);
        filter.action.type = Blocks(plan.match) ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
        filter.numFilterConditions = static_cast<UINT32>(conditions.size());
        filter.filterCondition = conditions.empty() ? nullptr : conditions.data();
        if (const DWORD code = fwp.filterAdd(engine.get(), &filter, nullptr, nullptr)) {
            return abort("adding filter " + std::to_string(number) + " of " + std::to_string(std::size(kPlan)),
                         code);
        }
    }
    if (const DWORD code = fwp.transactionCommit(engine.get())) return Refuse("committing the transaction", code);

    // The new set is in place before the old one goes: no gap between them.
    UniqueEngine replaced;
    {
        const ExclusiveLock lock(guardLock);
        replaced.reset(std::exchange(guardEngine, engine.release()));
    }
    WriteLog("Success start leak guard");
    return ToResultString("success");
}

bool EndLeakGuard() noexcept {
    UniqueEngine ended;
    {
        const ExclusiveLock lock(guardLock);
        ended.reset(std::exchange(guardEngine, nullptr));
    }
    if (!ended) return false;
    ended.reset();
    WriteLog("Success stop leak guard");
    return true;
}

void StopLeakGuard() noexcept {
    WriteLog("Stopping leak guard");
    if (!EndLeakGuard()) WriteLog("Leak guard not on");
}

}  // namespace talir
