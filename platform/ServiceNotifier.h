#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Timer.h"

namespace korvan {

// Tells the service manager (systemd) how the receiver is doing, over the
// socket it names in NOTIFY_SOCKET; without that variable nothing is sent.
//   READY=1     at the end of start-up, with the first STATUS=;
//   WATCHDOG=1  every half of the manager's watchdog interval, from a timer
//               of the event loop: a loop stuck longer gets the process
//               restarted;
//   STATUS=     the status text, looked at every second and sent when it
//               changed;
//   STOPPING=1  when the receiver closes.
class ServiceNotifier {
public:
    // Sends one notification ("READY=1\nSTATUS=...").
    using Send = std::function<void(const std::string& state)>;

    // The manager's own notification socket and watchdog interval.
    explicit ServiceNotifier(ITimerFactory& timers);
    // `watchdogUs` 0: no watchdog. For the tests.
    ServiceNotifier(ITimerFactory& timers, bool enabled, std::uint64_t watchdogUs, Send send);
    ~ServiceNotifier();

    bool Enabled() const { return enabled_; }
    // Start-up is over; `status` gives the status text from now on.
    void Ready(std::function<std::string()> status);
    void Stopping();

private:
    void SendStatusIfChanged();

    bool enabled_;
    Send send_;
    std::function<std::string()> status_;
    std::string lastStatus_;
    std::uint64_t watchdogUs_;
    std::unique_ptr<ITimer> watchdog_;
    std::unique_ptr<ITimer> statusTimer_;
};

}  // namespace korvan
