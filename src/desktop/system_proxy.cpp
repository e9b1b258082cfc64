#include "desktop/desktop.h"
#include "desktop/proxy_options.h"
#include "log/write_log.h"
#include "toolkit/change_record.h"
#include "toolkit/error_text.h"
#include "toolkit/execute_command.h"
#include "toolkit/unique.h"
#include "toolkit/utf8.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>

namespace talir {

const char kInternetSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

namespace {

const char kProxySuccess[] = "success";
const char kProxyPerMachine[] = "Error: proxy settings are per machine.";
const char kInvalidPort[] = "Error: invalid proxy port.";
const char kOpenFailed[] = "Error: failed to open registry key.";
const char kEnableFailed[] = "Error: failed to set ProxyEnable value.";
const char kServerFailed[] = "Error: failed to set ProxyServer value.";
const char kNotRecorded[] = "Error: failed to record the proxy settings.";
const char kNotApplied[] = "Error: failed to set the connections' proxy options.";

// The library's proxy on a connection: no detection, no script.
constexpr DWORD kProxyOn = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
const wchar_t* const kValues[] = {L"ProxyEnable", L"ProxyServer"};

std::string ConnectionName(const std::wstring& name) {
    return name.empty() ? "the LAN" : Utf8(name);
}

// The group policy "Make proxy settings per-machine": WinINet then ignores
// the user's settings, and a write of the connections' options would change
// every user's.
bool PerMachine() {
    DWORD perUser = 1, size = sizeof perUser;
    return RegGetValueW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                        L"ProxySettingsPerUser", RRF_RT_REG_DWORD, nullptr, &perUser, &size) == ERROR_SUCCESS &&
           perUser == 0;
}

// The value's type and bytes as they are, or its absence.
bool ReadValue(HKEY key, const wchar_t* name, RecordedValue& value, std::string& errorText) {
    value = RecordedValue{name};
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        value.data.resize(size);
        status = RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(value.data.data()), &size);
        value.data.resize(size);
    }
    if (status == ERROR_FILE_NOT_FOUND) return true;
    value.present = status == ERROR_SUCCESS;
    if (!value.present) errorText = Utf8(name) + ": " + ErrorText(status);
    return value.present;
}

// A value as it was: its bytes again, or deleted when it was absent.
bool WriteValue(HKEY key, const RecordedValue& value, std::string& errorText) {
    const LSTATUS status =
        value.present ? RegSetValueExW(key, value.name.c_str(), 0, value.type,
                                       reinterpret_cast<const BYTE*>(value.data.data()),
                                       static_cast<DWORD>(value.data.size()))
                      : RegDeleteValueW(key, value.name.c_str());
    if (status == ERROR_SUCCESS || (!value.present && status == ERROR_FILE_NOT_FOUND)) return true;
    errorText = Utf8(value.name) + ": " + ErrorText(status);
    return false;
}

std::wstring TextOf(const RecordedValue& value) {
    if (!value.present || (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// Whether the value still holds what a switch-on wrote.
bool HoldsWhatWasSet(const RecordedValue& value, const std::wstring& server) {
    if (value.name == L"ProxyServer") return value.present && TextOf(value) == server;
    return value.present && value.type == REG_DWORD && value.data == std::string("\1\0\0\0", 4);
}

// The options a switch-on gives a connection recorded as before.
ConnectionProxy Proxied(const ConnectionProxy& before, const std::wstring& server) {
    ConnectionProxy proxied = before;
    proxied.flags = kProxyOn;
    proxied.server = server;
    return proxied;
}

// The state decides, not the answers of the calls that set it.
bool LanHolds(const ConnectionProxy& set, std::string& errorText) {
    ConnectionProxy lan;
    if (!QueryConnection(lan, errorText)) return false;
    if (SameSettings(lan, set)) return true;
    errorText = "its options read back are not those set";
    return false;
}

bool LoopbackServer(const std::wstring& server) {
    return server.rfind(L"127.0.0.1:", 0) == 0;
}

// Adds to the record what a switch-on will change: on the first, the
// registry values and every connection; on a later one, a connection made
// since (the first one's record is what the user had).
bool KeepWhatIsThere(HKEY key, const std::vector<std::wstring>& names, ChangeRecord& record, std::string& errorText) {
    if (!record.proxy) {
        record.proxy.emplace();
        for (const wchar_t* name : kValues) {
            record.proxy->values.emplace_back();
            if (!ReadValue(key, name, record.proxy->values.back(), errorText)) return false;
        }
    }
    std::vector<ConnectionProxy>& kept = record.proxy->connections;
    for (const std::wstring& name : names) {
        if (std::any_of(kept.begin(), kept.end(), [&](const ConnectionProxy& c) { return c.name == name; })) continue;
        kept.push_back(ConnectionProxy{name});
        if (!QueryConnection(kept.back(), errorText)) return false;
    }
    return true;
}

const char* SwitchOn(int port) {
    if (PerMachine()) {
        WriteLog(kProxyPerMachine);
        return kProxyPerMachine;
    }
    UniqueKey key;
    if (const LSTATUS status =
            RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
        status != ERROR_SUCCESS) {
        WriteLog("Error: failed to open registry key: " + ErrorText(status));
        return kOpenFailed;
    }
    const std::string server = "127.0.0.1:" + std::to_string(port);
    const std::wstring wideServer(server.begin(), server.end());

    // What is there is kept before anything changes.
    const RecordAccess access;
    RecordRead read = access.Read();
    std::string errorText;
    std::vector<std::wstring> names;
    if (read.state == RecordState::Unreadable) {
        errorText = "the record cannot be read: " + read.problem;
    } else if (ListConnections(names, errorText) && KeepWhatIsThere(key.get(), names, read.record, errorText)) {
        read.record.proxy->server = wideServer;
        read.record.proxy->when = RecordTime();
        read.record.host = ThisProcess();
        errorText = access.Write(read.record);
    }
    if (!errorText.empty()) {
        WriteLog("Error: failed to record the proxy settings: " + errorText);
        return kNotRecorded;
    }

    // The legacy values first, as always: tools read them.
    const DWORD enable = 1;
    if (const LSTATUS status = RegSetValueExA(key.get(), "ProxyEnable", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&enable), sizeof enable);
        status != ERROR_SUCCESS) {
        WriteLog("Error: failed to set ProxyEnable value: " + ErrorText(status));
        return kEnableFailed;
    }
    const char* result = kProxySuccess;
    if (const LSTATUS status = RegSetValueExA(key.get(), "ProxyServer", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(server.c_str()),
                                              static_cast<DWORD>(server.size() + 1));
        status != ERROR_SUCCESS) {
        WriteLog("Error: failed to set ProxyServer value: " + ErrorText(status));
        result = kServerFailed;
    }
    key.reset();

    if (result == kProxySuccess) {
        for (const ConnectionProxy& before : read.record.proxy->connections) {
            if (std::find(names.begin(), names.end(), before.name) == names.end()) continue;  // entry deleted
            if (!SetConnection(Proxied(before, wideServer), false, errorText)) {
                WriteLog("Error: failed to set the proxy of " + ConnectionName(before.name) + ": " + errorText);
                result = kNotApplied;
            }
        }
        const auto& kept = read.record.proxy->connections;
        const auto lan =
            std::find_if(kept.begin(), kept.end(), [](const ConnectionProxy& c) { return c.name.empty(); });
        if (result == kProxySuccess && lan != kept.end() && !LanHolds(Proxied(*lan, wideServer), errorText)) {
            WriteLog("Error: failed to set the proxy of the LAN: " + errorText);
            result = kNotApplied;
        }
    }
    // Something was written, also when a later step failed.
    NotifyProxyChange();
    if (result == kProxySuccess) WriteLog("Success set system proxy");
    return result;
}

}  // namespace

namespace {

void Fail(ProxySwitch& outcome, const char* result, const std::string& line) {
    outcome.result = result;
    outcome.lines.push_back(line);
}

// The user's settings key for reading and writing, and the connections; a
// switch-off goes on with the LAN alone when the entries cannot be listed.
bool OpenForSwitchOff(UniqueKey& key, std::vector<std::wstring>& names, ProxySwitch& outcome) {
    if (PerMachine()) {
        Fail(outcome, kProxyPerMachine, kProxyPerMachine);
        return false;
    }
    if (const LSTATUS status =
            RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
        status != ERROR_SUCCESS) {
        Fail(outcome, kOpenFailed, "Error: failed to open registry key: " + ErrorText(status));
        return false;
    }
    std::string errorText;
    if (!ListConnections(names, errorText)) {
        outcome.lines.push_back("Only the LAN's proxy settings are switched off: " + errorText);
    }
    return true;
}

// Nothing kept (an older version switched it on): the proxy off, as
// always, and the library's kind of proxy off on every connection.
void SwitchOffUnrecorded(HKEY key, const std::vector<std::wstring>& names, ProxySwitch& outcome) {
    const DWORD off = 0;
    if (const LSTATUS status =
            RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
        status != ERROR_SUCCESS) {
        return Fail(outcome, kEnableFailed, "Error: failed to set ProxyEnable value: " + ErrorText(status));
    }
    std::string errorText;
    for (const std::wstring& name : names) {
        ConnectionProxy current{name};
        if (!QueryConnection(current, errorText) ||
            ((current.flags & PROXY_TYPE_PROXY) && LoopbackServer(current.server) &&
             !SetConnection((current.flags &= ~PROXY_TYPE_PROXY, current), false, errorText))) {
            Fail(outcome, kNotApplied,
                 "Error: failed to switch the proxy of " + ConnectionName(name) + " off: " + errorText);
        }
    }
    NotifyProxyChange();
}

// What still holds what the switch-on set is given back; what the user
// changed since stays as the user set it, only the library's proxy off.
// The record's proxy goes once everything is back: a later switch-off
// finishes the work.
void GiveBack(HKEY key, const std::vector<std::wstring>& names, ChangeRecord& record, ProxySwitch& outcome) {
    const ProxyChange& change = *record.proxy;
    std::string givenBack, left, errorText;
    const auto note = [](std::string& list, const std::string& item) { list += (list.empty() ? "" : ", ") + item; };
    for (const ConnectionProxy& before : change.connections) {
        if (std::find(names.begin(), names.end(), before.name) == names.end()) continue;  // entry deleted
        ConnectionProxy current{before.name};
        bool done = QueryConnection(current, errorText);
        if (done && SameSettings(current, Proxied(before, change.server))) {
            done = SetConnection(before, true, errorText) && (!before.name.empty() || LanHolds(before, errorText));
            note(givenBack, ConnectionName(before.name));
        } else if (done) {
            const bool ours = (current.flags & PROXY_TYPE_PROXY) && current.server == change.server;
            if (ours) done = SetConnection((current.flags &= ~PROXY_TYPE_PROXY, current), false, errorText);
            note(left, ConnectionName(before.name) + (ours ? " (proxy off)" : ""));
        }
        if (!done) {
            Fail(outcome, kNotApplied,
                 "Error: failed to give back the proxy settings of " + ConnectionName(before.name) + ": " + errorText);
        }
    }
    // After the connections: Windows rewrites the legacy values from the
    // LAN's, and may have given them back already.
    for (const RecordedValue& before : change.values) {
        RecordedValue current;
        bool done = ReadValue(key, before.name.c_str(), current, errorText);
        const bool back =
            current.present == before.present && current.type == before.type && current.data == before.data;
        if (done && (back || HoldsWhatWasSet(current, change.server))) {
            if (!back) done = WriteValue(key, before, errorText);
            note(givenBack, Utf8(before.name));
        } else if (done) {
            note(left, Utf8(before.name));
        }
        if (!done) {
            Fail(outcome, before.name == L"ProxyEnable" ? kEnableFailed : kServerFailed,
                 "Error: failed to give back " + errorText);
        }
    }
    if (!givenBack.empty()) outcome.lines.push_back("Proxy settings given back: " + givenBack);
    if (!left.empty()) outcome.lines.push_back("Proxy settings left as the user set them: " + left);
    NotifyProxyChange();
    if (outcome.result == kProxySuccess) record.proxy.reset();
}

}  // namespace

ProxySwitch GiveBackProxy(ChangeRecord& record) {
    ProxySwitch outcome{kProxySuccess, {}};
    UniqueKey key;
    std::vector<std::wstring> names;
    if (record.proxy && OpenForSwitchOff(key, names, outcome)) GiveBack(key.get(), names, record, outcome);
    return outcome;
}

ProxySwitch SwitchProxyOff() {
    ProxySwitch outcome{kProxySuccess, {}};
    UniqueKey key;
    std::vector<std::wstring> names;
    if (!OpenForSwitchOff(key, names, outcome)) return outcome;
    const RecordAccess access;
    RecordRead read = access.Read();
    if (read.state == RecordState::Unreadable) {
        outcome.lines.push_back("The record of the proxy settings is left as it is: " + read.problem);
    }
    if (read.state != RecordState::Read || !read.record.proxy) {
        SwitchOffUnrecorded(key.get(), names, outcome);
        return outcome;
    }
    GiveBack(key.get(), names, read.record, outcome);
    if (!read.record.proxy) {
        if (const std::string problem = access.Write(read.record); !problem.empty()) {
            outcome.lines.push_back("Error: failed to update the record of the proxy settings: " + problem);
        }
    }
    return outcome;
}

const char* SetSystemProxy(const int* port) {
    if (port == nullptr) {
        WriteLog("Switching system proxy off");
        const ProxySwitch outcome = SwitchProxyOff();
        for (const std::string& line : outcome.lines) WriteLog(line);
        if (outcome.result == kProxySuccess) WriteLog("Success switch system proxy off");
        return outcome.result;
    }
    WriteLog("Setting system proxy");
    // A proxy on a port that cannot exist would cut every browser off.
    if (*port < 1 || *port > 65535) {
        WriteLog(kInvalidPort);
        return kInvalidPort;
    }
    return SwitchOn(*port);
}

void CleanProxy() {
    ExecuteCommand("netsh winhttp reset proxy");
}

}  // namespace talir
