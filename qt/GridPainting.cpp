#include "qt/GridPainting.h"

#include <QApplication>
#include <QLinearGradient>
#include <QPainter>

namespace korvan {

QFont CompactFont() {
    QFont f = QApplication::font();
    f.setPointSizeF(8.5);
    f.setStretch(QFont::SemiCondensed);
    return f;
}

void PaintDefaultCell(QPainter& painter, const QRect& rect, bool selected,
                      const QPalette& palette) {
    painter.fillRect(rect, palette.brush(selected ? QPalette::Highlight : QPalette::Base));
    painter.setPen(palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
}

void PaintVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                           const QColor& bottom) {
    // From the centre of the first pixel row to the centre of the last, so
    // both ends show their colour exactly.
    QLinearGradient g(QPointF(0, rect.top() + 0.5), QPointF(0, rect.bottom() + 0.5));
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    painter.fillRect(rect, g);
}

void DrawCellText(QPainter& painter, const QRect& clip, const QPoint& origin, const QString& text) {
    if (text.isEmpty())
        return;
    painter.save();
    painter.setClipRect(clip, Qt::IntersectClip);
    painter.setBackgroundMode(Qt::TransparentMode);
    // As wide as any text can be: the clip, not the box, ends it at the cell.
    const QRect area(origin, QSize(4096, clip.height()));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter.restore();
}

}  // namespace korvan
