#include <gtest/gtest.h>

#include "platform/DateTime.h"

using namespace korvan;

namespace {

struct DateCase {
    DateTimeParts parts;
    TDateTime expected;
};

TEST(DateTime, EncodesDayCountsSince18991230) {
    const DateCase cases[] = {
        {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
        {{2000, 1, 1, 0, 0, 0, 0}, kDbBaseDate},
        {{2026, 12, 8, 10, 30, 0, 0}, 46364.4375},
        {{2024, 2, 29, 12, 0, 0, 0}, 45351.5},
    };
    for (const auto& c : cases) {
        TDateTime dt = -1;
        ASSERT_TRUE(TryEncodeDateTime(c.parts, dt));
        EXPECT_DOUBLE_EQ(c.expected, dt);
        const DateTimeParts back = DecodeDateTime(dt);
        EXPECT_EQ(c.parts.year, back.year);
        EXPECT_EQ(c.parts.month, back.month);
        EXPECT_EQ(c.parts.day, back.day);
        EXPECT_EQ(c.parts.hour, back.hour);
        EXPECT_EQ(c.parts.minute, back.minute);
        EXPECT_EQ(c.parts.second, back.second);
    }
}

TEST(DateTime, RefusesImpossibleDates) {
    const DateTimeParts bad[] = {
        {2026, 0, 1, 0, 0, 0, 0},  {2026, 13, 1, 0, 0, 0, 0}, {2026, 4, 31, 0, 0, 0, 0},
        {2026, 2, 29, 0, 0, 0, 0}, {2026, 2, 30, 0, 0, 0, 0}, {2026, 1, 1, 24, 0, 0, 0},
        {2026, 1, 1, 0, 60, 0, 0}, {2026, 1, 1, 0, 0, 60, 0}, {2026, 1, 0, 0, 0, 0, 0},
    };
    for (const auto& p : bad) {
        TDateTime dt = 7;
        EXPECT_FALSE(TryEncodeDateTime(p, dt)) << p.year << "-" << p.month << "-" << p.day;
        EXPECT_EQ(7, dt);
    }
}

TEST(DateTime, Texts) {
    EXPECT_EQ("2024.03.05 14:07:09", NowStampText(45356 + (14 * 3600 + 7 * 60 + 9) / 86400.0));
    EXPECT_EQ("2024-03-05", DateFileText(45356.99));
    EXPECT_EQ("08.12.2026 10:30:00", DateTimeText(46364.4375));
    EXPECT_EQ("08.12.2026", DateTimeText(46364.0));
    EXPECT_EQ("30.12.1899", DateTimeText(0.0));
    EXPECT_EQ("1d. 02:03:04", ElapsedText(1 + (2 * 3600 + 3 * 60 + 4) / 86400.0));
    EXPECT_EQ("0d. 00:00:00", ElapsedText(0.0));
}

}  // namespace
