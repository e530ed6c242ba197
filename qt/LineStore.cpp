#include "qt/LineStore.h"

#include <algorithm>

namespace korvan {

LineStore::LineStore(std::size_t maxLines, std::size_t maxBytes)
    : maxLines_(std::max<std::size_t>(1, maxLines)), maxBytes_(maxBytes) {}

std::size_t LineStore::Add(std::string_view text) {
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < text.size()) {
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(kBlockBytes, text.size()));
    }
    std::string& block = blocks_.back();
    const std::uint64_t number = first_ + lines_.size();
    lines_.push_back({firstBlock_ + blocks_.size() - 1, static_cast<std::uint32_t>(block.size()),
                      static_cast<std::uint32_t>(text.size())});
    block.append(text);
    bytes_ += text.size();
    while (!longest_.empty() &&
           lines_[static_cast<std::size_t>(longest_.back() - first_)].length < text.size())
        longest_.pop_back();
    longest_.push_back(number);

    std::size_t dropped = 0;
    while (lines_.size() > 1 && (lines_.size() > maxLines_ || bytes_ > maxBytes_)) {
        DropOldest();
        ++dropped;
    }
    return dropped;
}

void LineStore::DropOldest() {
    const Entry gone = lines_.front();
    lines_.pop_front();
    bytes_ -= gone.length;
    if (longest_.front() == first_)
        longest_.pop_front();
    ++first_;
    // Lines fill the blocks in order, so the block of the oldest line goes
    // once the next line lies in a later one.
    if (lines_.empty() || lines_.front().block != gone.block) {
        blocks_.pop_front();
        ++firstBlock_;
    }
}

void LineStore::Clear() {
    std::deque<std::string>().swap(blocks_);
    std::deque<Entry>().swap(lines_);
    std::deque<std::uint64_t>().swap(longest_);
    firstBlock_ = 0;
    first_ = 0;
    bytes_ = 0;
}

std::string_view LineStore::Line(std::size_t index) const {
    const Entry& e = lines_[index];
    return std::string_view(blocks_[static_cast<std::size_t>(e.block - firstBlock_)])
        .substr(e.offset, e.length);
}

}  // namespace korvan
