#include "registry/UnitTable.h"

#include <algorithm>

namespace korvan {

void UnitTable::SetCurrent(int position) {
    if (rows_.empty())
        return;
    // A scroll thumb may report a position past the end: stay on the last row.
    current_ = std::clamp(position, 0, RowCount() - 1);
    if (observer_ != nullptr && updating_ == 0)
        observer_->CurrentChanged(current_);
}

int UnitTable::Find(std::uint16_t nr) const {
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), nr);
    if (it == rows_.end() || *it != nr)
        return -1;
    return static_cast<int>(it - rows_.begin());
}

void UnitTable::Insert(std::uint16_t nr) {
    // Rows arrive mostly in ascending order (the start-up load), so the
    // binary search lands at the end and the insert is cheap.
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), nr);
    if (it != rows_.end() && *it == nr)
        return;
    const bool wasEmpty = rows_.empty();
    const int position = static_cast<int>(it - rows_.begin());
    rows_.insert(it, nr);

    bool currentMoved = false;
    if (wasEmpty) {
        current_ = 0;
        currentMoved = true;
    } else if (position <= current_) {
        ++current_;  // the current unit moved down by one row
        currentMoved = true;
    }
    if (observer_ != nullptr && updating_ == 0) {
        observer_->RowInserted(position);
        if (currentMoved)
            observer_->CurrentChanged(current_);
    }
}

void UnitTable::DeleteCurrent() {
    if (rows_.empty())
        return;
    const int position = current_;
    rows_.erase(rows_.begin() + position);
    // The row that followed becomes current; after the last row, the one before.
    if (current_ >= RowCount())
        current_ = std::max(0, RowCount() - 1);
    if (observer_ != nullptr && updating_ == 0) {
        observer_->RowRemoved(position);
        if (!rows_.empty())
            observer_->CurrentChanged(current_);
    }
}

void UnitTable::Clear() {
    rows_.clear();
    current_ = 0;
    if (observer_ != nullptr && updating_ == 0)
        observer_->RowsReset();
}

void UnitTable::BeginUpdate() {
    ++updating_;
}

void UnitTable::EndUpdate() {
    if (updating_ == 0)
        return;
    if (--updating_ == 0 && observer_ != nullptr)
        observer_->RowsReset();
}

}  // namespace korvan
