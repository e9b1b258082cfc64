// Hidden top-level windows owned by a thread of their own, which answers
// their messages while they live.
#pragma once

#include <windows.h>

namespace bench {

class WindowsOnThread {
public:
    // Returns when all count windows exist.
    explicit WindowsOnThread(int count);
    // Ends the thread, and with it its windows.
    ~WindowsOnThread();
    WindowsOnThread(const WindowsOnThread&) = delete;
    WindowsOnThread& operator=(const WindowsOnThread&) = delete;

private:
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};

}  // namespace bench
