#include "device/MessageProcessor.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "base/Format.h"
#include "base/Guard.h"
#include "base/Text.h"
#include "device/Codec.h"
#include "monitoring/MonitoringLines.h"

namespace korvan {

namespace {

// Characters `count` from `from` of an accepted frame, exactly as received.
std::string Chars(const Bytes& data, std::size_t from, std::size_t count) {
    return std::string(data.begin() + static_cast<std::ptrdiff_t>(from),
                       data.begin() + static_cast<std::ptrdiff_t>(from + count));
}

}  // namespace

MessageProcessor::MessageProcessor(LogChannels logs, IClock& clock, IUdpFactory& udp,
                                   const WorkingSettings& settings, Registry& registry,
                                   std::function<void(int nr)> sendCommRestoreIfNeed,
                                   ILineSink& lines)
    : logs_(logs),
      clock_(clock),
      udp_(udp),
      settings_(settings),
      registry_(registry),
      sendCommRestoreIfNeed_(std::move(sendCommRestoreIfNeed)),
      lines_(lines) {}

MessageProcessor::~MessageProcessor() = default;

void MessageProcessor::DoActivateUDPSrvPort() {
    Guarded(logs_.err, "DoActivateUDPSrvPort", [&] {
        // The old socket is closed before the new one binds, so re-applying
        // the same port number works.
        SendHeldAnswers();
        if (endpoint_)
            readBefore_ += endpoint_->DatagramsRead();
        endpoint_.reset();
        endpoint_ = udp_.Open(
            settings_.UDPSrvPort,
            [this](const std::string& address, std::uint16_t port, const Bytes& data) {
                ProcessRecMsg(address, port, data);
            },
            [this] { Guarded(logs_.err, "ProcessRecMsg", [this] { SendHeldAnswers(); }); });
        logs_.all.AddMsg(
            Format("UDP Server Listen Port %d", static_cast<int>(endpoint_->LocalPort())));
    });
}

void MessageProcessor::ProcessRecMsg(const std::string& address, std::uint16_t port,
                                     const Bytes& data) {
    Guarded(logs_.err, "ProcessRecMsg", [&] { Handle(address, port, data); });
}

template <typename Reply>
void MessageProcessor::Answer(Reply&& send) {
    if (AnswerNow()) {
        send();
        return;
    }
    Held h;
    h.send = std::forward<Reply>(send);
    held_.push_back(std::move(h));
    batchHeld_ = true;
}

void MessageProcessor::AnswerEvent(const Bytes& data, const std::string& address,
                                   std::uint16_t port, TDateTime now, std::uint64_t line) {
    Held h;
    h.datagram = data;
    h.address = address;
    h.port = port;
    h.now = now;
    h.line = line;
    const bool mayAnswer = AnswerNow();
    if (mayAnswer && Durable(line)) {
        SendEventAck(h);
        return;
    }
    batchHeld_ = batchHeld_ || !mayAnswer;
    held_.push_back(std::move(h));
    ++heldEvents_;
}

void MessageProcessor::SendEventAck(const Held& h) {
    SendAckAt(h.datagram, h.address, h.port, h.now);
    Guarded(logs_.err, "ProcessRecMsg", [this] { lines_.SendBufferHead(); });
}

bool MessageProcessor::AnswerNow() {
    const bool commitPending = lines_.CommitPending();
    if (!commitPending && !batchHeld_)
        return true;
    if (endpoint_ && endpoint_->MoreInBatch())
        return false;
    SendHeldAnswers();
    return true;
}

void MessageProcessor::SendHeldAnswers() {
    if (lines_.CommitPending())
        lines_.Commit();
    batchHeld_ = false;
    SendSettledAnswers();
}

void MessageProcessor::SendSettledAnswers() {
    if (releasing_ || held_.empty())
        return;
    releasing_ = true;
    std::deque<Held> held;
    held.swap(held_);
    for (Held& h : held) {
        if (h.send) {
            Guarded(logs_.err, "ProcessRecMsg", h.send);
        } else if (Durable(h.line)) {
            --heldEvents_;
            SendEventAck(h);
        } else {
            held_.push_back(std::move(h));
        }
    }
    releasing_ = false;
    if (heldEvents_ < kMaxHeldAnswers)
        fullTold_ = false;
}

bool MessageProcessor::HeldAgain(const Bytes& data, const std::string& address, std::uint16_t port,
                                 TDateTime now) {
    if (heldEvents_ == 0)
        return false;
    for (Held& h : held_) {
        if (!h.send && h.datagram == data) {
            h.address = address;
            h.port = port;
            h.now = now;
            return true;
        }
    }
    return false;
}

void MessageProcessor::Handle(const std::string& address, std::uint16_t port, const Bytes& data) {
    // One reading of the clock for everything this datagram writes: the
    // answer's stamp, the record's times.
    const TDateTime now = clock_.Now();
    const std::int64_t nowMonoMs = clock_.MonotonicMs();
    const ByteSpan datagram(data);

    logs_.all.AddMsg(std::string(1, '\0') + Format("Receive from %s:%d (%d b.): 0x%s",
                                                   address.c_str(), static_cast<int>(port),
                                                   static_cast<int>(data.size()),
                                                   DatagramHexText(datagram).c_str()));

    const CheckedFrame checked = CheckFrame(datagram);
    if (!checked.Accepted()) {
        logs_.imp.AddMsg(RejectMessage(checked.reject, datagram, address));
        Answer([this, data, address, port, now] { SendNackAt(data, address, port, now); });
        return;
    }
    ++accepted_;
    const int nr = checked.unitNr;
    UnitMessage msg;
    msg.unitText = checked.unitText;
    msg.now = now;
    msg.nowMonoMs = nowMonoMs;
    msg.senderIP = address;
    msg.senderPort = port;
    msg.oldAccount = registry_.Unit(nr).account;
    if (HandleAccepted(checked, address, port, data, msg))
        registry_.UpdateUnitOnMessage(nr, msg);
}

bool MessageProcessor::HandleAccepted(const CheckedFrame& checked, const std::string& address,
                                      std::uint16_t port, const Bytes& data, UnitMessage& msg) {
    const int nr = checked.unitNr;
    // An alarm's account is taken before anything else, so a restore line
    // queued for this unit already carries it.
    EventFields event;
    if (checked.frameType == frame::kEvent) {
        ++alarms_;
        event = DecodeEvent(ByteSpan(data));
        registry_.SetAccountFromMsg(nr, event.account);
        msg.msgAccount = event.account;
    }

    if (sendCommRestoreIfNeed_)
        sendCommRestoreIfNeed_(nr);

    std::string head = Format(
        "[Unit %s] [Account %s] [FrameID=%d]", PrintableText(checked.unitText).c_str(),
        PrintableText(registry_.Unit(nr).account).c_str(), static_cast<int>(checked.frameId));
    const Accepted in{checked, data, address, port, msg.now, std::move(head)};

    switch (checked.frameType) {
        case frame::kEvent:
            HandleEvent(in, event);
            return true;
        case frame::kSetTimeRequest:
            HandleSetTimeRequest(in);
            return true;
        case frame::kChangeUnitNrRequest:
            // The requesting number's record is left as it is.
            HandleChangeUnitNrRequest(in);
            return false;
        case frame::kPingImeiFwVer:
            HandlePingImeiFwVer(in, msg);
            return true;
        case frame::kPing:
            HandlePing(in);
            return true;
        case frame::kGSMLevel:
            HandleGsmLevel(in);
            return true;
        default:
            return false;  // CheckFrame accepts no other type
    }
}

void MessageProcessor::HandleEvent(const Accepted& in, const EventFields& event) {
    const std::string dt = EventTimeText(in, event);
    const char letter = event.event[0] == '1' ? 'E' : 'R';
    const std::string cid = letter + PrintableText(event.event.substr(1));
    logs_.all.AddMsg(in.head + Format(" [dt=%s] [CID=%s-%s-%s]", dt.c_str(), cid.c_str(),
                                      PrintableText(event.partition).c_str(),
                                      PrintableText(event.zone).c_str()));
    // Stored before the unit is answered: once it has its ACK the unit never
    // sends this alarm again. A line that could not be queued gets no ACK:
    // the unit sends the alarm again.
    if (HeldAgain(in.data, in.address, in.port, in.now) || HeldFull())
        return;
    std::uint64_t lineId = 0;
    const std::string line = MakeEventLine(event.account, event.event, event.partition, event.zone);
    bool queued = false;
    Guarded(logs_.err, "ProcessRecMsg", [&] {
        lineId = lines_.QueueLine(line);
        queued = true;
    });
    if (!queued)
        return;
    AnswerEvent(in.data, in.address, in.port, in.now, lineId);
}

std::string MessageProcessor::EventTimeText(const Accepted& in, const EventFields& event) {
    if (event.timeValid)
        return DateTimeText(event.time);
    // A unit with a wrong clock still reports a real alarm: the bad stamp is
    // reported and shown as received, and the alarm goes on to the unit's
    // answer and the monitoring software as usual.
    const std::string raw = RawTimeText(event.rawTime);
    ReportError(logs_.err, "ProcessRecMsg",
                "Invalid event time " + raw + " from unit " + PrintableText(in.checked.unitText));
    return "invalid " + raw;
}

bool MessageProcessor::HeldFull() {
    if (heldEvents_ < kMaxHeldAnswers)
        return false;
    const std::string why = Format(
        "%d answers wait for the send buffer journal; Event not answered, the unit sends it "
        "again",
        kMaxHeldAnswers);
    if (!fullTold_)
        ReportError(logs_.err, "ProcessRecMsg", why);
    fullTold_ = true;
    logs_.all.AddMsg("Not answered: " + why);
    return true;
}

void MessageProcessor::HandleSetTimeRequest(const Accepted& in) {
    logs_.all.AddMsg(in.head + " [Set Time Request]");
    Answer([this, address = in.address, port = in.port,
            reply = BuildNewTime(ByteSpan(in.data), in.now)] {
        Send(address, port, reply);
        logs_.all.AddMsg(Format("Send New Time  (0x%s)", HexText(reply).c_str()));
    });
}

void MessageProcessor::HandleChangeUnitNrRequest(const Accepted& in) {
    const std::string imei = Chars(in.data, 8, 15);
    logs_.all.AddMsg(in.head +
                     Format(" [Change UnitNr Request] [imei=%s]", PrintableText(imei).c_str()));
    // The number is not reserved: two requests before either unit reports
    // under its new number get the same number.
    const std::string newNr = registry_.FindFirstFreeUnitNr();
    logs_.all.AddMsg("Find First Free UnitNr: " + newNr);
    Answer([this, address = in.address, port = in.port, newNr,
            reply = BuildNewUnitNr(ByteSpan(in.data), newNr)] {
        Send(address, port, reply);
        logs_.all.AddMsg(
            Format("Send New UnitNr=\"%s\"  (0x%s)", newNr.c_str(), HexText(reply).c_str()));
    });
}

void MessageProcessor::HandlePingImeiFwVer(const Accepted& in, UnitMessage& msg) {
    msg.imei = Chars(in.data, 8, 15);
    msg.fwRaw = Chars(in.data, 23, 3);
    msg.fwText = Format("%d.%d.%d", in.data[23], in.data[24], in.data[25]);
    logs_.all.AddMsg(in.head + Format(" [Ping/imei/fwVer] [imei=%s] [fwVer=%s]",
                                      PrintableText(msg.imei).c_str(), msg.fwText.c_str()));
    AnswerAck(in);
}

void MessageProcessor::HandlePing(const Accepted& in) {
    logs_.all.AddMsg(in.head + " [Ping]");
    AnswerAck(in);
}

void MessageProcessor::HandleGsmLevel(const Accepted& in) {
    // Shown only; the level is not kept.
    logs_.all.AddMsg(in.head + Format(" [GSM Level=%d]", in.data[8]));
    AnswerAck(in);
}

void MessageProcessor::AnswerAck(const Accepted& in) {
    Answer([this, data = in.data, address = in.address, port = in.port, now = in.now] {
        SendAckAt(data, address, port, now);
    });
}

void MessageProcessor::SendAckAt(const Bytes& frame, const std::string& address, std::uint16_t port,
                                 TDateTime now) {
    Guarded(logs_.err, "SendACK", [&] {
        Send(address, port, BuildAck(frame, now));
        logs_.all.AddMsg("Send ACK");
    });
}

void MessageProcessor::SendNackAt(const Bytes& datagram, const std::string& address,
                                  std::uint16_t port, TDateTime now) {
    Guarded(logs_.err, "SendNACK", [&] {
        Send(address, port, BuildNack(datagram, now));
        logs_.all.AddMsg("Send NACK");
    });
}

void MessageProcessor::Send(const std::string& address, std::uint16_t port, const Bytes& data) {
    if (!endpoint_)
        throw std::runtime_error("UDP endpoint is not active");
    endpoint_->Send(address, port, data);
}

}  // namespace korvan
