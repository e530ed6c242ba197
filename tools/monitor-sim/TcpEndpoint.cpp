#include "tools/monitor-sim/TcpEndpoint.h"

namespace monsim {

namespace {

std::optional<std::uint16_t> Port(const std::string& s) {
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long n = std::stoul(s);
    if (n < 1 || n > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(n);
}

}  // namespace

std::optional<TcpEndpoint> ParseTcpEndpoint(const std::string& text,
                                            const std::string& defaultHost) {
    TcpEndpoint e;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos || close < 2)
            return std::nullopt;
        e.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        e.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (e.host.empty() || e.host.find(':') != std::string::npos)
            return std::nullopt;
    } else {
        e.host = defaultHost;
    }
    const auto p = Port(port);
    if (!p || e.host.empty())
        return std::nullopt;
    e.port = *p;
    return e;
}

}  // namespace monsim
