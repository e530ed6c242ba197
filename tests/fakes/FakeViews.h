#pragma once

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ReceiverView.h"
#include "platform/Views.h"

namespace korvan {

// A memo that keeps its lines; text with "\r\n" inside counts as several lines.
class FakeMemo : public IMemo {
public:
    void Append(const std::string& text) override {
        entries.push_back(text);
        std::size_t start = 0;
        for (;;) {
            const std::size_t pos = text.find("\r\n", start);
            if (pos == std::string::npos) {
                lines.push_back(text.substr(start));
                break;
            }
            lines.push_back(text.substr(start, pos - start));
            start = pos + 2;
        }
    }
    void Clear() override {
        lines.clear();
        entries.clear();
    }
    int LineCount() const override { return static_cast<int>(lines.size()); }
    void ScrollToEnd() override { ++scrolls; }

    std::vector<std::string> lines;
    std::vector<std::string> entries;
    int scrolls = 0;
};

class FakeLedView : public ILedView {
public:
    void ShowRed(bool r) override { shown.push_back(r); }
    std::vector<bool> shown;
};

class FakeSound : public ISound {
public:
    void PlayAsync(const std::string& path) override { played.push_back(path); }
    void Beep() override { ++beeps; }
    std::vector<std::string> played;
    int beeps = 0;
};

// Dialogs answered in advance by the test; every box shown is recorded.
class FakeDialogs : public IDialogs {
public:
    void Warning(const std::string& text) override { shown.push_back("W:" + text); }
    bool Confirm(const std::string& text) override {
        shown.push_back("Q:" + text);
        if (whileOpen)
            whileOpen();
        if (confirmAnswers.empty())
            return false;
        const bool a = confirmAnswers.front();
        confirmAnswers.pop_front();
        return a;
    }
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override {
        shown.push_back("I:" + caption + "|" + prompt + "|" + value);
        if (inputAnswers.empty())
            return false;
        auto a = inputAnswers.front();
        inputAnswers.pop_front();
        if (!a.first)
            return false;
        value = a.second;
        return true;
    }
    void Message(const std::string& text) override { shown.push_back("M:" + text); }

    std::vector<std::string> shown;
    std::deque<bool> confirmAnswers;
    // Runs while a question is open, as the event loop would.
    std::function<void()> whileOpen;
    std::deque<std::pair<bool, std::string>> inputAnswers;
};

// The window as the receiver core sees it; records what it was asked.
class FakeReceiverView : public IReceiverView {
public:
    void SetAppStartedText(const std::string& t) override {
        if (failSetAppStarted)
            throw std::runtime_error("label gone");
        appStarted = t;
    }
    void ShowPage(int i) override { pages.push_back(i); }
    void RepaintUnitsGrid() override { ++repaints; }
    void Terminate() override { terminated = true; }
    std::string appStarted;
    std::vector<int> pages;
    int repaints = 0;
    bool terminated = false;
    bool failSetAppStarted = false;
};

}  // namespace korvan
