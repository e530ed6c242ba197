#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/DiskSpace.h"

namespace korvan {

// File systems set by the test: every path lies on `space` unless `paths`
// says otherwise; a path mapped to nothing cannot be looked at.
class FakeDiskSpace : public IDiskSpace {
public:
    std::optional<DiskSpace> Query(const std::string& path) const override {
        ++queries;
        const auto it = paths.find(path);
        return it != paths.end() ? it->second : std::optional<DiskSpace>(space);
    }

    DiskSpace space{std::uint64_t{50} << 30, std::uint64_t{100} << 30, 1};
    std::map<std::string, std::optional<DiskSpace>> paths;
    mutable int queries = 0;
};

}  // namespace korvan
