/* Calls the library through its import library, releases what it returns,
 * and checks that the header, the package and the DLL tell one version.
 * A crash ends the process: the test prefix shows no crash dialog. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <talirvpn.h>

static int failures;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

static int dll_version_is_the_headers(void) {
    char path[MAX_PATH];
    if (!GetModuleFileNameA(GetModuleHandleA("talirvpn.dll"), path, MAX_PATH)) return 0;
    char data[4096];
    VS_FIXEDFILEINFO *info;
    UINT length;
    return GetFileVersionInfoSizeA(path, NULL) <= sizeof data &&
           GetFileVersionInfoA(path, 0, sizeof data, data) &&
           VerQueryValueA(data, "\\", (void **)&info, &length) &&
           info->dwFileVersionMS == (DWORD)MAKELONG(TALIRVPN_VERSION_MINOR, TALIRVPN_VERSION_MAJOR) &&
           info->dwFileVersionLS == (DWORD)MAKELONG(0, TALIRVPN_VERSION_PATCH);
}

int main(void) {
    printf("talirvpn %s\n", TALIRVPN_VERSION);
    expect(strcmp(TALIRVPN_VERSION, PACKAGE_VERSION) == 0, "TALIRVPN_VERSION is the package's version");
    expect(dll_version_is_the_headers(), "the DLL's version resource is TALIRVPN_VERSION");

    char *index = GetSingInterface();
    expect(index != NULL && index[0] != '\0', "GetSingInterface returns text");
    FreeString(index);
    char *attached = AssignToJobObject(GetCurrentProcessId());
    expect(attached != NULL && attached[0] != '\0', "AssignToJobObject returns text");
    FreeString(attached);
    const char *rule = CheckFirewallRule(); /* constant text: not released */
    expect(rule != NULL && rule[0] != '\0', "CheckFirewallRule returns text");
    FreeString(NULL);
    return failures != 0;
}
