// startup: how long the receiver takes from process start until it logs
// "UDP Server Listen Port", i.e. until units can reach it.
//
//   usage: startup DIR RUNS [--service]
//
// DIR is an installation (RAZUDovuve, Wav/, RAZUDovuve.ini and, if wanted, a
// RAZUDovuve.db). Each run removes DIR/Log, starts DIR/RAZUDovuve offscreen
// with a desktop-session folder of its own (with --service: as the service,
// without any display), watches today's All-messages file every half
// millisecond, takes the receiver's resident memory once the line is there,
// stops the receiver, and prints "startup run=.. ms=.. rss_kb=..". The last
// line is "startup runs=.. median_ms=.. min_ms=.. max_ms=.. rss_kb=.." (the
// median memory).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

// Whether any file in the All-messages folder holds `text`.
bool LogHolds(const std::string& folder, const std::string& text) {
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(folder + "/" + e->d_name, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(f)),
                               std::istreambuf_iterator<char>());
        if (data.find(text) != std::string::npos) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

// Resident memory of a process in kB (VmRSS), 0 when unknown.
long RssKb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool service = argc == 4 && std::string(argv[3]) == "--service";
    if (argc != 3 && !service) {
        std::fprintf(stderr, "usage: startup DIR RUNS [--service]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int runs = std::max(1, std::atoi(argv[2]));
    const std::string runtime = dir + "/run";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);

    std::vector<double> ms;
    std::vector<long> rss;
    for (int run = 1; run <= runs; ++run) {
        std::filesystem::remove_all(dir + "/Log");
        const auto start = Steady::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int out =
                ::open((dir + "/startup-output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            if (service) {
                ::unsetenv("QT_QPA_PLATFORM");
                ::unsetenv("DISPLAY");
                ::unsetenv("WAYLAND_DISPLAY");
            } else {
                ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            }
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            const std::string exe = dir + "/RAZUDovuve";
            ::execl(exe.c_str(), exe.c_str(), service ? "--service" : static_cast<char*>(nullptr),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        bool up = false;
        while (Steady::now() - start < std::chrono::seconds(20)) {
            if (LogHolds(dir + "/Log/All msg", "UDP Server Listen Port")) {
                up = true;
                break;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                break;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        const double elapsed =
            std::chrono::duration<double, std::milli>(Steady::now() - start).count();
        rss.push_back(RssKb(pid));
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (!up) {
            std::fprintf(stderr, "startup: run %d never logged \"UDP Server Listen Port\"\n", run);
            return 1;
        }
        std::printf("startup run=%d ms=%.1f rss_kb=%ld\n", run, elapsed, rss.back());
        ms.push_back(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(rss.begin(), rss.end());
    std::printf("startup runs=%zu median_ms=%.1f min_ms=%.1f max_ms=%.1f rss_kb=%ld\n", ms.size(),
                ms[ms.size() / 2], ms.front(), ms.back(), rss[rss.size() / 2]);
    return 0;
}
