#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "device/Codec.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Types.h"

using namespace korvan;

namespace devtest {

// "06 00 0A" -> {0x06, 0x00, 0x0A}
inline Bytes Hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<std::uint8_t>(std::strtoul(byte.c_str(), nullptr, 16)));
    return out;
}

inline Bytes WithCrc(const std::string& text) {
    return AppendCrc(Hex(text));
}

// Bytes as "06 00 0A", so a failing comparison is readable.
inline std::string Spaced(const Bytes& b) {
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i != 0)
            s += ' ';
        s += HexText(ByteSpan(&b[i], 1));
    }
    return s;
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    TDateTime dt = 0;
    EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, dt));
    return dt;
}

// The three log channels on a settable clock.
struct Logs : TestLogChannels {
    explicit Logs(FakeScheduler& s) : TestLogChannels(s, s) {}
};

}  // namespace devtest
