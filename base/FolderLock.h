#pragma once

#include <string>

#include "base/LogChannels.h"

namespace korvan {

// One running receiver per installation folder. The lock file
// "RAZUDovuve.lock" beside the database is locked with flock before anything
// else in the folder is read or written, and stays locked for the life of
// the process: of any number of starts on one folder, from any desktop
// session or user, exactly one holds it. The kernel releases the lock when
// the process ends in any way, so a killed receiver never blocks the next
// start, and the file itself is never removed (a start that removed it
// could take the lock of a file another start already holds).
//
// flock keeps out processes on this computer only: a folder on a network
// file system (NFS, SMB/CIFS and the like) may be run by a copy on another
// computer as well, so such a folder is told loudly at start.
class FolderLock {
public:
    static constexpr const char* kFileName = "RAZUDovuve.lock";

    enum class Claim {
        Claimed,        // this process is the folder's receiver
        HeldByAnother,  // another process holds the lock
        CannotOpen,     // the lock file cannot be opened or locked (another user's, say)
    };

    // `folder` ends with "/". Nothing is touched until Claim.
    explicit FolderLock(std::string folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Opens (creating it 0640 when missing) and locks the lock file without
    // waiting. Claimed again when already held by this object.
    Claim TakeClaim();
    // Why the last claim found the file unusable; empty otherwise.
    const std::string& Failure() const { return failure_; }
    const std::string& Folder() const { return folder_; }
    std::string Path() const { return folder_ + kFileName; }

    // The network file system the folder lies on ("NFS", "SMB/CIFS", ...),
    // empty when it is a local one or cannot be looked at.
    std::string NetworkFileSystem() const;
    // When the folder is on a network file system: one entry on the
    // Important-messages channel (LED, sound) and one on the Errors channel,
    // and the same on stderr.
    void TellIfOnNetworkFileSystem(const LogChannels& logs) const;

    // The folder of the running executable (from /proc/self/exe, so that no
    // application object is needed), ending with "/"; empty when unknown.
    static std::string ExecutableFolder();

private:
    std::string folder_;
    std::string failure_;
    int fd_ = -1;
};

}  // namespace korvan
