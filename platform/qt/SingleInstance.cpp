#include "platform/qt/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvan {

SingleInstance::SingleInstance(const QString& className, const QString& title) {
    // The desktop session's runtime folder scopes the lock to that session;
    // without one, the user's temporary folder does.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    const QByteArray key = (className + QChar(0) + title).toUtf8();
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
    path_ =
        dir + "/" + className + "-" + hash + "-" + QString::number(::getuid()) + "-instance.lock";
}

SingleInstance::~SingleInstance() {
    // Closing releases the lock; the file stays, so that no later start can
    // lock a file of the same name that another start has already replaced.
    if (fd_ >= 0)
        ::close(fd_);
}

bool SingleInstance::Claim() {
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(path_);
    // Not followed through a link: in a shared temporary folder the name
    // could have been planted by someone else.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) {
        std::fprintf(stderr, "Single-instance lock %s not taken: %s\n", path.constData(),
                     std::strerror(errno));
        return true;
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EINTR)
            continue;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        std::fprintf(stderr, "Single-instance lock %s not taken: %s\n", path.constData(),
                     std::strerror(err));
        return true;
    }
    fd_ = fd;
    return true;
}

}  // namespace korvan
