// What must hold under faults, threads and hundreds of calls, whatever the
// export; the firewall on the caller's COM apartment; that the DLL under
// test is the one that ships.
#include "talirvpn.h"
#include "test_support.h"

#include <bcrypt.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <cstdio>
#include <io.h>

using namespace talir_test;

namespace {

const char kLog[] = "lib_win\\talirvpn_dll.log";
const char kCore[] = "lib_win\\sing-box.exe";

std::string RejectedRedirect() {
    return Take(RedirectToTun(nullptr));
}

// What ships is what is tested: the DLL that the tests load is the release
// zip's, byte for byte (wine-run.sh hands over the zip's SHA-256).
TEST(Shipped, TheLoadedDllIsTheZips) {
    char path[MAX_PATH] = {}, zips[65] = {};
    ASSERT_TRUE(GetModuleFileNameA(GetModuleHandleA("talirvpn.dll"), path, MAX_PATH));
    ASSERT_TRUE(GetEnvironmentVariableA("TALIR_SHIPPED_SHA256", zips, sizeof zips)) << "not run by wine-run.sh";
    std::string bytes = ReadFileBytes(path), loaded;
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    unsigned char digest[32] = {};
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    EXPECT_EQ(BCryptHash(sha256, nullptr, 0, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()),
                         digest, sizeof digest), 0);
    BCryptCloseAlgorithmProvider(sha256, 0);
    for (const unsigned char byte : digest) loaded += "0123456789abcdef"[byte >> 4], loaded += "0123456789abcdef"[byte & 15];
    EXPECT_EQ(loaded, zips) << path << " is not the DLL of the release zip";
}

// ---- the file system refuses the log ---------------------------------

// Mounts over lib_win for one case, in the private mount namespace that
// scripts/test.sh makes.
class MountTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        if (RunLinux("sh '" TALIR_SOURCE_DIR "/tests/harness/private-ns.sh' mnt").exitCode != 0) {
            GTEST_SKIP() << "needs a private mount namespace (scripts/test.sh makes one)";
        }
        libWin_ = LinuxPath(folder_ + "lib_win");
    }
    void TearDown() override { RunLinux("umount -l '" + libWin_ + "'"); }  // the library may hold its log there
    std::string libWin_;
};

TEST_F(MountTest, FullDiskDropsLinesAndTheLogPicksUpOnceThereIsRoom) {
    ASSERT_EQ(RunLinux("mount -t tmpfs -o size=64k tmpfs '" + libWin_ + "'").exitCode, 0u);
    // A log that ends on a page boundary: its next byte needs room.
    std::string before;
    while (before.size() < 4096) before += "[Sat Dec  5 10:00:00 2026] an earlier line, 64 bytes long.....\r\n";
    WriteFileBytes(kLog, before);
    ASSERT_EQ(RunLinux("dd if=/dev/zero of='" + libWin_ + "/filler' bs=4k 2>/dev/null; true").exitCode, 0u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    EXPECT_EQ(ReadFileBytes(kLog), before) << "lines are dropped, nothing earlier is lost";

    ASSERT_TRUE(DeleteFileA("lib_win\\filler"));
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    const Lines messages = LogMessages();  // the 64 earlier lines, then this call's two, whole
    ASSERT_EQ(messages.size(), 66u);
    EXPECT_EQ(Lines(messages.begin() + 64, messages.end()),
              (Lines{"Creating redirect route.", "Error: invalid interface index."}));
}

// For this process only, the user's hive is an empty key without the
// settings key: nothing may be created there.
using ProxyKey = WorkFolder;

TEST_F(ProxyKey, MissingKeyIsReportedAndNothingIsCreated) {
    // Not volatile: a volatile key refuses lasting subkeys, and would hide a
    // library that tries to create the settings key.
    HKEY hive = nullptr;
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TalirTest");
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\TalirTest", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &hive, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, hive), ERROR_SUCCESS);
    const int32_t port = 1080;
    const char* first = SetSystemProxy(&port);
    const char* second = SetSystemProxy(nullptr);
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyA(hive, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(hive);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TalirTest");
    EXPECT_STREQ(first, "Error: failed to open registry key.");
    EXPECT_EQ(second, first);
    EXPECT_EQ(subkeys + values, 0u);
}

// ---- the firewall on the caller's thread -------------------------------

class FirewallThreads : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        ASSERT_NO_FATAL_FAILURE(firewall_.Install());
    }
    FirewallStandin firewall_;
};

TEST_F(FirewallThreads, TheCallingThreadKeepsItsOwnApartment) {
    EXPECT_STREQ(CheckFirewallRule(), "false");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "an apartment was left behind";
    CoUninitialize();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_STREQ(CheckXrayFirewallRule(), "false");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE) << "its apartment was closed";
    CoUninitialize();

    // On a multithreaded thread every export fails and leaves COM as it was.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    firewall_.Reset();
    const char* const path = "C:\\a.exe";
    for (const char* result : {CheckFirewallRule(), AddFirewallRule(path), DeleteFirewallRule(),
                               CheckXrayFirewallRule(), AddXrayFirewallRule(path), DeleteXrayFirewallRule()}) {
        EXPECT_STREQ(result, "Error initialize COM.");
    }
    EXPECT_EQ(LogMessages()[7].rfind("Error initialize COM: 0x80010106 ", 0), 0u) << LogMessages()[7];
    EXPECT_STREQ(firewall_.Calls(), L"");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the thread's COM was closed";
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(firewall_.References(), 0);
}

// A path that is valid UTF-8 is read so (Dart, Node, Rust hosts); any other
// in the ANSI code page (C, C# hosts).
TEST_F(FirewallThreads, PathIsUtf8WhenItIsUtf8ElseAnsi) {
    for (const auto& [path, codePage] : {std::pair<const char*, UINT>{"C:\\Talir VPN\x99\\caf\xC3\xA9\\x.exe", CP_ACP},
                                         {"C:\\Users\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\x.exe", CP_UTF8}}) {
        wchar_t wide[64] = {}, other[64] = {};
        MultiByteToWideChar(codePage, 0, path, -1, wide, 64);
        MultiByteToWideChar(codePage == CP_ACP ? CP_UTF8 : CP_ACP, 0, path, -1, other, 64);
        ASSERT_NE(std::wstring(wide), other) << "each wrong reading gives another text";
        EXPECT_STREQ(AddFirewallRule(path), "success");
        EXPECT_NE(std::wstring(firewall_.Calls()).find(L"\nput_ApplicationName(" + std::wstring(wide) + L")\n"),
                  std::wstring::npos) << path;
    }
}

// ---- hundreds of calls, from many threads ----------------------------------

// Standard output goes to NUL while it lives: thousands of echoed lines.
class QuietStdout {
public:
    QuietStdout() : saved_((std::fflush(stdout), _dup(1))) {
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

// A tunnel, an uplink and the stand-in core; the tools' stand-ins are in
// the system folder.
class Connected : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        ASSERT_NO_FATAL_FAILURE(Net("reset tun tun 172.17.0.1 uplink up 192.0.2.1 10", vars_));
        if (IsSkipped()) return;
        CopyStandin(kCore);
        tun_ = vars_["tun"];
    }
    Vars vars_;
    std::string tun_;
};

class SteadyState : public Connected {
protected:
    // Every export, success and failure paths: `calls` times each, a tenth
    // of that for those that start a process.
    void Round(int calls) {
        const QuietStdout quiet;
        const int port = 1080, badPort = 0;
        for (int i = 0; i < calls; ++i) {
            FreeString(GetSingInterface());
            SetSystemProxy(i % 3 == 0 ? &port : i % 3 == 1 ? nullptr : &badPort);
            if (i % 4 == 3) firewall_.Fail("get_Rules", E_FAIL, ERROR_ACCESS_DENIED);
            AddFirewallRule(kCore);
            CheckFirewallRule();
            DeleteFirewallRule();
            AddXrayFirewallRule(i % 2 ? kCore : nullptr);
            CheckXrayFirewallRule();
            DeleteXrayFirewallRule();
            firewall_.Reset();
            CheckAppRunning();
            FreeString(AssignToJobObject(i % 2 ? 0 : GetCurrentProcessId()));
            WriteFileBytes("lib_win\\sing-box.log", "core\n");
            TruncateSingLog();
            TruncateDllLog();
            StopSingBox();
        }
        for (int i = 0; i < calls / 10; ++i) {
            SetEnvironmentVariableA("TALIR_REFUSE", i % 4 == 3 ? "1" : nullptr);
            FreeString(RedirectToTun(i % 5 == 4 ? "-f" : tun_.c_str()));
            CreatePingRoute(i % 5 == 4 ? "01.2.3.4" : "203.0.113.5");
            DeletePingRoute("203.0.113.5");
            CleanProxy();
            WriteFileBytes("schtasks.tasks", i % 2 ? "TalirVPN Autorun\n" : "");
            DeleteAutorun();
            RunSingBox();
            DWORD child = 0;
            const Handle attached = Start(std::string(kCore) + " attach", &child);
            FreeString(AssignToJobObject(child));
            StopSingBox();
            EXPECT_TRUE(WaitForExit(child, 10000)) << "the attached process ends with the job";
        }
        SetEnvironmentVariableA("TALIR_REFUSE", nullptr);
    }
    FirewallStandin firewall_;
};

TEST_F(SteadyState, NothingAccumulatesOverHundredsOfCalls) {
    ASSERT_NO_FATAL_FAILURE(firewall_.Install());
    Round(10);  // every path has run, every lazy allocation is made
    const size_t handles = CountOpenHandles(), blocks = BusyHeapBlocks(), memory = PagefileKiB();
    Round(50);
    std::printf("handles %zu -> %zu, busy heap blocks %zu -> %zu, committed %zu -> %zu KiB\n", handles,
                CountOpenHandles(), blocks, BusyHeapBlocks(), memory, PagefileKiB());
    // A few handles and blocks of Wine's own caches: against 50 calls of
    // each export, anything lost per call stands out.
    EXPECT_LE(CountOpenHandles(), handles + 4);
    EXPECT_LE(BusyHeapBlocks(), blocks + 20);
    EXPECT_LE(PagefileKiB(), memory + 1024);
    EXPECT_EQ(firewall_.References(), 0);
    EXPECT_EQ(CountProcesses({"route.exe", "netsh.exe", "schtasks.exe", "cmd.exe"}), 0)
        << "a command outlived the call that started it";
}

// The record's lock spans threads and processes and is held for a whole
// read-change-write, never while a command runs: a RestoreNetwork that
// waits on a slow route tool holds up neither a proxy switch nor another
// process's route, whose record it keeps; a switch that waits inside
// WinINet holds up another thread's switch until it has written.
using RecordSharing = Connected;

TEST_F(RecordSharing, HeldForAWholeChangeAndNeverWhileACommandRuns) {
    const QuietStdout quiet;
    const auto await = [](const char* file) {
        for (int i = 0; i < 1000 && !FileExists(file); ++i) Sleep(10);
        return FileExists(file);
    };
    const auto thread = [](std::string& result, std::string (*call)()) {
        struct Call {
            std::string* result;
            std::string (*call)();
        };
        return Handle(CreateThread(nullptr, 0, [](void* c) -> DWORD {
            const Call* call = static_cast<Call*>(c);
            *call->result = call->call();
            delete call;
            return 0;
        }, new Call{&result, call}, 0, nullptr));
    };
    const char settings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    const DWORD disabled = 0;
    RegSetKeyValueA(HKEY_CURRENT_USER, settings, "ProxyEnable", REG_DWORD, &disabled, sizeof disabled);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, settings, "ProxyServer");
    // A host that added a ping route and died.
    ASSERT_NE(Cli("CreatePingRoute 203.0.113.9").output.find("-> success"), std::string::npos);
    SetEnvironmentVariableA("TALIR_ROUTE_PAUSE", "1");
    std::string restored, switchedOff, switchedOn;
    Handle restore = thread(restored, [] { return Take(RestoreNetwork()); });
    ASSERT_TRUE(await("route.paused"));
    const int32_t port = 1080, otherPort = 2080;
    EXPECT_STREQ(SetSystemProxy(&port), "success");
    EXPECT_NE(Cli("CreatePingRoute 203.0.113.10").output.find("-> success"), std::string::npos);
    WriteFileBytes("route.go", "");
    ASSERT_EQ(WaitForSingleObject(restore.value, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(restored, "Deleted route 203.0.113.9 mask 255.255.255.255 192.0.2.1 if " + vars_["up"]);
    Lines recorded;
    for (const std::string& line : SplitLines(ReadFileBytes("lib_win\\talirvpn_record.txt"))) {
        if (line.rfind("route ", 0) == 0) recorded.push_back(line.substr(0, line.find(' ', 18)));
    }
    EXPECT_EQ(recorded, Lines{"route 203.0.113.10"}) << "what another process recorded meanwhile is kept";

    SetEnvironmentVariableA("TALIR_WININET_PAUSE", "set");
    Handle off = thread(switchedOff, [] { return std::string(SetSystemProxy(nullptr)); });
    ASSERT_TRUE(await("wininet.paused"));
    Handle on = thread(switchedOn, [] {
        const int32_t port = 2080;
        return std::string(SetSystemProxy(&port));
    });
    // The switch-on waits for the lock, well within its patience.
    EXPECT_EQ(WaitForSingleObject(on.value, 1000), WAIT_TIMEOUT) << "a switch ran inside another one";
    WriteFileBytes("wininet.go", "");
    ASSERT_EQ(WaitForSingleObject(off.value, 20000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(on.value, 20000), WAIT_OBJECT_0);
    SetEnvironmentVariableA("TALIR_WININET_PAUSE", nullptr);
    EXPECT_EQ(switchedOff, "success");
    EXPECT_EQ(switchedOn, "success");
    // One after the other: given back, then recorded anew and on.
    EXPECT_EQ(ReadFileBytes("connections.txt"), "\t3\t127.0.0.1:" + std::to_string(otherPort) + "\t\t\n");
    char record[4096] = {};
    DWORD size = sizeof record;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, "Software\\TalirVPN", "ProxyRecord", RRF_RT_REG_BINARY, nullptr, record,
                           &size), ERROR_SUCCESS);
    EXPECT_NE(std::string(record, size).find("\nconnection - 1 - - -\n"), std::string::npos) << record;
    // The prefix's user goes on without the proxy.
    EXPECT_STREQ(SetSystemProxy(nullptr), "success");
}

// Hosts call from a thread pool: every family from eight threads at once
// gives what some one-after-another order of the same calls gives.
class Concurrency : public Connected {
protected:
    static constexpr int kThreads = 8;

    // Returns once every worker has come (Wine lacks the system's barrier).
    void Meet() {
        AcquireSRWLockExclusive(&lock_);
        const int round = round_;
        if (++waiting_ == kThreads) waiting_ = 0, ++round_, WakeAllConditionVariable(&met_);
        while (round_ == round) SleepConditionVariableSRW(&met_, &lock_, INFINITE, 0);
        ReleaseSRWLockExclusive(&lock_);
    }

    // Runs work on every thread; returns what came out unexpected.
    Lines Storm(void (*work)(Concurrency&, int, Lines&)) {
        struct Worker {
            Concurrency* test;
            int number;
            void (*work)(Concurrency&, int, Lines&);
            Lines unexpected;
        };
        std::vector<Worker> workers;
        for (int i = 0; i < kThreads; ++i) workers.push_back({this, i, work, {}});
        std::vector<Handle> threads;
        const QuietStdout quiet;
        for (Worker& worker : workers) {
            threads.emplace_back(CreateThread(nullptr, 0, [](void* w) -> DWORD {
                Worker& worker = *static_cast<Worker*>(w);
                worker.work(*worker.test, worker.number, worker.unexpected);
                return 0;
            }, &worker, 0, nullptr));
        }
        Lines unexpected;
        for (size_t i = 0; i < threads.size(); ++i) {
            if (WaitForSingleObject(threads[i].value, 60000) != WAIT_OBJECT_0) unexpected.push_back("a worker hangs");
            unexpected.insert(unexpected.end(), workers[i].unexpected.begin(), workers[i].unexpected.end());
        }
        return unexpected;
    }

    static void Expect(Lines& unexpected, const char* call, const std::string& result, const std::string& wanted) {
        if (result != wanted) unexpected.push_back(std::string(call) + " -> " + result);
    }

    // All at once where the library makes its shared state: the gateway
    // lookup, the job.
    static void EveryFamily(Concurrency& test, int number, Lines& unexpected) {
        const std::string address = "203.0.113." + std::to_string(number + 1);
        const int port = 1080 + number;
        test.Meet();
        Expect(unexpected, "CreatePingRoute", CreatePingRoute(address.c_str()), "success");
        test.Meet();
        Expect(unexpected, "RunSingBox", RunSingBox(), "success");
        Expect(unexpected, "DeletePingRoute", DeletePingRoute(address.c_str()), "success");
        // This process made the changes and runs: there is nothing of a dead host to undo.
        const std::string restored = Take(RestoreNetwork());
        if (restored != "success") {
            Expect(unexpected, "RestoreNetwork", restored,
                   "Error: nothing restored: process " + std::to_string(GetCurrentProcessId()) +
                       ", which made these changes, still runs.");
        }
        Expect(unexpected, "GetSingInterface", Take(GetSingInterface()), test.tun_);
        Expect(unexpected, "RedirectToTun", Take(RedirectToTun(test.tun_.c_str())), "success");
        Expect(unexpected, "AddFirewallRule", AddFirewallRule(kCore), "success");
        Expect(unexpected, "CheckXrayFirewallRule", CheckXrayFirewallRule(), "Error find rule.");
        Expect(unexpected, "SetSystemProxy", SetSystemProxy(&port), "success");
        if (number % 2) Expect(unexpected, "SetSystemProxy", SetSystemProxy(nullptr), "success");
        DWORD child = 0;
        const Handle attached = Start(std::string(kCore) + " attach", &child);
        Expect(unexpected, "AssignToJobObject", Take(AssignToJobObject(child)), "success");
        const int32_t running = CheckAppRunning();
        if (running != 6) test.firstInstances_ += running == 0 ? 1 : 100;
        TruncateDllLog();
    }

    // Stops while other threads start: a core is either in the job that
    // the next stop ends, or its start fails.
    static void StartsAndStops(Concurrency& test, int, Lines& unexpected) {
        test.Meet();
        for (int i = 0; i < 5; ++i) {
            Expect(unexpected, "RunSingBox", RunSingBox(), "success");
            StopSingBox();
        }
    }

    bool AllCoresEnd() {
        StopSingBox();
        for (int i = 0; i < 500 && CountProcesses({"sing-box.exe"}) > 0; ++i) Sleep(20);
        return CountProcesses({"sing-box.exe"}) == 0;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE met_ = CONDITION_VARIABLE_INIT;
    int waiting_ = 0, round_ = 0;
    LONG firstInstances_ = 0;
};

TEST_F(Concurrency, EveryFamilyFromEightThreadsAtOnce) {
    const std::string connections = "\t13\t\t<local>\thttp://wpad/proxy.pac\nHome PPPoE\t1\t\t\t\n";
    WriteFileBytes("connections.txt", connections);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                       "ProxyServer");
    // Wine's own firewall: its stubs answer from any thread.
    ASSERT_NO_FATAL_FAILURE(FirewallStandin::RegisterWineFirewall());
    // The cores of the case before end with its job, and Wine may still be
    // ending them: the counts below start from none.
    ASSERT_TRUE(AllCoresEnd()) << "cores of an earlier case still run";
    EXPECT_EQ(Storm(EveryFamily), Lines{});
    EXPECT_EQ(CountProcesses({"sing-box.exe"}), 2 * kThreads) << "every core and attached process in the one job";
    EXPECT_TRUE(AllCoresEnd()) << "a process outlived the one StopSingBox";
    EXPECT_EQ(firstInstances_, 1) << "exactly one call is the first instance";
    const size_t handles = CountOpenHandles();
    EXPECT_EQ(Storm(StartsAndStops), Lines{});
    EXPECT_TRUE(AllCoresEnd());
    EXPECT_LE(CountOpenHandles(), handles + 4);

    // Whole lines, none lost, and one gateway lookup for the process;
    // counted by their first 30 bytes, as the system texts vary.
    const auto key = [](const std::string& message) { return message.substr(0, 30); };
    std::map<std::string, int> counted, expected;
    for (const std::string& message : LogMessages()) {
        // What a switch-off gives back depends on the switch-on before it,
        // what a restore finds on what came before it.
        if (message.rfind("Proxy settings ", 0) != 0 && message.rfind("Error: nothing restored: ", 0) != 0 &&
            message != "Nothing to restore") {
            ++counted[key(message)];
        }
    }
    const int calls = kThreads, runs = calls + 5 * kThreads;
    const std::string exists = SystemText(ERROR_ALREADY_EXISTS);
    const std::pair<std::string, int> lines[] = {
        {"Getting sing tun", calls}, {"Success getting TalirVPN tun: " + tun_, calls},
        {"Creating redirect route.", calls}, {"Success execute command.", 3 * calls},
        {"Execute command result: success", calls}, {"Start getting default gateway / interface.", 1},
        {"Start deleting route for ping.", calls}, {"Adding firewall rule", calls}, {"Rule added", calls},
        {"Checking xray firewall rule", calls}, {"Error find rule: 0x80004001 " + SystemText(E_NOTIMPL), calls},
        {"Cleaning firewall access", 2 * calls}, {"Starting sing-box", runs}, {"Success start sing-box", runs},
        {"Starting assign to job object", calls}, {"Success assign to job object", calls},
        {"Checking app running", calls}, {"CreateMutexError: ", 1}, {"CreateMutexError: " + exists, calls - 1},
        {"Mutex ERROR_ALREADY_EXISTS: " + exists, calls - 1}, {"Setting system proxy", calls},
        {"Success set system proxy", calls}, {"Switching system proxy off", calls / 2},
        {"Success switch system proxy off", calls / 2}, {"Restoring network", calls},
    };
    for (const auto& [message, count] : lines) expected[key(message)] += count;
    EXPECT_EQ(counted, expected);
    // The library's hold on its log is one stream: it can still be trimmed.
    WriteFileBytes(kLog, ReadFileBytes(kLog) + std::string(3 << 20, 'x'));
    TruncateDllLog();
    EXPECT_EQ(ReadFileBytes(kLog).size(), 2u << 20);
    // The switches came one after the other: the last one gives back
    // exactly what was there.
    EXPECT_STREQ(SetSystemProxy(nullptr), "success");
    EXPECT_EQ(ReadFileBytes("connections.txt"), connections);
    // The record names what the library added and the table still shows:
    // the tunnel's route, added once; every ping route is gone.
    Lines recorded;
    for (const std::string& line : SplitLines(ReadFileBytes("lib_win\\talirvpn_record.txt"))) {
        // Without its time and host: "route DEST MASK HOP IF".
        size_t end = 0;
        for (int words = 0; words < 5 && end != std::string::npos; ++words) end = line.find(' ', end + 1);
        if (line.rfind("route ", 0) == 0) recorded.push_back(line.substr(0, end));
    }
    EXPECT_EQ(recorded, Lines{"route 0.0.0.0 0.0.0.0 172.17.0.1 " + tun_});
    DWORD type = 0;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                           "ProxyServer", RRF_RT_ANY, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

}  // namespace
