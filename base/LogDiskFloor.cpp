#include "base/LogDiskFloor.h"

#include <cstdio>
#include <optional>
#include <utility>

namespace korvan {

namespace {

std::string MiB(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

}  // namespace

LogDiskFloor::LogDiskFloor(const IClock& clock, const IDiskSpace& disk, std::string folder,
                           std::uint64_t floorBytes)
    : clock_(clock), disk_(disk), folder_(std::move(folder)), floorBytes_(floorBytes) {}

LogDiskFloor::Change LogDiskFloor::Look() {
    const std::int64_t now = clock_.MonotonicMs();
    if (looked_ && now - lastLookMs_ < 1000)
        return Change::None;
    looked_ = true;
    lastLookMs_ = now;
    // A disk that cannot be looked at (the folder is gone) is tried: the
    // file write brings the folder back or tells its own outage.
    const std::optional<DiskSpace> space = disk_.Query(folder_);
    const bool room = !space || space->freeBytes >= floorBytes_;
    if (space)
        freeBytes_ = space->freeBytes;
    if (room == room_)
        return Change::None;
    room_ = room;
    return room ? Change::Resumed : Change::Paused;
}

std::string LogDiskFloor::Text(Change change) const {
    const std::string free = MiB(freeBytes_) + " free on the disk holding " + folder_;
    switch (change) {
        case Change::Paused:
            return "!! Log files paused: " + free + ", below the " + MiB(floorBytes_) +
                   " kept for the send journal; alarms are still received and sent";
        case Change::Resumed:
            return "Log files written again: " + free;
        case Change::None:
            break;
    }
    return "";
}

}  // namespace korvan
