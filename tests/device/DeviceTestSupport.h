#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "app/Log.h"
#include "app/LogChannels.h"
#include "device/Codec.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Types.h"

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

inline TDateTime At(int y, int mo, int d, int h, int mi, int s) {
    TDateTime dt = 0;
    EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, 0}, dt));
    return dt;
}

// The three real log channels in a temporary folder, each with a memo that
// keeps its lines.
struct Logs {
    explicit Logs(const IClock& clock)
        : all(clock, nullptr, dir.Path(), &allMemo, "Log\\All msg", "", 1, nullptr, "", nullptr),
          imp(clock, nullptr, dir.Path(), &impMemo, "Log", "Imp_msg", 0, nullptr, "", &all),
          err(clock, nullptr, dir.Path(), &errMemo, "Log", "Errors", 0, nullptr, "", &all) {}

    LogChannels Channels() { return LogChannels{all, imp, err}; }

    // Memo lines without their stamp "yyyy.mm.dd hh:nn:ss - "; an empty line stays empty.
    static std::vector<std::string> Texts(const FakeMemo& memo) {
        std::vector<std::string> out;
        for (const std::string& line : memo.lines)
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        return out;
    }
    std::vector<std::string> All() const { return Texts(allMemo); }
    std::vector<std::string> Imp() const { return Texts(impMemo); }
    std::vector<std::string> Err() const { return Texts(errMemo); }
    void ClearMemos() {
        allMemo.Clear();
        impMemo.Clear();
        errMemo.Clear();
    }

    TempDir dir;
    FakeMemo allMemo;
    FakeMemo impMemo;
    FakeMemo errMemo;
    TLog all;
    TLog imp;
    TLog err;
};

}  // namespace devtest
