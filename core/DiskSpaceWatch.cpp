#include "core/DiskSpaceWatch.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace korvan {

DiskSpaceWatch::DiskSpaceWatch(const IDiskSpace& probe, std::vector<std::string> paths)
    : probe_(probe), paths_(std::move(paths)) {}

bool DiskSpaceWatch::IsLow(const DiskSpace& space) {
    return space.freeBytes < kLowBytes || space.freeBytes * 100 < space.totalBytes * kLowPercent;
}

std::string DiskSpaceWatch::SizeText(std::uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

void DiskSpaceWatch::Check(LogChannel& imp) {
    struct Disk {
        DiskSpace space;
        std::string holding;
    };
    std::vector<Disk> disks;
    for (const std::string& path : paths_) {
        const std::optional<DiskSpace> space = probe_.Query(path);
        if (!space)
            continue;
        const auto same = std::find_if(disks.begin(), disks.end(), [&](const Disk& d) {
            return d.space.device == space->device;
        });
        if (same == disks.end()) {
            disks.push_back({*space, path});
        } else {
            same->holding += " and " + path;
        }
    }
    for (const Disk& d : disks) {
        const bool low = IsLow(d.space);
        const bool told = low_.count(d.space.device) != 0;
        if (low == told)
            continue;
        const std::string figures = SizeText(d.space.freeBytes) + " free of " +
                                    SizeText(d.space.totalBytes) + " on the disk holding " +
                                    d.holding;
        if (low) {
            low_.insert(d.space.device);
            imp.AddMsg("!! Low disk space: " + figures);
        } else {
            low_.erase(d.space.device);
            imp.AddMsg("Disk space is back: " + figures);
        }
    }
}

}  // namespace korvan
