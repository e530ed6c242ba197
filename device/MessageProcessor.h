#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "device/Codec.h"
#include "monitoring/LineSink.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Types.h"
#include "platform/Udp.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

namespace korvan {

// The receiving side of the device link. Owns the UDP endpoint units talk
// to, and handles every datagram from start to end: log it, check it, store
// the monitoring line an alarm event makes, answer the unit and update the
// unit's record. Nothing is kept per unit between datagrams except what the
// registry, the supervision and the send buffer store.
//
// A unit that has its ACK never sends that alarm again, so every line a
// datagram queues is on disk before the datagram is answered: the answer
// waits for the send buffer's commit. Datagrams read together share one
// commit: while more of the batch follow, answers that would wait for it are
// held back, and they leave after it in arrival order, each followed by its
// log entry, when the last datagram of the batch is answered or the batch
// ends. A lone datagram is answered in the order of its own entries.
//
// While the journal cannot make a line durable (a full disk, a failing
// sync), an Event's ACK stays held after the commit until its line is on
// disk or has been delivered to the monitoring software (or dropped); the
// other answers go on in their order. At most kMaxHeldAnswers ACKs are held:
// an Event beyond them queues no line and is not answered, and the unit
// sends it again. A repeated Event (same bytes: unit, FrameID and content)
// whose ACK is held queues no second line; the held ACK then goes to the
// address and port of the latest copy.
//
// Runs on the main thread only; the endpoint hands over one datagram at a
// time, so no lock is needed.
class MessageProcessor {
public:
    // `sendCommRestoreIfNeed` ends a unit's reported communication-trouble
    // stages with a restore line when due (it catches its own errors);
    // `lines` is the send buffer.
    MessageProcessor(LogChannels logs, IClock& clock, IUdpFactory& udp,
                     const WorkingSettings& settings, Registry& registry,
                     std::function<void(int nr)> sendCommRestoreIfNeed, ILineSink& lines);
    ~MessageProcessor();
    MessageProcessor(const MessageProcessor&) = delete;
    MessageProcessor& operator=(const MessageProcessor&) = delete;

    // Opens the endpoint on UDPSrvPort, replacing (closing first) the one in
    // use. A bind failure is reported under "DoActivateUDPSrvPort" and leaves
    // no endpoint until a later call succeeds.
    void DoActivateUDPSrvPort();

    // The endpoint's receive handler: handles one datagram. Never throws: an
    // error is reported under "ProcessRecMsg".
    void ProcessRecMsg(const std::string& address, std::uint16_t port, const Bytes& data);

    // The receiver stops: the datagrams already read are handled and
    // answered, then the endpoint is closed and no datagram is read any more.
    void CloseUdpEndpoint() {
        if (endpoint_) {
            endpoint_->StopReading();
            readBefore_ += endpoint_->DatagramsRead();
        }
        endpoint_.reset();
    }

    // Sends the held answers whose lines have become durable or left the
    // send buffer; run after the journal's sync and after every answer from
    // the monitoring software.
    void SendSettledAnswers();

    static constexpr int kMaxHeldAnswers = 10000;

    // The open endpoint, or nullptr; operator commands go out through it.
    IUdpSocket* UdpEndpoint() const { return endpoint_.get(); }

    // Datagrams read from the units' sockets since the start (all endpoints
    // together), those that passed the checks, and the alarms among them.
    std::uint64_t DatagramsRead() const {
        return readBefore_ + (endpoint_ ? endpoint_->DatagramsRead() : 0);
    }
    std::uint64_t DatagramsAccepted() const { return accepted_; }
    std::uint64_t AlarmsAccepted() const { return alarms_; }

private:
    struct Held {
        std::function<void()> send;  // empty for an Event's ACK
        Bytes datagram;              // the Event, for its ACK and to know it again
        std::string address;
        std::uint16_t port = 0;
        TDateTime now = 0;
        std::uint64_t line = 0;  // the line the ACK waits for
    };

    // An accepted datagram as the handling of its frame type sees it.
    struct Accepted {
        const CheckedFrame& checked;
        const Bytes& data;
        const std::string& address;
        std::uint16_t port;
        TDateTime now;     // the answer's stamp
        std::string head;  // how its log entry begins: unit, account, FrameID
    };

    // Logs and checks a datagram, answers a refused one with a NACK.
    void Handle(const std::string& address, std::uint16_t port, const Bytes& data);
    // Handles an accepted datagram by its frame type; returns whether the
    // unit's record is updated from `msg`, which it completes.
    bool HandleAccepted(const CheckedFrame& checked, const std::string& address, std::uint16_t port,
                        const Bytes& data, UnitMessage& msg);
    // Event: logged, its line queued, answered once the line is durable.
    void HandleEvent(const Accepted& in, const EventFields& event);
    // The event's time as logged; an invalid one is reported.
    std::string EventTimeText(const Accepted& in, const EventFields& event);
    // Whether kMaxHeldAnswers ACKs are held, so an Event is not answered.
    bool HeldFull();
    void HandleSetTimeRequest(const Accepted& in);
    void HandleChangeUnitNrRequest(const Accepted& in);
    void HandlePingImeiFwVer(const Accepted& in, UnitMessage& msg);
    void HandlePing(const Accepted& in);
    void HandleGsmLevel(const Accepted& in);
    // Answers `in` with an ACK (now or with the batch).
    void AnswerAck(const Accepted& in);
    // Sends an answer now (after the commit it needs) or holds it back until
    // the batch's commit. `send` runs either way; held back, its errors are
    // reported under "ProcessRecMsg".
    template <typename Reply>
    void Answer(Reply&& send);
    // The ACK of an Event whose line is `line`: sent once the line is durable.
    void AnswerEvent(const Bytes& data, const std::string& address, std::uint16_t port,
                     TDateTime now, std::uint64_t line);
    void SendEventAck(const Held& h);
    bool Durable(std::uint64_t line) const { return lines_.Durable(line); }
    // Whether an answer may leave now; makes the commit it needs.
    bool AnswerNow();
    // Commits and sends the answers held back, in order, but for the ACKs
    // whose lines are not yet durable.
    void SendHeldAnswers();
    // Whether `data` repeats an Event whose ACK is held; the ACK then goes
    // to this copy's sender.
    bool HeldAgain(const Bytes& data, const std::string& address, std::uint16_t port,
                   TDateTime now);
    void SendAckAt(const Bytes& frame, const std::string& address, std::uint16_t port,
                   TDateTime now);
    void SendNackAt(const Bytes& datagram, const std::string& address, std::uint16_t port,
                    TDateTime now);
    // Sends through the endpoint; throws std::runtime_error when none is open.
    void Send(const std::string& address, std::uint16_t port, const Bytes& data);

    LogChannels logs_;
    IClock& clock_;
    IUdpFactory& udp_;
    const WorkingSettings& settings_;
    Registry& registry_;
    std::function<void(int nr)> sendCommRestoreIfNeed_;
    ILineSink& lines_;
    std::unique_ptr<IUdpSocket> endpoint_;
    std::deque<Held> held_;
    bool batchHeld_ = false;  // answers wait for the end of the batch
    int heldEvents_ = 0;      // ACKs held for their lines
    bool releasing_ = false;
    bool fullTold_ = false;
    std::uint64_t readBefore_ = 0;  // read by endpoints since replaced
    std::uint64_t accepted_ = 0;
    std::uint64_t alarms_ = 0;
};

}  // namespace korvan
