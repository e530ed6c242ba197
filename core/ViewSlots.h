#pragma once

#include <string>

#include "core/ReceiverView.h"
#include "platform/Views.h"

namespace korvan {

// The core's ends of what a front end shows. The core is built on these
// slots, before any front end exists; each passes on to the view attached to
// it and, while none is, shows nothing, plays nothing and answers every
// question No (an input as cancelled). So the same core runs with a window,
// without one, or with a test's fakes.
class MemoSlot final : public IMemo {
public:
    void Attach(IMemo* to) { to_ = to; }
    void Append(const std::string& text) override {
        if (to_ != nullptr)
            to_->Append(text);
    }
    void Clear() override {
        if (to_ != nullptr)
            to_->Clear();
    }
    int LineCount() const override { return to_ != nullptr ? to_->LineCount() : 0; }
    void ScrollToEnd() override {
        if (to_ != nullptr)
            to_->ScrollToEnd();
    }

private:
    IMemo* to_ = nullptr;
};

class LedSlot final : public ILedView {
public:
    void Attach(ILedView* to) { to_ = to; }
    void ShowRed(bool red) override {
        if (to_ != nullptr)
            to_->ShowRed(red);
    }

private:
    ILedView* to_ = nullptr;
};

class SoundSlot final : public ISound {
public:
    void Attach(ISound* to) { to_ = to; }
    void PlayAsync(const std::string& path) override {
        if (to_ != nullptr)
            to_->PlayAsync(path);
    }
    void Beep() override {
        if (to_ != nullptr)
            to_->Beep();
    }

private:
    ISound* to_ = nullptr;
};

class DialogsSlot final : public IDialogs {
public:
    void Attach(IDialogs* to) { to_ = to; }
    void Warning(const std::string& text) override {
        if (to_ != nullptr)
            to_->Warning(text);
    }
    bool Confirm(const std::string& text) override { return to_ != nullptr && to_->Confirm(text); }
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override {
        return to_ != nullptr && to_->InputQuery(caption, prompt, value);
    }
    void Message(const std::string& text) override {
        if (to_ != nullptr)
            to_->Message(text);
    }

private:
    IDialogs* to_ = nullptr;
};

class ViewSlot final : public IReceiverView {
public:
    void Attach(IReceiverView* to) { to_ = to; }
    void SetAppStartedText(const std::string& text) override {
        if (to_ != nullptr)
            to_->SetAppStartedText(text);
    }
    void ShowPage(int index) override {
        if (to_ != nullptr)
            to_->ShowPage(index);
    }
    void RepaintUnitsGrid() override {
        if (to_ != nullptr)
            to_->RepaintUnitsGrid();
    }
    void Terminate() override {
        if (to_ != nullptr)
            to_->Terminate();
    }

private:
    IReceiverView* to_ = nullptr;
};

// One slot for each of a front end's views, attached and detached together.
struct ViewSlots {
    // Null detaches every slot.
    void Attach(const ReceiverViews* views) {
        memoAll.Attach(views != nullptr ? &views->memoAll : nullptr);
        memoImp.Attach(views != nullptr ? &views->memoImp : nullptr);
        memoErr.Attach(views != nullptr ? &views->memoErr : nullptr);
        ledImp.Attach(views != nullptr ? &views->ledImp : nullptr);
        ledErr.Attach(views != nullptr ? &views->ledErr : nullptr);
        sound.Attach(views != nullptr ? &views->sound : nullptr);
        dialogs.Attach(views != nullptr ? &views->dialogs : nullptr);
        view.Attach(views != nullptr ? &views->view : nullptr);
    }

    MemoSlot memoAll;
    MemoSlot memoImp;
    MemoSlot memoErr;
    LedSlot ledImp;
    LedSlot ledErr;
    SoundSlot sound;
    DialogsSlot dialogs;
    ViewSlot view;
};

}  // namespace korvan
