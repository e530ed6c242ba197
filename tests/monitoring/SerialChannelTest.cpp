#include "monitoring/SerialChannel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeSerialDevice.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;

namespace {

// What reached the receive handler, and when (monotonic ms).
struct Received {
    Bytes bytes;
    std::int64_t at;
};

class SerialChannelTest : public ::testing::Test {
protected:
    SerialChannelTest() : channel(device, sched, sched, dir.Path()) {
        channel.OnRxCluster = [this] {
            received.push_back({channel.SerialTakeCluster(), sched.MonotonicMs()});
        };
    }

    // Opens the port and lets the first reception, which the read request
    // takes at once, go by, so that the timing rules apply to what follows.
    void OpenAndSettle() {
        openedAt = sched.MonotonicMs();
        channel.SerialOpen("COM1");
        ASSERT_TRUE(channel.SerialIsOpen());
        device.Receive({0x06});
        ASSERT_EQ(1u, received.size());
        received.clear();
        sched.Advance(1000);
    }

    FakeScheduler sched;
    FakeSerialDevice device;
    TempDir dir;
    SerialChannel channel;
    std::vector<Received> received;
    std::int64_t openedAt = 0;
};

TEST_F(SerialChannelTest, FirstReceptionIsTakenAtOnce) {
    channel.SerialOpen("COM1");
    sched.Advance(5000);
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
        std::vector<Received> got;
        ch.OnRxCluster = [&] { got.push_back({ch.SerialTakeCluster(), s.MonotonicMs()}); };
        ch.SerialOpen("COM1");
        d.Receive({0x00});
        ASSERT_EQ(1u, got.size());
        got.clear();
        s.Advance(1000 + 13);  // off the poll grid on purpose

        const std::int64_t arrived = s.MonotonicMs();
        d.Receive(Bytes(c.bytes, 0x41));
        s.Advance(c.wait);
        EXPECT_TRUE(got.empty()) << "taken too early";
        s.Advance(SerialChannel::kPollMs);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(Bytes(c.bytes, 0x41), got[0].bytes);
        EXPECT_GT(got[0].at - arrived, c.wait);
        EXPECT_LE(got[0].at - arrived, c.wait + SerialChannel::kPollMs);
    }
}

TEST_F(SerialChannelTest, ThreeBytesWithinMillisecondsAreOneCluster) {
    OpenAndSettle();
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
    device.Receive(Bytes(3071, 0x30));
    EXPECT_TRUE(received.empty());
    device.Receive({0x31});
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(3072u, received[0].bytes.size());
    EXPECT_EQ(0x31, received[0].bytes.back());

    device.Receive(Bytes(5000, 0x32));
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(5000u, received[1].bytes.size());
}

TEST_F(SerialChannelTest, LineErrorTakesTheWaitingBytesAtOnce) {
    OpenAndSettle();
    device.lineError = true;
    device.Receive({0x00, 0x06});
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(Bytes({0x00, 0x06}), received[0].bytes);
}

TEST_F(SerialChannelTest, LineErrorWithEmptyQueueIsForgotten) {
    OpenAndSettle();
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
    sched.Advance(49);
    device.rx = {0x06};  // one ms before the tick at openedAt + 1050
    sched.Advance(225);
    EXPECT_TRUE(received.empty());
    sched.Advance(1);  // the tick at openedAt + 1275: 300 ms after the empty look
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(openedAt + 1275, received[0].at);
}

TEST_F(SerialChannelTest, NothingArrivingRaisesNothing) {
    channel.SerialOpen("COM1");
    sched.Advance(60000);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(channel.SerialTakeCluster().empty());
}

TEST_F(SerialChannelTest, ClustersQueueInOrderUntilTaken) {
    std::vector<std::size_t> waitingAtEvent;
    channel.OnRxCluster = [&] { waitingAtEvent.push_back(channel.PendingClusters()); };
    channel.SerialOpen("COM1");
    device.Receive({0x01});
    sched.Advance(400);
    device.Receive({0x02, 0x03});
    sched.Advance(400);
    EXPECT_EQ((std::vector<std::size_t>{1, 2}), waitingAtEvent);
    EXPECT_EQ(Bytes({0x01}), channel.SerialTakeCluster());
    EXPECT_EQ(Bytes({0x02, 0x03}), channel.SerialTakeCluster());
    EXPECT_TRUE(channel.SerialTakeCluster().empty());
}

TEST_F(SerialChannelTest, WriteHandsTheBytesOverUnchanged) {
    channel.SerialOpen("COM1");
    const Bytes line = ToBytes(std::string("5077 181234E13001005") + '\x14');
    channel.SerialWrite(line);
    ASSERT_EQ(1u, device.writes.size());
    EXPECT_EQ(line, device.writes[0]);
}

TEST_F(SerialChannelTest, EmptyWriteSendsNothingAndKeepsTheChannelFree) {
    channel.SerialOpen("COM1");
    device.autoDrain = false;
    channel.SerialWrite({});
    EXPECT_TRUE(device.writes.empty());
    channel.SerialWrite({0x41});
    EXPECT_EQ(1u, device.writes.size());
}

TEST_F(SerialChannelTest, WriteWhileClosedSendsNothing) {
    channel.SerialWrite({0x41});
    EXPECT_TRUE(device.writes.empty());
}

TEST_F(SerialChannelTest, WriteDuringAnUnfinishedWriteIsDropped) {
    channel.SerialOpen("COM1");
    device.autoDrain = false;
    channel.SerialWrite(Bytes(21, 0x41));
    sched.Advance(10);
    channel.SerialWrite(Bytes(21, 0x42));
    ASSERT_EQ(1u, device.writes.size());
    EXPECT_EQ(0, device.discards);

    device.pending = 0;  // the driver took the first write
    channel.SerialWrite(Bytes(21, 0x43));
    ASSERT_EQ(2u, device.writes.size());
    EXPECT_EQ(Bytes(21, 0x43), device.writes[1]);
}

TEST_F(SerialChannelTest, UnfinishedWriteIsGivenUpAfterItsTime) {
    // 21 bytes: 23 ms + 250 ms.
    channel.SerialOpen("COM1");
    device.autoDrain = false;
    const std::int64_t start = sched.MonotonicMs();
    channel.SerialWrite(Bytes(21, 0x41));
    sched.Advance(273);
    channel.SerialWrite(Bytes(21, 0x42));
    EXPECT_EQ(1u, device.writes.size());
    EXPECT_EQ(0, device.discards);

    sched.Advance(1);
    ASSERT_EQ(274, sched.MonotonicMs() - start);
    channel.SerialWrite(Bytes(21, 0x43));
    EXPECT_EQ(1, device.discards);
    ASSERT_EQ(2u, device.writes.size());
    EXPECT_EQ(Bytes(21, 0x43), device.writes[1]);
}

TEST_F(SerialChannelTest, StuckWriteIsDiscardedByTheWatchEvenWithoutANewWrite) {
    channel.SerialOpen("COM1");
    device.autoDrain = false;
    channel.SerialWrite(Bytes(1000, 0x41));  // 1100 + 250 ms
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
    EXPECT_TRUE(channel.SerialIsOpen());
    EXPECT_FALSE(channel.Retrying());
}

TEST_F(SerialChannelTest, NewNameClosesTheOldPortFirst) {
    channel.SerialOpen("COM7");
    channel.SerialOpen("COM8");
    EXPECT_EQ(1, device.closes);
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS7"}), device.openCalls);
    EXPECT_TRUE(channel.SerialIsOpen());
    EXPECT_EQ("COM8", channel.PortName());
}

TEST_F(SerialChannelTest, FailedOpenUnderNewNameLeavesItClosedAndRetriesOnNextCall) {
    channel.SerialOpen("COM7");
    device.failOpen = true;
    channel.SerialOpen("COM8");
    EXPECT_FALSE(channel.SerialIsOpen());
    EXPECT_EQ(1, device.closes);
    channel.SerialOpen("COM8");
    EXPECT_EQ(3u, device.openCalls.size());
    device.failOpen = false;
    channel.SerialOpen("COM8");
    EXPECT_TRUE(channel.SerialIsOpen());
    EXPECT_EQ(1, device.closes);
}

TEST_F(SerialChannelTest, CloseStopsReceivingAndClosesTheDevice) {
    channel.SerialOpen("COM1");
    channel.SerialClose();
    EXPECT_FALSE(channel.SerialIsOpen());
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

// Bytes already waiting when the port opens answer what another run wrote:
// they are no answer to a line of this one.
TEST_F(DoActivateSerialPortTest, BytesWaitingBeforeTheOpenAreNoAnswer) {
    FakeSerialDevice device;
    device.rx = {0x06};
    SerialChannel channel(device, sched, sched, dir.Path());
    int clusters = 0;
    channel.OnRxCluster = [&] { ++clusters; };
    DoActivateSerialPort(channel, "COM1", logs);
    sched.Advance(1000);
    EXPECT_EQ(0, clusters);
    EXPECT_TRUE(device.rx.empty());

    device.Receive({0x06});
    sched.Advance(1000);
    EXPECT_EQ(1, clusters);
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
    EXPECT_FALSE(channel.SerialIsOpen());
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
        channel.OnRxCluster = [this] { buffer.TakeAnswer(); };
        buffer.RetransmitTimer().Start();
    }

    // Opens COM7 as the settings do, lets the first answer go by, and clears
    // the memos.
    // The two lines queued while the port was away go out in order: the
    // head at the send buffer's next tick, the next one on the answer.
    void ExpectTheTwoWaitingLinesInOrder() {
        sched.Advance(SendBuffer::kSendTimerMs);
        ASSERT_EQ(1u, device.writes.size());
        EXPECT_EQ(ToBytes(std::string("5077 180101E13001005") + '\x14'), device.writes[0]);
        device.Receive({0x06});
        sched.Advance(400);
        ASSERT_EQ(2u, device.writes.size());
        EXPECT_EQ(ToBytes(std::string("5077 180102E13001005") + '\x14'), device.writes[1]);
    }

    void OpenCom7() {
        DoActivateSerialPort(channel, "COM7", logs.Channels());
        ASSERT_TRUE(channel.SerialIsOpen());
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
    EXPECT_TRUE(channel.SerialIsOpen());
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
    ASSERT_TRUE(channel.SerialIsOpen());
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
    ASSERT_TRUE(channel.SerialIsOpen());
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
    EXPECT_FALSE(ch.SerialIsOpen());
    throwing.fail = false;
    sched.Advance(SerialChannel::kRetryMs);
    EXPECT_TRUE(ch.SerialIsOpen());
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
    EXPECT_TRUE(channel.SerialIsOpen());
    EXPECT_EQ("Serial Port COM7 opened", All().back());
}

TEST_F(SerialReconnectTest, ErrorEscapingTheReceiveHandlerStaysInTheChannel) {
    OpenCom7();
    int calls = 0;
    channel.OnRxCluster = [&] {
        ++calls;
        channel.SerialTakeCluster();
        throw std::runtime_error("Cannot open log file Log/All msg/x.log: Permission denied");
    };
    device.Receive({0x06});
    sched.Advance(400);
    device.Receive({0x06});
    sched.Advance(400);
    EXPECT_EQ(2, calls);
    const std::string err =
        "ERR in SerialPortNG1RxClusterEvent, Error Msg: Cannot open log file Log/All msg/x.log: "
        "Permission denied";
    EXPECT_EQ((std::vector<std::string>{err, err}), logs.Err());
}

}  // namespace
