#include "platform/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace korvan {

namespace {

std::uint64_t ManagerWatchdogUs() {
    std::uint64_t us = 0;
    return sd_watchdog_enabled(0, &us) > 0 ? us : 0;
}

}  // namespace

ServiceNotifier::ServiceNotifier(ITimerFactory& timers)
    : ServiceNotifier(timers, std::getenv("NOTIFY_SOCKET") != nullptr, ManagerWatchdogUs(),
                      [](const std::string& state) { sd_notify(0, state.c_str()); }) {}

ServiceNotifier::ServiceNotifier(ITimerFactory& timers, bool enabled, std::uint64_t watchdogUs,
                                 Send send)
    : enabled_(enabled), send_(std::move(send)), watchdogUs_(watchdogUs) {
    if (!enabled_)
        return;
    if (watchdogUs_ > 0) {
        const std::uint64_t halfMs = std::max<std::uint64_t>(1, watchdogUs_ / 2000);
        watchdog_ = timers.CreateTimer(static_cast<int>(std::min<std::uint64_t>(halfMs, 1u << 30)),
                                       false, [this] { send_("WATCHDOG=1"); });
        // Start-up may take a while: the watchdog is fed from the start.
        watchdog_->Start();
    }
    statusTimer_ = timers.CreateTimer(1000, false, [this] { SendStatusIfChanged(); });
}

ServiceNotifier::~ServiceNotifier() = default;

void ServiceNotifier::Ready(std::function<std::string()> status) {
    if (!enabled_)
        return;
    status_ = std::move(status);
    lastStatus_ = status_ ? status_() : std::string();
    send_("READY=1\nSTATUS=" + lastStatus_);
    statusTimer_->Start();
}

void ServiceNotifier::Stopping() {
    if (!enabled_)
        return;
    statusTimer_->Stop();
    send_("STOPPING=1\nSTATUS=Closing");
}

void ServiceNotifier::SendStatusIfChanged() {
    if (!status_)
        return;
    std::string now = status_();
    if (now == lastStatus_)
        return;
    lastStatus_ = std::move(now);
    send_("STATUS=" + lastStatus_);
}

}  // namespace korvan
