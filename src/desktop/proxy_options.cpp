#include "desktop/proxy_options.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"
#include "toolkit/utf8.h"

#include <wininet.h>
#include <ras.h>
#include <raserror.h>

#include <algorithm>
#include <atomic>

namespace talir {
namespace {

// Loaded at the first use, from the system folder only (a DLL of that name
// beside the host or in its current folder is never taken), and kept:
// most hosts never switch the proxy.
struct SystemLibrary {
    HMODULE module;
    DWORD error;
};

SystemLibrary Load(const wchar_t* name) {
    const HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return {module, module ? 0 : GetLastError()};
}

template <typename Function>
Function Find(const SystemLibrary& library, const char* name, const char* dll, std::string& errorText) {
    const auto function = library.module ? reinterpret_cast<Function>(
                                               reinterpret_cast<void*>(GetProcAddress(library.module, name)))
                                         : nullptr;
    if (function == nullptr) {
        errorText = std::string(dll) + ": " + ErrorText(library.module ? GetLastError() : library.error);
    }
    return function;
}

const SystemLibrary& Wininet() {
    static const SystemLibrary wininet = Load(L"wininet.dll");
    return wininet;
}

const SystemLibrary& Rasapi() {
    static const SystemLibrary rasapi = Load(L"rasapi32.dll");
    return rasapi;
}

using QueryOption = BOOL(WINAPI*)(HINTERNET, DWORD, void*, DWORD*);
using SetOption = BOOL(WINAPI*)(HINTERNET, DWORD, void*, DWORD);
using EnumEntries = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, RASENTRYNAMEW*, DWORD*, DWORD*);

// A string that WinINet allocated for a query.
std::wstring TakeString(wchar_t* text) {
    const UniqueGlobal owner(text);
    return text ? text : L"";
}

wchar_t* Text(const std::wstring& text) {
    return text.empty() ? nullptr : const_cast<wchar_t*>(text.c_str());
}

}  // namespace

bool ListConnections(std::vector<std::wstring>& names, std::string& errorText) {
    names.assign(1, L"");
    const auto enumerate = Find<EnumEntries>(Rasapi(), "RasEnumEntriesW", "rasapi32.dll", errorText);
    if (enumerate == nullptr) return false;
    std::vector<RASENTRYNAMEW> entries(1);
    DWORD status = ERROR_BUFFER_TOO_SMALL, count = 0;
    // An entry may be added between the size and the read.
    for (int reads = 0; reads < 5 && status == ERROR_BUFFER_TOO_SMALL; ++reads) {
        entries[0].dwSize = sizeof(RASENTRYNAMEW);
        DWORD bytes = static_cast<DWORD>(entries.size() * sizeof(RASENTRYNAMEW));
        status = enumerate(nullptr, nullptr, entries.data(), &bytes, &count);
        if (status == ERROR_BUFFER_TOO_SMALL) entries.resize(bytes / sizeof(RASENTRYNAMEW) + 1);
    }
    if (status != ERROR_SUCCESS) {
        errorText = "the dial-up and VPN entries: " + ErrorText(status);
        return false;
    }
    // The options go by name: an entry in both phone books is one connection.
    for (DWORD i = 0; i < count && i < entries.size(); ++i) {
        const std::wstring name = entries[i].szEntryName;
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return true;
}

bool QueryConnection(ConnectionProxy& proxy, std::string& errorText) {
    const auto query = Find<QueryOption>(Wininet(), "InternetQueryOptionW", "wininet.dll", errorText);
    if (query == nullptr) return false;
    // Windows before 7 does not know the dialog's flags: once the plain ones
    // answered where those did not, they are asked for first.
    static std::atomic<bool> plainFlags{false};
    const bool plainFirst = plainFlags;
    bool refused = false;
    for (const DWORD flagsOption : {plainFirst ? INTERNET_PER_CONN_FLAGS : INTERNET_PER_CONN_FLAGS_UI,
                                    plainFirst ? INTERNET_PER_CONN_FLAGS_UI : INTERNET_PER_CONN_FLAGS}) {
        INTERNET_PER_CONN_OPTIONW options[4] = {};
        options[0].dwOption = flagsOption;
        options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
        options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
        options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
        INTERNET_PER_CONN_OPTION_LISTW list{};
        list.dwSize = sizeof list;
        list.pszConnection = Text(proxy.name);
        list.dwOptionCount = 4;
        list.pOptions = options;
        DWORD size = sizeof list;
        const BOOL read = query(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size);
        const DWORD code = GetLastError();
        proxy.server = TakeString(options[1].Value.pszValue);
        proxy.bypass = TakeString(options[2].Value.pszValue);
        proxy.script = TakeString(options[3].Value.pszValue);
        proxy.flags = options[0].Value.dwValue;
        if (read) {
            if (refused && flagsOption == INTERNET_PER_CONN_FLAGS) plainFlags = true;
            return true;
        }
        refused = true;
        errorText = "the proxy options of " + (proxy.name.empty() ? std::string("the LAN") : Utf8(proxy.name)) +
                    ": " + ErrorText(code);
    }
    return false;
}

bool SetConnection(const ConnectionProxy& proxy, bool withScript, std::string& errorText) {
    const auto set = Find<SetOption>(Wininet(), "InternetSetOptionW", "wininet.dll", errorText);
    if (set == nullptr) return false;
    // Flags are set through the plain option whatever the version; the
    // dialog's follow.
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[0].Value.dwValue = proxy.flags;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].Value.pszValue = Text(proxy.server);
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].Value.pszValue = Text(proxy.bypass);
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[3].Value.pszValue = Text(proxy.script);
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof list;
    list.pszConnection = Text(proxy.name);
    list.dwOptionCount = withScript ? 4 : 3;
    list.pOptions = options;
    if (set(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list)) return true;
    errorText = ErrorText(GetLastError());
    return false;
}

void NotifyProxyChange() {
    std::string ignored;
    const auto set = Find<SetOption>(Wininet(), "InternetSetOptionW", "wininet.dll", ignored);
    if (set == nullptr) return;
    set(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    set(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

}  // namespace talir
