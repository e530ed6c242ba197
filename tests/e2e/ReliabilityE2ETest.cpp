// Single faults against the real executable, each of which once lost an alarm
// or sent the monitoring software one that did not happen: copies started at
// the same moment, a serial adapter that appears after start-up, and a unit
// whose IMEI the database cannot hold.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/AlarmPathSupport.h"

using namespace korvan;

using namespace e2e;
using namespace e2e::alarm;

namespace {

std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// What the open descriptors of a process point at.
std::vector<std::string> OpenFiles(pid_t pid) {
    std::vector<std::string> out;
    std::error_code ec;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& e : std::filesystem::directory_iterator(fdDir, ec)) {
        std::error_code linkEc;
        const auto target = std::filesystem::read_symlink(e.path(), linkEc);
        if (!linkEc)
            out.push_back(target.string());
    }
    return out;
}

bool Holds(pid_t pid, const std::string& path) {
    for (const std::string& f : OpenFiles(pid)) {
        if (f == path)
            return true;
    }
    return false;
}

// One copy of an installation's executable, started like the harness starts
// it, but held at a gate: every copy of a round is released at the same
// moment by closing the gate's write end.
struct Copy {
    pid_t pid = -1;
    std::string stderrPath;

    // `session`: the desktop session's runtime folder; empty: none.
    void Launch(const Receiver& r, const std::string& name, int gateRead, int gateWrite,
                const std::string& session) {
        stderrPath = r.Dir() + name;
        pid = ::fork();
        if (pid != 0)
            return;
        ::close(gateWrite);
        char c;
        while (::read(gateRead, &c, 1) < 0 && errno == EINTR) {
        }
        const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            ::dup2(err, 2);
            ::dup2(err, 1);
        }
        ::close_range(3, ~0U, 0);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (session.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", session.c_str(), 1);
        ::setenv("TZ", "UTC", 1);
        ::unsetenv("DISPLAY");
        const std::string exe = r.Dir() + "RAZUDovuve";
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string Stderr() const { return ReadFile(stderrPath); }
    bool Warned() const { return Stderr().find(kOtherInstance) != std::string::npos; }
    void Kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

}  // namespace

// Copies of one installation started at the same moment, round after round,
// each from a desktop session of its own or from none: exactly one runs,
// holds the serial line and writes to the folder; every other one shows the
// warning and touches nothing.
TEST(ReliabilityE2E, CopiesStartedTogetherRunExactlyOneWhichHoldsTheSerialLine) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int copies = 2 + round % 2;
        Receiver r;
        PtyPeer pty;
        const std::uint16_t port = FreeUdpPort();
        r.WriteSettings(port, "COM7", 15, 60, 240, 7, 30);
        r.LinkPort("COM7", pty.SlaveName());

        int gate[2];
        ASSERT_EQ(0, ::pipe(gate));
        std::vector<Copy> started(static_cast<std::size_t>(copies));
        for (int i = 0; i < copies; ++i) {
            const std::string session = r.RuntimeDir() + std::to_string(i);
            std::filesystem::create_directories(session);
            started[static_cast<std::size_t>(i)].Launch(r, "stderr" + std::to_string(i) + ".txt",
                                                        gate[0], gate[1], i == 1 ? "" : session);
        }
        ::close(gate[1]);  // all released at once
        ::close(gate[0]);

        // Every loser says so; the winner comes up with its UDP port and
        // serial port.
        const auto warned = [&] {
            int n = 0;
            for (const Copy& c : started) n += c.Warned() ? 1 : 0;
            return n;
        };
        ASSERT_TRUE(WaitFor([&] { return warned() == copies - 1; }, 30000))
            << warned() << " warned";
        ASSERT_TRUE(r.WaitAllLog("UDP Server Listen Port " + std::to_string(port), 20000))
            << r.AllLog() << r.ErrLog();
        ASSERT_TRUE(r.WaitAllLog("Serial Port COM7 opened")) << r.AllLog() << r.ImpLog();
        Copy* winner = nullptr;
        for (Copy& c : started) {
            if (!c.Warned())
                winner = &c;
        }
        ASSERT_NE(nullptr, winner);
        EXPECT_EQ(warned(), copies - 1);

        // The serial line is the winner's: its heartbeat arrives, and no
        // loser holds the device, the database or a log file.
        const std::string device = std::filesystem::canonical(pty.SlaveName()).string();
        EXPECT_TRUE(Holds(winner->pid, device));
        EXPECT_TRUE(Holds(winner->pid, r.Dir() + "RAZUDovuve.db"));
        pty.CloseSlave();
        EXPECT_EQ(kHeartbeat, pty.ReadLine(5000));
        for (const Copy& c : started) {
            if (&c == winner)
                continue;
            for (const std::string& f : OpenFiles(c.pid)) {
                EXPECT_NE(device, f);
                // Nothing in the installation but the test's own capture of
                // its output.
                if (f != c.stderrPath) {
                    EXPECT_NE(0u, f.rfind(r.Dir(), 0)) << f;
                }
            }
        }
        // Only one copy wrote to the folder.
        const std::string all = r.AllLog();
        EXPECT_EQ(1u, Occurrences(all, "Application started.."));
        EXPECT_EQ(1u, Occurrences(all, "UDP Server Listen Port "));
        EXPECT_EQ("", r.ErrLog());
        EXPECT_EQ(std::string::npos, r.ImpLog().find("!! CAN NOT OPEN SERIAL PORT"));

        // The losers end; the winner's claim stays: one more start loses too.
        if (round == 4) {
            for (Copy& c : started) {
                if (&c != winner)
                    c.Kill();
            }
            int gate2[2];
            ASSERT_EQ(0, ::pipe(gate2));
            Copy late;
            late.Launch(r, "stderr-late.txt", gate2[0], gate2[1], r.RuntimeDir());
            ::close(gate2[1]);
            ::close(gate2[0]);
            EXPECT_TRUE(WaitFor([&] { return late.Warned(); }, 20000)) << late.Stderr();
            late.Kill();
        }
        EXPECT_EQ(0, ::kill(winner->pid, 0)) << "the winner ended";
        for (Copy& c : started) c.Kill();
    }
}

// The receiver starts before the serial adapter is there (a PC booting after
// a power cut): the port is reported once, tried every 5 s, and the alarms
// that came in meanwhile reach the monitoring software in order once the
// device appears, 3 s after start.
TEST(ReliabilityE2E, SerialLinkAppearingAfterStartGetsTheWaitingLines) {
    Receiver r;
    const std::uint16_t port = FreeUdpPort();
    r.WriteSettings(port, "COM7", 15, 60, 240, 7, 0);
    r.LinkPort("COM7", r.Dir() + "not-yet");  // the adapter is not there yet
    const auto started = Clock::now();
    r.Start();
    ASSERT_TRUE(r.WaitAllLog("UDP Server Listen Port " + std::to_string(port)))
        << r.AllLog() << r.Stderr();
    ASSERT_TRUE(r.WaitImpLog("!! CAN NOT OPEN SERIAL PORT COM7"));

    UdpUnit unit;
    const std::vector<std::string> accounts = {"2101", "2102", "2103"};
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        const Bytes event =
            EventFrame(static_cast<int>(21 + i), static_cast<int>(i + 1), accounts[i]);
        unit.Send(port, event);
        ExpectAnswer(unit.Receive(3000), 0x01, Head8(event));
    }

    // The device appears 3 s after start, under the name the settings give.
    PtyPeer pty;
    while (Clock::now() - started < std::chrono::seconds(3)) ASSERT_TRUE(pty.Read(1, 100).empty());
    std::filesystem::create_symlink(pty.SlaveName(), r.Dir() + "ports/COM7.new");
    std::filesystem::rename(r.Dir() + "ports/COM7.new", r.Dir() + "ports/COM7");

    ASSERT_TRUE(r.WaitAllLog("Serial Port COM7 opened", 8000)) << r.AllLog() << r.ImpLog();
    pty.CloseSlave();
    for (const std::string& account : accounts) {
        EXPECT_EQ("5077 18" + account + "E13001005", pty.ReadLine(12000));
        pty.Write({kAnswer});
    }
    EXPECT_TRUE(pty.Read(1, 1000).empty());
    EXPECT_EQ(1u, Occurrences(r.ImpLog(), "!! CAN NOT OPEN SERIAL PORT COM7"));
    EXPECT_EQ(1u, Occurrences(r.AllLog(), "Serial Port COM7 opened"));
    EXPECT_EQ("", r.ErrLog());

    // What the receiver created is for its owner and group only.
    const std::string files[] = {"RAZUDovuve.db", "Log/Imp_msg.log",
                                 "Log/All msg/" + TodayFile() + ".log"};
    for (const std::string& f : files) {
        struct stat st {};
        ASSERT_EQ(0, ::stat((r.Dir() + f).c_str(), &st)) << f;
        EXPECT_EQ(0u, st.st_mode & 0007) << f;
        EXPECT_EQ(0600u, st.st_mode & 0600) << f;
    }
}

// --- About 62 seconds: the first supervision check comes a minute after
// start. A silent unit beside the tested one shows that the check ran. ---

// A unit whose IMEI is not a number reports every 20 s: it is answered,
// counts as heard, and gets no trouble line at a one-minute threshold; its
// IMEI is reported once.
using SupervisionSlowE2E = LinkedReceiverTest;

TEST_F(SupervisionSlowE2E, UnitWithANonNumericImeiReportingEvery20sRaisesNoTrouble) {
    r.WriteDb(MakeDb({SilentUnit(41, "4141"), SilentUnit(42, "4242")}));
    Start({.trouble1 = 1, .delay = 0, .ping = 0});

    const std::string imei = "35209900176148A";
    std::vector<std::string> lines;
    auto nextPing = Clock::now();
    int frameId = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(80);
    while (Clock::now() < deadline) {
        if (Clock::now() >= nextPing) {
            Acked(PingImeiFwVerFrame(41, ++frameId, imei, {1, 2, 15}), nullptr, 3000);
            nextPing += std::chrono::seconds(20);
        }
        const std::string line = pty.ReadLine(200);
        if (line.empty())
            continue;
        lines.push_back(line);
        pty.Write({kAnswer});
        if (line == "5077 184242E35000001")
            break;
    }
    // The check ran: the silent unit got its stage, the reporting one none.
    EXPECT_EQ((std::vector<std::string>{"5077 184242E35000001"}), lines);
    EXPECT_EQ(std::string::npos, r.AllLog().find("[Unit 0041] [Account 4141] - CommTrouble"));
    EXPECT_EQ(1u, Occurrences(r.ErrLog(), "'" + imei + "' is not a valid IMEI number"))
        << r.ErrLog();
    EXPECT_EQ(1u, Occurrences(r.ErrLog(), "ERR in "));
    // The last-message time reached the file with every datagram.
    const Bytes rec = Record(r.Db(), 41);
    ASSERT_EQ(kRecordSize, rec.size());
    EXPECT_LE(std::llabs(static_cast<std::int64_t>(Le(rec, 23, 4)) - DbSecondsNow()), 22);
    EXPECT_EQ(0, rec[2]);
}
