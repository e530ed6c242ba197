#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/Commands.h"
#include "device/DeviceTestSupport.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeUdp.h"
#include "fakes/FakeUnitStore.h"
#include "fakes/FakeViews.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"

using namespace korvan;

using namespace devtest;

namespace {

using Lines = std::vector<std::string>;

const std::string kImei = "356938035643809";

class UnitCommandsTest : public ::testing::Test {
protected:
    // Makes a unit known as if it had sent a datagram from `ip`:`port`.
    void AddUnit(int nr, const std::string& ip, int port, const std::string& imei = "") {
        UnitMessage m;
        char text[8];
        std::snprintf(text, sizeof text, "%.4d", nr);
        m.unitText = text;
        m.now = clock.Now();
        m.senderIP = ip;
        m.senderPort = port;
        m.imei = imei;
        registry.UpdateUnitOnMessage(nr, m);
        table.SetCurrent(table.Find(static_cast<std::uint16_t>(nr)));
    }

    void SetUp() override {
        AddUnit(123, "192.0.2.5", 4000, kImei);
        logs.ClearMemos();
    }

    // The hook notes how many All-messages lines existed when it ran.
    void ShowAllMsgTab() { tabShown.push_back(logs.allMemo.lines.size()); }

    FakeScheduler clock{At(2026, 12, 8, 10, 30, 2)};
    Logs logs{clock};
    FakeUdpFactory udp;
    std::unique_ptr<IUdpSocket> socket = udp.Open(33665, nullptr, nullptr);
    UnitTable table;
    Registry registry{logs.Channels(), table};
    FakeDialogs dialogs;
    std::vector<std::size_t> tabShown;
    UnitCommands cmds{logs.Channels(),
                      clock,
                      registry,
                      dialogs,
                      [this] { return socket.get(); },
                      [this] { ShowAllMsgTab(); }};
};

TEST_F(UnitCommandsTest, GetPingGoesToTheUnitsLastAddressAndIsLogged) {
    cmds.RequestPing();
    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ("192.0.2.5", udp.sent[0].address);
    EXPECT_EQ(4000, udp.sent[0].port);
    EXPECT_EQ("24 00 00 00 03 02 01 00 BE", Spaced(udp.sent[0].data));
    EXPECT_EQ((Lines{"", "Send Cmd <Get Ping> to Unit 0123: 0x2400000003020100BE"}), logs.All());
    EXPECT_EQ(std::vector<std::size_t>{2}, tabShown);  // after the line
    EXPECT_EQ(
        "2026.12.08 10:30:02 - 0123 FIRST MSG\r\n"
        "2026.12.08 10:30:02 - [Unit 0123] [Account ] Changed IP: [] -> [192.0.2.5]\r\n"
        "2026.12.08 10:30:02 - [Unit 0123] [Account ] Changed Imei: [] -> [356938035643809]\r\n"
        "\r\n"
        "2026.12.08 10:30:02 - Send Cmd <Get Ping> to Unit 0123: 0x2400000003020100BE\r\n",
        logs.dir.Read("Log/All msg/2026-12-08.log"));
    EXPECT_TRUE(dialogs.shown.empty());
}

struct CommandCase {
    const char* name;
    std::function<void(UnitCommands&)> click;
    std::string frameWithoutCrc;  // to unit 0123
};

TEST_F(UnitCommandsTest, EveryCommandHasItsCodeLengthAndName) {
    const std::vector<CommandCase> cases = {
        {"Get Ping", &UnitCommands::RequestPing, "24 00 00 00 03 02 01 00"},
        {"Get Automatic Test", &UnitCommands::RequestAutomaticTest, "2C 00 00 00 03 02 01 00"},
        {"Get GSM Level", &UnitCommands::RequestGsmLevel, "25 00 00 00 03 02 01 00"},
        {"Set Time", &UnitCommands::SetUnitTime, "2A 00 00 00 03 02 01 00 1A 0C 08 0A 1E 02"},
        {"Reset Device", &UnitCommands::ResetUnit, "29 00 00 00 03 02 01 00"},
        {"Do Open", &UnitCommands::OpenUnit, "27 00 00 00 03 02 01 00 00"},
        {"Do Close", &UnitCommands::CloseUnit, "27 00 00 00 03 02 01 00 01"},
        {"Clear Storage", &UnitCommands::ClearUnitStorage, "26 00 00 00 03 02 01 00"},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        udp.sent.clear();
        logs.ClearMemos();
        tabShown.clear();

        c.click(cmds);

        const Bytes expected = WithCrc(c.frameWithoutCrc);
        ASSERT_EQ(1u, udp.sent.size());
        EXPECT_EQ("192.0.2.5", udp.sent[0].address);
        EXPECT_EQ(4000, udp.sent[0].port);
        EXPECT_EQ(Spaced(expected), Spaced(udp.sent[0].data));
        EXPECT_EQ((Lines{"", std::string("Send Cmd <") + c.name + "> to Unit 0123: 0x" +
                                 HexText(expected)}),
                  logs.All());
        EXPECT_EQ(std::vector<std::size_t>{2}, tabShown);
        EXPECT_TRUE(logs.Err().empty());
    }
    EXPECT_TRUE(dialogs.shown.empty());  // no command asks for confirmation
}

TEST_F(UnitCommandsTest, CommandGoesToTheUnitOfTheCurrentRow) {
    AddUnit(7, "198.51.100.1", 1234);
    AddUnit(9000, "198.51.100.2", 65535);
    table.SetCurrent(table.Find(9000));
    cmds.RequestGsmLevel();
    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ("198.51.100.2", udp.sent[0].address);
    EXPECT_EQ(65535, udp.sent[0].port);
    EXPECT_EQ(Spaced(WithCrc("25 00 00 00 00 00 00 09")), Spaced(udp.sent[0].data));
}

TEST_F(UnitCommandsTest, SetTimeInTheSameSecondCarriesTheSameStampWithoutMilliseconds) {
    clock.Advance(750);
    cmds.SetUnitTime();
    clock.Advance(200);
    cmds.SetUnitTime();
    ASSERT_EQ(2u, udp.sent.size());
    EXPECT_EQ(Spaced(WithCrc("2A 00 00 00 03 02 01 00 1A 0C 08 0A 1E 02")),
              Spaced(udp.sent[0].data));
    EXPECT_EQ(udp.sent[0].data, udp.sent[1].data);
}

TEST_F(UnitCommandsTest, ChangeUnitIdAcceptsTrimmedOrZeroPaddedNumbers) {
    const Bytes expected =
        AppendCrc(Concat({Hex("2B 00 00 00 03 02 01 00"), Text(kImei), Hex("02 04 00 00")}));
    for (const std::string entry : {" 42 ", "0042", "\t42\r\n"}) {
        SCOPED_TRACE(entry);
        udp.sent.clear();
        logs.ClearMemos();
        dialogs.shown.clear();
        dialogs.inputAnswers = {{true, entry}};

        cmds.ChangeUnitNr();

        EXPECT_EQ(Lines{"I:Change UnitID|Type New UnitID [0001..9999]|0123"}, dialogs.shown);
        ASSERT_EQ(1u, udp.sent.size());
        EXPECT_EQ(28u, udp.sent[0].data.size());
        EXPECT_EQ(Spaced(expected), Spaced(udp.sent[0].data));
        EXPECT_EQ("192.0.2.5", udp.sent[0].address);
        EXPECT_EQ((Lines{"", "Send Cmd <Change UnitID> to Unit 0123: 0x" + HexText(expected)}),
                  logs.All());
    }
    // The registry is not changed by the command.
    EXPECT_FALSE(registry.IsUnitKnown(42));
    EXPECT_TRUE(registry.IsUnitKnown(123));
}

TEST_F(UnitCommandsTest, ChangeUnitIdRefusesNumbersOutOfRange) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0", "0"}, {"10000", "10000"}, {"abc", "abc"}, {"", ""},
        {"  ", ""}, {" 12a ", "12a"},   {"-5", "-5"},   {"99999999999", "99999999999"},
    };
    for (const auto& [entry, shown] : cases) {
        SCOPED_TRACE(entry);
        dialogs.shown.clear();
        dialogs.inputAnswers = {{true, entry}};
        cmds.ChangeUnitNr();
        EXPECT_EQ((Lines{"I:Change UnitID|Type New UnitID [0001..9999]|0123",
                         "W:\"" + shown +
                             "\" - not valid UnitID\r\nValid UnitID is in range [0001..9999]"}),
                  dialogs.shown);
    }
    EXPECT_TRUE(udp.sent.empty());
    EXPECT_TRUE(logs.All().empty());
}

TEST_F(UnitCommandsTest, ChangeUnitIdRefusesANumberInUse) {
    AddUnit(42, "198.51.100.1", 1234);
    table.SetCurrent(table.Find(123));
    for (const std::string entry : {"123", "42"}) {
        SCOPED_TRACE(entry);
        dialogs.shown.clear();
        dialogs.inputAnswers = {{true, entry}};
        cmds.ChangeUnitNr();
        ASSERT_EQ(2u, dialogs.shown.size());
        EXPECT_EQ("W:Such UnitID " + std::string(entry == "42" ? "0042" : "0123") +
                      " already exists\r\nCommand can not be proceed",
                  dialogs.shown[1]);
    }
    EXPECT_TRUE(udp.sent.empty());
}

TEST_F(UnitCommandsTest, ChangeUnitIdWithoutImeiWarnsBeforeAnyInput) {
    AddUnit(5, "198.51.100.1", 1234);  // never sent an IMEI
    dialogs.inputAnswers = {{true, "42"}};
    cmds.ChangeUnitNr();
    EXPECT_EQ(Lines{"W:Unknown Imei of Unit 0005\r\nCommand can not be proceed"}, dialogs.shown);
    EXPECT_TRUE(udp.sent.empty());
}

TEST_F(UnitCommandsTest, ChangeUnitIdCancelledSendsNothing) {
    dialogs.inputAnswers = {{false, "42"}};
    cmds.ChangeUnitNr();
    EXPECT_EQ(1u, dialogs.shown.size());
    EXPECT_TRUE(udp.sent.empty());
    EXPECT_TRUE(logs.All().empty());
    EXPECT_TRUE(tabShown.empty());
}

TEST_F(UnitCommandsTest, SendFailuresAreReportedByTheGuardedCommands) {
    udp.failSends = true;
    cmds.RequestPing();
    EXPECT_EQ(Lines{"ERR in SendCMD, Error Msg: Socket Error # 10049"}, logs.All());
    EXPECT_EQ(Lines{"ERR in SendCMD, Error Msg: Socket Error # 10049"}, logs.Err());

    logs.ClearMemos();
    dialogs.inputAnswers = {{true, "42"}};
    cmds.ChangeUnitNr();
    EXPECT_EQ(Lines{"ERR in ImportantcmdChangeUnitID1Click, Error Msg: Socket Error # 10049"},
              logs.All());
    EXPECT_TRUE(tabShown.empty());
}

TEST_F(UnitCommandsTest, SetTimeOpenAndCloseLetFailuresPropagate) {
    udp.failSends = true;
    EXPECT_THROW(cmds.SetUnitTime(), std::runtime_error);
    EXPECT_THROW(cmds.OpenUnit(), std::runtime_error);
    EXPECT_THROW(cmds.CloseUnit(), std::runtime_error);
    EXPECT_TRUE(logs.All().empty());
    EXPECT_TRUE(tabShown.empty());
}

TEST_F(UnitCommandsTest, NoEndpointIsASendFailure) {
    UnitCommands noSocket{logs.Channels(), clock, registry, dialogs, [] { return nullptr; }, [] {}};
    noSocket.RequestPing();
    EXPECT_EQ(Lines{"ERR in SendCMD, Error Msg: UDP endpoint is not active"}, logs.Err());
}

TEST_F(UnitCommandsTest, DeleteAsksAndRemovesOnlyOnYes) {
    FakeUnitStore store;
    registry.SetStore(&store);

    dialogs.confirmAnswers = {false};
    cmds.DeleteUnit();
    EXPECT_EQ(Lines{"Q:Unit [0123] - Really Delete?"}, dialogs.shown);
    EXPECT_TRUE(registry.IsUnitKnown(123));
    EXPECT_EQ(1, table.RowCount());
    EXPECT_TRUE(store.writes.empty());

    dialogs.confirmAnswers = {true};
    cmds.DeleteUnit();
    EXPECT_FALSE(registry.IsUnitKnown(123));
    EXPECT_TRUE(table.Empty());
    EXPECT_EQ("", registry.Unit(123).address);
    EXPECT_EQ(1u, store.writes.size());
    EXPECT_TRUE(logs.All().empty());  // no log line
}

TEST_F(UnitCommandsTest, EmptyTableDoesNothingAtAll) {
    dialogs.confirmAnswers = {true};
    cmds.DeleteUnit();
    ASSERT_TRUE(table.Empty());
    dialogs.shown.clear();
    udp.sent.clear();
    logs.ClearMemos();

    dialogs.confirmAnswers = {true};
    dialogs.inputAnswers = {{true, "42"}};
    const std::vector<std::function<void(UnitCommands&)>> all = {
        &UnitCommands::RequestPing,      &UnitCommands::RequestAutomaticTest,
        &UnitCommands::RequestGsmLevel,  &UnitCommands::SetUnitTime,
        &UnitCommands::ResetUnit,        &UnitCommands::OpenUnit,
        &UnitCommands::CloseUnit,        &UnitCommands::ChangeUnitNr,
        &UnitCommands::ClearUnitStorage, &UnitCommands::DeleteUnit,
    };
    for (const auto& click : all) click(cmds);
    cmds.SendCMD(0x24, "Get Ping");

    EXPECT_TRUE(udp.sent.empty());
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(logs.All().empty());
    EXPECT_TRUE(tabShown.empty());
}

}  // namespace
