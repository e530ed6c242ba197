#include "qt/QtTimers.h"

#include <utility>

namespace korvan {

QtTimer::QtTimer(int intervalMs, bool singleShot, std::function<void()> onTick)
    : onTick_(std::move(onTick)) {
    // Precise timers: the serial channel's 75 ms watch and the 700 ms LED
    // blink would drift visibly on the coarse 5 % timer.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(intervalMs);
    timer_.setSingleShot(singleShot);
    // QTimer stops a single-shot timer before it emits timeout().
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
        const auto tick = onTick_;  // the handler may change or replace this timer
        if (tick)
            tick();
    });
}

void QtTimer::Start() {
    timer_.start();
}

void QtTimer::Stop() {
    timer_.stop();
}

void QtTimer::SetInterval(int ms) {
    // QTimer restarts a running timer when its interval changes.
    timer_.setInterval(ms);
}

int QtTimer::Interval() const {
    return timer_.interval();
}

bool QtTimer::IsActive() const {
    return timer_.isActive();
}

std::unique_ptr<ITimer> QtTimerFactory::CreateTimer(int intervalMs, bool singleShot,
                                                    std::function<void()> onTick) {
    return std::make_unique<QtTimer>(intervalMs, singleShot, std::move(onTick));
}

}  // namespace korvan
