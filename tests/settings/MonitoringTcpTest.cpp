#include <gtest/gtest.h>

#include <string>

#include "settings/MonitoringTcp.h"

using namespace korvan;

// Every form of the setting, and what is refused: the canonical text of
// what was read, or "invalid".
TEST(MonitoringTcpTest, ParsesBothFormsAndRefusesTheRest) {
    const std::string n = "invalid";
    const struct {
        std::string text, read;
    } cases[] = {
        {"", ""},
        {"  ", ""},
        {"listen 1025", "listen 127.0.0.1:1025"},
        {"LISTEN  0.0.0.0:1025 ", "listen 0.0.0.0:1025"},
        {"listen [::]:1025 from [fe80::1]", "listen [::]:1025 from fe80::1"},
        {"listen 1025 from 10.0.0.9", "listen 127.0.0.1:1025 from 10.0.0.9"},
        {"listen 65535", "listen 127.0.0.1:65535"},
        {"mon.example.net:1025", "mon.example.net:1025"},
        {"10.1.2.3:1", "10.1.2.3:1"},
        {"[2001:db8::5]:1025", "[2001:db8::5]:1025"},
        {"listen 0", n},
        {"listen 65536", n},
        {"listen", n},
        {"listen 1025 from", n},
        {"listen 1025 to 10.0.0.1", n},
        {"listen 1025 from host.example", n},
        {"listen host.example:1025", n},
        {"listen 10.0.0.1:1025 from 10.0.0.256", n},
        {"1025", n},
        {"host.example", n},
        {"host.example:", n},
        {"host.example:+80", n},
        {"2001:db8::5:1025", n},
        {"[2001:db8::5:1025", n},
        {"[10.0.0.1]:1025", n},
        {"10.0.0.256:1025", n},
        {"-bad.example:1025", n},
        {"a_b:1025", n},
        {"host.example:1025 from 10.0.0.1", n},
        {"listen 1025 from 10.0.0.1 x", n},
        {std::string(55, 'a') + ".com:10250", n},  // 65 characters
        {std::string(54, 'a') + ".com:10250", std::string(54, 'a') + ".com:10250"},
    };
    for (const auto& c : cases) {
        const auto got = ParseMonitoringTcp(c.text);
        EXPECT_EQ(c.read, got ? got->Text() : n) << "[" << c.text << "]";
    }
}
