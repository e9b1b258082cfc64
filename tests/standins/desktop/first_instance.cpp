// Stand-in first instance of the client: holds the mutex "TalirVPNMutex" and
// shows one top-level window per argument, titled with it; an argument
// "min=TITLE" shows its window minimised. When all windows are up it writes
// first-instance.ready (one HWND per line, in decimal, in argument order)
// and lives until killed. Exits with 2 if the mutex already exists.
// FIRST_INSTANCE_SDDL, when set, is the mutex's security descriptor: an
// elevated instance's refuses other users full access.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    wchar_t sddl[256] = {};
    if (GetEnvironmentVariableW(L"FIRST_INSTANCE_SDDL", sddl, 256) &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &security.lpSecurityDescriptor,
                                                              nullptr)) {
        return 4;
    }
    const HANDLE mutex =
        CreateMutexW(security.lpSecurityDescriptor ? &security : nullptr, TRUE, L"TalirVPNMutex");
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 2;

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TalirFirstInstance";
    RegisterClassW(&windowClass);

    std::string ready;
    for (int i = 1; i < argc; ++i) {
        std::wstring title = argv[i];
        const bool minimised = title.rfind(L"min=", 0) == 0;
        if (minimised) title.erase(0, 4);
        const HWND window = CreateWindowExW(0, windowClass.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW,
                                            40 * i, 40 * i, 300, 200, nullptr, nullptr, windowClass.hInstance,
                                            nullptr);
        if (window == nullptr) return 3;
        ShowWindow(window, minimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
        ready += std::to_string(reinterpret_cast<unsigned long long>(window)) + "\n";
    }

    // Written under another name first, so that the test never reads half.
    if (FILE* file = std::fopen("first-instance.tmp", "wb")) {
        std::fwrite(ready.data(), 1, ready.size(), file);
        std::fclose(file);
        MoveFileExW(L"first-instance.tmp", L"first-instance.ready", MOVEFILE_REPLACE_EXISTING);
    }

    // Restoring and activating from another process needs a pumping thread.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
