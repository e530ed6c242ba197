#pragma once

#include "platform/DiskSpace.h"

namespace korvan {

// The machine's own file systems, through stat() and statvfs().
class StatvfsDiskSpace : public IDiskSpace {
public:
    std::optional<DiskSpace> Query(const std::string& path) const override;
};

}  // namespace korvan
