#include "monitoring/SendBuffer.h"

#include <algorithm>
#include <utility>

#include "base/Format.h"
#include "base/Guard.h"
#include "base/Text.h"
#include "monitoring/MonitoringLines.h"

namespace korvan {

namespace {
constexpr std::uint8_t kAck = 0x06;
}  // namespace

AnswerKind KindOfAnswer(const Bytes& answer) {
    const auto holds = [&](std::uint8_t b) {
        return std::find(answer.begin(), answer.end(), b) != answer.end();
    };
    if (holds(SendBuffer::kNak))
        return AnswerKind::Refusal;
    if (holds(kAck))
        return AnswerKind::Delivery;
    return AnswerKind::Other;
}

SendBuffer::SendBuffer(ILineOutput& output, const IClock& clock, ITimerFactory& timers,
                       LogChannels logs, SendJournal* journal)
    : SendBuffer(std::vector<ILineOutput*>{&output}, clock, timers, logs, journal) {}

SendBuffer::SendBuffer(std::vector<ILineOutput*> outputs, const IClock& clock,
                       ITimerFactory& timers, LogChannels logs, SendJournal* journal)
    : outputs_(std::move(outputs)), clock_(clock), logs_(logs), journal_(journal) {
    timerSBSend_ = timers.CreateTimer(kSendTimerMs, false, [this] { RetransmitTick(); });
    for (ILineOutput* o : outputs_) o->SetEvents(this);
}

SendBuffer::~SendBuffer() {
    for (ILineOutput* o : outputs_) o->SetEvents(nullptr);
}

ILineOutput* SendBuffer::OutputInUse() const {
    for (ILineOutput* o : outputs_) {
        if (o->IsOpen())
            return o;
    }
    return nullptr;
}

void SendBuffer::AddToSendBuffer(const std::string& line) {
    QueueLine(line);
    SendBufferHead();
}

std::uint64_t SendBuffer::QueueLine(const std::string& line) {
    Entry e;
    e.line = line;
    if (journal_ != nullptr)
        e.journalId = journal_->Add(line);
    // Behind a full window the line waits in the journal only.
    if (journal_ == nullptr || journal_->Behind() == 0)
        buffer_.push_back(e);
    TellBacklog();
    return e.journalId;
}

void SendBuffer::AddHeartbeat() {
    Entry e;
    e.line = HeartbeatLine;
    e.heartbeat = true;
    buffer_.push_back(std::move(e));
    TellBacklog();
    SendBufferHead();
}

void SendBuffer::SendBufferHead() {
    ILineOutput* const output = OutputInUse();
    if (output == nullptr || !output->CanWrite())
        return;
    if (buffer_.empty())
        return;
    const std::int64_t now = clock_.MonotonicMs();
    if (now < nextSendTime_)
        return;

    const Entry& head = buffer_.front();
    Bytes wire = ToBytes(head.line);
    wire.push_back(kLineEnd);
    // A write the output did not take did not happen: the head goes out
    // when the output is ready, and nothing of this try is kept.
    if (!output->Write(wire))
        return;
    sentOn_ = output;

    // A transmission that went unanswered ends a row of refusals.
    if (awaitingAnswer_)
        nakCount_ = 0;
    awaitingAnswer_ = true;
    inFlight_ = false;
    nextSendTime_ = now + kMinResendMs;
    // Restarting puts the next retransmission tick a full period after this write.
    timerSBSend_->Stop();
    timerSBSend_->Start();

    // Heartbeats would flood the log; only "Add Ping" records them.
    if (!head.heartbeat)
        logs_.all.AddMsg(">> " + head.line);
}

void SendBuffer::AckBufferHead() {
    nextSendTime_ = 0;
    if (!buffer_.empty()) {
        ++delivered_;
        RemoveHead();
    }
    SendBufferHead();
}

void SendBuffer::RemoveHead() {
    if (journal_ != nullptr && buffer_.front().journalId != 0)
        journal_->Done(buffer_.front().journalId);
    buffer_.pop_front();
    nakCount_ = 0;
    awaitingAnswer_ = false;
    inFlight_ = false;
    Refill();
    TellBacklog();
}

void SendBuffer::Refill() {
    if (journal_ == nullptr || journal_->Behind() == 0 ||
        buffer_.size() > SendJournal::kWindowLines / 2)
        return;
    for (auto& [id, line] : journal_->TakeNext(SendJournal::kWindowLines - buffer_.size())) {
        Entry e;
        e.line = std::move(line);
        e.journalId = id;
        buffer_.push_back(std::move(e));
    }
}

void SendBuffer::TellBacklog() {
    const int n = SendBufferCount();
    if (!backlogTold_ && n >= kBacklogLong) {
        backlogTold_ = true;
        logs_.imp.AddMsg(
            Format("!! %d lines are waiting for the monitoring software", kBacklogLong));
    } else if (backlogTold_ && n < kBacklogEased) {
        backlogTold_ = false;
        logs_.imp.AddMsg(
            Format("Fewer than %d lines are waiting for the monitoring software", kBacklogEased));
    }
}

std::string SendBuffer::SendBufferHeadLine() const {
    return buffer_.empty() ? std::string() : buffer_.front().line;
}

std::vector<std::string> SendBuffer::Lines() const {
    std::vector<std::string> out;
    out.reserve(buffer_.size());
    for (const Entry& e : buffer_) out.push_back(e.line);
    return out;
}

void SendBuffer::Commit() {
    if (journal_ == nullptr)
        return;
    journal_->Sync();
    Refill();
    const auto older = journal_->TakeRecovered();
    if (older.empty())
        return;
    auto at = buffer_.begin();
    if (at != buffer_.end() && awaitingAnswer_)
        ++at;
    for (const auto& [id, line] : older) {
        Entry e;
        e.line = line;
        e.journalId = id;
        at = buffer_.insert(at, std::move(e)) + 1;
    }
    TellBacklog();
}

int SendBuffer::RestoreFromJournal() {
    if (journal_ == nullptr)
        return 0;
    const auto restored = journal_->Restore();
    if (restored.empty())
        return 0;
    const int n = static_cast<int>(restored.size() + journal_->Behind());
    logs_.imp.AddMsg(Format("Send buffer restored: %d line(s) waiting from the last run", n));
    int shown = 0;
    for (const auto& [id, line] : restored) {
        Entry e;
        e.line = line;
        e.journalId = id;
        buffer_.push_back(std::move(e));
        if (shown++ < kRestoredShown)
            logs_.all.AddMsg("Restored: " + line);
    }
    if (n > kRestoredShown)
        logs_.all.AddMsg(Format("Restored: ... and %d more line(s)", n - kRestoredShown));
    TellBacklog();
    return n;
}

void SendBuffer::LineDrained(ILineOutput& output) {
    if (&output != sentOn_)
        return;
    // Only a transmission of the head that still waits for its answer.
    inFlight_ = awaitingAnswer_ && !buffer_.empty();
}

void SendBuffer::LineAnswered(ILineOutput& output, const Bytes& answer) {
    // One answer per drained transmission; the output tells no other, and
    // should one come all the same, it does not remove a line.
    if (&output != sentOn_ || !inFlight_ || answer.empty())
        return;
    inFlight_ = false;
    TakeAnswer(answer);
    // Answers held for lines that are now done may leave.
    if (OnSettled)
        OnSettled();
}

void SendBuffer::TakeAnswer(const Bytes& answer) {
    switch (KindOfAnswer(answer)) {
        case AnswerKind::Refusal:
            TakeNak();
            return;
        case AnswerKind::Delivery:
            AckBufferHead();
            return;
        case AnswerKind::Other:
            break;
    }
    // Still the answer to the line; the log shows an operator an odd peer.
    // The line is done before the entry is written, which may fail.
    const std::string line = buffer_.front().line;
    nextSendTime_ = 0;
    ++delivered_;
    RemoveHead();
    logs_.all.AddMsg("<< Answer from monitoring software for line [" + line +
                     "] is neither ACK nor NAK: 0x" + HexText(answer));
    SendBufferHead();
}

void SendBuffer::OutputReady(ILineOutput&) {
    // Whichever output it is, the head goes out on the one in use.
    SendBufferHead();
}

void SendBuffer::OutputClosed(ILineOutput& output) {
    // A line in flight there has no answer coming; it goes out again, on
    // the output in use then, by the usual 3- and 5-second rules.
    if (&output == sentOn_) {
        inFlight_ = false;
        sentOn_ = nullptr;
    }
}

// A negative acknowledgement is not a delivery: the head stays and goes out
// again by the usual 3- and 5-second rules. A line is dropped once three of
// its transmissions in a row were each refused, so one line the
// monitoring software can never accept does not block every line behind it.
// NAKs count per transmission: a monitoring program that repeats its NAK, or
// NAKs while busy, refuses that one transmission once.
void SendBuffer::TakeNak() {
    // Nothing in flight, or this transmission was refused already.
    if (buffer_.empty() || !awaitingAnswer_)
        return;
    awaitingAnswer_ = false;

    const std::string line = buffer_.front().line;
    const int count = ++nakCount_;
    const bool drop = count >= kMaxNaks;
    if (drop) {
        RemoveHead();
        nextSendTime_ = 0;
    }

    logs_.imp.AddMsg("<< NAK from monitoring software for line [" + line + "] (" +
                     std::to_string(count) + " of 3)");
    if (!drop)
        return;

    logs_.imp.AddMsg("!! Line dropped after 3 NAKs from monitoring software: [" + line + "]");
    SendBufferHead();
}

void SendBuffer::RetransmitTick() {
    // A retransmission tick whose ">> " entry cannot be logged has still
    // written its line; the failure is reported and the next tick comes.
    Guarded(logs_.err, "TimerSBSendTimer", [this] { SendBufferHead(); });
    // Done marks, and a journal that could not be written, are seen to here.
    Commit();
    if (OnSettled)
        OnSettled();
}

}  // namespace korvan
