// The firewall rules and the autorun task, read through their COM
// interfaces: no write access is asked for and no program is started.
#include "doctor.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <windows.h>
#include <netfw.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <cwchar>
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

// A rule's program is missing only when Windows says so; a path that cannot
// be read for another reason (another user's folder, a drive this token
// does not see) may be valid.
enum class Verdict { Valid, Broken, Unsure };

// How many rules of a name there are, by verdict.
struct Tally {
    int valid = 0, broken = 0, unsure = 0;
    void Add(Verdict verdict) { ++(verdict == Verdict::Valid ? valid : verdict == Verdict::Broken ? broken : unsure); }
    int All() const { return valid + broken + unsure; }
};

// Judges one rule; what it found goes to facts.
Verdict JudgeRule(INetFwRule& rule, const std::string& name, std::vector<std::string>& facts) {
    UniqueBstr application;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    HRESULT result = S_OK;
    if (FAILED(result = rule.get_ApplicationName(application.put())) ||
        FAILED(result = rule.get_Direction(&direction)) || FAILED(result = rule.get_Action(&action))) {
        facts.push_back(name + " cannot be read: " + OneLine(HresultText(result)));
        return Verdict::Unsure;
    }
    facts.push_back(name + " present");
    facts.push_back(direction == NET_FW_RULE_DIR_IN ? "inbound" : "outbound");
    facts.push_back(action == NET_FW_ACTION_ALLOW ? "allow" : "block");
    const Verdict verdict =
        direction == NET_FW_RULE_DIR_IN && action == NET_FW_ACTION_ALLOW ? Verdict::Valid : Verdict::Broken;
    const std::wstring stored = application ? application.get() : L"";
    if (stored.empty()) {
        facts.push_back("every program");
        return verdict;
    }
    // As the firewall reads it: %ProgramFiles%\... names a path of its own.
    std::wstring path(ExpandEnvironmentStringsW(stored.c_str(), nullptr, 0), L'\0');
    const DWORD length = ExpandEnvironmentStringsW(stored.c_str(), path.data(), static_cast<DWORD>(path.size()));
    path.resize(length > 0 ? length - 1 : 0);
    DWORD code = NO_ERROR;
    if (length == 0 || GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) code = GetLastError();
    if (code == NO_ERROR) {
        facts.push_back(Utf8(stored) + " exists");
        return verdict;
    }
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        facts.push_back(Utf8(stored) + " is missing");
        return Verdict::Broken;
    }
    facts.push_back(Utf8(stored) + ": cannot check: " + OneLine(ErrorText(code)));
    return verdict == Verdict::Valid ? Verdict::Unsure : verdict;
}

// Judges every rule called name: Item and Remove each act on one of several
// rules of a name, unknown which.
HRESULT JudgeNamed(INetFwRules& rules, const wchar_t* name, std::vector<std::string>& facts, Tally& tally) {
    ComPtr<IUnknown> enumerator;
    ComPtr<IEnumVARIANT> each;
    HRESULT result = rules.get__NewEnum(enumerator.GetAddressOf());
    if (SUCCEEDED(result)) result = enumerator.As(&each);
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 0;
    while (SUCCEEDED(result) && (result = each->Next(1, &item, &fetched)) == S_OK && fetched == 1) {
        ComPtr<INetFwRule> rule;
        UniqueBstr ruleName;
        if (item.vt == VT_DISPATCH && item.pdispVal != nullptr &&
            SUCCEEDED(result = item.pdispVal->QueryInterface(IID_INetFwRule,
                                                             reinterpret_cast<void**>(rule.GetAddressOf()))) &&
            SUCCEEDED(result = rule->get_Name(ruleName.put())) && ruleName && std::wcscmp(ruleName.get(), name) == 0) {
            tally.Add(JudgeRule(*rule.Get(), Utf8(name), facts));
        }
        VariantClear(&item);
    }
    return result == S_FALSE ? S_OK : result;
}

}  // namespace

Check CheckFirewallRule(const char* checkName, const wchar_t* rule, const char* deleteExport) {
    Check check{checkName};
    const ComApartment com;
    if (FAILED(com.Result())) return Failed(std::move(check), com.Result());
    ComPtr<INetFwRules> rules;
    Tally tally;
    HRESULT result = FirewallRules(rules);
    if (SUCCEEDED(result)) result = JudgeNamed(*rules.Get(), rule, check.facts, tally);
    if (FAILED(result)) return Failed(std::move(check), result);
    if (tally.All() == 0) check.facts.push_back(Utf8(rule) + " not present");
    if (tally.unsure > 0) Flag(check, Status::Note, "");
    if (tally.broken == 0) return check;
    // Such a rule lets the core through nowhere, and the client, finding the
    // name taken, never adds its own. Removal goes by name: only when every
    // rule of the name is broken.
    if (tally.broken == tally.All()) {
        Flag(check, Status::Problem, deleteExport);
        check.ruleToRemove = rule;
    } else {
        Flag(check, Status::Problem,
             "remove the broken " + Utf8(rule) + " in the firewall's settings: the others of its name stay");
    }
    return check;
}

std::string RemoveFirewallRule(const wchar_t* rule) {
    const std::string name = Utf8(rule);
    const ComApartment com;
    if (FAILED(com.Result())) return "cannot remove " + name + ": " + OneLine(HresultText(com.Result()));
    ComPtr<INetFwRules> rules;
    HRESULT result = FirewallRules(rules);
    // Judged again before each removal, and only a rule gone from the list
    // counts as removed: one that became valid meanwhile stays.
    for (int removed = 0, before = -1; SUCCEEDED(result); ++removed) {
        std::vector<std::string> facts;
        Tally tally;
        if (FAILED(result = JudgeNamed(*rules.Get(), rule, facts, tally))) break;
        if (tally.All() == 0) {
            return "removed " + name + (removed > 1 ? " (" + std::to_string(removed) + " rules)" : "");
        }
        if (tally.All() == before) return name + " is still there";
        if (tally.broken < tally.All()) return name + " is still there: a rule of that name may be valid";
        before = tally.All();
        result = rules->Remove(Bstr(rule).get());
    }
    return "cannot remove " + name + ": " + OneLine(HresultText(result)) +
           (result == E_ACCESSDENIED ? "; run as administrator" : "");
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
