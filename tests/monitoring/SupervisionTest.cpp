#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/FakeLineOutput.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/MonitoringLines.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/Supervision.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

using namespace korvan;

namespace {

constexpr std::int64_t kMinute = 60000;

// A database whose every write fails.
class ThrowingStore : public IUnitStore {
public:
    void WriteUnitField(int, int, const Bytes&) override { throw std::runtime_error("disk gone"); }
};

class SupervisionTest : public ::testing::Test {
protected:
    SupervisionTest()
        : link(sched),
          logs(sched, sched),
          buffer(link, sched, sched, logs.Channels()),
          registry(logs.Channels(), table),
          sup(registry, buffer, settings, sched, logs.Channels()) {
        sup.SetAppStartMono(sched.MonotonicMs());
    }

    // A known unit whose last datagram came `silentMs` ago.
    void AddUnit(int nr, const std::string& account, std::int64_t silentMs, std::uint8_t sent = 0) {
        UnitRecord& u = registry.Unit(nr);
        u.used = true;
        u.account = account;
        u.lastMessageMonoMs = sched.MonotonicMs() - silentMs;
        u.lastMessage = sched.Now() - static_cast<double>(silentMs) / kMsPerDay;
        u.troubleStagesSent = sent;
    }

    std::vector<std::string> Lines() const { return buffer.Lines(); }
    std::vector<std::string> AllTexts() const { return logs.All(); }
    std::vector<std::string> ErrTexts() const { return logs.Err(); }

    FakeScheduler sched;
    FakeLineOutput link;
    TestLogChannels logs;
    SendBuffer buffer;
    UnitTable table;
    Registry registry;
    WorkingSettings settings;
    Supervision sup;
};

struct DelayCase {
    std::int64_t elapsedMs;
    bool checks;
};

void PrintTo(const DelayCase& c, std::ostream* os) {
    *os << c.elapsedMs << " ms, " << (c.checks ? "checks" : "no checks");
}

class StartUpDelayTest : public SupervisionTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(StartUpDelayTest, DefaultSevenMinutesChecksFrom410Seconds) {
    AddUnit(5, "1234", 300 * kMinute);
    sched.Advance(GetParam().elapsedMs);
    sup.CheckCommSt();
    EXPECT_EQ(GetParam().checks ? 3 : 0, buffer.SendBufferCount());
    EXPECT_EQ(GetParam().checks ? 7 : 0, registry.Unit(5).troubleStagesSent);
}

INSTANTIATE_TEST_SUITE_P(Elapsed, StartUpDelayTest,
                         ::testing::Values(DelayCase{0, false}, DelayCase{400'000, false},
                                           DelayCase{409'999, false}, DelayCase{410'000, true},
                                           DelayCase{420'000, true}),
                         [](const ::testing::TestParamInfo<DelayCase>& p) {
                             return "After" + std::to_string(p.param.elapsedMs) + "Ms";
                         });

TEST_F(SupervisionTest, NoDelayChecksAtFirstTick) {
    settings.CommTroubleStartUpDelay = 0;
    AddUnit(5, "1234", 20 * kMinute);
    sup.CheckCommSt();
    EXPECT_EQ((std::vector<std::string>{"5077 181234E35000001"}), Lines());
}

TEST_F(SupervisionTest, LongSilenceGivesAllStagesInOnePassInOrder) {
    settings.CommTroubleStartUpDelay = 0;
    AddUnit(5, "1234", 300 * kMinute);
    sup.CheckCommSt();

    EXPECT_EQ((std::vector<std::string>{"5077 181234E35000001", "5077 181234E35000002",
                                        "5077 181234E35000003"}),
              Lines());
    EXPECT_TRUE(link.writes.empty());  // only queued
    EXPECT_EQ(7, registry.Unit(5).troubleStagesSent);
    const std::string stamp = "2026.12.08 10:30:00 - ";
    EXPECT_EQ((std::vector<std::string>{
                  "", stamp + "[Unit 0005] [Account 1234] - CommTrouble1 (15 min. No Ping)", "",
                  stamp + "[Unit 0005] [Account 1234] - CommTrouble2 (60 min. No Ping)", "",
                  stamp + "[Unit 0005] [Account 1234] - CommTrouble3 (240 min. No Ping)"}),
              logs.allMemo.lines);
    EXPECT_EQ("\r\n" + stamp +
                  "[Unit 0005] [Account 1234] - CommTrouble1 (15 min. No Ping)\r\n"
                  "\r\n" +
                  stamp +
                  "[Unit 0005] [Account 1234] - CommTrouble2 (60 min. No Ping)\r\n"
                  "\r\n" +
                  stamp + "[Unit 0005] [Account 1234] - CommTrouble3 (240 min. No Ping)\r\n",
              logs.dir.Read("Log/All msg/2026-12-08.log"));

    // Each stage is reported once.
    sched.Advance(kMinute);
    sup.CheckCommSt();
    EXPECT_EQ(3, buffer.SendBufferCount());
}

TEST_F(SupervisionTest, UnitsAreVisitedInAscendingOrder) {
    settings.CommTroubleStartUpDelay = 0;
    AddUnit(9999, "0009", 20 * kMinute);
    AddUnit(0, "0000", 70 * kMinute);
    AddUnit(42, "0042", 16 * kMinute);
    sup.CheckCommSt();
    EXPECT_EQ((std::vector<std::string>{"5077 180000E35000001", "5077 180000E35000002",
                                        "5077 180042E35000001", "5077 180009E35000001"}),
              Lines());
    EXPECT_EQ("[Unit 9999] [Account 0009] - CommTrouble1 (15 min. No Ping)", AllTexts().back());
}

TEST_F(SupervisionTest, StageIsDueAtItsThresholdNotBefore) {
    settings.CommTroubleStartUpDelay = 0;
    AddUnit(5, "1234", 14 * kMinute + 59'000);
    sup.CheckCommSt();
    EXPECT_EQ(0, buffer.SendBufferCount());
    EXPECT_TRUE(logs.allMemo.lines.empty());

    sched.Advance(kMinute);  // 15:59 of silence
    sup.CheckCommSt();
    EXPECT_EQ((std::vector<std::string>{"5077 181234E35000001"}), Lines());
    EXPECT_EQ(1, registry.Unit(5).troubleStagesSent);
}

struct StageCase {
    std::int32_t t1, t2, t3;
    std::uint8_t sentBefore;
    std::vector<std::string> zones;
    std::uint8_t sentAfter;
};

TEST_F(SupervisionTest, ThresholdsAndReportedStagesDecideWhichStagesFollow) {
    settings.CommTroubleStartUpDelay = 0;
    const StageCase cases[] = {
        {15, 60, 240, 0, {"001", "002", "003"}, 7},
        {15, 0, 240, 0, {"001", "003"}, 5},
        {0, 0, 0, 0, {}, 0},
        {15, 60, 240, 2, {"001", "003"}, 7},
        {15, 60, 240, 7, {}, 7},              // all reported: skipped
        {400, 60, 10, 0, {"002", "003"}, 6},  // no order among thresholds
    };
    int nr = 100;
    for (const auto& c : cases) {
        settings.CommTrouble1 = c.t1;
        settings.CommTrouble2 = c.t2;
        settings.CommTrouble3 = c.t3;
        AddUnit(nr, "1234", 300 * kMinute, c.sentBefore);
        const int before = buffer.SendBufferCount();
        sup.CheckCommSt();
        std::vector<std::string> zones;
        for (int i = before; i < buffer.SendBufferCount(); ++i) {
            zones.push_back(buffer.Lines()[static_cast<std::size_t>(i)].substr(17));
        }
        EXPECT_EQ(c.zones, zones) << nr;
        EXPECT_EQ(c.sentAfter, registry.Unit(nr).troubleStagesSent) << nr;
        registry.Unit(nr).used = false;
        ++nr;
    }
}

TEST_F(SupervisionTest, UnusableAccountsReportAsFFFF) {
    settings.CommTroubleStartUpDelay = 0;
    settings.CommTrouble2 = 0;
    settings.CommTrouble3 = 0;
    AddUnit(1, "", 20 * kMinute);
    AddUnit(2, "12B4", 20 * kMinute);
    AddUnit(3, "123", 20 * kMinute);
    AddUnit(4, "-123", 20 * kMinute);
    sup.CheckCommSt();
    EXPECT_EQ(std::vector<std::string>(4, "5077 18FFFFE35000001"), Lines());
    EXPECT_EQ("[Unit 0002] [Account FFFF] - CommTrouble1 (15 min. No Ping)", AllTexts()[3]);
}

TEST_F(SupervisionTest, RestoreNeedsFourCharactersNotFourDigits) {
    AddUnit(1, "", 0, 7);
    AddUnit(2, "12B4", 0, 3);
    AddUnit(3, "123", 0, 1);
    sup.Send_CommRestore_ifNeed(1);
    sup.Send_CommRestore_ifNeed(2);
    sup.Send_CommRestore_ifNeed(3);
    EXPECT_EQ((std::vector<std::string>{"5077 1812B4R35000000"}), Lines());
    EXPECT_EQ((std::vector<std::string>{"[Unit 0002] [Account 12B4] - CommRestore"}), AllTexts());
    EXPECT_EQ(7, registry.Unit(1).troubleStagesSent);
    EXPECT_EQ(0, registry.Unit(2).troubleStagesSent);
    EXPECT_EQ(1, registry.Unit(3).troubleStagesSent);

    // An event datagram brings a 4-character account before the call.
    registry.Unit(1).account = "0123";
    sup.Send_CommRestore_ifNeed(1);
    EXPECT_EQ("5077 180123R35000000", Lines().back());
    EXPECT_EQ("[Unit 0001] [Account 0123] - CommRestore", AllTexts().back());
    EXPECT_EQ(0, registry.Unit(1).troubleStagesSent);
    EXPECT_TRUE(link.writes.empty());  // only queued
}

TEST_F(SupervisionTest, NoRestoreWithoutReportedStage) {
    AddUnit(7, "0123", 0, 0);
    sup.Send_CommRestore_ifNeed(7);
    EXPECT_EQ(0, buffer.SendBufferCount());
    EXPECT_TRUE(logs.allMemo.lines.empty());
}

TEST_F(SupervisionTest, RestoreMakesUnitControlBytesPrintable) {
    AddUnit(8, std::string("1\r3\x14", 4), 0, 1);
    sup.Send_CommRestore_ifNeed(8);
    EXPECT_EQ("5077 181?3?R35000000", Lines().back());
    EXPECT_EQ("[Unit 0008] [Account 1?3?] - CommRestore", AllTexts().back());
}

TEST_F(SupervisionTest, WallClockJumpRaisesNoTrouble) {
    settings.CommTroubleStartUpDelay = 0;
    AddUnit(5, "1234", 0);
    sched.SetWall(sched.Now() + 1.0 / 24);
    sup.CheckCommSt();
    sched.SetWall(sched.Now() + 1.0);
    sup.CheckCommSt();
    EXPECT_EQ(0, buffer.SendBufferCount());

    // Setting the clock back hides no silence either.
    sched.Advance(16 * kMinute);
    sched.SetWall(sched.Now() - 2.0);
    sup.CheckCommSt();
    EXPECT_EQ((std::vector<std::string>{"5077 181234E35000001"}), Lines());
}

TEST_F(SupervisionTest, StartUpDelayCountsElapsedTimeNotWallClock) {
    AddUnit(5, "1234", 300 * kMinute);
    sched.SetWall(sched.Now() + 1.0);
    sched.Advance(60'000);
    sup.CheckCommSt();
    EXPECT_EQ(0, buffer.SendBufferCount());
}

struct PingCase {
    std::int32_t interval;
    int waiting;
    bool added;
};

TEST_F(SupervisionTest, AddPingOnlyWhileFewerThanThreeLinesWait) {
    link.open = false;
    const PingCase cases[] = {
        {0, 0, false}, {30, 3, false}, {30, 2, true}, {5, 0, true}, {30, 4, false}};
    for (const auto& c : cases) {
        SendBuffer local(link, sched, sched, logs.Channels());
        Supervision s(registry, local, settings, sched, logs.Channels());
        settings.PingInterval = c.interval;
        for (int i = 0; i < c.waiting; ++i) local.QueueLine("5077 181234E13001005");
        logs.allMemo.Clear();
        s.AddPing();
        EXPECT_EQ(c.waiting + (c.added ? 1 : 0), local.SendBufferCount())
            << c.interval << "/" << c.waiting;
        if (c.added) {
            EXPECT_EQ(HeartbeatLine, local.Lines().back());
            EXPECT_EQ((std::vector<std::string>{"Add Ping"}), AllTexts());
        } else {
            EXPECT_TRUE(logs.allMemo.lines.empty());
        }
    }
    EXPECT_TRUE(link.writes.empty());
}

TEST_F(SupervisionTest, HeartbeatIsWrittenAtOnceOnIdleLink) {
    sup.AddPing();
    ASSERT_EQ(1u, link.writes.size());
    Bytes expected = ToBytes("1077           @    ");
    expected.push_back(0x14);
    EXPECT_EQ(expected, link.writes[0]);
    EXPECT_EQ((std::vector<std::string>{"Add Ping"}), AllTexts());
}

// A database that refuses the trouble flags costs no trouble line: the flag
// is set in memory and its line queued, the failure reported, and the pass
// goes on to the next unit. Flag and line agree, so no stage is reported
// twice.
TEST_F(SupervisionTest, DatabaseRefusingTheFlagCostsNoTroubleLine) {
    settings.CommTroubleStartUpDelay = 0;
    ThrowingStore store;
    registry.SetStore(&store);
    AddUnit(3, "0003", 20 * kMinute);
    AddUnit(5, "0005", 20 * kMinute);
    sup.CheckCommSt();
    EXPECT_EQ((std::vector<std::string>{"5077 180003E35000001", "5077 180005E35000001"}), Lines());
    EXPECT_EQ(1, registry.Unit(3).troubleStagesSent);
    EXPECT_EQ(1, registry.Unit(5).troubleStagesSent);
    const std::string err = "ERR in CheckCommSt, Error Msg: disk gone";
    EXPECT_EQ((std::vector<std::string>{err, err}), ErrTexts());
    // Line and log entry first, then the report.
    EXPECT_EQ((std::vector<std::string>{
                  "", "[Unit 0003] [Account 0003] - CommTrouble1 (15 min. No Ping)", err, "",
                  "[Unit 0005] [Account 0005] - CommTrouble1 (15 min. No Ping)", err}),
              AllTexts());
    EXPECT_TRUE(registry.OwesFile(3));

    sched.Advance(kMinute);
    sup.CheckCommSt();
    EXPECT_EQ(2, buffer.SendBufferCount());
    EXPECT_EQ(2u, ErrTexts().size());
}

// The same for the restore: the unit is heard, so its restore goes out
// whatever the file does.
TEST_F(SupervisionTest, DatabaseRefusingTheClearedFlagCostsNoRestoreLine) {
    ThrowingStore store;
    registry.SetStore(&store);
    AddUnit(3, "0003", 0, 5);
    sup.Send_CommRestore_ifNeed(3);
    EXPECT_EQ((std::vector<std::string>{"5077 180003R35000000"}), Lines());
    EXPECT_EQ(0, registry.Unit(3).troubleStagesSent);
    EXPECT_EQ((std::vector<std::string>{"[Unit 0003] [Account 0003] - CommRestore",
                                        "ERR in Send_CommRestore_ifNeed, Error Msg: disk gone"}),
              AllTexts());
    EXPECT_EQ((std::vector<std::string>{"ERR in Send_CommRestore_ifNeed, Error Msg: disk gone"}),
              ErrTexts());
    // Heard again: the restore was sent, nothing follows.
    sup.Send_CommRestore_ifNeed(3);
    EXPECT_EQ(1, buffer.SendBufferCount());
}

TEST_F(SupervisionTest, RestoreFailureIsReported) {
    sup.Send_CommRestore_ifNeed(10000);  // no such slot
    ASSERT_EQ(1u, ErrTexts().size());
    EXPECT_EQ(0u, ErrTexts()[0].rfind("ERR in Send_CommRestore_ifNeed, Error Msg: ", 0));
    EXPECT_EQ(0, buffer.SendBufferCount());
}

TEST_F(SupervisionTest, NoSuchStageIsRefusedBeforeAnythingHappens) {
    AddUnit(3, "0003", 20 * kMinute);
    EXPECT_THROW(sup.IssueCommTrouble(3, "0003", 4, 15), std::out_of_range);
    EXPECT_EQ(0, buffer.SendBufferCount());
    EXPECT_EQ(0, registry.Unit(3).troubleStagesSent);
}

}  // namespace
