#include "desktop/desktop.h"
#include "routing/execute_command.h"
#include "toolkit/unique.h"

#include <windows.h>

#include <string>

namespace talir {

const char kInternetSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

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
    if (port != nullptr) {
        const std::string server = "127.0.0.1:" + std::to_string(*port);
        if (RegSetValueExA(key.get(), "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                           static_cast<DWORD>(server.size() + 1)) != ERROR_SUCCESS) {
            return "Error: failed to set ProxyServer value.";
        }
    }
    return "success";
}

void CleanProxy() {
    ExecuteCommand("netsh winhttp reset proxy");
}

}  // namespace talir
