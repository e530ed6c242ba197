#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace monsim {

// A TCP address as the simulator's options give it: "PORT" (on
// `defaultHost`), "HOST:PORT" or "[IPv6]:PORT"; the port 1..65535.
struct TcpEndpoint {
    std::string host;  // without brackets
    std::uint16_t port = 0;
};

std::optional<TcpEndpoint> ParseTcpEndpoint(const std::string& text,
                                            const std::string& defaultHost);

}  // namespace monsim
