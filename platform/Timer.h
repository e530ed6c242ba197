#pragma once

#include <functional>
#include <memory>

namespace korvan {

// A timer ticking on the main thread.
class ITimer {
public:
    virtual ~ITimer() = default;
    // Starts the timer with its interval; a running timer starts its period anew.
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // Changes the interval; a running timer starts its period anew.
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    virtual bool IsActive() const = 0;
};

class ITimerFactory {
public:
    virtual ~ITimerFactory() = default;
    // A periodic timer, or a one-shot one that stops itself before it calls
    // `onTick`. Created stopped.
    virtual std::unique_ptr<ITimer> CreateTimer(int intervalMs, bool singleShot,
                                                std::function<void()> onTick) = 0;
};

}  // namespace korvan
