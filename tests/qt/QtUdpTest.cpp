// The UDP socket on loopback: a full receive queue is read a batch per turn
// of the event loop, so timers run while it is being emptied.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/qt/QtUdp.h"

namespace {

TEST(QtUdpSocket, AFullQueueIsReadInBatchesWithTimersRunningInBetween) {
    constexpr int kDatagrams = 1500;
    std::vector<int> order;
    QtUdpSocket socket(0, [&](const std::string&, std::uint16_t, const Bytes& data) {
        order.push_back(data[0] << 8 | data[1]);
    });
    // Every datagram must fit the kernel's queue before the loop runs.
    if (socket.ReceiveBufferSize() < 4 * 1024 * 1024)
        GTEST_SKIP() << "receive buffer of " << socket.ReceiveBufferSize() << " bytes only";

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(socket.LocalPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kDatagrams; ++i) {
        const std::uint8_t data[9] = {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        ASSERT_EQ(9, ::sendto(fd, data, sizeof data, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
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
    EXPECT_GE(during, kDatagrams / DatagramIntake::kBatch - 1);
}

}  // namespace
