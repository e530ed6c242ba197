#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "fakes/FakeScheduler.h"
#include "fakes/FakeUnitStore.h"
#include "fakes/TestLogChannels.h"
#include "registry/UnitDb.h"
#include "registry/Units.h"

using namespace korvan;

namespace {

using W = FakeUnitStore::Write;

// 2026-12-08 10:30:00, 850041000 seconds after 2000-01-01.
constexpr TDateTime kNow = 46364.4375;
const Bytes kNowBytes{0xA8, 0x98, 0xAA, 0x32};

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() { registry->SetStore(&store); }

    // The calls of message processing for one accepted datagram of unit `nr`.
    void Receive(int nr, UnitMessage msg) {
        msg.oldAccount = registry->Unit(nr).account;
        if (!msg.msgAccount.empty())
            registry->SetAccountFromMsg(nr, msg.msgAccount);
        registry->UpdateUnitOnMessage(nr, msg);
    }

    static UnitMessage Msg(const std::string& unitText, TDateTime now, const std::string& ip,
                           int port) {
        UnitMessage m;
        m.unitText = unitText;
        m.now = now;
        m.nowMonoMs = 5'000'000;
        m.senderIP = ip;
        m.senderPort = port;
        return m;
    }

    // A known unit 12 with IMEI, firmware and account, and clean logs and writes.
    void MakeKnownUnit12() {
        UnitMessage m = Msg("0012", kNow, "10.0.0.5", 5000);
        m.imei = "352099001761481";
        m.fwRaw = std::string("\x01\x02\x0F", 3);
        m.fwText = "1.2.15";
        m.msgAccount = "1234";
        Receive(12, m);
        store.writes.clear();
        ch.impMemo.Clear();
        ch.allMemo.Clear();
    }

    FakeScheduler clock{kNow};
    TestLogChannels ch{clock, clock};
    UnitTable table;
    std::unique_ptr<Registry> registry = std::make_unique<Registry>(ch.Channels(), table);
    FakeUnitStore store;
};

TEST_F(RegistryTest, StartsWithTenThousandFreeSlots) {
    EXPECT_FALSE(registry->IsUnitKnown(0));
    EXPECT_FALSE(registry->IsUnitKnown(9999));
    EXPECT_THROW(registry->Unit(10000), std::out_of_range);
    EXPECT_EQ("", registry->Unit(9999).address);
    EXPECT_EQ(0.0, registry->Unit(9999).lastMessage);
}

TEST_F(RegistryTest, FirstAlarmMessageLogsAndWritesInOrder) {
    UnitMessage m = Msg("0012", kNow, "10.0.0.5", 40001);
    m.msgAccount = "1234";
    Receive(12, m);

    EXPECT_EQ((std::vector<std::string>{
                  "0012 FIRST MSG",
                  "[Unit 0012] [Account 1234] Changed IP: [] -> [10.0.0.5]",
                  "[Unit 0012] Changed Account: [] -> [1234]",
              }),
              ch.Imp());
    EXPECT_EQ((std::vector<W>{
                  {12, 0, {0x01}},
                  {12, 19, kNowBytes},
                  {12, 13, {0x05, 0x00, 0x00, 0x0A}},
                  {12, 17, {0x41, 0x9C}},
                  {12, 23, kNowBytes},
                  {12, 30, {'1', '2', '3', '4'}},
              }),
              store.writes);

    const UnitRecord& u = registry->Unit(12);
    EXPECT_TRUE(u.used);
    EXPECT_EQ(kNow, u.firstMessage);
    EXPECT_EQ(kNow, u.lastMessage);
    EXPECT_EQ(5'000'000, u.lastMessageMonoMs);
    EXPECT_EQ("10.0.0.5", u.address);
    EXPECT_EQ(40001, u.port);
    EXPECT_EQ("0012  10.0.0.5:40001 08.12.2026 10:30:00 08.12.2026 10:30:00  1234", u.rowText);
    EXPECT_EQ(1, table.RowCount());
    EXPECT_EQ(12, table.RowAt(0));
}

TEST_F(RegistryTest, FirstPingMessageStoresImeiAndFirmware) {
    UnitMessage m = Msg("0007", kNow, "10.0.0.5", 5000);
    m.imei = "352099001761481";
    m.fwRaw = std::string("\x01\x02\x0F", 3);
    m.fwText = "1.2.15";
    Receive(7, m);

    EXPECT_EQ((std::vector<std::string>{
                  "0007 FIRST MSG",
                  "[Unit 0007] [Account ] Changed IP: [] -> [10.0.0.5]",
                  "[Unit 0007] [Account ] Changed Imei: [] -> [352099001761481]",
                  "[Unit 0007] [Account ] Changed fwVer: [] -> [1.2.15]",
              }),
              ch.Imp());
    EXPECT_EQ((std::vector<W>{
                  {7, 0, {0x01}},
                  {7, 19, kNowBytes},
                  {7, 13, {0x05, 0x00, 0x00, 0x0A}},
                  {7, 17, {0x88, 0x13}},
                  {7, 5, {0xC9, 0xFE, 0xEC, 0x6F, 0x3B, 0x40, 0x01, 0x00}},
                  {7, 23, kNowBytes},
                  {7, 27, {0x01, 0x02, 0x0F}},
              }),
              store.writes);
    EXPECT_EQ("0007 352099001761481 10.0.0.5:5000 08.12.2026 10:30:00 08.12.2026 10:30:00 1.2.15 ",
              registry->Unit(7).rowText);
}

TEST_F(RegistryTest, LaterMessagesLogAndWriteOnlyWhatChanged) {
    const TDateTime later = kNow + 61.0 / 86400.0;  // 10:31:01
    const Bytes laterBytes{0xE5, 0x98, 0xAA, 0x32};
    struct Case {
        const char* name;
        std::string ip;
        int port;
        std::string imei, fwRaw, fwText, account;
        std::vector<std::string> lines;
        std::vector<W> writes;
    };
    const Case cases[] = {
        {"nothing new", "10.0.0.5", 5000, "", "", "", "", {}, {{12, 23, laterBytes}}},
        {"equal values",
         "10.0.0.5",
         5000,
         "352099001761481",
         std::string("\x01\x02\x0F", 3),
         "1.2.15",
         "1234",
         {},
         {{12, 23, laterBytes}}},
        {"port only",
         "10.0.0.5",
         5001,
         "",
         "",
         "",
         "",
         {},
         {{12, 13, {0x05, 0x00, 0x00, 0x0A}}, {12, 17, {0x89, 0x13}}, {12, 23, laterBytes}}},
        {"new address",
         "192.168.1.20",
         5000,
         "",
         "",
         "",
         "",
         {"[Unit 0012] [Account 1234] Changed IP: [10.0.0.5] -> [192.168.1.20]"},
         {{12, 13, {20, 1, 168, 192}}, {12, 17, {0x88, 0x13}}, {12, 23, laterBytes}}},
        {"new IMEI",
         "10.0.0.5",
         5000,
         "000000000000001",
         "",
         "",
         "",
         {"[Unit 0012] [Account 1234] Changed Imei: [352099001761481] -> [000000000000001]"},
         {{12, 5, {1, 0, 0, 0, 0, 0, 0, 0}}, {12, 23, laterBytes}}},
        {"new firmware",
         "10.0.0.5",
         5000,
         "",
         std::string("\x01\x03\x00", 3),
         "1.3.0",
         "",
         {"[Unit 0012] [Account 1234] Changed fwVer: [1.2.15] -> [1.3.0]"},
         {{12, 23, laterBytes}, {12, 27, {1, 3, 0}}}},
        {"new account",
         "10.0.0.5",
         5000,
         "",
         "",
         "",
         "5678",
         {"[Unit 0012] Changed Account: [1234] -> [5678]"},
         {{12, 23, laterBytes}, {12, 30, {'5', '6', '7', '8'}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        registry = std::make_unique<Registry>(ch.Channels(), table);
        registry->SetStore(&store);
        table.Clear();
        MakeKnownUnit12();

        UnitMessage m = Msg("0012", later, c.ip, c.port);
        m.imei = c.imei;
        m.fwRaw = c.fwRaw;
        m.fwText = c.fwText;
        m.msgAccount = c.account;
        Receive(12, m);
        EXPECT_EQ(c.lines, ch.Imp());
        EXPECT_EQ(c.writes, store.writes);
        EXPECT_EQ(kNow, registry->Unit(12).firstMessage);
        EXPECT_EQ(later, registry->Unit(12).lastMessage);
        EXPECT_EQ(c.port, registry->Unit(12).port);
        EXPECT_EQ(1, table.RowCount());
    }
}

TEST_F(RegistryTest, RowTextFollowsEveryUpdate) {
    MakeKnownUnit12();
    UnitMessage m = Msg("0012", kNow + 1.0, "10.0.0.6", 7);
    Receive(12, m);
    EXPECT_EQ("0012 352099001761481 10.0.0.6:7 08.12.2026 10:30:00 09.12.2026 10:30:00 1.2.15 1234",
              registry->Unit(12).rowText);
}

TEST_F(RegistryTest, FindFirstFreeUnitNrNeverHandsOutSlotZero) {
    struct Case {
        std::vector<int> used;
        std::string expected;
    };
    std::vector<int> all;
    for (int nr = 1; nr <= 9999; ++nr) all.push_back(nr);
    const Case cases[] = {
        {{}, "0001"},        {{0}, "0001"}, {{1, 2, 3, 4}, "0005"},
        {{1, 2, 4}, "0003"}, {all, "9999"},  // all taken: a number in use
    };
    for (const auto& c : cases) {
        Registry r(ch.Channels(), table);
        for (int nr : c.used) r.Unit(nr).used = true;
        EXPECT_EQ(c.expected, r.FindFirstFreeUnitNr());
    }
}

TEST_F(RegistryTest, SlotZeroIsAUnitLikeAnyOther) {
    Receive(0, Msg("0000", kNow, "10.0.0.9", 1));
    EXPECT_TRUE(registry->IsUnitKnown(0));
    EXPECT_EQ("0000 FIRST MSG", ch.Imp().at(0));
    EXPECT_EQ(0, table.RowAt(0));
    EXPECT_EQ(0, store.writes.at(0).nr);
    EXPECT_EQ("0000  10.0.0.9:1 08.12.2026 10:30:00 08.12.2026 10:30:00  ",
              registry->Unit(0).rowText);
}

TEST_F(RegistryTest, DeletedUnitHeardAgainIsAFirstMessageAgain) {
    MakeKnownUnit12();
    Receive(3, Msg("0003", kNow, "10.0.0.3", 3));
    store.writes.clear();
    ch.impMemo.Clear();
    table.SetCurrent(table.Find(12));

    registry->DeleteUnit(12);
    EXPECT_FALSE(registry->IsUnitKnown(12));
    EXPECT_EQ("", registry->Unit(12).rowText);
    EXPECT_EQ("", registry->Unit(12).account);
    EXPECT_EQ(0.0, registry->Unit(12).firstMessage);
    EXPECT_EQ((std::vector<W>{{12, 0, Bytes(40, 0)}}), store.writes);
    EXPECT_EQ(-1, table.Find(12));
    EXPECT_EQ(1, table.RowCount());
    EXPECT_TRUE(ch.Imp().empty());  // deleting writes no log line

    const TDateTime later = kNow + 0.5;
    store.writes.clear();
    Receive(12, Msg("0012", later, "10.0.0.5", 5000));
    EXPECT_EQ((std::vector<std::string>{
                  "0012 FIRST MSG",
                  "[Unit 0012] [Account ] Changed IP: [] -> [10.0.0.5]",
              }),
              ch.Imp());
    EXPECT_EQ(later, registry->Unit(12).firstMessage);
    EXPECT_EQ(1, table.Find(12));
    EXPECT_EQ((W{12, 0, {1}}), store.writes.at(0));
}

TEST_F(RegistryTest, DeleteOutsideTheSlotsDoesNothing) {
    MakeKnownUnit12();
    registry->DeleteUnit(10000);
    registry->DeleteUnit(-1);
    EXPECT_TRUE(store.writes.empty());
    EXPECT_EQ(1, table.RowCount());
}

TEST_F(RegistryTest, ControlByteInAccountIsStoredAsReceivedButLoggedAsQuestionMark) {
    const std::string account(
        "1\x02"
        "34",
        4);
    UnitMessage m = Msg("0012", kNow, "10.0.0.5", 5000);
    m.msgAccount = account;
    Receive(12, m);
    EXPECT_EQ((std::vector<std::string>{
                  "0012 FIRST MSG",
                  "[Unit 0012] [Account 1?34] Changed IP: [] -> [10.0.0.5]",
                  "[Unit 0012] Changed Account: [] -> [1?34]",
              }),
              ch.Imp());
    EXPECT_EQ((W{12, 30, {'1', 0x02, '3', '4'}}), store.writes.back());
    EXPECT_EQ(account, registry->Unit(12).account);
}

TEST_F(RegistryTest, TextsAreCutToTheirCapacity) {
    registry->SetAccountFromMsg(5, "123456");
    EXPECT_EQ("1234", registry->Unit(5).account);

    UnitMessage m = Msg("0005", kNow, "10.0.0.5", 5000);
    m.imei = "3520990017614810";
    m.fwRaw = "\x01\x02\x03\x04";
    m.fwText = "1.2.3.4.5.6.7";
    registry->UpdateUnitOnMessage(5, m);
    const UnitRecord& u = registry->Unit(5);
    EXPECT_EQ("352099001761481", u.imei);
    EXPECT_EQ("\x01\x02\x03", u.firmwareRaw);
    EXPECT_EQ("1.2.3.4.5.6", u.firmwareVersion);

    // The same long values again are equal to what is held: no new line.
    ch.impMemo.Clear();
    registry->UpdateUnitOnMessage(5, m);
    EXPECT_TRUE(ch.Imp().empty());
}

// An IMEI the record cannot hold is kept and shown as received, reported
// once (the update's one failure) and never again while it stays the same;
// every other step of the update goes on, the last-message time included.
TEST_F(RegistryTest, NonNumericImeiIsReportedOnceAndTheRestOfTheUpdateGoesOn) {
    MakeKnownUnit12();
    const TDateTime later = kNow + 61.0 / 86400.0;  // 10:31:01
    const Bytes laterBytes{0xE5, 0x98, 0xAA, 0x32};
    UnitMessage m = Msg("0012", later, "10.0.0.6", 5000);
    m.nowMonoMs = 5'061'000;
    m.imei = "35209900176148A";
    m.fwRaw = std::string("\x01\x03\x00", 3);
    m.fwText = "1.3.0";
    m.msgAccount = "9999";
    try {
        Receive(12, m);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("'35209900176148A' is not a valid IMEI number", e.what());
    }
    EXPECT_EQ((std::vector<std::string>{
                  "[Unit 0012] [Account 9999] Changed IP: [10.0.0.5] -> [10.0.0.6]",
                  "[Unit 0012] [Account 9999] Changed Imei: [352099001761481] -> [35209900176148A]",
                  "[Unit 0012] [Account 9999] Changed fwVer: [1.2.15] -> [1.3.0]",
                  "[Unit 0012] Changed Account: [1234] -> [9999]",
              }),
              ch.Imp());
    EXPECT_EQ((std::vector<W>{
                  {12, 13, {0x06, 0x00, 0x00, 0x0A}},
                  {12, 17, {0x88, 0x13}},
                  {12, 23, laterBytes},
                  {12, 27, {1, 3, 0}},
                  {12, 30, {'9', '9', '9', '9'}},
              }),
              store.writes);
    const UnitRecord& u = registry->Unit(12);
    EXPECT_EQ("35209900176148A", u.imei);
    EXPECT_EQ(later, u.lastMessage);
    EXPECT_EQ(5'061'000, u.lastMessageMonoMs);  // the supervision sees the unit as heard
    EXPECT_EQ(
        "0012 35209900176148A 10.0.0.6:5000 08.12.2026 10:30:00 08.12.2026 10:31:01 1.3.0 9999",
        u.rowText);
    EXPECT_FALSE(registry->OwesFile(12));  // nothing the file could take is missing

    // The same IMEI again: nothing to report, the datagram's time is stored.
    store.writes.clear();
    ch.impMemo.Clear();
    m.now = later + 20.0 / 86400.0;
    m.nowMonoMs = 5'081'000;
    EXPECT_NO_THROW(Receive(12, m));
    EXPECT_TRUE(ch.Imp().empty());
    EXPECT_EQ((std::vector<W>{{12, 23, EncodeDbTime(m.now)}}), store.writes);
    EXPECT_EQ(5'081'000, registry->Unit(12).lastMessageMonoMs);

    // A number again is stored again.
    store.writes.clear();
    m.imei = "352099001761482";
    EXPECT_NO_THROW(Receive(12, m));
    EXPECT_EQ((W{12, 5, EncodeImei("352099001761482")}), store.writes.at(0));
}

// A write that fails costs the update nothing but that field: every step
// runs, the failure is thrown at the end, and the field is written again
// with the unit's next datagram.
TEST_F(RegistryTest, FailingWriteIsThrownAfterTheWholeUpdateAndWrittenAgainLater) {
    store.failAtWrite = 0;  // the used marker of the first message
    EXPECT_THROW(Receive(12, Msg("0012", kNow, "10.0.0.5", 5000)), std::system_error);
    EXPECT_TRUE(registry->IsUnitKnown(12));
    EXPECT_EQ(1, table.RowCount());
    EXPECT_EQ((std::vector<std::string>{"0012 FIRST MSG",
                                        "[Unit 0012] [Account ] Changed IP: [] -> [10.0.0.5]"}),
              ch.Imp());
    EXPECT_EQ(kNow, registry->Unit(12).firstMessage);
    EXPECT_EQ("10.0.0.5", registry->Unit(12).address);
    std::vector<int> offsets;
    for (const auto& w : store.writes) offsets.push_back(w.offset);
    EXPECT_EQ((std::vector<int>{19, 13, 17, 23}), offsets);  // all but the used marker
    EXPECT_TRUE(registry->OwesFile(12));

    store.writes.clear();
    ch.impMemo.Clear();
    const TDateTime later = kNow + 1.0 / 1440;
    EXPECT_NO_THROW(Receive(12, Msg("0012", later, "10.0.0.5", 5000)));
    EXPECT_EQ((std::vector<W>{{12, 0, {0x01}}, {12, 23, EncodeDbTime(later)}}), store.writes);
    EXPECT_TRUE(ch.Imp().empty());  // not a first message again
    EXPECT_FALSE(registry->OwesFile(12));
}

// The account is written until the file has it, not only in the datagram
// that changed it in memory: one failed write never leaves the old account
// on disk for good.
TEST_F(RegistryTest, AccountWhoseWriteFailedIsWrittenWithTheNextDatagram) {
    MakeKnownUnit12();
    store.failAtWrite = 1;  // the last-message time goes first, then the account
    UnitMessage m = Msg("0012", kNow + 1.0 / 1440, "10.0.0.5", 5000);
    m.msgAccount = "5678";
    EXPECT_THROW(Receive(12, m), std::system_error);
    EXPECT_EQ("5678", registry->Unit(12).account);
    EXPECT_EQ(std::vector<std::string>{"[Unit 0012] Changed Account: [1234] -> [5678]"}, ch.Imp());
    EXPECT_EQ(1u, store.writes.size());

    // The next alarm carries the same account, which memory already holds.
    store.writes.clear();
    ch.impMemo.Clear();
    m.now += 1.0 / 1440;
    EXPECT_NO_THROW(Receive(12, m));
    EXPECT_EQ((std::vector<W>{{12, 23, EncodeDbTime(m.now)}, {12, 30, {'5', '6', '7', '8'}}}),
              store.writes);
    EXPECT_TRUE(ch.Imp().empty());  // the change was told when it came

    store.writes.clear();
    m.now += 1.0 / 1440;
    Receive(12, m);
    EXPECT_EQ((std::vector<W>{{12, 23, EncodeDbTime(m.now)}}), store.writes);
}

// The trouble flags change in memory whatever the file does, and a failed
// write of them is thrown after the change (the caller queues its line all
// the same); the file gets the flags with the unit's next write.
TEST_F(RegistryTest, TroubleFlagsWhoseWriteFailedStayChangedAndAreWrittenLater) {
    MakeKnownUnit12();
    int repaints = 0;
    registry->SetRepaint([&] { ++repaints; });

    store.failAtWrite = 0;
    EXPECT_THROW(registry->MarkCommTrouble(12, 1), std::system_error);
    EXPECT_EQ(1, registry->Unit(12).troubleStagesSent);
    EXPECT_EQ(1, repaints);
    EXPECT_TRUE(store.writes.empty());
    EXPECT_TRUE(registry->OwesFile(12));

    // The next stage writes the flags as memory has them.
    registry->MarkCommTrouble(12, 2);
    EXPECT_EQ((std::vector<W>{{12, 2, {0x03}}}), store.writes);
    EXPECT_FALSE(registry->OwesFile(12));

    store.writes.clear();
    store.failAtWrite = 0;
    EXPECT_THROW(registry->ClearCommTrouble(12), std::system_error);
    EXPECT_EQ(0, registry->Unit(12).troubleStagesSent);
    EXPECT_EQ(3, repaints);

    // The unit's next datagram brings the cleared flags to the file.
    Receive(12, Msg("0012", kNow + 1.0 / 1440, "10.0.0.5", 5000));
    EXPECT_EQ((std::vector<W>{{12, 23, EncodeDbTime(kNow + 1.0 / 1440)}, {12, 2, {0x00}}}),
              store.writes);
    EXPECT_FALSE(registry->OwesFile(12));
}

TEST_F(RegistryTest, WithoutStoreChangesStayInMemory) {
    registry->SetStore(nullptr);
    UnitMessage m = Msg("0012", kNow, "10.0.0.5", 5000);
    m.msgAccount = "1234";
    Receive(12, m);
    registry->MarkCommTrouble(12, 1);
    EXPECT_TRUE(store.writes.empty());
    EXPECT_TRUE(registry->IsUnitKnown(12));
    EXPECT_EQ(1, registry->Unit(12).troubleStagesSent);
    EXPECT_EQ(3u, ch.Imp().size());
}

TEST_F(RegistryTest, TroubleFlagsArePersistedAndRepainted) {
    MakeKnownUnit12();
    int repaints = 0;
    registry->SetRepaint([&] { ++repaints; });
    struct Step {
        int stage;  // 0 = clear
        std::uint8_t flags;
    };
    const Step steps[] = {{1, 1}, {3, 5}, {3, 5}, {2, 7}, {0, 0}};
    std::vector<W> expected;
    for (const auto& s : steps) {
        if (s.stage == 0) {
            registry->ClearCommTrouble(12);
        } else {
            registry->MarkCommTrouble(12, s.stage);
        }
        EXPECT_EQ(s.flags, registry->Unit(12).troubleStagesSent);
        expected.push_back({12, 2, {s.flags}});
    }
    EXPECT_EQ(expected, store.writes);
    EXPECT_EQ(5, repaints);
    EXPECT_TRUE(ch.Imp().empty());
    EXPECT_THROW(registry->MarkCommTrouble(12, 4), std::out_of_range);
}

TEST_F(RegistryTest, TroubleFlagsAreNotPartOfTheRowText) {
    MakeKnownUnit12();
    const std::string before = registry->Unit(12).rowText;
    registry->MarkCommTrouble(12, 2);
    EXPECT_EQ(before, registry->Unit(12).rowText);
}

}  // namespace

namespace {

// A log entry that cannot be written stops nothing: a new unit's record is
// written whole, so it raises no false communication trouble later.
TEST_F(RegistryTest, UnwritableLogLeavesTheWholeRecordWritten) {
    std::filesystem::create_directories(ch.dir.Path() + "Log/Imp_msg.log");
    testing::internal::CaptureStderr();
    Receive(12, Msg("0012", kNow, "10.0.0.5", 5000));
    testing::internal::GetCapturedStderr();
    std::vector<int> offsets;
    for (const auto& w : store.writes) offsets.push_back(w.offset);
    // used marker, first-message time, address, port, last-message time
    EXPECT_EQ((std::vector<int>{0, 19, 13, 17, 23}), offsets);
    EXPECT_TRUE(registry->Unit(12).used);
    EXPECT_EQ("10.0.0.5", registry->Unit(12).address);
}

}  // namespace
