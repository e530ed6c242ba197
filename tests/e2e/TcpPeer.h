#pragma once

// The monitoring software at the far end of the receiver's TCP link: it
// listens for the receiver, or connects to the receiver's listening port
// (again every 100 ms while refused or lost). It answers each transmission
// (20 characters and 0x14) with 0x06 at once and keeps the lines that are
// not heartbeats, in arrival order.

#include <netinet/tcp.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ReceiverHarness.h"

namespace e2e {

// A TCP port free on loopback now, from the range FreeUdpPort uses.
inline std::uint16_t FreeTcpPort() {
    static std::uint32_t next = static_cast<std::uint32_t>(::getpid()) * 104729u;
    for (int tries = 0; tries < 12000; ++tries) {
        const std::uint16_t port = static_cast<std::uint16_t>(32000 + next++ % 8000);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

class TcpPeer {
public:
    // `listen`: the peer listens on `port` and the receiver connects;
    // otherwise the peer connects to the receiver listening on `port`.
    TcpPeer(bool listen, std::uint16_t port) : listen_(listen), port_(port) { Up(); }
    ~TcpPeer() { Vanish(); }

    // Gone: the connection and the listener are closed, no new ones made.
    void Vanish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // Back again after Vanish.
    void Up() {
        Vanish();
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int Heartbeats() const { return heartbeats_; }

private:
    static int Socket() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return fd;
    }
    sockaddr_in Address() const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port_);
        return a;
    }

    void Run() {
        int server = -1;
        if (listen_) {
            server = Socket();
            const sockaddr_in a = Address();
            ::bind(server, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            ::listen(server, 4);
        }
        int conn = -1;
        std::string pending;
        while (!stop_) {
            if (conn < 0 && !listen_) {
                conn = Socket();
                const sockaddr_in a = Address();
                if (::connect(conn, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
                    ::close(conn);
                    conn = -1;
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    continue;
                }
            }
            pollfd p[2] = {{conn, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            if (server >= 0 && (p[1].revents & POLLIN)) {
                if (conn >= 0)
                    ::close(conn);
                conn = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
                pending.clear();
                continue;
            }
            if (conn < 0 || p[0].revents == 0)
                continue;
            char b[8192];
            const ssize_t n = ::read(conn, b, sizeof b);
            if (n <= 0) {
                ::close(conn);
                conn = -1;
                pending.clear();
                continue;
            }
            pending.append(b, static_cast<std::size_t>(n));
            std::string answers;
            while (pending.size() >= 21) {
                const std::string line = pending.substr(0, 20);
                pending.erase(0, 21);
                answers += '\x06';
                if (line.find('@') != std::string::npos) {
                    ++heartbeats_;
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(line);
            }
            if (!answers.empty())
                (void)!::write(conn, answers.data(), answers.size());
        }
        if (conn >= 0)
            ::close(conn);
        if (server >= 0)
            ::close(server);
    }

    bool listen_;
    std::uint16_t port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> heartbeats_{0};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

}  // namespace e2e
