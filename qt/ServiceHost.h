#pragma once

#include <memory>
#include <string>

#include "core/Receiver.h"
#include "core/ReceiverView.h"
#include "platform/HeadlessViews.h"
#include "platform/StderrLines.h"
#include "platform/SystemClock.h"
#include "qt/QtSerialDevice.h"
#include "qt/QtTcp.h"
#include "qt/QtTimers.h"
#include "qt/QtUdp.h"

namespace korvan {

// The receiver without a window, for a server without a desktop: the same
// core on the same folder, files, settings, database and journal as the
// window, driven by QtCore alone (timers, UDP, serial port). Nothing is
// shown or played; the Important-messages and Errors entries and every box
// the core would show go to stderr, one line each, for the system journal.
class ServiceHost : public IReceiverView {
public:
    explicit ServiceHost(const std::string& exeDir);
    ~ServiceHost() override;
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    Receiver& Core() { return *receiver_; }
    ITimerFactory& Timers() { return timers_; }
    StderrLines& Journal() { return out_; }

    // IReceiverView: there is nothing to show. Terminate (a start-up error)
    // leaves the ending to the caller of Receiver::Start.
    void SetAppStartedText(const std::string&) override {}
    void ShowPage(int) override {}
    void RepaintUnitsGrid() override {}
    void Terminate() override {}

private:
    SystemClock clock_;
    QtTimerFactory timers_;
    QtUdpFactory udp_;
    QtSerialDevice serial_;
    QtTcpFactory tcp_;
    StderrLines out_;
    NoMemo memoAll_;
    JournalMemo memoImp_;
    JournalMemo memoErr_;
    NoLed ledImp_;
    NoLed ledErr_;
    NoSound sound_;
    AnsweringDialogs dialogs_;
    std::unique_ptr<Receiver> receiver_;
};

// One line on how the receiver is doing, for the service manager: the lines
// waiting for the monitoring software and the output in use ("serial COM1",
// or "none" while no port is open), and why the UDP port is closed when it is.
std::string ReceiverStatus(Receiver& receiver);

}  // namespace korvan
