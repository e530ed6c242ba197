// bare-responder: the least a receiver must do for each unit datagram, as the
// yardstick the receiver's own rate is measured against. For every datagram:
// check its CRC-8/MAXIM, write the same three log entries the receiver writes
// for a Ping (each one open, append, close on the daily file under
// DIR/Log/All msg), and answer with a 15-byte ACK carrying the local time.
// POSIX only, one thread, no framework.
//
//   usage: bare-responder PORT DIR [--answer-only]
//
// --answer-only skips the log entries: what is left is the cost of the
// network path and of the client that measures, the ceiling of any figure.
//
// Runs until SIGINT or SIGTERM, then prints "bare received=.. answered=..
// refused=..".

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

// CRC-8/MAXIM: reflected polynomial 0x8C, initial value 0, no final XOR.
std::uint8_t Crc8(const std::uint8_t* data, std::size_t size) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        std::uint8_t b = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ b) & 1) != 0;
            crc = static_cast<std::uint8_t>(crc >> 1);
            if (mix)
                crc ^= 0x8C;
            b = static_cast<std::uint8_t>(b >> 1);
        }
    }
    return crc;
}

// One log entry: open, append, close, as the receiver writes every entry.
bool AppendEntry(const std::string& path, const char* text, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text, size) == static_cast<ssize_t>(size);
    return ::close(fd) == 0 && ok;
}

void MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "bare-responder: cannot create %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool answerOnly = argc == 4 && std::strcmp(argv[3], "--answer-only") == 0;
    if (argc != 3 && !answerOnly) {
        std::fprintf(stderr, "usage: bare-responder PORT DIR [--answer-only]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string dir = argv[2];
    MakeFolder(dir + "/Log");
    MakeFolder(dir + "/Log/All msg");

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "bare-responder: cannot bind UDP port %d: %s\n", port,
                     std::strerror(errno));
        return 1;
    }
    // The same receive buffer the receiver asks for.
    int rcvbuf = 16 * 1024 * 1024;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    std::printf("bare-responder listening on UDP port %d\n", port);
    std::fflush(stdout);

    unsigned long received = 0, answered = 0, refused = 0;
    std::uint8_t in[8193];
    while (gStop == 0) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            continue;  // EINTR at the stop signal
        ++received;
        const auto size = static_cast<std::size_t>(n);
        if (size < 9 || Crc8(in, size - 1) != in[size - 1]) {
            ++refused;
            continue;
        }

        timeval tv{};
        ::gettimeofday(&tv, nullptr);
        std::tm lt{};
        ::localtime_r(&tv.tv_sec, &lt);
        char stamp[80];
        std::snprintf(stamp, sizeof stamp, "%04d.%02d.%02d %02d:%02d:%02d", lt.tm_year + 1900,
                      lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
        char day[40];
        std::snprintf(day, sizeof day, "%04d-%02d-%02d", lt.tm_year + 1900, lt.tm_mon + 1,
                      lt.tm_mday);
        const std::string path = dir + "/Log/All msg/" + day + ".log";

        char address[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        char hex[2 * sizeof in + 1];
        for (std::size_t i = 0; i < size; ++i) {
            static const char digits[] = "0123456789ABCDEF";
            hex[2 * i] = digits[in[i] >> 4];
            hex[2 * i + 1] = digits[in[i] & 15];
        }
        hex[2 * size] = '\0';
        const int unit = in[7] * 1000 + in[6] * 100 + in[5] * 10 + in[4];
        const int frameId = in[2] << 8 | in[3];

        char line[sizeof hex + 256];
        int len = std::snprintf(line, sizeof line, "\r\n%s - Receive from %s:%d (%zu b.): 0x%s\r\n",
                                stamp, address, ntohs(from.sin_port), size, hex);
        if (!answerOnly)
            AppendEntry(path, line, static_cast<std::size_t>(len));
        len =
            std::snprintf(line, sizeof line, "%s - [Unit %.4d] [Account ] [FrameID=%d] [Ping]\r\n",
                          stamp, unit, frameId);
        if (!answerOnly)
            AppendEntry(path, line, static_cast<std::size_t>(len));

        std::uint8_t ack[15] = {};
        std::memcpy(ack, in, 8);
        ack[0] = 0x01;
        ack[8] = static_cast<std::uint8_t>(lt.tm_year + 1900 - 2000);
        ack[9] = static_cast<std::uint8_t>(lt.tm_mon + 1);
        ack[10] = static_cast<std::uint8_t>(lt.tm_mday);
        ack[11] = static_cast<std::uint8_t>(lt.tm_hour);
        ack[12] = static_cast<std::uint8_t>(lt.tm_min);
        ack[13] = static_cast<std::uint8_t>(lt.tm_sec > 59 ? 59 : lt.tm_sec);
        ack[14] = Crc8(ack, 14);
        if (::sendto(fd, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&from), fromLen) ==
            static_cast<ssize_t>(sizeof ack)) {
            ++answered;
        }
        len = std::snprintf(line, sizeof line, "%s - Send ACK\r\n", stamp);
        if (!answerOnly)
            AppendEntry(path, line, static_cast<std::size_t>(len));
    }
    std::printf("bare received=%lu answered=%lu refused=%lu\n", received, answered, refused);
    ::close(fd);
    return 0;
}
