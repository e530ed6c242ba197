#pragma once

#include <string>

#include "core/Receiver.h"
#include "core/ReceiverView.h"
#include "platform/Clock.h"
#include "platform/HeadlessViews.h"
#include "platform/StderrLines.h"

namespace korvan {

// The receiver's front end without a window, for a server without a
// desktop: the same core on the same folder, files, settings, database and
// journal as the window. Nothing is shown or played; the Important-messages
// and Errors entries and every box the core would show go to stderr, one
// line each, for the system journal. Its views are attached to the core for
// as long as it lives.
class ServiceHost : public IReceiverView {
public:
    ServiceHost(Receiver& core, const IClock& clock);
    ~ServiceHost() override;
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // IReceiverView: there is nothing to show. Terminate (a start-up error)
    // leaves the ending to the caller of Receiver::Start.
    void SetAppStartedText(const std::string&) override {}
    void ShowPage(int) override {}
    void RepaintUnitsGrid() override {}
    void Terminate() override {}

private:
    Receiver& core_;
    StderrLines out_;
    NoMemo memoAll_;
    JournalMemo memoImp_;
    JournalMemo memoErr_;
    NoLed ledImp_;
    NoLed ledErr_;
    NoSound sound_;
    AnsweringDialogs dialogs_;
};

}  // namespace korvan
