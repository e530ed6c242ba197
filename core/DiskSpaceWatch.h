#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/Log.h"
#include "platform/DiskSpace.h"

namespace korvan {

// Warns before a disk the receiver writes to is full. Each check looks at
// the file systems holding the given paths (the log folder, the database);
// when one has less than 1 GiB or less than 2 % of its size left, one entry
// goes to the Important-messages channel (LED, sound, copy on All Msg):
//   "!! Low disk space: 812.5 MiB free of 250.0 GiB on the disk holding <paths>"
// and nothing more while it stays low; when it has room again, one entry:
//   "Disk space is back: 3.2 GiB free of 250.0 GiB on the disk holding <paths>".
// The receiver deletes no log itself; see docs/logrotate.conf.
class DiskSpaceWatch {
public:
    static constexpr std::uint64_t kLowBytes = std::uint64_t{1} << 30;
    static constexpr std::uint64_t kLowPercent = 2;

    DiskSpaceWatch(const IDiskSpace& probe, std::vector<std::string> paths);

    // Looks at each file system once. A path that cannot be looked at is
    // left out this time.
    void Check(LogChannel& imp);

    static bool IsLow(const DiskSpace& space);
    // "512 B", "12.0 KiB", "812.5 MiB", "250.0 GiB", "1.8 TiB".
    static std::string SizeText(std::uint64_t bytes);

private:
    const IDiskSpace& probe_;
    std::vector<std::string> paths_;
    std::set<std::uint64_t> low_;  // devices told to be low
};

}  // namespace korvan
