#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How the simulated monitoring software answers each line it receives.
namespace monsim {

enum class AnswerMode {
    Ack,      // 0x06 after the answer delay
    Nak,      // 0x15 to the first N transmissions of a line in flight, then 0x06
    Silent,   // never answers
    Garbage,  // one byte that is neither ACK nor NAK (0x3F unless chosen)
    Late,     // 0x06 after a long delay, so the receiver repeats the line meanwhile
};

struct Behaviour {
    AnswerMode mode = AnswerMode::Ack;
    int nakCount = 0;                 // N of nak:N
    int delayMs = 0;                  // wait before every answer
    std::uint8_t garbageByte = 0x3F;  // byte of garbage[:0xNN]
};

// Parses "ack", "nak:N", "silent", "garbage", "garbage:0xNN" or "late:MS".
// `ackDelayMs` is the wait before an answer for every mode but late, which
// brings its own. Returns nothing for an unknown or ill-formed text.
std::optional<Behaviour> ParseBehaviour(std::string_view text, int ackDelayMs);

struct Answer {
    bool send = false;
    std::uint8_t byte = 0;
    int delayMs = 0;
};

// "ACK", "NAK", "no answer" or the byte as "0x3F".
std::string AnswerName(const Answer& answer);

// Decides the answer to each received line. For nak:N it counts the NAKs
// given to the line in flight: a different text, or the ACK that finally
// goes out, starts the count again, so a real alarm that repeats later is
// refused N times like the first one.
class Responder {
public:
    explicit Responder(const Behaviour& behaviour) : behaviour_(behaviour) {}

    Answer Decide(const std::string& line);

private:
    Behaviour behaviour_;
    std::string nakLine_;
    int naksGiven_ = 0;
};

}  // namespace monsim
