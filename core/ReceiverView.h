#pragma once

#include <string>

namespace korvan {

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

}  // namespace korvan
