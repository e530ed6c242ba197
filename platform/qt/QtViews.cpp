#include "platform/qt/QtViews.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPainter>
#include <QRadialGradient>
#include <QScrollBar>
#include <QSoundEffect>
#include <QTimer>
#include <QUrl>

QtMemo::QtMemo(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont f("Monospace");
    f.setStyleHint(QFont::TypeWriter);
    f.setPointSize(9);
    setFont(f);
}

void QtMemo::Append(const std::string& text) {
    QString t = FromLocal8(text);
    t.replace("\r\n", "\n");
    pending_.append(t);
    pendingLines_ += static_cast<int>(t.count('\n')) + 1;
    if (!flushQueued_) {
        flushQueued_ = true;
        QTimer::singleShot(0, this, [this] { Flush(); });
    }
}

void QtMemo::Flush() {
    flushQueued_ = false;
    if (pending_.isEmpty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const QString text = pending_.join('\n');
    pending_.clear();
    pendingLines_ = 0;
    appendPlainText(text);
    if (atEnd) bar->setValue(bar->maximum());
}

void QtMemo::Clear() {
    pending_.clear();
    pendingLines_ = 0;
    clear();
}

int QtMemo::LineCount() const {
    const int shown = document()->isEmpty() ? 0 : document()->blockCount();
    return shown + pendingLines_;
}

void QtMemo::ScrollToEnd() {
    Flush();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QtLed::QtLed(QWidget* parent) : QWidget(parent) { setFixedSize(17, 17); }

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

QtSound::~QtSound() { qDeleteAll(effects_); }

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

void QtSound::Beep() { QApplication::beep(); }

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
    if (ok) value = ToLocal8(v);
    return ok;
}

void QtDialogs::Message(const std::string& text) {
    QMessageBox::information(parent_, QApplication::applicationDisplayName(), FromLocal8(text));
}
