#include "platform/SystemClock.h"

#include <time.h>

#include <algorithm>
#include <chrono>

namespace korvan {

TDateTime SystemClock::Now() const {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    DateTimeParts p;
    p.year = local.tm_year + 1900;
    p.month = local.tm_mon + 1;
    p.day = local.tm_mday;
    p.hour = local.tm_hour;
    p.minute = local.tm_min;
    p.second = std::min(local.tm_sec, 59);  // a leap second shows as :59
    p.msec = static_cast<int>(ts.tv_nsec / 1'000'000);
    TDateTime dt = 0;
    TryEncodeDateTime(p, dt);
    return dt;
}

std::int64_t SystemClock::MonotonicMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace korvan
