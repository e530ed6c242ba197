#pragma once

#include <string>

#include "platform/Types.h"

namespace korvan {

// Small text helpers every subsystem shares.

// Unit-supplied text made safe for a log line or a monitoring line: bytes
// below 0x20 and DEL become '?'. The registry and the database keep the
// bytes as received; only what is written out is cleaned.
std::string PrintableText(const std::string& text);

// Blanks, control characters and DEL off both ends, as an operator's entry
// or a settings line may carry them.
std::string Trim(const std::string& text);

// A unit number as four digits ("0007"); numbers shown in logs, dialogs and
// the grid always use this form.
std::string UnitNrText(int nr);

// Exactly 4 characters that read as a whole number 0..9999 (an account
// code, a unit number as text).
bool IsFourDigitCode(const std::string& text);

// Two upper-case hex digits per byte, no separators.
std::string HexText(ByteSpan data);

}  // namespace korvan
