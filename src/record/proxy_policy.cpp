#include "record/proxy_policy.h"

#include <windows.h>

namespace talir {

bool ProxySettingsPerMachine() {
    DWORD perUser = 1, size = sizeof perUser;
    return RegGetValueW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                        L"ProxySettingsPerUser", RRF_RT_REG_DWORD, nullptr, &perUser, &size) == ERROR_SUCCESS &&
           perUser == 0;
}

}  // namespace talir
