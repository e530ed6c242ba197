#include "qt/DatagramIntake.h"

#include <algorithm>
#include <utility>

namespace korvan {

DatagramIntake::DatagramIntake(std::function<bool(Datagram&)> readOne, DatagramHandler handler,
                               std::function<void()> scheduleTurn)
    : DatagramIntake(std::move(readOne), std::move(handler), std::move(scheduleTurn), Limits{}) {}

DatagramIntake::DatagramIntake(std::function<bool(Datagram&)> readOne, DatagramHandler handler,
                               std::function<void()> scheduleTurn, Limits limits)
    : readOne_(std::move(readOne)),
      handler_(std::move(handler)),
      scheduleTurn_(std::move(scheduleTurn)),
      limits_(limits) {
    limits_.batch = std::max(1, limits_.batch);
    limits_.readsPerTurn = std::max(1, limits_.readsPerTurn);
}

void DatagramIntake::OnReadyRead() {
    if (turnPending_)
        return;
    Turn();
}

void DatagramIntake::Continue() {
    turnPending_ = false;
    Turn();
}

void DatagramIntake::Turn() {
    // First what the socket holds, so that it keeps room for every sender.
    bool socketEmpty = false;
    for (int i = 0; i < limits_.readsPerTurn; ++i) {
        if (!readOne_(scratch_)) {
            socketEmpty = true;
            break;
        }
        Admit();
    }
    HandleBatch();
    // The notice of data already waiting is not given again, so the next
    // turn is asked for here.
    if (!socketEmpty || !queue_.empty()) {
        turnPending_ = true;
        scheduleTurn_();
    }
}

void DatagramIntake::HandleBatch() {
    // The datagrams handled in one turn are one batch: answers held back
    // until their lines are on disk share one sync at its end.
    int handled = 0;
    for (int i = 0; i < limits_.batch && !queue_.empty(); ++i) {
        const Datagram d = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= d.data.size();
        const auto held = perSender_.find(d.sender);
        if (--held->second == 0)
            perSender_.erase(held);
        moreInBatch_ = i + 1 < limits_.batch && !queue_.empty();
        ++handled;
        handler_(d.address, d.port, d.data);
    }
    moreInBatch_ = false;
    if (handled > 0 && onBatchEnd_)
        onBatchEnd_();
}

void DatagramIntake::HandleQueued() {
    while (!queue_.empty()) HandleBatch();
}

void DatagramIntake::Admit() {
    ++read_;
    if (scratch_.discard) {
        scratch_.discard = false;
        ++dropped_;
        return;
    }
    const std::size_t size = scratch_.data.size();
    if (queue_.size() >= limits_.queuedDatagrams || queuedBytes_ + size > limits_.queuedBytes) {
        ++dropped_;
        return;
    }
    std::size_t& held = perSender_[scratch_.sender];
    if (held >= limits_.perSender) {
        ++dropped_;
        return;
    }
    ++held;
    queuedBytes_ += size;
    queue_.push_back(std::move(scratch_));
    scratch_ = Datagram{};
}

}  // namespace korvan
