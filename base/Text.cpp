#include "base/Text.h"

#include <cstdio>

namespace korvan {

namespace {

bool IsBlankOrControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

}  // namespace

std::string PrintableText(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            c = '?';
    }
    return out;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlankOrControl(text[begin])) ++begin;
    while (end > begin && IsBlankOrControl(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string UnitNrText(int nr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.4d", nr);
    return buf;
}

bool IsFourDigitCode(const std::string& text) {
    if (text.size() != 4) {
        return false;
    }
    // An integer conversion: an optional sign, then decimal digits only.
    std::size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    const bool negative = text[0] == '-';
    int value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    if (negative) {
        value = -value;
    }
    return value >= 0 && value <= 9999;
}

std::string HexText(ByteSpan data) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(data.size() * 2);
    for (const std::uint8_t b : data) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 0x0F]);
    }
    return s;
}

}  // namespace korvan
