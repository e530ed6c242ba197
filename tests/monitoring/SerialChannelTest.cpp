#include "monitoring/SerialChannel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeSerialDevice.h"
#include "fakes/RecordingLineEvents.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;

namespace {

// What reached the answer handler, and when (monotonic ms).
struct Received {
    Bytes bytes;
    std::int64_t at;
};

const Bytes kLine = ToBytes(std::string("5077 181234E13001005") + '\x14');

class SerialChannelTest : public ::testing::Test {
protected:
    SerialChannelTest() : channel(device, sched, sched, dir.Path()) {
        channel.SetEvents(&events);
        events.onAnswer = [this] {
            received.push_back({events.answers.back(), sched.MonotonicMs()});
        };
    }

    // Opens the port, waits out its quiet time and lets the first reception,
    // which the read request takes at once, go by, so that the timing rules
    // apply to what follows. Ends 1000 ms after the open, not armed.
    void OpenAndSettle() {
        openedAt = sched.MonotonicMs();
        channel.SerialOpen("COM1");
        ASSERT_TRUE(channel.IsOpen());
        sched.Advance(SerialChannel::kQuietMs);
        Arm();
        device.Receive({0x06});
        ASSERT_EQ(1u, received.size());
        received.clear();
        sched.Advance(1000 - SerialChannel::kQuietMs);
    }
    // Writes a line that drains at once and is told of: the next cluster
    // answers it.
    void Arm() {
        ASSERT_TRUE(channel.Write(kLine));
        device.Deliver();
        ASSERT_TRUE(channel.Armed());
    }

    FakeScheduler sched;
    FakeSerialDevice device;
    TempDir dir;
    SerialChannel channel;
    RecordingLineEvents events;
    std::vector<Received> received;
    std::int64_t openedAt = 0;
};

TEST_F(SerialChannelTest, FirstReceptionIsTakenAtOnce) {
    channel.SerialOpen("COM1");
    sched.Advance(5000);
    Arm();
    device.Receive({0x06});
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(Bytes({0x06}), received[0].bytes);
}

TEST_F(SerialChannelTest, ClusterWaitGrowsWithTheWaitingBytes) {
    // More than 250 ms + 1.1 ms per waiting byte (truncated) after the bytes
    // came in; the queue is looked at every 75 ms.
    struct Case {
        std::size_t bytes;
        std::int64_t wait;
    };
    const Case cases[] = {{1, 251}, {3, 253}, {21, 273}, {100, 360}, {1000, 1350}, {3071, 3628}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        FakeScheduler s;
        FakeSerialDevice d;
        SerialChannel ch(d, s, s, dir.Path());
        RecordingLineEvents ev;
        std::vector<std::int64_t> at;
        ev.onAnswer = [&] { at.push_back(s.MonotonicMs()); };
        ch.SetEvents(&ev);
        ch.SerialOpen("COM1");
        s.Advance(SerialChannel::kQuietMs);
        ASSERT_TRUE(ch.Write(kLine));
        d.Receive({0x00});
        ASSERT_EQ(1u, at.size());
        s.Advance(1000 + 13);  // off the poll grid on purpose
        ASSERT_TRUE(ch.Write(kLine));
        d.Deliver();

        const std::int64_t arrived = s.MonotonicMs();
        d.Receive(Bytes(c.bytes, 0x41));
        s.Advance(c.wait);
        EXPECT_EQ(1u, at.size()) << "taken too early";
        s.Advance(SerialChannel::kPollMs);
        ASSERT_EQ(2u, at.size());
        EXPECT_EQ(Bytes(c.bytes, 0x41), ev.answers[1]);
        EXPECT_GT(at[1] - arrived, c.wait);
        EXPECT_LE(at[1] - arrived, c.wait + SerialChannel::kPollMs);
    }
}

TEST_F(SerialChannelTest, ThreeBytesWithinMillisecondsAreOneCluster) {
    OpenAndSettle();
    Arm();
    device.Receive({0x06});
    sched.Advance(2);
    device.Receive({0x15});
    sched.Advance(1);
    device.Receive({0x06});
    sched.Advance(2000);
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(Bytes({0x06, 0x15, 0x06}), received[0].bytes);
}

TEST_F(SerialChannelTest, FullClusterIsTakenAtOnce) {
    OpenAndSettle();
    Arm();
    device.Receive(Bytes(3071, 0x30));
    EXPECT_TRUE(received.empty());
    device.Receive({0x31});
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(3072u, received[0].bytes.size());
    EXPECT_EQ(0x31, received[0].bytes.back());

    Arm();
    device.Receive(Bytes(5000, 0x32));
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(5000u, received[1].bytes.size());
}

TEST_F(SerialChannelTest, LineErrorTakesTheWaitingBytesAtOnce) {
    OpenAndSettle();
    Arm();
    device.lineError = true;
    device.Receive({0x00, 0x06});
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(Bytes({0x00, 0x06}), received[0].bytes);
}

TEST_F(SerialChannelTest, LineErrorWithEmptyQueueIsForgotten) {
    OpenAndSettle();
    Arm();
    device.lineError = true;
    sched.Advance(SerialChannel::kPollMs);
    device.Receive({0x06});
    EXPECT_TRUE(received.empty());
    sched.Advance(400);
    EXPECT_EQ(1u, received.size());
}

TEST_F(SerialChannelTest, BytesSeenOnlyAtATickCountFromTheLastEmptyLook) {
    // Bytes that came without a notification were not there at the last
    // look, so their wait is counted from that look.
    OpenAndSettle();  // ticks at openedAt + 75 k; now openedAt + 1000
    Arm();            // a look, empty, at openedAt + 1000
    sched.Advance(49);
    device.rx = {0x06};  // one ms before the tick at openedAt + 1050
    sched.Advance(202);
    EXPECT_TRUE(received.empty());
    sched.Advance(1);  // 252 ms after the empty look
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(openedAt + 1252, received[0].at);
}

TEST_F(SerialChannelTest, NothingArrivingRaisesNothing) {
    channel.SerialOpen("COM1");
    sched.Advance(60000);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ("R", events.told);
}

TEST_F(SerialChannelTest, WriteHandsTheBytesOverUnchanged) {
    channel.SerialOpen("COM1");
    sched.Advance(SerialChannel::kQuietMs);
    EXPECT_TRUE(channel.Write(kLine));
    ASSERT_EQ(1u, device.writes.size());
    EXPECT_EQ(kLine, device.writes[0]);
}

TEST_F(SerialChannelTest, EmptyWriteSendsNothingAndKeepsTheChannelFree) {
    channel.SerialOpen("COM1");
    sched.Advance(SerialChannel::kQuietMs);
    device.autoDrain = false;
    EXPECT_FALSE(channel.Write({}));
    EXPECT_TRUE(device.writes.empty());
    EXPECT_TRUE(channel.Write({0x41}));
    EXPECT_EQ(1u, device.writes.size());
}

TEST_F(SerialChannelTest, WriteWhileClosedSendsNothing) {
    EXPECT_FALSE(channel.CanWrite());
    EXPECT_FALSE(channel.Write({0x41}));
    EXPECT_TRUE(device.writes.empty());
}

TEST_F(SerialChannelTest, WriteDuringAnUnfinishedWriteIsRefused) {
    channel.SerialOpen("COM1");
    sched.Advance(SerialChannel::kQuietMs);
    device.autoDrain = false;
    EXPECT_TRUE(channel.Write(Bytes(21, 0x41)));
    sched.Advance(10);
    EXPECT_FALSE(channel.CanWrite());
    EXPECT_FALSE(channel.Write(Bytes(21, 0x42)));
    ASSERT_EQ(1u, device.writes.size());
    EXPECT_EQ(0, device.discards);

    device.Drain();  // the driver took the first write, and says so
    EXPECT_EQ("RDR", events.told);
    EXPECT_TRUE(channel.Write(Bytes(21, 0x43)));
    ASSERT_EQ(2u, device.writes.size());
    EXPECT_EQ(Bytes(21, 0x43), device.writes[1]);
}

TEST_F(SerialChannelTest, UnfinishedWriteIsGivenUpByTheWatchAfterItsTime) {
    // 21 bytes: 23 ms + 250 ms; the watch looks every 75 ms.
    channel.SerialOpen("COM1");
    sched.Advance(SerialChannel::kQuietMs);  // on a tick of the watch
    device.autoDrain = false;
    EXPECT_TRUE(channel.Write(Bytes(21, 0x41)));
    sched.Advance(3 * SerialChannel::kPollMs);
    EXPECT_FALSE(channel.Write(Bytes(21, 0x42)));
    EXPECT_EQ(0, device.discards);

    sched.Advance(SerialChannel::kPollMs);  // 300 ms after the write
    EXPECT_EQ(1, device.discards);
    EXPECT_EQ(0u, device.pending);
    EXPECT_EQ("RR", events.told);  // free again; nothing drained
    EXPECT_TRUE(channel.Write(Bytes(21, 0x43)));
    ASSERT_EQ(2u, device.writes.size());
    EXPECT_EQ(Bytes(21, 0x43), device.writes[1]);
}

TEST_F(SerialChannelTest, StuckWriteIsDiscardedByTheWatchEvenWithoutANewWrite) {
    channel.SerialOpen("COM1");
    sched.Advance(SerialChannel::kQuietMs);
    device.autoDrain = false;
    channel.Write(Bytes(1000, 0x41));  // 1100 + 250 ms
    sched.Advance(1350);
    EXPECT_EQ(0, device.discards);
    sched.Advance(SerialChannel::kPollMs);
    EXPECT_EQ(1, device.discards);
    EXPECT_EQ(0u, device.pending);
}

TEST(SerialPortNames, MapToDevices) {
    TempDir dir;
    std::filesystem::create_directories(dir.Path() + "ports");
    std::filesystem::create_symlink("/dev/null", dir.Path() + "ports/COM7");
    std::filesystem::create_symlink(dir.Path() + "absent", dir.Path() + "ports/CNCA1");
    std::filesystem::create_directories(dir.Path() + "ports/USB3");

    struct Case {
        std::string name;
        std::string path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM10", "/dev/ttyS9"},
        {"com3", "/dev/ttyS2"},
        {"COM0", "/dev/COM0"},
        {"COMX", "/dev/COMX"},
        {"USB0", "/dev/ttyUSB0"},
        {"usb12", "/dev/ttyUSB12"},
        {"ACM2", "/dev/ttyACM2"},
        {"ttyS4", "/dev/ttyS4"},
        {"CNCB1", "/dev/CNCB1"},
        {"COM7", dir.Path() + "ports/COM7"},
        {"com7", "/dev/ttyS6"},
        {"CNCA1", dir.Path() + "ports/CNCA1"},  // a dangling link still names the port
        {"USB3", dir.Path() + "ports/USB3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.path, ResolveSerialDevice(dir.Path(), c.name)) << c.name;
    }
}

TEST_F(SerialChannelTest, OpenUsesThePortsFolderFirst) {
    std::filesystem::create_directories(dir.Path() + "ports");
    std::filesystem::create_symlink("/dev/null", dir.Path() + "ports/COM7");
    channel.SerialOpen("COM7");
    EXPECT_EQ(std::vector<std::string>{dir.Path() + "ports/COM7"}, device.openCalls);
}

TEST_F(SerialChannelTest, SameNameWhileOpenClosesAndReopens) {
    channel.SerialOpen("COM7");
    channel.SerialOpen("COM7");
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS6"}), device.openCalls);
    EXPECT_EQ(1, device.closes);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_FALSE(channel.Retrying());
}

TEST_F(SerialChannelTest, NewNameClosesTheOldPortFirst) {
    channel.SerialOpen("COM7");
    channel.SerialOpen("COM8");
    EXPECT_EQ(1, device.closes);
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS7"}), device.openCalls);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ("COM8", channel.PortName());
}

TEST_F(SerialChannelTest, FailedOpenUnderNewNameLeavesItClosedAndRetriesOnNextCall) {
    channel.SerialOpen("COM7");
    device.failOpen = true;
    channel.SerialOpen("COM8");
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(1, device.closes);
    channel.SerialOpen("COM8");
    EXPECT_EQ(3u, device.openCalls.size());
    device.failOpen = false;
    channel.SerialOpen("COM8");
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ(1, device.closes);
}

TEST_F(SerialChannelTest, CloseStopsReceivingAndClosesTheDevice) {
    channel.SerialOpen("COM1");
    channel.SerialClose();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(1, device.closes);
    device.rx = {0x06};
    sched.Advance(1000);
    EXPECT_TRUE(received.empty());
    channel.SerialClose();
    EXPECT_EQ(1, device.closes);
}

// A device whose driver throws while opening.
class ThrowingSerialDevice : public FakeSerialDevice {
public:
    bool Open(const std::string&) override { throw std::runtime_error("driver exploded"); }
};

class DoActivateSerialPortTest : public ::testing::Test {
protected:
    FakeScheduler sched;
    TempDir dir;
    TestLogChannels ch{sched, sched};
    LogChannels logs = ch.Channels();
};

// Bytes the driver holds when the port opens answer what another run wrote:
// they are discarded unread. Bytes in the quiet time after the open are read,
// logged and dropped, and the port takes no write until its input has been
// quiet for 300 ms.
TEST_F(DoActivateSerialPortTest, InputBeforeAndJustAfterTheOpenIsNoAnswer) {
    FakeSerialDevice device;
    device.Receive({0x06});  // waits in the driver of the closed port
    SerialChannel channel(device, sched, sched, dir.Path());
    RecordingLineEvents events;
    channel.SetEvents(&events);
    DoActivateSerialPort(channel, "COM1", logs);
    EXPECT_EQ(1, device.inputDiscards);
    device.Deliver();
    EXPECT_TRUE(device.rx.empty());
    EXPECT_FALSE(channel.CanWrite());

    sched.Advance(50);
    device.Receive({0x06, 0x15});
    EXPECT_EQ("<< Bytes from monitoring software with no line in flight: 0x0615", ch.All().back());
    sched.Advance(SerialChannel::kQuietMs);  // 300 ms since those bytes: not yet at a tick
    EXPECT_FALSE(channel.Write(kLine));
    EXPECT_EQ("", events.told);
    sched.Advance(SerialChannel::kPollMs);
    EXPECT_EQ("R", events.told);
    EXPECT_TRUE(channel.Write(kLine));
    device.Receive({0x06});
    sched.Advance(400);
    EXPECT_EQ("RDRA", events.told);
    EXPECT_EQ(std::vector<Bytes>{{0x06}}, events.answers);
    EXPECT_EQ(2u, ch.All().size());
}

TEST_F(DoActivateSerialPortTest, ReportsTheOutcomeOnItsChannel) {
    FakeSerialDevice device;
    device.openable = "ttyS6";
    SerialChannel channel(device, sched, sched, dir.Path());

    DoActivateSerialPort(channel, "COM7", logs);
    DoActivateSerialPort(channel, "COM7", logs);  // posted again: reopened
    DoActivateSerialPort(channel, "COM9", logs);

    EXPECT_EQ((std::vector<std::string>{"Serial Port COM7 opened", "Serial Port COM7 opened",
                                        "!! CAN NOT OPEN SERIAL PORT COM9"}),
              ch.All());
    EXPECT_EQ(std::vector<std::string>{"!! CAN NOT OPEN SERIAL PORT COM9"}, ch.Imp());
    EXPECT_TRUE(ch.errMemo.lines.empty());
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS6", "/dev/ttyS8"}),
              device.openCalls);
    EXPECT_EQ(2, device.closes);
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_TRUE(channel.Retrying());
}

TEST_F(DoActivateSerialPortTest, ReportsAnExceptionUnderItsName) {
    ThrowingSerialDevice device;
    SerialChannel channel(device, sched, sched, dir.Path());
    DoActivateSerialPort(channel, "COM1", logs);
    EXPECT_EQ(std::vector<std::string>{"ERR in DoActivateSerialPort, Error Msg: driver exploded"},
              ch.Err());
    EXPECT_TRUE(ch.impMemo.lines.empty());
    EXPECT_EQ(std::vector<std::string>{"ERR in DoActivateSerialPort, Error Msg: driver exploded"},
              ch.All());
}

// A port that was open and goes away by itself: told once, tried again every
// 5 seconds without a word, and the waiting lines go out once it is back.
class SerialReconnectTest : public ::testing::Test {
protected:
    SerialReconnectTest()
        : logs(sched, sched),
          channel(device, sched, sched, logs.dir.Path()),
          buffer(channel, sched, sched, logs.Channels()) {
        buffer.RetransmitTimer().Start();
    }

    // Opens COM7 as the settings do, lets the first answer go by, and clears
    // the memos.
    // The two lines queued while the port was away go out in order: the
    // head once the port's quiet time after the open is over, the next one
    // on the answer.
    void ExpectTheTwoWaitingLinesInOrder() {
        EXPECT_TRUE(device.writes.empty());
        sched.Advance(SerialChannel::kQuietMs);
        ASSERT_EQ(1u, device.writes.size());
        EXPECT_EQ(ToBytes(std::string("5077 180101E13001005") + '\x14'), device.writes[0]);
        device.Receive({0x06});
        sched.Advance(400);
        ASSERT_EQ(2u, device.writes.size());
        EXPECT_EQ(ToBytes(std::string("5077 180102E13001005") + '\x14'), device.writes[1]);
    }

    void OpenCom7() {
        DoActivateSerialPort(channel, "COM7", logs.Channels());
        ASSERT_TRUE(channel.IsOpen());
        device.Receive({0x06});
        logs.allMemo.lines.clear();
        logs.impMemo.lines.clear();
    }
    // The device goes away under the open port, as a pulled adapter or a
    // closed pseudo-terminal does: the device closes itself.
    void Vanish() {
        device.Close();
        lostAt = sched.MonotonicMs();
    }
    std::vector<std::string> All() const { return logs.All(); }
    std::vector<std::string> Imp() const { return logs.Imp(); }

    FakeScheduler sched;
    FakeSerialDevice device;
    TestLogChannels logs;
    SerialChannel channel;
    SendBuffer buffer;
    std::int64_t lostAt = 0;
};

TEST_F(SerialReconnectTest, LostPortIsToldOnceAndTriedAgainEveryFiveSecondsSilently) {
    OpenCom7();
    Vanish();
    sched.Advance(SerialChannel::kPollMs);
    EXPECT_TRUE(channel.Retrying());
    const std::vector<std::string> lost = {"!! SERIAL PORT COM7 LOST"};
    EXPECT_EQ(lost, Imp());
    EXPECT_EQ(lost, All());

    // The watch noticed it at its next tick; the tries follow every 5 s from
    // there, each under the same name, and a failed try says nothing.
    const std::int64_t noticed = sched.MonotonicMs();
    EXPECT_LE(noticed - lostAt, SerialChannel::kPollMs);
    device.failOpen = true;
    sched.Advance(SerialChannel::kRetryMs - 1);
    EXPECT_EQ(1u, device.openCalls.size());
    sched.Advance(1);
    ASSERT_EQ(2u, device.openCalls.size());
    EXPECT_EQ("/dev/ttyS6", device.openCalls[1]);
    sched.Advance(3 * SerialChannel::kRetryMs);
    EXPECT_EQ(5u, device.openCalls.size());
    EXPECT_EQ(lost, Imp());
    EXPECT_EQ(lost, All());

    device.failOpen = false;
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_FALSE(channel.Retrying());
    EXPECT_EQ((std::vector<std::string>{"!! SERIAL PORT COM7 LOST", "Serial Port COM7 opened"}),
              All());
    EXPECT_EQ(lost, Imp());

    // Open again: no more tries.
    sched.Advance(4 * SerialChannel::kRetryMs);
    EXPECT_EQ(6u, device.openCalls.size());
    EXPECT_TRUE(logs.errMemo.lines.empty());
}

TEST_F(SerialReconnectTest, LinesWaitWhileLostAndGoOutInOrderWhenBack) {
    OpenCom7();
    Vanish();
    sched.Advance(SerialChannel::kPollMs);
    buffer.AddToSendBuffer("5077 180101E13001005");
    buffer.AddToSendBuffer("5077 180102E13001005");
    device.failOpen = true;
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_TRUE(device.writes.empty());

    device.failOpen = false;
    sched.Advance(SerialChannel::kRetryMs);
    ASSERT_TRUE(channel.IsOpen());
    ExpectTheTwoWaitingLinesInOrder();
}

// The receiver starts before the adapter is there (a PC booting after a
// power cut): told once, tried every 5 s without a word, told when it opens,
// and the lines that waited go out in order.
TEST_F(SerialReconnectTest, PortThatNeverOpenedIsTriedAgainEveryFiveSeconds) {
    device.failOpen = true;
    DoActivateSerialPort(channel, "COM7", logs.Channels());
    EXPECT_TRUE(channel.Retrying());
    const std::vector<std::string> told = {"!! CAN NOT OPEN SERIAL PORT COM7"};
    EXPECT_EQ(told, Imp());
    buffer.AddToSendBuffer("5077 180101E13001005");
    buffer.AddToSendBuffer("5077 180102E13001005");

    sched.Advance(SerialChannel::kRetryMs - 1);
    EXPECT_EQ(1u, device.openCalls.size());
    sched.Advance(1);
    EXPECT_EQ(2u, device.openCalls.size());
    sched.Advance(10 * SerialChannel::kRetryMs);
    EXPECT_EQ(12u, device.openCalls.size());
    for (const std::string& path : device.openCalls) EXPECT_EQ("/dev/ttyS6", path);
    EXPECT_EQ(told, Imp());
    EXPECT_EQ(told, All());
    EXPECT_TRUE(device.writes.empty());

    device.failOpen = false;
    sched.Advance(SerialChannel::kRetryMs);
    ASSERT_TRUE(channel.IsOpen());
    EXPECT_FALSE(channel.Retrying());
    EXPECT_EQ(
        (std::vector<std::string>{"!! CAN NOT OPEN SERIAL PORT COM7", "Serial Port COM7 opened"}),
        All());
    EXPECT_EQ(told, Imp());

    ExpectTheTwoWaitingLinesInOrder();

    // Open: no more tries.
    const std::size_t opens = device.openCalls.size();
    sched.Advance(4 * SerialChannel::kRetryMs);
    EXPECT_EQ(opens, device.openCalls.size());
    EXPECT_TRUE(logs.errMemo.lines.empty());
}

// A driver that throws while the port is first opened is reported, and the
// port is tried again all the same.
TEST_F(SerialReconnectTest, PortWhoseDriverThrowsIsTriedAgain) {
    struct Throwing : FakeSerialDevice {
        bool Open(const std::string& path) override {
            if (fail)
                throw std::runtime_error("driver exploded");
            return FakeSerialDevice::Open(path);
        }
        bool fail = true;
    } throwing;
    SerialChannel ch(throwing, sched, sched, logs.dir.Path());
    DoActivateSerialPort(ch, "COM7", logs.Channels());
    EXPECT_EQ(std::vector<std::string>{"ERR in DoActivateSerialPort, Error Msg: driver exploded"},
              TestLogChannels::Texts(logs.errMemo));
    EXPECT_TRUE(ch.Retrying());
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_FALSE(ch.IsOpen());
    throwing.fail = false;
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_TRUE(ch.IsOpen());
    EXPECT_EQ("Serial Port COM7 opened", All().back());
}

TEST_F(SerialReconnectTest, PortClosedByTheProgramIsNotLost) {
    OpenCom7();
    channel.SerialClose();
    sched.Advance(60000);
    EXPECT_EQ(1u, device.openCalls.size());
    EXPECT_TRUE(Imp().empty());
    EXPECT_TRUE(All().empty());
}

TEST_F(SerialReconnectTest, AnotherNamePostedWhileLostIsTriedInsteadOfTheOld) {
    OpenCom7();
    Vanish();
    sched.Advance(SerialChannel::kPollMs);
    device.failOpen = true;
    DoActivateSerialPort(channel, "COM8", logs.Channels());
    EXPECT_TRUE(channel.Retrying());
    sched.Advance(2 * SerialChannel::kRetryMs);
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS7", "/dev/ttyS7", "/dev/ttyS7"}),
              device.openCalls);
    EXPECT_EQ(
        (std::vector<std::string>{"!! SERIAL PORT COM7 LOST", "!! CAN NOT OPEN SERIAL PORT COM8"}),
        Imp());
}

TEST_F(SerialReconnectTest, SameNamePostedWhileLostKeepsTrying) {
    OpenCom7();
    Vanish();
    sched.Advance(SerialChannel::kPollMs);
    device.failOpen = true;
    DoActivateSerialPort(channel, "COM7", logs.Channels());
    EXPECT_EQ(
        (std::vector<std::string>{"!! SERIAL PORT COM7 LOST", "!! CAN NOT OPEN SERIAL PORT COM7"}),
        Imp());
    EXPECT_TRUE(channel.Retrying());
    device.failOpen = false;
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ("Serial Port COM7 opened", All().back());
}

TEST_F(SerialReconnectTest, ErrorEscapingTheAnswerHandlerStaysInTheChannel) {
    struct Throwing : RecordingLineEvents {
        void LineAnswered(ILineOutput& o, const Bytes& b) override {
            RecordingLineEvents::LineAnswered(o, b);
            throw std::runtime_error("Cannot open log file Log/All msg/x.log: Permission denied");
        }
    } throwing;
    OpenCom7();
    channel.SetEvents(&throwing);
    sched.Advance(SerialChannel::kQuietMs);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(channel.Write(kLine));
        device.Receive({0x06});
        sched.Advance(400);
    }
    EXPECT_EQ(2u, throwing.answers.size());
    const std::string err =
        "ERR in SerialPortNG1RxClusterEvent, Error Msg: Cannot open log file Log/All msg/x.log: "
        "Permission denied";
    EXPECT_EQ((std::vector<std::string>{err, err}), logs.Err());
    channel.SetEvents(&buffer);
}

// The answer counts only for a line that has left: bytes that came before
// the head drained, or that were waiting when it was written, are logged
// and dropped, and the head stays until its own answer. A write the port
// refuses is not logged and goes out once the port is ready.
TEST_F(SerialReconnectTest, OnlyBytesAfterTheDrainAnswerTheHead) {
    const std::string l1 = "5077 180101E13001005";
    const std::string l2 = "5077 180102E13001005";
    const std::string stray = "<< Bytes from monitoring software with no line in flight: 0x06";
    OpenCom7();
    device.autoDrain = false;
    buffer.AddToSendBuffer(l1);
    buffer.QueueLine(l2);
    EXPECT_TRUE(device.writes.empty());  // the quiet time after the open
    EXPECT_TRUE(All().empty());
    sched.Advance(SerialChannel::kQuietMs);
    ASSERT_EQ(1u, device.writes.size());
    EXPECT_EQ(std::vector<std::string>{">> " + l1}, All());

    device.Receive({0x06});  // before the drain
    device.Drain();
    sched.Advance(1000);
    EXPECT_EQ(l1, buffer.SendBufferHeadLine());
    EXPECT_EQ((std::vector<std::string>{">> " + l1, stray}), All());

    device.Receive({0x06});  // the answer
    sched.Advance(400);
    EXPECT_EQ(l2, buffer.SendBufferHeadLine());
    ASSERT_EQ(2u, device.writes.size());
    device.Drain();
    device.Receive({0x06});  // a second answer to l1, or a stale one: it answers l2
    device.Receive({0x15});
    sched.Advance(400);
    EXPECT_EQ(l2, buffer.SendBufferHeadLine());  // refused within the same cluster
    EXPECT_EQ("<< NAK from monitoring software for line [" + l2 + "] (1 of 3)", Imp().back());
}

}  // namespace
