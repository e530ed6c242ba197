#pragma once

#include <cstdint>
#include <string>

#include "platform/Views.h"

namespace korvan {

// The top panel's counters and the output the lines go out on.
struct ReceiverCounters {
    std::uint64_t packsReceived = 0;     // datagrams read from the units' socket
    std::uint64_t elementsReceived = 0;  // datagrams that passed the checks
    std::uint64_t messagesReceived = 0;  // alarms accepted
    std::uint64_t messagesSent = 0;      // lines delivered, heartbeats included
    int sendBuffer = 0;                  // lines waiting now
    std::string output;                  // "TCP <peer>", "Serial <name>" or "none"
    bool operator==(const ReceiverCounters&) const = default;
};

// What the receiver core asks of the window that shows it.
class IReceiverView {
public:
    virtual ~IReceiverView() = default;
    // The "application started" label at the top of the window.
    virtual void SetAppStartedText(const std::string& text) = 0;
    // Makes a page of the tab control the active one (0 = All Msg).
    virtual void ShowPage(int index) = 0;
    virtual void RepaintUnitsGrid() = 0;
    // The application is told to terminate: the event loop ends at once.
    virtual void Terminate() = 0;
};

// What a front end attaches to the core: the memos of the three log
// channels, the two alert LEDs, the sounds, the boxes that ask the operator,
// and the window itself. The window attaches its widgets, the service its
// journal lines, a test its fakes.
struct ReceiverViews {
    IMemo& memoAll;
    IMemo& memoImp;
    IMemo& memoErr;
    ILedView& ledImp;
    ILedView& ledErr;
    ISound& sound;
    IDialogs& dialogs;
    IReceiverView& view;
};

}  // namespace korvan
