#pragma once

#include <string>

namespace korvan {

// printf-style formatting into a std::string, for the log and dialog texts
// of the device link. Texts that came from a unit must already be made
// printable (PrintableText) before they are passed for a "%s".
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvan
