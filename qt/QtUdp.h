#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <QObject>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <array>
#include <memory>
#include <vector>

#include "platform/Udp.h"
#include "qt/DatagramIntake.h"

namespace korvan {

// The device link's UDP socket on all local IPv4 addresses. Datagrams are
// handed to the handler on the main thread in arrival order, a bounded batch
// per turn of the event loop, through a DatagramIntake (which also keeps a
// flooding sender to its share); one larger than 8192 bytes is dropped
// without reaching the handler.
//
// The socket is bound and written to through Qt. It is read through a
// descriptor of its own, many datagrams per system call: under a flood the
// reading must outrun the sender, so that the socket keeps room for the
// real units.
class QtUdpSocket : public QObject, public IUdpSocket {
    Q_OBJECT
public:
    static constexpr qint64 kMaxDatagram = 8192;
    // Large enough for every unit of a full fleet reporting at once.
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;

    QtUdpSocket(std::uint16_t port, DatagramHandler handler, std::function<void()> onBatchEnd);
    ~QtUdpSocket() override;
    void Send(const std::string& address, std::uint16_t port, const Bytes& data) override;
    std::uint16_t LocalPort() const override;
    bool MoreInBatch() const override { return intake_.MoreInBatch(); }
    std::uint64_t DatagramsRead() const override { return intake_.Read(); }
    void StopReading() override;
    int ReceiveBufferSize() const;
    const DatagramIntake& Intake() const { return intake_; }

private:
    // Datagrams taken from the socket with one call.
    static constexpr int kReadAtOnce = 64;

    // Reads one waiting datagram into `d`; false when none was waiting.
    bool ReadOne(DatagramIntake::Datagram& d);
    // Hands one datagram to the handler.
    void Handle(const std::string& address, std::uint16_t port, const Bytes& data);
    // The end of a turn's batch.
    void EndBatch();

    QUdpSocket socket_;
    DatagramHandler handler_;
    std::function<void()> onBatchEnd_;
    int readFd_ = -1;
    std::unique_ptr<QSocketNotifier> readable_;
    std::vector<char> buffers_;  // kReadAtOnce of kMaxDatagram + 1 bytes
    std::array<mmsghdr, kReadAtOnce> messages_{};
    std::array<iovec, kReadAtOnce> pieces_{};
    std::array<sockaddr_in, kReadAtOnce> senders_{};
    int read_ = 0;   // datagrams the last call took
    int taken_ = 0;  // of them handed out
    bool stopped_ = false;
    DatagramIntake intake_;
};

class QtUdpFactory : public IUdpFactory {
public:
    std::unique_ptr<IUdpSocket> Open(std::uint16_t port, DatagramHandler handler,
                                     std::function<void()> onBatchEnd) override;
};

}  // namespace korvan
