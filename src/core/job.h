#pragma once

#include <windows.h>

#include <string>

namespace talir {

// The one job that holds the proxy core and every attached process. Closing
// its only handle ends them all; it is never closed at unload, so the core
// lives as long as the host process unless stopped.
HANDLE JobHandle() noexcept;

enum class JobFailure { None, Create, SetLimit };

// Creates the kill-on-close job when there is none. On SetLimit the new job
// is still held, so that the caller can log before closing it. errorText
// receives the system text of the failing call.
JobFailure EnsureJob(std::string& errorText);

// Closes the job, if any; every process in it ends.
void CloseJob() noexcept;

}  // namespace talir
