// The bare Windows work of each export, done without the library: the same
// calls, the same stand-ins, and one plain echo and write of each log line
// the export writes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace bench {

// Opens the file that the bare log lines go to.
void OpenBareLog(const char* path);

// One log line as the library writes it: echoed, then appended and flushed.
void BareLog(const char* message);

// Starts commandLine hidden, its first word as a program of the system
// folder, and waits for it.
void RunAndWait(const wchar_t* commandLine);

void ReadForwardTable();
void ReadAdapters();
// SetSystemProxy's calls, made plainly with the same stand-ins: the policy,
// the key, the lock file, a record read, the dial-up entries, each
// connection's options read, one record write (on) or removal (off), the
// values, each connection's options set, the LAN's read back, the two
// notifications, and the log lines.
void BareSwitchOn(int port);
void BareSwitchOff();
// RestoreNetwork's reads with nothing to undo: the lock file, the user's
// record, the machine's record (absent), and the log lines.
void BareRestoreCheck();

void CheckRuleBare();
void AddRuleBare(const char* path);
void RemoveRuleBare();

HANDLE NewKillOnCloseJob();
void StartCoreInto(HANDLE job);
// A process to attach: the stand-in core, which waits until it is killed.
HANDLE StartSleeper();

// CheckAppRunning's work when another instance holds the mutex.
void CheckMutexAndWindows();

// The leak guard's filtering calls on the stand-in engine: the TUN's lookup
// (one adapter list read),
// a dynamic session, the core's app id, a transaction with a sublayer and 17
// filters of up to three conditions; and the session's close.
void StartGuardBare();
void StopGuardBare();

// TruncateSingLog's and TruncateDllLog's work on a log below the limit.
void SmallFileCheck(const char* path);

// The TUN's interface index, as the library finds it.
std::optional<unsigned long> TunIndex();

// "GATEWAY if INDEX" of the physical default route, as the library picks it.
std::wstring PhysicalRoute();

}  // namespace bench
