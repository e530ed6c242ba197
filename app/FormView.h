#pragma once

#include <string>

// What the window logic asks of the window itself.
class IFormView {
public:
    virtual ~IFormView() = default;
    // PStaticText_AppStarted.
    virtual void SetAppStartedText(const std::string& text) = 0;
    // Makes a page of the page control the active one (0 = All Msg).
    virtual void ShowPage(int index) = 0;
    virtual void RepaintUnitsGrid() = 0;
    // The application is told to terminate: the event loop ends at once.
    virtual void Terminate() = 0;
};
