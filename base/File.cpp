#include "base/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace korvan {

void ThrowErrno(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

void ThrowLastError(std::string_view what, std::string_view name) {
    const int err = errno;
    std::string text(what);
    text += name;
    ThrowErrno(err, text);
}

int WriteFully(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

void Fd::Reset(int fd) noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int Fd::Close() noexcept {
    const int fd = Release();
    return ::close(fd) == 0 ? 0 : errno;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

int SyncFolderOf(const std::string& path) {
    const Fd fd(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsOpen())
        return errno;
    return ::fsync(fd.Get()) != 0 && errno != EINVAL ? errno : 0;
}

namespace {

// The temporary file, created afresh: one left by an earlier failed replace
// may carry other permissions, so it is removed, not reused.
Fd CreateTemporary(const Replacement& how, const std::string& temporary) {
    ::unlink(temporary.c_str());
    const int access = how.keepOpen ? O_RDWR | O_APPEND : O_WRONLY;
    Fd fd(::open(temporary.c_str(), access | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!fd.IsOpen())
        ThrowLastError(how.texts.create);
    struct stat old {};
    if (how.keepMode && ::stat(how.path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd.Get(), old.st_mode & 07770);
    return fd;
}

// Fills and syncs the temporary file, closes it unless it is kept open, and
// renames it over the file it replaces.
void WriteAndRename(const Replacement& how, const std::string& temporary, Fd& fd,
                    const std::function<int(int fd)>& write) {
    if (const int err = write(fd.Get()); err != 0)
        ThrowErrno(err, how.texts.write);
    if (::fsync(fd.Get()) != 0)
        ThrowLastError(how.texts.write);
    if (!how.keepOpen) {
        if (const int err = fd.Close(); err != 0)
            ThrowErrno(err, how.texts.close);
    }
    if (::rename(temporary.c_str(), how.path.c_str()) != 0)
        ThrowLastError(how.texts.rename);
}

}  // namespace

Replaced ReplaceAtomically(const Replacement& how, const std::function<int(int fd)>& write) {
    const std::string temporary = how.path + how.suffix;
    Replaced out;
    out.file = CreateTemporary(how, temporary);
    try {
        WriteAndRename(how, temporary, out.file, write);
    } catch (...) {
        out.file.Reset();
        ::unlink(temporary.c_str());
        throw;
    }
    out.folderError = how.syncFolder(how.path);
    return out;
}

Replaced ReplaceAtomically(const Replacement& how, std::string_view bytes) {
    return ReplaceAtomically(
        how, [bytes](int fd) { return WriteFully(fd, bytes.data(), bytes.size()); });
}

}  // namespace korvan
