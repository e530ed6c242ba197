#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/Types.h"
#include "platform/Udp.h"

namespace korvan {

// Takes datagrams from a socket anyone can write to, so that a flood from
// one sender neither holds up the event loop nor crowds out the others.
//
// Responsive: at most `batch` datagrams are handled per turn of the event
// loop. After a turn with more to do the intake asks for another turn and
// returns; whatever waited for the loop (timers, the serial line, the
// window) runs first.
//
// Fair: a sender can keep more datagrams coming than the receiver handles.
// The kernel would then drop whatever arrives at a full socket, the other
// senders' datagrams as much as the flood's. So each turn also reads ahead,
// up to `readsPerTurn` datagrams, into a queue of the intake's own, where
// one sender may hold at most `perSender` datagrams: beyond that its
// datagrams are dropped as they are read, and the socket keeps room for
// everyone else. A real unit has one frame (and its retries) in flight at a
// time and never comes near that share.
//
// Bounded: the queue holds at most `queuedDatagrams` datagrams and
// `queuedBytes` bytes (about what the socket's own buffer holds); beyond
// that new datagrams are dropped.
//
// Datagrams are handled in the order they were read. The datagrams of one
// turn are one batch; `SetBatchEnd` names what runs after each.
class DatagramIntake {
public:
    struct Limits {
        // Enough to keep up with any real fleet, small enough that one batch
        // of fully logged datagrams stays within a few milliseconds.
        int batch = 256;
        // Reading costs well under a microsecond a datagram, handling tens:
        // reading ahead this far keeps the socket empty under any flood one
        // sender can make.
        int readsPerTurn = 8192;
        std::size_t perSender = 1024;
        std::size_t queuedDatagrams = 65536;
        std::size_t queuedBytes = std::size_t{32} << 20;
    };

    struct Datagram {
        std::string address;
        std::uint16_t port = 0;
        std::uint64_t sender = 0;  // the same for every datagram of one address and port
        Bytes data;
        bool discard = false;  // read, but not to be handed on (too large to take)
    };

    // `readOne` reads the next waiting datagram into its argument; false
    // when none was waiting. `handler` takes each datagram kept.
    // `scheduleTurn` asks for Continue() to be called on a later turn of the
    // event loop, after the events already waiting.
    DatagramIntake(std::function<bool(Datagram&)> readOne, DatagramHandler handler,
                   std::function<void()> scheduleTurn);
    DatagramIntake(std::function<bool(Datagram&)> readOne, DatagramHandler handler,
                   std::function<void()> scheduleTurn, Limits limits);

    // The socket has datagrams waiting. While another turn is already asked
    // for, this one leaves them to it.
    void OnReadyRead();
    // The turn asked for has come.
    void Continue();
    // The receiver stops: every datagram read but not yet handled is
    // handled now, in batches as usual, and nothing more is read.
    void HandleQueued();

    // Called after the last datagram of each turn has been handled.
    void SetBatchEnd(std::function<void()> onBatchEnd) { onBatchEnd_ = std::move(onBatchEnd); }
    // While a datagram is being handled: whether more follow it in this turn.
    bool MoreInBatch() const { return moreInBatch_; }

    bool TurnPending() const { return turnPending_; }
    std::size_t Queued() const { return queue_.size(); }
    std::size_t QueuedBytes() const { return queuedBytes_; }
    // Datagrams dropped since the start: for a sender over its share, a
    // full queue, or read to be discarded.
    std::uint64_t Dropped() const { return dropped_; }
    // Datagrams read from the socket since the start, dropped ones included.
    std::uint64_t Read() const { return read_; }

private:
    void Turn();
    // Hands out up to one batch from the queue, then ends the batch.
    void HandleBatch();
    void Admit();

    std::function<bool(Datagram&)> readOne_;
    DatagramHandler handler_;
    std::function<void()> scheduleTurn_;
    Limits limits_;
    std::function<void()> onBatchEnd_;
    bool turnPending_ = false;
    bool moreInBatch_ = false;

    Datagram scratch_;
    std::deque<Datagram> queue_;
    std::size_t queuedBytes_ = 0;
    std::unordered_map<std::uint64_t, std::size_t> perSender_;  // datagrams queued per sender
    std::uint64_t dropped_ = 0;
    std::uint64_t read_ = 0;
};

}  // namespace korvan
