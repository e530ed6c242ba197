#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "device/Codec.h"
#include "device/DeviceTestSupport.h"
#include "device/MessageProcessor.h"
#include "fakes/FakeUnitStore.h"
#include "fakes/ReceiverRig.h"
#include "monitoring/SendBuffer.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"

using namespace korvan;

using namespace devtest;

namespace {

using Lines = std::vector<std::string>;

const std::string kImei = "356938035643809";

// The worked Event of unit 0123: FrameID 5, 2026-12-08 10:30:00, account
// 1234, qualifier 1, code 130, partition 01, zone 005.
const Bytes kEvent =
    Hex("06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 33 30 30 31 30 30 35 21");

// An Event of unit 0123 with the given six time bytes and text fields.
Bytes EventFrame(const std::string& time, const std::string& fields,
                 const std::string& header = "06 00 00 05 03 02 01 00") {
    return AppendCrc(Concat({Hex(header), Hex(time), Text(fields)}));
}

const char* const kDayLog = "Log/All msg/2026-12-08.log";

// The message processing as the receiver core wires it: the core started on
// fakes without a settings file, so the defaults are in force and no serial
// port is open; the monitoring lines wait in the send buffer behind the
// start-up heartbeat.
class MessageProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        startLines = rig.Buffer().SendBufferCount();
        startLog = rig.dir.Read(kDayLog);
        rig.ClearMemos();
    }

    void Receive(const Bytes& data, const std::string& address = "10.0.0.5",
                 std::uint16_t port = 4000) {
        rig.Receive(data, address, port);
    }

    // The monitoring lines queued since start-up.
    Lines Queued() const {
        const auto& lines = rig.Buffer().Lines();
        return Lines(lines.begin() + static_cast<std::ptrdiff_t>(startLines), lines.end());
    }

    static Lines Block(const Bytes& data, Lines after, const std::string& from = "10.0.0.5:4000") {
        Lines out = {"", "Receive from " + from + " (" + std::to_string(data.size()) + " b.): 0x" +
                             HexText(data)};
        out.insert(out.end(), after.begin(), after.end());
        return out;
    }

    ReceiverRig rig{At(2026, 12, 8, 10, 30, 2)};
    Receiver& core = rig.Create();
    FakeUdpFactory& udp = rig.udp;
    FakeScheduler& clock = rig.clock;
    Registry& registry = core.Units();
    UnitTable& table = core.UnitRows();
    int startLines = 0;
    std::string startLog;  // the All-messages file after start-up
};

TEST_F(MessageProcessorTest, WorkedEventIsAcknowledgedForwardedAndRecorded) {
    Receive(kEvent);

    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ("10.0.0.5", udp.sent[0].address);
    EXPECT_EQ(4000, udp.sent[0].port);
    EXPECT_EQ("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 02 90", Spaced(udp.sent[0].data));
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());

    const Lines all = {
        "",
        "Receive from 10.0.0.5:4000 (28 b.): "
        "0x06000005030201001A0C080A1E003132333431313330303130303521",
        "[Unit 0123] [Account 1234] [FrameID=5] [dt=08.12.2026 10:30:00] [CID=E130-01-005]",
        "Send ACK",
        "0123 FIRST MSG",
        "[Unit 0123] [Account 1234] Changed IP: [] -> [10.0.0.5]",
        "[Unit 0123] Changed Account: [] -> [1234]",
    };
    EXPECT_EQ(all, rig.All());
    EXPECT_EQ(Lines(all.begin() + 4, all.end()), rig.Imp());
    EXPECT_TRUE(rig.Err().empty());

    const UnitRecord& u = registry.Unit(123);
    EXPECT_TRUE(u.used);
    EXPECT_EQ("10.0.0.5", u.address);
    EXPECT_EQ(4000, u.port);
    EXPECT_EQ("1234", u.account);
    EXPECT_EQ(clock.Now(), u.firstMessage);
    EXPECT_EQ(clock.Now(), u.lastMessage);
    EXPECT_EQ(clock.MonotonicMs(), u.lastMessageMonoMs);
    EXPECT_EQ(123, table.CurrentUnitNr());

    // The block start is set apart by an empty line in the file too.
    const std::string s = "2026.12.08 10:30:02 - ";
    EXPECT_EQ(startLog + "\r\n" + s + all[1] + "\r\n" + s + all[2] + "\r\n" + s + all[3] + "\r\n" +
                  s + all[4] + "\r\n" + s + all[5] + "\r\n" + s + all[6] + "\r\n",
              rig.dir.Read(kDayLog));
}

struct FrameCase {
    const char* name;
    Bytes datagram;
    Bytes reply;
    Lines lines;  // after the block start
    Lines imp;    // Important-messages lines
    bool updatesRecord;
};

TEST_F(MessageProcessorTest, EveryFrameTypeGetsItsAnswerAndLogLines) {
    const Bytes imei = Text(kImei);
    const std::string stamp = " 1A 0C 08 0A 1E 03";
    const Bytes newTime = WithCrc("0B 00 12 34" + stamp);
    const Bytes newUnitNr = AppendCrc(Concat({Hex("21 00 00 09"), imei, Hex("01 00 00 00")}));
    const std::vector<FrameCase> cases = {
        {"Ping",
         Hex("23 00 00 06 03 02 01 00 F2"),
         WithCrc("01 00 00 06 03 02 01 00" + stamp),
         {"[Unit 0123] [Account ] [FrameID=6] [Ping]", "Send ACK"},
         {},
         true},
        {"GSMLevel",
         WithCrc("25 00 00 07 03 02 01 00 17"),
         WithCrc("01 00 00 07 03 02 01 00" + stamp),
         {"[Unit 0123] [Account ] [FrameID=7] [GSM Level=23]", "Send ACK"},
         {},
         true},
        {"PingImeiFwVer",
         AppendCrc(Concat({Hex("22 FD 01 00 03 02 01 00"), imei, Hex("01 02 0F")})),
         WithCrc("01 FD 01 00 03 02 01 00" + stamp),
         {"[Unit 0123] [Account ] [FrameID=256] [Ping/imei/fwVer] [imei=356938035643809] "
          "[fwVer=1.2.15]",
          "Send ACK", "[Unit 0123] [Account ] Changed Imei: [] -> [356938035643809]",
          "[Unit 0123] [Account ] Changed fwVer: [] -> [1.2.15]"},
         {"[Unit 0123] [Account ] Changed Imei: [] -> [356938035643809]",
          "[Unit 0123] [Account ] Changed fwVer: [] -> [1.2.15]"},
         true},
        {"SetTimeRequest",
         WithCrc("0A 00 12 34 03 02 01 00"),
         newTime,
         {"[Unit 0123] [Account ] [FrameID=4660] [Set Time Request]",
          "Send New Time  (0x" + HexText(newTime) + ")"},
         {},
         true},
        {"ChangeUnitNrRequest",
         AppendCrc(Concat({Hex("20 00 00 09 03 02 01 00"), imei})),
         newUnitNr,
         {"[Unit 0123] [Account ] [FrameID=9] [Change UnitNr Request] [imei=356938035643809]",
          "Find First Free UnitNr: 0001",
          "Send New UnitNr=\"0001\"  (0x" + HexText(newUnitNr) + ")"},
         {},
         false},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverRig each{At(2026, 12, 8, 10, 30, 2)};
        Receiver& started = each.Create();
        // The unit is known from an earlier Ping from the same address.
        each.Receive(Hex("23 00 00 06 03 02 01 00 F2"));
        const TDateTime before = each.clock.Now();
        each.clock.Advance(1000);
        each.ClearMemos();
        each.udp.sent.clear();

        each.Receive(c.datagram);

        ASSERT_EQ(1u, each.udp.sent.size());
        EXPECT_EQ("10.0.0.5", each.udp.sent[0].address);
        EXPECT_EQ(4000, each.udp.sent[0].port);
        EXPECT_EQ(Spaced(c.reply), Spaced(each.udp.sent[0].data));
        EXPECT_EQ(Block(c.datagram, c.lines), each.All());
        EXPECT_EQ(c.imp, each.Imp());
        EXPECT_TRUE(each.Err().empty());
        EXPECT_EQ(c.updatesRecord ? each.clock.Now() : before,
                  started.Units().Unit(123).lastMessage);
    }
}

struct RejectCase {
    const char* name;
    Bytes datagram;
    std::string message;
    std::string nack;
};

TEST_F(MessageProcessorTest, EveryRejectionIsLoggedAsImportantAndAnsweredWithNack) {
    const std::string stamp = " 1A 0C 08 0A 1E 02";
    const std::vector<RejectCase> cases = {
        {"empty", Bytes{}, "Receive TOO SHORT STRING from 10.0.0.5 (0 b.): 0x",
         "02 00 00 00 00 00 00 00" + stamp},
        {"seven bytes", Hex("06 01 02 03 04 05 06"),
         "Receive TOO SHORT STRING from 10.0.0.5 (7 b.): 0x06010203040506",
         "02 00 00 00 00 00 00 00" + stamp},
        {"eight bytes", Hex("06 01 02 03 04 05 06 07"),
         "Receive TOO SHORT STRING from 10.0.0.5 (8 b.): 0x0601020304050607",
         "02 01 02 03 04 05 06 07" + stamp},
        {"bad crc", Hex("23 00 00 06 03 02 01 00 00"),
         "Receive msg, containing INVALID CRC. Msg from 10.0.0.5 (9 b.): 0x230000060302010000",
         "02 00 00 06 03 02 01 00" + stamp},
        {"command code", Hex("24 00 00 00 03 02 01 00 BE"),
         "Receive msg, containing INVALID FrameType (0x24). Msg from 10.0.0.5 (9 b.): "
         "0x2400000003020100BE",
         "02 00 00 00 03 02 01 00" + stamp},
        {"bad unit id", WithCrc("23 00 00 06 0A 02 01 00"),
         "Receive msg, containing INVALID UnitID. Msg from 10.0.0.5 (9 b.): 0x" +
             HexText(WithCrc("23 00 00 06 0A 02 01 00")),
         "02 00 00 06 0A 02 01 00" + stamp},
        {"encr marker", WithCrc("23 FE 00 06 03 02 01 00"),
         "Receive msg, containing INVALID EncrMarker. Msg from 10.0.0.5 (9 b.): 0x" +
             HexText(WithCrc("23 FE 00 06 03 02 01 00")),
         "02 FE 00 06 03 02 01 00" + stamp},
        {"bad size", WithCrc("23 00 00 06 03 02 01 00 00"),
         "Receive INVALID Size STRING from 10.0.0.5 (10 b.): 0x" +
             HexText(WithCrc("23 00 00 06 03 02 01 00 00")),
         "02 00 00 06 03 02 01 00" + stamp},
    };
    for (const RejectCase& c : cases) {
        SCOPED_TRACE(c.name);
        rig.ClearMemos();
        udp.sent.clear();

        Receive(c.datagram);

        ASSERT_EQ(1u, udp.sent.size());
        EXPECT_EQ("10.0.0.5", udp.sent[0].address);
        EXPECT_EQ(4000, udp.sent[0].port);
        EXPECT_EQ(Spaced(WithCrc(c.nack)), Spaced(udp.sent[0].data));
        EXPECT_EQ(Block(c.datagram, {c.message, "Send NACK"}), rig.All());
        EXPECT_EQ(Lines{c.message}, rig.Imp());
        EXPECT_TRUE(rig.Err().empty());
    }
    // A refused datagram touches no record and queues nothing (that it ends
    // no reported trouble either is shown below).
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(table.Empty());
    EXPECT_EQ("", registry.Unit(123).account);
}

// The supervision's restore check runs for every accepted datagram, after
// the block start and before the frame's own line, and already sees the
// account an alarm brings. A refused datagram ends no reported trouble.
TEST_F(MessageProcessorTest, EveryAcceptedDatagramEndsReportedTroubleWithTheAccountItBrings) {
    const Bytes imei = Text(kImei);
    const std::vector<std::pair<const char*, Bytes>> frames = {
        {"Event with another account", EventFrame("1A 0C 08 0A 1E 00", "4321113001005")},
        {"Ping", Hex("23 00 00 06 03 02 01 00 F2")},
        {"GSMLevel", WithCrc("25 00 00 07 03 02 01 00 17")},
        {"PingImeiFwVer",
         AppendCrc(Concat({Hex("22 FD 01 00 03 02 01 00"), imei, Hex("01 02 0F")}))},
        {"SetTimeRequest", WithCrc("0A 00 12 34 03 02 01 00")},
        {"ChangeUnitNrRequest", AppendCrc(Concat({Hex("20 00 00 09 03 02 01 00"), imei}))},
    };
    // Silent for 16 minutes: the minute tick reports Comm Trouble 1 (15 min.).
    const auto fallSilent = [&] {
        clock.Advance(16 * 60000);
        ASSERT_EQ(1, registry.Unit(123).troubleStagesSent);
        rig.ClearMemos();
    };
    Receive(kEvent);  // unit 0123, account 1234
    fallSilent();
    EXPECT_EQ("5077 181234E35000001", Queued().back());

    const Lines before = Queued();
    Receive(Hex("23 00 00 06 03 02 01 00 00"));  // refused: invalid CRC
    EXPECT_EQ(1, registry.Unit(123).troubleStagesSent);
    EXPECT_EQ(before, Queued());
    EXPECT_EQ(4u, rig.All().size());

    for (const auto& [name, frame] : frames) {
        SCOPED_TRACE(name);
        if (registry.Unit(123).troubleStagesSent == 0)
            fallSilent();
        rig.ClearMemos();
        const std::size_t queued = Queued().size();

        Receive(frame);

        EXPECT_EQ(0, registry.Unit(123).troubleStagesSent);
        const Lines all = rig.All();
        ASSERT_GE(all.size(), 4u);
        EXPECT_EQ((Lines{"",
                         "Receive from 10.0.0.5:4000 (" + std::to_string(frame.size()) +
                             " b.): 0x" + HexText(frame),
                         "[Unit 0123] [Account 4321] - CommRestore"}),
                  Lines(all.begin(), all.begin() + 3));
        EXPECT_EQ(0u, all[3].rfind("[Unit 0123] [Account 4321] [FrameID=", 0)) << all[3];
        const Lines lines = Queued();
        ASSERT_LT(queued, lines.size());
        EXPECT_EQ("5077 184321R35000000", lines[queued]);
    }
}

TEST_F(MessageProcessorTest, ChangeUnitNrRequestGetsLowestFreeNumberAndChangesNoRecord) {
    Receive(WithCrc("23 00 00 01 01 00 00 00"));  // unit 0001
    Receive(WithCrc("23 00 00 01 02 00 00 00"));  // unit 0002
    Receive(WithCrc("23 00 00 01 04 00 00 00"));  // unit 0004
    rig.ClearMemos();
    udp.sent.clear();

    const Bytes request = AppendCrc(Concat({Hex("20 00 00 0B 00 00 00 00"), Text(kImei)}));
    Receive(request, "10.0.0.7", 5000);
    Receive(request, "10.0.0.7", 5000);

    // Not reserved: both requests get 0003.
    const Bytes reply = AppendCrc(Concat({Hex("21 00 00 0B"), Text(kImei), Hex("03 00 00 00")}));
    ASSERT_EQ(2u, udp.sent.size());
    for (const SentDatagram& d : udp.sent) {
        EXPECT_EQ("10.0.0.7", d.address);
        EXPECT_EQ(5000, d.port);
        EXPECT_EQ(Spaced(reply), Spaced(d.data));
    }
    const Lines block = Block(
        request,
        {"[Unit 0000] [Account ] [FrameID=11] [Change UnitNr Request] [imei=356938035643809]",
         "Find First Free UnitNr: 0003", "Send New UnitNr=\"0003\"  (0x" + HexText(reply) + ")"},
        "10.0.0.7:5000");
    Lines both = block;
    both.insert(both.end(), block.begin(), block.end());
    EXPECT_EQ(both, rig.All());
    EXPECT_TRUE(rig.Imp().empty());
    EXPECT_FALSE(registry.IsUnitKnown(0));
    EXPECT_FALSE(registry.IsUnitKnown(3));
    EXPECT_EQ(3, table.RowCount());
}

TEST_F(MessageProcessorTest, UnitZeroIsAUnitOfItsOwn) {
    const Bytes ping = WithCrc("23 00 00 02 00 00 00 00");
    Receive(ping);
    EXPECT_EQ(
        Block(ping, {"[Unit 0000] [Account ] [FrameID=2] [Ping]", "Send ACK", "0000 FIRST MSG",
                     "[Unit 0000] [Account ] Changed IP: [] -> [10.0.0.5]"}),
        rig.All());
    EXPECT_TRUE(registry.IsUnitKnown(0));
    EXPECT_EQ(0, table.CurrentUnitNr());
    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ(Spaced(WithCrc("01 00 00 02 00 00 00 00 1A 0C 08 0A 1E 02")),
              Spaced(udp.sent[0].data));
}

TEST_F(MessageProcessorTest, RepeatedEventIsProcessedAgainInFull) {
    Receive(kEvent);
    rig.ClearMemos();
    Receive(kEvent);
    EXPECT_EQ(2u, udp.sent.size());
    EXPECT_EQ(udp.sent[0].data, udp.sent[1].data);
    EXPECT_EQ((Lines{"5077 181234E13001005", "5077 181234E13001005"}), Queued());
    EXPECT_EQ(
        Block(kEvent,
              {"[Unit 0123] [Account 1234] [FrameID=5] [dt=08.12.2026 10:30:00] [CID=E130-01-005]",
               "Send ACK"}),
        rig.All());
}

TEST_F(MessageProcessorTest, RestoreQualifierIsForwardedWithR) {
    const Bytes event = EventFrame("1A 0C 08 00 00 00", "1234313000010");  // qualifier 3, midnight
    Receive(event);
    EXPECT_EQ(Lines{"5077 181234R13000010"}, Queued());
    ASSERT_GE(rig.All().size(), 3u);
    EXPECT_EQ("[Unit 0123] [Account 1234] [FrameID=5] [dt=08.12.2026] [CID=R130-00-010]",
              rig.All()[2]);
}

TEST_F(MessageProcessorTest, NewAddressIsAnsweredThereAndOnlyAnIpChangeIsLogged) {
    const Bytes ping = Hex("23 00 00 06 03 02 01 00 F2");
    Receive(ping, "10.0.0.5", 4000);
    rig.ClearMemos();
    Receive(ping, "10.0.0.5", 4001);  // port only: stored without a line
    EXPECT_TRUE(rig.Imp().empty());
    EXPECT_EQ(4001, registry.Unit(123).port);
    Receive(ping, "10.0.0.9", 4002);
    ASSERT_EQ(3u, udp.sent.size());
    EXPECT_EQ("10.0.0.9", udp.sent[2].address);
    EXPECT_EQ(4002, udp.sent[2].port);
    EXPECT_EQ(Lines{"[Unit 0123] [Account ] Changed IP: [10.0.0.5] -> [10.0.0.9]"}, rig.Imp());
    EXPECT_EQ("10.0.0.9", registry.Unit(123).address);
}

TEST_F(MessageProcessorTest, EmptyDatagramIsLoggedRefusedAndNacked) {
    Receive(Bytes{});
    EXPECT_EQ((Lines{"", "Receive from 10.0.0.5:4000 (0 b.): 0x",
                     "Receive TOO SHORT STRING from 10.0.0.5 (0 b.): 0x", "Send NACK"}),
              rig.All());
    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ(Spaced(WithCrc("02 00 00 00 00 00 00 00 1A 0C 08 0A 1E 02")),
              Spaced(udp.sent[0].data));
}

// The longest frame (28 bytes) is logged in full; a byte more and both the
// "Receive from" entry and the rejection show at most 64 bytes and "...",
// with the real length.
TEST_F(MessageProcessorTest, DatagramsLongerThanAnyFrameAreLoggedCut) {
    const Bytes event28 = kEvent;
    Bytes event29 = kEvent;
    event29.back() = 0x00;
    event29 = AppendCrc(event29);
    Bytes junk(8000);
    for (std::size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<std::uint8_t>(0xA0 + i % 16);
    const std::string junkHex =
        "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFA0A1A2A3A4A5A6A7A8A9AAABACADAEAF"
        "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFA0A1A2A3A4A5A6A7A8A9AAABACADAEAF...";
    Bytes badCrc28 = kEvent;
    badCrc28.back() ^= 0xFF;
    struct Case {
        const char* what;
        Bytes datagram;
        Lines all;
    };
    const Case cases[] = {
        {"28-byte frame with a bad CRC",
         badCrc28,
         {"", "Receive from 10.0.0.5:4000 (28 b.): 0x" + HexText(badCrc28),
          "Receive msg, containing INVALID CRC. Msg from 10.0.0.5 (28 b.): 0x" + HexText(badCrc28),
          "Send NACK"}},
        {"29-byte event",
         event29,
         {"", "Receive from 10.0.0.5:4000 (29 b.): 0x" + HexText(event29) + "...",
          "Receive INVALID Size STRING from 10.0.0.5 (29 b.): 0x" + HexText(event29) + "...",
          "Send NACK"}},
        {"8000 bytes of junk",
         junk,
         {"", "Receive from 10.0.0.5:4000 (8000 b.): 0x" + junkHex,
          "Receive msg, containing INVALID CRC. Msg from 10.0.0.5 (8000 b.): 0x" + junkHex,
          "Send NACK"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.ClearMemos();
        udp.sent.clear();
        Receive(c.datagram);
        EXPECT_EQ(c.all, rig.All());
        EXPECT_EQ(Lines{c.all[2]}, rig.Imp());
        ASSERT_EQ(1u, udp.sent.size());
        EXPECT_EQ(frame::kNack, udp.sent[0].data[0]);
    }

    // The longest legal frame itself, accepted and logged in full.
    rig.ClearMemos();
    Receive(event28);
    ASSERT_GE(rig.All().size(), 2u);
    EXPECT_EQ("Receive from 10.0.0.5:4000 (28 b.): 0x" + HexText(event28), rig.All()[1]);
}

TEST_F(MessageProcessorTest, AckSendFailureIsReportedAndProcessingGoesOn) {
    udp.failSends = true;
    Receive(kEvent);
    const std::string err = "ERR in SendACK, Error Msg: Socket Error # 10049";
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ(
        Block(kEvent,
              {"[Unit 0123] [Account 1234] [FrameID=5] [dt=08.12.2026 10:30:00] [CID=E130-01-005]",
               err, "0123 FIRST MSG", "[Unit 0123] [Account 1234] Changed IP: [] -> [10.0.0.5]",
               "[Unit 0123] Changed Account: [] -> [1234]"}),
        rig.All());
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());
    EXPECT_TRUE(registry.IsUnitKnown(123));
}

TEST_F(MessageProcessorTest, NackSendFailureIsReportedUnderSendNack) {
    udp.failSends = true;
    Receive(Hex("01 02"));
    EXPECT_EQ(Lines{"ERR in SendNACK, Error Msg: Socket Error # 10049"}, rig.Err());
    EXPECT_EQ("ERR in SendNACK, Error Msg: Socket Error # 10049", rig.All().back());
}

TEST_F(MessageProcessorTest, NewTimeSendFailureEndsTheHandlingWithoutRecordUpdate) {
    udp.failSends = true;
    const Bytes request = WithCrc("0A 00 12 34 03 02 01 00");
    Receive(request);
    const std::string err = "ERR in ProcessRecMsg, Error Msg: Socket Error # 10049";
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ(Block(request, {"[Unit 0123] [Account ] [FrameID=4660] [Set Time Request]", err}),
              rig.All());
    EXPECT_FALSE(registry.IsUnitKnown(123));
}

TEST_F(MessageProcessorTest, NewUnitNrSendFailureIsReportedUnderProcessRecMsg) {
    udp.failSends = true;
    const Bytes request = AppendCrc(Concat({Hex("20 00 00 0B 03 02 01 00"), Text(kImei)}));
    Receive(request);
    const std::string err = "ERR in ProcessRecMsg, Error Msg: Socket Error # 10049";
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ(
        Block(request,
              {"[Unit 0123] [Account ] [FrameID=11] [Change UnitNr Request] [imei=356938035643809]",
               "Find First Free UnitNr: 0001", err}),
        rig.All());
}

TEST_F(MessageProcessorTest, RecordWriteFailureIsReportedAfterTheAnswer) {
    FakeUnitStore store;
    store.failAtWrite = 0;  // the used marker of the first message
    registry.SetStore(&store);
    Receive(kEvent);
    EXPECT_EQ(1u, udp.sent.size());
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());
    EXPECT_EQ(
        Lines{"ERR in ProcessRecMsg, Error Msg: Cannot write unit record: Input/output error"},
        rig.Err());
    // The rest of the record's update went on before the report.
    EXPECT_EQ((Lines{"0123 FIRST MSG", "[Unit 0123] [Account 1234] Changed IP: [] -> [10.0.0.5]",
                     "[Unit 0123] Changed Account: [] -> [1234]"}),
              rig.Imp());
    EXPECT_EQ(clock.MonotonicMs(), registry.Unit(123).lastMessageMonoMs);
    EXPECT_EQ(5u, store.writes.size());
}

// A unit whose IMEI is not a number: every PingImeiFwVer is answered and the
// unit counts as heard, so the supervision never sees it silent; the IMEI is
// reported once, not once per datagram.
TEST_F(MessageProcessorTest, NonNumericImeiIsReportedOnceAndTheUnitIsHeard) {
    FakeUnitStore store;
    registry.SetStore(&store);
    const Bytes ping = AppendCrc(
        Concat({Hex("22 00 00 07 03 02 01 00"), Text("35693803564380A"), Hex("01 02 0F")}));
    for (int i = 0; i < 3; ++i) {
        clock.Advance(20000);
        Receive(ping);
        EXPECT_EQ(clock.MonotonicMs(), registry.Unit(123).lastMessageMonoMs) << i;
        EXPECT_EQ(static_cast<std::size_t>(i + 1), udp.sent.size());
    }
    EXPECT_EQ(
        Lines{"ERR in ProcessRecMsg, Error Msg: '35693803564380A' is not a valid IMEI number"},
        rig.Err());
    EXPECT_EQ("35693803564380A", registry.Unit(123).imei);
    EXPECT_EQ("1.2.15", registry.Unit(123).firmwareVersion);
}

TEST_F(MessageProcessorTest, EventWithInvalidTimeIsStillAnAlarm) {
    const Bytes event = EventFrame("1A 02 1E 0A 1E 00", "1234113001005");  // 2026-02-30
    Receive(event);

    const std::string err =
        "ERR in ProcessRecMsg, Error Msg: Invalid event time 2026-02-30 10:30:00 from unit 0123";
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ(
        Block(event, {err,
                      "[Unit 0123] [Account 1234] [FrameID=5] [dt=invalid 2026-02-30 10:30:00] "
                      "[CID=E130-01-005]",
                      "Send ACK", "0123 FIRST MSG",
                      "[Unit 0123] [Account 1234] Changed IP: [] -> [10.0.0.5]",
                      "[Unit 0123] Changed Account: [] -> [1234]"}),
        rig.All());
    ASSERT_EQ(1u, udp.sent.size());
    EXPECT_EQ(Spaced(WithCrc("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 02")),
              Spaced(udp.sent[0].data));
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());
    EXPECT_TRUE(registry.IsUnitKnown(123));
    EXPECT_EQ(clock.Now(), registry.Unit(123).lastMessage);
}

TEST_F(MessageProcessorTest, ControlBytesFromAUnitCannotBreakLogLines) {
    // Account "1\n34", zone "0\r5", IMEI with a NUL.
    const Bytes event =
        AppendCrc(Concat({Hex("06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00"), Text("1"), Hex("0A"),
                          Text("341130010"), Hex("0D"), Text("5")}));
    Receive(event);
    ASSERT_GE(rig.All().size(), 3u);
    EXPECT_EQ("[Unit 0123] [Account 1?34] [FrameID=5] [dt=08.12.2026 10:30:00] [CID=E130-01-0?5]",
              rig.All()[2]);

    rig.ClearMemos();
    Bytes imei = Text(kImei);
    imei[3] = 0x00;
    const Bytes ping = AppendCrc(Concat({Hex("22 00 00 07 03 02 01 00"), imei, Hex("00 00 00")}));
    Receive(ping);
    ASSERT_GE(rig.All().size(), 3u);
    EXPECT_EQ(
        "[Unit 0123] [Account 1?34] [FrameID=7] [Ping/imei/fwVer] [imei=356?38035643809] "
        "[fwVer=0.0.0]",
        rig.All()[2]);
    for (const std::string& line : rig.memoAll.lines) EXPECT_EQ(std::string::npos, line.find('\n'));
}

TEST_F(MessageProcessorTest, ActivationWithoutForceWaitsForStartUp) {
    ReceiverRig fresh{At(2026, 12, 8, 10, 30, 2)};
    Receiver& notStarted = fresh.Create(false);
    MessageProcessor& p = fresh.Processor();
    fresh.Effects().DoActivateUDPSrvPort(false);
    EXPECT_TRUE(fresh.udp.opened.empty());
    EXPECT_EQ(nullptr, p.UdpEndpoint());
    EXPECT_TRUE(fresh.All().empty());

    ASSERT_TRUE(notStarted.Start());  // opens the endpoint itself
    fresh.udp.opened.clear();
    fresh.ClearMemos();
    fresh.Settings().UDPSrvPort = 40000;
    fresh.Effects().DoActivateUDPSrvPort(false);
    EXPECT_EQ(std::vector<std::uint16_t>{40000}, fresh.udp.opened);
    ASSERT_NE(nullptr, p.UdpEndpoint());
    EXPECT_EQ(40000, p.UdpEndpoint()->LocalPort());
    EXPECT_EQ(Lines{"UDP Server Listen Port 40000"}, fresh.All());
}

TEST_F(MessageProcessorTest, ReactivationClosesTheOldSocketFirst) {
    EXPECT_EQ(std::vector<int>{0}, udp.openAtOpen);
    rig.Processor().DoActivateUDPSrvPort();
    EXPECT_EQ((std::vector<int>{0, 0}), udp.openAtOpen);
    EXPECT_EQ(1, udp.openSockets);
    EXPECT_EQ(udp.current, rig.Processor().UdpEndpoint());
    EXPECT_EQ(Lines{"UDP Server Listen Port 33665"}, rig.All());

    // Datagrams reach the processing through the new socket.
    Receive(Hex("23 00 00 06 03 02 01 00 F2"));
    EXPECT_EQ(1u, udp.sent.size());
}

TEST_F(MessageProcessorTest, BindFailureIsReportedWithoutListenLine) {
    udp.failOpen = true;
    rig.Processor().DoActivateUDPSrvPort();
    EXPECT_EQ(Lines{"ERR in DoActivateUDPSrvPort, Error Msg: Could not bind socket. Address and "
                    "port are already in use."},
              rig.All());
    EXPECT_EQ(nullptr, rig.Processor().UdpEndpoint());
    EXPECT_EQ(0, udp.openSockets);  // the old one was closed first

    // A later activation that succeeds opens it again.
    udp.failOpen = false;
    rig.Processor().DoActivateUDPSrvPort();
    EXPECT_NE(nullptr, rig.Processor().UdpEndpoint());
    EXPECT_EQ("UDP Server Listen Port 33665", rig.All().back());
}

TEST_F(MessageProcessorTest, AckAndNackCarryTheTimeOfReception) {
    clock.Advance(3000);
    Receive(kEvent, "192.0.2.1", 7);
    Receive(Hex("01"), "192.0.2.1", 7);
    ASSERT_EQ(2u, udp.sent.size());
    EXPECT_EQ(Spaced(WithCrc("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 05")),
              Spaced(udp.sent[0].data));
    EXPECT_EQ(Spaced(WithCrc("02 00 00 00 00 00 00 00 1A 0C 08 0A 1E 05")),
              Spaced(udp.sent[1].data));
}

// A log file that cannot be written (here a folder stands in its place) must
// not cost a unit its answer. The failure is told once per episode, on
// stderr and in the Errors memo; the entries stay in their memo.
TEST_F(MessageProcessorTest, UnwritableImportantLogCostsNoNackAndIsToldOncePerEpisode) {
    const std::string imp = rig.dir.Path() + "Log/Imp_msg.log";
    const std::string failure = "Cannot open log file " + imp + ": Is a directory";
    const std::string err = "ERR in AddMsg, Error Msg: " + failure;
    const Bytes refused = Hex("01 02");
    const std::string rejection = "Receive TOO SHORT STRING from 10.0.0.5 (2 b.): 0x0102";
    std::filesystem::create_directories(imp);

    ::testing::internal::CaptureStderr();
    Receive(refused);
    Receive(refused);
    EXPECT_EQ("Log entry not written: " + failure + "\n", ::testing::internal::GetCapturedStderr());
    ASSERT_EQ(2u, udp.sent.size());
    EXPECT_EQ(frame::kNack, udp.sent[1].data[0]);
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ((Lines{rejection, rejection}), rig.Imp());
    EXPECT_EQ((Lines{"", "Receive from 10.0.0.5:4000 (2 b.): 0x0102", err, rejection, "Send NACK",
                     "", "Receive from 10.0.0.5:4000 (2 b.): 0x0102", rejection, "Send NACK"}),
              rig.All());

    // The file can be written again: the entry is there and nothing is told.
    std::filesystem::remove(imp);
    Receive(refused);
    EXPECT_EQ(3u, udp.sent.size());
    EXPECT_EQ(Lines{err}, rig.Err());
    EXPECT_EQ(core.Logs().imp.LastLine() + "\r\n", rig.dir.Read("Log/Imp_msg.log"));

    // A new failure is a new episode.
    std::filesystem::remove(imp);
    std::filesystem::create_directories(imp);
    ::testing::internal::CaptureStderr();
    Receive(refused);
    EXPECT_EQ("Log entry not written: " + failure + "\n", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(4u, udp.sent.size());
    EXPECT_EQ((Lines{err, err}), rig.Err());
}

TEST_F(MessageProcessorTest, UnwritableDailyLogCostsNeitherAckNorMonitoringLine) {
    const std::string day = rig.dir.Path() + "Log/All msg/2026-12-08.log";
    const std::string failure = "Cannot open log file " + day + ": Is a directory";
    std::filesystem::remove(day);
    std::filesystem::create_directories(day);

    ::testing::internal::CaptureStderr();
    Receive(kEvent);
    Receive(kEvent);
    const std::string told = ::testing::internal::GetCapturedStderr();

    ASSERT_EQ(2u, udp.sent.size());
    EXPECT_EQ("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 02 90", Spaced(udp.sent[0].data));
    EXPECT_EQ("01 00 00 05 03 02 01 00 1A 0C 08 0A 1E 02 90", Spaced(udp.sent[1].data));
    EXPECT_EQ((Lines{"5077 181234E13001005", "5077 181234E13001005"}), Queued());
    // Told once, not once per entry.
    EXPECT_EQ("Log entry not written: " + failure + "\n", told);
    EXPECT_EQ(Lines{"ERR in AddMsg, Error Msg: " + failure}, rig.Err());
    EXPECT_EQ(core.Logs().err.LastLine() + "\r\n",
              rig.dir.Read("Log/Errors.log").substr(0, core.Logs().err.LastLine().size() + 2));
}

// The unit gets its ACK only once its line is in the journal on disk; a
// Ping queues nothing and waits for nothing.
TEST_F(MessageProcessorTest, AnEventsLineIsJournaledBeforeItsUnitIsAnswered) {
    std::vector<bool> journaledAtSend;
    udp.onSend = [&] {
        journaledAtSend.push_back(rig.dir.Read("RAZUDovuve.journal").find("5077 181234E13001005") !=
                                  std::string::npos);
    };
    Receive(kEvent);
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());
    EXPECT_EQ(std::vector<bool>{true}, journaledAtSend);

    Receive(Hex("23 00 00 06 03 02 01 00 F2"));
    EXPECT_EQ(2u, udp.sent.size());
    EXPECT_EQ(Lines{"5077 181234E13001005"}, Queued());
}

// Datagrams read together share one sync: the answers that wait for it
// leave together, in arrival order, when the last datagram is handled.
TEST_F(MessageProcessorTest, DatagramsReadTogetherShareOneSync) {
    const Bytes ping124 = WithCrc("23 00 00 08 04 02 01 00");
    const Bytes event125 =
        EventFrame("1A 0C 08 0A 1E 00", "5555113001007", "06 00 00 09 05 02 01 00");
    const Bytes ping126 = WithCrc("23 00 00 0A 06 02 01 00");
    udp.DeliverBatch({{"10.0.0.5", 4000, kEvent},
                      {"10.0.0.6", 4001, ping124},
                      {"10.0.0.7", 4002, event125},
                      {"10.0.0.8", 4003, ping126}});

    EXPECT_EQ((Lines{"5077 181234E13001005", "5077 185555E13001007"}), Queued());
    ASSERT_EQ(4u, udp.sent.size());
    const std::vector<int> frameIds = {5, 8, 9, 10};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(frame::kAck, udp.sent[i].data[0]);
        EXPECT_EQ(frameIds[i], udp.sent[i].data[3]);
        EXPECT_EQ(4000 + static_cast<int>(i), udp.sent[i].port);
    }
    // Each "Send ACK" follows its answer: the held ones come with the last.
    const Lines all = rig.All();
    const auto last =
        std::find(all.begin(), all.end(), "[Unit 0126] [Account ] [FrameID=10] [Ping]");
    ASSERT_NE(all.end(), last);
    EXPECT_EQ(0, std::count(all.begin(), last, "Send ACK"));
    EXPECT_EQ(Lines(4, "Send ACK"), Lines(last + 1, last + 5));
}

TEST_F(MessageProcessorTest, PingsReadTogetherAreAnsweredOneByOne) {
    const Bytes ping124 = WithCrc("23 00 00 08 04 02 01 00");
    udp.DeliverBatch(
        {{"10.0.0.5", 4000, Hex("23 00 00 06 03 02 01 00 F2")}, {"10.0.0.6", 4001, ping124}});
    ASSERT_EQ(2u, udp.sent.size());
    const Lines all = rig.All();
    const auto first =
        std::find(all.begin(), all.end(), "[Unit 0123] [Account ] [FrameID=6] [Ping]");
    ASSERT_NE(all.end(), first);
    EXPECT_EQ("Send ACK", *(first + 1));
}

}  // namespace
