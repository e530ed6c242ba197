// The TCP listener towards the monitoring software on loopback: only the
// admitted address gets a connection, and a new admitted connection replaces
// the one before it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qt/QtTcp.h"

using namespace korvan;

namespace {

struct Recorder : ITcpEvents {
    void TcpConnected(const std::string& peer) override { seen.push_back("up " + peer); }
    void TcpReceived(const Bytes&) override {}
    void TcpWritten() override {}
    void TcpClosed(const std::string&) override { seen.push_back("closed"); }
    void TcpRefused(const std::string& peer) override { seen.push_back("refused " + peer); }
    std::vector<std::string> seen;
};

// A socket bound to `from` (a loopback address) and connected to `port` on
// 127.0.0.1; its local port in `local`. -1 when it cannot be made.
int ConnectFrom(const char* from, std::uint16_t port, std::uint16_t& local) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &a.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    local = ntohs(a.sin_port);
    return fd;
}

TEST(QtTcpListener, AdmitsOnlyItsPeerAndANewConnectionReplacesTheOldOne) {
    Recorder events;
    // The first free port of a few.
    std::unique_ptr<ITcpLink> link;
    std::uint16_t port = 0;
    QtTcpFactory factory;
    for (std::uint16_t p = 43000; p < 43100 && !link; ++p) {
        std::string error;
        link = factory.Listen("127.0.0.1", p, "127.0.0.1", events, error);
        port = p;
    }
    ASSERT_TRUE(link);

    std::uint16_t stranger = 0, first = 0, second = 0;
    const int a = ConnectFrom("127.0.0.2", port, stranger);
    ASSERT_GE(a, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events.seen.empty(); }, 3000));
    EXPECT_FALSE(link->Connected());

    const int b = ConnectFrom("127.0.0.1", port, first);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.seen.size() == 2; }, 3000));
    EXPECT_TRUE(link->Connected());

    const int c = ConnectFrom("127.0.0.1", port, second);
    ASSERT_GE(c, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.seen.size() == 3; }, 3000));
    // The replaced connection is closed by the listener: its peer reads the end.
    const timeval wait{3, 0};
    ::setsockopt(b, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(0, ::recv(b, &byte, 1, 0));
    EXPECT_EQ((std::vector<std::string>{"refused 127.0.0.2:" + std::to_string(stranger),
                                        "up 127.0.0.1:" + std::to_string(first),
                                        "up 127.0.0.1:" + std::to_string(second)}),
              events.seen);
    for (const int fd : {a, b, c}) ::close(fd);
}

}  // namespace
