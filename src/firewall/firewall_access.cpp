#include "firewall/firewall_access.h"

#include "log/write_log.h"
#include "toolkit/error_text.h"

namespace talir {
namespace {

void Release(FirewallAccess& access) noexcept {
    access.rule.Reset();
    access.rules.Reset();
    access.policy.Reset();
    // A thread that was already in another apartment keeps it untouched.
    if (access.comInitialised) CoUninitialize();
    access.comInitialised = false;
}

}  // namespace

FirewallAccess::~FirewallAccess() {
    Release(*this);
}

const char* FailFirewallStep(FirewallAccess& access, const char* logPrefix, const std::string& cause,
                             const char* failureText) {
    WriteLog(logPrefix + cause);
    CleanFirewallAccess(access);
    return failureText;
}

const char* OpenFirewallAccess(FirewallAccess& access) {
    // S_FALSE: the thread already has COM in a single-threaded apartment;
    // ours is balanced all the same.
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error initialize COM: ", HresultText(result), "Error initialize COM.");
    }
    access.comInitialised = true;

    result = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                              reinterpret_cast<void**>(access.policy.GetAddressOf()));
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error creating INetFwPolicy2: ", HresultText(result),
                                "Error creating INetFwPolicy2.");
    }
    result = access.policy->get_Rules(access.rules.GetAddressOf());
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error getting rules: ", HresultText(result), "Error getting rules.");
    }
    return nullptr;
}

void CleanFirewallAccess(FirewallAccess& access) {
    WriteLog("Cleaning firewall access");
    Release(access);
}

}  // namespace talir
