// Internal routines, where they have cases that the exports cannot reach:
// argument checks, a table that grows while it is read, a fixed clock, a
// route table that no real system shows, exceptions.
#include "boundary/guard.h"
#include "doctor.h"
#include "log/write_log.h"
#include "routing/forward_table.h"
#include "routing/route_commands.h"
#include "record/record_text.h"
#include "toolkit/error_text.h"
#include "toolkit/result_string.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <set>
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

// The record survives any text a connection may hold; what is not whole,
// or is only for later readers, is refused; what an older or a later
// writer wrote is read as far as it concerns this reader.
TEST(ChangeRecord, KeepsEveryTextReadsOtherVersionsAndRefusesWhatIsNotWhole) {
    talir::ChangeRecord record;
    record.folder = talir::RecordFolder{L"C:\\Users\\\u0418\u0432\u0430\u043d\\Talir VPN", 0x1234ABCDul, 0x10000000001234ull};
    const talir::Owner host{4242, 133780000000000000ull, true}, other{7, 8, true};
    record.proxy = talir::ProxyChange{L"127.0.0.1:1080", "2026-12-07T08:20:31Z", host,
                                      {{L"ProxyEnable", true, REG_DWORD, std::string("\1\0\0\0", 4)},
                                       {L"ProxyServer", false, 0, ""}},
                                      {{L"", 13, L"", L"<local>;*.corp %", L"http://wpad/x.pac"},
                                       {L"-", 1, L"-", L"", L""}, {L"\u5bb6 PPPoE", 3, L"10.0.0.1:8080", L"", L""}}};
    record.routes = {{"0.0.0.0", "0.0.0.0", "172.17.0.1", 17, "2026-12-07T08:20:33Z", host},
                     {"203.0.113.5", "255.255.255.255", "192.0.2.1", 4, "2026-12-07T08:20:35Z", other}};
    const std::string text = talir::FormatRecord(record);
    talir::RecordRead read = talir::ParseRecord(text);
    ASSERT_EQ(read.state, talir::RecordState::Read) << read.problem;
    EXPECT_EQ(talir::FormatRecord(read.record), text);
    EXPECT_EQ(read.record.proxy->connections[2].name, L"\u5bb6 PPPoE");
    EXPECT_EQ(read.record.routes[1].owner, other);

    // Edited on Windows: CR LF.
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    read = talir::ParseRecord(crlf);
    ASSERT_EQ(read.state, talir::RecordState::Read) << read.problem;
    EXPECT_EQ(talir::FormatRecord(read.record), text);

    // Version 1 named one host for every change, which had no mark.
    read = talir::ParseRecord("talirvpn record 1\nhost 9 10\nfolder C:\\Talir\nproxy 127.0.0.1:1080 x\n"
                              "value ProxyEnable 4 00000000\nroute 203.0.113.5 255.255.255.255 192.0.2.1 4 y\nend\n");
    ASSERT_EQ(read.state, talir::RecordState::Read) << read.problem;
    EXPECT_EQ(read.record.proxy->owner, (talir::Owner{9, 10, false}));
    EXPECT_EQ(read.record.routes[0].owner, (talir::Owner{9, 10, false}));
    EXPECT_EQ(read.record.folder->spelled, L"C:\\Talir");
    EXPECT_FALSE(read.record.folder->index.has_value());

    // A later writer that this reader may follow: its new lines and words
    // are passed over.
    const std::string body = text.substr(text.find('\n') + 1, text.size() - text.find('\n') - 5);  // no end
    read = talir::ParseRecord("talirvpn record 3 2\n" + body + "weather sunny\nroute 198.51.100.1 255.255.255.255 "
                              "192.0.2.1 4 z 5 6 more words\nend\n");
    ASSERT_EQ(read.state, talir::RecordState::Read) << read.problem;
    EXPECT_EQ(read.record.routes.size(), 3u);

    const std::string refused[] = {
        body, "talirvpn record 2 2\n" + body,                     // torn
        "talirvpn record 3 3\n" + body + "end\n",                 // for later readers only
        "talirvpn record 2 2\n" + body + "weather sunny\nend\n",  // not a line of its version
        "talirvpn record 2 2\n" + body + "end\nconnection - 1 - - -\n",
        "talirvpn record 2 2\n" + body + "value ProxyEnable 4 0G\nend\n",
        "talirvpn record 2 2\n" + body + "route 203.0.113.5 255.255.255.255 192.0.2.1 4 y\nend\n",  // no host
        "talirvpn record 1\nroute 203.0.113.5 255.255.255.255 192.0.2.1 4 y\nend\n",               // no host
        "talirvpn record 2 2\n" + body + "route 203.0.113.05 255.255.255.255 192.0.2.1 4 y 5 6\nend\n",
        "talirvpn recorder 2 2\nend\n"};
    for (const std::string& refusedText : refused) {
        EXPECT_EQ(talir::ParseRecord(refusedText).state, talir::RecordState::Unreadable) << refusedText;
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
// into an adapter that is gone (the TUN, index 9). Without a TUN, its next
// hop is a gateway like any other.
TEST(DoctorRoutes, TunnelRouteIntoARemovedAdapterIsAProblemWithItsRemoval) {
    struct {
        MIB_IPFORWARDTABLE head;
        MIB_IPFORWARDROW more[2];
    } table{{3, {Row("0.0.0.0", "0.0.0.0", "172.17.0.1", 9, 50)}},
            {Row("0.0.0.0", "0.0.0.0", "192.0.2.1", 4, 25), Row("203.0.113.5", "255.255.255.255", "192.0.2.1", 4, 25)}};
    const talir::doctor::Check check = talir::doctor::JudgeRoutes(table.head, {{1, "lo"}, {4, "uplink"}}, std::nullopt, false);
    EXPECT_EQ(check.status, talir::doctor::Status::Problem);
    EXPECT_EQ(check.facts, (std::vector<std::string>{
                               "default via 172.17.0.1 if 9 metric 50: into an interface that no longer exists",
                               "default via 192.0.2.1 if 4 metric 25: chosen", "ping routes: 203.0.113.5"}));
    EXPECT_EQ(check.action, "route delete 0.0.0.0 mask 0.0.0.0 172.17.0.1 if 9");
}

// Windows lists the route into the tunnel on-link, next hop 0.0.0.0 on the
// TUN's interface (Wine shows the TUN's own address there): it goes into
// the tunnel, and it is the route the record names.
TEST(DoctorRoutes, OnLinkRouteThroughTheTunGoesIntoTheTunnel) {
    struct {
        MIB_IPFORWARDTABLE head;
        MIB_IPFORWARDROW more[1];
    } table{{2, {Row("0.0.0.0", "0.0.0.0", "0.0.0.0", 9, 1)}}, {Row("0.0.0.0", "0.0.0.0", "192.0.2.1", 4, 25)}};
    const talir::doctor::Check check =
        talir::doctor::JudgeRoutes(table.head, {{4, "uplink"}, {9, "tun"}}, 9ul, false);
    EXPECT_EQ(check.facts, (std::vector<std::string>{"default via 0.0.0.0 if 9 metric 1: into the tunnel while no core runs",
                                                     "default via 192.0.2.1 if 4 metric 25: chosen", "no ping routes"}));
    EXPECT_EQ(check.action, "route delete 0.0.0.0 mask 0.0.0.0 0.0.0.0 if 9");
    const talir::RecordedRoute redirect{"0.0.0.0", "0.0.0.0", "172.17.0.1", 9};
    EXPECT_TRUE(talir::RowIsRoute(table.head.table[0], redirect));
    EXPECT_FALSE(talir::RowIsRoute(table.more[0], redirect));
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
// the uplink "Ethernet" 4; a prefix route is never a default. Windows adds
// the interface's metric to the route's.
TEST(DoctorIpv6, TheLowestDefaultMustGoIntoTheTunWhileACoreRuns) {
    const MIB_IPFORWARD_ROW2 prefix = Row6("2001:db8::", 64, "::", 4, 1), uplink = Row6("::", 0, "fe80::1", 4, 256),
                             tunnel = Row6("::", 0, "::", 9, 5), cheapUplink = Row6("::", 0, "fe80::1", 4, 1),
                             low = Row6("::", 1, "::", 9, 5), high = Row6("8000::", 1, "::", 9, 5),
                             highElsewhere = Row6("8000::", 1, "fe80::1", 4, 5);
    const std::string around =
        "turn IPv6 off on that adapter: Disable-NetAdapterBinding -Name \"Ethernet\" -ComponentID ms_tcpip6 "
        "(PowerShell, as administrator); or let the core carry IPv6";
    const talir::doctor::Status ok = talir::doctor::Status::Ok, problem = talir::doctor::Status::Problem;
    const std::string into = "IPv6 goes into the tunnel", leaves = "IPv6 leaves through Ethernet, around the tunnel";
    const struct {
        std::vector<MIB_IPFORWARD_ROW2> rows;
        std::map<unsigned long, unsigned long> interfaceMetrics;
        bool coreRuns;
        talir::doctor::Status status;
        std::string lastFact;
    } cases[] = {
        {{prefix}, {}, true, ok, "no IPv6 default route"},
        {{prefix, tunnel}, {}, true, ok, into},
        {{uplink}, {}, false, ok, "no core runs"},
        {{prefix, uplink}, {}, true, problem, leaves},
        {{uplink, tunnel}, {{4, 1}, {9, 300}}, true, problem, leaves},
        {{tunnel, cheapUplink}, {}, true, problem, leaves},
        {{tunnel, cheapUplink}, {{4, 50}, {9, 1}}, true, ok, into},
        {{cheapUplink, low, high}, {}, true, ok, into},
        {{low, high}, {}, true, ok, into},
        {{cheapUplink, low, highElsewhere}, {}, true, problem, leaves},
    };
    for (const auto& c : cases) {
        std::vector<char> bytes(sizeof(MIB_IPFORWARD_TABLE2) + c.rows.size() * sizeof(MIB_IPFORWARD_ROW2));
        auto& table = *reinterpret_cast<MIB_IPFORWARD_TABLE2*>(bytes.data());
        table.NumEntries = static_cast<ULONG>(c.rows.size());
        std::copy(c.rows.begin(), c.rows.end(), table.Table);
        const talir::doctor::Check check =
            talir::doctor::JudgeIpv6(table, {{4, "Ethernet"}}, c.interfaceMetrics, 9ul, c.coreRuns);
        SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.lastFact);
        EXPECT_EQ(check.status, c.status);
        EXPECT_EQ(check.facts.back(), c.lastFact);
        EXPECT_EQ(check.action, c.status == problem ? around : "");
    }
}

// Every open that the doctor's checks make, with the access it asks for;
// its code is linked into this program, so its imports are this program's.
std::vector<std::pair<std::string, DWORD>> opened;
decltype(&RegOpenKeyExA) openKeyA;
decltype(&RegOpenKeyExW) openKeyW;
decltype(&OpenProcess) openProcess;
decltype(&CreateFileW) createFile;
decltype(&GetFileAttributesW) fileAttributes;
LSTATUS WINAPI OpenKeyA(HKEY key, LPCSTR name, DWORD options, REGSAM access, PHKEY out) {
    return opened.emplace_back("key", access), openKeyA(key, name, options, access, out);
}
LSTATUS WINAPI OpenKeyW(HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY out) {
    return opened.emplace_back("key", access), openKeyW(key, name, options, access, out);
}
LSTATUS WINAPI CreateKey(HKEY, const void*, DWORD, void*, DWORD, REGSAM access, void*, PHKEY, LPDWORD) {
    return opened.emplace_back("key", access | KEY_CREATE_SUB_KEY), ERROR_ACCESS_DENIED;
}
// A process of another user, as an unelevated doctor sees it.
bool refuseProcesses = false;
HANDLE WINAPI OpenProcessRecorded(DWORD access, BOOL inherit, DWORD id) {
    opened.emplace_back("process", access);
    return refuseProcesses ? (SetLastError(ERROR_ACCESS_DENIED), nullptr) : openProcess(access, inherit, id);
}
HANDLE WINAPI CreateFileRecorded(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model) {
    opened.emplace_back("file", disposition == OPEN_EXISTING ? access : access | GENERIC_WRITE);
    return createFile(path, access, share, security, disposition, flags, model);
}
// A program in another user's folder: its path cannot be read.
DWORD WINAPI FileAttributes(LPCWSTR path) {
    return std::wcsstr(path, L"\\denied\\") ? (SetLastError(ERROR_ACCESS_DENIED), INVALID_FILE_ATTRIBUTES)
                                             : fileAttributes(path);
}


// A core that runs, a rule whose program cannot be read, two rules of one
// name of which one is broken: without --fix nothing is opened for writing
// and no rule is touched; a rule that may be valid is never to be removed,
// even beside a broken one of its name; a core that cannot be told apart
// leaves it unknown whether the core runs.
class DoctorChecks : public talir_test::WorkFolder {};
TEST_F(DoctorChecks, OnlyReadAndNeverCondemnWhatMayBeValid) {
    talir_test::CopyStandin("lib_win\\sing-box.exe");
    DWORD coreId = 0;
    const talir_test::Handle core = talir_test::Start("lib_win\\sing-box.exe", &coreId);
    ASSERT_EQ(talir_test::AwaitLines("lib_win\\sing-box.started", 1).size(), 1u);
    talir_test::FirewallStandin firewall;
    ASSERT_NO_FATAL_FAILURE(firewall.Install());
    talir_test::WriteFileBytes("firewall.rules", "TalirSingBox\t" + folder_ + "lib_win\\sing-box.exe\t256\t1\t1\t-1\n"
                                                 "TalirSingBox\t" + folder_ + "gone\\sing-box.exe\t256\t1\t1\t-1\n"
                                                 "TalirXray\t" + folder_ + "denied\\xray.exe\t256\t1\t1\t-1\n");
    const std::pair<const char*, void*> hooks[] = {
        {"RegOpenKeyExA", reinterpret_cast<void*>(OpenKeyA)}, {"RegOpenKeyExW", reinterpret_cast<void*>(OpenKeyW)},
        {"RegCreateKeyExA", reinterpret_cast<void*>(CreateKey)},
        {"RegCreateKeyExW", reinterpret_cast<void*>(CreateKey)},
        {"OpenProcess", reinterpret_cast<void*>(OpenProcessRecorded)},
        {"CreateFileW", reinterpret_cast<void*>(CreateFileRecorded)},
        {"GetFileAttributesW", reinterpret_cast<void*>(FileAttributes)}};
    void* originals[std::size(hooks)] = {};
    const HMODULE self = GetModuleHandleA(nullptr);
    for (size_t i = 0; i < std::size(hooks); ++i) {
        originals[i] = talir_test::PatchImport(self, hooks[i].first, hooks[i].second);
    }
    openKeyA = reinterpret_cast<decltype(openKeyA)>(originals[0]);
    openKeyW = reinterpret_cast<decltype(openKeyW)>(originals[1]);
    openProcess = reinterpret_cast<decltype(openProcess)>(originals[4]);
    createFile = reinterpret_cast<decltype(createFile)>(originals[5]);
    fileAttributes = reinterpret_cast<decltype(fileAttributes)>(originals[6]);
    const talir::doctor::ClientFolder client = talir::doctor::EnterClientFolder(nullptr);
    const std::vector<talir::doctor::Check> checks = talir::doctor::RunChecks(client);
    // A sing-box.exe that cannot be told apart from the core may be it.
    refuseProcesses = true;
    std::optional<bool> coreRuns;
    const talir::doctor::Check unsure = talir::doctor::CheckCore(client, coreRuns);
    for (size_t i = 0; i < std::size(hooks); ++i) {
        if (originals[i]) talir_test::PatchImport(self, hooks[i].first, originals[i]);
    }
    TerminateProcess(core.value, 0);

    const std::map<std::string, DWORD> readOnly = {
        {"key", KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY},
        {"process", PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE},
        {"file", GENERIC_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE}};
    std::set<std::string> kinds;
    for (const auto& [kind, access] : opened) {
        EXPECT_EQ(access & ~readOnly.at(kind), 0u) << kind << " opened with access 0x" << std::hex << access;
        kinds.insert(kind);
    }
    EXPECT_EQ(kinds.size(), 3u) << "not every kind of open was seen";
    const std::wstring calls = firewall.Calls();
    for (const wchar_t* write : {L"Add(", L"Remove(", L"put_"}) EXPECT_EQ(calls.find(write), std::wstring::npos);
    EXPECT_FALSE(coreRuns.has_value());
    EXPECT_EQ(unsure.status, talir::doctor::Status::Note);
    std::map<std::string, talir::doctor::Check> byName;
    for (const talir::doctor::Check& check : checks) byName.emplace(check.name, check);
    EXPECT_EQ(byName.at("core").facts.front(), "process " + std::to_string(coreId) + " runs lib_win\\sing-box.exe");
    EXPECT_EQ(byName.at("firewall_singbox").facts.back(), folder_ + "gone\\sing-box.exe is missing");
    EXPECT_EQ(byName.at("firewall_singbox").ruleToRemove, nullptr);
    std::string denied = talir_test::SystemText(ERROR_ACCESS_DENIED);
    denied.erase(denied.find_last_not_of("\r\n ") + 1);
    EXPECT_EQ(byName.at("firewall_xray").facts.back(), folder_ + "denied\\xray.exe: cannot check: " + denied);
    EXPECT_EQ(byName.at("firewall_xray").status, talir::doctor::Status::Note);
}

}  // namespace

namespace {

// The dns check's verdict on made-up adapter tables: a TUN (if 17) with its
// server, a home Wi-Fi (if 12) whose router answers DNS.
TEST(DoctorDns, JudgesLeaksOnMadeUpTables) {
    using talir::doctor::DnsAdapter;
    using talir::doctor::DnsFacts;
    using talir::doctor::Status;
    const DnsAdapter tun{17, "sing-tun", 5, {"172.19.0.2"}}, bareTun{17, "sing-tun", 5, {}},
        lan{12, "Wi-Fi", 25, {"192.168.1.1", "fec0:0:0:ffff::1"}},
        lan6{12, "Wi-Fi", 25, {"fec0:0:0:ffff::1", "fec0:0:0:ffff::2", "2001:db8::53"}},
        placeholders{12, "Wi-Fi", 25, {"fec0:0:0:ffff::1", "fec0:0:0:ffff::2", "fec0:0:0:ffff::3"}};
    const struct {
        const char* scene;
        DnsFacts facts;
        Status status;
        const char* said;  // in a fact or the action
    } cases[] = {
        {"a leaking home LAN", {{tun, lan}, 17, true, 2, {}, false, ""}, Status::Problem,
         "DNS queries can leave outside the tunnel: 192.168.1.1 via Wi-Fi"},
        {"... whose mend is the guard", {{tun, lan}, 17, true, 2, {}, false, ""}, Status::Problem,
         "the host's StartLeakGuard"},
        {"a guarded tunnel", {{tun, lan}, 17, true, 2, {}, true, ""}, Status::Ok, "leak guard on"},
        {"not connected", {{tun, lan}, 17, false, 2, {}, false, ""}, Status::Ok, "the resolver prefers sing-tun"},
        {"a guard that cannot be read", {{tun, lan}, 17, true, 2, {}, std::nullopt, "1764"}, Status::Note,
         "leak guard: cannot check: 1764"},
        {"a TUN without DNS, guarded", {{bareTun, lan}, 17, true, 2, {}, true, ""}, Status::Problem,
         "names will not resolve"},
        {"IPv6 DNS outside", {{tun, lan6}, 17, true, 2, {}, false, ""}, Status::Problem,
         "outside the tunnel: 2001:db8::53 via Wi-Fi"},
        {"only the placeholders", {{tun, placeholders}, 17, true, 2, {}, false, ""}, Status::Ok,
         "Wi-Fi if 12 metric 25: no DNS server"},
        {"Dnscache disabled", {{tun}, 17, true, 4, {}, true, ""}, Status::Problem, "Dnscache disabled"},
        {"a . rule outside", {{tun}, 17, true, 2, {{"{r1}", {"192.168.1.1"}}}, true, ""}, Status::Problem,
         "the rule {r1} sends every name outside the tunnel"},
        {"a . rule into the tunnel", {{tun}, 17, true, 2, {{"{r2}", {"172.19.0.2"}}}, true, ""}, Status::Ok,
         "name resolution rule {r2} sends every name to 172.19.0.2"},
    };
    for (const auto& c : cases) {
        const talir::doctor::Check check = talir::doctor::JudgeDns(c.facts);
        std::string said = check.action;
        for (const std::string& fact : check.facts) said += "; " + fact;
        EXPECT_EQ(check.status, c.status) << c.scene << ": " << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.scene << ": " << said;
    }
    // While the guard is on, IPv6 around the tunnel is blocked there.
    talir::doctor::Check ipv6("ipv6");
    talir::doctor::Flag(ipv6, Status::Problem, "turn IPv6 off");
    talir::doctor::GuardIpv6(ipv6);
    EXPECT_EQ(ipv6.status, Status::Ok);
    EXPECT_EQ(ipv6.facts.back(), "blocked outside the tunnel");
}

}  // namespace
