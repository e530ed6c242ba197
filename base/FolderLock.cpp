#include "base/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvan {

namespace {

// statfs's f_type of the file systems whose files another computer may
// lock as well: flock on them may not keep out a receiver run there.
struct NetworkFs {
    std::uint32_t magic;
    const char* name;
};
constexpr NetworkFs kNetworkFs[] = {
    {0x6969, "NFS"},           // NFS_SUPER_MAGIC
    {0x517B, "SMB/CIFS"},      // SMB_SUPER_MAGIC
    {0xFF534D42, "SMB/CIFS"},  // CIFS_MAGIC_NUMBER
    {0xFE534D42, "SMB/CIFS"},  // SMB2_MAGIC_NUMBER
    {0x5346414F, "AFS"},       // AFS_SUPER_MAGIC
    {0x6B414653, "AFS"},       // AFS_FS_MAGIC
    {0x73757245, "Coda"},      // CODA_SUPER_MAGIC
    {0x564C, "NCP"},           // NCP_SUPER_MAGIC
    {0x00C36400, "Ceph"},      // CEPH_SUPER_MAGIC
    {0x01021997, "9P"},        // V9FS_MAGIC
    {0x0BD00BD0, "Lustre"},    // LL_SUPER_MAGIC
};

}  // namespace

FolderLock::FolderLock(std::string folder) : folder_(std::move(folder)) {}

FolderLock::~FolderLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

FolderLock::Claim FolderLock::TakeClaim() {
    if (fd_ >= 0)
        return Claim::Claimed;
    failure_.clear();
    const std::string path = Path();
    if (folder_.empty()) {
        failure_ = "the program's folder is unknown";
        return Claim::CannotOpen;
    }
    // Not followed through a link, and never truncated: the file's content
    // means nothing, only the lock on it. A lock file this user may read but
    // not write (another user's, group-readable) still tells whether its
    // owner runs.
    const int flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | flags, 0640);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        failure_ = "Cannot open " + path + ": " + std::strerror(errno);
        return Claim::CannotOpen;
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return Claim::HeldByAnother;
        failure_ = "Cannot lock " + path + ": " + std::strerror(err);
        return Claim::CannotOpen;
    }
    fd_ = fd;
    return Claim::Claimed;
}

std::string FolderLock::NetworkFileSystem() const {
    struct statfs st {};
    if (folder_.empty() || ::statfs(folder_.c_str(), &st) != 0)
        return "";
    const auto magic = static_cast<std::uint32_t>(st.f_type);
    for (const NetworkFs& fs : kNetworkFs) {
        if (fs.magic == magic)
            return fs.name;
    }
    return "";
}

void FolderLock::TellIfOnNetworkFileSystem(const LogChannels& logs) const {
    const std::string fs = NetworkFileSystem();
    if (fs.empty())
        return;
    const std::string text = "!! The folder " + folder_ + " is on a network file system (" + fs +
                             "): " + kFileName +
                             " keeps out a second receiver on this computer only; start no "
                             "receiver on this folder from another computer";
    std::fprintf(stderr, "%s\n", text.c_str());
    logs.imp.AddMsg(text);
    logs.err.AddMsg(text);
}

std::string FolderLock::ExecutableFolder() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    const std::string exe(buf, static_cast<std::size_t>(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash + 1);
}

}  // namespace korvan
