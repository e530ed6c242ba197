#pragma once

#include <string>
#include <vector>

#include "base/Led.h"
#include "base/Log.h"
#include "base/LogChannels.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"
#include "platform/Clock.h"
#include "platform/Timer.h"

namespace korvan {

// The three log channels as the receiver builds them (files in a temporary
// folder, memos that keep their lines, LEDs, sounds, outages told on the
// Errors channel), for any test of a subsystem that reports through them.
struct TestLogChannels {
    TestLogChannels(const IClock& clock, ITimerFactory& timers)
        : impLed(impView, timers),
          errLed(errView, timers),
          all(clock, &sound, dir.Path(), &allMemo, "Log\\All msg", "", 1, nullptr, "", nullptr),
          imp(clock, &sound, dir.Path(), &impMemo, "Log", "Imp_msg", 0, &impLed, "impmsg", &all),
          err(clock, &sound, dir.Path(), &errMemo, "Log", "Errors", 0, &errLed, "error", &all) {
        all.SetOutageChannel(&err);
        imp.SetOutageChannel(&err);
        err.SetOutageChannel(&err);
    }

    LogChannels Channels() { return LogChannels{all, imp, err}; }

    // Memo lines without their stamp "yyyy.mm.dd hh:nn:ss - "; an empty line stays empty.
    static std::vector<std::string> Texts(const FakeMemo& memo) {
        std::vector<std::string> out;
        for (const std::string& line : memo.lines)
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        return out;
    }
    std::vector<std::string> All() const { return Texts(allMemo); }
    std::vector<std::string> Imp() const { return Texts(impMemo); }
    std::vector<std::string> Err() const { return Texts(errMemo); }
    void ClearMemos() {
        allMemo.Clear();
        impMemo.Clear();
        errMemo.Clear();
    }

    TempDir dir;
    FakeSound sound;
    FakeMemo allMemo, impMemo, errMemo;
    FakeLedView impView, errView;
    AlertLed impLed, errLed;
    LogChannel all, imp, err;
};

}  // namespace korvan
