#include "platform/StatvfsDiskSpace.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace korvan {

std::optional<DiskSpace> StatvfsDiskSpace::Query(const std::string& path) const {
    struct stat st {};
    struct statvfs vfs {};
    if (::stat(path.c_str(), &st) != 0 || ::statvfs(path.c_str(), &vfs) != 0)
        return std::nullopt;
    DiskSpace s;
    s.freeBytes = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    s.totalBytes = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    return s;
}

}  // namespace korvan
