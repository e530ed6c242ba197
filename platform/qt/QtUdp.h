#pragma once

#include <QByteArray>
#include <QObject>
#include <QUdpSocket>

#include "platform/DatagramIntake.h"
#include "platform/Udp.h"

// The device link's UDP socket on all local IPv4 addresses. Datagrams are
// read on the main thread in arrival order, at most DatagramIntake::kBatch
// per turn of the event loop; one larger than 8192 bytes is dropped without
// reaching the handler.
class QtUdpSocket : public QObject, public IUdpSocket {
    Q_OBJECT
public:
    static constexpr qint64 kMaxDatagram = 8192;
    // Large enough for every unit of a full fleet reporting at once.
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;

    QtUdpSocket(std::uint16_t port, DatagramHandler handler);
    void Send(const std::string& address, std::uint16_t port, const Bytes& data) override;
    std::uint16_t LocalPort() const override;
    int ReceiveBufferSize() const;

private:
    // Reads one waiting datagram and hands it to the handler; false when
    // none was waiting.
    bool ReadOne();

    QUdpSocket socket_;
    DatagramHandler handler_;
    QByteArray buffer_;
    DatagramIntake intake_;
};

class QtUdpFactory : public IUdpFactory {
public:
    std::unique_ptr<IUdpSocket> Open(std::uint16_t port, DatagramHandler handler) override;
};
