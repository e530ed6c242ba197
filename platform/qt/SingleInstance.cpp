#include "platform/qt/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>

namespace korvan {

SingleInstance::SingleInstance(const QString& className, const QString& title) {
    // The desktop session's runtime folder scopes the marker to that
    // session; without one, the user's temporary folder does.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    const QByteArray key = (className + QChar(0) + title).toUtf8();
    const QString hash =
        QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
    name_ = dir + "/" + className + "-" + hash + "-" + QString::number(::getuid()) + ".lock";
}

bool SingleInstance::OtherRunning() const {
    QLocalSocket probe;
    probe.connectToServer(name_);
    const bool connected = probe.waitForConnected(500);
    probe.abort();
    return connected;
}

bool SingleInstance::Listen() {
    // A socket file left by a killed process is removed first.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name_);
}

}  // namespace korvan
