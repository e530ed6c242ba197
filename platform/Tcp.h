#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"

namespace korvan {

// What a TCP link tells its owner. Every call comes on the main thread; the
// owner may destroy the link inside any of them.
class ITcpEvents {
public:
    virtual ~ITcpEvents() = default;
    // A connection is up: the connect finished, or the listener took a
    // connection from an admitted peer (closing the one it had before).
    // `peer` is the other end as "address:port".
    virtual void TcpConnected(const std::string& peer) = 0;
    // The bytes of one read.
    virtual void TcpReceived(const Bytes& data) = 0;
    // Written bytes have left for the peer; PendingOutput() says how many
    // are still waiting.
    virtual void TcpWritten() = 0;
    // The connection (or the connect under way) ended: refused, reset,
    // closed by the peer, or timed out in the kernel. `reason` says which.
    // A listener goes on listening.
    virtual void TcpClosed(const std::string& reason) = 0;
    // The listener closed a connection from `peer`, which is not the
    // admitted address.
    virtual void TcpRefused(const std::string& peer) = 0;
};

// One TCP link to the monitoring software: either one outgoing connection
// (a single connect; a new try is a new link) or a listener holding at most
// one connection. Destroying it closes whatever it holds without a
// TcpClosed. Connections have Nagle's delay off, keepalive probes after
// kKeepIdleS idle seconds (every kKeepIntervalS, kKeepCount of them) and
// written bytes unacknowledged for kUserTimeoutMs end them.
class ITcpLink {
public:
    static constexpr int kKeepIdleS = 10;
    static constexpr int kKeepIntervalS = 5;
    static constexpr int kKeepCount = 3;
    static constexpr int kUserTimeoutMs = 15000;

    virtual ~ITcpLink() = default;
    // Whether a connection is up.
    virtual bool Connected() const = 0;
    // Queues the bytes on the connection and returns at once; false when
    // there is none.
    virtual bool Write(const Bytes& data) = 0;
    // Bytes written and not yet handed to the kernel.
    virtual std::size_t PendingOutput() const = 0;
    // Closes the connection now, without a TcpClosed; a listener goes on
    // listening.
    virtual void Drop() = 0;
};

class ITcpFactory {
public:
    virtual ~ITcpFactory() = default;
    // Starts connecting to `host` (a name, looked up without blocking, or an
    // address) on `port`; the outcome comes as TcpConnected or TcpClosed.
    virtual std::unique_ptr<ITcpLink> Connect(const std::string& host, std::uint16_t port,
                                              ITcpEvents& events) = 0;
    // Listens on `address`:`port`, admitting only `from` when it is not
    // empty. Null, with `error` set, when the port cannot be listened on.
    virtual std::unique_ptr<ITcpLink> Listen(const std::string& address, std::uint16_t port,
                                             const std::string& from, ITcpEvents& events,
                                             std::string& error) = 0;
};

}  // namespace korvan
