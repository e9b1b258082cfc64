// A DLL planted under a system DLL's name where only a search order would
// find it (the host's folder, the current folder): being loaded, it appends
// "NAME loaded (planted)" to ran.txt in the current folder, as a planted
// tool marks its line.
#include <windows.h>
#include <string.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char line[MAX_PATH + 32] = "";
    GetModuleFileNameA(module, line, MAX_PATH);
    memmove(line, strrchr(line, '\\') + 1, strlen(strrchr(line, '\\')));
    strcat(line, " loaded (planted)\n");
    HANDLE out = CreateFileA("ran.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(out, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(out);
    return TRUE;
}
