#include "windows_on_thread.h"

#include <future>

namespace bench {
namespace {

const wchar_t kClass[] = L"TalirBenchWindow";

void OwnWindows(int count, std::promise<DWORD>& ready) {
    static const ATOM registered = [] {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kClass;
        return RegisterClassW(&windowClass);
    }();
    (void)registered;
    for (int i = 0; i < count; ++i) {
        CreateWindowExW(0, kClass, L"Another program", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                        GetModuleHandleW(nullptr), nullptr);
    }
    // The thread's queue exists once it has made a window; make sure anyway,
    // so that the quit message posted later finds it.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    ready.set_value(GetCurrentThreadId());
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

}  // namespace

WindowsOnThread::WindowsOnThread(int count) {
    std::promise<DWORD> ready;
    std::future<DWORD> id = ready.get_future();
    thread_ = std::thread(OwnWindows, count, std::ref(ready));
    threadId_ = id.get();
}

WindowsOnThread::~WindowsOnThread() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
}

}  // namespace bench
