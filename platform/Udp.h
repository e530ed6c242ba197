#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Types.h"

namespace korvan {

// One datagram from a unit: sender's IPv4 address as dotted text, its port
// and the payload.
using DatagramHandler =
    std::function<void(const std::string& address, std::uint16_t port, const Bytes& data)>;

// The bound UDP socket of the device link. Every reply and command goes out
// from it, so units always see the listening port as the source.
class IUdpSocket {
public:
    virtual ~IUdpSocket() = default;
    // Throws std::runtime_error when the datagram cannot be sent.
    virtual void Send(const std::string& address, std::uint16_t port, const Bytes& data) = 0;
    virtual std::uint16_t LocalPort() const = 0;
    // While a datagram is being handled: whether more datagrams read in the
    // same batch follow it before the batch ends.
    virtual bool MoreInBatch() const = 0;
    // Reads no more datagrams; those read but not yet handed out are handed
    // out (and their batches ended) before it returns.
    virtual void StopReading() {}
    // Datagrams read from the socket since it was opened, those dropped
    // before handling included.
    virtual std::uint64_t DatagramsRead() const = 0;
};

class IUdpFactory {
public:
    virtual ~IUdpFactory() = default;
    // Binds on all local IPv4 addresses. Datagrams of up to 8192 bytes reach
    // `handler` on the main thread, one at a time, in arrival order. The
    // datagrams waiting at one time are read as a batch (up to a limit);
    // `onBatchEnd` (may be empty) is called after the last of each batch has
    // been handled. Throws std::system_error (or std::runtime_error) when the
    // port cannot be bound.
    virtual std::unique_ptr<IUdpSocket> Open(std::uint16_t port, DatagramHandler handler,
                                             std::function<void()> onBatchEnd) = 0;
};

}  // namespace korvan
