#pragma once

#include <QAbstractScrollArea>
#include <QHash>
#include <QLabel>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Views.h"
#include "qt/LineStore.h"

class QSoundEffect;
class QTimer;

namespace korvan {

// A read-only log memo: lines of 8-bit text in a fixed-pitch font, with
// scroll bars, mouse selection and copying (Ctrl+C, Ctrl+A, context menu).
//
// A busy receiver adds thousands of lines a second, and the All Msg memo
// keeps them until the five-minute housekeeping clears it, so the lines are
// kept compactly (a LineStore: their bytes in large blocks, no per-line
// objects) and only the lines in view are ever laid out and drawn. A memo
// keeps at most the newest `maxLines` lines and `maxBytes` bytes of text,
// whichever bound comes first, and drops its oldest lines beyond that: a
// flood of entries cannot take the machine's memory (the log files keep
// every entry). Appends are gathered and handed over at most every kFlushMs,
// or at once when as much is gathered as the memo keeps, so a stream of
// entries costs one scroll-bar update and one paint per interval; the line
// count includes what is still gathered, and scrolling to the end hands
// everything over first.
//
// Lines follow a plain-text document's rules: "\r\n", "\n" and "\r" each end
// a line, and an empty memo counts no lines even after an empty append.
class QtMemo : public QAbstractScrollArea, public IMemo {
    Q_OBJECT
public:
    // Short enough that a line shows as soon as the eye can tell.
    static constexpr int kFlushMs = 100;
    // Space between the frame and the text, in pixels.
    static constexpr int kMargin = 4;

    explicit QtMemo(QWidget* parent = nullptr, std::size_t maxLines = LineStore::kMaxLines,
                    std::size_t maxBytes = LineStore::kMaxBytes);
    ~QtMemo() override;
    void Append(const std::string& text) override;
    void Clear() override;
    int LineCount() const override;
    void ScrollToEnd() override;

    // Hands gathered lines to the view now.
    void Flush();

    // Every line handed over, joined by "\n".
    QString toPlainText() const;
    QString SelectedText() const;
    void SelectAll();
    // Puts the selection on the clipboard; nothing when nothing is selected.
    void Copy();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Pos {
        qsizetype line = 0;
        qsizetype column = 0;
        friend bool operator==(const Pos&, const Pos&) = default;
        friend auto operator<=>(const Pos&, const Pos&) = default;
    };
    QString LineText(qsizetype index) const;
    qsizetype Count() const { return static_cast<qsizetype>(store_.Size()); }
    bool DocumentEmpty() const {
        return store_.Empty() || (store_.Size() == 1 && store_.Line(0).empty());
    }
    int LineHeight() const;
    int VisibleLines() const;
    void UpdateScrollBars();
    // Moves the selection up by `dropped` lines that were dropped from the top.
    void ForgetDropped(std::size_t dropped);
    Pos PosAt(const QPoint& viewportPoint) const;
    bool HasSelection() const { return anchor_ != cursor_; }

    LineStore store_;
    // The longest line's number in the store (Dropped() + index) and its
    // width in pixels, for the horizontal scroll bar.
    std::uint64_t longestNumber_ = UINT64_MAX;
    int longestWidth_ = 0;

    std::vector<std::string> pending_;
    int pendingLines_ = 0;
    std::size_t pendingBytes_ = 0;
    QTimer* flushTimer_;

    Pos anchor_;
    Pos cursor_;
    bool selecting_ = false;
};

// A 17 x 17 round LED: steady green, or red while a blink tick shows it.
class QtLed : public QWidget, public ILedView {
    Q_OBJECT
public:
    explicit QtLed(QWidget* parent = nullptr);
    void ShowRed(bool red) override;
    bool IsRed() const { return red_; }
    QSize sizeHint() const override { return {17, 17}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool red_ = false;
};

// Wave files played asynchronously; no audio device plays nothing.
class QtSound : public ISound {
public:
    QtSound();
    ~QtSound() override;
    void PlayAsync(const std::string& path) override;
    void Beep() override;

private:
    QHash<QString, QSoundEffect*> effects_;
};

class QtDialogs : public IDialogs {
public:
    explicit QtDialogs(QWidget* parent) : parent_(parent) {}
    void Warning(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    bool InputQuery(const std::string& caption, const std::string& prompt,
                    std::string& value) override;
    void Message(const std::string& text) override;
    void SetParent(QWidget* p) { parent_ = p; }

private:
    QWidget* parent_;
};

// 8-bit texts of the logic shown as Latin-1, so every byte maps to one character.
inline QString FromLocal8(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string ToLocal8(const QString& s) {
    return s.toLatin1().toStdString();
}

}  // namespace korvan
