// What the test programs share: a fresh working folder per case, files,
// child processes and the library's log as the tests read it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talir_test {

// bin/ of the build tree (the test programs' own folder), with a trailing
// backslash.
std::string BinDir();
std::string StandinPath(const std::string& fileName);

// Windows form (Z:\...) of a Linux path, for Linux programs started by Wine,
// and back.
std::string LinuxToWindowsPath(const std::string& path);
std::string WindowsToLinuxPath(const std::string& path);

// Runs a Linux shell command (sh -c) from the Wine test program.
struct Finished;
Finished RunLinux(const std::string& shellCommand);

// Each case works in a fresh folder named for it, with an empty lib_win;
// the folder is the current directory while the case runs.
class WorkFolder : public ::testing::Test {
protected:
    void SetUp() override;
    std::string folder_;  // with a trailing backslash
};

void CopyStandin(const std::string& fileName, const std::string& destination);
void InstallSingBox();  // the stand-in core as lib_win/sing-box.exe

// The system's English text for code, as the library's failure lines end
// with it (empty for 0). Wine's texts differ from Windows': never hard-coded.
std::string SystemText(DWORD code);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// The messages of lib_win/talirvpn_dll.log as WriteLog received them.
std::vector<std::string> LogMessages();

// Owns a handle in the tests, too.
struct Handle {
    HANDLE value = nullptr;
    explicit Handle(HANDLE h = nullptr) : value(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(Handle&& other) noexcept : value(other.value) { other.value = nullptr; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { if (value) CloseHandle(value); }
};

struct Finished {
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error, in order
    bool timedOut = false;
};

// Runs a command line with its output captured; waits at most timeoutMs.
Finished RunCapture(const std::string& commandLine, const std::string& input = "",
                    DWORD timeoutMs = 60000);

// Starts a program; the returned handle is the process's.
Handle Start(const std::string& commandLine, DWORD* processId = nullptr);

// Waits until the process processId is gone; false after timeoutMs.
bool WaitForExit(DWORD processId, DWORD timeoutMs);

// Proxy cores recorded by the stand-in: their process ids and command lines.
struct StartedCore {
    DWORD processId;
    std::string commandLine;
};
std::vector<StartedCore> StartedCores(size_t atLeast, DWORD timeoutMs = 10000);

// The stand-in firewall answers for NetFwPolicy2 and NetFwRule while this
// lives (the registration is the prefix's, shared by every case), keeping
// its rules in rulesFile; Wine's own answers again afterwards.
class FirewallStandin {
public:
    void Install(const std::string& rulesFile);  // fails the case when it cannot
    ~FirewallStandin() { RegisterWineFirewall(); }

    std::wstring Calls() const { return calls_(); }
    void Fail(const char* call, HRESULT result, DWORD lastError) const { fail_(call, result, lastError); }
    LONG References() const { return references_(); }
    void Reset() const { reset_(); }

    static void RegisterWineFirewall();
    static std::string RegisteredServer(const char* clsid);
    static const char* const kClasses[2];  // NetFwPolicy2, NetFwRule

private:
    const wchar_t* (*calls_)() = nullptr;
    void (*fail_)(const char*, HRESULT, DWORD) = nullptr;
    LONG (*references_)() = nullptr;
    void (*reset_)() = nullptr;
};

// Open handles of this process: GetProcessHandleCount answers 0 under Wine,
// so probe the handle values instead.
size_t CountOpenHandles();

// The Linux process's own memory in KiB ("VmRSS", "VmData"): a Windows
// process under Wine is a Linux process.
long LinuxMemoryKiB(const char* field);

}  // namespace talir_test
