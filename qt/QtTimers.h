#pragma once

#include <QTimer>

#include <functional>
#include <memory>

#include "platform/Timer.h"

namespace korvan {

// A QTimer on the thread that creates it (the main thread). A one-shot timer
// is inactive again when its tick runs. A tick handler must not destroy the
// timer that is ticking.
class QtTimer : public ITimer {
public:
    QtTimer(int intervalMs, bool singleShot, std::function<void()> onTick);
    void Start() override;
    void Stop() override;
    void SetInterval(int ms) override;
    int Interval() const override;
    bool IsActive() const override;

private:
    QTimer timer_;
    std::function<void()> onTick_;
};

class QtTimerFactory : public ITimerFactory {
public:
    std::unique_ptr<ITimer> CreateTimer(int intervalMs, bool singleShot,
                                        std::function<void()> onTick) override;
};

}  // namespace korvan
