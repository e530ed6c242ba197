#include "qt/QtUdp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <QHostAddress>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace korvan {

namespace {

// "a.b.c.d" of an IPv4 address in network byte order.
std::string DottedText(in_addr address) {
    const std::uint32_t v = ntohl(address.s_addr);
    char text[16];
    char* p = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (v >> shift) & 0xFFu;
        if (octet >= 100)
            *p++ = static_cast<char>('0' + octet / 100);
        if (octet >= 10)
            *p++ = static_cast<char>('0' + octet / 10 % 10);
        *p++ = static_cast<char>('0' + octet % 10);
        if (shift > 0)
            *p++ = '.';
    }
    return std::string(text, p);
}

}  // namespace

QtUdpSocket::QtUdpSocket(std::uint16_t port, DatagramHandler handler,
                         std::function<void()> onBatchEnd)
    : handler_(std::move(handler)),
      onBatchEnd_(std::move(onBatchEnd)),
      buffers_(static_cast<std::size_t>(kReadAtOnce) * (kMaxDatagram + 1)),
      intake_([this](DatagramIntake::Datagram& d) { return ReadOne(d); },
              [this](const std::string& address, std::uint16_t from, const Bytes& data) {
                  Handle(address, from, data);
              },
              [this] {
                  // The next turn reads on; until then the socket's notice
                  // is not needed. Queued: runs after the timers, the serial
                  // line and the window events already waiting; dropped with
                  // the socket.
                  readable_->setEnabled(false);
                  QMetaObject::invokeMethod(
                      this,
                      [this] {
                          intake_.Continue();
                          if (!intake_.TurnPending() && !stopped_)
                              readable_->setEnabled(true);
                      },
                      Qt::QueuedConnection);
              }) {
    // No address sharing: a second receiver on the same port must fail to
    // bind instead of silently taking half of the datagrams.
    if (!socket_.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
        throw std::runtime_error("Could not bind UDP port " + std::to_string(port) + ": " +
                                 socket_.errorString().toStdString());
    }
    // A whole fleet reporting after an outage must wait in the kernel, not
    // be dropped there. SO_RCVBUFFORCE passes the system limit where allowed.
    const int fd = static_cast<int>(socket_.socketDescriptor());
    int size = kReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    // The reading descriptor: the same socket, watched by a notifier of our
    // own. QUdpSocket's readyRead is left unconnected.
    readFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (readFd_ < 0) {
        throw std::runtime_error("Could not bind UDP port " + std::to_string(port) + ": " +
                                 std::strerror(errno));
    }
    for (int i = 0; i < kReadAtOnce; ++i) {
        pieces_[static_cast<std::size_t>(i)] = {
            buffers_.data() + static_cast<std::ptrdiff_t>(i) * (kMaxDatagram + 1),
            static_cast<std::size_t>(kMaxDatagram + 1)};
    }
    intake_.SetBatchEnd([this] { EndBatch(); });
    readable_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    connect(readable_.get(), &QSocketNotifier::activated, this, [this] { intake_.OnReadyRead(); });
}

QtUdpSocket::~QtUdpSocket() {
    readable_.reset();
    if (readFd_ >= 0)
        ::close(readFd_);
}

void QtUdpSocket::StopReading() {
    // A turn already asked for reads nothing and wakes no notifier.
    stopped_ = true;
    readable_->setEnabled(false);
    intake_.HandleQueued();
}

int QtUdpSocket::ReceiveBufferSize() const {
    int size = 0;
    socklen_t len = sizeof size;
    ::getsockopt(static_cast<int>(socket_.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size, &len);
    return size;
}

bool QtUdpSocket::ReadOne(DatagramIntake::Datagram& d) {
    if (stopped_)
        return false;
    if (taken_ == read_) {
        taken_ = read_ = 0;
        for (std::size_t i = 0; i < messages_.size(); ++i) {
            msghdr& h = messages_[i].msg_hdr;
            h = msghdr{};
            h.msg_name = &senders_[i];
            h.msg_namelen = sizeof senders_[i];
            h.msg_iov = &pieces_[i];
            h.msg_iovlen = 1;
        }
        int n = -1;
        do {
            n = ::recvmmsg(readFd_, messages_.data(), kReadAtOnce, MSG_DONTWAIT, nullptr);
        } while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        read_ = n;
    }
    const std::size_t i = static_cast<std::size_t>(taken_++);
    const mmsghdr& m = messages_[i];
    // The buffer holds one byte more than the largest datagram taken, so a
    // longer one shows by filling it (or as cut by the kernel). It counts
    // against the turn like any other.
    if ((m.msg_hdr.msg_flags & MSG_TRUNC) != 0 || m.msg_len > kMaxDatagram) {
        d.discard = true;
        return true;
    }
    const sockaddr_in& from = senders_[i];
    d.address = DottedText(from.sin_addr);
    d.port = ntohs(from.sin_port);
    d.sender = static_cast<std::uint64_t>(ntohl(from.sin_addr.s_addr)) << 16 | d.port;
    const auto* p = reinterpret_cast<const std::uint8_t*>(pieces_[i].iov_base);
    d.data.assign(p, p + m.msg_len);
    return true;
}

void QtUdpSocket::Handle(const std::string& address, std::uint16_t port, const Bytes& data) {
    // The handler reports its own errors; should anything still escape it,
    // this datagram is lost but the socket goes on reading.
    try {
        handler_(address, port, data);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Datagram from %s:%u not handled: %s\n", address.c_str(),
                     static_cast<unsigned>(port), e.what());
    } catch (...) {
        std::fprintf(stderr, "Datagram from %s:%u not handled\n", address.c_str(),
                     static_cast<unsigned>(port));
    }
}

void QtUdpSocket::EndBatch() {
    if (!onBatchEnd_)
        return;
    try {
        onBatchEnd_();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "End of a datagram batch not handled: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "End of a datagram batch not handled\n");
    }
}

void QtUdpSocket::Send(const std::string& address, std::uint16_t port, const Bytes& data) {
    QHostAddress to;
    if (!to.setAddress(QString::fromStdString(address))) {
        throw std::runtime_error("Invalid address \"" + address + "\"");
    }
    const qint64 n = socket_.writeDatagram(reinterpret_cast<const char*>(data.data()),
                                           static_cast<qint64>(data.size()), to, port);
    if (n != static_cast<qint64>(data.size())) {
        throw std::runtime_error("Cannot send to " + address + ":" + std::to_string(port) + ": " +
                                 socket_.errorString().toStdString());
    }
}

std::uint16_t QtUdpSocket::LocalPort() const {
    return socket_.localPort();
}

std::unique_ptr<IUdpSocket> QtUdpFactory::Open(std::uint16_t port, DatagramHandler handler,
                                               std::function<void()> onBatchEnd) {
    return std::make_unique<QtUdpSocket>(port, std::move(handler), std::move(onBatchEnd));
}

}  // namespace korvan
