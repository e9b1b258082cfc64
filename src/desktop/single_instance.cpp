#include "desktop/desktop.h"
#include "desktop/single_instance.h"
#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace talir {
namespace {

const wchar_t kWindowTitle[] = L"Talir VPN";

BOOL CALLBACK CollectClientWindow(HWND window, LPARAM found) {
    wchar_t title[256] = {};
    // The stored title, read without a message: GetWindowTextW would wait on
    // a window of this process whose thread is busy, for good. Only the
    // exact title counts: a prefix or other letter case is another program.
    if (InternalGetWindowText(window, title, 256) > 0 &&
        std::wmemcmp(title, kWindowTitle, sizeof kWindowTitle / sizeof(wchar_t)) == 0) {
        try {
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
        } catch (...) {
            return FALSE;  // out of memory: activate what was found so far
        }
    }
    return TRUE;
}

}  // namespace

const wchar_t kInstanceMutex[] = L"TalirVPNMutex";

std::vector<HWND> FindClientWindows() {
    std::vector<HWND> windows;
    EnumWindows(&CollectClientWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

int CheckAppRunning() {
    WriteLog("Checking app running");

    // Held for the life of the process on purpose: its existence is the
    // "first instance is running" flag that later instances see.
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutex);
    const DWORD code = GetLastError();
    const std::string errorText = ErrorText(code);
    WriteLog("CreateMutexError: " + errorText);
    // An elevated instance's mutex refuses us full access: it exists all the
    // same, so another instance runs.
    const bool exists = code == ERROR_ALREADY_EXISTS || (mutex == nullptr && code == ERROR_ACCESS_DENIED);
    if (mutex == nullptr && !exists) {
        WriteLog("Mutex is NULL: " + errorText);
        return 1;
    }
    if (!exists) return 0;
    // Another holder keeps the mutex alive; this extra handle would only
    // pile up over repeated calls.
    const UniqueHandle extraHandle(mutex);
    WriteLog("Mutex ERROR_ALREADY_EXISTS: " + errorText);

    const std::vector<HWND> windows = FindClientWindows();
    if (windows.empty()) {
        std::fputs("Not found windows.\n", stdout);
        std::fflush(stdout);
        return 6;
    }
    std::fputs("Find windows:\n", stdout);
    std::fflush(stdout);
    for (HWND window : windows) {
        std::fwprintf(stdout, L"HWND: %p\n", static_cast<void*>(window));
        std::fflush(stdout);
    }
    for (HWND window : windows) {
        if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
        SetForegroundWindow(window);
        SetFocus(window);
    }
    return 6;
}

}  // namespace talir
