// The UDP socket on loopback: a full receive queue is read a batch per turn
// of the event loop, so timers run while it is being emptied.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qt/QtUdp.h"

using namespace korvan;

namespace {

// A UDP socket connected to `port` on loopback, or -1.
int SenderTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(QtUdpSocket, AFullQueueIsReadInBatchesWithTimersRunningInBetween) {
    constexpr int kDatagrams = 1000;  // within one sender's share of the intake's queue
    std::vector<int> order;
    QtUdpSocket socket(
        0,
        [&](const std::string&, std::uint16_t, const Bytes& data) {
            order.push_back(data[0] << 8 | data[1]);
        },
        nullptr);
    // Every datagram must fit the kernel's queue before the loop runs.
    if (socket.ReceiveBufferSize() < 4 * 1024 * 1024)
        GTEST_SKIP() << "receive buffer of " << socket.ReceiveBufferSize() << " bytes only";

    const int fd = SenderTo(socket.LocalPort());
    ASSERT_GE(fd, 0);
    for (int i = 0; i < kDatagrams; ++i) {
        const std::uint8_t data[9] = {static_cast<std::uint8_t>(i >> 8),
                                      static_cast<std::uint8_t>(i)};
        ASSERT_EQ(9, ::send(fd, data, sizeof data, 0));
    }
    ::close(fd);

    std::vector<std::size_t> seenByTimer;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] { seenByTimer.push_back(order.size()); });
    timer.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == kDatagrams; }, 20000)) << order.size();
    timer.stop();

    for (int i = 0; i < kDatagrams; ++i) ASSERT_EQ(i, order[static_cast<std::size_t>(i)]);
    // The timer had turns while the queue was being read, not only before or after.
    int during = 0;
    for (const std::size_t n : seenByTimer) during += n > 0 && n < kDatagrams ? 1 : 0;
    EXPECT_GE(during, kDatagrams / DatagramIntake::Limits{}.batch - 1);
}

TEST(QtUdpSocket, HandsOnSenderAndPayloadAndDropsWhatIsTooLarge) {
    struct Got {
        std::string address;
        std::uint16_t port;
        std::size_t size;
    };
    std::vector<Got> got;
    QtUdpSocket socket(
        0,
        [&](const std::string& address, std::uint16_t port, const Bytes& data) {
            got.push_back({address, port, data.size()});
        },
        nullptr);
    const int fd = SenderTo(socket.LocalPort());
    ASSERT_GE(fd, 0);
    sockaddr_in own{};
    socklen_t len = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len);
    for (const std::size_t size : {std::size_t{9}, std::size_t{8193}, std::size_t{0},
                                   std::size_t{8192}, std::size_t{65000}, std::size_t{28}}) {
        const std::vector<std::uint8_t> data(size, 0x23);
        ASSERT_EQ(static_cast<ssize_t>(size), ::send(fd, data.data(), size, 0));
    }
    ::close(fd);
    ASSERT_TRUE(QTest::qWaitFor([&] { return got.size() == 4; }, 5000)) << got.size();
    QTest::qWait(50);
    ASSERT_EQ(4u, got.size());
    const std::size_t sizes[] = {9, 0, 8192, 28};
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ("127.0.0.1", got[i].address);
        EXPECT_EQ(ntohs(own.sin_port), got[i].port);
        EXPECT_EQ(sizes[i], got[i].size);
    }
    EXPECT_EQ(2u, socket.Intake().Dropped());
}

// The datagrams waiting when the socket is read are handed over as one
// batch: each knows whether more of it follow, and the end of the batch is
// told once, after the last of them; one dropped for its size is no part
// of it.
TEST(QtUdp, DatagramsWaitingTogetherAreOneBatch) {
    std::unique_ptr<IUdpSocket> socket;
    std::vector<bool> more;
    std::vector<std::size_t> endsAfter;
    QtUdpFactory factory;
    socket = factory.Open(
        0,
        [&](const std::string&, std::uint16_t, const Bytes&) {
            more.push_back(socket->MoreInBatch());
        },
        [&] { endsAfter.push_back(more.size()); });

    const int fd = SenderTo(socket->LocalPort());
    ASSERT_GE(fd, 0);
    const std::vector<std::vector<char>> datagrams = {
        std::vector<char>(9, 'a'), std::vector<char>(28, 'b'), std::vector<char>(9, 'c'),
        std::vector<char>(QtUdpSocket::kMaxDatagram + 1, 'd')};
    for (const auto& d : datagrams) ::send(fd, d.data(), d.size(), 0);
    ::close(fd);

    EXPECT_TRUE(QTest::qWaitFor([&] { return !endsAfter.empty(); }, 5000));
    EXPECT_EQ((std::vector<bool>{true, true, false}), more);
    EXPECT_EQ(std::vector<std::size_t>{3}, endsAfter);
    EXPECT_FALSE(socket->MoreInBatch());
}

}  // namespace
