#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "monitoring/LineOutput.h"
#include "monitoring/LineSink.h"
#include "monitoring/SendJournal.h"
#include "platform/Clock.h"
#include "platform/Timer.h"

namespace korvan {

// What one answer of the monitoring software says about the line it
// answers. Any 0x15 makes it a refusal, even beside an 0x06: a line sent
// once more is harmless, a line taken as delivered that was not is lost.
// An 0x06 without 0x15 is a delivery; other bytes still answer the line.
enum class AnswerKind { Refusal, Delivery, Other };
AnswerKind KindOfAnswer(const Bytes& answer);

// The lines waiting for the monitoring software, sent stop-and-wait: only
// the head is on the wire; it is written again until the monitoring software
// answers, and every answer removes it and sends the next line at once.
//
// A transmission is one write the output took. The head is in flight from
// the moment that write drained until its answer; only then can an answer
// count for it, and at most one answer per transmission does. A write the
// output refuses (closed, busy, in its quiet time after an open) did not
// happen: nothing is logged and no wait starts; the head goes out when the
// output says it is ready.
//
// Every line but a heartbeat is kept in the send journal from the moment it
// is queued until it leaves the buffer, so the lines still waiting when the
// receiver stops are sent at its next start. The buffer knows which of its
// entries are heartbeats; the text of a line never decides it.
//
// Waits are measured on the monotonic clock, so setting the wall clock
// neither stalls nor rushes a retransmission.
//
// With a long backlog only the journal's window of it is held here; the
// lines behind it are taken from the journal as the window drains.
//
// No operation catches exceptions: a failing log write propagates to the
// caller's guard, after the buffer state has already been updated. The
// journal never throws.
class SendBuffer : public ILineOutputEvents, public ILineSink {
public:
    static constexpr int kSendTimerMs = 5000;  // retransmission period
    static constexpr int kMinResendMs = 3000;  // earliest rewrite after a transmission
    static constexpr std::uint8_t kLineEnd = 0x14;
    static constexpr std::uint8_t kNak = 0x15;
    static constexpr int kMaxNaks = 3;

    // `journal` may be null: the lines are then kept in memory only.
    // The buffer tells `output` to report to it, until it is destroyed.
    SendBuffer(ILineOutput& output, const IClock& clock, ITimerFactory& timers, LogChannels logs,
               SendJournal* journal = nullptr);
    // Several outputs, the preferred first: every line goes out on the
    // first one that is open; while none is, the lines wait.
    SendBuffer(std::vector<ILineOutput*> outputs, const IClock& clock, ITimerFactory& timers,
               LogChannels logs, SendJournal* journal = nullptr);
    ~SendBuffer() override;
    SendBuffer(const SendBuffer&) = delete;
    SendBuffer& operator=(const SendBuffer&) = delete;

    // QueueLine, then SendBufferHead.
    void AddToSendBuffer(const std::string& line);
    // Appends an alarm, trouble or restore line at the tail, kept in the
    // journal, without trying to send. Durable after the next Commit().
    // Returns the line's id for Durable(); 0 without a journal.
    std::uint64_t QueueLine(const std::string& line) override;
    // Whether the line is on disk, or has left the buffer (delivered or
    // dropped): a unit whose alarm it is may be answered.
    bool Durable(std::uint64_t id) const override {
        return journal_ == nullptr || journal_->Durable(id);
    }
    // Queues the heartbeat (not kept in the journal), then SendBufferHead.
    void AddHeartbeat();
    // Writes the head (line + 0x14, one write) when the output can take it,
    // a line waits and the 3-second wait since the last transmission has
    // passed.
    void SendBufferHead() override;
    // Takes a delivery of the line in flight: removes the head (if any) and
    // writes the next line at once.
    void AckBufferHead();
    // Every waiting line, those still only in the journal included.
    int SendBufferCount() const {
        return static_cast<int>(buffer_.size() + (journal_ != nullptr ? journal_->Behind() : 0));
    }
    // The head line; only meaningful when SendBufferCount() >= 1.
    std::string SendBufferHeadLine() const;
    bool HeadIsHeartbeat() const { return !buffer_.empty() && buffer_.front().heartbeat; }

    // Whether lines queued since the last Commit are not yet durable, and the
    // sync that makes them so. A unit is answered only after its lines are.
    // Lines of a journal file that could be read only now go in ahead of the
    // lines queued since, behind the line in flight.
    bool CommitPending() const override { return journal_ != nullptr && journal_->SyncPending(); }
    void Commit() override;
    // Runs after every answer from the monitoring software and every
    // retransmission tick, when lines may have left or become durable.
    std::function<void()> OnSettled;

    // Start-up: puts the lines the last run left waiting at the tail, in
    // their order, with one Important-messages entry telling how many, the
    // first kRestoredShown lines on the All-messages channel and one entry
    // there for the rest. Returns their number.
    int RestoreFromJournal();

    // A backlog this long is told once on the Important-messages channel
    // (LED and sound), and again once it has shrunk below kBacklogEased.
    static constexpr int kBacklogLong = 10000;
    static constexpr int kBacklogEased = 9000;
    static constexpr int kRestoredShown = 100;

    // What the output tells: the head's transmission drained (now in
    // flight), the answer to it, the output free again, the output gone.
    void LineDrained(ILineOutput& output) override;
    void LineAnswered(ILineOutput& output, const Bytes& answer) override;
    void OutputReady(ILineOutput& output) override;
    void OutputClosed(ILineOutput& output) override;
    // Whether the head's last transmission has drained and waits for its answer.
    bool InFlight() const { return inFlight_; }
    // The output the next line goes out on: the first open one, or null.
    ILineOutput* OutputInUse() const;
    // The retransmission timer's tick; errors are reported under "TimerSBSendTimer".
    void RetransmitTick();

    // The 5000 ms retransmission timer, so start-up can enable it.
    ITimer& RetransmitTimer() { return *timerSBSend_; }

    // Monotonic ms before which the head is not written again; 0 = at once.
    std::int64_t NextSendTime() const { return nextSendTime_; }
    // The lines held in memory, head first: with a long backlog, only the
    // journal's window of it.
    std::vector<std::string> Lines() const;
    // Lines the monitoring software took since the start, heartbeats included.
    std::uint64_t Delivered() const { return delivered_; }

private:
    struct Entry {
        std::string line;
        bool heartbeat = false;
        std::uint64_t journalId = 0;  // 0: not in the journal
    };

    // What the answer to the line in flight means for it.
    void TakeAnswer(const Bytes& answer);
    void TakeNak();
    void RemoveHead();
    // Takes the next lines from the journal once half the window has left.
    void Refill();
    // Tells a backlog that has just grown past kBacklogLong or shrunk below kBacklogEased.
    void TellBacklog();

    std::vector<ILineOutput*> outputs_;
    // The output of the head's last transmission: only its events count for it.
    ILineOutput* sentOn_ = nullptr;
    const IClock& clock_;
    LogChannels logs_;
    SendJournal* journal_;
    std::deque<Entry> buffer_;
    std::int64_t nextSendTime_ = 0;
    // Transmissions of the head in a row answered only by NAKs.
    int nakCount_ = 0;
    // The last transmission of the head has had no answer yet.
    bool awaitingAnswer_ = false;
    // That transmission has drained: the next answer is its answer.
    bool inFlight_ = false;
    std::uint64_t delivered_ = 0;
    // The long backlog was told and has not eased since.
    bool backlogTold_ = false;
    std::unique_ptr<ITimer> timerSBSend_;
};

}  // namespace korvan
