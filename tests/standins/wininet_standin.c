/* Stands in for wininet.dll in a test process that loads it before the
 * library asks for wininet.dll by name: records each InternetSetOptionW
 * with the proxy values that the registry holds at that moment. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

static char options[4096];

__declspec(dllexport) BOOL WINAPI InternetSetOptionW(void *internet, DWORD option, void *buffer, DWORD length) {
    static const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    DWORD enable = 0, enableSize = sizeof enable, serverSize = 64;
    char server[64] = "-";
    (void)internet, (void)buffer, (void)length;
    if (RegGetValueA(HKEY_CURRENT_USER, key, "ProxyEnable", RRF_RT_REG_DWORD, NULL, &enable, &enableSize)) enable = ~0u;
    RegGetValueA(HKEY_CURRENT_USER, key, "ProxyServer", RRF_RT_REG_SZ, NULL, server, &serverSize);
    const size_t used = strlen(options);
    snprintf(options + used, sizeof options - used, "%s%lu %ld %s", used ? " | " : "", option, (long)enable, server);
    return TRUE;
}

/* "OPTION ProxyEnable ProxyServer" per call, " | " between them. */
__declspec(dllexport) const char *StandinOptions(void) {
    return options;
}
