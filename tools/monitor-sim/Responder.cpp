#include "tools/monitor-sim/Responder.h"

#include <charconv>
#include <cstdio>

#include "tools/monitor-sim/LineCheck.h"

namespace monsim {

namespace {

// A whole non-negative decimal (or 0x-prefixed hexadecimal) number, nothing after it.
std::optional<long> ParseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return std::nullopt;
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr != end || value < 0)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<Behaviour> ParseBehaviour(std::string_view text, int ackDelayMs) {
    if (ackDelayMs < 0)
        return std::nullopt;
    Behaviour b;
    b.delayMs = ackDelayMs;
    const auto colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    const bool hasArg = colon != std::string_view::npos;
    const std::optional<long> parsed =
        hasArg ? ParseNumber(text.substr(colon + 1)) : std::optional<long>();
    if (hasArg && !parsed)
        return std::nullopt;
    // 0 when there is no argument; each mode below checks hasArg itself.
    const long arg = parsed.value_or(0);

    if (name == "ack" && !hasArg) {
        b.mode = AnswerMode::Ack;
    } else if (name == "silent" && !hasArg) {
        b.mode = AnswerMode::Silent;
    } else if (name == "nak" && hasArg && arg <= 1000000) {
        b.mode = AnswerMode::Nak;
        b.nakCount = static_cast<int>(arg);
    } else if (name == "garbage") {
        b.mode = AnswerMode::Garbage;
        if (hasArg) {
            if (arg > 0xFF)
                return std::nullopt;
            b.garbageByte = static_cast<std::uint8_t>(arg);
        }
    } else if (name == "late" && hasArg && arg <= 24L * 3600 * 1000) {
        b.mode = AnswerMode::Late;
        b.delayMs = static_cast<int>(arg);
    } else {
        return std::nullopt;
    }
    return b;
}

std::string AnswerName(const Answer& answer) {
    if (!answer.send)
        return "no answer";
    if (answer.byte == kAck)
        return "ACK";
    if (answer.byte == kNak)
        return "NAK";
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", answer.byte);
    return text;
}

Answer Responder::Decide(const std::string& line) {
    Answer a;
    a.delayMs = behaviour_.delayMs;
    switch (behaviour_.mode) {
        case AnswerMode::Silent:
            a.delayMs = 0;
            return a;
        case AnswerMode::Garbage:
            a.send = true;
            a.byte = behaviour_.garbageByte;
            return a;
        case AnswerMode::Nak:
            if (line != nakLine_) {
                nakLine_ = line;
                naksGiven_ = 0;
            }
            a.send = true;
            if (naksGiven_ < behaviour_.nakCount) {
                ++naksGiven_;
                a.byte = kNak;
            } else {
                naksGiven_ = 0;
                nakLine_.clear();
                a.byte = kAck;
            }
            return a;
        case AnswerMode::Ack:
        case AnswerMode::Late:
            break;
    }
    a.send = true;
    a.byte = kAck;
    return a;
}

}  // namespace monsim
