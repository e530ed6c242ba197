#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/LogChannels.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Types.h"
#include "platform/Udp.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

namespace korvan {

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

    // Handles one datagram. Never throws: an error is reported under
    // "ProcessRecMsg".
    void ProcessRecMsg(const std::string& address, std::uint16_t port, const Bytes& data);

    // Answer `frame` (the accepted frame) or `datagram` (the refused one)
    // with the current time. A send failure is reported under "SendACK" /
    // "SendNACK" and the caller carries on.
    void SendACK(const Bytes& frame, const std::string& address, std::uint16_t port);
    void SendNACK(const Bytes& datagram, const std::string& address, std::uint16_t port);

    // The open endpoint, or nullptr; operator commands go out through it.
    IUdpSocket* UdpEndpoint() const { return endpoint_.get(); }

  private:
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
};

}  // namespace korvan
