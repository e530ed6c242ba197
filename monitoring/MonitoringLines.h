#pragma once

#include <cstddef>
#include <string>

namespace korvan {

// The fixed-width text lines the monitoring software reads. Every line is
// exactly 20 characters; on the wire it is followed by the byte 0x14, which
// is not part of the line.
//
// Characters that come from a unit (account, event, partition, zone) pass
// through PrintableText, so a control byte sent by a unit is written as "?"
// and can never end a line early or forge the next one. Each field is cut or
// padded with blanks to its width, so a line is always 20 characters long.

inline constexpr std::size_t kLineLength = 20;

// The heartbeat: "1077", eleven blanks, "@", four blanks. Only the send
// buffer's own record says which of its lines is a heartbeat: an "@" in an
// alarm line comes from a unit and makes no heartbeat of it.
inline constexpr const char* HeartbeatLine = "1077           @    ";

// "5077 18" + account(4) + E/R + code(3) + partition(2) + zone(3). `event`
// is the 4-character event field: qualifier digit and code; qualifier "1"
// gives "E", anything else "R".
std::string MakeEventLine(const std::string& account, const std::string& event,
                          const std::string& partition, const std::string& zone);

// "5077 18" + account + "E35000" + stage as 3 digits (stage 1..3).
std::string MakeTroubleLine(const std::string& account, int stage);

// "5077 18" + account + "R35000000".
std::string MakeRestoreLine(const std::string& account);

}  // namespace korvan
