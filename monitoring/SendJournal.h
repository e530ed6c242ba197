#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/LogChannels.h"
#include "platform/Clock.h"

namespace korvan {

// The file under the send journal: the few operations the journal needs, so
// that a full disk, a read-only folder, a failing sync or a read error can be
// played in tests. Every operation throws std::system_error (or
// std::runtime_error) with a message naming the file when it fails.
class JournalFile {
public:
    virtual ~JournalFile() = default;
    virtual const std::string& Path() const = 0;
    // The whole file as it is on disk; empty when there is none.
    virtual std::string ReadAll() = 0;
    // Up to `size` bytes from `offset`, fewer at the end, empty past it or
    // when there is no file. Once the file is open, it is read through the
    // open file, so a file put at its path meanwhile is not read instead.
    virtual std::string ReadAt(std::size_t offset, std::size_t size) = 0;
    // Writes the chunks `next` returns, until it returns an empty one, as the
    // whole file: into a new file beside it, synced, renamed over it, the
    // folder synced. Appends go to this file afterwards. `next` may read this
    // file (ReadAt) until it is replaced; what it throws fails the replace.
    // Once the new file is in place the replace stands: returns what did not
    // last with it (a folder that could not be synced), empty mostly.
    using Chunks = std::function<std::string()>;
    virtual std::string Replace(const Chunks& next) = 0;
    // Appends `bytes` at the end. A write that fails part-way is cut off
    // again where possible, so the file ends with whole records.
    virtual void Append(const std::string& bytes) = 0;
    // Cuts the file to `size` bytes; opens it for appending when it is not.
    virtual void Truncate(std::size_t size) = 0;
    // fdatasync: what was written is on the disk when this returns.
    virtual void Sync() = 0;
    // Keeps `bytes` of disk space allocated past the end of the file without
    // changing its size, so appends still find room on a full disk.
    virtual void Reserve(std::size_t bytes) = 0;
    // Whether the open file is still the one at Path() (same device and
    // inode): false when it was removed or another file was put in its place.
    virtual bool AtPath() = 0;
    // Writes `bytes` into a new file "<Path()>.<stamp>.bad", or, when that
    // name is taken, "<Path()>.<stamp>.1.bad", ".2.bad" and so on; an existing
    // file is never written over. Synced; returns the name.
    virtual std::string KeepCopy(const std::string& stamp, const std::string& bytes) = 0;
    // Removes the file at Path(), if any; the journal has no file afterwards.
    virtual void Remove() = 0;
};

// The real file at `path`, created with mode 0640.
std::unique_ptr<JournalFile> MakeJournalFile(const std::string& path);

// The lines waiting for the monitoring software, kept in a file beside the
// database so that neither a close, a crash, a kill nor a power cut loses an
// alarm the unit was already told is delivered.
//
// The file is a header followed by records, each with its own length and
// CRC-32: "line <id> <text>" when a line is queued, "done <id>" when the
// monitoring software has taken it (or it was dropped). A line is appended
// when it is queued and made durable by Sync(), which the receiver calls
// before it answers the unit whose datagram queued the line; Durable() tells
// whether a line is on disk (or has left), so the answer waits until it is.
// Done records are not synced by themselves: lost, they only make a line go
// out once more.
//
// The file holds no history: when no line waits it is cut back to its
// header, and when the done lines outweigh the waiting ones it is written
// anew with the waiting lines only. A rewrite that fails (it needs room for
// a second copy) leaves the appends running on the file as it is. Room for
// kReserveLines lines is kept allocated past the end of the file, so a disk
// filled by something else does not stop the appends.
//
// A file whose append or sync fails (a full disk, a read-only folder, a
// failing sync, the file removed or replaced under the receiver) never stops
// the work: the lines are still kept in memory, but none of them counts as
// durable; the outage is told once on the Errors channel, and at once and
// then every kRetryMs at the next line or tick the whole file is written
// anew; when that succeeds the end of the outage is told and every waiting
// line is durable again.
//
// A file that cannot be read (after kReadTries tries) is left as it is and
// the new lines go to the side file beside it; every kRetryMs it is read
// again, and once it reads its lines are handed to the send buffer (see
// TakeRecovered) ahead of the ones that came since, and everything is
// written back into the journal file. A start restores the side file too.
//
// Only a window of the waiting lines is kept in memory: the first
// kWindowLines of them (what the send buffer holds). Lines queued behind a
// full window are appended to the file only and read back from it, in their
// order, as the window drains (TakeNext); a rewrite copies them from the old
// file to the new one record by record, except those not yet synced, which
// are kept in memory until a sync succeeds and written from there. A start reads the file in
// chunks; a file holding more lines than the window restores the window and counts the rest,
// without writing the file anew. Only where the file cannot be written, cannot be read, or is
// damaged are the lines kept in memory.
//
// Nothing here throws.
class SendJournal {
public:
    static constexpr int kRetryMs = 5000;
    static constexpr int kReadTries = 3;
    // Done records are let to pile up to this size before a rewrite is worth it.
    static constexpr std::size_t kCompactBytes = 64 * 1024;
    // Lines are 20 characters; a record claiming more than this is damage,
    // while a somewhat wider line format would still be read.
    static constexpr std::size_t kMaxLineLength = 64;
    // Room kept ahead of the end of the file: this many lines and their done marks.
    static constexpr std::size_t kReserveLines = 10000;
    // Waiting lines kept in memory; the rest stay in the file.
    static constexpr std::size_t kWindowLines = 4096;
    // The file is read this many bytes at a time.
    static constexpr std::size_t kReadChunk = 256 * 1024;

    // `side` is the file new lines go to while `file` cannot be read; may be null.
    SendJournal(std::unique_ptr<JournalFile> file, const IClock& clock, LogChannels logs,
                std::unique_ptr<JournalFile> side = nullptr);

    // Reads what the last run left (the journal file, then the side file) and
    // writes the journal file anew with the lines still waiting. A torn last
    // record (the process died while writing it) is left out without a word.
    // Damage anywhere else is skipped record by record, every valid line after
    // it is kept, and the file is first kept as "<name>.<date>_<time>.bad"
    // (see JournalFile::KeepCopy); where no copy can be made it is not
    // touched at all. Damage is told on the Important-messages and Errors
    // channels. Returns the waiting lines in their order with their ids.
    // Called once, at start-up; lines added before it are kept and written
    // after them.
    std::vector<std::pair<std::uint64_t, std::string>> Restore();

    // Keeps `line`; returns its id for Done and Durable. Written at once when
    // the file is open, durable after the next successful Sync().
    std::uint64_t Add(const std::string& line);
    // The line has left the send buffer.
    void Done(std::uint64_t id);
    // Whether the line is on disk, or has left (or was never kept).
    bool Durable(std::uint64_t id) const;
    // Whether lines were written since the last sync.
    bool SyncPending() const { return linesUnsynced_; }
    // Makes everything written durable; while the file cannot be written,
    // tries to write it anew (at most every kRetryMs); while the journal file
    // cannot be read, tries to read it (as often).
    void Sync();
    // The lines of a journal file that could be read only now, oldest first:
    // they belong ahead of every line queued since the start. Empty mostly.
    std::vector<std::pair<std::uint64_t, std::string>> TakeRecovered();

    // Lines waiting behind the window, not yet taken by the send buffer.
    std::size_t Behind() const { return behind_ + tail_.size(); }
    // The next lines behind the window, at most `max`, oldest first: taken
    // into the window. Fewer when the file cannot be read now.
    std::vector<std::pair<std::uint64_t, std::string>> TakeNext(std::size_t max);

    // True while the file does not hold every waiting line.
    bool Failing() const { return failing_; }
    std::size_t Waiting() const { return live_.size() + Behind(); }
    // Waiting lines held in memory.
    std::size_t InMemory() const { return live_.size() + tail_.size(); }
    const std::string& Path() const { return file_->Path(); }

private:
    struct Live {
        std::uint64_t id;      // the send buffer's
        std::uint64_t fileId;  // the record's in the file
        std::string line;
        std::uint64_t seq = 0;  // when its record was written; 0: not yet
    };
    bool ReadFile(JournalFile& file, std::string& data, std::string& error);
    std::uint64_t Keep(const std::string& line, std::uint64_t fileId,
                       std::list<Live>::iterator before, std::list<Live>* list = nullptr);
    void Drop(std::uint64_t id);
    // Takes the waiting lines of `data`, read from `file`, into the journal
    // before `before`; tells damage and keeps the damaged file aside.
    // Returns where its whole records end.
    std::size_t TakeFile(JournalFile& file, const std::string& data,
                         std::list<Live>::iterator before, bool renumber,
                         std::vector<std::pair<std::uint64_t, std::string>>& out);
    bool TryRecover();
    // Writes every waiting line into `target`, which appends go to
    // afterwards; returns the error, empty on success.
    class Copier;
    std::string Rewrite(JournalFile& target);
    // A start on a file holding more lines than the window: restores the
    // window and counts the rest. False (nothing changed) where the whole
    // file has to be read: few lines, damage, a side file, lines queued before.
    bool RestoreLarge(std::vector<std::pair<std::uint64_t, std::string>>& restored);
    // Its steps: the first pass (done lines, counts, where the records end;
    // false where the file is to be read whole; throws when it cannot be
    // read), the second pass (the window and what lies behind it), then the
    // window taken and the appends going on behind the last record.
    struct LargeFile;
    bool ScanLarge(LargeFile& f);
    bool ReadWindow(LargeFile& f);
    void OpenLarge(LargeFile& f, std::vector<std::pair<std::uint64_t, std::string>>& restored);
    // The steps of a start that reads the files whole: the journal file
    // (returns where its whole records end; where it cannot be read, the
    // side file takes the new lines), the side file (whether it held
    // anything), and, where no second copy fits, the restored lines appended
    // to the file as it is.
    std::size_t RestoreFile(std::list<Live>::iterator before, std::string& data, std::string& error,
                            std::vector<std::pair<std::uint64_t, std::string>>& restored);
    bool RestoreSide(std::list<Live>::iterator before, std::string& error,
                     std::vector<std::pair<std::uint64_t, std::string>>& restored);
    void AppendToFileAsItIs(std::size_t end, std::list<Live>::iterator before,
                            const std::string& failed);
    // Whether a new line goes to the file only, behind the window.
    bool Spills() const;
    void AppendRecord(const std::string& record);
    void Compacting(const std::string& failed);
    void Reserve();
    void Fail(const std::string& what);
    void RetryIfDue();

    std::unique_ptr<JournalFile> file_;
    std::unique_ptr<JournalFile> side_;
    JournalFile* active_;  // where appends go: file_, or side_ while file_ cannot be read
    const IClock& clock_;
    LogChannels logs_;
    // The ids of a file's done lines, as ranges first -> last.
    class IdRanges {
    public:
        void Add(std::uint64_t id);
        bool Contains(std::uint64_t id) const;
        void Clear() { ranges_.clear(); }

    private:
        std::map<std::uint64_t, std::uint64_t> ranges_;
    };

    std::list<Live> live_;  // the window
    // Lines queued behind the window while the file cannot be written.
    std::list<Live> tail_;
    std::size_t behind_ = 0;    // lines in the file only, behind the window
    std::size_t behindAt_ = 0;  // where the first of them, or a record before it, starts
    std::size_t fileEnd_ = 0;   // size of the active file as written
    IdRanges doneInFile_;       // lines of the file found done at the start
    // Lines behind the window written since the last sync, kept until it
    // succeeds: after a failed sync the kernel may have dropped them, so a
    // rewrite takes them from here, not from the file.
    std::vector<Live> unsyncedBehind_;
    bool takeTold_ = false;
    std::unordered_map<std::uint64_t, std::list<Live>::iterator> index_;
    std::vector<std::pair<std::uint64_t, std::string>> recovered_;
    std::uint64_t nextId_ = 0;
    std::uint64_t nextFileId_ = 0;
    std::uint64_t writeSeq_ = 0;   // records written so far
    std::uint64_t syncedSeq_ = 0;  // of them, on disk
    bool open_ = false;            // set by Restore
    bool failing_ = false;
    bool unreadable_ = false;  // file_ could not be read; lines go to side_
    bool backToFile_ = false;  // file_ reads again but does not yet hold every line
    std::string uncopied_;     // damaged bytes not yet kept aside; the file is left alone
    JournalFile* uncopiedFile_ = nullptr;
    std::int64_t lastTryMs_ = 0;
    std::int64_t lastReadMs_ = 0;
    std::int64_t lastCompactMs_ = 0;
    bool compactTold_ = false;
    bool reserveTold_ = false;
    std::size_t sinceReserve_ = 0;
    bool linesUnsynced_ = false;
    bool doneUnsynced_ = false;
    std::size_t liveBytes_ = 0;  // encoded size of the waiting lines' records
    std::size_t deadBytes_ = 0;  // records of lines that are done, and their done records
};

}  // namespace korvan
