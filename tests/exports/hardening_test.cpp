// What must hold under faults and bad input, whatever the export.
#include "talirvpn.h"
#include "test_support.h"

#include "../standins/routing/net_run.h"

#include <io.h>
#include <tlhelp32.h>

#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace talir_test;

namespace {

const char kLog[] = "lib_win\\talirvpn_dll.log";

// An export that logs two lines, starts nothing and depends on nothing.
std::string RejectedRedirect() {
    char* answer = RedirectToTun(nullptr);
    std::string text = answer;
    FreeString(answer);
    return text;
}

// The system's text for code, as a console in text mode prints it.
std::string PrintedSystemText(DWORD code) {
    std::string printed;
    for (const char c : SystemText(code)) printed += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return printed;
}

// Mounts over lib_win for one case; needs the private mount namespace that
// scripts/test.sh makes.
bool PrivateMounts() {
    return RunLinux("sh '" TALIR_SOURCE_DIR "/tests/harness/private-ns.sh' mnt").exitCode == 0;
}
struct Unmount {
    std::string path;
    ~Unmount() {
        SetCurrentDirectoryA("..");
        RunLinux("umount -l '" + path + "'");  // the library may still hold its log there
    }
};

using LogFaultTest = WorkFolder;

TEST_F(LogFaultTest, NoLibWinFolderCostsOnlyTheLog) {
    ASSERT_TRUE(RemoveDirectoryA("lib_win"));
    const Finished host = RunCapture("\"" + BinDir() + "talirvpn-cli.exe\" RunSingBox");
    EXPECT_EQ(host.output, "Starting sing-box\r\nlog file not open\r\nCreateProcess sing-box failed. Error: " +
                               PrintedSystemText(ERROR_FILE_NOT_FOUND) +
                               "\r\nlog file not open\r\nRunSingBox -> Error: createProcess sing-box failed.\r\n");
    EXPECT_FALSE(FileExists("lib_win"));
}

TEST_F(LogFaultTest, LockedLogLeavesTheFileAsItWas) {
    WriteFileBytes(kLog, "kept\r\n");
    const Handle locked(CreateFileA(kLog, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(locked.value, nullptr);
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    CloseHandle(locked.value);
    const_cast<Handle&>(locked).value = nullptr;
    EXPECT_EQ(ReadFileBytes(kLog), "kept\r\n");
}

TEST_F(LogFaultTest, ReadOnlyFileSystemLeavesTheLogAsItWas) {
    if (!PrivateMounts()) GTEST_SKIP() << "needs a private mount namespace (scripts/test.sh makes one)";
    WriteFileBytes(kLog, "kept\r\n");
    const std::string libWin = WindowsToLinuxPath("lib_win");
    ASSERT_EQ(RunLinux("mount --bind '" + libWin + "' '" + libWin + "' && mount -o remount,bind,ro '" + libWin +
                       "'").exitCode, 0);
    const Unmount unmount{libWin};
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    EXPECT_EQ(ReadFileBytes(kLog), "kept\r\n");
}

TEST_F(LogFaultTest, FullDiskDropsLinesAndTheLogPicksUpOnceThereIsRoom) {
    if (!PrivateMounts()) GTEST_SKIP() << "needs a private mount namespace (scripts/test.sh makes one)";
    const std::string libWin = WindowsToLinuxPath("lib_win");
    ASSERT_EQ(RunLinux("mount -t tmpfs -o size=64k tmpfs '" + libWin + "'").exitCode, 0);
    const Unmount unmount{libWin};

    // A log that ends on a page boundary: its next byte needs room that
    // the full file system does not have.
    std::string before;
    while (before.size() < 4096) before += "[Sat Dec  5 10:00:00 2026] an earlier line, 64 bytes long.....\r\n";
    ASSERT_EQ(before.size(), 4096u);
    WriteFileBytes(kLog, before);
    ASSERT_EQ(RunLinux("dd if=/dev/zero of='" + libWin + "/filler' bs=4k 2>/dev/null; true").exitCode, 0);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    EXPECT_EQ(ReadFileBytes(kLog), before) << "lines are dropped, nothing earlier is lost";

    ASSERT_TRUE(DeleteFileA("lib_win\\filler"));
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    const std::string after = ReadFileBytes(kLog);
    EXPECT_EQ(after.compare(0, before.size(), before), 0);
    // The 64 earlier lines, then this call's two, and no piece of a dropped one.
    const std::vector<std::string> messages = LogMessages();
    ASSERT_EQ(messages.size(), 66u);
    EXPECT_EQ(messages[64], "Creating redirect route.");
    EXPECT_EQ(messages[65], "Error: invalid interface index.");
}

// ---- missing tools -------------------------------------------------------

// Wine keeps its own netsh and schtasks in system32, where Windows looks
// after the working folder: hidden for one case.
class HiddenSystemTool {
public:
    explicit HiddenSystemTool(const char* name) {
        char system[MAX_PATH] = {};
        GetSystemDirectoryA(system, MAX_PATH);
        path_ = std::string(system) + "\\" + name;
        hidden_ = MoveFileA(path_.c_str(), (path_ + ".away").c_str());
    }
    ~HiddenSystemTool() {
        if (hidden_) MoveFileA((path_ + ".away").c_str(), path_.c_str());
    }
    bool hidden() const { return hidden_; }

private:
    std::string path_;
    bool hidden_ = false;
};

using MissingToolTest = WorkFolder;

TEST_F(MissingToolTest, CleanProxyLogsThatNetshCouldNotStart) {
    const HiddenSystemTool netsh("netsh.exe");
    ASSERT_TRUE(netsh.hidden());
    CleanProxy();
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"Execute command error: " + SystemText(ERROR_FILE_NOT_FOUND)});
}

TEST_F(MissingToolTest, DeleteAutorunWithoutSchtasksDeletesNothing) {
    const HiddenSystemTool schtasks("schtasks.exe");
    ASSERT_TRUE(schtasks.hidden());
    const Finished host = RunCapture("\"" + BinDir() + "talirvpn-cli.exe\" DeleteAutorun");
    EXPECT_EQ(host.exitCode, 0u);
    EXPECT_NE(host.output.find("DeleteAutorun -> (no result)"), std::string::npos) << host.output;
    EXPECT_EQ(host.output.find("/Delete"), std::string::npos) << "no delete without a query that found the task";
    EXPECT_FALSE(FileExists(kLog)) << "nothing is logged";
}

// ---- bad input -----------------------------------------------------------

// Texts a host might pass from a server's configuration; null is nullptr.
const std::vector<const char*>& HostileTexts() {
    static const std::string huge(64 * 1024, '7');
    static const std::vector<const char*> texts = {
        nullptr, "", huge.c_str(), "17\r\n", "17\n-f", " 17", "\"17\"", "\x80\xFF\xE9",
        "203.0.113.5 & del /q *", "17 -p", "-f", "203.0.113.5 mask 0.0.0.0 192.0.2.1 if 1", "0.0.0.0/0",
        "203.0.113.5\t", "203.0.113.05",
    };
    return texts;
}

std::string Shown(const char* text) {
    return text == nullptr ? "(null)" : std::string(text).substr(0, 40);
}

class BadInputTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        CopyStandin("route.exe", "route.exe");
        ASSERT_NO_FATAL_FAILURE(firewall_.Install(folder_ + "firewall.rules"));
    }
    FirewallStandin firewall_;
};

TEST_F(BadInputTest, RouteExportsRejectEveryMalformedTextAndRunNothing) {
    for (const char* text : HostileTexts()) {
        char* redirect = RedirectToTun(text);
        EXPECT_STREQ(redirect, "Error: invalid interface index.") << Shown(text);
        FreeString(redirect);
        EXPECT_STREQ(CreatePingRoute(text), "Error: couldn't create a ping route") << Shown(text);
        EXPECT_STREQ(DeletePingRoute(text), "Error: couldn't delete a ping route") << Shown(text);
    }
    EXPECT_FALSE(FileExists("route.calls")) << "a command ran";
    for (const std::string& line : LogMessages()) {
        EXPECT_EQ(line.find("gateway"), std::string::npos) << "a lookup started: " << line;
    }
}

TEST_F(BadInputTest, FirewallTakesAnyPathAsItIsButNone) {
    for (const char* text : HostileTexts()) {
        firewall_.Reset();
        const bool refused = text == nullptr || *text == '\0';
        EXPECT_STREQ(AddFirewallRule(text), refused ? "Error adding rule." : "success") << Shown(text);
        if (refused) {
            EXPECT_EQ(firewall_.Calls(), L"") << Shown(text);
            continue;
        }
        // Passed on unaltered, read in the ANSI code page.
        std::wstring wide(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0) - 1, L'\0');
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
        EXPECT_NE(firewall_.Calls().find(L"put_ApplicationName(" + wide + L")\n"), std::wstring::npos)
            << Shown(text);
    }
    EXPECT_EQ(firewall_.References(), 0);
}

TEST_F(BadInputTest, AnExitedProcessIsNotAttachedAndTheJobStays) {
    InstallSingBox();
    ASSERT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);

    DWORD gone = 0;
    const Handle exited = Start("\"" + BinDir() + "talirvpn-cli.exe\" FreeString", &gone);
    ASSERT_EQ(WaitForSingleObject(exited.value, 10000), WAIT_OBJECT_0);
    char* result = AssignToJobObject(gone);
    EXPECT_EQ(std::string(result).rfind("Failed to ", 0), 0u) << result;
    EXPECT_EQ(LogMessages().back(), result);
    FreeString(result);

    EXPECT_FALSE(WaitForExit(cores[0].processId, 200)) << "the failure closed the job";
    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
}

// ---- steady state -------------------------------------------------------

// Standard output goes to NUL while it lives: thousands of echoed lines.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = _dup(1);
        std::FILE* nul = std::fopen("NUL", "w");
        _dup2(_fileno(nul), 1);
        std::fclose(nul);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
    }

private:
    int saved_;
};

// Processes of this Wine session with one of these names.
int CountProcesses(std::initializer_list<const char*> names) {
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int found = 0;
    for (BOOL more = Process32First(snapshot.value, &entry); more; more = Process32Next(snapshot.value, &entry)) {
        for (const char* name : names) found += _stricmp(entry.szExeFile, name) == 0;
    }
    return found;
}

// A tunnel and a physical uplink in the private namespace, the stand-in core
// and route.
class ConnectedTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        const std::string answer = talir_net::RunNet("reset tun tun 172.17.0.1 uplink up 192.0.2.1 10");
        if (answer.find("status refused") != std::string::npos) {
            GTEST_SKIP() << "not in a private network namespace: run under unshare --net";
        }
        ASSERT_NE(answer.find("status 0\n"), std::string::npos) << answer;
        tunIndex_ = answer.substr(answer.find(' ') + 1, answer.find('\n') - answer.find(' ') - 1);
        InstallSingBox();
        CopyStandin("route.exe", "route.exe");
    }

    std::string tunIndex_;
};

class SteadyStateTest : public ConnectedTest {
protected:
    void SetUp() override {
        ConnectedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const char* tool : {"netsh.exe", "schtasks.exe"}) CopyStandin(tool, tool);
        ASSERT_NO_FATAL_FAILURE(firewall_.Install(folder_ + "firewall.rules"));
    }

    // Every export, mixing success and failure paths: `calls` times each,
    // `calls / 10` for those that start a process.
    void Round(int calls) {
        const QuietStdout quiet;
        const int port = 1080, badPort = 0;
        const std::string path = folder_ + "lib_win\\sing-box.exe";
        for (int i = 0; i < calls; ++i) {
            FreeString(GetSingInterface());
            SetSystemProxy(i % 3 == 0 ? &port : i % 3 == 1 ? nullptr : &badPort);
            if (i % 4 == 3) firewall_.Fail("get_Rules", E_FAIL, ERROR_ACCESS_DENIED);
            AddFirewallRule(path.c_str());
            CheckFirewallRule();
            DeleteFirewallRule();
            AddXrayFirewallRule(i % 2 ? path.c_str() : nullptr);
            CheckXrayFirewallRule();
            DeleteXrayFirewallRule();
            EXPECT_EQ(firewall_.References(), 0);
            firewall_.Reset();
            CheckAppRunning();
            FreeString(AssignToJobObject(i % 2 ? 0 : GetCurrentProcessId()));
            if (i % 2) WriteFileBytes("lib_win\\sing-box.log", "core\n");
            TruncateSingLog();
            TruncateDllLog();
            StopSingBox();
        }
        for (int i = 0; i < calls / 10; ++i) {
            const bool refuse = i % 4 == 3;
            SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", refuse ? "1" : nullptr);
            FreeString(RedirectToTun(i % 5 == 4 ? "-f" : tunIndex_.c_str()));
            CreatePingRoute(i % 5 == 4 ? "01.2.3.4" : "203.0.113.5");
            DeletePingRoute("203.0.113.5");
            CleanProxy();
            WriteFileBytes("schtasks.tasks", i % 2 ? "TalirVPN Autorun\n" : "");
            DeleteAutorun();
            RunSingBox();
            DWORD sleeper = 0;
            const Handle child = Start("\"" + folder_ + "lib_win\\sing-box.exe\" attach", &sleeper);
            FreeString(AssignToJobObject(sleeper));
            StopSingBox();
            EXPECT_TRUE(WaitForExit(sleeper, 10000)) << "the attached process ends with the job";
        }
        SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", nullptr);
    }

    FirewallStandin firewall_;
};

TEST_F(SteadyStateTest, NothingAccumulatesOverHundredsOfCalls) {
    Round(40);  // warm-up: every path has run, every lazy allocation is made
    const size_t handles = CountOpenHandles();
    const long rss = LinuxMemoryKiB("VmRSS"), data = LinuxMemoryKiB("VmData");
    ASSERT_GT(rss, 0);

    Round(300);
    const size_t handlesAfter = CountOpenHandles();
    const long rssAfter = LinuxMemoryKiB("VmRSS"), dataAfter = LinuxMemoryKiB("VmData");
    std::printf("handles %zu -> %zu, VmRSS %ld -> %ld KiB, VmData %ld -> %ld KiB\n", handles, handlesAfter, rss,
                rssAfter, data, dataAfter);
    // Bounds: a few handles of Wine's own caches, and 1 MiB of memory,
    // against 3,000 firewall calls, 300 of each other cheap export: a
    // handle leaked per call stands out.
    EXPECT_LE(handlesAfter, handles + 4);
    EXPECT_LE(rssAfter, rss + 1024);
    EXPECT_LE(dataAfter, data + 1024);
    EXPECT_EQ(firewall_.References(), 0);
    EXPECT_EQ(CountProcesses({"route.exe", "netsh.exe", "schtasks.exe", "cmd.exe"}), 0)
        << "a command outlived the call that started it";
}

// Hosts call from a thread pool: every export family from eight threads at
// once must give what some one-after-another order of the same calls gives.
class ConcurrencyTest : public ConnectedTest {
protected:
    void SetUp() override {
        ConnectedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Wine's own firewall: its stubs answer from any thread.
        ASSERT_NO_FATAL_FAILURE(FirewallStandin::RegisterWineFirewall());
    }

    static constexpr int kThreads = 8;
    static constexpr int kRounds = 2;

    struct Worker {
        ConcurrencyTest* test;
        int number;
        std::vector<std::string> unexpected;  // "call -> result" that should not be
        int firstInstance = 0;                // CheckAppRunning answers of 0
    };

    static DWORD WINAPI Work(void* argument) {
        Worker& worker = *static_cast<Worker*>(argument);
        const std::string address = "203.0.113." + std::to_string(worker.number + 1);
        const std::string core = worker.test->folder_ + "lib_win\\sing-box.exe";
        const int port = 1080 + worker.number;
        const auto expect = [&](const char* call, const std::string& result, const std::string& wanted) {
            if (result != wanted) worker.unexpected.push_back(std::string(call) + " -> " + result);
        };
        const auto take = [](char* text) {
            std::string copy = text;
            FreeString(text);
            return copy;
        };
        for (int round = 0; round < kRounds; ++round) {
            // All at once where the library creates its shared state: the
            // gateway lookup, the job.
            worker.test->Meet();
            expect("CreatePingRoute", CreatePingRoute(address.c_str()), "success");
            worker.test->Meet();
            expect("RunSingBox", RunSingBox(), "success");
            expect("DeletePingRoute", DeletePingRoute(address.c_str()), "success");
            expect("GetSingInterface", take(GetSingInterface()), worker.test->tunIndex_);
            expect("RedirectToTun", take(RedirectToTun(worker.test->tunIndex_.c_str())), "success");
            expect("AddFirewallRule", AddFirewallRule(core.c_str()), "success");
            expect("CheckXrayFirewallRule", CheckXrayFirewallRule(), "Error find rule.");
            expect("DeleteFirewallRule", DeleteFirewallRule(), "success");
            expect("SetSystemProxy", SetSystemProxy(&port), "success");
            DWORD child = 0;
            const Handle attached = Start("\"" + core + "\" attach", &child);
            expect("AssignToJobObject", take(AssignToJobObject(child)), "success");
            const int32_t running = CheckAppRunning();
            worker.firstInstance += running == 0;
            if (running != 0 && running != 6) expect("CheckAppRunning", std::to_string(running), "6");
            TruncateDllLog();
        }
        return 0;
    }

    // Runs the workers; returns how many answered "first instance".
    int Storm() {
        std::vector<Worker> workers;
        for (int i = 0; i < kThreads; ++i) workers.push_back(Worker{this, i, {}, 0});
        std::vector<Handle> threads;
        std::vector<DWORD> waited;
        {
            const QuietStdout quiet;
            for (Worker& worker : workers) threads.emplace_back(CreateThread(nullptr, 0, Work, &worker, 0, nullptr));
            for (const Handle& thread : threads) waited.push_back(WaitForSingleObject(thread.value, 60000));
        }
        int firstInstance = 0;
        for (size_t i = 0; i < threads.size(); ++i) {
            EXPECT_EQ(waited[i], WAIT_OBJECT_0) << "worker " << i << " hangs";
            EXPECT_EQ(workers[i].unexpected, std::vector<std::string>{}) << "worker " << i;
            firstInstance += workers[i].firstInstance;
        }
        // Every core and every attached process is in the one job.
        EXPECT_EQ(CountProcesses({"sing-box.exe"}), 2 * kThreads * kRounds);
        StopSingBox();
        bool ended = false;
        for (int i = 0; i < 500 && !(ended = CountProcesses({"sing-box.exe"}) == 0); ++i) Sleep(20);
        EXPECT_TRUE(ended) << "a process outlived the one StopSingBox";
        return firstInstance;
    }

    // Returns once every worker has come (Wine lacks the system's barrier).
    void Meet() {
        AcquireSRWLockExclusive(&lock_);
        const int round = round_;
        if (++waiting_ == kThreads) {
            waiting_ = 0;
            ++round_;
            WakeAllConditionVariable(&met_);
        }
        while (round_ == round) SleepConditionVariableSRW(&met_, &lock_, INFINITE, 0);
        ReleaseSRWLockExclusive(&lock_);
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE met_ = CONDITION_VARIABLE_INIT;
    int waiting_ = 0, round_ = 0;
};

TEST_F(ConcurrencyTest, EveryFamilyFromEightThreadsAtOnce) {
    EXPECT_EQ(Storm(), 1) << "exactly one call is the first instance";
    const size_t handles = CountOpenHandles();
    EXPECT_EQ(Storm(), 0);
    EXPECT_LE(CountOpenHandles(), handles + 4);

    // Whole lines, none lost, and the one gateway lookup of the process.
    // Wine's firewall lookup is not implemented: E_NOTIMPL, with whatever
    // text the system has for it.
    const std::string notImplemented = "Error find rule: 0x80004001 ";
    std::map<std::string, int> counted;
    for (const std::string& message : LogMessages()) {
        ++counted[message.rfind(notImplemented, 0) == 0 ? notImplemented : message];
    }
    const int calls = 2 * kThreads * kRounds;
    const std::string exists = SystemText(ERROR_ALREADY_EXISTS);
    const std::map<std::string, int> expected = {
        {"Getting sing tun", calls},
        {"Success getting TalirVPN tun: " + tunIndex_, calls},
        {"Creating redirect route.", calls},
        {"Success execute command.", 3 * calls},
        {"Execute command result: success", calls},
        {"Start getting default gateway / interface.", 1},
        {"Start deleting route for ping.", calls},
        {"Adding firewall rule", calls},
        {"Rule added", calls},
        {"Checking xray firewall rule", calls},
        {notImplemented, calls},
        {"Removing firewall rule.", calls},
        {"Rule removed successfully", calls},
        {"Cleaning firewall access", 3 * calls},
        {"Starting sing-box", calls},
        {"Success start sing-box", calls},
        {"Starting assign to job object", calls},
        {"Success assign to job object", calls},
        {"Checking app running", calls},
        {"CreateMutexError: ", 1},
        {"CreateMutexError: " + exists, calls - 1},
        {"Mutex ERROR_ALREADY_EXISTS: " + exists, calls - 1},
    };
    EXPECT_EQ(counted, expected);

    // The library's hold on its log is one stream: it can still be trimmed.
    const std::string log = ReadFileBytes(kLog);
    WriteFileBytes(kLog, log + std::string(3 << 20, 'x'));
    TruncateDllLog();
    EXPECT_EQ(ReadFileBytes(kLog).size(), 2u << 20);
}

}  // namespace
