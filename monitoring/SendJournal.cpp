#include "monitoring/SendJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <unordered_set>

#include "base/File.h"
#include "base/Format.h"
#include "base/Text.h"
#include "monitoring/MonitoringLines.h"
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

std::string Record(char kind, std::uint64_t id, const std::string& text) {
    std::string r;
    r.reserve(kRecordOverhead + text.size());
    r += kind;
    AppendLE(r, id, 8);
    AppendLE(r, text.size(), 2);
    r += text;
    AppendLE(r, Crc32(r.data(), r.size()), 4);
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

// What a journal file holds.
struct Parsed {
    std::vector<std::pair<std::uint64_t, std::string>> lines;  // waiting, with their file ids
    std::uint64_t maxId = 0;                                   // of every record read
    std::size_t end = 0;      // where the whole records end (a torn tail starts)
    std::size_t skipped = 0;  // damaged bytes
    int places = 0;           // damaged stretches
    int linesAfter = 0;       // line records read after the first damage
};

// The size of a valid record at `at`, or 0: a known kind, a length a line
// can have, wholly in the file, its checksum right.
std::size_t ValidAt(const std::string& data, std::size_t at) {
    if (data.size() - at < kRecordOverhead)
        return 0;
    const char kind = data[at];
    const std::size_t length = LoadLE(data.data() + at + 9, 2);
    const bool known = (kind == kLineKind && length <= SendJournal::kMaxLineLength) ||
                       (kind == kDoneKind && length == 0);
    const std::size_t size = kRecordOverhead + length;
    if (!known || size > data.size() - at)
        return 0;
    return LoadLE(data.data() + at + size - 4, 4) == Crc32(data.data() + at, size - 4) ? size : 0;
}

// Whether what starts at `at`, with no valid record after it, is the write
// the process died in: a record cut off by the end of the file, the last
// record with a wrong checksum, or zeros to the end (space the file system
// gave the file before a power cut).
bool TornAt(const std::string& data, std::size_t at) {
    const std::size_t rest = data.size() - at;
    if (rest < kRecordOverhead || AllZero(data, at))
        return true;
    const char kind = data[at];
    const std::size_t length = LoadLE(data.data() + at + 9, 2);
    const bool plausible = (kind == kLineKind && length <= SendJournal::kMaxLineLength) ||
                           (kind == kDoneKind && length == 0);
    return plausible && kRecordOverhead + length >= rest;
}

// The records of `data` in file order. Only a torn tail is left out without
// a word; anything else that is not a valid record is damage: the reader
// steps forward byte by byte to the next valid record and goes on from there.
Parsed Parse(const std::string& data) {
    Parsed p;
    std::vector<std::pair<std::uint64_t, std::string>> lines;
    std::unordered_set<std::uint64_t> done;
    std::size_t at = kHeaderSize;
    if (data.size() < kHeaderSize || data.compare(0, kHeaderSize, kHeader) != 0) {
        // A header cut short is a journal whose creation was cut short.
        if (data.size() < kHeaderSize && std::string(kHeader, data.size()) == data)
            return p;
        at = 0;
    }
    while (at < data.size()) {
        if (const std::size_t size = ValidAt(data, at)) {
            const std::uint64_t id = LoadLE(data.data() + at + 1, 8);
            p.maxId = std::max(p.maxId, id);
            if (data[at] == kLineKind) {
                lines.emplace_back(id, data.substr(at + 11, size - kRecordOverhead));
                p.linesAfter += p.places > 0 ? 1 : 0;
            } else {
                done.insert(id);
            }
            at += size;
            p.end = at;
            continue;
        }
        std::size_t next = at + 1;
        while (next < data.size() && ValidAt(data, next) == 0) ++next;
        if (next >= data.size() && at >= kHeaderSize && TornAt(data, at))
            break;
        p.skipped += next - at;
        ++p.places;
        at = next;
    }
    if (p.end < kHeaderSize)
        p.end = kHeaderSize;
    for (auto& [id, line] : lines) {
        if (done.count(id) == 0)
            p.lines.emplace_back(id, std::move(line));
    }
    return p;
}

// The records of a journal file from `at` on, read a chunk at a time, so no
// more than a chunk of the file is in memory. Bytes that are no valid record
// are stepped over one by one and counted.
class RecordReader {
public:
    struct Rec {
        char kind = 0;
        std::uint64_t id = 0;
        std::string text;
        std::size_t at = 0;  // where it starts in the file
        std::size_t size = 0;
    };
    RecordReader(JournalFile& file, std::size_t at) : file_(file), base_(at), end_(at) {}

    // The next valid record; false at the end of the file.
    bool Next(Rec& r) {
        constexpr std::size_t kLongest = kRecordOverhead + SendJournal::kMaxLineLength;
        for (;;) {
            if (!eof_ && buf_.size() - pos_ < kLongest)
                Fill();
            if (pos_ >= buf_.size())
                return false;
            if (const std::size_t size = ValidAt(buf_, pos_)) {
                r.kind = buf_[pos_];
                r.id = LoadLE(buf_.data() + pos_ + 1, 8);
                r.text.assign(buf_, pos_ + 11, size - kRecordOverhead);
                r.at = base_ + pos_;
                r.size = size;
                pos_ += size;
                end_ = base_ + pos_;
                if (skipped > 0)
                    ++validAfterSkip;
                return true;
            }
            if (skipped == 0)
                firstSkipped = base_ + pos_;
            ++skipped;
            ++pos_;
        }
    }
    // Where the last valid record ends.
    std::size_t End() const { return end_; }

    std::size_t skipped = 0;
    std::size_t firstSkipped = 0;
    std::size_t validAfterSkip = 0;

private:
    void Fill() {
        buf_.erase(0, pos_);
        base_ += pos_;
        pos_ = 0;
        const std::string more = file_.ReadAt(base_ + buf_.size(), SendJournal::kReadChunk);
        eof_ = more.size() < SendJournal::kReadChunk;
        buf_ += more;
    }

    JournalFile& file_;
    std::string buf_;
    std::size_t pos_ = 0;
    std::size_t base_;  // file offset of buf_[0]
    std::size_t end_;
    bool eof_ = false;
};

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
    ~PosixJournalFile() override = default;
    PosixJournalFile(const PosixJournalFile&) = delete;
    PosixJournalFile& operator=(const PosixJournalFile&) = delete;

    const std::string& Path() const override { return path_; }

    std::string ReadAll() override {
        const Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.IsOpen()) {
            if (errno == ENOENT)
                return {};
            ThrowLastError("Cannot open send buffer journal ", path_);
        }
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ThrowLastError("Cannot read send buffer journal ", path_);
            if (n == 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    std::string ReadAt(std::size_t offset, std::size_t size) override {
        // The open journal, or the file at its path for a read before the open.
        Fd own;
        if (!fd_.IsOpen()) {
            own.Reset(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
            if (!own.IsOpen() && errno == ENOENT)
                return {};
            if (!own.IsOpen())
                ThrowLastError("Cannot open send buffer journal ", path_);
        }
        const int fd = own.IsOpen() ? own.Get() : fd_.Get();
        std::string out(size, '\0');
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n =
                ::pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                ThrowLastError("Cannot read send buffer journal ", path_);
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        return out;
    }

    std::string Replace(const Chunks& next) override {
        const std::string tmp = path_ + ".new";
        const std::string failed = "Cannot write send buffer journal " + path_;
        const Replacement how{.path = path_,
                              .suffix = ".new",
                              .texts = {.create = "Cannot write send buffer journal " + tmp,
                                        .write = failed,
                                        .close = failed,
                                        .rename = failed},
                              .keepOpen = true};
        std::size_t written = 0;
        Replaced done = ReplaceAtomically(how, [&](int fd) {
            int err = 0;
            for (std::string c = next(); err == 0 && !c.empty(); c = next()) {
                err = WriteFully(fd, c.data(), c.size());
                written += c.size();
            }
            return err;
        });
        // The descriptor now belongs to the file in place.
        fd_ = std::move(done.file);
        size_ = written;
        if (done.folderError == 0)
            return {};
        return "Cannot sync folder " + FolderOf(path_) + ": " +
               std::generic_category().message(done.folderError);
    }

    void Append(const std::string& bytes) override {
        if (!fd_.IsOpen())
            ThrowErrno(EBADF, "Cannot write send buffer journal " + path_);
        const int err = WriteFully(fd_.Get(), bytes.data(), bytes.size());
        if (err != 0) {
            // Whatever part did land is cut off, so the file ends with a whole record.
            (void)!::ftruncate(fd_.Get(), static_cast<off_t>(size_));
            ThrowErrno(err, "Cannot write send buffer journal " + path_);
        }
        size_ += bytes.size();
    }

    void Truncate(std::size_t size) override {
        if (!fd_.IsOpen()) {
            fd_.Reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
            if (!fd_.IsOpen())
                ThrowLastError("Cannot write send buffer journal ", path_);
        }
        if (::ftruncate(fd_.Get(), static_cast<off_t>(size)) != 0)
            ThrowLastError("Cannot cut send buffer journal ", path_);
        size_ = size;
    }

    void Sync() override {
        if (!fd_.IsOpen())
            ThrowErrno(EBADF, "Cannot sync send buffer journal " + path_);
        if (::fdatasync(fd_.Get()) != 0)
            ThrowLastError("Cannot sync send buffer journal ", path_);
    }

    void Reserve(std::size_t bytes) override {
        if (fd_.IsOpen() && ::fallocate(fd_.Get(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(size_),
                                        static_cast<off_t>(bytes)) != 0)
            ThrowLastError("Cannot keep room for send buffer journal ", path_);
    }

    bool AtPath() override {
        struct stat open {};
        struct stat there {};
        if (!fd_.IsOpen())
            return true;
        if (::fstat(fd_.Get(), &open) != 0 || ::stat(path_.c_str(), &there) != 0)
            return false;
        return open.st_dev == there.st_dev && open.st_ino == there.st_ino;
    }

    std::string KeepCopy(const std::string& stamp, const std::string& bytes) override {
        for (int n = 0;; ++n) {
            const std::string name =
                path_ + "." + stamp + (n == 0 ? std::string() : "." + std::to_string(n)) + ".bad";
            Fd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
            int err = fd.IsOpen() ? 0 : errno;
            if (err == EEXIST)
                continue;
            const std::string what =
                "Cannot keep a copy of send buffer journal " + path_ + " as " + name;
            if (err != 0)
                ThrowErrno(err, what);
            err = WriteFully(fd.Get(), bytes.data(), bytes.size());
            if (err == 0 && ::fdatasync(fd.Get()) != 0)
                err = errno;
            fd.Reset();
            if (err != 0) {
                ::unlink(name.c_str());
                ThrowErrno(err, what);
            }
            SyncFolder();
            return name;
        }
    }

    void Remove() override {
        fd_.Reset();
        if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
            ThrowLastError("Cannot remove send buffer journal ", path_);
        SyncFolder();
    }

private:
    // A new or removed file is only where it belongs after a crash once its
    // folder is on disk too.
    void SyncFolder() {
        if (const int err = SyncFolderOf(path_); err != 0)
            ThrowErrno(err, "Cannot sync folder " + FolderOf(path_));
    }

    std::string path_;
    Fd fd_;
    std::size_t size_ = 0;
};

}  // namespace

std::unique_ptr<JournalFile> MakeJournalFile(const std::string& path) {
    return std::make_unique<PosixJournalFile>(path);
}

// --- The journal -------------------------------------------------------------------

namespace {

// Each line kept ahead takes its record and, later, its done mark.
constexpr std::size_t kReserveBytes =
    SendJournal::kReserveLines * (2 * kRecordOverhead + kLineLength);

}  // namespace

SendJournal::SendJournal(std::unique_ptr<JournalFile> file, const IClock& clock, LogChannels logs,
                         std::unique_ptr<JournalFile> side)
    : file_(std::move(file)),
      side_(std::move(side)),
      active_(file_.get()),
      clock_(clock),
      logs_(logs) {}

bool SendJournal::ReadFile(JournalFile& file, std::string& data, std::string& error) {
    for (int i = 0; i < kReadTries; ++i) {
        try {
            data = file.ReadAll();
            return true;
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    return false;
}

std::uint64_t SendJournal::Keep(const std::string& line, std::uint64_t fileId,
                                std::list<Live>::iterator before, std::list<Live>* list) {
    const std::uint64_t id = ++nextId_;
    liveBytes_ += LineRecordSize(line);
    index_[id] = (list != nullptr ? *list : live_).insert(before, Live{id, fileId, line, 0});
    return id;
}

void SendJournal::IdRanges::Add(std::uint64_t id) {
    auto next = ranges_.upper_bound(id);
    if (next != ranges_.begin()) {
        auto prev = std::prev(next);
        if (id <= prev->second)
            return;
        if (prev->second + 1 == id) {
            prev->second = id;
            if (next != ranges_.end() && next->first == id + 1) {
                prev->second = next->second;
                ranges_.erase(next);
            }
            return;
        }
    }
    if (next != ranges_.end() && next->first == id + 1) {
        const std::uint64_t last = next->second;
        ranges_.erase(next);
        ranges_.emplace(id, last);
        return;
    }
    ranges_.emplace(id, id);
}

bool SendJournal::IdRanges::Contains(std::uint64_t id) const {
    auto next = ranges_.upper_bound(id);
    return next != ranges_.begin() && id <= std::prev(next)->second;
}

// What the two passes over a file holding more lines than the window found.
struct SendJournal::LargeFile {
    IdRanges done;
    std::size_t lines = 0;
    std::size_t dones = 0;
    std::uint64_t maxId = 0;
    std::size_t end = 0;  // where the whole records end
    std::vector<std::pair<std::uint64_t, std::string>> window;
    std::size_t behind = 0;
    std::size_t behindAt = 0;
    std::size_t liveBytes = 0;
};

bool SendJournal::RestoreLarge(std::vector<std::pair<std::uint64_t, std::string>>& restored) {
    if (!live_.empty())
        return false;
    // First the done lines and the count, then the window: two passes over
    // the file, a chunk at a time.
    LargeFile f;
    for (int i = 0;; ++i) {
        try {
            if (!ScanLarge(f))
                return false;
            break;
        } catch (const std::exception&) {
            if (i + 1 >= kReadTries)
                return false;
        }
    }
    if (!ReadWindow(f))
        return false;
    OpenLarge(f, restored);
    return true;
}

bool SendJournal::ScanLarge(LargeFile& f) {
    f = LargeFile{};
    if (side_ && !side_->ReadAt(0, 1).empty())
        return false;
    if (file_->ReadAt(0, kHeaderSize) != std::string(kHeader, kHeaderSize))
        return false;
    RecordReader reader(*file_, kHeaderSize);
    RecordReader::Rec r;
    while (reader.Next(r)) {
        f.maxId = std::max(f.maxId, r.id);
        if (r.kind == kLineKind)
            ++f.lines;
        else
            f.done.Add(r.id), ++f.dones;
    }
    if (f.lines <= f.dones + kWindowLines || reader.validAfterSkip > 0)
        return false;
    f.end = reader.End();
    // What follows the last record must be a torn tail; else the whole file
    // is read and its damage told.
    if (reader.skipped > 0) {
        const std::string tail = file_->ReadAt(f.end, kReadChunk);
        if (tail.size() >= kReadChunk || !TornAt(std::string(kHeader) + tail, kHeaderSize))
            return false;
    }
    return true;
}

bool SendJournal::ReadWindow(LargeFile& f) {
    f.behindAt = f.end;
    try {
        RecordReader reader(*file_, kHeaderSize);
        RecordReader::Rec r;
        while (reader.Next(r)) {
            if (r.kind != kLineKind || f.done.Contains(r.id))
                continue;
            f.liveBytes += r.size;
            if (f.window.size() < kWindowLines) {
                f.window.emplace_back(r.id, r.text);
                continue;
            }
            if (f.behind++ == 0)
                f.behindAt = r.at;
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void SendJournal::OpenLarge(LargeFile& f,
                            std::vector<std::pair<std::uint64_t, std::string>>& restored) {
    open_ = true;
    doneInFile_ = std::move(f.done);
    nextFileId_ = std::max(nextFileId_, f.maxId);
    for (auto& [fileId, line] : f.window) {
        const std::uint64_t id = Keep(line, fileId, live_.end());
        restored.emplace_back(id, std::move(line));
    }
    liveBytes_ = f.liveBytes;
    deadBytes_ = f.end - kHeaderSize - f.liveBytes;
    behind_ = f.behind;
    behindAt_ = f.behindAt;
    try {
        // The torn tail is cut off; the appends go on behind the last record.
        file_->Truncate(f.end);
        fileEnd_ = f.end;
        file_->Sync();
        writeSeq_ = syncedSeq_ = 1;
        for (Live& l : live_) l.seq = 1;
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    Reserve();
}

bool SendJournal::Spills() const {
    return open_ && !failing_ && !unreadable_ && !backToFile_ && uncopied_.empty() &&
           active_ == file_.get() && (Behind() > 0 || live_.size() >= kWindowLines);
}

void SendJournal::AppendRecord(const std::string& record) {
    active_->Append(record);
    fileEnd_ += record.size();
    sinceReserve_ += record.size();
}

std::vector<std::pair<std::uint64_t, std::string>> SendJournal::TakeNext(std::size_t max) {
    std::vector<std::pair<std::uint64_t, std::string>> out;
    if (behind_ > 0) {
        try {
            RecordReader reader(*active_, behindAt_);
            RecordReader::Rec r;
            bool more = true;
            while (out.size() < max && behind_ > 0 && (more = reader.Next(r))) {
                behindAt_ = r.at + r.size;
                if (r.kind != kLineKind || doneInFile_.Contains(r.id))
                    continue;
                // Counted in liveBytes_ when it was written. A line not yet
                // synced keeps its id and write, so Durable stays true to it.
                const auto u = std::find_if(unsyncedBehind_.begin(), unsyncedBehind_.end(),
                                            [&r](const Live& l) { return l.fileId == r.id; });
                const bool unsynced = u != unsyncedBehind_.end();
                const std::uint64_t id = unsynced ? u->id : ++nextId_;
                const std::uint64_t seq = unsynced ? u->seq : writeSeq_;
                if (unsynced)
                    unsyncedBehind_.erase(u);
                index_[id] = live_.insert(live_.end(), Live{id, r.id, r.text, seq});
                out.emplace_back(id, std::move(r.text));
                --behind_;
            }
            if (!more && behind_ > 0) {
                ReportError(logs_.err, "SendJournal",
                            Format("%zu waiting line(s) cannot be found in send buffer journal %s",
                                   behind_, active_->Path().c_str()));
                behind_ = 0;
            }
            takeTold_ = false;
        } catch (const std::exception& e) {
            if (!takeTold_)
                ReportError(logs_.err, "SendJournal", e.what());
            takeTold_ = true;
            return out;
        }
    }
    while (behind_ == 0 && out.size() < max && !tail_.empty()) {
        live_.splice(live_.end(), tail_, tail_.begin());
        out.emplace_back(live_.back().id, live_.back().line);
    }
    return out;
}

std::size_t SendJournal::TakeFile(JournalFile& file, const std::string& data,
                                  std::list<Live>::iterator before, bool renumber,
                                  std::vector<std::pair<std::uint64_t, std::string>>& out) {
    Parsed p = Parse(data);
    if (p.skipped > 0) {
        // Line records are 35 bytes, and a damaged stretch runs from one
        // record's start to the next valid record.
        const std::size_t lost =
            (p.skipped + kRecordOverhead + kLineLength - 1) / (kRecordOverhead + kLineLength);
        const std::string what = Format(
            "Send buffer journal %s is damaged: %zu byte(s) in %d place(s) skipped, up to "
            "%zu line(s) lost; %d line(s) after the damage restored",
            file.Path().c_str(), p.skipped, p.places, lost, p.linesAfter);
        ReportError(logs_.err, "RestoreSendBuffer", what);
        try {
            const std::string copy = file.KeepCopy(FileStamp(clock_.Now()), data);
            logs_.imp.AddMsg(
                Format("!! Send buffer journal was damaged: %zu byte(s) skipped, up to "
                       "%zu line(s) lost, %d line(s) after the damage restored; "
                       "kept as %s",
                       p.skipped, lost, p.linesAfter, copy.c_str()));
        } catch (const std::exception& e) {
            ReportError(logs_.err, "RestoreSendBuffer",
                        std::string(e.what()) +
                            "; the damaged journal is left as it is and waiting lines are kept "
                            "in memory only until a copy can be kept");
            logs_.imp.AddMsg("!! Send buffer journal " + file.Path() +
                             " was damaged and no copy of it can be kept: it is left as it is");
            uncopied_ = data;
            uncopiedFile_ = &file;
        }
    }
    nextFileId_ = std::max(nextFileId_, p.maxId);
    for (auto& [fileId, line] : p.lines) {
        const std::uint64_t id = Keep(line, renumber ? ++nextFileId_ : fileId, before);
        out.emplace_back(id, std::move(line));
    }
    return p.end;
}

std::vector<std::pair<std::uint64_t, std::string>> SendJournal::Restore() {
    std::vector<std::pair<std::uint64_t, std::string>> restored;
    if (open_ || RestoreLarge(restored))
        return restored;
    open_ = true;
    // Lines queued before the restore go after the restored ones, under file
    // ids above every id the files hold.
    const auto before = live_.begin();
    std::string data;
    std::string error;
    const std::size_t end = RestoreFile(before, data, error, restored);
    const bool sideHeld = RestoreSide(before, error, restored);
    for (auto it = before; it != live_.end(); ++it) it->fileId = ++nextFileId_;

    if (unreadable_)
        active_ = side_.get();
    backToFile_ = !unreadable_ && sideHeld;
    if (!uncopied_.empty() || active_ == nullptr) {
        active_ = unreadable_ ? side_.get() : file_.get();
        Fail(uncopied_.empty() ? error
                               : "Send buffer journal " + uncopiedFile_->Path() +
                                     " is damaged and no copy of it can be kept");
        return restored;
    }
    const std::string failed = Rewrite(*active_);
    if (failed.empty())
        return restored;
    // No room for a second copy: the appends go on at the end of the file
    // as it is, its torn tail cut off, unless lines of the side file must
    // first go into it.
    if (unreadable_ || backToFile_ || data.compare(0, kHeaderSize, kHeader) != 0)
        Fail(failed);
    else
        AppendToFileAsItIs(end, before, failed);
    return restored;
}

std::size_t SendJournal::RestoreFile(std::list<Live>::iterator before, std::string& data,
                                     std::string& error,
                                     std::vector<std::pair<std::uint64_t, std::string>>& restored) {
    if (ReadFile(*file_, data, error))
        return TakeFile(*file_, data, before, false, restored);
    unreadable_ = true;
    lastReadMs_ = clock_.MonotonicMs();
    const std::string side = side_ ? side_->Path() : "memory";
    ReportError(logs_.err, "RestoreSendBuffer",
                error + "; new lines go to " + side + " until it can be read");
    logs_.imp.AddMsg("!! Send buffer journal " + Path() + " cannot be read: new lines go to " +
                     side + " until it can");
    return 0;
}

bool SendJournal::RestoreSide(std::list<Live>::iterator before, std::string& error,
                              std::vector<std::pair<std::uint64_t, std::string>>& restored) {
    if (!side_)
        return false;
    std::string sideData;
    if (!ReadFile(*side_, sideData, error)) {
        ReportError(logs_.err, "RestoreSendBuffer", error);
        return false;
    }
    TakeFile(*side_, sideData, before, true, restored);
    return !sideData.empty();
}

void SendJournal::AppendToFileAsItIs(std::size_t end, std::list<Live>::iterator before,
                                     const std::string& failed) {
    try {
        active_->Truncate(end);
        fileEnd_ = end;
        for (auto it = before; it != live_.end(); ++it)
            AppendRecord(Record(kLineKind, it->fileId, it->line));
        active_->Sync();
        for (Live& l : live_) l.seq = ++writeSeq_;
        syncedSeq_ = writeSeq_;
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    Compacting(failed);
}

bool SendJournal::TryRecover() {
    lastReadMs_ = clock_.MonotonicMs();
    std::string data;
    std::string error;
    if (!ReadFile(*file_, data, error))
        return false;
    const std::size_t waitedBehind = live_.size();
    std::vector<std::pair<std::uint64_t, std::string>> older;
    TakeFile(*file_, data, live_.begin(), true, older);
    if (!uncopied_.empty()) {
        // Damaged, and no copy can be kept yet: read again later.
        for (const auto& [id, line] : older) Drop(id);
        uncopied_.clear();
        return false;
    }
    unreadable_ = false;
    backToFile_ = side_ != nullptr;
    logs_.err.AddMsg("Send buffer journal " + Path() + " can be read again");
    logs_.imp.AddMsg(
        Format("Send buffer journal %s read again: %d older line(s) go ahead of the %d "
               "line(s) queued since it could not be read",
               Path().c_str(), static_cast<int>(older.size()), static_cast<int>(waitedBehind)));
    recovered_.insert(recovered_.end(), older.begin(), older.end());
    if (!failing_)
        Rewrite(*file_);
    return true;
}

std::vector<std::pair<std::uint64_t, std::string>> SendJournal::TakeRecovered() {
    std::vector<std::pair<std::uint64_t, std::string>> out;
    out.swap(recovered_);
    return out;
}

void SendJournal::Drop(std::uint64_t id) {
    const auto found = index_.find(id);
    if (found == index_.end())
        return;
    liveBytes_ -= LineRecordSize(found->second->line);
    live_.erase(found->second);
    index_.erase(found);
}

std::uint64_t SendJournal::Add(const std::string& line) {
    if (Spills()) {
        // Behind a full window the line is kept in the file only.
        const std::string record = Record(kLineKind, nextFileId_ + 1, line);
        try {
            const std::size_t at = fileEnd_;
            AppendRecord(record);
            ++nextFileId_;
            if (behind_++ == 0)
                behindAt_ = at;
            liveBytes_ += record.size();
            ++writeSeq_;
            linesUnsynced_ = true;
            const std::uint64_t id = ++nextId_;
            unsyncedBehind_.push_back(Live{id, nextFileId_, line, writeSeq_});
            return id;
        } catch (const std::exception& e) {
            // Not on disk: kept in memory, behind the lines that are.
            Fail(e.what());
        }
    }
    if (open_ && failing_ && Behind() > 0) {
        const std::uint64_t id = Keep(line, ++nextFileId_, tail_.end(), &tail_);
        RetryIfDue();
        return id;
    }
    const std::uint64_t id = Keep(line, ++nextFileId_, live_.end());
    if (!open_)
        return id;
    if (failing_) {
        RetryIfDue();
        return id;
    }
    Live& l = *index_[id];
    try {
        AppendRecord(Record(kLineKind, l.fileId, line));
        l.seq = ++writeSeq_;
        linesUnsynced_ = true;
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    return id;
}

void SendJournal::Done(std::uint64_t id) {
    const auto found = index_.find(id);
    if (found == index_.end())
        return;
    const std::uint64_t fileId = found->second->fileId;
    const std::size_t size = LineRecordSize(found->second->line);
    Drop(id);
    if (!open_)
        return;
    if (failing_) {
        RetryIfDue();
        return;
    }
    try {
        if (live_.empty() && Behind() == 0 && !backToFile_) {
            // Nothing waits: the file goes back to its header.
            active_->Truncate(kHeaderSize);
            fileEnd_ = kHeaderSize;
            doneInFile_.Clear();
            deadBytes_ = 0;
            sinceReserve_ = kReserveBytes;  // the room ahead went with it
        } else {
            AppendRecord(Record(kDoneKind, fileId, std::string()));
            deadBytes_ += size + kRecordOverhead;
        }
        doneUnsynced_ = true;
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    if (deadBytes_ >= kCompactBytes && deadBytes_ > liveBytes_ &&
        (lastCompactMs_ == 0 || clock_.MonotonicMs() - lastCompactMs_ >= kRetryMs))
        Compacting(Rewrite(*active_));
}

bool SendJournal::Durable(std::uint64_t id) const {
    const auto found = index_.find(id);
    if (found == index_.end())
        return std::none_of(unsyncedBehind_.begin(), unsyncedBehind_.end(),
                            [id](const Live& l) { return l.id == id; });
    return found->second->seq != 0 && found->second->seq <= syncedSeq_;
}

void SendJournal::Sync() {
    if (!open_)
        return;
    const bool due = clock_.MonotonicMs() - lastReadMs_ >= kRetryMs;
    if (unreadable_ && due)
        TryRecover();
    else if (backToFile_ && !failing_ && due) {
        lastReadMs_ = clock_.MonotonicMs();
        Rewrite(*file_);
    }
    if (failing_) {
        RetryIfDue();
        return;
    }
    if (linesUnsynced_ || doneUnsynced_) {
        std::string failed;
        try {
            active_->Sync();
            // A file removed or replaced under us takes what we sync with it.
            if (!active_->AtPath())
                failed = "Send buffer journal " + active_->Path() +
                         " is no longer the file at its place";
        } catch (const std::exception& e) {
            failed = e.what();
        }
        if (!failed.empty()) {
            // The kernel may have dropped what it could not write: every
            // waiting line is written anew before any counts as durable.
            Fail(failed);
            lastTryMs_ = clock_.MonotonicMs() - kRetryMs;
            RetryIfDue();
            return;
        }
        syncedSeq_ = writeSeq_;
        linesUnsynced_ = false;
        doneUnsynced_ = false;
        unsyncedBehind_.clear();
    }
    if (sinceReserve_ >= kReserveBytes / 2)
        Reserve();
}

void SendJournal::Reserve() {
    sinceReserve_ = 0;
    try {
        active_->Reserve(kReserveBytes);
    } catch (const std::exception& e) {
        if (reserveTold_)
            return;
        reserveTold_ = true;
        ReportError(logs_.err, "SendJournal",
                    std::string(e.what()) + "; lines are still written, without room kept ahead");
    }
}

// The chunks of a rewrite: the window from memory, the lines behind it
// record by record from the file they are in, then the lines that could not
// be written there. Unsynced lines come from memory, after the ones read
// from the file.
class SendJournal::Copier {
public:
    explicit Copier(SendJournal& journal)
        : j_(journal),
          nextWindow_(journal.live_.begin()),
          nextTail_(journal.tail_.begin()),
          nextUnsynced_(journal.unsyncedBehind_.begin()) {
        for (const Live& l : journal.unsyncedBehind_) fromMemory_.insert(l.fileId);
        if (journal.behind_ > 0)
            reader_ = std::make_unique<RecordReader>(*journal.active_, journal.behindAt_);
    }

    // The next chunk; empty at the end.
    std::string Next() {
        std::string out;
        if (!header_) {
            header_ = true;
            out.assign(kHeader, kHeaderSize);
        }
        for (; nextWindow_ != j_.live_.end() && out.size() < kReadChunk; ++nextWindow_)
            out += Record(kLineKind, nextWindow_->fileId, nextWindow_->line);
        RecordReader::Rec r;
        while (reader_ && out.size() < kReadChunk) {
            if (!reader_->Next(r)) {
                reader_.reset();
                break;
            }
            if (r.kind == kLineKind && !j_.doneInFile_.Contains(r.id) &&
                fromMemory_.count(r.id) == 0) {
                out += Record(kLineKind, r.id, r.text);
                ++copied;
            }
        }
        const auto unsyncedEnd = j_.unsyncedBehind_.end();
        for (; !reader_ && nextUnsynced_ != unsyncedEnd && out.size() < kReadChunk;
             ++nextUnsynced_) {
            out += Record(kLineKind, nextUnsynced_->fileId, nextUnsynced_->line);
            ++copiedFromMemory;
        }
        for (; !reader_ && nextUnsynced_ == unsyncedEnd && nextTail_ != j_.tail_.end() &&
               out.size() < kReadChunk;
             ++nextTail_)
            out += Record(kLineKind, nextTail_->fileId, nextTail_->line);
        written += out.size();
        return out;
    }

    std::size_t copied = 0;            // lines behind the window, from the file
    std::size_t copiedFromMemory = 0;  // unsynced lines behind the window
    std::size_t written = 0;           // bytes

private:
    SendJournal& j_;
    bool header_ = false;
    std::list<Live>::const_iterator nextWindow_;
    std::list<Live>::const_iterator nextTail_;
    std::vector<Live>::const_iterator nextUnsynced_;
    std::unordered_set<std::uint64_t> fromMemory_;
    std::unique_ptr<RecordReader> reader_;
};

std::string SendJournal::Rewrite(JournalFile& target) {
    std::size_t windowEnd = kHeaderSize;
    for (const Live& l : live_) windowEnd += LineRecordSize(l.line);
    Copier copier(*this);
    std::string notLasting;
    try {
        notLasting = target.Replace([&copier] { return copier.Next(); });
    } catch (const std::exception& e) {
        return e.what();
    }
    // The new file is in place and in use even where its folder could not
    // be synced.
    if (!notLasting.empty())
        ReportError(logs_.err, "SendJournal", notLasting);
    active_ = &target;
    fileEnd_ = copier.written;
    // What could not be written before is in the file now, behind the window.
    behind_ = copier.copied + copier.copiedFromMemory + tail_.size();
    behindAt_ = windowEnd;
    for (const Live& l : tail_) index_.erase(l.id);
    tail_.clear();
    doneInFile_.Clear();
    unsyncedBehind_.clear();
    for (Live& l : live_) l.seq = ++writeSeq_;
    syncedSeq_ = writeSeq_;
    deadBytes_ = 0;
    linesUnsynced_ = false;
    doneUnsynced_ = false;
    Reserve();
    if (&target == file_.get() && backToFile_ && side_) {
        backToFile_ = false;
        try {
            side_->Remove();
        } catch (const std::exception& e) {
            ReportError(logs_.err, "SendJournal", e.what());
        }
    }
    if (failing_) {
        failing_ = false;
        logs_.err.AddMsg(
            Format("Send buffer journal written again: %d waiting line(s) kept on disk",
                   static_cast<int>(Waiting())));
    }
    return {};
}

void SendJournal::Compacting(const std::string& failed) {
    if (failed.empty()) {
        compactTold_ = false;
        return;
    }
    lastCompactMs_ = clock_.MonotonicMs();
    if (compactTold_)
        return;
    compactTold_ = true;
    ReportError(logs_.err, "SendJournal",
                failed + "; the lines are still appended to the file as it is");
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
    if (!uncopied_.empty()) {
        try {
            const std::string copy = uncopiedFile_->KeepCopy(FileStamp(clock_.Now()), uncopied_);
            logs_.imp.AddMsg("!! Damaged send buffer journal kept as " + copy);
            uncopied_.clear();
        } catch (const std::exception&) {
            return;
        }
    }
    JournalFile* target = unreadable_ ? side_.get() : file_.get();
    if (target != nullptr)
        Rewrite(*target);
}

}  // namespace korvan
