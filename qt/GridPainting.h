#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QRect>
#include <QString>

#include "registry/UnitsView.h"

class QPainter;

namespace korvan {

// Cell painting shared by the units grid and the settings grid: the program
// paints every data cell itself.

inline QColor ToQColor(const Rgb& c) {
    return QColor(c.r, c.g, c.b);
}

// A small, narrow face for the grids and the counter fields, so that a date
// and time fits its 111-pixel column as it does on a classic desktop form.
QFont CompactFont();

// Fills `rect` with the selection highlight when `selected`, else with the
// window colour, and sets the pen to the matching text colour.
void PaintDefaultCell(QPainter& painter, const QRect& rect, bool selected, const QPalette& palette);

// Fills `rect` with a linear gradient from `top` (first pixel row) to
// `bottom` (last pixel row).
void PaintVerticalGradient(QPainter& painter, const QRect& rect, const QColor& top,
                           const QColor& bottom);

// Draws `text` with its top-left corner at `origin`, transparent background,
// clipped to `clip` (the cell), in the painter's current pen and font.
void DrawCellText(QPainter& painter, const QRect& clip, const QPoint& origin, const QString& text);

}  // namespace korvan
