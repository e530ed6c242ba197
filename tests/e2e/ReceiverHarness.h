#pragma once

// Runs the real executable in a fresh folder of its own: offscreen, its own
// desktop-session runtime folder, a free UDP port, and a pseudo-terminal the
// test holds as the monitoring software's end of the serial line. The
// receiver can run as an unprivileged user, so that file permissions hold
// when the tests run as root.

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// Waits for a condition with a deadline; the few end-to-end tests that need
// real time poll like this instead of sleeping a fixed time.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

// A UDP port free on loopback now, below the range the kernel hands out to
// sockets bound to port 0: a receiver killed and started again on it must
// not find it taken meanwhile by some test's unit socket, whose datagrams
// would then be answered by nobody or by another test's receiver.
inline std::uint16_t FreeUdpPort() {
    // Each test process starts at a place of its own.
    static std::uint32_t next = static_cast<std::uint32_t>(::getpid()) * 7919u;
    for (int tries = 0; tries < 12000; ++tries) {
        const std::uint16_t port = static_cast<std::uint16_t>(20000 + next++ % 12000);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

// Today's date as the receiver names its daily log file (it runs with TZ=UTC).
inline std::string TodayFile() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

class TempFolder {
public:
    TempFolder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korvan-e2e-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = tmpl + "/";
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Opens a pseudo-terminal in raw mode whose master does not block; returns
// the slave's device name.
inline std::string OpenRawPty(int& master, int& slave) {
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return name;
}

// The monitoring software's end of a pseudo-terminal.
class PtyPeer {
public:
    PtyPeer() { slaveName_ = OpenRawPty(master_, slave_); }
    ~PtyPeer() {
        if (master_ >= 0)
            ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
    }
    const std::string& SlaveName() const { return slaveName_; }
    // The test keeps its slave descriptor only until the receiver has opened
    // the port (the receiver opens it exclusively).
    void CloseSlave() {
        if (slave_ >= 0)
            ::close(slave_);
        slave_ = -1;
    }
    // Reads what arrived until `count` bytes are in, or the time is up.
    Bytes Read(std::size_t count, int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.size() < count && Clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            ::poll(&p, 1, 20);
            std::uint8_t b[512];
            const ssize_t n = ::read(master_, b, sizeof b);
            if (n > 0)
                buffer_.insert(buffer_.end(), b, b + n);
        }
        const std::size_t take = std::min(count, buffer_.size());
        Bytes out(buffer_.begin(), buffer_.begin() + static_cast<long>(take));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(take));
        return out;
    }
    // Reads one 21-byte transmission (20 characters and 0x14) as text without the terminator.
    std::string ReadLine(int timeoutMs) {
        const Bytes b = Read(21, timeoutMs);
        if (b.size() != 21 || b.back() != 0x14)
            return std::string(b.begin(), b.end());
        return std::string(b.begin(), b.end() - 1);
    }
    void Write(const Bytes& b) { (void)!::write(master_, b.data(), b.size()); }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
    Bytes buffer_;
};

class UdpUnit {
public:
    // `bindAddress`: any loopback address (127.x.y.z) lets a test play a
    // unit that has moved to another address.
    explicit UdpUnit(const char* bindAddress = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, bindAddress, &a.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpUnit() { ::close(fd_); }
    std::uint16_t Port() const { return port_; }
    void Send(std::uint16_t to, const Bytes& data) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // One answer, or empty when none came in time.
    Bytes Receive(int timeoutMs, std::uint16_t* fromPort = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return {};
        std::uint8_t b[9000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (fromPort != nullptr)
            *fromPort = ntohs(from.sin_port);
        return n > 0 ? Bytes(b, b + n) : Bytes{};
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// nobody:nogroup, the user the receiver runs as where file permissions must
// hold (root ignores them).
inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNobodyGid = 65534;

// Gives a folder tree (links themselves, not their targets) to uid:gid.
inline void ChownTree(const std::string& root, uid_t uid, gid_t gid) {
    ::lchown(root.c_str(), uid, gid);
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        ::lchown(e.path().c_str(), uid, gid);
}

// How Receiver::Start runs the process.
struct StartOptions {
    // Drop to nobody:nogroup before the receiver runs (when the test runs as
    // root); the installation folder and its runtime folder are given to it.
    bool asNobody = false;
    // Runs in the child, as the test's user, before the privileges are
    // dropped and the receiver is executed; false aborts the start with the
    // exit code 126 (for example: a mount that is not allowed here).
    std::function<bool()> prepare;
    // Started under this program with the receiver's path appended to its
    // arguments (strace, say), in a process group of its own that Kill ends
    // as a whole.
    std::vector<std::string> wrapper;
    // Started outside any desktop session: XDG_RUNTIME_DIR unset.
    bool noRuntimeDir = false;
    // Arguments after the program's name ("--service").
    std::vector<std::string> args;
    // No display of any kind (no QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY).
    bool noDisplay = false;
    // More environment for the receiver (NOTIFY_SOCKET, WATCHDOG_USEC).
    std::vector<std::pair<std::string, std::string>> env;
};

// What a second copy started on a folder in use says before it gives up.
inline const std::string kOtherInstance = "The other instance of RAZUDovuve is running.";

// One installation of the receiver in a fresh folder.
class Receiver {
public:
    // `runtimeDir` is the desktop session (single-instance scope); by default
    // the installation gets a session of its own.
    explicit Receiver(const std::string& runtimeDir = "") {
        dir_ = folder_.Path();
        runtimeDir_ = runtimeDir.empty() ? dir_ + "run" : runtimeDir;
        std::filesystem::create_directories(runtimeDir_);
        ::chmod(runtimeDir_.c_str(), 0700);
        std::filesystem::copy_file(RAZUDOVUVE_EXE, dir_ + "RAZUDovuve");
        std::filesystem::copy(RAZUDOVUVE_WAV_DIR, dir_ + "Wav",
                              std::filesystem::copy_options::recursive);
    }
    // An installation made elsewhere (by scripts/install.sh, say): nothing
    // is copied; the desktop-session folder and the captured output live in
    // the harness's own temporary folder.
    struct Installed {
        std::string dir;
    };
    explicit Receiver(const Installed& installed) {
        dir_ = installed.dir.ends_with('/') ? installed.dir : installed.dir + "/";
        runtimeDir_ = folder_.Path() + "run";
        std::filesystem::create_directories(runtimeDir_);
        ::chmod(runtimeDir_.c_str(), 0700);
    }
    ~Receiver() { Kill(); }

    const std::string& Dir() const { return dir_; }
    const std::string& RuntimeDir() const { return runtimeDir_; }

    // Writes the seven-line settings file.
    void WriteSettings(std::uint16_t udpPort, const std::string& serial = "COM7", int trouble1 = 15,
                       int trouble2 = 60, int trouble3 = 240, int delay = 7, int ping = 30) {
        WriteFile(dir_ + "RAZUDovuve.ini",
                  std::to_string(udpPort) + "\r\n" + serial + "\r\n" + std::to_string(trouble1) +
                      "\r\n" + std::to_string(trouble2) + "\r\n" + std::to_string(trouble3) +
                      "\r\n" + std::to_string(delay) + "\r\n" + std::to_string(ping) + "\r\n");
    }
    // Points ports/<name> at the pseudo-terminal's slave.
    void LinkPort(const std::string& name, const std::string& target) {
        std::filesystem::create_directories(dir_ + "ports");
        std::filesystem::create_symlink(target, dir_ + "ports/" + name);
    }

    void Start(const StartOptions& options = {}) {
        stderrPath_ = folder_.Path() + "stderr.txt";
        const bool drop = options.asNobody && ::getuid() == 0;
        if (drop) {
            ChownTree(dir_, kNobodyUid, kNobodyGid);
            if (runtimeDir_.rfind(dir_, 0) != 0)
                ChownTree(runtimeDir_, kNobodyUid, kNobodyGid);
        }
        group_ = !options.wrapper.empty();
        pid_ = ::fork();
        if (group_)
            ::setpgid(pid_ > 0 ? pid_ : 0, 0);  // both sides: no race with Kill
        if (pid_ != 0)
            return;
        const int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            if (drop)
                (void)!::fchown(err, kNobodyUid, kNobodyGid);
            ::dup2(err, 2);
            ::dup2(err, 1);
        }
        // The test's own sockets and pseudo-terminal ends stay with the
        // test: a unit socket or a serial peer held by the receiver too
        // would blur what each side sees, and a monitoring peer whose master
        // the receiver held too could not vanish.
        ::close_range(3, ~0U, 0);
        if (options.prepare && !options.prepare())
            ::_exit(126);
        if (drop) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGid) != 0 ||
                ::setuid(kNobodyUid) != 0)
                ::_exit(125);
            ::setenv("HOME", dir_.c_str(), 1);
        }
        options.noDisplay ? ::unsetenv("QT_QPA_PLATFORM")
                          : ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        if (options.noRuntimeDir)
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
        ::setenv("TZ", "UTC", 1);
        ::unsetenv("DISPLAY");
        for (const auto& [name, value] : options.env) ::setenv(name.c_str(), value.c_str(), 1);
        std::string exe = dir_ + "RAZUDovuve";
        std::vector<char*> argv;
        for (const std::string& a : options.wrapper) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(exe.data());
        for (const std::string& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    bool Running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exitStatus_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }
    // Waits for the process to end by itself.
    bool WaitExit(int timeoutMs) {
        return WaitFor([this] { return !Running(); }, timeoutMs);
    }
    int ExitStatus() const { return exitStatus_; }
    void Kill(int sig = SIGKILL) {
        if (pid_ > 0) {
            ::kill(group_ ? -pid_ : pid_, sig);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            exitStatus_ = status;
            pid_ = -1;
        }
    }
    pid_t Pid() const { return pid_; }
    std::string Stderr() const { return ReadFile(stderrPath_); }
    // Resident memory of the running process in kB (VmRSS), 0 when unknown.
    long RssKb() const {
        const std::string s = ReadFile("/proc/" + std::to_string(pid_) + "/status");
        const std::size_t at = s.find("VmRSS:");
        return at == std::string::npos ? 0 : std::atol(s.c_str() + at + 6);
    }

    std::string AllLog() const { return ReadFile(dir_ + "Log/All msg/" + TodayFile() + ".log"); }
    std::string ImpLog() const { return ReadFile(dir_ + "Log/Imp_msg.log"); }
    std::string ErrLog() const { return ReadFile(dir_ + "Log/Errors.log"); }
    std::string Db() const { return ReadFile(dir_ + "RAZUDovuve.db"); }

    bool WaitAllLog(const std::string& text, int timeoutMs = 10000) const {
        return WaitFor([&] { return AllLog().find(text) != std::string::npos; }, timeoutMs);
    }
    bool WaitImpLog(const std::string& text, int timeoutMs = 10000) const {
        return WaitFor([&] { return ImpLog().find(text) != std::string::npos; }, timeoutMs);
    }
    bool WaitErrLog(const std::string& text, int timeoutMs = 10000) const {
        return WaitFor([&] { return ErrLog().find(text) != std::string::npos; }, timeoutMs);
    }
    bool WaitStderr(const std::string& text, int timeoutMs = 10000) const {
        return WaitFor([&] { return Stderr().find(text) != std::string::npos; }, timeoutMs);
    }
    // Puts a unit database in place before the start.
    void WriteDb(const std::string& bytes) { WriteFile(dir_ + "RAZUDovuve.db", bytes); }

private:
    TempFolder folder_;
    std::string dir_;
    std::string runtimeDir_;
    std::string stderrPath_;
    pid_t pid_ = -1;
    bool group_ = false;
    int exitStatus_ = 0;
};

// Now as the unit database counts time: whole seconds since 2000-01-01
// 00:00:00 of the receiver's wall clock (UTC, as the harness runs it).
inline std::int64_t DbSecondsNow() {
    return static_cast<std::int64_t>(std::time(nullptr)) - 946684800;
}

// Log text without the leading time stamps: every line's "yyyy.mm.dd hh:nn:ss - "
// is cut, empty lines kept.
inline std::vector<std::string> LogMessages(const std::string& log) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find("\r\n", start);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(start, end - start);
        if (line.size() >= 22 && line.compare(19, 3, " - ") == 0)
            line = line.substr(22);
        out.push_back(line);
        start = end + 2;
    }
    return out;
}

}  // namespace e2e
