#include "qt/QtViews.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRadialGradient>
#include <QScrollBar>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>

namespace korvan {

QtMemo::QtMemo(QWidget* parent, std::size_t maxLines, std::size_t maxBytes)
    : QAbstractScrollArea(parent), store_(maxLines, maxBytes), flushTimer_(new QTimer(this)) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    QFont f("Monospace");
    f.setStyleHint(QFont::TypeWriter);
    f.setPointSize(9);
    setFont(f);
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(kFlushMs);
    connect(flushTimer_, &QTimer::timeout, this, &QtMemo::Flush);
    UpdateScrollBars();
}

QtMemo::~QtMemo() = default;

void QtMemo::Append(const std::string& text) {
    int breaks = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++breaks;
    }
    pending_.push_back(text);
    pendingLines_ += breaks + 1;
    pendingBytes_ += text.size();
    // What is gathered stays within the memo's own bound too.
    if (static_cast<std::size_t>(pendingLines_) >= store_.MaxLines() ||
        pendingBytes_ >= store_.MaxBytes()) {
        Flush();
        return;
    }
    if (!flushTimer_->isActive())
        flushTimer_->start();
}

void QtMemo::Flush() {
    flushTimer_->stop();
    if (pending_.empty())
        return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const int firstInView = bar->value();
    // The gathered entries arrive as one text, one entry per line: into an
    // empty memo it replaces the single empty line a plain-text document
    // always holds, otherwise it starts on a new line.
    if (DocumentEmpty()) {
        store_.Clear();
        longestNumber_ = UINT64_MAX;
        longestWidth_ = 0;
    }
    std::size_t dropped = 0;
    for (const std::string& text : pending_) {
        std::size_t from = 0;
        for (std::size_t i = 0; i <= text.size(); ++i) {
            if (i < text.size() && text[i] != '\n' && text[i] != '\r')
                continue;
            dropped += store_.Add(std::string_view(text).substr(from, i - from));
            if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n')
                ++i;
            from = i + 1;
        }
    }
    pending_.clear();
    pendingLines_ = 0;
    pendingBytes_ = 0;
    // The width is measured only when another line has become the longest.
    const std::uint64_t longest = store_.Dropped() + store_.Longest();
    if (longest != longestNumber_) {
        longestNumber_ = longest;
        longestWidth_ =
            fontMetrics().horizontalAdvance(LineText(static_cast<qsizetype>(store_.Longest())));
    }
    if (dropped > 0)
        ForgetDropped(dropped);
    UpdateScrollBars();
    if (atEnd) {
        bar->setValue(bar->maximum());
    } else {
        // The lines in view stay in view while older ones go.
        bar->setValue(static_cast<int>(
            std::max<qsizetype>(0, firstInView - static_cast<qsizetype>(dropped))));
    }
    viewport()->update();
}

void QtMemo::ForgetDropped(std::size_t dropped) {
    const auto up = [dropped](Pos& p) {
        p = p.line >= static_cast<qsizetype>(dropped)
                ? Pos{p.line - static_cast<qsizetype>(dropped), p.column}
                : Pos{};
    };
    up(anchor_);
    up(cursor_);
}

void QtMemo::Clear() {
    pending_.clear();
    pendingLines_ = 0;
    pendingBytes_ = 0;
    flushTimer_->stop();
    // Give the memory back: the All Msg memo can have held many lines.
    store_.Clear();
    longestNumber_ = UINT64_MAX;
    longestWidth_ = 0;
    anchor_ = cursor_ = Pos{};
    selecting_ = false;
    UpdateScrollBars();
    viewport()->update();
}

int QtMemo::LineCount() const {
    const int shown = DocumentEmpty() ? 0 : static_cast<int>(store_.Size());
    return shown + pendingLines_;
}

void QtMemo::ScrollToEnd() {
    Flush();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QString QtMemo::LineText(qsizetype index) const {
    const std::string_view line = store_.Line(static_cast<std::size_t>(index));
    return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

QString QtMemo::toPlainText() const {
    QStringList all;
    all.reserve(Count());
    for (qsizetype i = 0; i < Count(); ++i) all.append(LineText(i));
    return all.join('\n');
}

QString QtMemo::SelectedText() const {
    if (!HasSelection())
        return {};
    const Pos from = std::min(anchor_, cursor_);
    const Pos to = std::max(anchor_, cursor_);
    QStringList parts;
    for (qsizetype i = from.line; i <= to.line && i < Count(); ++i) {
        const QString text = LineText(i);
        const qsizetype begin = i == from.line ? from.column : 0;
        const qsizetype end = i == to.line ? to.column : text.size();
        parts.append(text.mid(begin, end - begin));
    }
    return parts.join('\n');
}

void QtMemo::SelectAll() {
    if (Count() == 0)
        return;
    anchor_ = Pos{0, 0};
    cursor_ = Pos{Count() - 1, LineText(Count() - 1).size()};
    viewport()->update();
}

void QtMemo::Copy() {
    if (HasSelection())
        QGuiApplication::clipboard()->setText(SelectedText());
}

int QtMemo::LineHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int QtMemo::VisibleLines() const {
    return std::max(1, (viewport()->height() - 2 * kMargin) / LineHeight());
}

void QtMemo::UpdateScrollBars() {
    // Like a plain-text editor, the vertical bar counts lines: its value is
    // the first line in view. The horizontal bar counts pixels.
    const int count = static_cast<int>(std::min<qsizetype>(Count(), INT_MAX));
    const int page = VisibleLines();
    verticalScrollBar()->setRange(0, std::max(0, count - page));
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setSingleStep(1);
    const int width = longestWidth_ + 2 * kMargin;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(std::max(1, fontMetrics().averageCharWidth()));
}

QtMemo::Pos QtMemo::PosAt(const QPoint& p) const {
    if (Count() == 0)
        return {};
    const qsizetype line = std::clamp<qsizetype>(
        verticalScrollBar()->value() + (p.y() - kMargin) / LineHeight() - (p.y() < kMargin ? 1 : 0),
        0, Count() - 1);
    const QString text = LineText(line);
    const QFontMetrics fm = fontMetrics();
    const int x = p.x() - kMargin + horizontalScrollBar()->value();
    int left = 0;
    for (qsizetype c = 0; c < text.size(); ++c) {
        const int w = fm.horizontalAdvance(text.at(c));
        if (x < left + w / 2)
            return {line, c};
        left += w;
    }
    return {line, text.size()};
}

void QtMemo::paintEvent(QPaintEvent* event) {
    QPainter p(viewport());
    p.setFont(font());
    const QFontMetrics fm = fontMetrics();
    const int height = LineHeight();
    const int x0 = kMargin - horizontalScrollBar()->value();
    const bool selection = HasSelection();
    const Pos from = std::min(anchor_, cursor_);
    const Pos to = std::max(anchor_, cursor_);
    const QRect area = event->rect();
    for (qsizetype i = verticalScrollBar()->value(); i < Count(); ++i) {
        const int top = kMargin + static_cast<int>(i - verticalScrollBar()->value()) * height;
        if (top > area.bottom())
            break;
        if (top + height < area.top())
            continue;
        const QString text = LineText(i);
        if (selection && i >= from.line && i <= to.line) {
            const qsizetype begin = i == from.line ? from.column : 0;
            const qsizetype end = i == to.line ? to.column : text.size();
            const int left = x0 + fm.horizontalAdvance(text.left(begin));
            // A selected line break shows as a little room after the text.
            const int right = x0 + fm.horizontalAdvance(text.left(end)) +
                              (i < to.line ? fm.averageCharWidth() / 2 : 0);
            p.fillRect(QRect(left, top, right - left, height), palette().highlight());
            p.setPen(palette().color(QPalette::Text));
            p.drawText(x0, top + fm.ascent(), text.left(begin));
            p.setPen(palette().color(QPalette::HighlightedText));
            p.drawText(left, top + fm.ascent(), text.mid(begin, end - begin));
            p.setPen(palette().color(QPalette::Text));
            p.drawText(x0 + fm.horizontalAdvance(text.left(end)), top + fm.ascent(), text.mid(end));
        } else {
            p.setPen(palette().color(QPalette::Text));
            p.drawText(x0, top + fm.ascent(), text);
        }
    }
}

void QtMemo::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    UpdateScrollBars();
    if (atEnd)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void QtMemo::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        longestWidth_ = store_.Empty() ? 0
                                       : fontMetrics().horizontalAdvance(
                                             LineText(static_cast<qsizetype>(store_.Longest())));
        UpdateScrollBars();
        viewport()->update();
    }
}

void QtMemo::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const Pos at = PosAt(event->position().toPoint());
    cursor_ = at;
    if (!(event->modifiers() & Qt::ShiftModifier))
        anchor_ = at;
    selecting_ = true;
    viewport()->update();
}

void QtMemo::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_ || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint p = event->position().toPoint();
    // Dragging past the top or the bottom scrolls a line at a time.
    if (p.y() < 0)
        verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
    if (p.y() > viewport()->height())
        verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
    cursor_ = PosAt(p);
    viewport()->update();
}

void QtMemo::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || Count() == 0)
        return;
    // A word: the run of non-blank characters under the pointer.
    const Pos at = PosAt(event->position().toPoint());
    const QString text = LineText(at.line);
    qsizetype begin = std::min(at.column, text.size());
    qsizetype end = begin;
    while (begin > 0 && !text.at(begin - 1).isSpace()) --begin;
    while (end < text.size() && !text.at(end).isSpace()) ++end;
    anchor_ = Pos{at.line, begin};
    cursor_ = Pos{at.line, end};
    selecting_ = false;
    viewport()->update();
}

void QtMemo::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        Copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
    } else if (event->matches(QKeySequence::MoveToStartOfDocument)) {
        verticalScrollBar()->setValue(0);
    } else if (event->matches(QKeySequence::MoveToEndOfDocument)) {
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void QtMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy") + '\t' + QKeySequence(QKeySequence::Copy).toString(),
                                   this, &QtMemo::Copy);
    copy->setEnabled(HasSelection());
    QAction* all =
        menu.addAction(tr("Select All") + '\t' + QKeySequence(QKeySequence::SelectAll).toString(),
                       this, &QtMemo::SelectAll);
    all->setEnabled(Count() > 0);
    menu.exec(event->globalPos());
}

QtLed::QtLed(QWidget* parent) : QWidget(parent) {
    setFixedSize(17, 17);
}

void QtLed::ShowRed(bool red) {
    red_ = red;
    update();
}

void QtLed::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor base = red_ ? QColor(230, 30, 30) : QColor(40, 190, 60);
    QRadialGradient g(QPointF(6, 6), 10);
    g.setColorAt(0, base.lighter(170));
    g.setColorAt(1, base.darker(120));
    p.setBrush(g);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawEllipse(QRectF(1.5, 1.5, 14, 14));
}

QtSound::QtSound() = default;

QtSound::~QtSound() {
    qDeleteAll(effects_);
}

void QtSound::PlayAsync(const std::string& path) {
    const QString p = QString::fromLocal8Bit(path.c_str());
    QSoundEffect* e = effects_.value(p, nullptr);
    if (e == nullptr) {
        e = new QSoundEffect();
        e->setSource(QUrl::fromLocalFile(p));
        effects_.insert(p, e);
    }
    e->play();
}

void QtSound::Beep() {
    QApplication::beep();
}

void QtDialogs::Warning(const std::string& text) {
    QMessageBox::warning(parent_, QApplication::applicationDisplayName(), FromLocal8(text));
}

bool QtDialogs::Confirm(const std::string& text) {
    return QMessageBox::question(parent_, QApplication::applicationDisplayName(), FromLocal8(text),
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool QtDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                           std::string& value) {
    bool ok = false;
    const QString v = QInputDialog::getText(parent_, FromLocal8(caption), FromLocal8(prompt),
                                            QLineEdit::Normal, FromLocal8(value), &ok);
    if (ok)
        value = ToLocal8(v);
    return ok;
}

void QtDialogs::Message(const std::string& text) {
    QMessageBox::information(parent_, QApplication::applicationDisplayName(), FromLocal8(text));
}

}  // namespace korvan
