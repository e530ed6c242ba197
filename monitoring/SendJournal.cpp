#include "monitoring/SendJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <exception>
#include <unordered_set>

#include "base/Format.h"
#include "base/Text.h"
#include "platform/DateTime.h"

namespace korvan {

namespace {

// --- Records -------------------------------------------------------------------
//
// The file starts with kHeader. Each record is
//   kind (1: 'L' a queued line, 'D' a line done), id (8, little-endian),
//   text length (2, little-endian, 0 for 'D'), text, CRC-32 (4, little-endian)
//   of everything before it in the record.

constexpr char kHeader[] = "RAZU-SJ1";
constexpr std::size_t kHeaderSize = sizeof kHeader - 1;
constexpr std::size_t kRecordOverhead = 1 + 8 + 2 + 4;
constexpr char kLineKind = 'L';
constexpr char kDoneKind = 'D';

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::uint32_t Crc32(const char* data, std::size_t size) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        c = kCrcTable[(c ^ static_cast<unsigned char>(data[i])) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void PutLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFFu);
}

std::uint64_t GetLe(const std::string& data, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(data[at + static_cast<std::size_t>(i)]);
    return v;
}

std::string Record(char kind, std::uint64_t id, const std::string& text) {
    std::string r;
    r.reserve(kRecordOverhead + text.size());
    r += kind;
    PutLe(r, id, 8);
    PutLe(r, text.size(), 2);
    r += text;
    PutLe(r, Crc32(r.data(), r.size()), 4);
    return r;
}

std::size_t LineRecordSize(const std::string& line) {
    return kRecordOverhead + line.size();
}

bool AllZero(const std::string& data, std::size_t from) {
    for (std::size_t i = from; i < data.size(); ++i) {
        if (data[i] != '\0')
            return false;
    }
    return true;
}

// The waiting lines of `data` in file order. A record cut off by the end of
// the file, or the last record with a wrong checksum, or zeros to the end
// (space the file system gave the file before a power cut) is a torn tail:
// the write of a line whose unit was never answered, or of a done mark. Any
// other fault is damage, told in `damage`; the lines before it are returned.
std::vector<std::string> Parse(const std::string& data, std::string& damage) {
    std::vector<std::pair<std::uint64_t, std::string>> lines;
    std::unordered_set<std::uint64_t> done;
    const auto waiting = [&] {
        std::vector<std::string> out;
        for (const auto& [id, line] : lines) {
            if (done.count(id) == 0)
                out.push_back(line);
        }
        return out;
    };

    if (data.size() < kHeaderSize) {
        if (std::string(kHeader, data.size()) != data)
            damage = "no journal header";
        return {};
    }
    if (data.compare(0, kHeaderSize, kHeader) != 0) {
        damage = "no journal header";
        return {};
    }
    std::size_t at = kHeaderSize;
    while (at < data.size()) {
        const std::size_t rest = data.size() - at;
        if (rest < kRecordOverhead)
            break;  // torn
        const char kind = data[at];
        const std::size_t length = GetLe(data, at + 9, 2);
        const std::size_t size = kRecordOverhead + length;
        const bool known = kind == kLineKind || (kind == kDoneKind && length == 0);
        if (known && size > rest)
            break;  // torn
        if (known && GetLe(data, at + size - 4, 4) == Crc32(data.data() + at, size - 4)) {
            const std::uint64_t id = GetLe(data, at + 1, 8);
            if (kind == kLineKind)
                lines.emplace_back(id, data.substr(at + 11, length));
            else
                done.insert(id);
            at += size;
            continue;
        }
        if (AllZero(data, at) || (known && size == rest))
            break;  // torn
        damage = Format("damaged record at byte %zu of %zu", at, data.size());
        break;
    }
    return waiting();
}

// "yyyy-mm-dd_hh-nn-ss" for the name of a file moved aside.
std::string FileStamp(TDateTime now) {
    const DateTimeParts p = DecodeDateTime(now);
    return Format("%04d-%02d-%02d_%02d-%02d-%02d", p.year, p.month, p.day, p.hour, p.minute,
                  p.second);
}

// --- The file on disk ------------------------------------------------------------

class PosixJournalFile final : public JournalFile {
public:
    explicit PosixJournalFile(std::string path) : path_(std::move(path)) {}
    ~PosixJournalFile() override { CloseFd(); }
    PosixJournalFile(const PosixJournalFile&) = delete;
    PosixJournalFile& operator=(const PosixJournalFile&) = delete;

    const std::string& Path() const override { return path_; }

    std::string ReadAll() override {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                return {};
            ThrowLastError("Cannot open send buffer journal " + path_);
        }
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int err = errno;
                ::close(fd);
                ThrowErrno(err, "Cannot read send buffer journal " + path_);
            }
            if (n == 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return out;
    }

    void Replace(const std::string& bytes) override {
        const std::string tmp = path_ + ".new";
        const int fd =
            ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
        if (fd < 0)
            ThrowLastError("Cannot write send buffer journal " + tmp);
        int err = WriteFully(fd, bytes.data(), bytes.size());
        if (err == 0 && ::fdatasync(fd) != 0)
            err = errno;
        if (err == 0 && ::rename(tmp.c_str(), path_.c_str()) != 0)
            err = errno;
        if (err != 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            ThrowErrno(err, "Cannot write send buffer journal " + path_);
        }
        // The descriptor now belongs to the file in place.
        CloseFd();
        fd_ = fd;
        size_ = bytes.size();
        SyncFolder();
    }

    void Append(const std::string& bytes) override {
        if (fd_ < 0)
            ThrowErrno(EBADF, "Cannot write send buffer journal " + path_);
        const int err = WriteFully(fd_, bytes.data(), bytes.size());
        if (err != 0) {
            // Whatever part did land is cut off, so the file ends with a whole record.
            (void)!::ftruncate(fd_, static_cast<off_t>(size_));
            ThrowErrno(err, "Cannot write send buffer journal " + path_);
        }
        size_ += bytes.size();
    }

    void Truncate(std::size_t size) override {
        if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0)
            ThrowErrno(fd_ < 0 ? EBADF : errno, "Cannot cut send buffer journal " + path_);
        size_ = size;
    }

    void Sync() override {
        if (fd_ < 0 || ::fdatasync(fd_) != 0)
            ThrowErrno(fd_ < 0 ? EBADF : errno, "Cannot sync send buffer journal " + path_);
    }

    void MoveTo(const std::string& path) override {
        CloseFd();
        if (::rename(path_.c_str(), path.c_str()) != 0)
            ThrowLastError("Cannot move send buffer journal " + path_ + " to " + path);
    }

private:
    void CloseFd() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // A renamed file is only where it belongs after a crash once its folder
    // is on disk too.
    void SyncFolder() {
        const std::size_t slash = path_.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            ThrowLastError("Cannot sync folder " + folder);
        const int err = ::fsync(fd) != 0 ? errno : 0;
        ::close(fd);
        if (err != 0)
            ThrowErrno(err, "Cannot sync folder " + folder);
    }

    std::string path_;
    int fd_ = -1;
    std::size_t size_ = 0;
};

}  // namespace

std::unique_ptr<JournalFile> MakeJournalFile(const std::string& path) {
    return std::make_unique<PosixJournalFile>(path);
}

// --- The journal -------------------------------------------------------------------

SendJournal::SendJournal(std::unique_ptr<JournalFile> file, const IClock& clock, LogChannels logs)
    : file_(std::move(file)), clock_(clock), logs_(logs) {}

std::vector<std::pair<std::uint64_t, std::string>> SendJournal::Restore() {
    if (open_)
        return {};
    std::vector<std::string> found;
    std::string damage;
    try {
        found = Parse(file_->ReadAll(), damage);
        if (!damage.empty())
            damage = "Send buffer journal " + Path() + " is damaged: " + damage;
    } catch (const std::exception& e) {
        damage = e.what();
    }
    if (!damage.empty())
        MoveAside(damage);

    // After any line queued before the restore: that one may be on the wire.
    std::vector<std::pair<std::uint64_t, std::string>> restored;
    for (std::string& line : found) {
        const std::uint64_t id = ++nextId_;
        liveBytes_ += LineRecordSize(line);
        live_.push_back({id, line});
        restored.emplace_back(id, std::move(line));
    }
    open_ = true;
    Rewrite();
    return restored;
}

void SendJournal::MoveAside(const std::string& why) {
    ReportError(logs_.err, "RestoreSendBuffer", why);
    const std::string aside = Path() + "." + FileStamp(clock_.Now()) + ".bad";
    try {
        file_->MoveTo(aside);
        logs_.imp.AddMsg("!! Send buffer journal could not be read, moved aside as " + aside);
    } catch (const std::exception& e) {
        ReportError(logs_.err, "RestoreSendBuffer", e.what());
    }
}

std::uint64_t SendJournal::Add(const std::string& line) {
    const std::uint64_t id = ++nextId_;
    liveBytes_ += LineRecordSize(line);
    live_.push_back({id, line});
    if (!open_)
        return id;
    if (failing_) {
        RetryIfDue();
        return id;
    }
    try {
        file_->Append(Record(kLineKind, id, line));
        linesUnsynced_ = true;
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    return id;
}

void SendJournal::Done(std::uint64_t id) {
    // Lines leave from the head, so the search ends at the first entry.
    auto it = live_.begin();
    while (it != live_.end() && it->id != id) ++it;
    if (it == live_.end())
        return;
    const std::size_t size = LineRecordSize(it->line);
    liveBytes_ -= size;
    live_.erase(it);
    if (!open_)
        return;
    if (failing_) {
        RetryIfDue();
        return;
    }
    try {
        if (live_.empty()) {
            // Nothing waits: the file goes back to its header.
            file_->Truncate(kHeaderSize);
            deadBytes_ = 0;
        } else {
            file_->Append(Record(kDoneKind, id, std::string()));
            deadBytes_ += size + kRecordOverhead;
        }
        doneUnsynced_ = true;
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    if (deadBytes_ >= kCompactBytes && deadBytes_ > liveBytes_)
        Rewrite();
}

void SendJournal::Sync() {
    if (!open_)
        return;
    if (failing_) {
        RetryIfDue();
        return;
    }
    if (!linesUnsynced_ && !doneUnsynced_)
        return;
    try {
        file_->Sync();
        linesUnsynced_ = false;
        doneUnsynced_ = false;
    } catch (const std::exception& e) {
        Fail(e.what());
    }
}

std::string SendJournal::Encoded() const {
    std::string out(kHeader, kHeaderSize);
    out.reserve(kHeaderSize + liveBytes_);
    for (const Live& l : live_) out += Record(kLineKind, l.id, l.line);
    return out;
}

bool SendJournal::Rewrite() {
    try {
        file_->Replace(Encoded());
    } catch (const std::exception& e) {
        Fail(e.what());
        return false;
    }
    deadBytes_ = 0;
    linesUnsynced_ = false;
    doneUnsynced_ = false;
    if (failing_) {
        failing_ = false;
        logs_.err.AddMsg(
            Format("Send buffer journal written again: %d waiting line(s) kept on disk",
                   static_cast<int>(live_.size())));
    }
    return true;
}

void SendJournal::Fail(const std::string& what) {
    lastTryMs_ = clock_.MonotonicMs();
    linesUnsynced_ = false;
    if (failing_)
        return;
    failing_ = true;
    ReportError(logs_.err, "SendJournal",
                what + "; waiting lines are kept in memory only until it can be written again");
}

void SendJournal::RetryIfDue() {
    if (clock_.MonotonicMs() - lastTryMs_ < kRetryMs)
        return;
    lastTryMs_ = clock_.MonotonicMs();
    Rewrite();
}

}  // namespace korvan
