#include "routing/route_commands.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* text;
    bool accepted;
};

TEST(RouteArguments, InterfaceIndexIsOnlyDecimalDigitsThatFitThirtyTwoBits) {
    const std::string huge(10240, '7');
    const Case cases[] = {
        {"23", true},           {"1", true},          {"0", true},
        {"4294967295", true},   {"4294967296", false}, {"99999999999", false},
        {"00000000023", false},
        {"", false},            {nullptr, false},      {"-1", false},
        {"+1", false},          {" 23", false},        {"23 ", false},
        {"23\r\n", false},      {"0x17", false},       {"23 -p", false},
        {"-f", false},          {"1\"2", false},       {"\xB2\xB3", false},
        {huge.c_str(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talir::IsInterfaceIndex(c.text), c.accepted) << (c.text ? c.text : "(null)");
    }
}

TEST(RouteArguments, PingAddressIsCanonicalDottedIPv4) {
    const std::string huge(10240, '1');
    const Case cases[] = {
        {"203.0.113.5", true},     {"0.0.0.0", true},          {"255.255.255.255", true},
        {"1.2.3.4", true},         {"01.2.3.4", false},        {"1.2.3", false},
        {"1.2.3.4.5", false},      {"256.1.1.1", false},       {"1.2.3.4 mask 0.0.0.0", false},
        {"-f", false},             {"", false},                {nullptr, false},
        {" 1.2.3.4", false},       {"1.2.3.4\n", false},       {"::1", false},
        {"0x1.2.3.4", false},      {"1.2.3.4\"", false},       {"\xC0\xA8.1.1.1", false},
        {huge.c_str(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(talir::IsDottedIPv4(c.text), c.accepted) << (c.text ? c.text : "(null)");
    }
}

TEST(RouteCommands, CommandLinesAreExact) {
    EXPECT_EQ(talir::RedirectCommand("23"), "route add 0.0.0.0 mask 0.0.0.0 172.17.0.1 if 23");
    EXPECT_EQ(talir::PingRouteCommand("add", "203.0.113.5", "192.168.1.1", "12"),
              "route add 203.0.113.5 mask 255.255.255.255 192.168.1.1 if 12");
    EXPECT_EQ(talir::PingRouteCommand("delete", "203.0.113.5", "192.168.1.1", "12"),
              "route delete 203.0.113.5 mask 255.255.255.255 192.168.1.1 if 12");
    // Before any lookup both values are empty; the command keeps its shape.
    EXPECT_EQ(talir::PingRouteCommand("delete", "203.0.113.5", "", ""),
              "route delete 203.0.113.5 mask 255.255.255.255  if ");
}

}  // namespace
