#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "platform/Timer.h"

namespace korvan {

// A settable clock and manual timers in one: Advance() moves both the wall
// clock and the monotonic clock and fires every timer that falls due, in
// time order, with the clock set to the moment each one fires.
class FakeScheduler : public IClock, public ITimerFactory {
public:
    // Starts at 2026-12-08 10:30:00 local time unless told otherwise.
    explicit FakeScheduler(TDateTime start = 46364.4375) : wall_(start) {}

    TDateTime Now() const override {
        return wall_ + static_cast<double>(mono_ - wallBaseMono_) / kMsPerDay;
    }
    std::int64_t MonotonicMs() const override { return mono_; }

    // Sets the wall clock without moving the monotonic clock (an operator
    // setting the clock, a daylight-saving change).
    void SetWall(TDateTime dt) {
        wall_ = dt;
        wallBaseMono_ = mono_;
    }

    void Advance(std::int64_t ms) {
        const std::int64_t end = mono_ + ms;
        for (;;) {
            Timer* next = nullptr;
            for (Timer* t : timers_) {
                if (t->active_ && t->due_ <= end &&
                    (next == nullptr || t->due_ < next->due_ ||
                     (t->due_ == next->due_ && t->seq_ < next->seq_))) {
                    next = t;
                }
            }
            if (next == nullptr)
                break;
            mono_ = std::max(mono_, next->due_);
            if (next->single_) {
                next->active_ = false;
            } else {
                next->due_ = mono_ + std::max(1, next->interval_);
            }
            next->seq_ = ++seq_;
            auto cb = next->onTick_;
            cb();
        }
        mono_ = end;
    }

    std::unique_ptr<ITimer> CreateTimer(int intervalMs, bool singleShot,
                                        std::function<void()> onTick) override {
        return std::make_unique<Timer>(*this, intervalMs, singleShot, std::move(onTick));
    }

    class Timer : public ITimer {
    public:
        Timer(FakeScheduler& s, int interval, bool single, std::function<void()> cb)
            : s_(s), interval_(interval), single_(single), onTick_(std::move(cb)) {
            s_.timers_.push_back(this);
        }
        ~Timer() override {
            s_.timers_.erase(std::find(s_.timers_.begin(), s_.timers_.end(), this));
        }
        void Start() override {
            active_ = true;
            due_ = s_.mono_ + interval_;
            seq_ = ++s_.seq_;
            ++starts;
        }
        void Stop() override { active_ = false; }
        void SetInterval(int ms) override {
            interval_ = ms;
            if (active_)
                Start();
        }
        int Interval() const override { return interval_; }
        bool IsActive() const override { return active_; }
        std::int64_t DueAt() const { return due_; }
        int starts = 0;

    private:
        friend class FakeScheduler;
        FakeScheduler& s_;
        int interval_;
        bool single_;
        std::function<void()> onTick_;
        bool active_ = false;
        std::int64_t due_ = 0;
        std::uint64_t seq_ = 0;
    };

private:
    TDateTime wall_;
    std::int64_t mono_ = 1'000'000;
    std::int64_t wallBaseMono_ = 1'000'000;
    std::uint64_t seq_ = 0;
    std::vector<Timer*> timers_;
};

}  // namespace korvan
