#include "qt/StopSignals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvan {

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void StopSignals::BlockEarly() {
    const sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals(std::function<void(int signal)> onStop) : onStop_(std::move(onStop)) {
    const sigset_t set = StopSet();
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        // Without the watch the signals would stay blocked and never end
        // the program: they get their default action back instead.
        std::fprintf(stderr, "No orderly stop on SIGTERM: %s\n", std::strerror(errno));
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Take(); });
}

StopSignals::~StopSignals() {
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

void StopSignals::Take() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (onStop_)
            onStop_(static_cast<int>(info.ssi_signo));
    }
}

}  // namespace korvan
