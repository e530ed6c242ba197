#include "platform/StderrLines.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvan {

StderrLines::StderrLines(int fd, const IClock& clock, int perSecond)
    : fd_(fd), oldFlags_(::fcntl(fd, F_GETFL)), clock_(clock), perSecond_(perSecond) {
    if (oldFlags_ >= 0)
        ::fcntl(fd_, F_SETFL, oldFlags_ | O_NONBLOCK);
}

StderrLines::~StderrLines() {
    if (oldFlags_ >= 0)
        ::fcntl(fd_, F_SETFL, oldFlags_);
}

void StderrLines::Write(const std::string& prefix, const std::string& text) {
    const std::int64_t now = clock_.MonotonicMs();
    if (now - windowStart_ >= 1000) {
        windowStart_ = now;
        inWindow_ = 0;
    }
    // The count line takes a place of the second's share as well.
    const int needed = notToldYet_ > 0 ? 2 : 1;
    if (inWindow_ + needed > perSecond_) {
        ++leftOut_;
        ++notToldYet_;
        return;
    }
    if (notToldYet_ > 0) {
        ++inWindow_;
        if (!Put(prefix + "(" + std::to_string(notToldYet_) + " lines left out)\n")) {
            ++leftOut_;
            ++notToldYet_;
            return;
        }
        notToldYet_ = 0;
    }
    std::string line = prefix;
    line.reserve(prefix.size() + std::min(text.size(), kMaxLine) + 1);
    for (std::size_t i = 0; i < text.size() && i < kMaxLine; ++i) {
        const char c = text[i];
        line += c == '\r' || c == '\n' ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ' && line.size() > prefix.size()) line.pop_back();
    line += '\n';
    ++inWindow_;
    if (!Put(line)) {
        ++leftOut_;
        ++notToldYet_;
    }
}

bool StderrLines::Put(const std::string& line) {
    // A pipe takes a write of up to PIPE_BUF bytes whole or not at all; a
    // longer line may go out in part, and the rest follows while there is room.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (done > 0 && done < line.size()) {
            // The reader has the start of the line: it gets its end mark.
            (void)!::write(fd_, "\n", 1);
        }
        return false;
    }
    return true;
}

}  // namespace korvan
