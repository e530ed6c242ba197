#include "app/Led.h"

TLed::TLed(ILedView& view, ITimerFactory& timers)
    : view_(view), timer_(timers.CreateTimer(700, false, [this] { Tick(); })) {}

void TLed::StartBlink() {
    if (!timer_->IsActive()) timer_->Start();
}

void TLed::ClearBlink() {
    timer_->Stop();
    red_ = false;
    view_.ShowRed(false);
}

bool TLed::IsBlinking() const { return timer_->IsActive(); }

void TLed::Tick() {
    red_ = !red_;
    view_.ShowRed(red_);
}
