#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace korvan {

// The file helpers every subsystem shares: errors as exceptions, whole
// writes, a descriptor that closes itself, the one way a file is written
// anew, and the little-endian fields of the files.

// Throws std::system_error for `err` with `what` as its message.
[[noreturn]] void ThrowErrno(int err, const std::string& what);
// The same for the current errno with `what` followed by `name` as the
// message; errno is taken before the text is built, which may allocate.
[[noreturn]] void ThrowLastError(std::string_view what, std::string_view name = {});

// Writes all of `data` to `fd`, retrying after an interrupt and after a
// partial write. Returns 0, or the errno of the write that failed.
int WriteFully(int fd, const void* data, std::size_t size);

// Owns an open file descriptor and closes it on every way out of a scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void Reset(int fd = -1) noexcept;
    // Closes now and returns close()'s errno, 0 on success.
    int Close() noexcept;

private:
    int fd_ = -1;
};

// The folder a path lies in, with its trailing '/'; "." for a bare name.
std::string FolderOf(const std::string& path);
// fsync of the folder `path` lies in, so that a rename in it lasts across a
// power loss. Returns 0 or the errno; a file system that cannot sync folders
// (EINVAL) is taken as it is.
int SyncFolderOf(const std::string& path);

// The messages a failed replace throws, each naming the file as its caller's
// log texts do; ": " and the error's text follow.
struct ReplaceTexts {
    std::string create;  // the temporary file cannot be created
    std::string write;   // writing or syncing it failed
    std::string close;   // closing it failed
    std::string rename;  // it cannot be put in place
};

// How ReplaceAtomically writes `path` anew.
struct Replacement {
    std::string path;
    std::string suffix;  // the temporary file is path + suffix
    ReplaceTexts texts;
    // An old file's permissions carry over, except that others may never
    // read it; otherwise (and for a new file) owner read-write, group read.
    bool keepMode = false;
    // The new file stays open, read-write and appending, for the caller.
    bool keepOpen = false;
    // Syncs the folder after the rename; tests put a failing one here.
    int (*syncFolder)(const std::string& path) = &SyncFolderOf;
};

// What a replace left behind.
struct Replaced {
    Fd file;              // the new file at its path, open when keepOpen asked for it
    int folderError = 0;  // errno of the folder sync; the new file is in place all the same
};

// Writes a file anew so that `path` is always either the old file or the
// whole new one: into a temporary file beside it (a stale one is removed
// first), synced, renamed over `path`, then the folder synced. `write` gets
// the open temporary file and returns 0 or the errno of a failed write.
// Everything up to the rename that fails (and whatever `write` throws)
// leaves `path` as it was and no temporary file, and throws; once the rename
// succeeded the replace stands and a failed folder sync only shows in
// `folderError`.
Replaced ReplaceAtomically(const Replacement& how, const std::function<int(int fd)>& write);
Replaced ReplaceAtomically(const Replacement& how, std::string_view bytes);

// Little-endian fields: `size` bytes, the lowest first.
inline std::uint64_t LoadLE(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t v = 0;
    for (std::size_t i = size; i > 0; --i) v = (v << 8) | p[i - 1];
    return v;
}
// Appends the low `size` bytes of `value` to `out` (a string or a byte vector).
template <typename Out>
void AppendLE(Out& out, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        out.push_back(static_cast<typename Out::value_type>((value >> (8 * i)) & 0xFFu));
}

}  // namespace korvan
