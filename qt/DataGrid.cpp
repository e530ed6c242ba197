#include "qt/DataGrid.h"

#include <QKeyEvent>

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionHeader>

#include "qt/GridPainting.h"

namespace korvan {

namespace {

constexpr int kIndicatorWidth = 14;

}  // namespace

RowIndicatorHeader::RowIndicatorHeader(QWidget* parent) : QHeaderView(Qt::Vertical, parent) {
    setSectionResizeMode(QHeaderView::Fixed);
    setSectionsClickable(false);
    setHighlightSections(false);
    setFixedWidth(kIndicatorWidth);
}

void RowIndicatorHeader::SetCurrentRow(int row) {
    if (row == current_)
        return;
    current_ = row;
    viewport()->update();
}

void RowIndicatorHeader::paintSection(QPainter* painter, const QRect& rect,
                                      int logicalIndex) const {
    painter->save();
    QStyleOptionHeader opt;
    initStyleOption(&opt);
    opt.rect = rect;
    opt.section = logicalIndex;
    opt.text.clear();
    opt.position = QStyleOptionHeader::Middle;
    style()->drawControl(QStyle::CE_HeaderSection, &opt, painter, this);
    if (logicalIndex == current_) {
        painter->setRenderHint(QPainter::Antialiasing);
        const QPointF c = QRectF(rect).center();
        QPainterPath arrow;
        arrow.moveTo(c.x() - 2.5, c.y() - 4.5);
        arrow.lineTo(c.x() + 3.0, c.y());
        arrow.lineTo(c.x() - 2.5, c.y() + 4.5);
        arrow.closeSubpath();
        painter->fillPath(arrow, QColor(20, 20, 20));
    }
    painter->restore();
}

DataGrid::DataGrid(QWidget* parent) : QTableView(parent), indicator_(new RowIndicatorHeader(this)) {
    setFont(CompactFont());
    horizontalHeader()->setFont(CompactFont());
    setVerticalHeader(indicator_);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const int rowHeight = fontMetrics().height() + 5;
    indicator_->setMinimumSectionSize(rowHeight);
    indicator_->setDefaultSectionSize(rowHeight);
}

void DataGrid::SetFixedColumnWidths(const QList<int>& widths) {
    QHeaderView* h = horizontalHeader();
    h->setMinimumSectionSize(8);
    h->setStretchLastSection(false);
    for (int i = 0; i < widths.size(); ++i) {
        h->setSectionResizeMode(i, QHeaderView::Fixed);
        h->resizeSection(i, widths[i]);
    }
}

void DataGrid::keyPressEvent(QKeyEvent* event) {
    // Ctrl+Tab belongs to the page control (next tab), not to the cells.
    if ((event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) &&
        event->modifiers().testFlag(Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    QTableView::keyPressEvent(event);
}

void DataGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    indicator_->SetCurrentRow(current.isValid() ? current.row() : -1);
}

}  // namespace korvan
