// Routing: GetSingInterface, RedirectToTun, CreatePingRoute, DeletePingRoute,
// against real adapters and routes that net.sh builds in the run's private
// network namespace, with the route stand-in applying what it is told.
#include "talirvpn.h"
#include "test_support.h"

#include "../standins/routing/net_run.h"

#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace talir_test;

namespace {

using Lines = std::vector<std::string>;

const char kNotFound[] = "Error: sing interface not found.";
const char kNotAdded[] = "Error: the default route into the tunnel was not added.";
const char kLookup[] = "Start getting default gateway / interface.";
const char kRan[] = "Success execute command.";

const std::string kNoRoute = "Execute command error: " + SystemText(ERROR_FILE_NOT_FOUND);

std::string Redirect(const std::string& index) { return "route add 0.0.0.0 mask 0.0.0.0 172.17.0.1 if " + index; }

std::string Ping(const std::string& verb, const std::string& address, const std::string& gateway,
                 const std::string& index) {
    return "route " + verb + " " + address + " mask 255.255.255.255 " + gateway + " if " + index;
}

// An interface as net.sh made it.
struct Link {
    std::string index, gateway, metric;
};

class RoutingTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        const std::string answer = talir_net::RunNet("reset");
        if (answer.find("status refused") != std::string::npos) {
            GTEST_SKIP() << "not in a private network namespace: run under unshare --net";
        }
        ASSERT_NE(answer.find("status 0\n"), std::string::npos) << "net.sh reset: " << answer;
    }

    // Runs net.sh steps; adds what they made to links_.
    void Net(const std::string& steps) {
        const std::string answer = talir_net::RunNet(steps);
        ASSERT_NE(answer.find("status 0\n"), std::string::npos) << "net.sh " << steps << ": " << answer;
        std::istringstream lines(answer);
        for (std::string name, rest; lines >> name && std::getline(lines, rest);) {
            Link& link = links_[name];
            std::istringstream(rest) >> link.index >> link.gateway >> link.metric;
        }
    }

    static void InstallRoute() { CopyStandin("route.exe", "route.exe"); }

    static Lines RouteCalls() {
        std::istringstream text(ReadFileBytes("route.calls"));
        Lines calls;
        for (std::string line; std::getline(text, line);) calls.push_back(line);
        return calls;
    }

    std::map<std::string, Link> links_;
};

// GetSingInterface over the adapters that each topology leaves.

struct TunCase {
    const char* name;
    const char* steps;
    const char* found;  // the interface whose index is the answer; null: none
};

const TunCase kTunCases[] = {
    {"OneTun", "tun tun0 172.17.0.1 uplink v0 192.0.2.1 10", "tun0"},
    // Wine lists adapters by interface index: tunb, made first, comes first
    // although its name sorts last.
    {"TwoTunsFirstInListWins", "tun tunb 172.17.0.1 tun tuna 172.17.0.1", "tunb"},
    {"OnlyAnAddressThatStartsAlike", "tun tun0 172.17.0.10 uplink v0 192.0.2.1 10", nullptr},
    {"NoTun", "uplink v0 192.0.2.1 10", nullptr},
};

void PrintTo(const TunCase& c, std::ostream* out) { *out << c.name; }

class SingInterface : public RoutingTest, public ::testing::WithParamInterface<TunCase> {};

TEST_P(SingInterface, AnswersWithTheIndexOfTheTunOrNotFound) {
    Net(GetParam().steps);
    const std::string expected = GetParam().found ? links_[GetParam().found].index : kNotFound;
    ASSERT_FALSE(expected.empty());
    char* result = GetSingInterface();
    EXPECT_STREQ(result, expected.c_str());
    FreeString(result);
    EXPECT_EQ(LogMessages(),
              (Lines{"Getting sing tun", GetParam().found ? "Success getting TalirVPN tun: " + expected : kNotFound}));
}

INSTANTIATE_TEST_SUITE_P(Topologies, SingInterface, ::testing::ValuesIn(kTunCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RoutingTest, TunComingUpBetweenTwoCallsIsFoundByTheSecond) {
    char* before = GetSingInterface();
    EXPECT_STREQ(before, kNotFound);
    FreeString(before);
    Net("tun tun0 172.17.0.1");
    char* after = GetSingInterface();
    EXPECT_EQ(after, links_["tun0"].index);
    FreeString(after);
    EXPECT_EQ(LogMessages(), (Lines{"Getting sing tun", kNotFound, "Getting sing tun",
                                    "Success getting TalirVPN tun: " + links_["tun0"].index}));
}

// RedirectToTun: the forwarding table decides, whatever route says.

struct RedirectCase {
    const char* name;
    bool installed;       // route.exe is there to be found
    const char* refuse;   // ROUTE_STANDIN_REFUSE: the stand-in changes nothing
    const char* exitCode; // ROUTE_STANDIN_EXIT
    const char* ranLine;  // what ExecuteCommand logs; null: the missing-program text
    const char* outcome;  // null: the missing-program text
};

const RedirectCase kRedirectCases[] = {
    {"Applied", true, nullptr, nullptr, kRan, "success"},
    {"AppliedButExitCodeNonZero", true, nullptr, "4294967295",
     "Execute command error: the command exited with code 4294967295", "success"},
    {"RefusedWithExitCodeZero", true, "1", nullptr, kRan, kNotAdded},
    {"RefusedWithExitCode", true, "1", "2", "Execute command error: the command exited with code 2", kNotAdded},
    {"RouteMissing", false, nullptr, nullptr, nullptr, nullptr},
};

void PrintTo(const RedirectCase& c, std::ostream* out) { *out << c.name; }

class RedirectOutcome : public RoutingTest, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(RedirectOutcome, IsLoggedAndReturned) {
    const RedirectCase& c = GetParam();
    Net("tun tun0 172.17.0.1 uplink v0 192.0.2.1 10");
    const std::string index = links_["tun0"].index;
    if (c.installed) InstallRoute();
    SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", c.refuse);
    SetEnvironmentVariableA("ROUTE_STANDIN_EXIT", c.exitCode);
    const std::string ranLine = c.ranLine ? c.ranLine : kNoRoute;
    const std::string outcome = c.outcome ? c.outcome : kNoRoute;

    char* result = RedirectToTun(index.c_str());
    EXPECT_STREQ(result, outcome.c_str());
    FreeString(result);
    EXPECT_EQ(LogMessages(), (Lines{"Creating redirect route.", ranLine, "Execute command result: " + outcome}));
    EXPECT_EQ(RouteCalls(), c.installed ? Lines{Redirect(index)} : Lines{});
}

INSTANTIATE_TEST_SUITE_P(Route, RedirectOutcome, ::testing::ValuesIn(kRedirectCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RoutingTest, RepeatedRedirectFindsTheRouteAndAnswersWithAFreshString) {
    Net("tun tun0 172.17.0.1 uplink v0 192.0.2.1 10");
    const std::string index = links_["tun0"].index;
    InstallRoute();
    char* first = RedirectToTun(index.c_str());
    char* second = RedirectToTun(index.c_str());  // Linux refuses the duplicate; the route is there
    EXPECT_STREQ(first, "success");
    EXPECT_STREQ(second, "success");
    EXPECT_NE(first, second);
    FreeString(first);
    FreeString(second);
    EXPECT_EQ(RouteCalls(), (Lines{Redirect(index), Redirect(index)}));
}

TEST_F(RoutingTest, RejectedArgumentsRunNothing) {
    Net("tun tun0 172.17.0.1 uplink v0 192.0.2.1 10");
    InstallRoute();
    const std::string digits(10 * 1024, '7');
    const char* const rejected[] = {"-f",         "1.2.3.4 mask 0.0.0.0", "01.2.3.4", "1.2.3",     "",
                                    nullptr,      digits.c_str(),         "4294967296", "+7",      " 7",
                                    "1.2.3.256", "203.0.113.5 "};
    Lines log;
    for (const char* text : rejected) {
        SCOPED_TRACE(text ? std::string(text).substr(0, 40) : "null");
        char* redirect = RedirectToTun(text);
        EXPECT_STREQ(redirect, "Error: invalid interface index.");
        FreeString(redirect);
        EXPECT_STREQ(CreatePingRoute(text), "Error: couldn't create a ping route");
        EXPECT_STREQ(DeletePingRoute(text), "Error: couldn't delete a ping route");
        log.insert(log.end(), {"Creating redirect route.", "Error: invalid interface index.",
                               "Error: invalid ping route address.", "Start deleting route for ping.",
                               "Error: invalid ping route address."});
    }
    EXPECT_EQ(LogMessages(), log) << "no command and no gateway lookup";
    EXPECT_FALSE(FileExists("route.calls"));

    // The largest index still passes; no interface has it.
    char* largest = RedirectToTun("4294967295");
    EXPECT_STREQ(largest, kNotAdded);
    FreeString(largest);
    EXPECT_EQ(RouteCalls(), Lines{Redirect("4294967295")});
}

// Ping routes.

TEST_F(RoutingTest, PingRoutesKeepTheFoundGatewayWhileItHolds) {
    Net("tun tun0 172.17.0.1 uplink-listed-first v1 192.0.2.129 300 uplink v0 192.0.2.1 20");
    const Link v0 = links_["v0"];
    InstallRoute();
    char* redirected = RedirectToTun(links_["tun0"].index.c_str());
    ASSERT_STREQ(redirected, "success");
    FreeString(redirected);

    const char* first = CreatePingRoute("203.0.113.5");
    Net("uplink v2 192.0.2.65 5");  // better, but the found gateway is kept
    const char* second = CreatePingRoute("203.0.113.6");
    EXPECT_STREQ(first, "success");
    EXPECT_EQ(first, second);
    const char* removed = DeletePingRoute("203.0.113.5");
    EXPECT_STREQ(removed, "success");
    EXPECT_EQ(DeletePingRoute("203.0.113.6"), removed);

    EXPECT_EQ(RouteCalls(), (Lines{Redirect(links_["tun0"].index),
                                   Ping("add", "203.0.113.5", v0.gateway, v0.index),
                                   Ping("add", "203.0.113.6", v0.gateway, v0.index),
                                   Ping("delete", "203.0.113.5", v0.gateway, v0.index),
                                   Ping("delete", "203.0.113.6", v0.gateway, v0.index)}));
    EXPECT_EQ(LogMessages(), (Lines{"Creating redirect route.", kRan, "Execute command result: success", kLookup, kRan,
                                    kRan, "Start deleting route for ping.", kRan, "Start deleting route for ping.",
                                    kRan}));
}

// The gateway of a ping route: the default route with the lowest metric that
// leads past the tunnel, once the tunnel's own default route is in place.
struct GatewayCase {
    const char* name;
    const char* steps;
    const char* chosen;
};

const GatewayCase kGatewayCases[] = {
    // The kernel lists v1's route first, whatever its metric.
    {"LowestMetricNotFirstListed",
     "tun tun0 172.17.0.1 uplink-listed-first v1 192.0.2.129 300 uplink v0 192.0.2.1 20", "v0"},
    // As Windows lists an on-link route (a modem, a second VPN): next hop
    // 0.0.0.0, nowhere to send to.
    {"OnLinkDefaultIsSkipped", "tun tun0 172.17.0.1 uplink v0 192.0.2.1 20 tun wt - default wt - 2", "v0"},
    // A gateway on the tunnel's own interface leads back into it.
    {"TunInterfaceIsSkipped", "tun tun0 172.17.0.1 uplink v0 192.0.2.1 20 default tun0 172.17.0.2 3", "v0"},
};

void PrintTo(const GatewayCase& c, std::ostream* out) { *out << c.name; }

class PingGateway : public RoutingTest, public ::testing::WithParamInterface<GatewayCase> {};

TEST_P(PingGateway, IsTheLowestMetricRoutePastTheTunnel) {
    Net(GetParam().steps);
    const Link tun = links_["tun0"], chosen = links_[GetParam().chosen];
    InstallRoute();
    char* redirected = RedirectToTun(tun.index.c_str());
    ASSERT_STREQ(redirected, "success");
    FreeString(redirected);
    EXPECT_STREQ(CreatePingRoute("203.0.113.5"), "success");
    EXPECT_EQ(RouteCalls(), (Lines{Redirect(tun.index), Ping("add", "203.0.113.5", chosen.gateway, chosen.index)}));
}

INSTANTIATE_TEST_SUITE_P(Topologies, PingGateway, ::testing::ValuesIn(kGatewayCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RoutingTest, PingRoutesFollowTheMachineToAnotherNetwork) {
    Net("tun tun0 172.17.0.1 uplink v0 192.0.2.1 20");
    const Link v0 = links_["v0"];
    InstallRoute();
    EXPECT_STREQ(CreatePingRoute("203.0.113.5"), "success");
    Net("drop v0 uplink v1 198.18.0.1 20");
    const Link v1 = links_["v1"];
    EXPECT_STREQ(CreatePingRoute("203.0.113.6"), "success");
    EXPECT_STREQ(DeletePingRoute("203.0.113.6"), "success");
    EXPECT_EQ(RouteCalls(), (Lines{Ping("add", "203.0.113.5", v0.gateway, v0.index),
                                   Ping("add", "203.0.113.6", v1.gateway, v1.index),
                                   Ping("delete", "203.0.113.6", v1.gateway, v1.index)}));
    EXPECT_EQ(LogMessages(), (Lines{kLookup, kRan, kLookup, kRan, "Start deleting route for ping.", kRan}));
}

TEST_F(RoutingTest, FailedGatewayLookupIsTriedAgain) {
    // Only the tunnel's own default route: no way past the tunnel.
    Net("tun tun0 172.17.0.1");
    Net("route add 0.0.0.0/0.0.0.0 172.17.0.1 " + links_["tun0"].index);
    InstallRoute();
    const char* failed = CreatePingRoute("203.0.113.5");
    EXPECT_STREQ(failed, "Error: couldn't get the default gateway / interface.");
    EXPECT_EQ(CreatePingRoute("203.0.113.5"), failed);
    EXPECT_FALSE(FileExists("route.calls"));

    Net("uplink v0 192.0.2.1 20");
    EXPECT_STREQ(CreatePingRoute("203.0.113.5"), "success");
    EXPECT_EQ(RouteCalls(), Lines{Ping("add", "203.0.113.5", "192.0.2.1", links_["v0"].index)});
    const std::string noRoute = "Error getting default gateway / interface: no default route.";
    EXPECT_EQ(LogMessages(), (Lines{kLookup, noRoute, kLookup, noRoute, kLookup, kRan}));
}

TEST_F(RoutingTest, DeleteBeforeAnyCreateRunsWithoutGatewayAndInterface) {
    Net("uplink v0 192.0.2.1 20");
    Net("route add 203.0.113.5/255.255.255.255 192.0.2.1 " + links_["v0"].index);  // left from earlier
    InstallRoute();
    EXPECT_STREQ(DeletePingRoute("203.0.113.5"), "success");
    EXPECT_EQ(RouteCalls(), Lines{"route delete 203.0.113.5 mask 255.255.255.255  if "});
    EXPECT_EQ(LogMessages(), (Lines{"Start deleting route for ping.", kRan}));
}

TEST_F(RoutingTest, PingRouteFailuresAreTheTableAndTheProgramNotTheExitCode) {
    Net("uplink v0 192.0.2.1 20");
    const Link v0 = links_["v0"];
    InstallRoute();

    SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", "1");
    const char* notAdded = CreatePingRoute("203.0.113.5");
    EXPECT_STREQ(notAdded, "Error: couldn't create a ping route");
    SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", nullptr);
    SetEnvironmentVariableA("ROUTE_STANDIN_EXIT", "3");
    EXPECT_STREQ(CreatePingRoute("203.0.113.5"), "success");
    SetEnvironmentVariableA("ROUTE_STANDIN_EXIT", nullptr);
    SetEnvironmentVariableA("ROUTE_STANDIN_REFUSE", "1");
    const char* notRemoved = DeletePingRoute("203.0.113.5");
    EXPECT_STREQ(notRemoved, "Error: couldn't delete a ping route");

    ASSERT_TRUE(DeleteFileA("route.exe"));
    EXPECT_EQ(CreatePingRoute("203.0.113.6"), notAdded);
    EXPECT_EQ(DeletePingRoute("203.0.113.5"), notRemoved);

    EXPECT_EQ(RouteCalls(), (Lines{Ping("add", "203.0.113.5", v0.gateway, v0.index),
                                   Ping("add", "203.0.113.5", v0.gateway, v0.index),
                                   Ping("delete", "203.0.113.5", v0.gateway, v0.index)}));
    EXPECT_EQ(LogMessages(),
              (Lines{kLookup, kRan, "Error: the ping route was not added.",
                     "Execute command error: the command exited with code 3",
                     "Start deleting route for ping.", kRan, "Error: the ping route was not removed.",
                     kNoRoute, "Start deleting route for ping.", kNoRoute}));
}

}  // namespace
