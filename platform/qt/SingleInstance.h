#pragma once

#include <QString>

namespace korvan {

// One running main window of this program per desktop session, whatever its
// class name and title say. The first process to take an exclusive lock on a
// lock file in the session's runtime folder is the instance; every other
// start finds the lock taken. Taking the lock is atomic, so of any number of
// simultaneous starts exactly one wins, and the kernel releases it when the
// process ends in any way, so a killed instance never blocks the next start.
// Nothing is ever removed: a second start cannot take the first one's lock
// away.
class SingleInstance {
public:
    // Only works out the lock file's name; Claim takes the lock.
    SingleInstance(const QString& className, const QString& title);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock; true when this process is the instance (or already
    // was). False when another process holds it. A lock file that cannot be
    // opened at all (no usable runtime or temporary folder) tells nothing
    // about other instances: that is said on stderr and counts as claimed,
    // since a receiver that does not start loses every alarm.
    bool Claim();
    QString LockPath() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
};

}  // namespace korvan
