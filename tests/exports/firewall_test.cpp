// The six firewall exports, against the stand-in firewall registered for
// NetFwPolicy2 and NetFwRule, and once against Wine's own firewall objects.
#include "talirvpn.h"
#include "test_support.h"

#include <objbase.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace talir_test;

namespace {

// The two rules differ only in name and opening lines.
struct Twin {
    const char* rule;
    const char* checkLine;
    const char* addLine;
    const char* removeLine;
    const char* (*check)();
    const char* (*add)(const char*);
    const char* (*remove)();
};
const Twin kTwins[] = {
    {"TalirSingBox", "Checking firewall rule", "Adding firewall rule", "Removing firewall rule.",
     CheckFirewallRule, AddFirewallRule, DeleteFirewallRule},
    {"TalirXray", "Checking xray firewall rule", "Adding xray firewall rule", "Removing xray firewall rule.",
     CheckXrayFirewallRule, AddXrayFirewallRule, DeleteXrayFirewallRule},
};

void PrintTo(const Twin& twin, std::ostream* out) { *out << twin.rule; }

const char kPath[] = "C:\\Program Files\\Talir VPN\\lib_win\\sing-box.exe";

// '%' stands for the twin's rule name.
template <typename Char>
std::basic_string<Char> Fill(const Char* pattern, const char* rule) {
    std::basic_string<Char> text;
    for (const Char* at = pattern; *at; ++at) {
        if (*at == '%') {
            for (const char* c = rule; *c; ++c) text += static_cast<Char>(*c);
        } else {
            text += *at;
        }
    }
    return text;
}

class FirewallTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        rulesFile_ = folder_ + "firewall.rules";
        ASSERT_NO_FATAL_FAILURE(firewall_.Install(rulesFile_));
    }

    std::wstring Calls() const { return firewall_.Calls(); }
    void Fail(const char* call, HRESULT result, DWORD lastError) const { firewall_.Fail(call, result, lastError); }
    LONG References() const { return firewall_.References(); }
    std::string Rules() const { return ReadFileBytes(rulesFile_); }

    std::string rulesFile_;
    FirewallStandin firewall_;
};

// What follows a failed COM step's prefix: the HRESULT in hex and its text,
// which for a wrapped Win32 code is that code's text.
std::string Cause(HRESULT failure, DWORD textOf) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX ", static_cast<unsigned long>(failure));
    return hex + SystemText(textOf);
}

// One row of the outcome table, run for both twins.
struct Outcome {
    const char* name;
    char operation;  // 'c'heck, 'a'dd, 'r'emove
    bool seeded;     // a rule of the twin's name is there before the call
    const char* failCall;
    HRESULT failure;
    DWORD lastError;  // left by the failing call: never what the line shows
    DWORD textOf;     // the Win32 code whose text follows the HRESULT
    const char* result;
    const char* line;  // after a failure, the HRESULT and its text follow it
    const wchar_t* calls;
    const char* rulesAfter;
};

// Present, but disabled, blocking TCP, and for another program.
const char kSeed[] = "%\tC:\\Other\\other.exe\t6\t1\t0\t0\n";
const char kAdded[] = "%\tC:\\Program Files\\Talir VPN\\lib_win\\sing-box.exe\t256\t1\t1\t-1\n";
const wchar_t kAddCalls[] =
    L"CreatePolicy()\nget_Rules()\nCreateRule()\nput_Name(%)\n"
    L"put_ApplicationName(C:\\Program Files\\Talir VPN\\lib_win\\sing-box.exe)\n"
    L"put_Protocol(256)\nput_Direction(1)\nput_Action(1)\nput_Enabled(-1)\n";

const Outcome kOutcomes[] = {
    {"CheckPresent", 'c', true, nullptr, S_OK, 0, 0, "true", "Firewall rule exist",
     L"CreatePolicy()\nget_Rules()\nItem(%)\n", kSeed},
    {"CheckAbsent", 'c', false, nullptr, S_OK, 0, 0, "false", "Firewall rule not exist",
     L"CreatePolicy()\nget_Rules()\nItem(%)\n", ""},
    // Only 0x80070002 means "absent"; its neighbour is a failed lookup.
    {"CheckLookupFailed", 'c', true, "Item", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), 5, 3, "Error find rule.",
     "Error find rule: ", L"CreatePolicy()\nget_Rules()\nItem(%)\n", kSeed},
    {"CheckNoPolicy", 'c', true, "CreatePolicy", E_ACCESSDENIED, 0, 5, "Error creating INetFwPolicy2.",
     "Error creating INetFwPolicy2: ", L"CreatePolicy()\n", kSeed},
    {"CheckNoRules", 'c', true, "get_Rules", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 5, 50, "Error getting rules.",
     "Error getting rules: ",
     L"CreatePolicy()\nget_Rules()\n", kSeed},
    {"AddDone", 'a', false, nullptr, S_OK, 0, 0, "success", "Rule added", L"@Add(%)\n", kAdded},
    {"AddNoRuleObject", 'a', false, "CreateRule", E_OUTOFMEMORY, 5, 14, "Error creating rule.",
     "Error creating rule: ", L"CreatePolicy()\nget_Rules()\nCreateRule()\n", ""},
    {"AddRefused", 'a', false, "Add", E_ACCESSDENIED, 0, 5, "Error adding rule.", "Error adding rule: ",
     L"@Add(%)\n", ""},
    {"AddNoPolicy", 'a', false, "CreatePolicy", E_ACCESSDENIED, 5, 5, "Error creating INetFwPolicy2.",
     "Error creating INetFwPolicy2: ", L"CreatePolicy()\n", ""},
    {"AddNoRules", 'a', false, "get_Rules", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0, 50, "Error getting rules.",
     "Error getting rules: ",
     L"CreatePolicy()\nget_Rules()\n", ""},
    {"RemoveDone", 'r', true, nullptr, S_OK, 0, 0, "success", "Rule removed successfully",
     L"CreatePolicy()\nget_Rules()\nRemove(%)\n", ""},
    {"RemoveAbsentReportedDone", 'r', false, nullptr, S_OK, 0, 0, "success", "Rule removed successfully",
     L"CreatePolicy()\nget_Rules()\nRemove(%)\n", ""},
    {"RemoveFailed", 'r', false, "Remove", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), 0, 2,
     "Error removing rule. Rule may not exist.", "Error removing rule: ",
     L"CreatePolicy()\nget_Rules()\nRemove(%)\n", ""},
    {"RemoveNoPolicy", 'r', true, "CreatePolicy", E_ACCESSDENIED, 5, 5, "Error creating INetFwPolicy2.",
     "Error creating INetFwPolicy2: ", L"CreatePolicy()\n", kSeed},
    {"RemoveNoRules", 'r', true, "get_Rules", HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 5, 50, "Error getting rules.",
     "Error getting rules: ",
     L"CreatePolicy()\nget_Rules()\n", kSeed},
};

void PrintTo(const Outcome& row, std::ostream* out) { *out << row.name; }

class FirewallOutcomeTest : public FirewallTest,
                            public ::testing::WithParamInterface<std::tuple<Twin, Outcome>> {};

TEST_P(FirewallOutcomeTest, ReturnsLogsAndCallsAsTheTableSays) {
    const Twin& twin = std::get<0>(GetParam());
    const Outcome& row = std::get<1>(GetParam());
    WriteFileBytes(rulesFile_, row.seeded ? Fill(kSeed, twin.rule) : "");
    if (row.failCall) Fail(row.failCall, row.failure, row.lastError);

    const char* result = nullptr;
    const char* opening = nullptr;
    switch (row.operation) {
    case 'c': result = twin.check(); opening = twin.checkLine; break;
    case 'a': result = twin.add(kPath); opening = twin.addLine; break;
    default: result = twin.remove(); opening = twin.removeLine; break;
    }

    EXPECT_STREQ(result, row.result);
    const std::string line = std::string(row.line) + (row.failCall ? Cause(row.failure, row.textOf) : "");
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{opening, line, "Cleaning firewall access"}));
    std::wstring calls = row.calls;
    if (calls[0] == L'@') calls = kAddCalls + calls.substr(1);
    EXPECT_EQ(Calls(), Fill(calls.c_str(), twin.rule));
    EXPECT_EQ(Rules(), Fill(row.rulesAfter, twin.rule));
    EXPECT_EQ(References(), 0) << "every interface released before the export returned";
}

INSTANTIATE_TEST_SUITE_P(Rows, FirewallOutcomeTest,
                         ::testing::Combine(::testing::ValuesIn(kTwins), ::testing::ValuesIn(kOutcomes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).rule) + "_" +
                                    std::get<1>(info.param).name;
                         });

TEST_F(FirewallTest, ASecondAddSubmitsASecondRule) {
    EXPECT_STREQ(AddXrayFirewallRule(kPath), "success");
    EXPECT_STREQ(AddXrayFirewallRule("C:\\xray\\xray.exe"), "success");
    EXPECT_EQ(Rules(), Fill(kAdded, "TalirXray") + "TalirXray\tC:\\xray\\xray.exe\t256\t1\t1\t-1\n");
    EXPECT_EQ(Calls().find(L"Item("), std::wstring::npos) << "an add never looks for the rule";
    EXPECT_EQ(References(), 0);
}

// An allow rule without a program would let every program receive.
TEST_F(FirewallTest, NullOrEmptyPathIsRefusedWithoutTouchingTheFirewall) {
    std::vector<std::string> expected;
    for (const Twin& twin : kTwins) {
        for (const char* path : {static_cast<const char*>(nullptr), ""}) {
            EXPECT_STREQ(twin.add(path), "Error adding rule.");
            expected.insert(expected.end(), {twin.addLine, "Error adding rule: no application path."});
        }
    }
    EXPECT_EQ(LogMessages(), expected);
    EXPECT_EQ(Calls(), L"");
    EXPECT_EQ(Rules(), "");
}

TEST_F(FirewallTest, PathIsReadAsUtf8WhenItIsUtf8ElseInTheAnsiCodePage) {
    struct PathCase {
        const char* path;
        UINT codePage;
    };
    const PathCase cases[] = {
        // 0x99 alone is no UTF-8: ANSI text from a C or C# host.
        {"C:\\Talir VPN\x99\\caf\xC3\xA9\\sing-box.exe", CP_ACP},
        // "Иван" from a Dart, Node or Rust host.
        {"C:\\Users\\\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\\lib_win\\sing-box.exe", CP_UTF8},
    };
    for (const PathCase& c : cases) {
        const auto decode = [&](UINT codePage) {
            wchar_t wide[64] = {};
            MultiByteToWideChar(codePage, 0, c.path, -1, wide, 64);
            return std::wstring(wide);
        };
        std::wstring byteByByte;
        for (const char* at = c.path; *at; ++at) byteByByte += static_cast<wchar_t>(static_cast<unsigned char>(*at));
        const std::wstring expected = decode(c.codePage);
        ASSERT_NE(decode(CP_ACP), decode(CP_UTF8)) << "each wrong reading gives another text";
        ASSERT_NE(expected, byteByByte);

        EXPECT_STREQ(AddFirewallRule(c.path), "success");
        EXPECT_NE(Calls().find(L"\nput_ApplicationName(" + expected + L")\n"), std::wstring::npos) << c.path;
    }
}

TEST_F(FirewallTest, CallingThreadKeepsItsOwnApartment) {
    EXPECT_STREQ(CheckFirewallRule(), "false");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "an apartment was left behind";
    CoUninitialize();

    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_STREQ(CheckXrayFirewallRule(), "false");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE) << "its apartment was closed";
    CoUninitialize();
    EXPECT_EQ(References(), 0);
}

TEST_F(FirewallTest, OnAMultithreadedThreadEveryExportFailsAndLeavesCom) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    std::vector<std::string> expected;
    for (const Twin& twin : kTwins) {
        const std::pair<const char*, const char*> outcomes[] = {
            {twin.check(), twin.checkLine}, {twin.add(kPath), twin.addLine}, {twin.remove(), twin.removeLine}};
        for (const auto& [result, opening] : outcomes) {
            EXPECT_STREQ(result, "Error initialize COM.");
            expected.insert(expected.end(), {opening, "Error initialize COM: 0x80010106 ", "Cleaning firewall access"});
        }
    }
    // RPC_E_CHANGED_MODE, with whatever text the system has for it.
    std::vector<std::string> log = LogMessages();
    for (size_t i = 1; i < log.size(); i += 3) {
        if (log[i].rfind(expected[i], 0) == 0 && log[i].size() > expected[i].size() + 2) log[i] = expected[i];
    }
    EXPECT_EQ(log, expected);
    EXPECT_EQ(Calls(), L"");
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE) << "the thread's COM was closed";
    CoUninitialize();
    CoUninitialize();
}

TEST_F(FirewallTest, EveryTextIsTheSameConstantOnEveryCall) {
    for (const Twin& twin : kTwins) {
        const char* check = twin.check();
        const char* add = twin.add(kPath);
        const char* remove = twin.remove();
        EXPECT_EQ(twin.check(), check);
        EXPECT_EQ(twin.add(kPath), add);
        EXPECT_EQ(twin.remove(), remove);
    }
    Fail("get_Rules", E_FAIL, 0);
    const char* failure = CheckFirewallRule();
    EXPECT_STREQ(failure, "Error getting rules.");
    EXPECT_EQ(CheckFirewallRule(), failure);
    EXPECT_EQ(References(), 0);
}

// Wine's own firewall: lookups are not implemented, adds and removes are
// taken and stored nowhere.
class FirewallOnWineTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        ASSERT_NO_FATAL_FAILURE(FirewallStandin::RegisterWineFirewall());
        for (const char* clsid : FirewallStandin::kClasses) {
            ASSERT_EQ(FirewallStandin::RegisteredServer(clsid), "C:\\windows\\system32\\hnetcfg.dll");
        }
    }
};

struct Worker {
    const char* (*work)();
    const char* result = nullptr;
};

DWORD WINAPI RunWork(void* run) {
    static_cast<Worker*>(run)->result = static_cast<Worker*>(run)->work();
    return 0;
}

TEST_F(FirewallOnWineTest, EveryExportAnswersWithoutHanging) {
    struct Case {
        const char* (*work)();
        const char* opening;
        const char* result;
        const char* line;  // the start of it
    };
    const Case cases[] = {
        {CheckFirewallRule, "Checking firewall rule", "Error find rule.", "Error find rule: "},
        {CheckXrayFirewallRule, "Checking xray firewall rule", "Error find rule.", "Error find rule: "},
        {[] { return AddFirewallRule(kPath); }, "Adding firewall rule", "success", "Rule added"},
        {[] { return AddXrayFirewallRule(kPath); }, "Adding xray firewall rule", "success", "Rule added"},
        {DeleteFirewallRule, "Removing firewall rule.", "success", "Rule removed successfully"},
        {DeleteXrayFirewallRule, "Removing xray firewall rule.", "success", "Rule removed successfully"},
    };
    for (const Case& test : cases) {
        // Its own thread, so that a hang fails the case instead of stopping it.
        auto run = std::make_unique<Worker>(Worker{test.work});
        Handle thread(CreateThread(nullptr, 0, RunWork, run.get(), 0, nullptr));
        ASSERT_NE(thread.value, nullptr);
        if (WaitForSingleObject(thread.value, 60000) != WAIT_OBJECT_0) {
            run.release();  // still the hung thread's
            FAIL() << test.opening << ": no answer within 60 s";
        }
        EXPECT_STREQ(run->result, test.result) << test.opening;
    }
    const auto log = LogMessages();
    for (size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_GE(log.size(), 3 * i + 3);
        EXPECT_EQ(log[3 * i], cases[i].opening);
        EXPECT_EQ(log[3 * i + 1].rfind(cases[i].line, 0), 0u) << log[3 * i + 1];
        EXPECT_EQ(log[3 * i + 2], "Cleaning firewall access");
    }
    EXPECT_EQ(log.size(), 3 * std::size(cases));
}

}  // namespace
