#pragma once

#include <functional>

// Takes waiting datagrams in bounded batches, one batch per turn of the
// event loop. A socket anyone can write to may hold more datagrams than the
// receiver handles in a second, and more keep coming: read to the end, it
// would keep the event loop from everything else (timers, the serial line,
// the window) for as long as the flood lasts. After a full batch the intake
// asks for another turn and returns; whatever waited for the loop runs
// first, then the next batch. Datagrams keep their arrival order.
class DatagramIntake {
public:
    // Enough to keep up with any real fleet, small enough that one batch of
    // fully logged datagrams stays within a few milliseconds.
    static constexpr int kBatch = 256;

    // `readOne` reads one waiting datagram and hands it on; false when none
    // was waiting. `scheduleTurn` asks for Continue() to be called on a later
    // turn of the event loop (after the events already waiting).
    DatagramIntake(std::function<bool()> readOne, std::function<void()> scheduleTurn,
                   int batch = kBatch);

    // The socket has datagrams waiting. While another turn is already asked
    // for, this one leaves them to it: one batch per turn.
    void OnReadyRead();
    // The turn asked for has come.
    void Continue();

    bool TurnPending() const { return turnPending_; }
    int Batch() const { return batch_; }

private:
    void ReadBatch();

    std::function<bool()> readOne_;
    std::function<void()> scheduleTurn_;
    int batch_;
    bool turnPending_ = false;
};
