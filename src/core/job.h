#pragma once

#include "toolkit/lock.h"

#include <windows.h>

#include <string>

namespace talir {

enum class JobFailure { None, Create, SetLimit };

// The one job that holds the proxy core and every attached process. Closing
// its only handle ends them all; it is never closed at unload, so the core
// lives as long as the host process unless stopped.
//
// A JobAccess holds the job's lock for its life: the handle is read, created
// and closed only through one, so that a start, an attach and a stop on
// different threads happen one after the other.
class JobAccess {
public:
    JobAccess() noexcept;
    JobAccess(const JobAccess&) = delete;
    JobAccess& operator=(const JobAccess&) = delete;

    HANDLE Handle() const noexcept;

    // Creates the kill-on-close job when there is none. The handle is kept
    // only once the limit is set: a job that failed half-way is closed
    // before anyone could put a process into it. errorText receives the
    // system text of the failing call.
    JobFailure Ensure(std::string& errorText);

    // Closes the job, if any; every process in it ends.
    void Close() noexcept;

private:
    ExclusiveLock lock_;
};

}  // namespace talir
