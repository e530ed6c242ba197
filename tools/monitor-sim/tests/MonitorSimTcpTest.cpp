#include <gtest/gtest.h>

#include "tools/monitor-sim/TcpEndpoint.h"

TEST(MonitorSimTcpTest, EndpointsOfTheTcpOptions) {
    const struct {
        const char* text;
        const char* read;  // "host port", or "" when refused
    } cases[] = {
        {"1025", "127.0.0.1 1025"},
        {"0.0.0.0:1025", "0.0.0.0 1025"},
        {"[::1]:65535", "::1 65535"},
        {"mon.example:7", "mon.example 7"},
        {"0", ""},
        {"65536", ""},
        {":1025", ""},
        {"::1:1025", ""},
        {"[::1]1025", ""},
        {"host:", ""},
        {"host:x", ""},
    };
    for (const auto& c : cases) {
        const auto e = monsim::ParseTcpEndpoint(c.text, "127.0.0.1");
        EXPECT_EQ(c.read, e ? e->host + " " + std::to_string(e->port) : "") << c.text;
    }
}
