// monitor-sim: plays the central station's monitoring software at the far end
// of the receiver's serial line or TCP link. It reads the receiver's 20-character lines
// (each closed by 0x14), checks their form, answers each one as told, and at
// the end prints what arrived. See --help.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "tools/monitor-sim/LineCheck.h"
#include "tools/monitor-sim/Responder.h"
#include "tools/monitor-sim/Tally.h"
#include "tools/monitor-sim/TcpEndpoint.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: monitor-sim (--device PATH | --pty-dir DIR [--name NAME] |\n"
    "                    --tcp-listen [ADDRESS:]PORT | --tcp-connect HOST:PORT) [options]\n"
    "\n"
    "  --device PATH        open a serial device (raw, 9600 8N1, exclusive)\n"
    "  --pty-dir DIR        create a pseudo-terminal and link its slave as DIR/ports/NAME,\n"
    "                       the place the receiver looks for a port name; the link is\n"
    "                       removed at exit\n"
    "  --name NAME          port name for --pty-dir (default COM7)\n"
    "  --tcp-listen A       listen on [ADDRESS:]PORT (default address 127.0.0.1) for the\n"
    "                       receiver, which connects to it; a new connection replaces the\n"
    "                       one before it\n"
    "  --tcp-connect A      connect to the receiver listening on HOST:PORT, and again\n"
    "                       every 0.5 s while refused or lost\n"
    "  --behaviour B        how each line is answered:\n"
    "                         ack          0x06 (default)\n"
    "                         nak:N        0x15 to the first N transmissions of a line,\n"
    "                                      then 0x06\n"
    "                         silent       never answer\n"
    "                         garbage[:X]  one byte X that means nothing (default 0x3F)\n"
    "                         late:MS      0x06 after MS milliseconds\n"
    "  --ack-delay-ms MS    wait before each answer (default 0; late:MS brings its own)\n"
    "  --duration S         stop after S seconds\n"
    "  --expect N           stop once N lines have arrived and been answered\n"
    "  --log FILE           write every received line to FILE, one per line (LF)\n"
    "  --quiet              do not print each line (malformed lines are still printed)\n"
    "\n"
    "Stops on SIGINT or SIGTERM too. The last output line reads\n"
    "  summary lines=.. events=.. troubles=.. restores=.. heartbeats=.. malformed=..\n"
    "  retransmissions=.. rate=..\n"
    "Exit status: 0 all well, 1 malformed lines arrived or --expect was not reached,\n"
    "2 bad options or the port could not be opened.\n";

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string device;
    std::string ptyDir;
    std::string tcpListen;
    std::string tcpConnect;
    std::string name = "COM7";
    std::string behaviour = "ack";
    std::string logPath;
    int ackDelayMs = 0;
    double durationS = 0;  // 0: no limit
    long expect = 0;       // 0: no limit
    bool quiet = false;
};

bool ParseLong(const std::string& text, long& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

bool ParseDouble(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

// Returns an empty text when the options are usable, else what is wrong.
std::string ParseOptions(int argc, char** argv, Options& o, bool& help) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const auto takeValue = [&](std::string& out) -> bool {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return {};
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--device") {
            if (!takeValue(o.device))
                return "--device needs a path";
        } else if (arg == "--pty-dir") {
            if (!takeValue(o.ptyDir))
                return "--pty-dir needs a folder";
        } else if (arg == "--tcp-listen") {
            if (!takeValue(o.tcpListen))
                return "--tcp-listen needs [ADDRESS:]PORT";
        } else if (arg == "--tcp-connect") {
            if (!takeValue(o.tcpConnect))
                return "--tcp-connect needs HOST:PORT";
        } else if (arg == "--name") {
            if (!takeValue(o.name))
                return "--name needs a port name";
        } else if (arg == "--behaviour" || arg == "--behavior") {
            if (!takeValue(o.behaviour))
                return "--behaviour needs a value";
        } else if (arg == "--log") {
            if (!takeValue(o.logPath))
                return "--log needs a file";
        } else if (arg == "--ack-delay-ms") {
            long ms = 0;
            if (!takeValue(v) || !ParseLong(v, ms) || ms < 0 || ms > 3600L * 1000) {
                return "--ack-delay-ms needs milliseconds (0..3600000)";
            }
            o.ackDelayMs = static_cast<int>(ms);
        } else if (arg == "--duration") {
            if (!takeValue(v) || !ParseDouble(v, o.durationS) || !(o.durationS > 0)) {
                return "--duration needs a number of seconds above 0";
            }
        } else if (arg == "--expect") {
            if (!takeValue(v) || !ParseLong(v, o.expect) || o.expect <= 0) {
                return "--expect needs a number of lines above 0";
            }
        } else {
            return "unknown option " + arg;
        }
    }
    const int ways =
        !o.device.empty() + !o.ptyDir.empty() + !o.tcpListen.empty() + !o.tcpConnect.empty();
    if (ways != 1)
        return "give one of --device, --pty-dir, --tcp-listen and --tcp-connect";
    if (o.name.empty() || o.name == "." || o.name == ".." ||
        o.name.find('/') != std::string::npos) {
        return "--name must be a plain file name";
    }
    return {};
}

// Local wall-clock time with milliseconds, for the printed lines only.
std::string Stamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[64];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", ts.tv_nsec / 1000000);
    return text;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void MakeRaw(termios& tio) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

bool MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

// The file descriptor the lines arrive on, with what it takes to give it back.
class Port {
public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { Close(); }

    bool OpenDevice(const std::string& path, std::string& error) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            error = Errno("cannot open " + path);
            return false;
        }
        if (ioctl(fd_, TIOCEXCL) != 0) {
            error = Errno("cannot take " + path + " exclusively");
            return false;
        }
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) {
            error = Errno(path + " is not a serial device");
            return false;
        }
        MakeRaw(tio);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
            error = Errno("cannot set 9600 8N1 raw on " + path);
            return false;
        }
        tcflush(fd_, TCIOFLUSH);
        description_ = path + " (9600 8N1)";
        return true;
    }

    bool OpenPty(const std::string& dir, const std::string& name, std::string& error) {
        termios tio{};
        cfmakeraw(&tio);
        MakeRaw(tio);
        if (openpty(&fd_, &slave_, nullptr, &tio, nullptr) != 0) {
            error = Errno("openpty failed");
            return false;
        }
        // Holding the slave open keeps the master readable while the receiver
        // has not opened the port yet or has closed it again.
        tcsetattr(slave_, TCSANOW, &tio);
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        fcntl(fd_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        char slaveName[256] = {};
        if (ttyname_r(slave_, slaveName, sizeof slaveName) != 0) {
            error = "cannot name the pseudo-terminal";
            return false;
        }
        slaveName_ = slaveName;

        const std::string ports = dir + "/ports";
        if (!MakeFolder(dir) || !MakeFolder(ports)) {
            error = Errno("cannot create the folder " + ports);
            return false;
        }
        const std::string link = ports + "/" + name;
        struct stat st {};
        if (lstat(link.c_str(), &st) == 0) {
            // A link left by a run that was killed is replaced; anything else is not ours.
            if (!S_ISLNK(st.st_mode)) {
                error = link + " exists and is not a link";
                return false;
            }
            unlink(link.c_str());
        }
        if (symlink(slaveName_.c_str(), link.c_str()) != 0) {
            error = Errno("cannot link " + link);
            return false;
        }
        link_ = link;
        description_ = name + " at " + link + " -> " + slaveName_;
        return true;
    }

    // Lets the last answers reach the other end before the port goes: closing
    // a pty master throws away what the slave side has not read yet. A byte
    // written to the master reaches the slave's queue a moment later, so an
    // empty queue right after the write proves nothing; hence the first pause.
    void Drain() {
        if (fd_ < 0)
            return;
        if (slave_ < 0) {
            tcdrain(fd_);
            return;
        }
        usleep(100 * 1000);
        for (int i = 0; i < 100; ++i) {
            int waiting = 0;
            if (ioctl(slave_, FIONREAD, &waiting) != 0 || waiting == 0)
                return;
            usleep(10 * 1000);
        }
    }

    void Close() {
        if (!link_.empty()) {
            // Only the link this run made, in case another run has taken the name since.
            char target[256] = {};
            const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
            if (n > 0 && slaveName_ == std::string(target, static_cast<size_t>(n))) {
                unlink(link_.c_str());
            }
            link_.clear();
        }
        if (slave_ >= 0)
            close(slave_);
        if (fd_ >= 0)
            close(fd_);
        slave_ = fd_ = -1;
    }

    int Fd() const { return fd_; }
    const std::string& Description() const { return description_; }

private:
    int fd_ = -1;
    int slave_ = -1;
    std::string slaveName_;
    std::string link_;
    std::string description_;
};

// The TCP link to the receiver: a listener with at most one connection (a
// new one replaces it), or a connection of our own, made again while
// refused or lost. A lost connection is no failure: the run goes on.
class TcpPort {
public:
    TcpPort() = default;
    TcpPort(const TcpPort&) = delete;
    TcpPort& operator=(const TcpPort&) = delete;
    ~TcpPort() {
        CloseConnection();
        if (listenFd_ >= 0)
            close(listenFd_);
    }

    bool Listen(const monsim::TcpEndpoint& at, std::string& error) {
        addrinfo* ai = Resolve(at, AI_PASSIVE, error);
        if (ai == nullptr)
            return false;
        listenFd_ = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        if (listenFd_ >= 0)
            setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const bool ok = listenFd_ >= 0 && bind(listenFd_, ai->ai_addr, ai->ai_addrlen) == 0 &&
                        listen(listenFd_, 4) == 0;
        freeaddrinfo(ai);
        if (!ok) {
            error = Errno("cannot listen on " + at.host + ":" + std::to_string(at.port));
            return false;
        }
        description_ = "TCP " + at.host + ":" + std::to_string(at.port);
        return true;
    }

    void ConnectTo(const monsim::TcpEndpoint& to) {
        target_ = to;
        connecting_ = true;
        description_ =
            "TCP " + to.host + ":" + std::to_string(to.port) + " (connecting to the receiver)";
    }

    // A new connection waits on the listener: it replaces the one before.
    void Accept() {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &len,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        const bool replacing = connFd_ >= 0;
        CloseConnection();
        Use(fd);
        std::printf("%s  connection from %s%s\n", Stamp().c_str(), PeerText(fd).c_str(),
                    replacing ? " replaces the one before" : "");
    }

    // Connecting: tries again at most every 0.5 s while there is no connection.
    void KeepConnected(Clock::time_point now) {
        if (!connecting_ || connFd_ >= 0 || now < nextTry_)
            return;
        nextTry_ = now + std::chrono::milliseconds(500);
        std::string error;
        addrinfo* ai = Resolve(target_, 0, error);
        if (ai == nullptr)
            return;
        const int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        freeaddrinfo(ai);
        if (!ok) {
            if (fd >= 0)
                close(fd);
            return;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        Use(fd);
        std::printf("%s  connected to %s\n", Stamp().c_str(), PeerText(fd).c_str());
    }

    void Lost(const std::string& why) {
        std::printf("%s  connection lost: %s\n", Stamp().c_str(), why.c_str());
        CloseConnection();
    }

    int ListenFd() const { return listenFd_; }
    int ConnFd() const { return connFd_; }
    const std::string& Description() const { return description_; }

private:
    static addrinfo* Resolve(const monsim::TcpEndpoint& e, int flags, std::string& error) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = flags;
        addrinfo* ai = nullptr;
        const int rc = getaddrinfo(e.host.c_str(), std::to_string(e.port).c_str(), &hints, &ai);
        if (rc != 0) {
            error = "cannot resolve " + e.host + ": " + gai_strerror(rc);
            return nullptr;
        }
        return ai;
    }

    static std::string PeerText(int fd) {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        char host[INET6_ADDRSTRLEN] = "?";
        char serv[16] = "?";
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, serv, sizeof serv,
                        NI_NUMERICHOST | NI_NUMERICSERV);
        return std::string(host) + ":" + serv;
    }

    void Use(int fd) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connFd_ = fd;
    }

    void CloseConnection() {
        if (connFd_ >= 0)
            close(connFd_);
        connFd_ = -1;
    }

    int listenFd_ = -1;
    int connFd_ = -1;
    bool connecting_ = false;
    monsim::TcpEndpoint target_;
    Clock::time_point nextTry_{};
    std::string description_;
};

std::string DescribeBehaviour(const monsim::Behaviour& b) {
    using monsim::AnswerMode;
    char text[128];
    switch (b.mode) {
        case AnswerMode::Ack:
            std::snprintf(text, sizeof text, "ACK after %d ms", b.delayMs);
            break;
        case AnswerMode::Nak:
            std::snprintf(text, sizeof text,
                          "NAK to the first %d transmissions of a line, then ACK, after %d ms",
                          b.nakCount, b.delayMs);
            break;
        case AnswerMode::Silent:
            std::snprintf(text, sizeof text, "no answer");
            break;
        case AnswerMode::Garbage:
            std::snprintf(text, sizeof text, "0x%02X after %d ms", b.garbageByte, b.delayMs);
            break;
        case AnswerMode::Late:
            std::snprintf(text, sizeof text, "ACK after %d ms (late)", b.delayMs);
            break;
    }
    return text;
}

struct DueAnswer {
    std::uint8_t byte;
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    Options opt;
    bool help = false;
    if (const std::string error = ParseOptions(argc, argv, opt, help); !error.empty()) {
        std::fprintf(stderr, "monitor-sim: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const auto behaviour = monsim::ParseBehaviour(opt.behaviour, opt.ackDelayMs);
    if (!behaviour) {
        std::fprintf(stderr, "monitor-sim: unknown behaviour \"%s\"\n\n%s", opt.behaviour.c_str(),
                     kUsage);
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a signal must wake poll()
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    FILE* log = nullptr;
    if (!opt.logPath.empty()) {
        log = std::fopen(opt.logPath.c_str(), "wb");
        if (!log) {
            std::fprintf(stderr, "monitor-sim: %s\n", Errno("cannot write " + opt.logPath).c_str());
            return 2;
        }
    }

    Port port;
    TcpPort tcp;
    const bool overTcp = !opt.tcpListen.empty() || !opt.tcpConnect.empty();
    std::string error;
    bool opened = false;
    if (!opt.tcpListen.empty()) {
        const auto at = monsim::ParseTcpEndpoint(opt.tcpListen, "127.0.0.1");
        opened = at && tcp.Listen(*at, error);
        if (!at)
            error = "--tcp-listen needs [ADDRESS:]PORT, not " + opt.tcpListen;
    } else if (!opt.tcpConnect.empty()) {
        const auto to = monsim::ParseTcpEndpoint(opt.tcpConnect, "");
        opened = to.has_value();
        if (to)
            tcp.ConnectTo(*to);
        else
            error = "--tcp-connect needs HOST:PORT, not " + opt.tcpConnect;
    } else {
        opened = opt.device.empty() ? port.OpenPty(opt.ptyDir, opt.name, error)
                                    : port.OpenDevice(opt.device, error);
    }
    if (!opened) {
        std::fprintf(stderr, "monitor-sim: %s\n", error.c_str());
        if (log)
            std::fclose(log);
        return 2;
    }
    std::printf("monitor-sim: on %s, answering %s\n",
                overTcp ? tcp.Description().c_str() : port.Description().c_str(),
                DescribeBehaviour(*behaviour).c_str());

    // The descriptor the lines arrive on and the answers leave by; -1 while
    // a TCP link has no connection.
    const auto lineFd = [&] { return overTcp ? tcp.ConnFd() : port.Fd(); };
    monsim::LineSplitter splitter;
    monsim::Responder responder(*behaviour);
    monsim::RepeatTracker repeats;
    monsim::Tally tally;
    std::multimap<Clock::time_point, DueAnswer> due;

    const Clock::time_point start = Clock::now();
    const bool limited = opt.durationS > 0;
    const Clock::time_point deadline =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(limited ? opt.durationS : 0.0));
    bool portFailed = false;

    while (!g_stop) {
        Clock::time_point now = Clock::now();
        if (limited && now >= deadline)
            break;

        // Answers whose time has come, oldest first.
        while (!due.empty() && due.begin()->first <= now) {
            const std::uint8_t byte = due.begin()->second.byte;
            due.erase(due.begin());
            if (lineFd() < 0 || write(lineFd(), &byte, 1) != 1) {
                std::fprintf(stderr, "monitor-sim: %s\n", Errno("answer not written").c_str());
                continue;
            }
            tally.CountAnswer(byte);
            repeats.Answered(byte != monsim::kNak);
        }
        if (opt.expect > 0 && tally.lines >= opt.expect && due.empty())
            break;

        Clock::time_point wake = now + std::chrono::milliseconds(250);
        if (!due.empty() && due.begin()->first < wake)
            wake = due.begin()->first;
        if (limited && deadline < wake)
            wake = deadline;
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();

        if (overTcp)
            tcp.KeepConnected(now);
        pollfd fds[2] = {{lineFd(), POLLIN, 0}, {tcp.ListenFd(), POLLIN, 0}};
        if (overTcp && lineFd() < 0)
            fds[0].fd = -1;  // poll ignores it
        const int ready = poll(
            fds, 2,
            static_cast<int>(overTcp && tcp.ConnFd() < 0 ? std::min<long>(waitMs, 100) : waitMs));
        pollfd& pfd = fds[0];
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "monitor-sim: %s\n", Errno("poll failed").c_str());
            portFailed = true;
            break;
        }
        if (ready == 0)
            continue;
        if (fds[1].revents & POLLIN)
            tcp.Accept();
        if (pfd.fd < 0 || pfd.revents == 0)
            continue;
        if (overTcp && !(pfd.revents & POLLIN)) {
            tcp.Lost("hung up");
            splitter = monsim::LineSplitter();
            continue;
        }
        if (!(pfd.revents & POLLIN)) {
            // A device that went away; the pty master never hangs up while
            // the slave is held open.
            std::fprintf(stderr, "monitor-sim: the port hung up\n");
            portFailed = true;
            break;
        }

        char buf[4096];
        const ssize_t n = read(pfd.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (overTcp && n <= 0) {
            tcp.Lost(n == 0 ? "closed by the receiver" : Errno("read failed"));
            splitter = monsim::LineSplitter();
            continue;
        }
        if (n <= 0) {
            std::fprintf(stderr, "monitor-sim: %s\n",
                         n == 0 ? "the port was closed" : Errno("read failed").c_str());
            portFailed = true;
            break;
        }

        for (const std::string& line :
             splitter.Feed(std::string_view(buf, static_cast<size_t>(n)))) {
            const monsim::LineVerdict verdict = monsim::ClassifyLine(line);
            const monsim::Repeat repeat = repeats.Observe(line);
            const monsim::Answer answer = responder.Decide(line);
            tally.Count(verdict, repeat);
            if (log) {
                std::fwrite(line.data(), 1, line.size(), log);
                std::fputc('\n', log);
                std::fflush(log);
            }
            if (answer.send) {
                due.emplace(Clock::now() + std::chrono::milliseconds(answer.delayMs),
                            DueAnswer{answer.byte});
            }

            const bool malformed = verdict.kind == monsim::LineKind::Malformed;
            if (opt.quiet && !malformed)
                continue;
            std::string text = Stamp() + "  #" + std::to_string(tally.lines) + "  ";
            char kind[16];
            std::snprintf(kind, sizeof kind, "%-9s", monsim::KindName(verdict.kind));
            text += kind;
            text += "  " + monsim::QuotedText(line);
            if (repeat == monsim::Repeat::Retransmission) {
                text += "  retransmission #" + std::to_string(repeats.Transmissions() - 1);
            } else if (repeat == monsim::Repeat::SameTextLater &&
                       verdict.kind != monsim::LineKind::Heartbeat) {
                text += "  same text later";
            }
            text += "  -> " + monsim::AnswerName(answer);
            if (answer.send && answer.delayMs > 0) {
                text += " in " + std::to_string(answer.delayMs) + " ms";
            }
            if (malformed)
                text += "  !! " + verdict.problem;
            if (!verdict.note.empty())
                text += "  (" + verdict.note + ")";
            std::printf("%s\n", text.c_str());
        }
    }

    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!portFailed)
        port.Drain();
    port.Close();
    if (log)
        std::fclose(log);

    std::printf("--- monitor-sim: %s ---\n", g_stop       ? "stopped by signal"
                                             : portFailed ? "port failed"
                                             : (opt.expect > 0 && tally.lines >= opt.expect)
                                                 ? "expected lines received"
                                                 : "time is up");
    std::printf("run time          %.1f s\n", seconds);
    std::printf("lines             %ld (%zu distinct)\n", tally.lines, repeats.Distinct());
    std::printf(
        "kinds             events %ld, troubles %ld, restores %ld, heartbeats %ld, "
        "malformed %ld\n",
        tally.events, tally.troubles, tally.restores, tally.heartbeats, tally.malformed);
    std::printf("retransmissions   %ld (the line in flight written again)\n",
                tally.retransmissions);
    std::printf("same text later   %ld (after an answer; heartbeats not counted)\n",
                tally.sameTextLater);
    if (tally.noted > 0)
        std::printf("with notes        %ld\n", tally.noted);
    std::printf("answers           ACK %ld, NAK %ld, other %ld, not sent %zu\n", tally.acks,
                tally.naks, tally.otherAnswers, due.size());
    if (!splitter.Pending().empty()) {
        std::printf("unterminated      %zu bytes after the last 0x14: %s\n",
                    splitter.Pending().size(), monsim::QuotedText(splitter.Pending()).c_str());
    }
    std::printf("%s\n", monsim::SummaryLine(tally, seconds).c_str());

    if (portFailed)
        return 2;
    const bool expectMissed = opt.expect > 0 && tally.lines < opt.expect;
    return (tally.malformed > 0 || expectMissed) ? 1 : 0;
}
