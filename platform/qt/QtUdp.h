#pragma once

#include <QByteArray>
#include <QObject>
#include <QUdpSocket>

#include "platform/Udp.h"

namespace korvan {

// The device link's UDP socket on all local IPv4 addresses. Datagrams are
// read on the main thread in arrival order; one larger than 8192 bytes is
// dropped without reaching the handler. What waits when the socket becomes
// readable is handed over as batches of at most kMaxBatch datagrams.
class QtUdpSocket : public QObject, public IUdpSocket {
    Q_OBJECT
public:
    static constexpr qint64 kMaxDatagram = 8192;
    // Large enough for every unit of a full fleet reporting at once.
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
    // Answers held back for a batch wait no longer than its handling takes.
    static constexpr int kMaxBatch = 256;

    QtUdpSocket(std::uint16_t port, DatagramHandler handler, std::function<void()> onBatchEnd);
    void Send(const std::string& address, std::uint16_t port, const Bytes& data) override;
    std::uint16_t LocalPort() const override;
    bool MoreInBatch() const override { return moreInBatch_; }
    int ReceiveBufferSize() const;

private:
    void ReadPending();
    void EndBatch();

    QUdpSocket socket_;
    DatagramHandler handler_;
    std::function<void()> onBatchEnd_;
    QByteArray buffer_;
    bool moreInBatch_ = false;
};

class QtUdpFactory : public IUdpFactory {
public:
    std::unique_ptr<IUdpSocket> Open(std::uint16_t port, DatagramHandler handler,
                                     std::function<void()> onBatchEnd) override;
};

}  // namespace korvan
