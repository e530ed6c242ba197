#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "monitoring/SerialLink.h"
#include "platform/Clock.h"

namespace korvan {

// A serial link that records every write with the monotonic time it was
// made, and hands out clusters the test has queued.
class FakeSerialLink : public ISerialLink {
public:
    explicit FakeSerialLink(const IClock& clock) : clock_(clock) {}

    bool SerialIsOpen() const override { return open; }
    void SerialWrite(const Bytes& bytes) override {
        writes.push_back(bytes);
        writeTimes.push_back(clock_.MonotonicMs());
    }
    Bytes SerialTakeCluster() override {
        ++takes;
        if (clusters.empty())
            return {};
        Bytes c = clusters.front();
        clusters.pop_front();
        return c;
    }

    bool open = true;
    std::vector<Bytes> writes;
    std::vector<std::int64_t> writeTimes;
    std::deque<Bytes> clusters;
    int takes = 0;

private:
    const IClock& clock_;
};

}  // namespace korvan
