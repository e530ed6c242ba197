// startup: how long the receiver takes from process start until it logs
// "UDP Server Listen Port", i.e. until units can reach it.
//
//   usage: startup DIR RUNS
//
// DIR is an installation (RAZUDovuve, Wav/, RAZUDovuve.ini and, if wanted, a
// RAZUDovuve.db). Each run removes DIR/Log, starts DIR/RAZUDovuve offscreen
// with a desktop-session folder of its own, watches today's All-messages file
// every half millisecond, stops the receiver once the line is there, and
// prints "startup run=.. ms=..". The last line is
// "startup runs=.. median_ms=.. min_ms=.. max_ms=..".

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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: startup DIR RUNS\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int runs = std::max(1, std::atoi(argv[2]));
    const std::string runtime = dir + "/run";
    std::filesystem::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);

    std::vector<double> ms;
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
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            const std::string exe = dir + "/RAZUDovuve";
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
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
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (!up) {
            std::fprintf(stderr, "startup: run %d never logged \"UDP Server Listen Port\"\n", run);
            return 1;
        }
        std::printf("startup run=%d ms=%.1f\n", run, elapsed);
        ms.push_back(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("startup runs=%zu median_ms=%.1f min_ms=%.1f max_ms=%.1f\n", ms.size(),
                ms[ms.size() / 2], ms.front(), ms.back());
    return 0;
}
