#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvan {

// How the receiver reaches the monitoring software over TCP, as the
// "Monitoring TCP" setting gives it. Off unless the setting says otherwise.
struct MonitoringTcp {
    enum class Mode { Off, Listen, Connect };

    // The longest text the setting takes.
    static constexpr std::size_t kMaxLength = 64;
    // Where the receiver listens when the setting names no address: the
    // link is plain text, so reaching it from another machine is a choice
    // the operator makes by naming an address.
    static constexpr const char* kDefaultListenAddress = "127.0.0.1";

    Mode mode = Mode::Off;
    // Listen: the local address to listen on. Connect: the name or address
    // of the monitoring software's listener. An IPv6 address without its
    // brackets.
    std::string host;
    std::uint16_t port = 0;
    // Listen: the one peer address admitted; empty admits any.
    std::string from;

    bool operator==(const MonitoringTcp&) const = default;
    // "host:port", an IPv6 address in brackets.
    std::string Endpoint() const;
    // The setting as read: "" (off), "listen host:port[ from address]" or
    // "host:port".
    std::string Text() const;
};

// Reads the setting's text, blanks around it ignored. Empty: Off. Otherwise
// one of
//   listen PORT [from ADDRESS]
//   listen ADDRESS:PORT [from ADDRESS]
//   HOST:PORT
// where ADDRESS is an IPv4 address or an IPv6 address in brackets (after
// "from" the brackets may be left out), HOST is also a host name, PORT is
// 1..65535 and the words are separated by blanks, "listen" and "from" in any
// case. No value: the text is none of these, or longer than kMaxLength.
std::optional<MonitoringTcp> ParseMonitoringTcp(const std::string& text);

// "a:b" with an IPv6 address put in brackets.
std::string HostPortText(const std::string& host, std::uint16_t port);

}  // namespace korvan
