#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvan {

// The size of one file system and the room left on it.
struct DiskSpace {
    std::uint64_t freeBytes = 0;  // what an ordinary user can still write (not the reserve of root)
    std::uint64_t totalBytes = 0;
    std::uint64_t device = 0;  // tells the file systems apart
};

// Asks the file system holding a path how full it is.
class IDiskSpace {
public:
    virtual ~IDiskSpace() = default;
    // Nothing when the path cannot be looked at (it does not exist).
    virtual std::optional<DiskSpace> Query(const std::string& path) const = 0;
};

}  // namespace korvan
