#pragma once

#include <QLocalServer>
#include <QString>

namespace korvan {

// Finds a running main window of this program on this desktop session by
// its class name and title. The running window holds a local socket whose
// name is made of both; a socket left behind by a killed process answers no
// connection, so it never blocks the next start.
class SingleInstance {
public:
    SingleInstance(const QString& className, const QString& title);
    // True when another main window of this class and title is running.
    bool OtherRunning() const;
    // Marks this process's main window as running.
    bool Listen();
    QString ServerName() const { return name_; }

private:
    QString name_;
    QLocalServer server_;
};

}  // namespace korvan
