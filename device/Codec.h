#pragma once

// The unit protocol: byte layouts, CRC-8/MAXIM, the ordered checks of a
// received datagram and the builders of every frame the receiver sends.
// Pure functions on byte strings: no I/O, no clock (time comes in as an
// argument), and none of them fails.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "base/Text.h"
#include "platform/DateTime.h"
#include "platform/Types.h"

namespace korvan {

namespace frame {
inline constexpr std::uint8_t kAck = 0x01;
inline constexpr std::uint8_t kNack = 0x02;
inline constexpr std::uint8_t kEvent = 0x06;
inline constexpr std::uint8_t kSetTimeRequest = 0x0A;
inline constexpr std::uint8_t kNewTime = 0x0B;
inline constexpr std::uint8_t kChangeUnitNrRequest = 0x20;
inline constexpr std::uint8_t kNewUnitNr = 0x21;
inline constexpr std::uint8_t kPingImeiFwVer = 0x22;
inline constexpr std::uint8_t kPing = 0x23;
inline constexpr std::uint8_t kGetPing = 0x24;
inline constexpr std::uint8_t kGSMLevel = 0x25;     // unit's report
inline constexpr std::uint8_t kGetGSMLevel = 0x25;  // receiver's command, same code
inline constexpr std::uint8_t kClearStorage = 0x26;
inline constexpr std::uint8_t kOpenClose = 0x27;
inline constexpr std::uint8_t kResetDevice = 0x29;
inline constexpr std::uint8_t kSetTime = 0x2A;
inline constexpr std::uint8_t kChangeUnitID = 0x2B;
inline constexpr std::uint8_t kGetAutomaticTest = 0x2C;

inline constexpr int kMaxUnitNr = 9999;
inline constexpr int kBadUnitNr = 65535;  // unit digits that are not digit values
}  // namespace frame

// CRC-8/MAXIM (reflected polynomial 0x8C, init 0, no final XOR); 0 for empty.
std::uint8_t Crc8(ByteSpan data);
// False for fewer than 2 bytes; else whether the last byte is the CRC of the rest.
bool IsCrcValid(ByteSpan data);
Bytes AppendCrc(Bytes data);

// Clamps to 0..9999, then four digit values, least significant first.
std::array<std::uint8_t, 4> UnitNrToDigits(int nr);

struct UnitIdInfo {
    std::string text;  // bytes 7, 6, 5, 4 each + 0x30, as received
    int number;        // 0..9999, or frame::kBadUnitNr
};
// Reads bytes 4..7 of a frame of at least 8 bytes.
UnitIdInfo UnitIdText(ByteSpan frame);

// year - 2000 (low 8 bits), month, day, hour, minute, second of `now`.
std::array<std::uint8_t, 6> PutTimeStamp(TDateTime now);

// Exact length of an accepted unit-to-receiver frame type; 0 for any other code.
int FrameSize(std::uint8_t frameType);

// The longest frame of the protocol in either direction (an Event; a
// ChangeUnitID command is as long).
inline constexpr std::size_t kLongestFrame = 28;
// How much of a longer datagram its log entries show.
inline constexpr std::size_t kLoggedBytesOfLongDatagram = 64;

// A received datagram's hex as its log entries show it: in full up to the
// longest frame. Anything longer is no frame at all: it shows as the hex of
// at most its first 64 bytes, marked by "..." after it, so an 8 KB datagram
// costs a line of log, not 16 KB of it.
std::string DatagramHexText(ByteSpan datagram);

enum class RejectKind { None, TooShort, BadCrc, BadFrameType, BadUnitID, BadEncrMarker, BadSize };

struct CheckedFrame {
    RejectKind reject = RejectKind::None;
    std::uint8_t frameType = 0;
    std::uint8_t encrMarker = 0;
    std::uint16_t frameId = 0;
    int unitNr = 0;
    std::string unitText;
    bool Accepted() const { return reject == RejectKind::None; }
};

// The six ordered checks; the first that fails decides.
CheckedFrame CheckFrame(ByteSpan datagram);

// The Important-messages text of a rejection, with the sender's address.
std::string RejectMessage(RejectKind kind, ByteSpan datagram, const std::string& senderAddress);

// Fields of an accepted 28-byte Event frame.
struct EventFields {
    bool timeValid = false;
    TDateTime time = 0;                     // when timeValid
    std::array<std::uint8_t, 6> rawTime{};  // bytes 8..13 as received
    std::string account;                    // 14..17
    std::string event;                      // 18..21: qualifier digit and code
    std::string partition;                  // 22..23
    std::string zone;                       // 24..26
};
EventFields DecodeEvent(ByteSpan frame);

// The raw event time as "yyyy-mm-dd hh:nn:ss" whatever the values, for
// telling the operator what an invalid stamp held.
std::string RawTimeText(const std::array<std::uint8_t, 6>& raw);

// Replies. `frame` is the received datagram.
Bytes BuildAck(ByteSpan frame, TDateTime now);
Bytes BuildNack(ByteSpan datagram, TDateTime now);
Bytes BuildNewTime(ByteSpan request, TDateTime now);
Bytes BuildNewUnitNr(ByteSpan request, const std::string& unitNrText);

// Operator command frames, without their CRC: zero bytes of `length`,
// byte 0 = `frameType`, bytes 4..7 = UnitNrToDigits(unitNr).
Bytes CommandFrame(std::uint8_t frameType, int unitNr, std::size_t length);
Bytes SetTimeFrame(int unitNr, TDateTime now);                                // 14 bytes
Bytes OpenCloseFrame(int unitNr, bool close);                                 // 9 bytes
Bytes ChangeUnitIdFrame(int unitNr, const std::string& imei, int newUnitNr);  // 27 bytes

}  // namespace korvan
