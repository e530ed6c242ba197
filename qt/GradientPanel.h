#pragma once

#include <QColor>
#include <QWidget>

namespace korvan {

// A panel filled with a vertical two-colour gradient: the top panel of the
// main window and the panel below the units grid.
class GradientPanel : public QWidget {
    Q_OBJECT
public:
    explicit GradientPanel(QWidget* parent = nullptr, QColor top = QColor(250, 251, 253),
                           QColor bottom = QColor(206, 214, 228), bool lineBelow = false);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor top_;
    QColor bottom_;
    bool lineBelow_;
};

}  // namespace korvan
