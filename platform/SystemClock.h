#pragma once

#include "platform/Clock.h"

namespace korvan {

// The machine's clocks: local wall-clock time from the system time and the
// local time zone, and the steady clock for durations.
class SystemClock : public IClock {
public:
    TDateTime Now() const override;
    std::int64_t MonotonicMs() const override;
};

}  // namespace korvan
