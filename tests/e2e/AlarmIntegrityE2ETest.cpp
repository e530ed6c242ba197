#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "e2e/FaultHarness.h"

using namespace korvan;

// An alarm a unit was answered for is never lost: the receiver killed while
// lines wait, or again and again under load, sends every one of them after
// its next start.

namespace e2e::fault {
namespace {

// A receiver with a monitoring-software peer on COM7 and no heartbeat, so
// that every line on the serial line is an alarm of the test; started again
// and again in the same folder.
struct Station {
    // `dir`: an installation made there; by default a fresh one.
    explicit Station(const std::string& dir = "")
        : r(dir.empty() ? Receiver() : Receiver(Receiver::Installed{dir})), port(FreeUdpPort()) {
        r.WriteSettings(port, "COM7", 15, 60, 240, 7, 0);
        r.LinkPort("COM7", monitor.SlaveName());
    }
    // Started, listening and holding the serial port. With `byteAfterOpenMs`
    // the monitoring software sends an 0x06 that long after the log tells
    // the port opened.
    ::testing::AssertionResult Up(const StartOptions& options = {}, int byteAfterOpenMs = -1) {
        r.Start(options);
        ++starts;
        if (byteAfterOpenMs >= 0) {
            const auto opened = Clock::now() + std::chrono::seconds(10);
            while (Count(r.AllLog(), "Serial Port COM7 opened") != starts && Clock::now() < opened)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::this_thread::sleep_for(std::chrono::milliseconds(byteAfterOpenMs));
            monitor.Send(0x06);
        }
        if (!WaitListening(watch, port, 9998))
            return ::testing::AssertionFailure() << "no answer\n" << r.AllLog() << r.Stderr();
        if (!WaitFor([&] { return Count(r.AllLog(), "Serial Port COM7 opened") == starts; }))
            return ::testing::AssertionFailure() << "serial port\n" << r.AllLog();
        // The answers came from this receiver, not from another one that
        // took the port while this one was down.
        if (Count(r.AllLog(), "UDP Server Listen Port " + std::to_string(port)) != starts)
            return ::testing::AssertionFailure() << "port taken\n" << r.AllLog() << r.Stderr();
        monitor.CloseSlave();
        return ::testing::AssertionSuccess();
    }

    Receiver r;
    MonitorPeer monitor;
    std::uint16_t port;
    UdpUnit watch;
    std::size_t starts = 0;
};

// Event number `n` of a test: unit 1..8, and partition and zone numbering
// it, so that every Event has a line of its own.
Bytes NumberedEvent(int n, std::string* line) {
    const int unit = 1 + n % 8;
    char partition[8];
    char zone[8];
    std::snprintf(partition, sizeof partition, "%02d", (n / 1000) % 100);
    std::snprintf(zone, sizeof zone, "%03d", n % 1000);
    *line = MakeEventLine(AccountOf(unit), "1130", partition, zone);
    return EventFrame(unit, static_cast<std::uint16_t>(n), AccountOf(unit), "1130", partition,
                      zone);
}

// Sends Event `n` and waits up to `timeoutMs` for its ACK.
bool Answered(UdpUnit& unit, std::uint16_t port, int n, std::string* line, int timeoutMs = 3000) {
    unit.Send(port, NumberedEvent(n, line));
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (IsAckFor(unit.Receive(20), static_cast<std::uint16_t>(n)))
            return true;
    }
    return false;
}

TEST(AlarmIntegrityE2E, AlarmsAnsweredWhileTheMonitoringSoftwareWasSilentArriveAfterAKill) {
    Station s;
    s.monitor.SetMode(MonitorPeer::Mode::Silent);
    ASSERT_TRUE(s.Up());
    UdpUnit unit;
    std::vector<std::string> expected;
    for (int n = 1; n <= 20; ++n) {
        std::string line;
        ASSERT_TRUE(Answered(unit, s.port, n, &line)) << n;
        expected.push_back(line);
    }
    s.r.Kill(SIGKILL);

    s.monitor.SetMode(MonitorPeer::Mode::Ack);
    ASSERT_TRUE(s.Up());
    EXPECT_TRUE(s.r.WaitImpLog("Send buffer restored: 20 line(s) waiting from the last run"))
        << s.r.ImpLog();
    EXPECT_TRUE(WaitFor([&] { return s.monitor.Delivered() == expected; }, 30000))
        << ::testing::PrintToString(s.monitor.Delivered());
    EXPECT_EQ(0u, s.monitor.Malformed());
}

// An answer counts only for the line it answers. Lines wait in the journal
// while the monitoring software is silent; the receiver is killed; at its
// next start a stray 0x06 (left in the driver from the killed run, or noise
// just after the port opened) or a doubled answer followed by a refusal
// must not take a line with it: the monitoring software ACKs every line.
TEST(AlarmIntegrityE2E, AStaleEarlyOrDoubledAnswerCostsNoLine) {
    struct Case {
        const char* what;
        bool staleByte;       // an 0x06 written while the receiver is dead
        int byteAfterOpenMs;  // an 0x06 this long after the port opened, or -1
        MonitorPeer::Mode mode;
    };
    const Case cases[] = {
        {"stale 0x06 in the input queue", true, -1, MonitorPeer::Mode::Ack},
        {"0x06 50 ms after the open", false, 50, MonitorPeer::Mode::Ack},
        {"a line ACKed twice, the next refused", false, -1, MonitorPeer::Mode::AckTwiceThenNak},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Station s;
        s.monitor.SetMode(MonitorPeer::Mode::Silent);
        ASSERT_TRUE(s.Up());
        UdpUnit unit;
        std::vector<std::string> expected;
        for (int n = 1; n <= 6; ++n) {
            std::string line;
            ASSERT_TRUE(Answered(unit, s.port, n, &line)) << n;
            expected.push_back(line);
        }
        s.r.Kill(SIGKILL);
        if (c.staleByte)
            s.monitor.Send(0x06);

        s.monitor.SetMode(c.mode);
        ASSERT_TRUE(s.Up({}, c.byteAfterOpenMs));
        const auto missing = [&] {
            const std::vector<std::string> acked = s.monitor.Acked();
            std::vector<std::string> out;
            for (const std::string& l : expected) {
                if (std::find(acked.begin(), acked.end(), l) == acked.end())
                    out.push_back(l);
            }
            return out;
        };
        EXPECT_TRUE(WaitFor([&] { return missing().empty(); }, 30000))
            << ::testing::PrintToString(missing()) << s.r.AllLog();
        EXPECT_EQ(0u, s.monitor.Malformed());
        if (c.byteAfterOpenMs >= 0) {
            EXPECT_EQ(1u, Count(s.r.AllLog(),
                                "<< Bytes from monitoring software with no line in flight: 0x06"))
                << s.r.AllLog();
        }
    }
}

// Kills at random moments while a unit reports Events steadily and the
// monitoring software answers slowly: whatever the moment (while a line is
// written to the journal, synced, answered or on the serial line), every
// Event whose ACK reached the unit arrives at the monitoring software, at
// least once.
TEST(AlarmIntegrityE2E, RepeatedKillsUnderLoadLoseNoAnsweredAlarm) {
    constexpr int kKills = 10;
    Station s;
    s.monitor.SetMode(MonitorPeer::Mode::Late, 150);
    std::mt19937 random(20261209);
    std::vector<std::string> answered;
    int sent = 0;
    for (int k = 0; k < kKills; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(s.Up());
        std::atomic<bool> stop{false};
        std::vector<std::string> round;
        std::thread load([&] {
            UdpUnit unit;
            while (!stop) {
                std::string line;
                if (Answered(unit, s.port, ++sent, &line, 300))
                    round.push_back(line);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
        s.r.Kill(SIGKILL);
        stop = true;
        load.join();
        answered.insert(answered.end(), round.begin(), round.end());
    }

    s.monitor.SetMode(MonitorPeer::Mode::Ack);
    ASSERT_TRUE(s.Up());
    const auto missing = [&] {
        const std::vector<std::string> lines = s.monitor.Lines();
        const std::set<std::string> arrived(lines.begin(), lines.end());
        std::vector<std::string> out;
        for (const std::string& l : answered) {
            if (arrived.count(l) == 0)
                out.push_back(l);
        }
        return out;
    };
    EXPECT_TRUE(WaitFor([&] { return missing().empty(); }, 60000))
        << ::testing::PrintToString(missing());
    const std::vector<std::string> lines = s.monitor.Lines();
    std::printf(
        "%d kills, %d Events sent, %zu answered, %zu transmissions at the monitoring "
        "software (repeats included)\n",
        kKills, sent, answered.size(), lines.size());
}

// At the system-call level: the ACK of every Event leaves only after an
// fdatasync of the send journal that returned after the previous ACK, so
// the line it answers for is on disk when the unit hears it.
TEST(AlarmIntegrityE2E, EveryEventAckFollowsASyncOfTheJournal) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace cannot trace here (not installed, or ptrace not allowed): the "
                        "sync before each ACK is not checked at the system-call level";
    TempFolder out;
    const std::string trace = out.Path() + "strace.txt";
    Station s;
    s.monitor.SetMode(MonitorPeer::Mode::Silent);
    StartOptions traced;
    traced.wrapper = {"strace", "-f", "-y",  "-xx", "-s",
                      "32",     "-o", trace, "-e",  "trace=fdatasync,sendmsg,sendto"};
    ASSERT_TRUE(s.Up(traced));
    UdpUnit unit;
    // strace -xx shows every byte as \xhh, of the data and of the paths alike.
    const auto shown = [](const Bytes& bytes) {
        std::string text;
        char hex[5];
        for (const std::uint8_t b : bytes) {
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            text += hex;
        }
        return text;
    };
    const std::string name = "/RAZUDovuve.journal";
    const std::string journalFd = shown(Bytes(name.begin(), name.end())) + ">";
    std::vector<std::string> acks;  // the first 8 bytes of each ACK
    for (int n = 1; n <= 10; ++n) {
        std::string line;
        ASSERT_TRUE(Answered(unit, s.port, n, &line, 5000)) << n;
        const Bytes frame = NumberedEvent(n, &line);
        Bytes head(frame.begin(), frame.begin() + 8);
        head[0] = 0x01;
        acks.push_back(shown(head));
    }
    s.r.Kill(SIGTERM);  // strace ends too, and writes out its trace

    // One call a line; one another thread interrupted starts its line with
    // the call and its fd and ends it with "<unfinished ...>". Sync and ACK
    // are made by the same thread, so the sync's line comes first.
    bool synced = false;
    std::size_t seen = 0;
    std::istringstream lines(ReadFile(trace));
    for (std::string l; std::getline(lines, l);) {
        if (l.find("fdatasync(") != std::string::npos && l.find(journalFd) != std::string::npos &&
            l.find(" = -1") == std::string::npos)
            synced = true;
        if (seen < acks.size() && l.find("send") != std::string::npos &&
            l.find(acks[seen]) != std::string::npos) {
            EXPECT_TRUE(synced) << "ACK of Event " << seen + 1 << " before a sync:\n" << l;
            synced = false;
            ++seen;
        }
    }
    EXPECT_EQ(acks.size(), seen) << ReadFile(trace);
}

// The installation lies on a small tmpfs that something else fills up: the
// journal appends into the room it keeps ahead, and every Event answered
// while the disk was full arrives after a kill and a start with room again.
TEST(AlarmIntegrityE2E, EventsAnsweredOnAFullDiskArriveAfterAKill) {
    TempFolder base;
    const std::string dir = base.Path();
    // Room for the program, the 64 MiB below which the log files pause, and
    // a few MB, seen by this thread and its children only.
    const std::string size =
        "size=" + std::to_string(std::filesystem::file_size(RAZUDOVUVE_EXE) + (68u << 20));
    if (::getuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, size.c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root): " << std::strerror(errno);
    const std::shared_ptr<void> unmount(nullptr,
                                        [&](void*) { ::umount2(dir.c_str(), MNT_DETACH); });
    std::filesystem::copy_file(RAZUDOVUVE_EXE, dir + "RAZUDovuve");
    std::filesystem::copy(RAZUDOVUVE_WAV_DIR, dir + "Wav",
                          std::filesystem::copy_options::recursive);
    Station s(dir);
    s.monitor.SetMode(MonitorPeer::Mode::Silent);
    ASSERT_TRUE(s.Up());
    const int fd = ::open((dir + "fill").c_str(), O_WRONLY | O_CREAT, 0644);
    for (std::size_t chunk = 65536; chunk > 0; chunk /= 2) {
        while (::write(fd, std::string(chunk, 'x').data(), chunk) > 0) {
        }
    }
    ::close(fd);
    // More than the journal's last page holds: later lines need new room.
    UdpUnit unit;
    std::vector<std::string> answered;
    for (int n = 1; n <= 130; ++n) {
        std::string line;
        if (Answered(unit, s.port, n, &line, 300))
            answered.push_back(line);
    }
    EXPECT_EQ(130u, answered.size());
    s.r.Kill(SIGKILL);
    std::filesystem::remove(dir + "fill");
    s.monitor.SetMode(MonitorPeer::Mode::Ack);
    ASSERT_TRUE(s.Up());
    EXPECT_TRUE(WaitFor([&] { return s.monitor.Delivered() == answered; }, 90000))
        << s.monitor.Delivered().size() << " of " << answered.size() << " delivered\n"
        << s.r.ImpLog();
}

}  // namespace
}  // namespace e2e::fault
