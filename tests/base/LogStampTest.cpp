// A channel builds its time stamp once per second and its file path once per
// day; every entry must still carry exactly the stamp and go to exactly the
// file that the date-time texts give for its own moment, however the clock
// moves between entries.

#include <gtest/gtest.h>

#include <string>

#include "base/Log.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"

using namespace korvan;

namespace {

constexpr TDateTime kDay = 46364.0;  // 2026-12-08 00:00:00
constexpr double kMs = 1.0 / kMsPerDay;

TEST(LogStamp, EveryEntryCarriesTheStampAndFileOfItsOwnMoment) {
    struct Step {
        const char* what;
        TDateTime setWall;     // 0: leave the wall clock as it is
        std::int64_t advance;  // then move on by this many ms
        const char* stamp;
        const char* file;
    };
    const Step steps[] = {
        {"start", kDay + 37800000 * kMs, 0, "2026.12.08 10:30:00", "2026-12-08"},
        {"same second", 0, 999, "2026.12.08 10:30:00", "2026-12-08"},
        {"next second by 1 ms", 0, 1, "2026.12.08 10:30:01", "2026-12-08"},
        {"a minute on", 0, 60000, "2026.12.08 10:31:01", "2026-12-08"},
        {"half a second before midnight", kDay + (86400000 - 500) * kMs, 0, "2026.12.08 23:59:59",
         "2026-12-08"},
        // Rounded to the millisecond, 23:59:59.9996 is already midnight, even
        // though it lies in the same whole second as the entry before.
        {"just before midnight", kDay + (86400000 - 0.4) * kMs, 0, "2026.12.09 00:00:00",
         "2026-12-09"},
        {"clock set back a day", kDay - 1 + 43200000 * kMs, 0, "2026.12.07 12:00:00", "2026-12-07"},
        {"same second again", 0, 500, "2026.12.07 12:00:00", "2026-12-07"},
        {"clock set forward", kDay + 43200000 * kMs, 0, "2026.12.08 12:00:00", "2026-12-08"},
        {"across midnight", 0, 12 * 3600000, "2026.12.09 00:00:00", "2026-12-09"},
    };

    TempDir dir;
    FakeScheduler clock(kDay);
    FakeMemo memo;
    LogChannel all(clock, nullptr, dir.Path(), &memo, "Log\\All msg", "", 1, nullptr, "", nullptr);
    for (const Step& s : steps) {
        if (s.setWall != 0)
            clock.SetWall(s.setWall);
        clock.Advance(s.advance);
        // The texts the entry must agree with, computed afresh.
        EXPECT_EQ(s.stamp, NowStampText(clock.Now())) << s.what;
        EXPECT_EQ(s.file, DateFileText(clock.Now())) << s.what;

        all.AddMsg(s.what);
        EXPECT_EQ(std::string(s.stamp) + " - " + s.what, all.LastLine());
        EXPECT_EQ(dir.Path() + "Log/All msg/" + s.file + ".log", all.FilePath()) << s.what;
        const std::string file = dir.Read(std::string("Log/All msg/") + s.file + ".log");
        EXPECT_NE(std::string::npos, file.find(std::string(s.stamp) + " - " + s.what + "\r\n"))
            << s.what;
    }
}

TEST(LogStamp, AFixedNameStaysTheSameAcrossDays) {
    TempDir dir;
    FakeScheduler clock(kDay + 0.5);
    LogChannel imp(clock, nullptr, dir.Path(), nullptr, "Log", "Imp_msg", 0, nullptr, "", nullptr);
    imp.AddMsg("one");
    clock.Advance(86400000);
    imp.AddMsg("two");
    EXPECT_EQ(dir.Path() + "Log/Imp_msg.log", imp.FilePath());
    EXPECT_EQ("2026.12.08 12:00:00 - one\r\n2026.12.09 12:00:00 - two\r\n",
              dir.Read("Log/Imp_msg.log"));
}

}  // namespace
