#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "fakes/RecordingLineEvents.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SerialChannel.h"
#include "platform/SystemClock.h"
#include "qt/QtSerialDevice.h"
#include "qt/QtTimers.h"

using namespace korvan;

namespace {

// Counts the opens that reach the real device.
class CountingDevice : public ISerialDevice {
public:
    bool Open(const std::string& path) override {
        ++opens;
        const bool ok = real.Open(path);
        real.onActivity = [this] {
            if (onActivity)
                onActivity();
        };
        return ok;
    }
    void Close() override { real.Close(); }
    bool IsOpen() const override { return real.IsOpen(); }
    bool Write(const Bytes& data) override { return real.Write(data); }
    std::size_t PendingOutput() const override { return real.PendingOutput(); }
    void DiscardOutput() override { real.DiscardOutput(); }
    void DiscardInput() override { real.DiscardInput(); }
    std::size_t BytesWaiting() const override { return real.BytesWaiting(); }
    Bytes ReadAll() override { return real.ReadAll(); }
    bool TakeLineError() override { return real.TakeLineError(); }

    QtSerialDevice real;
    int opens = 0;
};

// A pseudo-terminal whose slave is the program's COM7 (linked in the ports
// folder); the test plays the monitoring software on the master.
class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(0, ::openpty(&master_, &slave_, name, nullptr, nullptr));
        slaveName_ = name;
        termios t{};
        ASSERT_EQ(0, ::tcgetattr(master_, &t));
        ::cfmakeraw(&t);
        ASSERT_EQ(0, ::tcsetattr(master_, TCSANOW, &t));
        ASSERT_EQ(0, ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK));
        std::filesystem::create_directories(dir.Path() + "ports");
        std::filesystem::create_symlink(slaveName_, dir.Path() + "ports/COM7");

        channel = std::make_unique<SerialChannel>(device, clock, timers, dir.Path());
        channel->SetEvents(&events);
        events.onAnswer = [this] { clusters.push_back(events.answers.back()); };
    }

    void TearDown() override {
        channel.reset();
        device.Close();
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }

    // What the program wrote, as soon as `count` bytes are there or the
    // deadline passed.
    Bytes ReadMaster(std::size_t count, int timeoutMs = 3000) {
        Bytes got;
        (void)QTest::qWaitFor(
            [&] {
                unsigned char buf[512];
                for (;;) {
                    const ssize_t n = ::read(master_, buf, sizeof buf);
                    if (n <= 0)
                        break;
                    got.insert(got.end(), buf, buf + n);
                }
                return got.size() >= count;
            },
            timeoutMs);
        return got;
    }

    void SendFromMaster(const Bytes& b) {
        ASSERT_EQ(static_cast<ssize_t>(b.size()), ::write(master_, b.data(), b.size()));
    }

    // Opens COM7 and waits out the quiet time after the open.
    void OpenReady() {
        channel->SerialOpen("COM7");
        ASSERT_TRUE(channel->IsOpen());
        ASSERT_TRUE(QTest::qWaitFor([&] { return channel->CanWrite(); }, 3000));
    }
    // Writes `bytes`, reads them on the master and waits until the channel
    // has seen them drain: what comes now answers them.
    void WriteAndDrain(const Bytes& bytes) {
        ASSERT_TRUE(channel->Write(bytes));
        EXPECT_EQ(bytes, ReadMaster(bytes.size()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return channel->Armed(); }, 3000));
    }

    // The first reception after start-up is taken at once; let it go by so
    // that the timing rules apply.
    void SettleReadRequest() {
        WriteAndDrain(kLine);
        SendFromMaster({0x06});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !clusters.empty(); }, 3000));
        clusters.clear();
    }

    const Bytes kLine = ToBytes(std::string("5077 181234E13001005") + '\x14');

    TempDir dir;
    SystemClock clock;
    QtTimerFactory timers;
    CountingDevice device;
    std::unique_ptr<SerialChannel> channel;
    RecordingLineEvents events;
    std::vector<Bytes> clusters;
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

TEST_F(SerialPtyTest, LineArrivesIntactWithTheFixedLineSettings) {
    OpenReady();

    termios t{};
    ASSERT_EQ(0, ::tcgetattr(slave_, &t));
    EXPECT_EQ(static_cast<speed_t>(B9600), ::cfgetospeed(&t));
    EXPECT_EQ(static_cast<speed_t>(B9600), ::cfgetispeed(&t));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & PARENB);
    EXPECT_EQ(0u, t.c_cflag & CSTOPB);
    EXPECT_EQ(0u, t.c_cflag & CRTSCTS);
    EXPECT_NE(0u, t.c_cflag & CREAD);
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | IXANY));
    // Binary: nothing translated, stripped or dropped.
    EXPECT_EQ(0u, t.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | IGNPAR | IGNBRK | PARMRK));
    EXPECT_EQ(0u, t.c_oflag & OPOST);
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));

    ASSERT_EQ(21u, kLine.size());
    SettleReadRequest();

    // Every byte value passes both ways unchanged.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    WriteAndDrain(all);
    SendFromMaster(all);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !clusters.empty(); }, 3000));
    EXPECT_EQ(std::vector<Bytes>{all}, clusters);
}

TEST_F(SerialPtyTest, ThreeBytesWithinMillisecondsAreOneReceiveEvent) {
    OpenReady();
    SettleReadRequest();
    WriteAndDrain(kLine);

    QElapsedTimer sent;
    sent.start();
    SendFromMaster({0x06});
    QCoreApplication::processEvents();
    SendFromMaster({0x15});
    QCoreApplication::processEvents();
    SendFromMaster({0x06});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !clusters.empty(); }, 3000));
    const qint64 after = sent.elapsed();
    QTest::qWait(400);
    ASSERT_EQ(1u, clusters.size());
    EXPECT_EQ(Bytes({0x06, 0x15, 0x06}), clusters[0]);
    // About a quarter of a second after the first byte.
    EXPECT_GE(after, 240);
    EXPECT_LE(after, 1000);
}

TEST_F(SerialPtyTest, NothingArrivingRaisesNoEvent) {
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->IsOpen());
    QTest::qWait(600);
    EXPECT_TRUE(clusters.empty());
}

class SerialPtyLogTest : public SerialPtyTest {
protected:
    TestLogChannels ch{clock, timers};
    LogChannels logs = ch.Channels();
};

TEST_F(SerialPtyLogTest, AbsentPortIsReported) {
    std::filesystem::create_symlink(dir.Path() + "no-such-device", dir.Path() + "ports/COM9");
    DoActivateSerialPort(*channel, "COM9", logs);
    EXPECT_FALSE(channel->IsOpen());
    EXPECT_EQ(std::vector<std::string>{"!! CAN NOT OPEN SERIAL PORT COM9"}, ch.Imp());
    EXPECT_TRUE(ch.errMemo.lines.empty());
}

// The port is held exclusively, so a reopen works only when the channel
// lets it go first.
TEST_F(SerialPtyLogTest, SameNameWhileOpenIsClosedAndReopened) {
    DoActivateSerialPort(*channel, "COM7", logs);
    DoActivateSerialPort(*channel, "COM7", logs);
    EXPECT_EQ((std::vector<std::string>{"Serial Port COM7 opened", "Serial Port COM7 opened"}),
              ch.All());
    EXPECT_TRUE(ch.impMemo.lines.empty());
    EXPECT_EQ(2, device.opens);
    EXPECT_FALSE(channel->Retrying());
    ASSERT_TRUE(device.IsOpen());

    ASSERT_TRUE(QTest::qWaitFor([&] { return channel->CanWrite(); }, 3000));
    const Bytes line = ToBytes(std::string("1077           @    ") + '\x14');
    ASSERT_TRUE(channel->Write(line));
    EXPECT_EQ(line, ReadMaster(21));
}

// A byte the monitoring software sent before the port opened (an answer to
// what a killed run wrote) waits in the driver, not in Qt's buffer: it is
// flushed at the open, never read, and never answers this run's first line.
TEST_F(SerialPtyLogTest, ByteWaitingInTheDriverBeforeTheOpenIsNeverAnAnswer) {
    SendFromMaster({0x06});
    DoActivateSerialPort(*channel, "COM7", logs);
    ASSERT_TRUE(QTest::qWaitFor([&] { return channel->CanWrite(); }, 3000));
    WriteAndDrain(kLine);
    QTest::qWait(600);
    EXPECT_TRUE(clusters.empty());
    EXPECT_EQ(std::vector<std::string>{"Serial Port COM7 opened"}, ch.All());

    SendFromMaster({0x06});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !clusters.empty(); }, 3000));
    EXPECT_EQ(std::vector<Bytes>{{0x06}}, clusters);
}

TEST_F(SerialPtyTest, PortIsHeldExclusively) {
    std::filesystem::create_symlink(slaveName_, dir.Path() + "ports/COM8");
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->IsOpen());

    // Another channel reaching the same device under another name.
    QtSerialDevice other;
    SerialChannel second(other, clock, timers, dir.Path());
    second.SerialOpen("COM8");
    EXPECT_FALSE(second.IsOpen());

    channel->SerialClose();
    second.SerialOpen("COM8");
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(SerialPtyTest, VanishedDeviceIsClosedAndCanBeOpenedAgain) {
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->IsOpen());
    QTest::qWait(SerialChannel::kPollMs * 2);
    ASSERT_TRUE(channel->IsOpen());
    ::close(master_);
    master_ = -1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !channel->IsOpen(); }, 3000));

    // A new device behind the same name, then the same name posted again.
    ::close(slave_);
    slave_ = -1;
    char name[256] = {};
    ASSERT_EQ(0, ::openpty(&master_, &slave_, name, nullptr, nullptr));
    std::filesystem::remove(dir.Path() + "ports/COM7");
    std::filesystem::create_symlink(name, dir.Path() + "ports/COM7");
    channel->SerialOpen("COM7");
    EXPECT_TRUE(channel->IsOpen());
    EXPECT_EQ(2, device.opens);
}

}  // namespace
