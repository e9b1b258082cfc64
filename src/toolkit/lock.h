// The lock of the library's few shared values (the log stream, the job
// handle, the found gateway). An SRWLOCK needs neither set-up nor tear-down,
// so it serves from static initialisation until unload.
#pragma once

#include <windows.h>

namespace talir {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace talir
