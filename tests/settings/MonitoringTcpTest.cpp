#include <gtest/gtest.h>

#include <string>

#include "settings/MonitoringTcp.h"

using namespace korvan;

// Every form of the setting, as read back, and what is refused ("-").
TEST(MonitoringTcpTest, ParsesBothFormsAndRefusesTheRest) {
    const std::string longName = std::string(54, 'a') + ".com:10250";  // 64 characters
    const struct {
        std::string text, read;
    } cases[] = {
        {"  ", ""},
        {"listen 1025", "listen 127.0.0.1:1025"},
        {"LISTEN  0.0.0.0:1025 ", "listen 0.0.0.0:1025"},
        {"listen [::]:1025 from [fe80::1]", "listen [::]:1025 from fe80::1"},
        {"listen 65535 From 10.0.0.9", "listen 127.0.0.1:65535 from 10.0.0.9"},
        {"mon.example.net:1025", "mon.example.net:1025"},
        {"[2001:db8::5]:1", "[2001:db8::5]:1"},
        {longName, longName},
        {"a" + longName, "-"},
        {"listen 65536", "-"},
        {"listen 1025 to 10.0.0.1", "-"},
        {"listen 1025 from host.example", "-"},
        {"listen host.example:1025", "-"},
        {"host.example:+80", "-"},
        {"2001:db8::5:1025", "-"},
        {"-bad.example:1025", "-"},
        {"host.example:1025 from 10.0.0.1", "-"},
    };
    for (const auto& c : cases) {
        const auto got = ParseMonitoringTcp(c.text);
        EXPECT_EQ(c.read, got ? got->Text() : "-") << "[" << c.text << "]";
    }
}
