#include "log/write_log.h"

#include "log/truncate_log.h"
#include "toolkit/lock.h"
#include "toolkit/unique.h"

#include <cstdio>
#include <ctime>

namespace talir {
namespace {

const char kLogPath[] = "lib_win/talirvpn_dll.log";

// Opened at the first line, kept open until the library unloads. Text mode:
// every LF reaches the file as CR LF. The runtime opens it with full sharing,
// and "N" keeps its handle from the host's children: one that inherited it
// would hold the file for its whole life and block every trim.
Unique<FILE*, &std::fclose> logFile;
// Threads of the host may log at once: lines stay whole, and a reopening or
// a trim never races another line.
SRWLOCK logLock = SRWLOCK_INIT;

void Echo(const std::string& message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

std::string LogTimestamp(__time64_t when) {
    char text[26] = {};
    if (_ctime64_s(text, sizeof text, &when) != 0) {
        return "??? ??? ?? ??:??:?? ????";  // a clock outside the runtime's range
    }
    // ctime's own form pads the day with a blank; the runtime writes a zero.
    if (text[8] == '0') text[8] = ' ';
    return std::string(text, 24);
}

void WriteLog(const std::string& message) noexcept {
    try {
        const ExclusiveLock lock(logLock);
        Echo(message);

        // A failed write (a full disk) must not silence the log for good:
        // start over on a fresh stream.
        if (logFile && std::ferror(logFile.get())) logFile.reset();
        if (!logFile) {
            logFile.reset(std::fopen(kLogPath, "aN"));
            if (!logFile) {
                Echo("log file not open");
                return;
            }
        }

        const std::string line = "[" + LogTimestamp(_time64(nullptr)) + "] " + message + "\n";
        std::fwrite(line.data(), 1, line.size(), logFile.get());
        std::fflush(logFile.get());
    } catch (...) {
        // The log never makes an export fail.
    }
}

void TruncateLibraryLog() {
    const ExclusiveLock lock(logLock);
    // The library's own stream holds the file; the next line reopens it.
    logFile.reset();
    TruncateLogFile(kLogPath);
}

}  // namespace talir
