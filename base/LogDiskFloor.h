#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"
#include "platform/DiskSpace.h"

namespace korvan {

// Keeps the log files from taking the last room on the disk that holds the
// send journal: while the free space on the disk holding the log folder is
// below the floor, the log channels write no files (their memos, LEDs,
// sounds and parent copies go on). The floor is 64 MiB: the journal keeps
// room for 10 000 lines (under 1 MiB) reserved ahead of its end, and a
// rewrite of the journal needs room for a second whole copy, which with a
// million lines waiting is some 50 MiB. Logs fill a disk slowly; alarms
// must never wait for them.
//
// The disk is looked at at most once a second (monotonic time), so a burst
// of entries costs one query.
class LogDiskFloor {
public:
    static constexpr std::uint64_t kFloorBytes = std::uint64_t{64} << 20;

    enum class Change { None, Paused, Resumed };

    LogDiskFloor(const IClock& clock, const IDiskSpace& disk, std::string folder,
                 std::uint64_t floorBytes = kFloorBytes);

    // Looks at the disk when the last look is a second old or more; tells
    // whether the files have just been paused or resumed by this look.
    Change Look();
    // Whether log files may be written, as of the last look.
    bool Room() const { return room_; }
    // The text telling the change, for stderr and the Errors channel.
    std::string Text(Change change) const;

private:
    const IClock& clock_;
    const IDiskSpace& disk_;
    std::string folder_;
    std::uint64_t floorBytes_;
    std::int64_t lastLookMs_ = 0;
    bool looked_ = false;
    bool room_ = true;
    std::uint64_t freeBytes_ = 0;
};

}  // namespace korvan
