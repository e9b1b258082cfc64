#include <windows.h>

// No thread notifications: the library starts no threads and keeps no
// per-thread state. The library-wide values are built by static
// initialisation.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
