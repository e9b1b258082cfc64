#include "desktop/desktop.h"
#include "toolkit/execute_command.h"
#include "toolkit/unique.h"

#include <windows.h>
#include <wininet.h>

#include <string>

namespace talir {

const char kInternetSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

void NotifyProxyChange() {
    // Most hosts never switch the proxy: the DLL is loaded at the first
    // notification, from the system folder only, and stays.
    static const HMODULE wininet = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    using SetOption = BOOL(WINAPI*)(void* internet, DWORD option, void* buffer, DWORD length);
    const auto setOption = wininet == nullptr ? nullptr
                                              : reinterpret_cast<SetOption>(reinterpret_cast<void*>(
                                                    GetProcAddress(wininet, "InternetSetOptionW")));
    if (setOption == nullptr) return;
    setOption(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    setOption(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

const char* SetSystemProxy(const int* port) {
    // A proxy on a port that cannot exist would cut every browser off.
    if (port != nullptr && (*port < 1 || *port > 65535)) return "Error: invalid proxy port.";

    UniqueKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) {
        return "Error: failed to open registry key.";
    }
    const DWORD enable = port != nullptr ? 1 : 0;
    if (RegSetValueExA(key.get(), "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                       sizeof enable) != ERROR_SUCCESS) {
        return "Error: failed to set ProxyEnable value.";
    }
    const char* result = "success";
    if (port != nullptr) {
        const std::string server = "127.0.0.1:" + std::to_string(*port);
        if (RegSetValueExA(key.get(), "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                           static_cast<DWORD>(server.size() + 1)) != ERROR_SUCCESS) {
            result = "Error: failed to set ProxyServer value.";
        }
    }
    key.reset();
    // Something was written, also when ProxyServer failed after ProxyEnable.
    NotifyProxyChange();
    return result;
}

void CleanProxy() {
    ExecuteCommand("netsh winhttp reset proxy");
}

}  // namespace talir
