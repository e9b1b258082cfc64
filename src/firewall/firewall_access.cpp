#include "firewall/firewall_access.h"

#include "boundary/error_text.h"
#include "log/write_log.h"

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

const char* FailFirewallStep(FirewallAccess& access, const char* logPrefix, const char* failureText) {
    WriteLog(logPrefix + GetLastErrorText());
    CleanFirewallAccess(access);
    return failureText;
}

const char* OpenFirewallAccess(FirewallAccess& access) {
    // S_FALSE: the thread already has COM in a single-threaded apartment;
    // ours is balanced all the same.
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        return FailFirewallStep(access, "Error initialize COM: ", "Error initialize COM.");
    }
    access.comInitialised = true;

    if (FAILED(CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                reinterpret_cast<void**>(access.policy.GetAddressOf())))) {
        return FailFirewallStep(access, "Error creating INetFwPolicy2: ", "Error creating INetFwPolicy2.");
    }
    if (FAILED(access.policy->get_Rules(access.rules.GetAddressOf()))) {
        return FailFirewallStep(access, "Error getting rules: ", "Error getting rules.");
    }
    return nullptr;
}

void CleanFirewallAccess(FirewallAccess& access) {
    WriteLog("Cleaning firewall access");
    Release(access);
}

}  // namespace talir
