#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace korvan {

// Lines of 8-bit text, oldest first, kept compactly and within a bound: when
// a new line takes the store past `maxLines` lines or `maxBytes` bytes of
// text, the oldest lines are dropped until it fits again (the newest line is
// always kept, however long). The text sits in large blocks with a small
// index entry per line, and a block goes back as soon as its last line is
// dropped.
class LineStore {
public:
    static constexpr std::size_t kMaxLines = 200000;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    explicit LineStore(std::size_t maxLines = kMaxLines, std::size_t maxBytes = kMaxBytes);

    // Adds a line at the end; returns how many of the oldest lines were
    // dropped to make room.
    std::size_t Add(std::string_view text);
    // Drops every line and gives the memory back.
    void Clear();

    std::size_t Size() const { return lines_.size(); }
    bool Empty() const { return lines_.empty(); }
    // Line `index`, 0 being the oldest kept. Valid until the next Add or Clear.
    std::string_view Line(std::size_t index) const;
    // Bytes of text kept.
    std::size_t Bytes() const { return bytes_; }
    // The index of the longest line kept (the oldest of several as long);
    // only when not Empty().
    std::size_t Longest() const { return static_cast<std::size_t>(longest_.front() - first_); }

    // How many lines have been dropped since the last Clear: the number of
    // the oldest line kept, counting from the first line added after it.
    std::uint64_t Dropped() const { return first_; }

    std::size_t MaxLines() const { return maxLines_; }
    std::size_t MaxBytes() const { return maxBytes_; }

private:
    struct Entry {
        std::uint64_t block;  // counted from the first block since the last Clear
        std::uint32_t offset;
        std::uint32_t length;
    };

    void DropOldest();

    // Each block is reserved at kBlockBytes (a longer line gets a block of its
    // own) and never reallocated, so the lines in it stay where they are.
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

    std::size_t maxLines_;
    std::size_t maxBytes_;
    std::deque<std::string> blocks_;
    std::uint64_t firstBlock_ = 0;  // number of blocks_.front()
    std::deque<Entry> lines_;
    std::uint64_t first_ = 0;  // number of lines_.front(), counted since the last Clear
    std::size_t bytes_ = 0;
    // Numbers of the lines that are longer than every line after them, in
    // order: the front is the longest line kept, whatever has been dropped.
    std::deque<std::uint64_t> longest_;
};

}  // namespace korvan
