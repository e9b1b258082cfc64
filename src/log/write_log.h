#pragma once

#include <ctime>
#include <string>

namespace talir {

// Echoes message to standard output, then appends "[timestamp] message" as
// one line to lib_win/talirvpn_dll.log. Never fails towards the caller.
void WriteLog(const std::string& message) noexcept;

// Trims the library's own log (see TruncateLogFile) while no line can be
// written; the next WriteLog reopens it.
void TruncateLibraryLog();

// The 24-character local time of the log lines ("Sun Dec  6 12:24:23 2026").
std::string LogTimestamp(__time64_t when);

}  // namespace talir
