#pragma once

#include <memory>

#include "platform/Timer.h"
#include "platform/Views.h"

namespace korvan {

// An alert LED: steady green, or blinking red/green every 700 ms from the
// first entry of its log channel until the operator opens the channel's tab.
class AlertLed {
public:
    AlertLed(ILedView& view, ITimerFactory& timers);
    // Starts blinking; the first tick shows red. No change while blinking.
    void StartBlink();
    // Stops blinking and shows green.
    void ClearBlink();
    bool IsBlinking() const;
    bool IsRed() const { return red_; }

private:
    void Tick();

    ILedView& view_;
    std::unique_ptr<ITimer> timer_;
    bool red_ = false;
};

}  // namespace korvan
