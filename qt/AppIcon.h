#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPointF>

namespace korvan {

// The antenna mast with its radio waves from the window's picture, and the
// program's icon made from it (the window's icon and the icon files the
// install script puts into the desktop's icon theme).

// The two ends of the picture's blue gradient.
inline const QColor kBannerDark(16, 48, 96);
inline const QColor kBannerLight(40, 110, 180);

// Paints the mast with its top at `top`; at scale 1 it is 44 pixels high
// with legs 6 pixels below its foot, the outermost wave has a radius of 26
// pixels around the top, and the lines are 3 pixels wide.
void PaintAntenna(QPainter& p, QPointF top, qreal scale, qreal lineWidth);

// The icon, `size` x `size` pixels: the antenna on a rounded square of the
// picture's gradient, the rest transparent.
QImage AppIconImage(int size);

// The icon at the sizes a window's title bar and task bar ask for.
QIcon AppIcon();

}  // namespace korvan
