#include "desktop/desktop.h"
#include "desktop/proxy_options.h"
#include "log/write_log.h"
#include "record/host_mark.h"
#include "record/proxy_policy.h"
#include "record/record_store.h"
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
const char kRecordUnreadable[] = "Error: the record cannot be read; talirvpn-cli doctor --fix sets it aside.";
const char kNotUpdated[] = "Error: failed to update the record of the proxy settings.";
const char kNotApplied[] = "Error: failed to set the connections' proxy options.";

// The library's proxy on a connection: no detection, no script.
constexpr DWORD kProxyOn = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
const wchar_t* const kValues[] = {L"ProxyEnable", L"ProxyServer"};

std::string ConnectionName(const std::wstring& name) {
    return name.empty() ? "the LAN" : Utf8(name);
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

bool EnableIs(const RecordedValue& value, DWORD enable) {
    return value.present && value.type == REG_DWORD &&
           value.data == std::string(reinterpret_cast<const char*>(&enable), sizeof enable);
}

// Whether the value still holds what a switch-on wrote.
bool HoldsWhatWasSet(const RecordedValue& value, const std::wstring& server) {
    if (value.name == L"ProxyServer") return value.present && TextOf(value) == server;
    return EnableIs(value, 1);
}

// Whether a connection's proxy in force is the library's, on this server.
bool NamesOurProxy(const ConnectionProxy& connection, const std::wstring& server) {
    return (connection.flags & PROXY_TYPE_PROXY) != 0 && connection.server == server;
}

// The options a switch-on gives a connection recorded as before.
ConnectionProxy Proxied(const ConnectionProxy& before, const std::wstring& server) {
    ConnectionProxy proxied = before;
    proxied.flags = kProxyOn;
    proxied.server = server;
    return proxied;
}

// What a switch-off gives a connection that still names the library's
// proxy: what it had before, but for each field (each flag) the user
// changed since the switch-on, which stays as the user set it.
ConnectionProxy GivenBack(const ConnectionProxy& before, const ConnectionProxy& current, const std::wstring& server) {
    const ConnectionProxy set = Proxied(before, server);
    ConnectionProxy back = before;
    // PROXY_TYPE_DIRECT beside a proxy is reported by some versions only.
    const DWORD changed = (current.flags ^ set.flags) & ~static_cast<DWORD>(PROXY_TYPE_DIRECT);
    back.flags = (before.flags & ~changed) | (current.flags & changed);
    if (current.bypass != set.bypass) back.bypass = current.bypass;
    if (current.script != set.script) back.script = current.script;
    return back;
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
// since (the first one's record is what the user had). What already holds
// the library's proxy on this port was left by a host that died or an older
// version: the user had it off.
bool KeepWhatIsThere(HKEY key, const std::vector<std::wstring>& names, const std::wstring& server,
                     ChangeRecord& record, std::string& errorText) {
    if (!record.proxy) {
        ProxyChange& change = record.proxy.emplace();
        for (const wchar_t* name : kValues) {
            change.values.emplace_back();
            if (!ReadValue(key, name, change.values.back(), errorText)) return false;
        }
        if (EnableIs(change.values[0], 1) && TextOf(change.values[1]) == server) {
            const DWORD off = 0;
            change.values[0].data.assign(reinterpret_cast<const char*>(&off), sizeof off);
        }
    }
    std::vector<ConnectionProxy>& kept = record.proxy->connections;
    for (const std::wstring& name : names) {
        if (std::any_of(kept.begin(), kept.end(), [&](const ConnectionProxy& c) { return c.name == name; })) continue;
        ConnectionProxy before{name};
        if (!QueryConnection(before, errorText)) return false;
        if (NamesOurProxy(before, server)) before.flags &= ~static_cast<DWORD>(PROXY_TYPE_PROXY);
        kept.push_back(before);
    }
    return true;
}

// Holds the record's lock for a whole switch: another process's switch or
// restore comes before it or after it.
struct SwitchStart {
    const char* refused = nullptr;
    UniqueKey key;
};

SwitchStart StartSwitch(ProxySwitch* lines) {
    SwitchStart start;
    const auto refuse = [&](const char* text, const std::string& line) {
        if (lines) lines->lines.push_back(line);
        else WriteLog(line);
        start.refused = text;
    };
    if (ProxySettingsPerMachine()) {
        refuse(kProxyPerMachine, kProxyPerMachine);
    } else if (const LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0,
                                                    KEY_QUERY_VALUE | KEY_SET_VALUE, start.key.put());
               status != ERROR_SUCCESS) {
        refuse(kOpenFailed, "Error: failed to open registry key: " + ErrorText(status));
    }
    return start;
}

const char* SwitchOn(int port) {
    SwitchStart start = StartSwitch(nullptr);
    if (start.refused) return start.refused;
    const std::string server = "127.0.0.1:" + std::to_string(port);
    const std::wstring wideServer(server.begin(), server.end());

    // What is there is kept before anything changes, as this host's change.
    std::string errorText = MarkThisHost();
    if (!errorText.empty()) errorText = "this host cannot be marked: " + errorText;
    const RecordLock lock;
    if (errorText.empty() && !lock.Held()) errorText = "the record cannot be locked: " + lock.Problem();
    RecordRead read = errorText.empty() ? ReadUserRecord() : RecordRead{};
    if (read.state == RecordState::Unreadable) {
        WriteLog("Error: the record of the proxy settings cannot be read: " + read.problem +
                 "; talirvpn-cli doctor --fix sets it aside");
        return kRecordUnreadable;
    }
    std::vector<std::wstring> names;
    if (errorText.empty() && ListConnections(names, errorText) &&
        KeepWhatIsThere(start.key.get(), names, wideServer, read.record, errorText)) {
        read.record.proxy->server = wideServer;
        read.record.proxy->when = RecordTime();
        read.record.proxy->owner = ThisHost();
        errorText = WriteUserRecord(read.record);
    }
    if (!errorText.empty()) {
        WriteLog("Error: failed to record the proxy settings: " + errorText);
        return kNotRecorded;
    }

    // The legacy values first, as always: tools read them.
    const DWORD enable = 1;
    if (const LSTATUS status = RegSetValueExA(start.key.get(), "ProxyEnable", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&enable), sizeof enable);
        status != ERROR_SUCCESS) {
        WriteLog("Error: failed to set ProxyEnable value: " + ErrorText(status));
        return kEnableFailed;
    }
    const char* result = kProxySuccess;
    if (const LSTATUS status = RegSetValueExA(start.key.get(), "ProxyServer", 0, REG_SZ,
                                              reinterpret_cast<const BYTE*>(server.c_str()),
                                              static_cast<DWORD>(server.size() + 1));
        status != ERROR_SUCCESS) {
        WriteLog("Error: failed to set ProxyServer value: " + ErrorText(status));
        result = kServerFailed;
    }

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

void Fail(ProxySwitch& outcome, const char* result, const std::string& line) {
    outcome.result = result;
    outcome.lines.push_back(line);
}

// Nothing kept (an older version switched it on): the proxy off, as
// always, and the library's kind of proxy off on every connection.
void SwitchOffUnrecorded(HKEY key, ProxySwitch& outcome) {
    const DWORD off = 0;
    if (const LSTATUS status =
            RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof off);
        status != ERROR_SUCCESS) {
        return Fail(outcome, kEnableFailed, "Error: failed to set ProxyEnable value: " + ErrorText(status));
    }
    std::vector<std::wstring> names;
    std::string errorText;
    if (!ListConnections(names, errorText)) {
        outcome.lines.push_back("Only the LAN's proxy settings are switched off: " + errorText);
    }
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

// Gives back, by name, each recorded connection that still names the
// library's proxy, and each value that still holds what was set; what the
// user switched away from it stays as the user set it. What could not be
// given back stays in the record for the next switch-off or restore.
void GiveBack(HKEY key, ProxyChange& change, ProxySwitch& outcome) {
    // Entries go by name: a failed listing only hides which were deleted.
    std::vector<std::wstring> names;
    std::string givenBack, left, errorText;
    const bool listed = ListConnections(names, errorText);
    if (!listed) outcome.lines.push_back("Connections given back by name: " + errorText);
    const auto note = [](std::string& list, const std::string& item) { list += (list.empty() ? "" : ", ") + item; };
    std::vector<ConnectionProxy> kept;
    for (const ConnectionProxy& before : change.connections) {
        const bool deleted = listed && std::find(names.begin(), names.end(), before.name) == names.end();
        if (deleted) continue;
        ConnectionProxy current{before.name};
        bool done = QueryConnection(current, errorText);
        if (done && NamesOurProxy(current, change.server)) {
            const ConnectionProxy back = GivenBack(before, current, change.server);
            done = SetConnection(back, true, errorText) && (!before.name.empty() || LanHolds(back, errorText));
            if (done) note(givenBack, ConnectionName(before.name));
        } else if (done) {
            note(left, ConnectionName(before.name));
        }
        if (!done) {
            kept.push_back(before);
            Fail(outcome, kNotApplied,
                 "Error: failed to give back the proxy settings of " + ConnectionName(before.name) + ": " + errorText);
        }
    }
    change.connections = kept;
    // After the connections: Windows rewrites the legacy values from the
    // LAN's, and may have given them back already.
    std::vector<RecordedValue> keptValues;
    for (const RecordedValue& before : change.values) {
        RecordedValue current;
        bool done = ReadValue(key, before.name.c_str(), current, errorText);
        const bool back =
            current.present == before.present && current.type == before.type && current.data == before.data;
        if (done && (back || HoldsWhatWasSet(current, change.server))) {
            if (!back) done = WriteValue(key, before, errorText);
            if (done) note(givenBack, Utf8(before.name));
        } else if (done) {
            note(left, Utf8(before.name));
        }
        if (!done) {
            keptValues.push_back(before);
            Fail(outcome, before.name == L"ProxyEnable" ? kEnableFailed : kServerFailed,
                 "Error: failed to give back " + errorText);
        }
    }
    change.values = keptValues;
    if (!givenBack.empty()) outcome.lines.push_back("Proxy settings given back: " + givenBack);
    if (!left.empty()) outcome.lines.push_back("Proxy settings left as the user set them: " + left);
    NotifyProxyChange();
}

}  // namespace

ProxySwitch GiveBackProxy(ChangeRecord& record) {
    ProxySwitch outcome{kProxySuccess, {}};
    if (!record.proxy) return outcome;
    SwitchStart start = StartSwitch(&outcome);
    if (start.refused) {
        outcome.result = start.refused;
        return outcome;
    }
    GiveBack(start.key.get(), *record.proxy, outcome);
    if (record.proxy->connections.empty() && record.proxy->values.empty()) record.proxy.reset();
    return outcome;
}

ProxySwitch SwitchProxyOff() {
    ProxySwitch outcome{kProxySuccess, {}};
    SwitchStart start = StartSwitch(&outcome);
    if (start.refused) {
        outcome.result = start.refused;
        return outcome;
    }
    // Switching off is never refused for want of the lock (a folder without
    // lib_win, say): the user's record is still given back.
    const RecordLock lock;
    if (!lock.Held()) outcome.lines.push_back("The record of the proxy settings is not locked: " + lock.Problem());
    RecordRead read = ReadUserRecord();
    if (read.state == RecordState::Unreadable) {
        outcome.lines.push_back("The record of the proxy settings is left as it is: " + read.problem +
                                "; talirvpn-cli doctor --fix sets it aside");
    }
    if (read.state != RecordState::Read || !read.record.proxy) {
        SwitchOffUnrecorded(start.key.get(), outcome);
        return outcome;
    }
    GiveBack(start.key.get(), *read.record.proxy, outcome);
    if (read.record.proxy->connections.empty() && read.record.proxy->values.empty()) read.record.proxy.reset();
    // A record that still held what is given back would give it again over
    // what the user sets next.
    if (const std::string problem = WriteUserRecord(read.record); !problem.empty()) {
        Fail(outcome, kNotUpdated, "Error: failed to update the record of the proxy settings: " + problem);
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
