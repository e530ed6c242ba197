#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "device/Codec.h"
#include "device/MessageProcessor.h"
#include "fakes/ReceiverRig.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SendJournal.h"
#include "monitoring/SerialChannel.h"
#include "monitoring/Supervision.h"
#include "registry/UnitDb.h"

using namespace korvan;

namespace {

using Lines = std::vector<std::string>;

// The worked Event of unit 0123: FrameID 5, 2026-12-08 10:30:00, account
// 1234, code E130, partition 01, zone 005.
const Bytes kEvent = {0x06, 0x00, 0x00, 0x05, 0x03, 0x02, 0x01, 0x00, 0x1A, 0x0C,
                      0x08, 0x0A, 0x1E, 0x00, '1',  '2',  '3',  '4',  '1',  '1',
                      '3',  '0',  '0',  '1',  '0',  '0',  '5',  0x21};
const std::string kEventLine = "5077 181234E13001005";

std::string Written(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

class ReceiverTest : public ::testing::Test {
protected:
    ReceiverRig rig;
    Receiver* r = nullptr;
    void Create() {
        r = &rig.Create(false);
        ASSERT_TRUE(r->Start());
    }
    // The monitoring software answers the line on the wire; the answer is
    // taken as a cluster on the next poll ticks.
    void Answer() {
        rig.serial.Receive({0x06});
        rig.clock.Advance(400);
    }
    // The monitoring software answers every line waiting.
    void AnswerAll() {
        for (int i = 0; i < 10 && rig.Buffer().SendBufferCount() > 0; ++i) Answer();
    }
};

TEST_F(ReceiverTest, StartUpWithoutSettingsFileOrDatabase) {
    Create();
    EXPECT_TRUE(rig.StartUpDone());
    const Lines expected = {
        "Application started..",
        "No DB find. Creating new database ..",
        "New database created",
        "Connecting to existing database .. ",
        "Connected to database",
        "UDP Server Listen Port 33665",
        "Add Ping",
    };
    EXPECT_EQ(expected, rig.AllFileMessages());
    EXPECT_EQ(std::vector<std::uint16_t>{33665}, rig.udp.opened);
    EXPECT_TRUE(rig.serial.openCalls.empty());  // closed until a port is stored
    EXPECT_EQ("08.12.2026 10:30:00 ", rig.view.appStarted);
    EXPECT_EQ(std::vector<int>{0}, rig.view.pages);
    EXPECT_EQ(400000u, rig.dir.Read("RAZUDovuve.db").size());
    EXPECT_TRUE(rig.SupervisionTimer().IsActive());
    EXPECT_TRUE(rig.HeartbeatTimer().IsActive());
    EXPECT_EQ(30000, rig.HeartbeatTimer().Interval());
    EXPECT_TRUE(rig.Buffer().RetransmitTimer().IsActive());
    // The heartbeat waits in the buffer: the serial port is closed.
    EXPECT_EQ(1, rig.Buffer().SendBufferCount());
}

// One alarm through the whole core: answered, queued, transmitted on the
// serial line once the port is open, removed by the monitoring software's
// answer, and recorded in the database file.
TEST_F(ReceiverTest, AlarmTravelsFromDatagramToTheSerialLine) {
    rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
    Create();
    EXPECT_TRUE(rig.serial.writes.empty());  // the port's quiet time after its open
    rig.clock.Advance(SerialChannel::kQuietMs);
    ASSERT_FALSE(rig.serial.writes.empty());
    EXPECT_EQ("1077           @    \x14", Written(rig.serial.writes[0]));
    AnswerAll();  // the start-up heartbeats

    rig.clock.Advance(4000);
    const std::size_t writes = rig.serial.writes.size();
    rig.Receive(kEvent);
    ASSERT_EQ(1u, rig.udp.sent.size());
    EXPECT_EQ(frame::kAck, rig.udp.sent[0].data[0]);
    ASSERT_EQ(writes + 1, rig.serial.writes.size());
    EXPECT_EQ(kEventLine + "\x14", Written(rig.serial.writes.back()));
    EXPECT_EQ(1, rig.Buffer().SendBufferCount());
    Answer();
    EXPECT_EQ(0, rig.Buffer().SendBufferCount());

    const UnitRecord& u = r->Units().Unit(123);
    EXPECT_TRUE(u.used);
    EXPECT_EQ("10.0.0.5", u.address);
    EXPECT_EQ("1234", u.account);
    const std::string db = rig.dir.Read("RAZUDovuve.db");
    EXPECT_EQ("1234", db.substr(123 * 40 + 30, 4));
}

TEST_F(ReceiverTest, WrongSizeDatabaseRunsWithoutReceiving) {
    rig.dir.Write("RAZUDovuve.db", std::string(399999, '\0'));
    rig.dir.Write("RAZUDovuve.ini", "40000\r\nCOM7\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
    Create();
    EXPECT_TRUE(rig.StartUpDone());
    EXPECT_TRUE(rig.udp.opened.empty());
    EXPECT_FALSE(rig.SupervisionTimer().IsActive());
    const std::string errors = rig.dir.Read("Log/Errors.log");
    EXPECT_NE(std::string::npos,
              errors.find(" - ERROR!! Database size is invalid. Please repair or delete database "
                          "(RAZUDovuve.db) and launch the application again\r\n"));
    EXPECT_NE(std::string::npos,
              errors.find(" - ERROR connecting to DB. Application will not run.\r\n"));
    EXPECT_EQ(399999u, rig.dir.Read("RAZUDovuve.db").size());
    // The heartbeat applied from the settings file still runs.
    EXPECT_TRUE(rig.HeartbeatTimer().IsActive());
    rig.clock.Advance(60000 * 10);
    EXPECT_TRUE(rig.udp.opened.empty());
}

TEST_F(ReceiverTest, EscapingStartUpErrorShowsMessageAndTerminates) {
    rig.view.failSetAppStarted = true;
    r = &rig.Create(false);
    EXPECT_FALSE(r->Start());
    EXPECT_FALSE(rig.StartUpDone());
    ASSERT_EQ(1u, rig.dialogs.shown.size());
    EXPECT_EQ("M:Error in proc TForm1.FormCreate: label gone", rig.dialogs.shown[0]);
    EXPECT_TRUE(rig.view.terminated);
    EXPECT_TRUE(rig.udp.opened.empty());
}

// A regular file where the Log folder belongs: no log file can be written.
// The alarm path does all its work all the same, the outage is told once
// per file, and logging resumes by itself once the folder can be made.
TEST_F(ReceiverTest, UnwritableLogsStopNoWork) {
    rig.dir.Write("Log", "a file where the log folder belongs");
    rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n1\r\n0\r\n0\r\n0\r\n30\r\n");
    testing::internal::CaptureStderr();
    Create();
    EXPECT_TRUE(rig.StartUpDone());
    AnswerAll();  // the start-up heartbeats

    // A datagram: answered, its record complete in memory and in the file,
    // its alarm line queued and sent.
    rig.clock.Advance(4000);
    rig.Receive(kEvent);
    ASSERT_EQ(1u, rig.udp.sent.size());
    EXPECT_EQ(kEventLine + "\x14", Written(rig.serial.writes.back()));
    const UnitRecord& u = r->Units().Unit(123);
    EXPECT_EQ("10.0.0.5", u.address);
    EXPECT_EQ(4000, u.port);
    EXPECT_EQ("1234", u.account);
    EXPECT_NE(0, u.lastMessage);
    const std::string db = rig.dir.Read("RAZUDovuve.db");
    EXPECT_NE(std::string(40, '\0'), db.substr(123 * 40, 40));
    EXPECT_EQ("1234", db.substr(123 * 40 + 30, 4));
    Answer();

    // The heartbeat is queued and sent although "Add Ping" cannot be filed.
    const std::size_t writes = rig.serial.writes.size();
    rig.Supervisor().AddPing();
    ASSERT_EQ(writes + 1, rig.serial.writes.size());
    EXPECT_EQ("1077           @    \x14", Written(rig.serial.writes.back()));
    Answer();

    // A second unit, then a supervision pass past the threshold: both are due
    // and both are reported.
    Bytes other(kEvent.begin(), kEvent.end() - 1);
    other[4] = 0x04;  // unit 0124
    other = AppendCrc(other);
    rig.Receive(other);
    rig.clock.Advance(2 * 60000);
    rig.Supervisor().CheckCommSt();
    EXPECT_EQ(0b001, r->Units().Unit(123).troubleStagesSent);
    EXPECT_EQ(0b001, r->Units().Unit(124).troubleStagesSent);

    // Told once per file that failed, not once per entry.
    const std::string told = testing::internal::GetCapturedStderr();
    std::size_t count = 0;
    for (std::size_t at = told.find("Log entry not written: "); at != std::string::npos;
         at = told.find("Log entry not written: ", at + 1))
        ++count;
    EXPECT_EQ(3u, count) << told;  // the All, Imp and Errors files
    std::size_t reports = 0;
    for (const std::string& line : rig.memoErr.lines)
        if (line.find("ERR in AddMsg, Error Msg: Cannot create folder ") != std::string::npos)
            ++reports;
    EXPECT_EQ(3u, reports);
    EXPECT_TRUE(rig.LedErr().IsBlinking());

    // The folder can be made again: the next entry reaches its file.
    std::filesystem::remove(rig.dir.Path() + "Log");
    r->Logs().all.AddMsg("back");
    EXPECT_EQ(Lines{"back"}, rig.AllFileMessages());
}

TEST_F(ReceiverTest, CloseQuestionDependsOnWaitingLines) {
    Create();
    // One heartbeat waiting counts as empty.
    rig.dialogs.confirmAnswers = {false};
    EXPECT_FALSE(r->ConfirmClose());
    EXPECT_EQ("Q:Close application?", rig.dialogs.shown.back());

    rig.Buffer().AddHeartbeat();
    rig.dialogs.confirmAnswers = {false};
    EXPECT_FALSE(r->ConfirmClose());
    EXPECT_EQ(
        "Q:There are 2 unsent messages in Internal Buffer.\r\nThey are kept and will be sent "
        "when the application starts again.\r\nDo you still want to close the application?",
        rig.dialogs.shown.back());
    EXPECT_EQ(std::string::npos,
              rig.dir.Read("Log/All msg/2026-12-08.log").find("Application closed"));

    rig.dialogs.confirmAnswers = {true};
    EXPECT_TRUE(r->ConfirmClose());
    EXPECT_NE(std::string::npos,
              rig.dir.Read("Log/All msg/2026-12-08.log").find(" - Application closed\r\n\r\n"));
}

// A stop (SIGTERM) while the close question is open closes once: the
// question then closes without logging again, the UDP endpoint is closed
// and the waiting alarm line stays in the journal.
TEST_F(ReceiverTest, StopWhileTheCloseQuestionIsOpenClosesOnce) {
    Create();
    rig.Receive(kEvent);
    rig.dialogs.whileOpen = [&] { r->Stop(); };
    EXPECT_TRUE(r->ConfirmClose());
    EXPECT_EQ(nullptr, rig.Processor().UdpEndpoint());
    const Lines all = rig.All();
    EXPECT_EQ(1, std::count(all.begin(), all.end(), "Application closed"));
    EXPECT_NE(std::string::npos, rig.dir.Read("RAZUDovuve.journal").find(kEventLine));
}

// An "@" a unit puts into its account makes no heartbeat of its alarm: the
// line gets its ">> " entry and the close question counts it.
TEST_F(ReceiverTest, AnAlarmWithAnAtSignIsNoHeartbeat) {
    rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
    Create();
    AnswerAll();  // the start-up heartbeats
    rig.clock.Advance(4000);
    Bytes event(kEvent.begin(), kEvent.end() - 1);
    event[16] = '@';  // account "12@4"
    rig.Receive(AppendCrc(event));
    EXPECT_EQ("5077 1812@4E13001005\x14", Written(rig.serial.writes.back()));
    const Lines all = rig.AllFileMessages();
    EXPECT_NE(all.end(), std::find(all.begin(), all.end(), ">> 5077 1812@4E13001005"));

    rig.dialogs.confirmAnswers = {false};
    EXPECT_FALSE(r->ConfirmClose());
    EXPECT_EQ(
        "Q:There are 1 unsent messages in Internal Buffer.\r\nThey are kept and will be sent "
        "when the application starts again.\r\nDo you still want to close the application?",
        rig.dialogs.shown.back());
}

// The lines the last run left waiting go back into the buffer after the
// database is loaded and before the UDP port opens, and go out in their
// order; also when the database cannot be used.
TEST_F(ReceiverTest, StartUpRestoresTheLinesTheLastRunLeftWaiting) {
    for (const bool usableDb : {true, false}) {
        SCOPED_TRACE(usableDb ? "database" : "no usable database");
        ReceiverRig local;
        const std::string l1 = "5077 181234E13001005";
        const std::string l2 = "5077 185555R35000000";
        {
            TestLogChannels logs(local.clock, local.clock);
            SendJournal last(MakeJournalFile(local.dir.Path() + "RAZUDovuve.journal"), local.clock,
                             logs.Channels());
            last.Restore();
            last.Add(l1);
            last.Add(l2);
        }
        if (!usableDb)
            local.dir.Write("RAZUDovuve.db", std::string(10, '\0'));
        local.dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
        local.Create();

        const Lines all = local.AllFileMessages();
        const auto at = [&](const std::string& m) { return std::find(all.begin(), all.end(), m); };
        ASSERT_NE(all.end(), at("Restored: " + l1)) << ::testing::PrintToString(all);
        EXPECT_EQ("Restored: " + l2, *(at("Restored: " + l1) + 1));
        EXPECT_LT(at("Connecting to existing database .. "), at("Restored: " + l1));
        if (usableDb) {
            EXPECT_LT(at("Restored: " + l2), at("UDP Server Listen Port 33665"));
        }
        EXPECT_EQ(Lines{"Send buffer restored: 2 line(s) waiting from the last run"},
                  local.FileMessages("Log/Imp_msg.log"));

        // The monitoring software answers: after the heartbeat, the lines.
        std::vector<std::string> sent;
        for (int i = 0; i < 40 && local.Buffer().SendBufferCount() > 0; ++i) {
            local.serial.Receive({0x06});
            local.clock.Advance(1000);
        }
        for (const Bytes& w : local.serial.writes) {
            const std::string text = Written(w);
            if (sent.empty() || sent.back() != text)
                sent.push_back(text);
        }
        EXPECT_EQ((Lines{"1077           @    \x14", l1 + "\x14", l2 + "\x14"}),
                  Lines(sent.begin(), sent.end()));
    }
}

TEST_F(ReceiverTest, HousekeepingClearsAllMsgMemoAbove1000Lines) {
    Create();
    EXPECT_TRUE(rig.HousekeepingTimer().IsActive());
    EXPECT_EQ(300000, rig.HousekeepingTimer().Interval());
    struct Case {
        int lines;
        bool cleared;
    };
    for (const Case c : {Case{1000, false}, Case{1001, true}}) {
        rig.memoAll.Clear();
        for (int i = 0; i < c.lines; ++i) rig.memoAll.Append("x");
        rig.memoImp.Append("kept");
        rig.Housekeeping();
        if (c.cleared) {
            EXPECT_EQ(Lines{" Automatically cleared ..\r\n"}, rig.memoAll.entries);
        } else {
            EXPECT_EQ(1000, rig.memoAll.LineCount());
        }
        EXPECT_FALSE(rig.memoImp.lines.empty());
    }
    // Housekeeping writes no log file entry.
    EXPECT_EQ(std::string::npos, rig.dir.Read("Log/All msg/2026-12-08.log").find("Automatically"));
}

TEST_F(ReceiverTest, FiveMinuteTickWarnsOfLowDiskSpaceOnImpMsgOncePerCrossing) {
    Create();
    const std::string dir = rig.dir.Path();
    const std::string where = " on the disk holding " + dir + "Log and " + dir + "RAZUDovuve.db";
    const std::string low = "!! Low disk space: 800.0 MiB free of 40.0 GiB" + where;
    const std::string back = "Disk space is back: 5.0 GiB free of 40.0 GiB" + where;
    rig.disk.space = {std::uint64_t{800} << 20, std::uint64_t{40} << 30, 1};

    rig.clock.Advance(300000);
    EXPECT_GT(rig.disk.queries, 0);
    ASSERT_EQ(1u, rig.memoImp.lines.size());
    EXPECT_EQ(low, rig.memoImp.lines[0].substr(22));
    EXPECT_TRUE(rig.LedImp().IsBlinking());
    EXPECT_EQ(Lines{dir + "Wav/impmsg.wav"}, rig.sound.played);
    EXPECT_NE(std::string::npos, rig.dir.Read("Log/Imp_msg.log").find(" - " + low + "\r\n"));

    rig.clock.Advance(300000);  // still low: no second warning
    EXPECT_EQ(1u, rig.memoImp.lines.size());

    rig.disk.space.freeBytes = std::uint64_t{5} << 30;
    rig.clock.Advance(300000);
    ASSERT_EQ(2u, rig.memoImp.lines.size());
    EXPECT_EQ(back, rig.memoImp.lines[1].substr(22));
    EXPECT_EQ(2u, rig.sound.played.size());
}

TEST_F(ReceiverTest, TabsStopTheirLeds) {
    Create();
    r->Logs().imp.AddMsg("important");
    r->Logs().err.AddMsg("error");
    EXPECT_TRUE(rig.LedImp().IsBlinking());
    EXPECT_TRUE(rig.LedErr().IsBlinking());
    r->ImportantMessagesShown();
    EXPECT_FALSE(rig.LedImp().IsBlinking());
    EXPECT_TRUE(rig.LedErr().IsBlinking());
    r->ErrorsShown();
    EXPECT_FALSE(rig.LedErr().IsBlinking());
    // The next entry starts it again, also while its tab is shown.
    r->Logs().imp.AddMsg("again");
    EXPECT_TRUE(rig.LedImp().IsBlinking());
    const int scrolls = rig.memoAll.scrolls;
    r->AllMessagesShown();
    EXPECT_EQ(scrolls + 1, rig.memoAll.scrolls);
}

// The top panel's counters: every datagram read, those accepted, the alarms,
// the lines delivered and those waiting, and the output in use.
TEST_F(ReceiverTest, CountersCountWhatHappened) {
    rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
    Create();
    AnswerAll();
    const ReceiverCounters before = r->Counters();
    EXPECT_EQ("Serial COM3", before.output);
    EXPECT_EQ(0, before.sendBuffer);
    rig.Receive(kEvent);
    rig.Receive({0x01, 0x02});
    ReceiverCounters c = r->Counters();
    EXPECT_EQ(2u, c.packsReceived);
    EXPECT_EQ(1u, c.elementsReceived);
    EXPECT_EQ(1u, c.messagesReceived);
    EXPECT_EQ(1, c.sendBuffer);
    Answer();
    c = r->Counters();
    EXPECT_EQ(before.messagesSent + 1, c.messagesSent);
    EXPECT_EQ(0, c.sendBuffer);
    rig.Serial().SerialClose();
    EXPECT_EQ("none", r->Counters().output);
}

}  // namespace
