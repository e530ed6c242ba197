#pragma once

#include <QAbstractScrollArea>
#include <QHash>
#include <QLabel>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/Views.h"

class QSoundEffect;
class QTimer;

namespace korvan {

// A read-only log memo: lines of 8-bit text in a fixed-pitch font, with
// scroll bars, mouse selection and copying (Ctrl+C, Ctrl+A, context menu).
//
// A busy receiver adds thousands of lines a second, and the All Msg memo
// keeps them until the five-minute housekeeping clears it, so the lines are
// kept compactly (their bytes in large blocks, no per-line objects) and only
// the lines in view are ever laid out and drawn. Appends are gathered and
// handed over at most every kFlushMs, so a stream of entries costs one
// scroll-bar update and one paint per interval; the line count includes what
// is still gathered, and scrolling to the end hands everything over first.
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

    explicit QtMemo(QWidget* parent = nullptr);
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
    struct Line {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length;
    };

    void AddLine(const char* text, std::size_t length);
    QString LineText(qsizetype index) const;
    qsizetype Count() const { return static_cast<qsizetype>(lines_.size()); }
    bool DocumentEmpty() const {
        return lines_.empty() || (lines_.size() == 1 && lines_[0].length == 0);
    }
    int LineHeight() const;
    int VisibleLines() const;
    void UpdateScrollBars();
    Pos PosAt(const QPoint& viewportPoint) const;
    bool HasSelection() const { return anchor_ != cursor_; }

    // The text of every line, in blocks of kBlockBytes (a longer line gets a
    // block of its own); a line never spans two blocks. The line index grows
    // in small pieces too, so a million lines never need one large copy.
    static constexpr std::size_t kBlockBytes = 1 << 20;
    std::vector<std::string> blocks_;
    std::deque<Line> lines_;
    qsizetype longest_ = -1;  // index of the line with the most characters
    int longestWidth_ = 0;    // its width in pixels

    std::vector<std::string> pending_;
    int pendingLines_ = 0;
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
