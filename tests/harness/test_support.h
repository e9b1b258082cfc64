// What the test programs share: a fresh working folder per case, files,
// child processes, the library's log as the tests read it, the stand-ins.
#pragma once

#include "net_run.h"
#include "talirvpn.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace talir_test {

using Lines = std::vector<std::string>;
using Vars = std::map<std::string, std::string>;

// bin/ of the build tree, with a trailing backslash.
std::string BinDir();

// Each case works in a fresh folder of its own with an empty lib_win; the
// folder is the current directory while the case runs.
class WorkFolder : public ::testing::Test {
protected:
    void SetUp() override;
    std::string folder_;  // with a trailing backslash
};

// The stand-in program copied to destination, whose file name is its role;
// for a DLL's name, the stand-in DLL, which records that it was loaded.
void CopyStandin(const std::string& destination);

// net.sh steps; adds NAME -> index and NAME.gw -> gateway of what they made
// to vars. Skips the case outside a private network namespace.
void Net(const std::string& steps, Vars& vars);

// The system's English text for code, as the library's failure lines end
// with it (empty for 0). Wine's texts differ from Windows': never hard-coded.
std::string SystemText(DWORD code);

// UTF-16 of a UTF-8 text: paths of the cases may be in any script.
std::wstring Wide(const std::string& utf8);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
Lines SplitLines(const std::string& text);

// A text an export handed over, copied and given back to the library.
inline std::string Take(char* text) {
    std::string copy = text ? text : "(null)";
    FreeString(text);
    return copy;
}

// The messages of lib_win/talirvpn_dll.log as WriteLog received them.
Lines LogMessages();

// Runs a command line with input and its output captured; a time-out fails
// the case.
Finished RunCapture(const std::string& commandLine, const std::string& input = "");
// talirvpn-cli.exe, one export call per line of script.
Finished Cli(const std::string& script);

// Starts a program; the returned handle is the process's. With security
// (the process's), it inherits every inheritable handle, as hosts' children
// often do.
Handle Start(const std::string& commandLine, DWORD* processId = nullptr, SECURITY_ATTRIBUTES* security = nullptr);
bool WaitForExit(DWORD processId, DWORD timeoutMs);

// The lines of a file that processes write to, once there are at least
// `count` (or after timeoutMs).
Lines AwaitLines(const std::string& path, size_t count, int timeoutMs = 10000);

// The stand-in firewall answers for NetFwPolicy2 and NetFwRule while this
// lives (the registration is the prefix's), keeping its rules in
// firewall.rules of the current folder at Install; Wine's own answers again
// afterwards.
class FirewallStandin {
public:
    void Install();  // fails the case when it cannot
    ~FirewallStandin() { RegisterWineFirewall(); }
    static void RegisterWineFirewall();

    const wchar_t* (*Calls)() = nullptr;
    void (*Fail)(const char* call, HRESULT result, DWORD lastError) = nullptr;
    LONG (*References)() = nullptr;
    void (*Reset)() = nullptr;
};

// Points module's import of function at replacement; returns what it
// pointed at, null when module does not import function.
void* PatchImport(HMODULE module, const char* function, void* replacement);

// Open handles of this process: GetProcessHandleCount answers 0 under Wine.
size_t CountOpenHandles();
// Busy blocks on all heaps of this process: a block lost per call adds up
// exactly (Wine's PrivateUsage is 0).
size_t BusyHeapBlocks();
// This process's committed memory in KiB.
size_t PagefileKiB();

}  // namespace talir_test
