// fdatasync-rate: how many appends-and-syncs per second the disk under a
// folder takes, the way the send journal writes a line: one 35-byte record
// appended to a file, then fdatasync, one after the other.
//
//   usage: fdatasync-rate DIR [SECONDS]
//
// Writes DIR/fdatasync-rate.tmp for SECONDS (3) and removes it. The last
// line is "summary syncs=.. seconds=.. rate=.. mean_us=..".

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fdatasync-rate DIR [SECONDS]\n");
        return 2;
    }
    const std::string path = std::string(argv[1]) + "/fdatasync-rate.tmp";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        std::perror(path.c_str());
        return 1;
    }
    char record[35] = {'L'};
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    long syncs = 0;
    double elapsed = 0;
    while (elapsed < seconds) {
        if (::write(fd, record, sizeof record) != static_cast<ssize_t>(sizeof record) ||
            ::fdatasync(fd) != 0) {
            std::perror(path.c_str());
            ::close(fd);
            ::unlink(path.c_str());
            return 1;
        }
        ++syncs;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    ::close(fd);
    ::unlink(path.c_str());
    std::printf("summary syncs=%ld seconds=%.2f rate=%.0f mean_us=%.1f\n", syncs, elapsed,
                syncs / elapsed, elapsed * 1e6 / static_cast<double>(syncs));
    return 0;
}
