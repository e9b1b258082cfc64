// Stand-in Windows Firewall: an in-process COM server for NetFwPolicy2 and
// NetFwRule. Its rules live in the file that TALIR_FW_RULES names, one per
// line in UTF-8: name TAB application TAB protocol TAB direction TAB action
// TAB enabled. A test that loads this same module reaches:
//   StandinCalls()        every call with its arguments, "Name(args)\n" each
//   StandinFail(name, hr, lastError)  the named call answers hr, with the
//                         thread's last error set to lastError
//   StandinReferences()   references still held on objects handed out
//   StandinReset()        forgets the calls so far and every failure set
#include <initguid.h>
#include <windows.h>
#include <netfw.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

std::wstring calls;
std::map<std::string, std::pair<HRESULT, DWORD>> failures;
LONG references = 0;

// Records the call; answers its configured failure, else S_OK. The failure's
// last error is set last, so the caller must return at once.
HRESULT Record(const char* name, const std::wstring& arguments = L"") {
    calls += std::wstring(name, name + strlen(name)) + L"(" + arguments + L")\n";
    const auto failure = failures.find(name);
    if (failure == failures.end()) return S_OK;
    SetLastError(failure->second.second);
    return failure->second.first;
}

std::string Utf8(const std::wstring& text) {
    std::string bytes(text.size() * 4, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    return bytes;
}

std::wstring Wide(const std::string& bytes) {
    std::wstring text(bytes.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                    static_cast<int>(text.size())));
    return text;
}

// A new NetFwRule starts as Windows' does: any protocol (256), inbound, allow,
// disabled.
struct RuleData {
    std::wstring name, application;
    LONG protocol = 256, direction = NET_FW_RULE_DIR_IN, action = NET_FW_ACTION_ALLOW,
         enabled = VARIANT_FALSE;
};

std::string RulesPath() {
    char path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("TALIR_FW_RULES", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? path : "";
}

std::vector<RuleData> LoadRules() {
    std::vector<RuleData> rules;
    std::ifstream in(RulesPath(), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() != 6) continue;
        rules.push_back({Wide(fields[0]), Wide(fields[1]), std::stol(fields[2]), std::stol(fields[3]),
                         std::stol(fields[4]), std::stol(fields[5])});
    }
    return rules;
}

void SaveRules(const std::vector<RuleData>& rules) {
    std::ofstream out(RulesPath(), std::ios::binary | std::ios::trunc);
    for (const RuleData& rule : rules) {
        out << Utf8(rule.name) << '\t' << Utf8(rule.application) << '\t' << rule.protocol << '\t'
            << rule.direction << '\t' << rule.action << '\t' << rule.enabled << '\n';
    }
}

// Every reference handed out counts in `references` until released.
template <typename Interface>
class Object : public Interface {
public:
    Object() { ++references; }
    virtual ~Object() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(Interface) ||
            (std::is_base_of_v<IDispatch, Interface> && iid == IID_IDispatch)) {
            *out = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        ++references;
        return ++count_;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        --references;
        const ULONG left = --count_;
        if (left == 0) delete this;
        return left;
    }

private:
    ULONG count_ = 1;
};

#define STUB(name, ...) \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }

template <typename Interface>
class Dispatch : public Object<Interface> {
public:
    STUB(GetTypeInfoCount, UINT*)
    STUB(GetTypeInfo, UINT, LCID, ITypeInfo**)
    STUB(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    STUB(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
};

std::wstring Text(BSTR value) {
    return value ? std::wstring(value, SysStringLen(value)) : L"<null>";
}

HRESULT CopyOut(BSTR* out, const std::wstring& text) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <typename T, typename V>
HRESULT NumberOut(T* out, V value) {
    if (!out) return E_POINTER;
    *out = static_cast<T>(value);
    return S_OK;
}

class Rule : public Dispatch<INetFwRule> {
public:
    explicit Rule(RuleData data = {}) : data_(std::move(data)) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return CopyOut(out, data_.name); }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR value) override { return Set("put_Name", data_.name, value); }
    HRESULT STDMETHODCALLTYPE get_ApplicationName(BSTR* out) override {
        return CopyOut(out, data_.application);
    }
    HRESULT STDMETHODCALLTYPE put_ApplicationName(BSTR value) override {
        return Set("put_ApplicationName", data_.application, value);
    }
    HRESULT STDMETHODCALLTYPE get_Protocol(LONG* out) override { return NumberOut(out, data_.protocol); }
    HRESULT STDMETHODCALLTYPE put_Protocol(LONG value) override { return Set("put_Protocol", data_.protocol, value); }
    HRESULT STDMETHODCALLTYPE get_Direction(NET_FW_RULE_DIRECTION* out) override {
        return NumberOut(out, data_.direction);
    }
    HRESULT STDMETHODCALLTYPE put_Direction(NET_FW_RULE_DIRECTION value) override {
        return Set("put_Direction", data_.direction, value);
    }
    HRESULT STDMETHODCALLTYPE get_Action(NET_FW_ACTION* out) override { return NumberOut(out, data_.action); }
    HRESULT STDMETHODCALLTYPE put_Action(NET_FW_ACTION value) override {
        return Set("put_Action", data_.action, value);
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* out) override { return NumberOut(out, data_.enabled); }
    HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL value) override {
        return Set("put_Enabled", data_.enabled, value);
    }

    STUB(get_Description, BSTR*)
    STUB(put_Description, BSTR)
    STUB(get_ServiceName, BSTR*)
    STUB(put_ServiceName, BSTR)
    STUB(get_LocalPorts, BSTR*)
    STUB(put_LocalPorts, BSTR)
    STUB(get_RemotePorts, BSTR*)
    STUB(put_RemotePorts, BSTR)
    STUB(get_LocalAddresses, BSTR*)
    STUB(put_LocalAddresses, BSTR)
    STUB(get_RemoteAddresses, BSTR*)
    STUB(put_RemoteAddresses, BSTR)
    STUB(get_IcmpTypesAndCodes, BSTR*)
    STUB(put_IcmpTypesAndCodes, BSTR)
    STUB(get_Interfaces, VARIANT*)
    STUB(put_Interfaces, VARIANT)
    STUB(get_InterfaceTypes, BSTR*)
    STUB(put_InterfaceTypes, BSTR)
    STUB(get_Grouping, BSTR*)
    STUB(put_Grouping, BSTR)
    STUB(get_Profiles, LONG*)
    STUB(put_Profiles, LONG)
    STUB(get_EdgeTraversal, VARIANT_BOOL*)
    STUB(put_EdgeTraversal, VARIANT_BOOL)

private:
    static HRESULT Set(const char* name, std::wstring& field, BSTR value) {
        if (const HRESULT failure = Record(name, Text(value)); FAILED(failure)) return failure;
        field = value ? Text(value) : L"";
        return S_OK;
    }
    static HRESULT Set(const char* name, LONG& field, LONG value) {
        if (const HRESULT failure = Record(name, std::to_wstring(value)); FAILED(failure)) return failure;
        field = value;
        return S_OK;
    }

    RuleData data_;
};

class Rules : public Dispatch<INetFwRules> {
public:
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        if (const HRESULT failure = Record("get_Count"); FAILED(failure)) return failure;
        return NumberOut(count, LoadRules().size());
    }

    // Reads the submitted rule back through its interface, as a firewall would.
    HRESULT STDMETHODCALLTYPE Add(INetFwRule* rule) override {
        if (!rule) return E_POINTER;
        RuleData data;
        BSTR name = nullptr, application = nullptr;
        NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
        NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
        VARIANT_BOOL enabled = VARIANT_FALSE;
        rule->get_Name(&name);
        rule->get_ApplicationName(&application);
        rule->get_Protocol(&data.protocol);
        rule->get_Direction(&direction);
        rule->get_Action(&action);
        rule->get_Enabled(&enabled);
        data.name = Text(name);
        data.application = Text(application);
        SysFreeString(name);
        SysFreeString(application);
        data.direction = direction;
        data.action = action;
        data.enabled = enabled;
        if (const HRESULT failure = Record("Add", data.name); FAILED(failure)) return failure;
        std::vector<RuleData> rules = LoadRules();
        rules.push_back(data);
        SaveRules(rules);
        return S_OK;
    }

    // As Windows does, removing a name it does not hold succeeds.
    HRESULT STDMETHODCALLTYPE Remove(BSTR name) override {
        if (const HRESULT failure = Record("Remove", Text(name)); FAILED(failure)) return failure;
        std::vector<RuleData> rules = LoadRules();
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            if (rule->name == Text(name)) {
                rules.erase(rule);
                SaveRules(rules);
                break;
            }
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Item(BSTR name, INetFwRule** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (const HRESULT failure = Record("Item", Text(name)); FAILED(failure)) return failure;
        for (const RuleData& rule : LoadRules()) {
            if (rule.name == Text(name)) {
                *out = new Rule(rule);
                return S_OK;
            }
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    STUB(get__NewEnum, IUnknown**)
};

class Policy : public Dispatch<INetFwPolicy2> {
public:
    HRESULT STDMETHODCALLTYPE get_Rules(INetFwRules** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (const HRESULT failure = Record("get_Rules"); FAILED(failure)) return failure;
        *out = new Rules;
        return S_OK;
    }

    STUB(get_CurrentProfileTypes, LONG*)
    STUB(get_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    STUB(put_FirewallEnabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    STUB(get_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT*)
    STUB(put_ExcludedInterfaces, NET_FW_PROFILE_TYPE2, VARIANT)
    STUB(get_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    STUB(put_BlockAllInboundTraffic, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    STUB(get_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    STUB(put_NotificationsDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    STUB(get_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL*)
    STUB(put_UnicastResponsesToMulticastBroadcastDisabled, NET_FW_PROFILE_TYPE2, VARIANT_BOOL)
    STUB(get_ServiceRestriction, INetFwServiceRestriction**)
    STUB(EnableRuleGroup, LONG, BSTR, VARIANT_BOOL)
    STUB(IsRuleGroupEnabled, LONG, BSTR, VARIANT_BOOL*)
    STUB(RestoreLocalFirewallDefaults)
    STUB(get_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    STUB(put_DefaultInboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    STUB(get_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION*)
    STUB(put_DefaultOutboundAction, NET_FW_PROFILE_TYPE2, NET_FW_ACTION)
    STUB(get_IsRuleGroupCurrentlyEnabled, BSTR, VARIANT_BOOL*)
    STUB(get_LocalPolicyModifyState, NET_FW_MODIFY_STATE*)
};

class Factory : public Object<IClassFactory> {
public:
    explicit Factory(bool policy) : policy_(policy) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        const HRESULT failure = Record(policy_ ? "CreatePolicy" : "CreateRule");
        if (FAILED(failure)) return failure;
        IUnknown* object = policy_ ? static_cast<IUnknown*>(new Policy) : static_cast<IUnknown*>(new Rule);
        const HRESULT result = object->QueryInterface(iid, out);
        object->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    bool policy_;
};

}  // namespace

extern "C" {

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != CLSID_NetFwPolicy2 && clsid != CLSID_NetFwRule) return CLASS_E_CLASSNOTAVAILABLE;
    Factory* factory = new Factory(clsid == CLSID_NetFwPolicy2);
    const HRESULT result = factory->QueryInterface(iid, out);
    factory->Release();
    return result;
}

HRESULT WINAPI DllCanUnloadNow() {
    return references == 0 ? S_OK : S_FALSE;
}

const wchar_t* StandinCalls() {
    return calls.c_str();
}

void StandinFail(const char* name, HRESULT result, DWORD lastError) {
    failures[name] = {result, lastError};
}

LONG StandinReferences() {
    return references;
}

void StandinReset() {
    calls.clear();
    failures.clear();
}

}  // extern "C"
