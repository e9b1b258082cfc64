// CheckAppRunning against a first instance with windows of its own, and
// from a worker thread while the window's own thread is busy.
#include "talirvpn.h"
#include "test_support.h"

#include <algorithm>
#include <cstdio>

using namespace talir_test;

namespace {

struct WindowCase {
    const char* name;
    Lines titles;                  // "min=": shown minimised
    std::vector<size_t> matching;  // indexes into titles
    const char* sddl = nullptr;    // the first instance's mutex security
    DWORD code = ERROR_ALREADY_EXISTS;  // what CreateMutexW tells the second
};

const WindowCase kWindowCases[] = {
    {"OneExactAmongLookalikes", {"min=Talir VPN - Home", "min=Talir VPN", "min=talir vpn", "min=Talir VP"}, {1}},
    {"NoExactTitle", {"Talir VPN - Home", "TALIR VPN", "Talir VPN "}, {}},
    {"TwoExact", {"min=Talir VPN", "Talir VPN"}, {0, 1}},
    // An elevated first instance: its mutex lets others only wait on it.
    {"MutexOfAMorePrivilegedInstance", {"min=Talir VPN"}, {0}, "D:(A;;0x00100000;;;WD)", ERROR_ACCESS_DENIED},
};

void PrintTo(const WindowCase& c, std::ostream* out) { *out << c.name; }

// The line for a window: its handle as 16 hex digits, whose letter case is
// the runtime's business.
std::string HwndLine(unsigned long long window) {
    char text[64];
    std::snprintf(text, sizeof text, "HWND: %016llX\r\n", window);
    return text;
}

class SecondInstance : public WorkFolder, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(SecondInstance, BringsExactlyTheClientWindowsToTheFront) {
    const WindowCase& c = GetParam();
    SetEnvironmentVariableA("FIRST_INSTANCE_SDDL", c.sddl);
    CopyStandin("first-instance.exe");
    std::string commandLine = "first-instance.exe";
    for (const std::string& title : c.titles) commandLine += " \"" + title + "\"";
    const Handle first = Start(commandLine);
    std::vector<unsigned long long> windows;
    for (const std::string& line : AwaitLines("first-instance.ready", c.titles.size())) {
        windows.push_back(std::stoull(line));
    }
    ASSERT_EQ(windows.size(), c.titles.size()) << "the first instance did not come up";

    std::string output = Cli("CheckAppRunning\n").output;
    // The handles come front to back, which only the window manager knows.
    Lines printed, expected;
    for (size_t at; (at = output.find("HWND: ")) != std::string::npos;) {
        const size_t end = output.find('\n', at) + 1;
        std::string line = output.substr(at, end - at);
        std::transform(line.begin(), line.end(), line.begin(), ::toupper);
        printed.push_back(line);
        output.erase(at, end - at);
    }
    for (size_t index : c.matching) expected.push_back(HwndLine(windows[index]));
    const std::string exists = SystemText(c.code);
    std::string head = "Checking app running\nCreateMutexError: " + exists + "\nMutex ERROR_ALREADY_EXISTS: " + exists;
    for (size_t at = 0; (at = head.find('\n', at)) != std::string::npos; at += 2) head.insert(at, "\r");
    EXPECT_EQ(output, head + "\r\n" + (c.matching.empty() ? "Not found windows.\r\n" : "Find windows:\r\n") +
                          "CheckAppRunning -> 6\r\n");
    // Activated one after the other: the last one listed ends in front.
    if (!printed.empty()) {
        EXPECT_EQ(HwndLine(reinterpret_cast<unsigned long long>(GetForegroundWindow())), printed.back());
    }
    std::sort(printed.begin(), printed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(printed, expected);
    for (size_t i = 0; i < windows.size(); ++i) {
        const bool restored = std::count(c.matching.begin(), c.matching.end(), i) > 0;
        EXPECT_EQ(IsIconic(reinterpret_cast<HWND>(windows[i])) != FALSE,
                  c.titles[i].rfind("min=", 0) == 0 && !restored) << c.titles[i];
    }
    TerminateProcess(first.value, 0);
}

INSTANTIATE_TEST_SUITE_P(Windows, SecondInstance, ::testing::ValuesIn(kWindowCases),
                         [](const auto& info) { return std::string(info.param.name); });

// FFI hosts call from a thread pool while their window's own thread may be
// busy: reading its title must not wait for that thread.
class CheckApp : public WorkFolder {};

TEST_F(CheckApp, WorkerThreadFindsTheWindowOfABusyThread) {
    const HWND window = CreateWindowExA(0, "STATIC", "Talir VPN", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr,
                                        nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(CheckAppRunning(), 0);
    int32_t result = -1;
    const Handle worker(CreateThread(
        nullptr, 0, [](void* out) -> DWORD { return *static_cast<int32_t*>(out) = CheckAppRunning(), 0; }, &result, 0,
        nullptr));
    // Busy: this thread reads no messages while it waits.
    EXPECT_EQ(WaitForSingleObject(worker.value, 10000), WAIT_OBJECT_0) << "it waited on the busy window thread";
    for (MSG message; WaitForSingleObject(worker.value, 10) != WAIT_OBJECT_0;) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);  // free it
    }
    EXPECT_EQ(result, 6);
}

}  // namespace
