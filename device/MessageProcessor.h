#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/LogChannels.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Types.h"
#include "platform/Udp.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

// The receiving side of the device link. Owns the UDP endpoint units talk
// to, and handles every datagram from start to end: log it, check it, answer
// the unit, turn an alarm event into a monitoring line and update the unit's
// record. Nothing is kept per unit between datagrams except what the
// registry, the supervision and the send buffer store.
//
// Runs on the main thread only; the endpoint hands over one datagram at a
// time, so no lock is needed.
class MessageProcessor {
  public:
    // `sendCommRestoreIfNeed` ends a unit's reported communication-trouble
    // stages with a restore line when due (it catches its own errors);
    // `addToSendBuffer` queues a monitoring line; `startUpDone` tells
    // whether start-up has completed.
    MessageProcessor(LogChannels logs, IClock& clock, IUdpFactory& udp,
                     const WorkingSettings& settings, Registry& registry,
                     std::function<void(int nr)> sendCommRestoreIfNeed,
                     std::function<void(const std::string& line)> addToSendBuffer,
                     std::function<bool()> startUpDone);
    ~MessageProcessor();
    MessageProcessor(const MessageProcessor&) = delete;
    MessageProcessor& operator=(const MessageProcessor&) = delete;

    // Opens the endpoint on UDPSrvPort, replacing (closing first) the one in
    // use. Acts only when `force` is set or start-up has completed. A bind
    // failure is reported under "DoActivateUDPSrvPort" and leaves no
    // endpoint until a later call succeeds.
    void DoActivateUDPSrvPort(bool force);

    // The endpoint's receive handler.
    void IdUDPServer1UDPRead(const std::string& address, std::uint16_t port, const Bytes& data);

    // Handles one datagram. Never throws: a log entry that cannot be
    // written costs neither the unit its answer nor the alarm its monitoring
    // line (see Note).
    void ProcessRecMsg(const std::string& address, std::uint16_t port, const Bytes& data);

    // Answer `frame` (the accepted frame) or `datagram` (the refused one)
    // with the current time. A send failure is reported under "SendACK" /
    // "SendNACK" and the caller carries on.
    void SendACK(const Bytes& frame, const std::string& address, std::uint16_t port);
    void SendNACK(const Bytes& datagram, const std::string& address, std::uint16_t port);

    // The open endpoint, or nullptr; operator commands go out through it.
    IUdpSocket* UdpEndpoint() const { return endpoint_.get(); }

  private:
    // Where a failed log write happened, so that each failure is told once.
    enum LogSlot { kSlotAll, kSlotImp, kSlotErr, kSlotOther, kSlotCount };

    // Adds one log entry of the datagram handling. The alarm path must not
    // depend on the log files: when an entry cannot reach its file (a full
    // disk, a read-only folder) the entry stays in the channel's memo, the
    // failure is told once per episode, on stderr and as an error report
    // (which at least reaches the Errors memo), and the handling goes on.
    // The next entry that reaches its file ends the episode.
    void Note(TLog& channel, const std::string& text);
    // Runs `body`; an error is reported under `procName`.
    template <typename Body>
    void Guarded(const char* procName, Body&& body);
    // ReportError on the Errors channel; never throws.
    void Report(const char* procName, const std::string& what);
    // Runs a step of another subsystem that reports its own errors; what
    // still escapes it is a log entry or error report that could not be
    // written, and the handling goes on.
    void CarryOn(const std::function<void()>& step);
    void LogFailed(LogSlot slot, const std::string& what);
    LogSlot SlotOf(const TLog& channel) const;

    void Handle(const std::string& address, std::uint16_t port, const Bytes& data);
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
    std::function<void(const std::string& line)> addToSendBuffer_;
    std::function<bool()> startUpDone_;
    std::unique_ptr<IUdpSocket> endpoint_;
    bool logFailing_[kSlotCount] = {};
};
