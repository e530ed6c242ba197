#pragma once

// What a unit sends and how it judges the receiver's answer. Pure functions on
// byte strings, built on the receiver's own codec so that both sides agree on
// every byte.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "device/Codec.h"

namespace unitsim {

using namespace korvan;

// The six frames a unit sends to the receiver.
enum class Kind { Event, SetTimeRequest, ChangeUnitNrRequest, PingImeiFwVer, Ping, GSMLevel };

// Command-line names: event, settime, changenr, pingimei, ping, gsm.
std::optional<Kind> KindFromName(std::string_view name);
const char* KindName(Kind kind);  // "Event", "SetTimeRequest", ...
std::uint8_t KindCode(Kind kind);

struct UnitFrame {
    Kind kind = Kind::Ping;
    int unitNr = 1;
    std::uint16_t frameId = 0;
    std::uint8_t encrMarker = 0;
    // Event only: the stamp as sent (year - 2000, month, day, hour, minute,
    // second), deliberately unchecked so a broken unit clock can be played.
    std::array<std::uint8_t, 6> time{26, 1, 1, 0, 0, 0};
    std::string account = "0000";
    std::string event = "1602";  // qualifier and Contact ID code
    std::string partition = "00";
    std::string zone = "000";
    std::string imei = "350000000000000";     // ChangeUnitNrRequest, PingImeiFwVer
    std::array<std::uint8_t, 3> fw{1, 0, 0};  // PingImeiFwVer
    std::uint8_t level = 20;                  // GSMLevel
};

// The complete datagram, CRC included. Text fields are fitted to their
// widths: a short text is padded on the left with '0', a long one is cut.
Bytes BuildUnitFrame(const UnitFrame& f);

// The stamp of a broken-down local time, as the unit's clock would send it.
std::array<std::uint8_t, 6> StampOf(const DateTimeParts& parts);

// The answer type the receiver must send to a frame of `sentType`: ACK,
// NewTime or NewUnitNr; 0 for a type the receiver does not accept.
std::uint8_t ExpectedAnswerType(std::uint8_t sentType);
// The length of an answer of that type: 15, 11 or 24; 0 for any other.
std::size_t AnswerLength(std::uint8_t answerType);

enum class Verdict {
    Ok,           // the expected answer, well formed
    Refused,      // a well-formed NACK
    WrongType,    // neither the expected type nor NACK
    WrongLength,  // the type's length does not match
    BadCrc,
    WrongEcho,  // the copied header (or IMEI) differs from what was sent
    BadStamp,   // the receiver's time stamp is no real date and time
    BadNumber,  // NewUnitNr assigns no number 0001..9999
};
const char* VerdictName(Verdict v);

struct AnswerCheck {
    Verdict verdict = Verdict::Ok;
    std::string detail;  // a readable reason, empty when Ok
    int newUnitNr = -1;  // NewUnitNr only: the assigned number
};

// Judges `answer` as the receiver's reply to the frame `sent`. The checks run
// in this order: type (a NACK is judged as a NACK), length, CRC, echo of the
// sent header, time stamp, assigned number.
AnswerCheck CheckAnswer(ByteSpan sent, ByteSpan answer);

// The FrameID an answer carries in bytes 2..3: every answer type echoes it,
// so it ties an answer to its frame. Nothing for fewer than 4 bytes.
std::optional<std::uint16_t> AnswerFrameId(ByteSpan answer);

// What a receiver answers to `datagram` at `now`, for the built-in responder
// that lets the simulator be tried without a receiver: NACK for a refused
// datagram, NewTime, NewUnitNr carrying `nextFreeUnitNr`, or ACK; nothing
// (empty) for an Event whose time is no real date, as the receiver does.
Bytes ResponderAnswer(ByteSpan datagram, TDateTime now, int nextFreeUnitNr);

// "23 00 00 06 ..." style, for the printed traffic.
std::string SpacedHex(ByteSpan data);

}  // namespace unitsim
