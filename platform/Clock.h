#pragma once

#include <cstdint>

#include "platform/DateTime.h"

namespace korvan {

// The two times the logic needs. Wall-clock local time goes into texts, log
// stamps, wire time stamps and the database; the monotonic time measures
// durations (silence of a unit, the start-up delay, retransmission waits) and
// never jumps when the wall clock is set or daylight saving changes.
class IClock {
public:
    virtual ~IClock() = default;
    virtual TDateTime Now() const = 0;
    virtual std::int64_t MonotonicMs() const = 0;
};

}  // namespace korvan
