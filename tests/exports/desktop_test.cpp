// Desktop integration (single instance, system proxy, autorun task), attaching
// processes to the job, and trimming the two logs.
#include "talirvpn.h"
#include "test_support.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace talir_test;

namespace {

// What a text-mode stream makes of text: every LF becomes CR LF, also after
// the CR of a system message.
std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// The host program in a process of its own, one export call per line.
Finished Cli(const std::string& script) {
    return RunCapture("\"" + BinDir() + "talirvpn-cli.exe\"", script);
}

std::string Take(char* result) {
    std::string text = result ? result : "";
    FreeString(result);
    return text;
}

bool WaitForFile(const char* path, HANDLE process) {
    for (int i = 0; i < 1000 && !FileExists(path); ++i) {
        if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) return false;
    }
    return FileExists(path);
}

// ---------------------------------------------------------------- CheckAppRunning

// The stand-in first instance with its windows; killed when the case ends,
// which releases the mutex for the next case.
struct FirstInstance {
    Handle process;
    std::vector<HWND> windows;  // in the order of the titles

    explicit FirstInstance(const std::vector<std::string>& titles) : process(Start(CommandLine(titles))) {
        if (!process.value || !WaitForFile("first-instance.ready", process.value)) return;
        std::istringstream lines(ReadFileBytes("first-instance.ready"));
        for (unsigned long long window; lines >> window;) windows.push_back(reinterpret_cast<HWND>(window));
    }
    static std::string CommandLine(const std::vector<std::string>& titles) {
        std::string commandLine = "\"" + StandinPath("first-instance.exe") + "\"";
        for (const std::string& title : titles) commandLine += " \"" + title + "\"";
        return commandLine;
    }
    ~FirstInstance() {
        if (!process.value) return;
        TerminateProcess(process.value, 0);
        WaitForSingleObject(process.value, 10000);
    }
};

// The line for a window: the handle in pointer notation, 16 hex digits
// (whose letter case is the runtime's business, so compared in upper case).
std::string HwndLine(HWND window) {
    char text[64];
    std::snprintf(text, sizeof text, "HWND: %016llX\r\n", reinterpret_cast<unsigned long long>(window));
    return text;
}
std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return text;
}

class CheckApp : public WorkFolder {};

TEST_F(CheckApp, FirstInstanceGetsZeroAndItsSecondCallSix) {
    const std::string exists = SystemText(ERROR_ALREADY_EXISTS);
    // Nothing else holds the mutex: 0, and no window search. The same
    // process then finds the mutex that its first call keeps open.
    const Finished cli = Cli("CheckAppRunning\nCheckAppRunning\n");
    EXPECT_EQ(cli.output, Crlf("Checking app running\nCreateMutexError: \nCheckAppRunning -> 0\n"
                               "Checking app running\nCreateMutexError: " + exists +
                               "\nMutex ERROR_ALREADY_EXISTS: " + exists +
                               "\nNot found windows.\nCheckAppRunning -> 6\n"));
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{"Checking app running", "CreateMutexError: ", "Checking app running",
                                        "CreateMutexError: " + exists, "Mutex ERROR_ALREADY_EXISTS: " + exists}));
}

struct WindowCase {
    const char* name;
    std::vector<std::string> titles;  // "min=" shows the window minimised
    std::vector<size_t> matching;     // indexes into titles
    const char* sddl = nullptr;       // the first instance's mutex security
    DWORD code = ERROR_ALREADY_EXISTS;  // what CreateMutexW tells the second
};

const WindowCase kWindowCases[] = {
    {"OneExactAmongLookalikes", {"min=Talir VPN - Home", "min=Talir VPN", "min=talir vpn", "min=Talir VP"}, {1}},
    {"NoExactTitle", {"Talir VPN - Home", "TALIR VPN", "Talir VPN "}, {}},
    {"TwoExact", {"min=Talir VPN", "Talir VPN"}, {0, 1}},
    // An elevated first instance: its mutex lets others only wait on it.
    {"MutexOfAMorePrivilegedInstance", {"min=Talir VPN"}, {0}, "D:(A;;0x00100000;;;WD)", ERROR_ACCESS_DENIED},
};

void PrintTo(const WindowCase& c, std::ostream* out) {
    *out << c.name;
}

class SecondInstance : public WorkFolder, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(SecondInstance, BringsExactlyTheClientWindowsToTheFront) {
    const WindowCase& c = GetParam();
    SetEnvironmentVariableA("FIRST_INSTANCE_SDDL", c.sddl);
    FirstInstance first(c.titles);
    ASSERT_EQ(first.windows.size(), c.titles.size()) << "the first instance did not come up";

    const Finished cli = Cli("CheckAppRunning\n");
    const std::string exists = SystemText(c.code);
    const std::string head =
        Crlf("Checking app running\nCreateMutexError: " + exists + "\nMutex ERROR_ALREADY_EXISTS: " + exists + "\n");

    // The handles come in enumeration order (front to back), which only the
    // window manager knows: compare them as a set, and the rest byte for byte.
    std::vector<std::string> expectedLines, printedLines;
    for (size_t index : c.matching) expectedLines.push_back(HwndLine(first.windows[index]));
    std::string printed;
    for (size_t at = cli.output.find("HWND: "); at != std::string::npos; at = cli.output.find("HWND: ", at + 1)) {
        const std::string line = cli.output.substr(at, cli.output.find('\n', at) + 1 - at);
        printed += line;
        printedLines.push_back(Upper(line));
    }
    EXPECT_EQ(cli.output, head + (c.matching.empty() ? "Not found windows.\r\n" : "Find windows:\r\n" + printed) +
                              "CheckAppRunning -> 6\r\n");
    std::vector<std::string> sortedPrinted = printedLines;
    std::sort(sortedPrinted.begin(), sortedPrinted.end());
    std::sort(expectedLines.begin(), expectedLines.end());
    EXPECT_EQ(sortedPrinted, expectedLines);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Checking app running", "CreateMutexError: " + exists,
                                                       "Mutex ERROR_ALREADY_EXISTS: " + exists}));

    for (size_t i = 0; i < c.titles.size(); ++i) {
        const bool matches = std::find(c.matching.begin(), c.matching.end(), i) != c.matching.end();
        const bool wasMinimised = c.titles[i].rfind("min=", 0) == 0;
        EXPECT_EQ(IsIconic(first.windows[i]) != FALSE, wasMinimised && !matches) << c.titles[i];
    }
    // Activated one after the other: the last one listed ends in front.
    if (!printedLines.empty()) {
        EXPECT_EQ(HwndLine(GetForegroundWindow()), printedLines.back());
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, SecondInstance, ::testing::ValuesIn(kWindowCases),
                         [](const auto& info) { return std::string(info.param.name); });

DWORD WINAPI CheckOnWorker(void* result) {
    *static_cast<int32_t*>(result) = CheckAppRunning();
    return 0;
}

// FFI hosts call from a thread pool while their window's own thread may be
// busy: reading its title must not wait for that thread.
TEST_F(CheckApp, WorkerThreadFindsTheWindowOfABusyThread) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TalirBusyHost";
    RegisterClassW(&windowClass);
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Talir VPN", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                        200, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(CheckAppRunning(), 0);

    int32_t result = -1;
    const Handle worker(CreateThread(nullptr, 0, CheckOnWorker, &result, 0, nullptr));
    ASSERT_NE(worker.value, nullptr);
    // Busy: this thread reads no messages while it waits.
    const DWORD waited = WaitForSingleObject(worker.value, 10000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "CheckAppRunning waited on the busy window thread";
    for (MSG message; WaitForSingleObject(worker.value, 0) != WAIT_OBJECT_0;) {
        // Free the worker, so that the case ends.
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
    EXPECT_EQ(result, 6);
    DestroyWindow(window);
}

// ---------------------------------------------------------------- system proxy

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

struct RegValue {
    DWORD type = REG_NONE;
    std::string data;  // as stored, a REG_SZ with its NUL
    bool operator==(const RegValue& other) const { return type == other.type && data == other.data; }
};

std::ostream& operator<<(std::ostream& out, const RegValue& value) {
    return out << "type " << value.type << ", " << value.data.size() << " bytes \"" << value.data << "\"";
}

RegValue Dword(DWORD number) {
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&number), sizeof number)};
}
RegValue Text(const std::string& text) {
    return {REG_SZ, text + '\0'};
}

RegValue ReadValue(const char* name) {
    RegValue value;
    char data[256] = {};
    DWORD size = sizeof data;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return value;
    if (RegQueryValueExA(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
        value.data.assign(data, size);
    }
    RegCloseKey(key);
    return value;
}

void WriteValue(const char* name, const RegValue& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                   static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
}

class SystemProxy : public WorkFolder {
protected:
    // Known values before each case; the prefix's proxy is left switched off.
    void SetUp() override {
        WorkFolder::SetUp();
        WriteValue("ProxyEnable", Dword(0));
        WriteValue("ProxyServer", Text("127.0.0.1:3128"));
    }
    void TearDown() override { WriteValue("ProxyEnable", Dword(0)); }
};

TEST_F(SystemProxy, PortsAndNullWriteTheUserValues) {
    struct Step {
        std::optional<int32_t> port;
        DWORD enable;
        const char* server;
        size_t serverSize;
    };
    const Step steps[] = {
        {1080, 1, "127.0.0.1:1080", 15},
        {80, 1, "127.0.0.1:80", 13},
        {std::nullopt, 0, "127.0.0.1:80", 13},  // off, the server stays
        {65535, 1, "127.0.0.1:65535", 16},
        {1, 1, "127.0.0.1:1", 12},
    };
    const char* success = nullptr;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.server);
        int32_t port = step.port.value_or(0);
        const char* result = SetSystemProxy(step.port ? &port : nullptr);
        EXPECT_STREQ(result, "success");
        if (!success) success = result;
        EXPECT_EQ(result, success) << "one constant for one outcome";
        EXPECT_EQ(ReadValue("ProxyEnable"), Dword(step.enable));
        const RegValue server = ReadValue("ProxyServer");
        EXPECT_EQ(server, Text(step.server));
        EXPECT_EQ(server.data.size(), step.serverSize);
    }
    EXPECT_FALSE(FileExists("lib_win\\talirvpn_dll.log")) << "SetSystemProxy does not log";
}

TEST_F(SystemProxy, PortsThatCannotExistWriteNothing) {
    WriteValue("ProxyEnable", Dword(1));
    const char* refused = nullptr;
    for (int32_t port : {0, -1, 65536, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(port);
        const char* result = SetSystemProxy(&port);
        EXPECT_STREQ(result, "Error: invalid proxy port.");
        if (!refused) refused = result;
        EXPECT_EQ(result, refused);
        EXPECT_EQ(ReadValue("ProxyEnable"), Dword(1));
        EXPECT_EQ(ReadValue("ProxyServer"), Text("127.0.0.1:3128"));
    }
}

TEST_F(SystemProxy, MissingKeyIsReportedAndNothingIsCreated) {
    // For this process only, the user's hive is an empty key: the settings
    // key is missing there.
    const std::string emptyHive = "Software\\TalirTest\\EmptyHive";
    HKEY hive = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, emptyHive.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &hive, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, hive), ERROR_SUCCESS);
    int32_t port = 1080;
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
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(ReadValue("ProxyEnable"), Dword(0));
    EXPECT_EQ(ReadValue("ProxyServer"), Text("127.0.0.1:3128"));
}

TEST_F(SystemProxy, CleanProxyResetsWinHttpOnlyThroughNetsh) {
    CopyStandin("netsh.exe", "netsh.exe");
    WriteValue("ProxyEnable", Dword(1));
    CleanProxy();
    EXPECT_EQ(ReadFileBytes("netsh.log"), "netsh winhttp reset proxy\n");
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"Success execute command."});
    EXPECT_EQ(ReadValue("ProxyEnable"), Dword(1));
    EXPECT_EQ(ReadValue("ProxyServer"), Text("127.0.0.1:3128"));
}

// ---------------------------------------------------------------- autorun task

class Autorun : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        CopyStandin("schtasks.exe", "schtasks.exe");
    }
    // The command lines that schtasks received. cmd.exe takes the
    // redirections for itself and leaves the blanks before them, which no
    // program reads as an argument.
    static std::string Received() {
        std::istringstream lines(ReadFileBytes("schtasks.log"));
        std::string received;
        for (std::string line; std::getline(lines, line);) {
            received += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
        }
        return received;
    }
    static std::string Query() { return "schtasks /query /tn \"TalirVPN Autorun\"\n"; }
    static std::string Delete() { return "schtasks /Delete /TN \"TalirVPN Autorun\" /F\n"; }
};

TEST_F(Autorun, PresentTaskIsDeletedOnceAndOnlyTheQueryIsSilenced) {
    WriteFileBytes("schtasks.tasks", "TalirVPN Autorun (old)\nTalirVPN Autorun\n");
    const Finished cli = Cli("DeleteAutorun\nDeleteAutorun\n");
    EXPECT_EQ(Received(), Query() + Delete() + Query());
    EXPECT_EQ(ReadFileBytes("schtasks.tasks"), "TalirVPN Autorun (old)\n");
    EXPECT_EQ(cli.output, Crlf("schtasks delete out\nschtasks delete err\n"
                               "DeleteAutorun -> (no result)\nDeleteAutorun -> (no result)\n"));
    EXPECT_FALSE(FileExists("lib_win\\talirvpn_dll.log")) << "DeleteAutorun does not log";
}

TEST_F(Autorun, AbsentTaskIsOnlyQueried) {
    WriteFileBytes("schtasks.tasks", "TalirVPN Autorun (old)\n");
    const Finished cli = Cli("DeleteAutorun\n");
    EXPECT_EQ(Received(), Query());
    EXPECT_EQ(ReadFileBytes("schtasks.tasks"), "TalirVPN Autorun (old)\n");
    EXPECT_EQ(cli.output, "DeleteAutorun -> (no result)\r\n");
}

// ---------------------------------------------------------------- AssignToJobObject

class Attach : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        InstallSingBox();
    }
    // A process of the test that lives until killed.
    static Handle StartChild(DWORD* processId) {
        return Start("\"" + StandinPath("sing-box.exe") + "\" attached", processId);
    }
};

TEST_F(Attach, AttachedProcessEndsWithTheJobAndAFreshJobFollows) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        DWORD id = 0;
        const Handle child = StartChild(&id);
        EXPECT_EQ(Take(AssignToJobObject(id)), "success");
        EXPECT_EQ(WaitForSingleObject(child.value, 200), static_cast<DWORD>(WAIT_TIMEOUT));
        StopSingBox();
        EXPECT_EQ(WaitForSingleObject(child.value, 10000), WAIT_OBJECT_0) << "ended with the job";
    }
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Starting assign to job object", "Success assign to job object",
                                                       "Starting assign to job object",
                                                       "Success assign to job object"}));
}

TEST_F(Attach, FailedAttachesLeaveTheJobAsItWas) {
    ASSERT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);

    // Far above any process id that the system hands out. (An ended child's
    // id still opens under Wine for a while.)
    const DWORD gone = 0x7FFFFFFC;
    const std::string notOpened = "Failed to open process. Error: " + SystemText(ERROR_INVALID_PARAMETER);
    const struct {
        DWORD id;
        std::string text;
    } cases[] = {
        {0, notOpened},
        {gone, notOpened},
        {GetCurrentProcessId(),
         "Failed to assign process to job object. Error: the calling process cannot join its own job."},
    };
    std::vector<std::string> log = {"Starting sing-box", "Success start sing-box"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(Take(AssignToJobObject(c.id)), c.text);
        log.insert(log.end(), {"Starting assign to job object", c.text});
    }
    EXPECT_EQ(LogMessages(), log);

    EXPECT_FALSE(WaitForExit(cores[0].processId, 200)) << "the job was closed";
    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
}

// ---------------------------------------------------------------- log truncation

constexpr size_t kLimit = 2097152;

// Bytes that depend on their offset, so that any shift or mix-up shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
    return bytes;
}

class Truncate : public WorkFolder, public ::testing::WithParamInterface<const char*> {
protected:
    std::string File() const {
        return std::string(GetParam()) == "TruncateDllLog" ? "lib_win\\talirvpn_dll.log" : "lib_win\\sing-box.log";
    }
    Finished Call() const { return Cli(std::string(GetParam()) + "\n"); }
    std::string Done() const { return std::string(GetParam()) + " -> (no result)\r\n"; }
};

TEST_P(Truncate, KeepsExactlyTheLastTwoMebibytes) {
    for (size_t size : {size_t{0}, kLimit, kLimit + 1, size_t{5} << 20}) {
        SCOPED_TRACE(size);
        const std::string before = Pattern(size);
        WriteFileBytes(File(), before);
        const Finished run = Call();
        const std::string after = ReadFileBytes(File());
        if (size <= kLimit) {
            EXPECT_EQ(run.output, "The file is already less than or equal to 2097152 \xE1\xE0\xE9\xF2\r\n" + Done());
            EXPECT_TRUE(after == before) << "changed, now " << after.size() << " bytes";
        } else {
            EXPECT_EQ(run.output, "The file is truncated to 2097152 bytes\r\n" + Done());
            EXPECT_TRUE(after == before.substr(size - kLimit)) << "kept the wrong " << after.size() << " bytes";
        }
    }
}

TEST_P(Truncate, UnopenableFileIsLeftAlone) {
    EXPECT_EQ(Call().output, "Couldn't open the file! Error: 2\r\n" + Done());
    EXPECT_FALSE(FileExists(File()));

    const std::string before = Pattern(3 << 20);
    WriteFileBytes(File(), before);
    {
        // Held by this process while another one trims.
        const Handle held(CreateFileA(File().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(held.value, nullptr);
        EXPECT_EQ(Call().output, "Couldn't open the file! Error: 32\r\n" + Done());
    }
    EXPECT_TRUE(ReadFileBytes(File()) == before);

    ASSERT_TRUE(DeleteFileA(File().c_str()));
    ASSERT_TRUE(RemoveDirectoryA("lib_win"));
    EXPECT_EQ(Call().output, "Couldn't open the file! Error: 3\r\n" + Done());
    EXPECT_FALSE(FileExists("lib_win"));
}

INSTANTIATE_TEST_SUITE_P(Logs, Truncate, ::testing::Values("TruncateSingLog", "TruncateDllLog"),
                         [](const auto& info) { return std::string(info.param); });

class DllLog : public WorkFolder {};

TEST_F(DllLog, TrimsTheLogThatTheLibraryHolds) {
    // Old lines without a "[": the entries of this run are found by theirs.
    std::string before = Pattern(3 << 20);
    for (char& c : before) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    before.replace(before.size() - 2, 2, "\r\n");
    WriteFileBytes("lib_win\\talirvpn_dll.log", before);

    const Finished cli = Cli("AssignToJobObject 0\nTruncateDllLog\nAssignToJobObject 0\n");
    const std::string failure = "Failed to open process. Error: " + SystemText(ERROR_INVALID_PARAMETER);
    const std::string attach = "Starting assign to job object\n" + failure + "\nAssignToJobObject -> " + failure + "\n";
    EXPECT_EQ(cli.output, Crlf(attach + "The file is truncated to 2097152 bytes\nTruncateDllLog -> (no result)\n" +
                               attach));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Starting assign to job object", failure,
                                                       "Starting assign to job object", failure}));

    // The trimmed file ends where the third entry, written after the trim,
    // begins; before the first entry it holds the newest old bytes.
    const std::string after = ReadFileBytes("lib_win\\talirvpn_dll.log");
    std::vector<size_t> entries;
    for (size_t at = after.find('['); at != std::string::npos; at = after.find('[', at + 1)) entries.push_back(at);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[2], kLimit);
    EXPECT_TRUE(after.compare(0, entries[0], before, before.size() - entries[0], entries[0]) == 0);
}

}  // namespace
