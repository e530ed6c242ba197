#pragma once

#include <string>
#include <vector>

#include "base/Log.h"
#include "base/LogChannels.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"
#include "platform/Clock.h"

using namespace korvan;


// The three real log channels in a temporary folder, each with a memo that
// keeps its lines.
struct LogHarness {
    explicit LogHarness(const IClock& clock)
        : all(clock, nullptr, dir.Path(), &allMemo, "Log\\All msg", "", 1, nullptr, "", nullptr),
          imp(clock, nullptr, dir.Path(), &impMemo, "Log", "Imp_msg", 0, nullptr, "", &all),
          err(clock, nullptr, dir.Path(), &errMemo, "Log", "Errors", 0, nullptr, "", &all) {}

    LogChannels Channels() { return LogChannels{all, imp, err}; }

    // Memo lines without their time stamp ("yyyy.mm.dd hh:nn:ss - "); an
    // empty line stays empty.
    static std::vector<std::string> Texts(const FakeMemo& memo) {
        std::vector<std::string> out;
        for (const std::string& line : memo.lines)
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        return out;
    }

    TempDir dir;
    FakeMemo allMemo;
    FakeMemo impMemo;
    FakeMemo errMemo;
    LogChannel all;
    LogChannel imp;
    LogChannel err;
};
