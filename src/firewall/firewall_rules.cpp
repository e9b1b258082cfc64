#include "firewall/firewall_rules.h"

#include "firewall/firewall_access.h"
#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <new>
#include <string>

namespace talir {

const FirewallRule SingBoxRule = {L"TalirSingBox", "Checking firewall rule", "Adding firewall rule",
                                  "Removing firewall rule."};
const FirewallRule XrayRule = {L"TalirXray", "Checking xray firewall rule", "Adding xray firewall rule",
                               "Removing xray firewall rule."};

namespace {

UniqueBstr CopyBstr(const wchar_t* text) {
    UniqueBstr copy(SysAllocString(text));
    if (!copy) throw std::bad_alloc();
    return copy;
}

// Hands the firewall a fresh copy of the rule's name, freed as soon as the
// call returns: before its result is looked at or an error text taken.
template <typename Call>
HRESULT WithName(const FirewallRule& rule, Call call) {
    const UniqueBstr name = CopyBstr(rule.name);
    return call(name.get());
}

// Dart, Node and Rust hosts pass UTF-8, C and C# hosts the ANSI code page.
// ANSI text with bytes above 0x7F is almost never valid UTF-8, so such bytes
// that form valid UTF-8 are read as UTF-8, everything else as ANSI. Null
// when the path does not convert.
UniqueBstr PathBstr(const char* path) {
    bool ascii = true;
    for (const char* at = path; *at != '\0'; ++at) ascii = ascii && static_cast<unsigned char>(*at) < 0x80;
    UINT codePage = CP_ACP;
    DWORD flags = 0;
    if (!ascii && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0) > 0) {
        codePage = CP_UTF8;
        flags = MB_ERR_INVALID_CHARS;
    }
    const int units = MultiByteToWideChar(codePage, flags, path, -1, nullptr, 0);
    if (units <= 0) return UniqueBstr();
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(codePage, flags, path, -1, wide.data(), units) != units) return UniqueBstr();
    return CopyBstr(wide.c_str());
}

const char* Succeed(FirewallAccess& access, const char* line, const char* result) {
    WriteLog(line);
    CleanFirewallAccess(access);
    return result;
}

}  // namespace

const char* CheckRule(const FirewallRule& rule) {
    WriteLog(rule.checkLine);
    FirewallAccess access;
    if (const char* failure = OpenFirewallAccess(access)) return failure;

    const HRESULT result =
        WithName(rule, [&](BSTR name) { return access.rules->Item(name, access.rule.GetAddressOf()); });
    if (SUCCEEDED(result)) return Succeed(access, "Firewall rule exist", "true");
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return Succeed(access, "Firewall rule not exist", "false");
    }
    return FailFirewallStep(access, "Error find rule: ", HresultText(result), "Error find rule.");
}

const char* AddRule(const FirewallRule& rule, const char* path) {
    WriteLog(rule.addLine);
    // An allow rule without a program would open the machine to every one.
    if (path == nullptr || *path == '\0') {
        WriteLog("Error adding rule: no application path.");
        return "Error adding rule.";
    }
    FirewallAccess access;
    if (const char* failure = OpenFirewallAccess(access)) return failure;

    HRESULT result = CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule,
                                      reinterpret_cast<void**>(access.rule.GetAddressOf()));
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error creating rule: ", HresultText(result), "Error creating rule.");
    }
    const UniqueBstr application = PathBstr(path);
    if (!application) {
        return FailFirewallStep(access, "Error adding rule: ", GetLastErrorText(), "Error adding rule.");
    }
    // Every property is set, or no rule is added: a rule without its program,
    // say, would let every program receive.
    INetFwRule& made = *access.rule.Get();
    result = WithName(rule, [&](BSTR name) { return made.put_Name(name); });
    if (SUCCEEDED(result)) result = made.put_ApplicationName(application.get());
    if (SUCCEEDED(result)) result = made.put_Protocol(256);  // any protocol (NET_FW_IP_PROTOCOL_ANY)
    if (SUCCEEDED(result)) result = made.put_Direction(NET_FW_RULE_DIR_IN);
    if (SUCCEEDED(result)) result = made.put_Action(NET_FW_ACTION_ALLOW);
    if (SUCCEEDED(result)) result = made.put_Enabled(VARIANT_TRUE);
    if (SUCCEEDED(result)) result = access.rules->Add(access.rule.Get());
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error adding rule: ", HresultText(result), "Error adding rule.");
    }
    return Succeed(access, "Rule added", "success");
}

const char* RemoveRule(const FirewallRule& rule) {
    WriteLog(rule.removeLine);
    FirewallAccess access;
    if (const char* failure = OpenFirewallAccess(access)) return failure;

    const HRESULT result = WithName(rule, [&](BSTR name) { return access.rules->Remove(name); });
    if (FAILED(result)) {
        return FailFirewallStep(access, "Error removing rule: ", HresultText(result),
                                "Error removing rule. Rule may not exist.");
    }
    return Succeed(access, "Rule removed successfully", "success");
}

}  // namespace talir
