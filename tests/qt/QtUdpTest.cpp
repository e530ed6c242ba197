#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/qt/QtUdp.h"

using namespace korvan;

namespace {

// The datagrams waiting when the socket is read are handed over as one
// batch: each knows whether more of it follow, and the end of the batch is
// told once, after the last datagram read, even when that one is dropped
// for its size.
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

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(socket->LocalPort());
    const std::vector<std::vector<char>> datagrams = {
        std::vector<char>(9, 'a'), std::vector<char>(28, 'b'), std::vector<char>(9, 'c'),
        std::vector<char>(QtUdpSocket::kMaxDatagram + 1, 'd')};
    for (const auto& d : datagrams)
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);

    EXPECT_TRUE(QTest::qWaitFor([&] { return !endsAfter.empty(); }, 5000));
    EXPECT_EQ((std::vector<bool>{true, true, true}), more);
    EXPECT_EQ(std::vector<std::size_t>{3}, endsAfter);
    EXPECT_FALSE(socket->MoreInBatch());
}

}  // namespace
