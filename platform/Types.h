#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvan {

// Raw bytes of a datagram, a serial transmission or a file record.
using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline std::string ToString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

}  // namespace korvan
