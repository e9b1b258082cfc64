// The doctor's judgement of a default route into an adapter that is gone:
// Linux takes an interface's routes with it, so no real table shows one.
#include "doctor.h"

#include <gtest/gtest.h>

#include <ws2tcpip.h>

namespace {

MIB_IPFORWARDROW Row(const char* destination, const char* mask, const char* nextHop, DWORD index, DWORD metric) {
    MIB_IPFORWARDROW row{};
    inet_pton(AF_INET, destination, &row.dwForwardDest);
    inet_pton(AF_INET, mask, &row.dwForwardMask);
    inet_pton(AF_INET, nextHop, &row.dwForwardNextHop);
    row.dwForwardIfIndex = index;
    row.dwForwardMetric1 = metric;
    return row;
}

TEST(DoctorRoutes, TunnelRouteIntoARemovedAdapterIsAProblemWithItsRemoval) {
    // The TUN (index 9) is gone; its route and a ping route stay.
    struct {
        MIB_IPFORWARDTABLE head;
        MIB_IPFORWARDROW more[2];
    } table{};
    table.head.dwNumEntries = 3;
    table.head.table[0] = Row("0.0.0.0", "0.0.0.0", "172.17.0.1", 9, 1);
    table.more[0] = Row("0.0.0.0", "0.0.0.0", "192.0.2.1", 4, 25);
    table.more[1] = Row("203.0.113.5", "255.255.255.255", "192.0.2.1", 4, 25);

    const talir::doctor::Check check = talir::doctor::JudgeRoutes(table.head, {1, 4}, std::nullopt, false);
    EXPECT_EQ(check.status, talir::doctor::Status::Problem);
    EXPECT_EQ(check.facts, (std::vector<std::string>{
                               "default via 172.17.0.1 if 9 metric 1: into an interface that no longer exists",
                               "default via 192.0.2.1 if 4 metric 25: chosen", "ping routes: 203.0.113.5"}));
    EXPECT_EQ(check.action, "route delete 0.0.0.0 mask 0.0.0.0 172.17.0.1 if 9");
}

}  // namespace
