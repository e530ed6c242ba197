#include "platform/DatagramIntake.h"

#include <algorithm>
#include <utility>

DatagramIntake::DatagramIntake(std::function<bool()> readOne, std::function<void()> scheduleTurn,
                               int batch)
    : readOne_(std::move(readOne)), scheduleTurn_(std::move(scheduleTurn)), batch_(std::max(1, batch)) {}

void DatagramIntake::OnReadyRead() {
    if (turnPending_) return;
    ReadBatch();
}

void DatagramIntake::Continue() {
    turnPending_ = false;
    ReadBatch();
}

void DatagramIntake::ReadBatch() {
    for (int i = 0; i < batch_; ++i) {
        if (!readOne_()) return;  // all read: the socket tells of the next one
    }
    // The batch is used up and more may be waiting; the notice of data
    // already there is not given again, so the next turn is asked for here.
    turnPending_ = true;
    scheduleTurn_();
}
