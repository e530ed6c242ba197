#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/SystemClock.h"
#include "qt/QtTimers.h"

using namespace korvan;

namespace {

// Sets TZ for this process and puts the old value back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(SystemClock, NowIsLocalWallClockTime) {
    SystemClock clock;
    TDateTime utc = 0;
    TDateTime east = 0;
    {
        ScopedTimeZone tz("UTC0");
        utc = clock.Now();
        // Day count of the Unix epoch is 25569.
        const double expected = 25569.0 + static_cast<double>(std::time(nullptr)) / 86400.0;
        EXPECT_NEAR(expected, utc, 2.0 / 86400.0);
    }
    {
        ScopedTimeZone tz("XYZ-3");  // three hours ahead of UTC, no daylight saving
        east = clock.Now();
    }
    EXPECT_NEAR(3.0 / 24.0, east - utc, 2.0 / 86400.0);
}

TEST(SystemClock, MonotonicTimeMovesOnInMilliseconds) {
    SystemClock clock;
    const std::int64_t a = clock.MonotonicMs();
    QTest::qWait(50);
    const std::int64_t b = clock.MonotonicMs();
    EXPECT_GE(b - a, 45);
    EXPECT_LT(b - a, 2000);
}

TEST(QtTimers, OneShotIsInactiveWhenItTicksAndTicksOnce) {
    QtTimerFactory factory;
    int ticks = 0;
    bool activeAtTick = true;
    std::unique_ptr<ITimer> timer;
    timer = factory.CreateTimer(20, true, [&] {
        ++ticks;
        activeAtTick = timer->IsActive();
    });
    EXPECT_FALSE(timer->IsActive());
    timer->Start();
    EXPECT_TRUE(timer->IsActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }, 2000));
    QTest::qWait(100);
    EXPECT_EQ(1, ticks);
    EXPECT_FALSE(activeAtTick);
}

TEST(QtTimers, PeriodicTimerTicksUntilStopped) {
    QtTimerFactory factory;
    int ticks = 0;
    auto timer = factory.CreateTimer(10, false, [&] { ++ticks; });
    EXPECT_EQ(10, timer->Interval());
    timer->Start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 3; }, 2000));
    timer->Stop();
    const int stoppedAt = ticks;
    QTest::qWait(60);
    EXPECT_EQ(stoppedAt, ticks);
}

TEST(QtTimers, NewIntervalRestartsARunningTimer) {
    QtTimerFactory factory;
    int ticks = 0;
    auto timer = factory.CreateTimer(60000, false, [&] { ++ticks; });
    timer->Start();
    timer->SetInterval(10);
    EXPECT_TRUE(timer->IsActive());
    EXPECT_EQ(10, timer->Interval());
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 1; }, 2000));
}

}  // namespace
