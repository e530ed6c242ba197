#include "settings/MonitoringTcp.h"

#include <arpa/inet.h>

#include <cctype>
#include <vector>

#include "base/Text.h"

namespace korvan {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ') ++i;
        if (i > start)
            out.push_back(s.substr(start, i - start));
    }
    return out;
}

bool IsIPv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool IsIPv6(const std::string& s) {
    in6_addr a{};
    return inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

// Labels of letters, digits and hyphens, 1..63 characters, no hyphen at
// either end; at least one letter somewhere, so that a mistyped IPv4
// address is not taken for a name.
bool IsHostName(const std::string& s) {
    if (s.empty() || s.size() > 253)
        return false;
    bool letter = false;
    std::size_t label = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            if (label == 0 || s[i - 1] == '-')
                return false;
            label = 0;
            continue;
        }
        const bool alpha = std::isalpha(static_cast<unsigned char>(c)) != 0;
        if (!alpha && !std::isdigit(static_cast<unsigned char>(c)) && c != '-')
            return false;
        if (c == '-' && label == 0)
            return false;
        letter = letter || alpha;
        if (++label > 63)
            return false;
    }
    return letter && label > 0 && s.back() != '-';
}

std::optional<std::uint16_t> Port(const std::string& s) {
    if (s.empty() || s.size() > 5)
        return std::nullopt;
    unsigned n = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    if (n < 1 || n > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(n);
}

// "host:port" or "[v6]:port" into its parts; the host comes without brackets.
bool SplitHostPort(const std::string& s, std::string& host, std::uint16_t& port, bool& bracketed) {
    std::size_t colon;
    bracketed = !s.empty() && s[0] == '[';
    if (bracketed) {
        const std::size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':')
            return false;
        host = s.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = s.find(':');
        if (colon == std::string::npos || s.find(':', colon + 1) != std::string::npos)
            return false;
        host = s.substr(0, colon);
    }
    const auto p = Port(s.substr(colon + 1));
    if (!p)
        return false;
    port = *p;
    return bracketed ? IsIPv6(host) : !host.empty();
}

}  // namespace

std::string HostPortText(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string MonitoringTcp::Endpoint() const {
    return HostPortText(host, port);
}

std::string MonitoringTcp::Text() const {
    switch (mode) {
        case Mode::Listen:
            return "listen " + Endpoint() + (from.empty() ? "" : " from " + from);
        case Mode::Connect:
            return Endpoint();
        case Mode::Off:
            break;
    }
    return std::string();
}

std::optional<MonitoringTcp> ParseMonitoringTcp(const std::string& text) {
    const std::string s = Trim(text);
    if (s.size() > MonitoringTcp::kMaxLength)
        return std::nullopt;
    MonitoringTcp t;
    if (s.empty())
        return t;
    const std::vector<std::string> w = Words(s);

    if (Lower(w[0]) != "listen") {
        bool bracketed = false;
        if (w.size() != 1 || !SplitHostPort(w[0], t.host, t.port, bracketed))
            return std::nullopt;
        if (!bracketed && !IsIPv4(t.host) && !IsHostName(t.host))
            return std::nullopt;
        t.mode = MonitoringTcp::Mode::Connect;
        return t;
    }

    if (w.size() != 2 && w.size() != 4)
        return std::nullopt;
    t.mode = MonitoringTcp::Mode::Listen;
    if (const auto p = Port(w[1])) {
        t.host = MonitoringTcp::kDefaultListenAddress;
        t.port = *p;
    } else {
        bool bracketed = false;
        if (!SplitHostPort(w[1], t.host, t.port, bracketed))
            return std::nullopt;
        if (!bracketed && !IsIPv4(t.host))
            return std::nullopt;
    }
    if (w.size() == 4) {
        std::string from = w[3];
        if (from.size() > 2 && from.front() == '[' && from.back() == ']')
            from = from.substr(1, from.size() - 2);
        if (Lower(w[2]) != "from" || !(IsIPv4(from) || IsIPv6(from)))
            return std::nullopt;
        t.from = from;
    }
    return t;
}

}  // namespace korvan
