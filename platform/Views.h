#pragma once

#include <string>

namespace korvan {

// A read-only log memo on one of the tabs.
class IMemo {
public:
    virtual ~IMemo() = default;
    // Appends `text` as a line; line breaks inside it ("\r\n") start new lines.
    virtual void Append(const std::string& text) = 0;
    virtual void Clear() = 0;
    virtual int LineCount() const = 0;
    // Scrolls so that the last line is in view.
    virtual void ScrollToEnd() = 0;
};

// The two images of an alert LED.
class ILedView {
public:
    virtual ~ILedView() = default;
    virtual void ShowRed(bool red) = 0;
};

class ISound {
public:
    virtual ~ISound() = default;
    // Starts playing a wave file and returns at once; a missing file or no
    // audio device plays nothing and reports nothing.
    virtual void PlayAsync(const std::string& path) = 0;
    // The platform's confirmation beep.
    virtual void Beep() = 0;
};

// Modal boxes. The event loop keeps running while one is open.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    virtual void Warning(const std::string& text) = 0;
    // Yes/No question; true for Yes.
    virtual bool Confirm(const std::string& text) = 0;
    // Text input with a caption and a prompt; true for OK, `value` holds the entry.
    virtual bool InputQuery(const std::string& caption, const std::string& prompt,
                            std::string& value) = 0;
    // A plain message box (start-up failure).
    virtual void Message(const std::string& text) = 0;
};

}  // namespace korvan
