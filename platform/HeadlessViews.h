#pragma once

#include <string>
#include <utility>

#include "platform/StderrLines.h"
#include "platform/Views.h"

namespace korvan {

// What the receiver shows, for a receiver without a window: nothing is kept
// or drawn, nothing sounds, and what an operator would have read goes to
// the system journal as lines on stderr.

// A memo that keeps nothing (the All Msg tab: the log files have it all).
class NoMemo : public IMemo {
public:
    void Append(const std::string&) override {}
    void Clear() override {}
    int LineCount() const override { return 0; }
    void ScrollToEnd() override {}
};

// A memo whose every entry becomes one journal line (the Imp Msg and Errors
// tabs). The empty line that sets an entry apart is left out.
class JournalMemo : public NoMemo {
public:
    // `prefix`: the journal's priority mark for the channel.
    JournalMemo(StderrLines& out, std::string prefix) : out_(out), prefix_(std::move(prefix)) {}
    void Append(const std::string& text) override {
        if (!text.empty())
            out_.Write(prefix_, text);
    }

private:
    StderrLines& out_;
    std::string prefix_;
};

class NoLed : public ILedView {
public:
    void ShowRed(bool) override {}
};

class NoSound : public ISound {
public:
    void PlayAsync(const std::string&) override {}
    void Beep() override {}
};

// Boxes nobody can answer: each is answered at once, as a click on No,
// Cancel or OK would, and told in the journal with the answer given.
class AnsweringDialogs : public IDialogs {
public:
    explicit AnsweringDialogs(StderrLines& out) : out_(out) {}
    void Warning(const std::string& text) override;
    // Answered No: nothing that waits for a Yes is done.
    bool Confirm(const std::string& text) override;
    // Answered Cancel: the value stays as it was.
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override;
    void Message(const std::string& text) override;

private:
    StderrLines& out_;
};

}  // namespace korvan
