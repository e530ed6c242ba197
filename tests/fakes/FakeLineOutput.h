#pragma once

#include <cstdint>
#include <vector>

#include "monitoring/LineOutput.h"
#include "platform/Clock.h"

namespace korvan {

// An output to the monitoring software that records every write it takes
// with the monotonic time it was made; the test says when a write drains,
// what the peer answers, and when the output is ready, busy or closed.
class FakeLineOutput : public ILineOutput {
public:
    explicit FakeLineOutput(const IClock& clock) : clock_(clock) {}

    bool IsOpen() const override { return open; }
    bool CanWrite() const override { return open && !busy; }
    bool Write(const Bytes& bytes) override {
        if (bytes.empty() || !CanWrite())
            return false;
        writes.push_back(bytes);
        writeTimes.push_back(clock_.MonotonicMs());
        drained_ = false;
        return true;
    }
    void SetEvents(ILineOutputEvents* events) override { events_ = events; }

    // The last write has left: its line is in flight.
    void Drain() {
        if (drained_ || writes.empty())
            return;
        drained_ = true;
        if (events_ != nullptr)
            events_->LineDrained(*this);
    }
    // The peer answers the last write (drained first when it was not yet).
    void Answer(const Bytes& bytes) {
        Drain();
        if (events_ != nullptr)
            events_->LineAnswered(*this, bytes);
    }
    void Ready() {
        busy = false;
        if (events_ != nullptr)
            events_->OutputReady(*this);
    }
    void Close() {
        open = false;
        if (events_ != nullptr)
            events_->OutputClosed(*this);
    }

    bool open = true;
    bool busy = false;  // refuses writes while set, as an output still draining does
    std::vector<Bytes> writes;
    std::vector<std::int64_t> writeTimes;

private:
    const IClock& clock_;
    ILineOutputEvents* events_ = nullptr;
    bool drained_ = true;
};

}  // namespace korvan
