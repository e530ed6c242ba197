#include "base/Led.h"

namespace korvan {

AlertLed::AlertLed(ILedView& view, ITimerFactory& timers)
    : view_(view), timer_(timers.CreateTimer(700, false, [this] { Tick(); })) {}

void AlertLed::StartBlink() {
    if (!timer_->IsActive())
        timer_->Start();
}

void AlertLed::ClearBlink() {
    timer_->Stop();
    red_ = false;
    view_.ShowRed(false);
}

bool AlertLed::IsBlinking() const {
    return timer_->IsActive();
}

void AlertLed::Tick() {
    red_ = !red_;
    view_.ShowRed(red_);
}

}  // namespace korvan
