#pragma once

#include <cstdint>
#include <string>

namespace korvan {

// Where the receiving side puts the monitoring lines the alarms make: the
// send buffer. A unit is answered only once its line is durable, so the
// sink tells which lines are and makes them so.
class ILineSink {
public:
    virtual ~ILineSink() = default;
    // Queues a line (kept on disk, not yet synced); nothing is transmitted
    // yet. Returns the line's id for Durable().
    virtual std::uint64_t QueueLine(const std::string& line) = 0;
    // Whether the line is on disk or has left the sink.
    virtual bool Durable(std::uint64_t id) const = 0;
    // A unit has been answered: the head line may go out now.
    virtual void SendBufferHead() = 0;
    // Whether queued lines are not yet durable, and the commit that makes
    // them so (never throws).
    virtual bool CommitPending() const = 0;
    virtual void Commit() = 0;
};

}  // namespace korvan
