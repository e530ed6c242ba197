#include <gtest/gtest.h>

#include "tools/monitor-sim/TcpEndpoint.h"

TEST(MonitorSimTcpTest, EndpointsOfTheTcpOptions) {
    const char* const cases[][2] = {
        {"1025", "127.0.0.1 1025"},
        {"[::1]:65535", "::1 65535"},
        {"mon.example:7", "mon.example 7"},
        {"0", ""},
        {":1025", ""},
        {"::1:1025", ""},
        {"[::1]1025", ""},
        {"host:x", ""},
    };
    for (const auto& c : cases) {
        const auto e = monsim::ParseTcpEndpoint(c[0], "127.0.0.1");
        EXPECT_EQ(c[1], e ? e->host + " " + std::to_string(e->port) : "") << c[0];
    }
}
