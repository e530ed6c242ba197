#pragma once

#include <QHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

#include <memory>

#include "platform/Views.h"

class QSoundEffect;

// A read-only log memo. Appends are gathered and handed to the widget once
// per event-loop turn, so a burst of entries costs one layout pass; the line
// count includes what is still gathered.
class QtMemo : public QPlainTextEdit, public IMemo {
    Q_OBJECT
public:
    explicit QtMemo(QWidget* parent = nullptr);
    void Append(const std::string& text) override;
    void Clear() override;
    int LineCount() const override;
    void ScrollToEnd() override;

    // Hands gathered lines to the widget now.
    void Flush();

private:
    QStringList pending_;
    int pendingLines_ = 0;
    bool flushQueued_ = false;
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
inline QString FromLocal8(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }
inline std::string ToLocal8(const QString& s) { return s.toLatin1().toStdString(); }
