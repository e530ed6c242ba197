#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/LogChannels.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeViews.h"

using namespace korvan;


// The three log channels as the program builds them, with memos that keep
// their lines, writing under `exeDir`.
struct TestChannels {
    TestChannels(const IClock& clock, const std::string& exeDir)
        : all(clock, nullptr, exeDir, &allMemo, "Log\\All msg", "", 1, nullptr, "", nullptr),
          imp(clock, nullptr, exeDir, &impMemo, "Log", "Imp_msg", 0, nullptr, "", &all),
          err(clock, nullptr, exeDir, &errMemo, "Log", "Errors", 0, nullptr, "", &all) {}

    LogChannels Logs() { return LogChannels{all, imp, err}; }

    // The memo lines without their "yyyy.mm.dd hh:nn:ss - " stamp.
    static std::vector<std::string> Texts(const FakeMemo& memo) {
        std::vector<std::string> out;
        for (const auto& line : memo.lines)
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        return out;
    }
    std::vector<std::string> AllTexts() const { return Texts(allMemo); }
    std::vector<std::string> ImpTexts() const { return Texts(impMemo); }
    std::vector<std::string> ErrTexts() const { return Texts(errMemo); }

    FakeMemo allMemo, impMemo, errMemo;
    LogChannel all, imp, err;
};
