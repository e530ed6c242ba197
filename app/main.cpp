// The program's entry: --version, the folder's instance lock, main window, event loop.
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>
#include <exception>

#include "base/FolderLock.h"
#include "core/Receiver.h"
#include "platform/qt/MainWindow.h"

using namespace korvan;

namespace {

// An error that no handler of the program caught is shown in an error box,
// and the program carries on.
class ReceiverApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            ShowError(e.what());
        } catch (...) {
            ShowError("Unknown error");
        }
        return false;
    }

private:
    // One box at a time: while it is open, the event loop keeps running and
    // a recurring failure would otherwise stack a box per event.
    void ShowError(const char* what) {
        std::fprintf(stderr, "Unhandled error: %s\n", what);
        if (showing_)
            return;
        showing_ = true;
        QMessageBox::critical(activeWindow(), "Error", QString::fromLocal8Bit(what));
        showing_ = false;
    }

    bool showing_ = false;
};

// The installation's folder claimed for this process, before anything in it
// is created, read or opened, and held until the process ends: a second
// start on the folder (from any session or user) that loses touches neither
// settings, database, journal, logs, UDP port nor serial port.
class InstanceClaim {
public:
    InstanceClaim() : lock_(FolderLock::ExecutableFolder()), claim_(lock_.TakeClaim()) {}

    // After the application object exists: false (the warning shown) when
    // this process is not to run.
    bool Won() const {
        if (claim_ == FolderLock::Claim::Claimed)
            return true;
        if (claim_ == FolderLock::Claim::CannotOpen)
            std::fprintf(stderr, "Instance lock not taken: %s\n", lock_.Failure().c_str());
        const char* text =
            "The other instance of RAZUDovuve is running.\r\nOnly one instance of the programm is "
            "allowed";
        std::fprintf(stderr, "Warning: %s\n", text);
        QMessageBox::warning(nullptr, "Warning", QString::fromLatin1(text), QMessageBox::Ok);
        return false;
    }
    const std::string& Folder() const { return lock_.Folder(); }
    const FolderLock& Lock() const { return lock_; }

private:
    FolderLock lock_;
    FolderLock::Claim claim_;
};

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything else: no window, no single-instance check, no
    // file read or written, so it is safe beside a running installation.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("RAZUDovuve %s\n", RAZUDOVUVE_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }

    const InstanceClaim instance;

    ReceiverApplication app(argc, argv);
    app.setApplicationName("RAZUDovuve");
    app.setApplicationVersion(RAZUDOVUVE_VERSION);
    // Ties the window to the menu entry scripts/install.sh writes, so the
    // desktop shows the entry's name and icon for it.
    QGuiApplication::setDesktopFileName("razudovuve");

    if (!instance.Won())
        return 0;

    MainWindow window(instance.Folder());
    if (!window.Create())
        return 0;
    instance.Lock().TellIfOnNetworkFileSystem(window.Core().Logs());
    window.show();
    return app.exec();
}
