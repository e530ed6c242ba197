#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "base/Log.h"
#include "fakes/FakeDiskSpace.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"

using namespace korvan;

namespace {

class LogTest : public ::testing::Test {
protected:
    FakeScheduler clock{46364.4375};  // 2026-12-08 10:30:00
    TestLogChannels ch{clock, clock};
    const TempDir& dir = ch.dir;
    const std::string today = "Log/All msg/2026-12-08.log";
};

TEST_F(LogTest, ConstructionCreatesFoldersAndNamesFiles) {
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() + "Log/All msg"));
    EXPECT_EQ(dir.Path() + "Log/All msg/", ch.all.Folder());
    EXPECT_EQ(dir.Path() + "Wav/impmsg.wav", ch.imp.SoundPath());
    EXPECT_EQ(dir.Path() + "Wav/error.wav", ch.err.SoundPath());
    EXPECT_EQ("", ch.all.SoundPath());
    EXPECT_FALSE(dir.Exists(today));  // no file before the first entry
}

TEST_F(LogTest, FirstEntryWritesStampedLineWithCrLf) {
    ch.all.AddMsg("Application started..");
    EXPECT_EQ("2026.12.08 10:30:00 - Application started..\r\n", dir.Read(today));
    EXPECT_EQ(std::vector<std::string>{"2026.12.08 10:30:00 - Application started.."},
              ch.allMemo.lines);
    EXPECT_TRUE(ch.sound.played.empty());
}

// Log lines hold IMEIs, addresses and accounts: the files are owner
// read-write, group read.
TEST_F(LogTest, LogFilesAreNotWorldReadable) {
    const mode_t previous = ::umask(0);
    ch.err.AddMsg("ERR in X, Error Msg: boom");
    ch.imp.AddMsg("0012 FIRST MSG");
    ::umask(previous);
    const std::string files[] = {today, "Log/Errors.log", "Log/Imp_msg.log"};
    for (const std::string& file : files) {
        struct stat st {};
        ASSERT_EQ(0, ::stat((dir.Path() + file).c_str(), &st)) << file;
        EXPECT_EQ(0640u, st.st_mode & 07777) << file;
    }
}

TEST_F(LogTest, ErrorEntryReachesFileMemoLedSoundAndParent) {
    clock.Advance(1500);
    ch.err.AddMsg("ERR in X, Error Msg: boom");
    EXPECT_EQ("2026.12.08 10:30:01 - ERR in X, Error Msg: boom\r\n", dir.Read("Log/Errors.log"));
    EXPECT_EQ("2026.12.08 10:30:01 - ERR in X, Error Msg: boom\r\n", dir.Read(today));
    EXPECT_EQ(1u, ch.errMemo.lines.size());
    EXPECT_EQ(1u, ch.allMemo.lines.size());
    EXPECT_TRUE(ch.errLed.IsBlinking());
    EXPECT_FALSE(ch.impLed.IsBlinking());
    EXPECT_EQ(std::vector<std::string>{dir.Path() + "Wav/error.wav"}, ch.sound.played);
    EXPECT_FALSE(dir.Exists("Log/Imp_msg.log"));
}

TEST_F(LogTest, NulMarkerGivesEmptyLineInChannelAndParent) {
    ch.imp.AddMsg("first");
    ch.imp.AddMsg(std::string("\0Receive from 1.2.3.4:5 (0 b.): 0x", 34));
    const std::string expected =
        "2026.12.08 10:30:00 - first\r\n\r\n2026.12.08 10:30:00 - Receive from 1.2.3.4:5 (0 b.): "
        "0x\r\n";
    EXPECT_EQ(expected, dir.Read("Log/Imp_msg.log"));
    EXPECT_EQ(expected, dir.Read(today));
    const std::vector<std::string> memo = {
        "2026.12.08 10:30:00 - first", "",
        "2026.12.08 10:30:00 - Receive from 1.2.3.4:5 (0 b.): 0x"};
    EXPECT_EQ(memo, ch.impMemo.lines);
    EXPECT_EQ(memo, ch.allMemo.lines);
}

TEST_F(LogTest, EmptyMessageAndEmbeddedLineBreak) {
    ch.all.AddMsg("");
    ch.all.AddMsg("Application closed\r\n");
    EXPECT_EQ("2026.12.08 10:30:00 - \r\n2026.12.08 10:30:00 - Application closed\r\n\r\n",
              dir.Read(today));
    EXPECT_EQ(ch.all.LastLine(), "2026.12.08 10:30:00 - Application closed\r\n");
}

TEST_F(LogTest, EntryAfterMidnightGoesToNextDaysFile) {
    clock.SetWall(46364.0 + (23 * 3600 + 59 * 60 + 59) / 86400.0);
    ch.all.AddMsg("before");
    clock.Advance(2000);
    ch.all.AddMsg("after");
    EXPECT_EQ("2026.12.08 23:59:59 - before\r\n", dir.Read(today));
    EXPECT_EQ("2026.12.09 00:00:01 - after\r\n", dir.Read("Log/All msg/2026-12-09.log"));
}

TEST_F(LogTest, DeletedLogFolderComesBack) {
    ch.imp.AddMsg("one");
    std::filesystem::remove_all(dir.Path() + "Log");
    ch.imp.AddMsg("two");
    EXPECT_EQ("2026.12.08 10:30:00 - two\r\n", dir.Read("Log/Imp_msg.log"));
    EXPECT_EQ("2026.12.08 10:30:00 - two\r\n", dir.Read(today));
}

// A file that cannot be written costs the entry nothing but its file line:
// memo, LED, sound and parent still get it. The outage is told once, on
// stderr and as one report on the Errors channel, and the file is tried
// again with every later entry.
TEST_F(LogTest, UnwritableFileIsToldOnceAndTriedAgain) {
    // A folder standing where the log file should be: open fails even for root.
    const std::string imp = dir.Path() + "Log/Imp_msg.log";
    const std::string failure = "Cannot open log file " + imp + ": Is a directory";
    std::filesystem::create_directories(imp);
    testing::internal::CaptureStderr();
    ch.imp.AddMsg("lost");
    ch.imp.AddMsg("lost again");
    EXPECT_EQ("Log entry not written: " + failure + "\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ((std::vector<std::string>{"lost", "lost again"}), ch.Imp());
    EXPECT_TRUE(ch.impLed.IsBlinking());
    EXPECT_EQ(std::vector<std::string>{"ERR in AddMsg, Error Msg: " + failure}, ch.Err());
    EXPECT_TRUE(ch.errLed.IsBlinking());
    // The outage is told as it happens, before the entry's copy.
    EXPECT_EQ(
        (std::vector<std::string>{"ERR in AddMsg, Error Msg: " + failure, "lost", "lost again"}),
        ch.All());
    EXPECT_EQ(3u, ch.sound.played.size());  // two entries and the report

    // Writable again: the entry is filed and nothing more is told.
    std::filesystem::remove(imp);
    testing::internal::CaptureStderr();
    ch.imp.AddMsg("back");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("2026.12.08 10:30:00 - back\r\n", dir.Read("Log/Imp_msg.log"));
    EXPECT_FALSE(ch.imp.FileFailing());
    EXPECT_EQ(1u, ch.Err().size());

    // A new outage is told again.
    std::filesystem::remove(imp);
    std::filesystem::create_directories(imp);
    testing::internal::CaptureStderr();
    ch.imp.AddMsg("lost");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(2u, ch.Err().size());
}

// The Errors file itself failing is reported on its own memo, once per file
// and without recursion.
TEST_F(LogTest, UncreatableFolderIsAnOutageOfItsOwnChannelToo) {
    std::filesystem::remove_all(dir.Path() + "Log");
    dir.Write("Log", "a file where the folder belongs");
    testing::internal::CaptureStderr();
    ch.err.AddMsg("x");
    ch.err.AddMsg("y");
    testing::internal::GetCapturedStderr();
    const std::vector<std::string> err = ch.Err();
    // One report for the Errors file, one for the All file its copy went to.
    ASSERT_EQ(4u, err.size());
    EXPECT_EQ("x", err[0]);
    EXPECT_EQ(
        0u,
        err[1].rfind("ERR in AddMsg, Error Msg: Cannot create folder " + dir.Path() + "Log/: ", 0));
    EXPECT_EQ(0u, err[2].rfind("ERR in AddMsg, Error Msg: Cannot create folder " + dir.Path() +
                                   "Log/All msg/: ",
                               0));
    EXPECT_EQ("y", err[3]);
    EXPECT_TRUE(ch.errLed.IsBlinking());
    EXPECT_TRUE(ch.err.FileFailing());
    EXPECT_TRUE(ch.all.FileFailing());
}

// Below the floor no log file grows while memos, LEDs and parents go on;
// the pause and its end are told once each, and the disk is looked at at
// most once a second.
TEST_F(LogTest, DiskBelowTheFloorPausesTheFilesOnly) {
    FakeDiskSpace disk;
    LogDiskFloor floor(clock, disk, dir.Path() + "Log", std::uint64_t{64} << 20);
    for (LogChannel* c : {&ch.all, &ch.imp, &ch.err}) c->SetDiskFloor(&floor);
    ch.imp.AddMsg("before");
    disk.space.freeBytes = std::uint64_t{10} << 20;
    ch.imp.AddMsg("same second");  // not looked at again yet
    clock.Advance(1000);
    ch.imp.AddMsg("low 1");
    ch.err.AddMsg("low 2");
    clock.Advance(5000);
    ch.imp.AddMsg("low 3");
    disk.space.freeBytes = std::uint64_t{64} << 20;
    clock.Advance(1000);
    ch.imp.AddMsg("after");

    const std::string where = " free on the disk holding " + dir.Path() + "Log";
    const std::string paused = "!! Log files paused: 10.0 MiB" + where +
                               ", below the 64.0 MiB kept for the send journal; alarms are still "
                               "received and sent";
    const std::string resumed = "Log files written again: 64.0 MiB" + where;
    EXPECT_EQ(4, disk.queries);
    EXPECT_EQ((std::vector<std::string>{"before", "same second", "low 1", "low 3", "after"}),
              ch.Imp());
    EXPECT_EQ((std::vector<std::string>{paused, "low 2", resumed}), ch.Err());
    EXPECT_EQ(8u, ch.All().size());
    EXPECT_EQ(
        "2026.12.08 10:30:00 - before\r\n2026.12.08 10:30:00 - same second\r\n"
        "2026.12.08 10:30:07 - after\r\n",
        dir.Read("Log/Imp_msg.log"));
    EXPECT_EQ("2026.12.08 10:30:07 - " + resumed + "\r\n", dir.Read("Log/Errors.log"));
    EXPECT_TRUE(ch.errLed.IsBlinking());
}

TEST_F(LogTest, ReportErrorFormatsOnErrorsChannel) {
    ReportError(ch.err, "ProcessRecMsg", "bad thing");
    EXPECT_EQ("2026.12.08 10:30:00 - ERR in ProcessRecMsg, Error Msg: bad thing\r\n",
              dir.Read("Log/Errors.log"));
    EXPECT_EQ("2026.12.08 10:30:00 - ERR in ProcessRecMsg, Error Msg: bad thing",
              ch.allMemo.lines.back());
}

TEST(LedTest, BlinksEvery700msStartingRedAndClearsGreen) {
    FakeScheduler s;
    FakeLedView view;
    AlertLed led(view, s);
    led.StartBlink();
    s.Advance(699);
    EXPECT_TRUE(view.shown.empty());
    s.Advance(1);
    EXPECT_EQ(std::vector<bool>{true}, view.shown);
    led.StartBlink();  // no restart while blinking
    s.Advance(700);
    EXPECT_EQ((std::vector<bool>{true, false}), view.shown);
    led.ClearBlink();
    EXPECT_FALSE(led.IsBlinking());
    EXPECT_EQ((std::vector<bool>{true, false, false}), view.shown);
    s.Advance(5000);
    EXPECT_EQ(3u, view.shown.size());
}

}  // namespace
