#pragma once

#include <windows.h>
#include <netfw.h>
#include <wrl/client.h>

#include <string>

namespace talir {

// The COM state of one firewall export call. Nothing of it outlives the call.
struct FirewallAccess {
    Microsoft::WRL::ComPtr<INetFwPolicy2> policy;
    Microsoft::WRL::ComPtr<INetFwRules> rules;
    Microsoft::WRL::ComPtr<INetFwRule> rule;
    bool comInitialised = false;

    FirewallAccess() = default;
    FirewallAccess(const FirewallAccess&) = delete;
    FirewallAccess& operator=(const FirewallAccess&) = delete;
    // Only for an exception between open and clean: releases without a log
    // line, so that the thread's COM is balanced on every path.
    ~FirewallAccess();
};

// Initialises COM as a single-threaded apartment and fetches the policy and
// its rules. Returns null when open, else the failing step's constant text,
// with the failure logged and the access already cleaned.
const char* OpenFirewallAccess(FirewallAccess& access);

// Logs "Cleaning firewall access", releases rule, rules, policy in that
// order and balances this access's COM initialisation.
void CleanFirewallAccess(FirewallAccess& access);

// The failure report of a step: logPrefix with the cause (for a COM step,
// HresultText of its result), then the clean. Returns failureText.
const char* FailFirewallStep(FirewallAccess& access, const char* logPrefix, const std::string& cause,
                             const char* failureText);

}  // namespace talir
