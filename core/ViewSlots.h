#pragma once

#include <string>
#include <utility>

#include "core/ReceiverView.h"
#include "platform/Views.h"

namespace korvan {

// The core's ends of what a front end shows. The core is built on these
// slots, before any front end exists; each passes on to the view attached to
// it and, while none is, shows nothing, plays nothing and answers every
// question No (an input as cancelled). So the same core runs with a window,
// without one, or with a test's fakes.
template <typename View>
class Slot : public View {
public:
    void Attach(View* to) { to_ = to; }

protected:
    // Calls `method` of the attached view, if any.
    template <auto method, typename... Args>
    void Pass(Args&&... args) const {
        if (to_ != nullptr)
            (to_->*method)(std::forward<Args>(args)...);
    }

    View* to_ = nullptr;
};

class MemoSlot final : public Slot<IMemo> {
public:
    void Append(const std::string& text) override { Pass<&IMemo::Append>(text); }
    void Clear() override { Pass<&IMemo::Clear>(); }
    int LineCount() const override { return to_ != nullptr ? to_->LineCount() : 0; }
    void ScrollToEnd() override { Pass<&IMemo::ScrollToEnd>(); }
};

class LedSlot final : public Slot<ILedView> {
public:
    void ShowRed(bool red) override { Pass<&ILedView::ShowRed>(red); }
};

class SoundSlot final : public Slot<ISound> {
public:
    void PlayAsync(const std::string& path) override { Pass<&ISound::PlayAsync>(path); }
    void Beep() override { Pass<&ISound::Beep>(); }
};

class DialogsSlot final : public Slot<IDialogs> {
public:
    void Warning(const std::string& text) override { Pass<&IDialogs::Warning>(text); }
    bool Confirm(const std::string& text) override { return to_ != nullptr && to_->Confirm(text); }
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override {
        return to_ != nullptr && to_->InputQuery(caption, prompt, value);
    }
    void Message(const std::string& text) override { Pass<&IDialogs::Message>(text); }
};

class ViewSlot final : public Slot<IReceiverView> {
public:
    void SetAppStartedText(const std::string& text) override {
        Pass<&IReceiverView::SetAppStartedText>(text);
    }
    void ShowPage(int index) override { Pass<&IReceiverView::ShowPage>(index); }
    void RepaintUnitsGrid() override { Pass<&IReceiverView::RepaintUnitsGrid>(); }
    void Terminate() override { Pass<&IReceiverView::Terminate>(); }
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
