#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace korvan {

// Lines for the system journal on a descriptor (stderr) that must never hold
// up the event loop. The descriptor is made non-blocking: a line the reader
// has no room for is left out instead of waited for. At most `perSecond`
// lines go out in any second of the monotonic clock; beyond that lines are
// left out too. Before the next line that goes out, one line says how many
// were left out. Line breaks inside a text become blanks, so every entry is
// one line; a text longer than kMaxLine bytes is cut.
class StderrLines {
public:
    static constexpr std::size_t kMaxLine = 2000;

    StderrLines(int fd, const IClock& clock, int perSecond = 50);
    // The descriptor's flags as they were: a terminal shared with the shell
    // that started the program must not stay non-blocking.
    ~StderrLines();
    StderrLines(const StderrLines&) = delete;
    StderrLines& operator=(const StderrLines&) = delete;

    // `prefix` goes before the text ("<3>" tells the journal the priority).
    void Write(const std::string& prefix, const std::string& text);

    std::uint64_t LeftOut() const { return leftOut_; }

private:
    // Writes one whole line; false when the descriptor had no room for it.
    bool Put(const std::string& line);

    int fd_;
    int oldFlags_;
    const IClock& clock_;
    int perSecond_;
    std::int64_t windowStart_ = INT64_MIN / 2;  // long before any time the clock gives
    int inWindow_ = 0;
    std::uint64_t leftOut_ = 0;     // since the start
    std::uint64_t notToldYet_ = 0;  // left out since the last count line
};

}  // namespace korvan
