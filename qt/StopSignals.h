#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace korvan {

// SIGTERM and SIGINT as events of the event loop. BlockEarly() blocks both
// before any thread exists, so that no thread is interrupted by them and
// the kernel keeps them for a signalfd; the watch created afterwards turns
// each into a call of `onStop` on the main thread. A signal that came before
// the loop runs waits there until the loop (or a modal box's loop) looks.
class StopSignals : public QObject {
    Q_OBJECT
public:
    // Call first thing in main(), before Qt starts threads.
    static void BlockEarly();

    explicit StopSignals(std::function<void(int signal)> onStop);
    ~StopSignals() override;

private:
    void Take();

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void(int)> onStop_;
};

}  // namespace korvan
