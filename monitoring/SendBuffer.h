#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "base/LogChannels.h"
#include "monitoring/SerialLink.h"
#include "platform/Clock.h"
#include "platform/Timer.h"

namespace korvan {

// The lines waiting for the monitoring software, sent stop-and-wait: only
// the head is on the wire; it is written again until the monitoring software
// answers, and every answer removes it and sends the next line at once.
//
// Waits are measured on the monotonic clock, so setting the wall clock
// neither stalls nor rushes a retransmission.
//
// No operation catches exceptions: a failing log write propagates to the
// caller's guard, after the buffer state has already been updated.
class SendBuffer {
  public:
    static constexpr int kSendTimerMs = 5000;  // retransmission period
    static constexpr int kMinResendMs = 3000;  // earliest rewrite after a transmission
    static constexpr std::uint8_t kLineEnd = 0x14;
    static constexpr std::uint8_t kNak = 0x15;
    static constexpr int kMaxNaks = 3;

    SendBuffer(ISerialLink& link, const IClock& clock, ITimerFactory& timers, LogChannels logs);

    // QueueLine, then SendBufferHead.
    void AddToSendBuffer(const std::string& line);
    // Appends at the tail without trying to send.
    void QueueLine(const std::string& line);
    // Writes the head (line + 0x14, one write) when the port is open, a line
    // waits and the 3-second wait since the last transmission has passed.
    void SendBufferHead();
    // Takes an answer to the line in flight: removes the head (if any) and
    // writes the next line at once.
    void AckBufferHead();
    int SendBufferCount() const { return static_cast<int>(buffer_.size()); }
    // The head line; only meaningful when SendBufferCount() >= 1.
    std::string SendBufferHeadLine() const;

    // The serial channel's receive event: one call per received cluster.
    void SerialPortNG1RxClusterEvent();
    // TimerSBSend's tick.
    void TimerSBSendTimer();

    // The 5000 ms retransmission timer, so start-up can enable it.
    ITimer& TimerSBSend() { return *timerSBSend_; }

    // Monotonic ms before which the head is not written again; 0 = at once.
    std::int64_t NextSendTime() const { return nextSendTime_; }
    const std::deque<std::string>& Lines() const { return buffer_; }

  private:
    void TakeNak();

    ISerialLink& link_;
    const IClock& clock_;
    LogChannels logs_;
    std::deque<std::string> buffer_;
    std::int64_t nextSendTime_ = 0;
    int nakCount_ = 0;  // negative acknowledgements in a row for the current head
    std::unique_ptr<ITimer> timerSBSend_;
};

}  // namespace korvan
