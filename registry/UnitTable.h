#pragma once

#include <cstdint>
#include <vector>

namespace korvan {

// The rows of the units grid: unit numbers in ascending order, with a current
// row. A row holds only the number; everything else the grid shows is read
// from the registry when a cell is painted.
class UnitTable {
public:
    // A view (the grid's model) that follows the table.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void RowsReset() = 0;
        virtual void RowInserted(int position) = 0;
        virtual void RowRemoved(int position) = 0;
        virtual void CurrentChanged(int position) = 0;
    };

    void SetObserver(Observer* o) { observer_ = o; }

    bool IsOpen() const { return true; }
    bool Empty() const { return rows_.empty(); }
    int RowCount() const { return static_cast<int>(rows_.size()); }
    std::uint16_t RowAt(int position) const { return rows_.at(static_cast<std::size_t>(position)); }
    // Position of the current row, -1 when the table is empty.
    int Current() const { return rows_.empty() ? -1 : current_; }
    // Unit number of the current row, -1 when the table is empty.
    int CurrentUnitNr() const {
        return rows_.empty() ? -1 : rows_[static_cast<std::size_t>(current_)];
    }
    void SetCurrent(int position);
    void First() { SetCurrent(0); }
    // Position of a unit's row, -1 when it has none.
    int Find(std::uint16_t nr) const;

    // Inserts a row in order (no second row for a number already present);
    // the current row stays on the unit it was on.
    void Insert(std::uint16_t nr);
    // Removes the current row.
    void DeleteCurrent();
    void Clear();

    // Between the two calls, changes are collected and the view is told
    // once, with a reset, at the end.
    void BeginUpdate();
    void EndUpdate();

private:
    std::vector<std::uint16_t> rows_;
    int current_ = 0;
    Observer* observer_ = nullptr;
    int updating_ = 0;
};

}  // namespace korvan
