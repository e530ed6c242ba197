// The low-disk-space warning on a fake probe.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/DiskSpaceWatch.h"
#include "fakes/FakeDiskSpace.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"

using namespace korvan;

namespace {

using Lines = std::vector<std::string>;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

class DiskSpaceWatchTest : public ::testing::Test {
protected:
    FakeScheduler clock;
    TestLogChannels logs{clock, clock};
    FakeDiskSpace disk;
    DiskSpaceWatch watch{disk, {"/srv/recv/Log", "/srv/recv/RAZUDovuve.db"}};

    Lines CheckWith(std::uint64_t freeBytes, std::uint64_t totalBytes) {
        disk.space.freeBytes = freeBytes;
        disk.space.totalBytes = totalBytes;
        logs.impMemo.Clear();
        watch.Check(logs.imp);
        return TestLogChannels::Texts(logs.impMemo);
    }
};

TEST_F(DiskSpaceWatchTest, TellsEachCrossingOnceDownAndOnceUp) {
    const std::string where = " on the disk holding /srv/recv/Log and /srv/recv/RAZUDovuve.db";
    struct Step {
        const char* what;
        std::uint64_t freeBytes;
        std::uint64_t totalBytes;
        Lines told;
    };
    const Step steps[] = {
        {"plenty", 20 * kGiB, 100 * kGiB, {}},
        {"exactly 1 GiB on a small disk", kGiB, 20 * kGiB, {}},
        {"crossing down: a byte under 1 GiB",
         kGiB - 1,
         20 * kGiB,
         {"!! Low disk space: 1024.0 MiB free of 20.0 GiB" + where}},
        {"staying down", 300 * kMiB, 20 * kGiB, {}},
        {"staying down, lower still", 0, 20 * kGiB, {}},
        {"crossing up",
         3 * kGiB + 200 * kMiB,
         20 * kGiB,
         {"Disk space is back: 3.2 GiB free of 20.0 GiB" + where}},
        {"staying up", 5 * kGiB, 20 * kGiB, {}},
        {"under 2 % of a large disk",
         19 * kGiB,
         1000 * kGiB,
         {"!! Low disk space: 19.0 GiB free of 1000.0 GiB" + where}},
        {"exactly 2 % of it",
         20 * kGiB,
         1000 * kGiB,
         {"Disk space is back: 20.0 GiB free of 1000.0 GiB" + where}},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(s.told, CheckWith(s.freeBytes, s.totalBytes)) << s.what;
    }
}

TEST_F(DiskSpaceWatchTest, WarningIsAnImportantMessageCopiedToAllMessages) {
    CheckWith(500 * kMiB, 50 * kGiB);
    const std::string text =
        "!! Low disk space: 500.0 MiB free of 50.0 GiB on the disk holding /srv/recv/Log and "
        "/srv/recv/RAZUDovuve.db";
    EXPECT_EQ(Lines{text}, TestLogChannels::Texts(logs.allMemo));
    EXPECT_NE(std::string::npos, logs.dir.Read("Log/Imp_msg.log").find(" - " + text + "\r\n"));
}

TEST_F(DiskSpaceWatchTest, EachFileSystemIsToldOfOnItsOwn) {
    DiskSpace other{100 * kMiB, 10 * kGiB, 2};
    disk.paths["/srv/recv/RAZUDovuve.db"] = other;
    EXPECT_EQ(Lines{"!! Low disk space: 100.0 MiB free of 10.0 GiB on the disk holding "
                    "/srv/recv/RAZUDovuve.db"},
              CheckWith(50 * kGiB, 100 * kGiB));
    EXPECT_EQ(
        Lines{"!! Low disk space: 10.0 MiB free of 100.0 GiB on the disk holding /srv/recv/Log"},
        CheckWith(10 * kMiB, 100 * kGiB));
    // A path that cannot be looked at is left out; its disk's state is kept.
    disk.paths["/srv/recv/RAZUDovuve.db"] = std::nullopt;
    EXPECT_EQ(Lines{}, CheckWith(10 * kMiB, 100 * kGiB));
    disk.paths["/srv/recv/RAZUDovuve.db"] = other;
    EXPECT_EQ(Lines{}, CheckWith(10 * kMiB, 100 * kGiB));
}

TEST(DiskSpaceWatch, SizeTexts) {
    struct Case {
        std::uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536 * 1024, "1.5 MiB"},
        {kGiB - 1, "1024.0 MiB"},
        {kGiB, "1.0 GiB"},
        {250 * kGiB, "250.0 GiB"},
        {1024 * kGiB * 3 / 2, "1.5 TiB"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, DiskSpaceWatch::SizeText(c.bytes)) << c.bytes;
}

}  // namespace
