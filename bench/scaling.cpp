#include "scaling.h"

#include "bare_work.h"
#include "net_run.h"
#include "routing/forward_table.h"
#include "routing/gateway.h"
#include "talirvpn.h"
#include "toolkit/unique.h"
#include "windows_on_thread.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace bench {
namespace {

constexpr long long kMiB = 1 << 20;
// What the trim keeps: the library's limit.
constexpr long long kKept = 2 * kMiB;

void Net(const std::string& steps) {
    const talir_test::Finished net = talir_test::RunNet(steps, 120000);
    if (net.exitCode != 0) {
        std::fprintf(stderr, "net.sh %s: %s\n", steps.c_str(), net.timedOut ? "no answer" : net.output.c_str());
        std::exit(1);
    }
}

std::string Thousands(long long value) {
    std::string text = std::to_string(value);
    for (int at = static_cast<int>(text.size()) - 3; at > 0; at -= 3) text.insert(at, ",");
    return text;
}

// ---- routes -------------------------------------------------------------

std::optional<unsigned long> tunIndex;

long long TableRows() {
    const talir::ForwardTable read = talir::ReadForwardTable();
    return read.table ? read.table->dwNumEntries : 0;
}

// Fills the table with host routes on the uplink up to wanted rows.
Size Routes(long long wanted) {
    Net("hosts phys 0");
    const long long others = TableRows();
    Net("hosts phys " + std::to_string(wanted > others ? wanted - others : 0));
    tunIndex = TunIndex();
    const long long rows = TableRows();
    return {Thousands(rows) + " routes", static_cast<double>(rows)};
}

void LookUpGateway() {
    const talir::ForwardTable read = talir::ReadForwardTable();
    if (read.table) talir::ChooseDefaultRoute(*read.table, tunIndex);
}

// ---- adapters -----------------------------------------------------------

long long AdapterCount() {
    ULONG size = 0;
    GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    std::string buffer(size, '\0');
    auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size) != NO_ERROR) return 0;
    long long count = 0;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter; adapter = adapter->Next) ++count;
    return count;
}

// Interfaces without an address up to wanted adapters, then a new TUN:
// listed last, so that the search reads every adapter before it. Wine lists
// every adapter it has seen in a session, removed ones too: the old TUN
// stays listed, and sizes can only grow.
Size Adapters(long long wanted) {
    const long long listed = AdapterCount();
    if (listed < wanted) {
        std::string steps = "drop tun";
        for (long long count = listed + 1; count < wanted; ++count) steps += " tun fill -";
        Net(steps + " tun tun 172.17.0.1");
    }
    const long long count = AdapterCount();
    return {Thousands(count) + " adapters", static_cast<double>(count)};
}

// ---- windows ------------------------------------------------------------

std::optional<WindowsOnThread> windows;

BOOL CALLBACK CountWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<long long*>(count);
    return TRUE;
}

long long WindowCount() {
    long long count = 0;
    EnumWindows(&CountWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Windows of this process, none with the client's title, up to wanted.
// Making windows may make a window of the system's too (Wine's input
// method window of the thread): counted, and made up for once.
Size TopLevelWindows(long long wanted) {
    windows.reset();
    const long long made = wanted - WindowCount();
    windows.emplace(static_cast<int>(made));
    const long long extra = WindowCount() - wanted;
    if (extra != 0) {
        windows.reset();
        windows.emplace(static_cast<int>(made - extra));
    }
    const long long count = WindowCount();
    return {Thousands(count) + " windows", static_cast<double>(count)};
}

// ---- logs ---------------------------------------------------------------

long long logSize = 0;

// A log of logSize bytes: lines in its first 2 MiB, which the trim
// overwrites, and in its last 2 MiB, which it reads; a hole between (sparse,
// where the file system allows). Each size takes the same writes.
void MakeLog() {
    static const std::string lines = [] {
        std::string text;
        for (int i = 0; static_cast<long long>(text.size()) < kKept; ++i) {
            text += "2026-12-06 12:00:00 INFO [" + std::to_string(i) + "] inbound/tun[tun-in]: connection\n";
        }
        text.resize(kKept);
        return text;
    }();
    const talir::UniqueHandle file(talir::ValidOrNull(CreateFileA(
        "lib_win\\sing-box.log", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
    DWORD written = 0;
    WriteFile(file.get(), lines.data(), static_cast<DWORD>(kKept), &written, nullptr);
    LARGE_INTEGER end{};
    end.QuadPart = logSize - kKept;
    SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
    WriteFile(file.get(), lines.data(), static_cast<DWORD>(kKept), &written, nullptr);
}

Size Log(long long size) {
    logSize = size;
    const std::string label = size >= 1024 * kMiB ? std::to_string(size / (1024 * kMiB)) + " GiB log"
                                                  : std::to_string(size / kMiB) + " MiB log";
    return {label, static_cast<double>(kKept / kMiB)};
}

}  // namespace

std::vector<Scaling> Scalings(int calls) {
    const auto removeRoutes = [] { Net("hosts phys 0"); };
    return {
        {"gateway lookup (`ReadForwardTable`, `ChooseDefaultRoute`)", "route",
         {10, 1000, 10000}, calls, Routes, {LookUpGateway}, removeRoutes},

        // An absent route: the check reads every row.
        {"route check (`HasRoute`, an absent route)", "route",
         {10, 1000, 10000}, calls, Routes,
         {[] { talir::HasRoute("203.0.113.5", "255.255.255.255", std::nullopt); }}, removeRoutes},

        {"`CheckAppRunning`", "window",
         {10, 1000}, calls, TopLevelWindows,
         {[] { CheckAppRunning(); }}, [] { windows.reset(); }},

        {"`TruncateSingLog`", "kept MiB",
         {3 * kMiB, 1024 * kMiB}, calls, Log,
         {TruncateSingLog, MakeLog}},
    };
}

Scaling AdapterScaling(int calls) {
    return {"`GetSingInterface`", "adapter", {2, 16, 64}, calls, Adapters, {[] { FreeString(GetSingInterface()); }}};
}

}  // namespace bench
