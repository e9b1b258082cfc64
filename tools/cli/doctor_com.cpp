// The firewall rules and the autorun task, read through their COM
// interfaces: no write access is asked for and no program is started.
#include "doctor.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <windows.h>
#include <netfw.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <new>

namespace talir::doctor {
namespace {

using Microsoft::WRL::ComPtr;

const wchar_t kAutorunTask[] = L"TalirVPN Autorun";

// COM on this thread for one check; released after the check's pointers,
// which are declared after it.
class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
};

UniqueBstr Bstr(const wchar_t* text) {
    UniqueBstr copy(SysAllocString(text));
    if (!copy) throw std::bad_alloc();
    return copy;
}

Check Failed(Check check, HRESULT result) {
    return CannotCheck(std::move(check), OneLine(HresultText(result)));
}

// The firewall's rules; COM must be initialised on this thread.
HRESULT FirewallRules(ComPtr<INetFwRules>& rules) {
    ComPtr<INetFwPolicy2> policy;
    const HRESULT result = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                            reinterpret_cast<void**>(policy.GetAddressOf()));
    return SUCCEEDED(result) ? policy->get_Rules(rules.GetAddressOf()) : result;
}

}  // namespace

Check CheckFirewallRule(const char* checkName, const wchar_t* rule, const char* deleteExport) {
    Check check{checkName};
    const std::string name = Utf8(rule);
    const ComApartment com;
    if (FAILED(com.Result())) return Failed(std::move(check), com.Result());
    ComPtr<INetFwRules> rules;
    ComPtr<INetFwRule> found;
    HRESULT result = FirewallRules(rules);
    if (SUCCEEDED(result)) result = rules->Item(Bstr(rule).get(), found.GetAddressOf());
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        check.facts.push_back(name + " not present");
        return check;
    }
    if (FAILED(result)) return Failed(std::move(check), result);

    UniqueBstr application;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    if (FAILED(result = found->get_ApplicationName(application.put())) ||
        FAILED(result = found->get_Direction(&direction)) || FAILED(result = found->get_Action(&action))) {
        return Failed(std::move(check), result);
    }
    const std::wstring path = application ? application.get() : L"";
    const bool exists = !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    check.facts.push_back(name + " present");
    check.facts.push_back(direction == NET_FW_RULE_DIR_IN ? "inbound" : "outbound");
    check.facts.push_back(action == NET_FW_ACTION_ALLOW ? "allow" : "block");
    check.facts.push_back(path.empty() ? "every program" : Utf8(path) + (exists ? " exists" : " is missing"));
    // Such a rule lets the core through nowhere, and the client, finding the
    // name taken, never adds its own.
    if (!exists || direction != NET_FW_RULE_DIR_IN || action != NET_FW_ACTION_ALLOW) {
        Flag(check, Status::Problem, deleteExport);
        check.ruleToRemove = rule;
    }
    return check;
}

std::string RemoveFirewallRule(const wchar_t* rule) {
    const std::string name = Utf8(rule);
    const ComApartment com;
    if (FAILED(com.Result())) return "cannot remove " + name + ": " + OneLine(HresultText(com.Result()));
    ComPtr<INetFwRules> rules;
    ComPtr<INetFwRule> found;
    HRESULT result = FirewallRules(rules);
    if (SUCCEEDED(result)) result = rules->Remove(Bstr(rule).get());
    if (FAILED(result)) {
        return "cannot remove " + name + ": " + OneLine(HresultText(result)) +
               (result == E_ACCESSDENIED ? "; run as administrator" : "");
    }
    // Only a rule that is gone from the list counts as removed.
    result = rules->Item(Bstr(rule).get(), found.GetAddressOf());
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return "removed " + name;
    return name + " is still there" + (FAILED(result) ? ": " + OneLine(HresultText(result)) : std::string());
}

Check CheckAutorun() {
    Check check{"autorun"};
    const ComApartment com;
    if (FAILED(com.Result())) return Failed(std::move(check), com.Result());
    ComPtr<ITaskService> service;
    ComPtr<ITaskFolder> root;
    ComPtr<IRegisteredTask> task;
    HRESULT result = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                      reinterpret_cast<void**>(service.GetAddressOf()));
    VARIANT none;
    VariantInit(&none);
    if (SUCCEEDED(result)) result = service->Connect(none, none, none, none);
    if (SUCCEEDED(result)) result = service->GetFolder(Bstr(L"\\").get(), root.GetAddressOf());
    if (SUCCEEDED(result)) result = root->GetTask(Bstr(kAutorunTask).get(), task.GetAddressOf());
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        check.facts.push_back(Utf8(kAutorunTask) + " not present");
    } else if (FAILED(result)) {
        return Failed(std::move(check), result);
    } else {
        check.facts.push_back(Utf8(kAutorunTask) + " present");
    }
    return check;
}

}  // namespace talir::doctor
