#pragma once

// The field tools (unit-sim, monitor-sim) run beside the receiver.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/ReceiverHarness.h"

namespace e2e {

// The tools are built into the same folder as the receiver.
inline std::string ToolPath(const char* name) {
    return (std::filesystem::path(RAZUDOVUVE_EXE).parent_path() / name).string();
}

// A tool running in the background, its output going to a file.
class Tool {
public:
    Tool(const std::string& exe, const std::vector<std::string>& args, const std::string& output)
        : output_(output) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            std::vector<char*> raw;
            for (std::string& a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            ::execv(exe.c_str(), raw.data());
            ::_exit(127);
        }
    }
    ~Tool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    // Waits for the tool to end by itself; its exit code, or -1 when it had
    // to be stopped (or died of a signal).
    int Wait(int timeoutMs) {
        int status = 0;
        const bool ended =
            WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Output() const { return ReadFile(output_); }

private:
    std::string output_;
    pid_t pid_ = -1;
};

}  // namespace e2e
