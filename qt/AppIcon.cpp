#include "qt/AppIcon.h"

#include <QLinearGradient>
#include <QPen>
#include <QPixmap>
#include <QRectF>

#include <algorithm>

namespace korvan {

void PaintAntenna(QPainter& p, QPointF top, qreal scale, qreal lineWidth) {
    p.save();
    p.setPen(QPen(QColor(255, 200, 60), lineWidth, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QPointF foot = top + QPointF(0, 44 * scale);
    p.drawLine(foot, top);
    p.drawLine(foot, foot + QPointF(-12 * scale, 6 * scale));
    p.drawLine(foot, foot + QPointF(12 * scale, 6 * scale));
    for (int r = 10; r <= 26; r += 8) {
        const qreal rs = r * scale;
        p.drawArc(QRectF(top.x() - rs, top.y() - rs, 2 * rs, 2 * rs), 30 * 16, 120 * 16);
    }
    p.restore();
}

QImage AppIconImage(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient g(0, 0, s, s);
    g.setColorAt(0, kBannerDark);
    g.setColorAt(1, kBannerLight);
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    const qreal margin = s / 32;
    p.drawRoundedRect(QRectF(margin, margin, s - 2 * margin, s - 2 * margin), s / 6, s / 6);
    // The drawing spans 26 pixels above the top and 50 below it, plus half
    // the pen; it fills three quarters of the square's height, centred.
    // Small icons get lines thicker than to scale, so they do not fade.
    const qreal scale = 0.75 * s / 79;
    PaintAntenna(p, QPointF(s / 2, s / 2 - 12 * scale), scale, std::max(3 * scale, 1.75));
    return img;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(AppIconImage(size)));
    return icon;
}

}  // namespace korvan
