#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/LogChannels.h"
#include "platform/Clock.h"

namespace korvan {

// The file under the send journal: the few operations the journal needs, so
// that a full disk, a read-only folder or a failing sync can be played in
// tests. Every operation throws std::system_error (or std::runtime_error)
// with a message naming the file when it fails.
class JournalFile {
public:
    virtual ~JournalFile() = default;
    virtual const std::string& Path() const = 0;
    // The whole file as it is on disk; empty when there is none.
    virtual std::string ReadAll() = 0;
    // Writes `bytes` as the whole file: into a new file beside it, synced,
    // renamed over it, the folder synced. Appends go to this file afterwards.
    virtual void Replace(const std::string& bytes) = 0;
    // Appends `bytes` at the end. A write that fails part-way is cut off
    // again where possible, so the file ends with whole records.
    virtual void Append(const std::string& bytes) = 0;
    // Cuts the file to `size` bytes.
    virtual void Truncate(std::size_t size) = 0;
    // fdatasync: what was written is on the disk when this returns.
    virtual void Sync() = 0;
    // Renames the file to `path`; the journal has no file afterwards.
    virtual void MoveTo(const std::string& path) = 0;
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
// before it answers the unit whose datagram queued the line. Done records
// are not synced by themselves: lost, they only make a line go out once more.
//
// The file holds no history: when no line waits it is cut back to its
// header, and when the done lines outweigh the waiting ones it is written
// anew with the waiting lines only.
//
// A file that cannot be written (a full disk, a read-only folder, a failing
// sync) never stops the work: the lines are still kept in memory, the
// outage is told once on the Errors channel, and every kRetryMs at the next
// line or tick the whole file is written anew; when that succeeds the end of
// the outage is told and every waiting line is on disk again.
//
// Nothing here throws.
class SendJournal {
public:
    static constexpr int kRetryMs = 5000;
    // Done records are let to pile up to this size before a rewrite is worth it.
    static constexpr std::size_t kCompactBytes = 64 * 1024;

    SendJournal(std::unique_ptr<JournalFile> file, const IClock& clock, LogChannels logs);

    // Reads what the last run left and writes the file anew with the lines
    // still waiting. A torn last record (the process died while writing it)
    // is left out without a word; a file that cannot be read, or that is
    // damaged before its end, is moved aside under "<name>.<date>_<time>.bad"
    // and told on the Important-messages and Errors channels, and the lines
    // before the damage are kept. Returns the waiting lines in their order
    // with their ids. Called once, at start-up; lines added before it are
    // kept and written with them.
    std::vector<std::pair<std::uint64_t, std::string>> Restore();

    // Keeps `line`; returns its id for Done. Written at once when the file
    // is open, durable after the next Sync().
    std::uint64_t Add(const std::string& line);
    // The line has left the send buffer.
    void Done(std::uint64_t id);
    // Whether lines were written since the last sync.
    bool SyncPending() const { return linesUnsynced_; }
    // Makes everything written durable; while the file cannot be written,
    // tries to write it anew (at most every kRetryMs).
    void Sync();

    // True while the file does not hold every waiting line.
    bool Failing() const { return failing_; }
    std::size_t Waiting() const { return live_.size(); }
    const std::string& Path() const { return file_->Path(); }

private:
    struct Live {
        std::uint64_t id;
        std::string line;
    };

    std::string Encoded() const;
    bool Rewrite();
    void Fail(const std::string& what);
    void RetryIfDue();
    void MoveAside(const std::string& why);

    std::unique_ptr<JournalFile> file_;
    const IClock& clock_;
    LogChannels logs_;
    std::deque<Live> live_;
    std::uint64_t nextId_ = 0;
    bool open_ = false;  // set by Restore
    bool failing_ = false;
    std::int64_t lastTryMs_ = 0;
    bool linesUnsynced_ = false;
    bool doneUnsynced_ = false;
    std::size_t liveBytes_ = 0;  // encoded size of the waiting lines' records
    std::size_t deadBytes_ = 0;  // records of lines that are done, and their done records
};

}  // namespace korvan
