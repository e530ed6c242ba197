#pragma once

#include <QHeaderView>
#include <QTableView>

namespace korvan {

// The row indicator column at the left of a data grid: an arrow marks the
// current row, the other rows show an empty button face.
class RowIndicatorHeader : public QHeaderView {
    Q_OBJECT
public:
    explicit RowIndicatorHeader(QWidget* parent = nullptr);
    void SetCurrentRow(int row);
    int CurrentRow() const { return current_; }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    int current_ = -1;
};

// A grid over an in-memory table: column titles, a row indicator, column and
// row lines, one cell at a time selected, and columns of fixed width that
// the operator can neither resize nor move.
class DataGrid : public QTableView {
    Q_OBJECT
public:
    explicit DataGrid(QWidget* parent = nullptr);

    // Call after setModel: titles and widths stay as given.
    void SetFixedColumnWidths(const QList<int>& widths);
    RowIndicatorHeader* Indicator() const { return indicator_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    RowIndicatorHeader* indicator_;
};

}  // namespace korvan
