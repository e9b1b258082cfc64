#include "windows_on_thread.h"

namespace bench {
namespace {

const wchar_t kClass[] = L"TalirBenchWindow";

struct Start {
    int count;
    HANDLE ready;
};

DWORD WINAPI OwnWindows(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    static const ATOM registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClass;
        return RegisterClassW(&windowClass);
    }();
    (void)registered;
    for (int i = 0; i < start.count; ++i) {
        CreateWindowExW(0, kClass, L"Another program", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                        GetModuleHandleW(nullptr), nullptr);
    }
    // The thread's queue exists once it has made a window; make sure anyway,
    // so that the quit message posted later finds it.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(start.ready);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

}  // namespace

// libstdc++'s std::future needs its TLS as GCC lays it out: plain threads.
WindowsOnThread::WindowsOnThread(int count) {
    Start start{count, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    thread_ = CreateThread(nullptr, 0, OwnWindows, &start, 0, &threadId_);
    WaitForSingleObject(start.ready, INFINITE);
    CloseHandle(start.ready);
}

WindowsOnThread::~WindowsOnThread() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
}

}  // namespace bench
