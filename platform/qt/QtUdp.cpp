#include "platform/qt/QtUdp.h"

#include <sys/socket.h>

#include <QHostAddress>
#include <cstdio>
#include <stdexcept>

namespace korvan {

QtUdpSocket::QtUdpSocket(std::uint16_t port, DatagramHandler handler,
                         std::function<void()> onBatchEnd)
    : handler_(std::move(handler)),
      onBatchEnd_(std::move(onBatchEnd)),
      buffer_(static_cast<int>(kMaxDatagram + 1), '\0') {
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
    connect(&socket_, &QUdpSocket::readyRead, this, &QtUdpSocket::ReadPending);
}

int QtUdpSocket::ReceiveBufferSize() const {
    int size = 0;
    socklen_t len = sizeof size;
    ::getsockopt(static_cast<int>(socket_.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &size, &len);
    return size;
}

// The datagrams waiting now are handed over as one batch (up to kMaxBatch),
// so that answers held back until their lines are on disk share one sync.
// Whether another datagram waits is asked once per datagram read, as the
// loop needs it anyway.
void QtUdpSocket::ReadPending() {
    int inBatch = 0;  // datagrams handed over in the batch being read
    bool pending = socket_.hasPendingDatagrams();
    while (pending) {
        QHostAddress from;
        quint16 fromPort = 0;
        // The buffer holds one byte more than the largest datagram taken, so
        // a longer one shows by filling it: no separate size query needed.
        const qint64 n = socket_.readDatagram(buffer_.data(), kMaxDatagram + 1, &from, &fromPort);
        pending = socket_.hasPendingDatagrams();
        if (n >= 0 && n <= kMaxDatagram) {
            ++inBatch;
            moreInBatch_ = pending && inBatch < kMaxBatch;
            bool ok = false;
            const quint32 v4 = from.toIPv4Address(&ok);
            std::string address;
            if (ok) {
                char text[16];
                std::snprintf(text, sizeof text, "%u.%u.%u.%u", v4 >> 24, (v4 >> 16) & 0xFFu,
                              (v4 >> 8) & 0xFFu, v4 & 0xFFu);
                address = text;
            } else {
                address = from.toString().toStdString();
            }
            const auto* p = reinterpret_cast<const std::uint8_t*>(buffer_.constData());
            // The handler reports its own errors; should anything still escape
            // it, this datagram is lost but the socket goes on reading.
            try {
                handler_(address, fromPort, Bytes(p, p + n));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "Datagram from %s:%u not handled: %s\n", address.c_str(),
                             static_cast<unsigned>(fromPort), e.what());
            } catch (...) {
                std::fprintf(stderr, "Datagram from %s:%u not handled\n", address.c_str(),
                             static_cast<unsigned>(fromPort));
            }
        }
        if (inBatch > 0 && (!pending || inBatch >= kMaxBatch)) {
            EndBatch();
            inBatch = 0;
        }
    }
}

void QtUdpSocket::EndBatch() {
    moreInBatch_ = false;
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

std::uint16_t QtUdpSocket::LocalPort() const { return socket_.localPort(); }

std::unique_ptr<IUdpSocket> QtUdpFactory::Open(std::uint16_t port, DatagramHandler handler,
                                               std::function<void()> onBatchEnd) {
    return std::make_unique<QtUdpSocket>(port, std::move(handler), std::move(onBatchEnd));
}

}  // namespace korvan
