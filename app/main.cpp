// The program's entry: --version, the instance claim, then the program put
// together: the Qt platform objects, the receiver core on them, and the
// window on the core or, with --service, the service's journal lines (a
// server without a desktop); then the core's start-up sequence.
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
#include "platform/SystemClock.h"
#include "qt/MainWindow.h"
#include "qt/QtSerialDevice.h"
#include "qt/QtTcp.h"
#include "qt/QtTimers.h"
#include "qt/QtUdp.h"
#include "qt/QtViews.h"
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

// The platform the receiver core runs on, the same with and without the
// window: the system clock, Qt timers, the units' UDP socket, the serial
// port and the TCP link to the monitoring software. Nothing is opened here;
// the core opens what its settings say when it starts.
struct QtPlatform {
    SystemClock clock;
    QtTimerFactory timers;
    QtUdpFactory udp;
    QtSerialDevice serial;
    QtTcpFactory tcp;

    ReceiverPlatform For(const std::string& folder) {
        ReceiverPlatform platform{clock, timers, udp, serial, folder};
        platform.tcp = &tcp;
        return platform;
    }
};

int RunWindow(int argc, char** argv, const InstanceClaim& instance) {
    ReceiverApplication<QApplication> app(argc, argv);
    app.setApplicationName("RAZUDovuve");
    app.setApplicationVersion(RAZUDOVUVE_VERSION);
    // Ties the window to the menu entry scripts/install.sh writes, so the
    // desktop shows the entry's name and icon for it.
    QGuiApplication::setDesktopFileName("razudovuve");

    QtPlatform platform;
    ServiceNotifier notifier(platform.timers);
    // Built in this order, gone in the reverse: the window before the core
    // it shows, the core before the platform.
    std::unique_ptr<Receiver> core;
    std::unique_ptr<QtSound> sound;
    std::unique_ptr<QtDialogs> dialogs;
    std::unique_ptr<MainWindow> window;
    // Also while a box is open (the close question, a warning): its loop
    // ends with the others.
    StopSignals stop([&](int) {
        notifier.Stopping();
        if (core)
            core->Stop();
        QCoreApplication::exit(0);
    });

    if (!instance.Won()) {
        const char* text = OTHER_INSTANCE_1 "\r\n" OTHER_INSTANCE_2;
        std::fprintf(stderr, "Warning: %s\n", text);
        QMessageBox::warning(nullptr, "Warning", QString::fromLatin1(text), QMessageBox::Ok);
        return 0;
    }

    core = std::make_unique<Receiver>(platform.For(instance.Folder()));
    sound = std::make_unique<QtSound>();
    dialogs = std::make_unique<QtDialogs>(nullptr);
    window = std::make_unique<MainWindow>(
        *core, WindowServices{platform.clock, platform.timers, *sound, *dialogs});
    dialogs->SetParent(window.get());
    if (!window->Create() || core->Stopped())
        return 0;
    instance.Lock().TellIfOnNetworkFileSystem(core->Logs());
    notifier.Ready([&] { return core->Status(); });
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

    QtPlatform platform;
    Receiver core(platform.For(instance.Folder()));
    const ServiceHost host(core, platform.clock);
    ServiceNotifier notifier(platform.timers);
    StopSignals stop([&](int) {
        notifier.Stopping();
        core.Stop();
        QCoreApplication::exit(0);
    });
    // A start-up error has been told on stderr; the service manager starts
    // the service again.
    if (!core.Start())
        return kCannotRun;
    instance.Lock().TellIfOnNetworkFileSystem(core.Logs());
    notifier.Ready([&] { return core.Status(); });
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
