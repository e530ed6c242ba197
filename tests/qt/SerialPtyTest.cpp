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
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SerialChannel.h"
#include "platform/SystemClock.h"
#include "platform/qt/QtSerialDevice.h"
#include "platform/qt/QtTimers.h"

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
        channel->OnRxCluster = [this] { clusters.push_back(channel->SerialTakeCluster()); };
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

    // The first reception after start-up is taken at once; let it go by so
    // that the timing rules apply.
    void SettleReadRequest() {
        SendFromMaster({0x06});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !clusters.empty(); }, 3000));
        clusters.clear();
    }

    TempDir dir;
    SystemClock clock;
    QtTimerFactory timers;
    CountingDevice device;
    std::unique_ptr<SerialChannel> channel;
    std::vector<Bytes> clusters;
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

TEST_F(SerialPtyTest, LineArrivesIntactWithTheFixedLineSettings) {
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->SerialIsOpen());

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

    const Bytes line = ToBytes(std::string("5077 181234E13001005") + '\x14');
    ASSERT_EQ(21u, line.size());
    channel->SerialWrite(line);
    EXPECT_EQ(line, ReadMaster(21));

    // Every byte value passes both ways unchanged.
    ASSERT_TRUE(QTest::qWaitFor([&] { return device.PendingOutput() == 0; }, 3000));
    QTest::qWait(SerialChannel::kPollMs * 2);  // the channel sees the write finished
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    channel->SerialWrite(all);
    EXPECT_EQ(all, ReadMaster(256));

    SendFromMaster(all);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::size_t n = 0;
            for (const Bytes& c : clusters) n += c.size();
            return n >= 256;
        },
        3000));
    Bytes back;
    for (const Bytes& c : clusters) back.insert(back.end(), c.begin(), c.end());
    EXPECT_EQ(all, back);
}

TEST_F(SerialPtyTest, ThreeBytesWithinMillisecondsAreOneReceiveEvent) {
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->SerialIsOpen());
    SettleReadRequest();

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
    ASSERT_TRUE(channel->SerialIsOpen());
    QTest::qWait(600);
    EXPECT_TRUE(clusters.empty());
    EXPECT_TRUE(channel->SerialTakeCluster().empty());
}

class SerialPtyLogTest : public SerialPtyTest {
protected:
    TestLogChannels ch{clock, timers};
    LogChannels logs = ch.Channels();
};

TEST_F(SerialPtyLogTest, AbsentPortIsReported) {
    std::filesystem::create_symlink(dir.Path() + "no-such-device", dir.Path() + "ports/COM9");
    DoActivateSerialPort(*channel, "COM9", logs);
    EXPECT_FALSE(channel->SerialIsOpen());
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

    const Bytes line = ToBytes(std::string("1077           @    ") + '\x14');
    channel->SerialWrite(line);
    EXPECT_EQ(line, ReadMaster(21));
}

TEST_F(SerialPtyTest, PortIsHeldExclusively) {
    std::filesystem::create_symlink(slaveName_, dir.Path() + "ports/COM8");
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->SerialIsOpen());

    // Another channel reaching the same device under another name.
    QtSerialDevice other;
    SerialChannel second(other, clock, timers, dir.Path());
    second.SerialOpen("COM8");
    EXPECT_FALSE(second.SerialIsOpen());

    channel->SerialClose();
    second.SerialOpen("COM8");
    EXPECT_TRUE(second.SerialIsOpen());
}

TEST_F(SerialPtyTest, VanishedDeviceIsClosedAndCanBeOpenedAgain) {
    channel->SerialOpen("COM7");
    ASSERT_TRUE(channel->SerialIsOpen());
    QTest::qWait(SerialChannel::kPollMs * 2);
    ASSERT_TRUE(channel->SerialIsOpen());
    ::close(master_);
    master_ = -1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !channel->SerialIsOpen(); }, 3000));

    // A new device behind the same name, then the same name posted again.
    ::close(slave_);
    slave_ = -1;
    char name[256] = {};
    ASSERT_EQ(0, ::openpty(&master_, &slave_, name, nullptr, nullptr));
    std::filesystem::remove(dir.Path() + "ports/COM7");
    std::filesystem::create_symlink(name, dir.Path() + "ports/COM7");
    channel->SerialOpen("COM7");
    EXPECT_TRUE(channel->SerialIsOpen());
    EXPECT_EQ(2, device.opens);
}

}  // namespace
