#include "qt/GradientPanel.h"

#include <QPainter>

#include "qt/GridPainting.h"

namespace korvan {

GradientPanel::GradientPanel(QWidget* parent, QColor top, QColor bottom, bool lineBelow)
    : QWidget(parent), top_(top), bottom_(bottom), lineBelow_(lineBelow) {}

void GradientPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    PaintVerticalGradient(p, rect(), top_, bottom_);
    if (lineBelow_) {
        p.setPen(bottom_.darker(125));
        p.drawLine(0, height() - 1, width() - 1, height() - 1);
    }
}

}  // namespace korvan
