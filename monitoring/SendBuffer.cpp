#include "monitoring/SendBuffer.h"

#include <algorithm>

#include "base/Guard.h"
#include "monitoring/MonitoringLines.h"

namespace korvan {

SendBuffer::SendBuffer(ISerialLink& link, const IClock& clock, ITimerFactory& timers,
                       LogChannels logs)
    : link_(link), clock_(clock), logs_(logs) {
    timerSBSend_ = timers.CreateTimer(kSendTimerMs, false, [this] { TimerSBSendTimer(); });
}

void SendBuffer::AddToSendBuffer(const std::string& line) {
    QueueLine(line);
    SendBufferHead();
}

void SendBuffer::QueueLine(const std::string& line) {
    buffer_.push_back(line);
}

void SendBuffer::SendBufferHead() {
    if (!link_.SerialIsOpen())
        return;
    if (buffer_.empty())
        return;
    const std::int64_t now = clock_.MonotonicMs();
    if (now < nextSendTime_)
        return;

    const std::string& line = buffer_.front();
    Bytes wire = ToBytes(line);
    wire.push_back(kLineEnd);
    link_.SerialWrite(wire);

    nextSendTime_ = now + kMinResendMs;
    // Restarting puts the next retransmission tick a full period after this write.
    timerSBSend_->Stop();
    timerSBSend_->Start();

    // Heartbeats would flood the log; only "Add Ping" records them.
    if (!IsHeartbeatLine(line))
        logs_.all.AddMsg(">> " + line);
}

void SendBuffer::AckBufferHead() {
    nextSendTime_ = 0;
    nakCount_ = 0;
    if (!buffer_.empty())
        buffer_.pop_front();
    SendBufferHead();
}

std::string SendBuffer::SendBufferHeadLine() const {
    return buffer_.empty() ? std::string() : buffer_.front();
}

void SendBuffer::SerialPortNG1RxClusterEvent() {
    const Bytes cluster = link_.SerialTakeCluster();
    // The channel raises this event once per cluster it has formed, so a take
    // always finds one. Should it come back empty all the same, nothing was
    // received: that is no answer, and the line in flight stays.
    if (cluster.empty())
        return;

    const bool onlyNaks =
        std::all_of(cluster.begin(), cluster.end(), [](std::uint8_t b) { return b == kNak; });
    if (onlyNaks) {
        TakeNak();
        return;
    }
    // Anything else the monitoring software sends, acknowledgement or not,
    // counts as the answer to the line in flight.
    AckBufferHead();
}

// A negative acknowledgement is not a delivery: the head stays and goes out
// again by the usual 3- and 5-second rules. A line the monitoring software
// refuses three times in a row is dropped, so one line it can never accept
// does not block every line behind it.
void SendBuffer::TakeNak() {
    // Nothing in flight: there is no line to refuse and nothing to wait for.
    if (buffer_.empty())
        return;

    const std::string line = buffer_.front();
    const int count = ++nakCount_;
    const bool drop = count >= kMaxNaks;
    if (drop) {
        buffer_.pop_front();
        nakCount_ = 0;
        nextSendTime_ = 0;
    }

    logs_.imp.AddMsg("<< NAK from monitoring software for line [" + line + "] (" +
                     std::to_string(count) + " of 3)");
    if (!drop)
        return;

    logs_.imp.AddMsg("!! Line dropped after 3 NAKs from monitoring software: [" + line + "]");
    SendBufferHead();
}

void SendBuffer::TimerSBSendTimer() {
    // A retransmission tick whose ">> " entry cannot be logged has still
    // written its line; the failure is reported and the next tick comes.
    Guarded(logs_.err, "TimerSBSendTimer", [this] { SendBufferHead(); });
}

}  // namespace korvan
