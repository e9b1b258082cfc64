// Internal routines, where they have cases that the exports cannot reach:
// argument checks, a table that grows while it is read, a fixed clock, a
// route table that no real system shows, exceptions.
#include "boundary/guard.h"
#include "doctor.h"
#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"
#include "toolkit/change_record.h"
#include "toolkit/error_text.h"
#include "toolkit/result_string.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <stdexcept>

namespace {

TEST(RouteArguments, OnlyPlainDecimalIndexesAndCanonicalDottedAddresses) {
    const std::string huge(10240, '7');
    const struct {
        bool (*check)(const char*);
        const char* text;
        bool accepted;
    } cases[] = {
        {talir::IsInterfaceIndex, "23", true},          {talir::IsInterfaceIndex, "0", true},
        {talir::IsInterfaceIndex, "4294967295", true},  {talir::IsInterfaceIndex, "4294967296", false},
        {talir::IsInterfaceIndex, "00000000023", false}, {talir::IsInterfaceIndex, "99999999999", false},
        {talir::IsInterfaceIndex, "", false},           {talir::IsInterfaceIndex, nullptr, false},
        {talir::IsInterfaceIndex, "+1", false},         {talir::IsInterfaceIndex, "23 ", false},
        {talir::IsInterfaceIndex, "0x17", false},       {talir::IsInterfaceIndex, huge.c_str(), false},
        {talir::IsDottedIPv4, "203.0.113.5", true},     {talir::IsDottedIPv4, "255.255.255.255", true},
        {talir::IsDottedIPv4, "01.2.3.4", false},       {talir::IsDottedIPv4, "1.2.3", false},
        {talir::IsDottedIPv4, "256.1.1.1", false},      {talir::IsDottedIPv4, "1.2.3.4 mask 0.0.0.0", false},
        {talir::IsDottedIPv4, " 1.2.3.4", false},       {talir::IsDottedIPv4, "::1", false},
        {talir::IsDottedIPv4, nullptr, false},          {talir::IsDottedIPv4, huge.c_str(), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.check(c.text), c.accepted) << (c.text ? c.text : "(null)");
}

// A table of 4 rows that gains one after each of its next `growths` size
// reports, and leaves an unrelated last error behind.
DWORD rows = 0, failure = NO_ERROR;
int growths = 0;
DWORD WINAPI GrowingTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL) {
    SetLastError(ERROR_ACCESS_DENIED);
    const ULONG needed = offsetof(MIB_IPFORWARDTABLE, table) + rows * sizeof(MIB_IPFORWARDROW);
    if (failure != NO_ERROR || *size >= needed) return failure != NO_ERROR ? failure : (table->dwNumEntries = rows, 0);
    *size = needed;
    if (growths > 0) --growths, ++rows;
    return ERROR_INSUFFICIENT_BUFFER;
}

TEST(ForwardTable, AGrowingTableIsReadAgainAndAFailureNamesTheReturnedCode) {
    const struct {
        int growths;
        DWORD failure, textOf;  // textOf 0: read
    } cases[] = {
        {0, 0, 0}, {3, 0, 0}, {1000, 0, ERROR_INSUFFICIENT_BUFFER}, {0, ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}};
    for (const auto& c : cases) {
        rows = 4, growths = c.growths, failure = c.failure;
        const talir::ForwardTable result = talir::ReadForwardTable(&GrowingTable);
        EXPECT_EQ(result.status, c.textOf ? talir::ForwardTable::Status::Failed : talir::ForwardTable::Status::Ok);
        EXPECT_EQ(c.textOf ? result.errorText : std::to_string(result.table->dwNumEntries),
                  c.textOf ? talir::ErrorText(c.textOf) : std::to_string(rows)) << c.growths;
    }
    // A code without a system text still names its number.
    EXPECT_EQ(talir::ErrorText(15105), "Windows error 15105\r\n");
}

TEST(LogTimestamp, IsCtimeWithTheDayPaddedByABlank) {
    for (const auto& [day, expected] : {std::pair<int, const char*>{6, "Sun Dec  6 09:05:07 2026"},
                                        {16, "Wed Dec 16 09:05:07 2026"}}) {
        std::tm local{7, 5, 9, day, 11, 2026 - 1900, 0, 0, -1};
        EXPECT_EQ(talir::LogTimestamp(_mktime64(&local)), expected);
    }
    EXPECT_EQ(talir::LogTimestamp(-1).size(), 24u) << "beyond the runtime's clock, nothing overrun";
}

// Nothing thrown inside an export reaches the host; constants are never freed.
TEST(Guarded, NothingThrownCrossesTheBoundary) {
    for (const auto& [thrower, text] :
         {std::pair<void (*)(), const char*>{[] { throw std::bad_alloc(); }, talir::kOutOfMemory},
          {[] { throw std::runtime_error("x"); }, talir::kUnexpectedFailure},
          {[] { throw 7; }, talir::kUnexpectedFailure}}) {
        void (*const raise)() = thrower;  // a lambda may not capture a structured binding before C++20
        EXPECT_EQ(talir::Guarded([&]() -> const char* { raise(); return "success"; }), text);
        EXPECT_EQ(talir::Guarded([&]() -> char* { raise(); return nullptr; }), text);
        EXPECT_EQ(talir::Guarded([&]() -> int32_t { raise(); return 0; }), 1);
        talir::Guarded([&] { raise(); });
    }
    // A constant handed to free: Windows corrupts its heap, Wine refuses it
    // and leaves an error behind.
    SetLastError(0);
    talir::FreeResultString(const_cast<char*>(talir::kOutOfMemory));
    talir::FreeResultString(const_cast<char*>(talir::kUnexpectedFailure));
    talir::FreeResultString(nullptr);
    EXPECT_EQ(GetLastError(), 0u);
}

// The record survives any text a connection may hold, and anything but a
// whole record of this folder is refused.
TEST(ChangeRecord, KeepsEveryTextAndRefusesWhatIsNotWhole) {
    talir::ChangeRecord record;
    record.host = {4242, 133780000000000000ull};
    record.folder = L"C:\\Users\\\u0418\u0432\u0430\u043d\\Talir VPN";
    record.proxy = talir::ProxyChange{L"127.0.0.1:1080", "2026-12-07T08:20:31Z",
                                      {{L"ProxyEnable", true, REG_DWORD, std::string("\1\0\0\0", 4)},
                                       {L"ProxyServer", false, 0, ""}},
                                      {{L"", 13, L"", L"<local>;*.corp %", L"http://wpad/x.pac"},
                                       {L"-", 1, L"-", L"", L""}, {L"\u5bb6 PPPoE", 3, L"10.0.0.1:8080", L"", L""}}};
    const std::string text = talir::FormatRecord(record);
    const talir::RecordRead read = talir::ParseRecord(text, L"c:\\users\\\u0438\u0432\u0430\u043d\\talir vpn");
    ASSERT_EQ(read.state, talir::RecordState::Read) << read.problem;
    EXPECT_EQ(talir::FormatRecord(read.record), text);
    EXPECT_EQ(read.record.proxy->connections[2].name, L"\u5bb6 PPPoE");

    const std::string body = text.substr(0, text.size() - 4);  // without "end\n"
    const struct {
        std::string text;
        std::wstring folder;
    } refused[] = {{body, record.folder},                       {text + "connection - 1 - - -\n", record.folder},
                   {"talirvpn record 2" + text.substr(17), record.folder}, {text, L"C:\\Other"},
                   {body + "value ProxyEnable 4 0G\nend\n", record.folder}, {body + "host 1 2\nend\n", record.folder}};
    for (const auto& c : refused) {
        EXPECT_EQ(talir::ParseRecord(c.text, c.folder).state, talir::RecordState::Unreadable) << c.text;
    }
}

MIB_IPFORWARDROW Row(const char* destination, const char* mask, const char* nextHop, DWORD index, DWORD metric) {
    MIB_IPFORWARDROW row{};
    inet_pton(AF_INET, destination, &row.dwForwardDest);
    inet_pton(AF_INET, mask, &row.dwForwardMask);
    inet_pton(AF_INET, nextHop, &row.dwForwardNextHop);
    row.dwForwardIfIndex = index;
    row.dwForwardMetric1 = metric;
    return row;
}

// Linux takes an interface's routes with it: no real table shows a route
// into an adapter that is gone (the TUN, index 9).
TEST(DoctorRoutes, TunnelRouteIntoARemovedAdapterIsAProblemWithItsRemoval) {
    struct {
        MIB_IPFORWARDTABLE head;
        MIB_IPFORWARDROW more[2];
    } table{{3, {Row("0.0.0.0", "0.0.0.0", "172.17.0.1", 9, 1)}},
            {Row("0.0.0.0", "0.0.0.0", "192.0.2.1", 4, 25), Row("203.0.113.5", "255.255.255.255", "192.0.2.1", 4, 25)}};
    const talir::doctor::Check check = talir::doctor::JudgeRoutes(table.head, {{1, "lo"}, {4, "uplink"}}, std::nullopt, false);
    EXPECT_EQ(check.status, talir::doctor::Status::Problem);
    EXPECT_EQ(check.facts, (std::vector<std::string>{
                               "default via 172.17.0.1 if 9 metric 1: into an interface that no longer exists",
                               "default via 192.0.2.1 if 4 metric 25: chosen", "ping routes: 203.0.113.5"}));
    EXPECT_EQ(check.action, "route delete 0.0.0.0 mask 0.0.0.0 172.17.0.1 if 9");
}

MIB_IPFORWARD_ROW2 Row6(const char* prefix, UINT8 length, const char* nextHop, NET_IFINDEX index, ULONG metric) {
    MIB_IPFORWARD_ROW2 row{};
    row.DestinationPrefix.Prefix.si_family = AF_INET6;
    inet_pton(AF_INET6, prefix, &row.DestinationPrefix.Prefix.Ipv6.sin6_addr);
    row.DestinationPrefix.PrefixLength = length;
    row.NextHop.si_family = AF_INET6;
    inet_pton(AF_INET6, nextHop, &row.NextHop.Ipv6.sin6_addr);
    row.InterfaceIndex = index;
    row.Metric = metric;
    return row;
}

// Wine lists no IPv6 routes: tables as Windows shows them. The TUN is 9,
// the uplink "Ethernet" 4; a prefix route is never a default.
TEST(DoctorIpv6, TheLowestDefaultMustGoIntoTheTunWhileACoreRuns) {
    const MIB_IPFORWARD_ROW2 prefix = Row6("2001:db8::", 64, "::", 4, 1), uplink = Row6("::", 0, "fe80::1", 4, 256),
                             tunnel = Row6("::", 0, "::", 9, 5), cheapUplink = Row6("::", 0, "fe80::1", 4, 1);
    const std::string around =
        "turn IPv6 off on that adapter: Disable-NetAdapterBinding -Name \"Ethernet\" -ComponentID ms_tcpip6 "
        "(PowerShell, as administrator); or let the core carry IPv6";
    const struct {
        std::vector<MIB_IPFORWARD_ROW2> rows;
        bool coreRuns;
        talir::doctor::Status status;
        std::string lastFact, action;
    } cases[] = {
        {{prefix}, true, talir::doctor::Status::Ok, "no IPv6 default route", ""},
        {{prefix, tunnel}, true, talir::doctor::Status::Ok, "IPv6 goes into the tunnel", ""},
        {{uplink}, false, talir::doctor::Status::Ok, "no core runs", ""},
        {{prefix, uplink}, true, talir::doctor::Status::Problem, "IPv6 leaves through Ethernet, around the tunnel",
         around},
        {{uplink, tunnel}, true, talir::doctor::Status::Ok, "IPv6 goes into the tunnel", ""},
        {{tunnel, cheapUplink}, true, talir::doctor::Status::Problem,
         "IPv6 leaves through Ethernet, around the tunnel", around},
    };
    for (const auto& c : cases) {
        std::vector<char> bytes(sizeof(MIB_IPFORWARD_TABLE2) + c.rows.size() * sizeof(MIB_IPFORWARD_ROW2));
        auto& table = *reinterpret_cast<MIB_IPFORWARD_TABLE2*>(bytes.data());
        table.NumEntries = static_cast<ULONG>(c.rows.size());
        std::copy(c.rows.begin(), c.rows.end(), table.Table);
        const talir::doctor::Check check = talir::doctor::JudgeIpv6(table, {{4, "Ethernet"}}, 9ul, c.coreRuns);
        SCOPED_TRACE(c.lastFact + (c.coreRuns ? ", core runs" : ""));
        EXPECT_EQ(check.status, c.status);
        EXPECT_EQ(check.facts.back(), c.lastFact);
        EXPECT_EQ(check.action, c.action);
    }
}

}  // namespace
