// The program's entry: --version, the instance claim, then the receiver with
// its window or, with --service, without one (a server without a desktop).
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>

#include "base/FolderLock.h"
#include "core/Receiver.h"
#include "platform/ServiceNotifier.h"
#include "qt/MainWindow.h"
#include "qt/QtTimers.h"
#include "qt/ServiceHost.h"
#include "qt/StopSignals.h"

using namespace korvan;

namespace {

// A start of the service that cannot run now (EX_TEMPFAIL): the service
// manager tries again later.
constexpr int kCannotRun = 75;

// The warning of a start that finds another instance running, in its two lines.
#define OTHER_INSTANCE_1 "The other instance of RAZUDovuve is running."
#define OTHER_INSTANCE_2 "Only one instance of the programm is allowed"

// An error that no handler of the program caught is reported, and the
// program carries on: in an error box with the window, on stderr without.
template <typename Base>
class ReceiverApplication : public Base {
public:
    using Base::Base;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return Base::notify(receiver, event);
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
        if constexpr (std::is_base_of_v<QApplication, Base>) {
            if (showing_)
                return;
            showing_ = true;
            QMessageBox::critical(QApplication::activeWindow(), "Error",
                                  QString::fromLocal8Bit(what));
            showing_ = false;
        }
    }

    bool showing_ = false;
};

// The installation's folder claimed for this process, before anything in it
// is created, read or opened (Qt itself reads qt.conf from the program's
// folder), and held until the process ends: a second start on the folder,
// from any session or user, window or service, that loses touches neither
// settings, database, journal, logs, UDP port nor serial port.
class InstanceClaim {
public:
    InstanceClaim() : lock_(FolderLock::ExecutableFolder()), claim_(lock_.TakeClaim()) {
        if (claim_ == FolderLock::Claim::CannotOpen)
            std::fprintf(stderr, "Instance lock not taken: %s\n", lock_.Failure().c_str());
    }

    bool Won() const { return claim_ == FolderLock::Claim::Claimed; }
    // The folder of the installation, ending with "/".
    const std::string& Folder() const { return lock_.Folder(); }
    const FolderLock& Lock() const { return lock_; }

private:
    FolderLock lock_;
    FolderLock::Claim claim_;
};

int RunWindow(int argc, char** argv, const InstanceClaim& instance) {
    ReceiverApplication<QApplication> app(argc, argv);
    app.setApplicationName("RAZUDovuve");
    app.setApplicationVersion(RAZUDOVUVE_VERSION);
    // Ties the window to the menu entry scripts/install.sh writes, so the
    // desktop shows the entry's name and icon for it.
    QGuiApplication::setDesktopFileName("razudovuve");

    QtTimerFactory timers;
    ServiceNotifier notifier(timers);
    std::unique_ptr<MainWindow> window;
    // Also while a box is open (the close question, a warning): its loop
    // ends with the others.
    StopSignals stop([&](int) {
        notifier.Stopping();
        if (window)
            window->Core().Stop();
        QCoreApplication::exit(0);
    });

    if (!instance.Won()) {
        const char* text = OTHER_INSTANCE_1 "\r\n" OTHER_INSTANCE_2;
        std::fprintf(stderr, "Warning: %s\n", text);
        QMessageBox::warning(nullptr, "Warning", QString::fromLatin1(text), QMessageBox::Ok);
        return 0;
    }

    window = std::make_unique<MainWindow>(instance.Folder());
    if (!window->Create() || window->Core().Stopped())
        return 0;
    instance.Lock().TellIfOnNetworkFileSystem(window->Core().Logs());
    notifier.Ready([&] { return ReceiverStatus(window->Core()); });
    window->show();
    return app.exec();
}

int RunService(int argc, char** argv, const InstanceClaim& instance) {
    ReceiverApplication<QCoreApplication> app(argc, argv);
    app.setApplicationName("RAZUDovuve");
    app.setApplicationVersion(RAZUDOVUVE_VERSION);

    if (!instance.Won()) {
        std::fprintf(stderr, "<3>Warning: " OTHER_INSTANCE_1 " " OTHER_INSTANCE_2 "\n");
        return kCannotRun;
    }

    ServiceHost host(instance.Folder());
    ServiceNotifier notifier(host.Timers());
    StopSignals stop([&](int) {
        notifier.Stopping();
        host.Core().Stop();
        QCoreApplication::exit(0);
    });
    // A start-up error has been told on stderr; the service manager starts
    // the service again.
    if (!host.Core().Start())
        return kCannotRun;
    instance.Lock().TellIfOnNetworkFileSystem(host.Core().Logs());
    notifier.Ready([&] { return ReceiverStatus(host.Core()); });
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    bool service = false;
    for (int i = 1; i < argc; ++i) {
        // Answered before anything else: no window, no instance claim, no
        // file read or written, so it is safe beside a running installation.
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("RAZUDovuve %s\n", RAZUDOVUVE_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--service") == 0)
            service = true;
    }

    // Before Qt starts any thread.
    StopSignals::BlockEarly();
    const InstanceClaim instance;
    return service ? RunService(argc, argv, instance) : RunWindow(argc, argv, instance);
}
