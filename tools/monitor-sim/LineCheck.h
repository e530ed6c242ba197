#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What the monitoring software sees of the receiver: 20-character lines, each
// closed by the byte 0x14, and the one-byte answers it sends back. This part
// knows the line forms and how the byte stream falls into lines; it does no
// I/O, so the tests feed it bytes directly.
namespace monsim {

inline constexpr std::size_t kLineLength = 20;
inline constexpr char kLineEnd = '\x14';
inline constexpr unsigned char kAck = 0x06;
inline constexpr unsigned char kNak = 0x15;
inline constexpr std::string_view kHeartbeat = "1077           @    ";
inline constexpr std::string_view kLinePrefix = "5077 18";

enum class LineKind { Event, Trouble, Restore, Heartbeat, Malformed };

struct LineVerdict {
    LineKind kind = LineKind::Malformed;
    // Why a line is malformed; empty otherwise.
    std::string problem;
    // Something a well-formed line carries that deserves a look (for example
    // an event code that is not hexadecimal); empty when there is nothing.
    std::string note;
};

// Classifies one line (the bytes before a 0x14, without it):
//   heartbeat  exactly "1077", eleven blanks, "@", four blanks;
//   trouble    "5077 18" + account + "E35000" + "001" | "002" | "003";
//   restore    "5077 18" + account + "R35000000";
//   event      "5077 18" + account + "E"|"R" + code(3) + partition(2) + zone(3).
// The account is any 4 printable ASCII characters (blanks and "?" included:
// the receiver pads a short account and masks control bytes). Event code,
// partition and zone must be printable ASCII; when they are not hexadecimal
// digits the line is still an event, with a note. A trouble or restore text
// sent by a unit as an ordinary event cannot be told apart from the
// receiver's own, and is classified as trouble or restore.
LineVerdict ClassifyLine(std::string_view line);

// "event", "trouble", "restore", "heartbeat", "malformed".
const char* KindName(LineKind kind);

// The line in double quotes, with every byte outside printable ASCII (and
// the quote and backslash) written as \xNN, so blanks and stray bytes show.
std::string QuotedText(std::string_view line);

// Cuts the received byte stream into lines at 0x14. Reads may end anywhere,
// also inside a line; the unfinished part waits for the next Feed.
class LineSplitter {
public:
    // A stream that goes this long without 0x14 is not a line any more: the
    // bytes so far are handed out as one (malformed) line, so a peer that
    // never sends the terminator cannot make memory grow without bound.
    static constexpr std::size_t kMaxPending = 1024;

    // Returns the lines completed by `bytes`, oldest first, without 0x14.
    // Two terminators in a row give an empty line.
    std::vector<std::string> Feed(std::string_view bytes);
    // Bytes received after the last 0x14.
    const std::string& Pending() const { return pending_; }

private:
    std::string pending_;
};

}  // namespace monsim
