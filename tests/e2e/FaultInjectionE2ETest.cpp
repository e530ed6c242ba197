#include <gtest/gtest.h>

#include "e2e/FaultHarness.h"

using namespace korvan;

// Bad input, failing files, a vanishing or misbehaving monitoring software
// and load: what the operator sees, and proof that no answer and no alarm is
// lost on the way.

namespace e2e::fault {
namespace {

struct RigOptions {
    bool asNobody = false;
    std::string serial = "COM7";
    std::function<bool()> prepare = nullptr;
};

// A receiver with a monitoring-software peer on COM7 and no heartbeat, so
// that every line on the serial line is an alarm of the test.
struct Rig {
    explicit Rig(RigOptions o = {}) : options(std::move(o)), port(FreeUdpPort()) {
        r.WriteSettings(port, options.serial, 15, 60, 240, 7, 0);
        r.LinkPort("COM7", monitor.SlaveName());
        if (options.asNobody && ::getuid() == 0)
            monitor.GiveTo(kNobodyUid, kNobodyGid);
    }
    void Start() {
        StartOptions s;
        s.asNobody = options.asNobody;
        s.prepare = options.prepare;
        r.Start(s);
    }
    // Up, listening and holding the serial port.
    ::testing::AssertionResult Ready() {
        if (!WaitListening(unit, port, 9998))
            return ::testing::AssertionFailure() << "no answer\n" << r.AllLog() << r.Stderr();
        if (options.serial == "COM7") {
            if (!r.WaitAllLog("Serial Port COM7 opened"))
                return ::testing::AssertionFailure() << "serial port\n" << r.AllLog();
            monitor.CloseSlave();
        }
        return ::testing::AssertionSuccess();
    }
    // Sends one Event of `unitNr` and waits for its ACK.
    bool SendEvent(int unitNr, std::uint16_t frameId) {
        unit.Send(port, EventFrame(unitNr, frameId, AccountOf(unitNr)));
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            if (IsAckFor(unit.Receive(100), frameId))
                return true;
        }
        return false;
    }
    bool WaitDelivered(const MonitorPeer& peer, const std::vector<std::string>& lines,
                       int timeoutMs = 15000) {
        return WaitFor([&] { return peer.Delivered() == lines; }, timeoutMs);
    }
    bool WaitDelivered(const std::vector<std::string>& lines, int timeoutMs = 15000) {
        return WaitDelivered(monitor, lines, timeoutMs);
    }
    bool WaitImp(const std::string& text, int timeoutMs = 10000) {
        return r.WaitImpLog(text, timeoutMs);
    }

    RigOptions options;
    Receiver r;
    MonitorPeer monitor;
    std::uint16_t port;
    UdpUnit unit;
};

// The monitoring line of a test Event of `unitNr`.
std::string Line(int unitNr) {
    return MakeEventLine(AccountOf(unitNr), "1130", "01", "005");
}

std::string Printed(const std::vector<std::string>& lines) {
    return ::testing::PrintToString(lines);
}

// --- Log files ---------------------------------------------------------------

// Log files that cannot be written cost no unit its answer and no alarm its
// way to the monitoring software; the operator is told once, not once per
// datagram, and logging goes on by itself when the files can be written again.
TEST(FaultInjectionE2E, ReadOnlyLogFoldersDoNotStopTheAlarmPath) {
    // Root ignores file modes: the receiver runs as nobody for this test.
    Rig rig({.asNobody = true});
    rig.Start();
    ASSERT_TRUE(rig.Ready());
    const std::string& dir = rig.r.Dir();
    std::vector<std::string> expected;
    ASSERT_TRUE(rig.SendEvent(101, 1));
    expected.push_back(Line(101));
    ASSERT_TRUE(rig.WaitDelivered(expected));

    // The folders and the files in them: a read-only folder alone still lets
    // its existing files grow.
    ChmodLogs(dir, 0555, 0444);
    const std::string allBefore = rig.r.AllLog();
    const std::string impBefore = rig.r.ImpLog();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(rig.SendEvent(200 + i, static_cast<std::uint16_t>(10 + i))) << i;
        expected.push_back(Line(200 + i));
    }
    EXPECT_TRUE(rig.WaitDelivered(expected)) << Printed(rig.monitor.Delivered());
    EXPECT_EQ(allBefore, rig.r.AllLog());
    EXPECT_EQ(impBefore, rig.r.ImpLog());

    const std::string told = rig.r.Stderr();
    EXPECT_NE(std::string::npos,
              told.find("Log entry not written: Cannot open log file " + dir + "Log/All msg/" +
                        TodayFile() + ".log: Permission denied\n"))
        << told;
    // Once per channel that failed (All, Errors, the send buffer's entries),
    // not once for each of the ten datagrams.
    const std::size_t toldCount = Count(told, "Log entry not written: ");
    EXPECT_LE(toldCount, 4u) << told;

    ChmodLogs(dir, 0755, 0644);
    EXPECT_TRUE(rig.SendEvent(300, 30));
    expected.push_back(Line(300));
    EXPECT_TRUE(rig.WaitDelivered(expected));
    EXPECT_TRUE(rig.r.WaitAllLog(
        "[Unit 0300] [Account 0300] [FrameID=30] [dt=02.01.2026 03:04:05] [CID=E130-01-005]\r\n"));
    EXPECT_TRUE(rig.WaitImp("0300 FIRST MSG\r\n"));
    EXPECT_EQ(toldCount, Count(rig.r.Stderr(), "Log entry not written: "));
    EXPECT_TRUE(rig.r.Running());
}

// --- The database file -------------------------------------------------------

// The database lies on a file system with no room left: records that need a
// new block cannot be written. The unit is answered and its alarm forwarded
// all the same; the failure is an error report.
TEST(FaultInjectionE2E, DatabaseWriteFailureCostsNoAnswerAndNoAlarm) {
    if (::getuid() != 0)
        GTEST_SKIP() << "a private mount namespace needs root";
    Rig* rigp = nullptr;
    Rig rig({.prepare = [&rigp] {
        // One page of room, taken by the first page of a sparse database:
        // records 0..101 are in place, every later one needs a new page.
        const std::string fs = rigp->r.Dir() + "dbfs";
        if (!OwnTmpfs(fs, 4096))
            return false;
        const int fd = ::open((fs + "/RAZUDovuve.db").c_str(), O_CREAT | O_RDWR, 0644);
        const Bytes page(4096, 0);
        const bool ok = fd >= 0 && ::ftruncate(fd, 400000) == 0 &&
                        ::pwrite(fd, page.data(), page.size(), 0) == 4096;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }});
    rigp = &rig;
    std::filesystem::create_directories(rig.r.Dir() + "dbfs");
    std::filesystem::create_symlink("dbfs/RAZUDovuve.db", rig.r.Dir() + "RAZUDovuve.db");
    rig.Start();
    if (rig.r.WaitExit(300) && WIFEXITED(rig.r.ExitStatus()) &&
        WEXITSTATUS(rig.r.ExitStatus()) == 126)
        GTEST_SKIP() << "no private tmpfs here";
    ASSERT_TRUE(rig.Ready());

    ASSERT_TRUE(rig.SendEvent(50, 1));
    ASSERT_TRUE(rig.SendEvent(5000, 2));
    ASSERT_TRUE(rig.SendEvent(6000, 3));
    ASSERT_TRUE(rig.SendEvent(5000, 4));
    EXPECT_TRUE(rig.WaitDelivered({Line(50), Line(5000), Line(6000), Line(5000)}))
        << Printed(rig.monitor.Delivered());

    // Every datagram of a unit whose record cannot be stored is reported.
    const auto err = [&](int nr) {
        return "ERR in ProcessRecMsg, Error Msg: Cannot write unit " + AccountOf(nr) +
               " to database " + rig.r.Dir() + "RAZUDovuve.db: No space left on device\r\n";
    };
    ASSERT_TRUE(WaitFor([&] { return Count(rig.r.ErrLog(), err(5000)) == 2; })) << rig.r.ErrLog();
    EXPECT_EQ(1u, Count(rig.r.ErrLog(), err(6000)));
    // (The Pings of unit 9998 that found the receiver up are in the same case.)
    EXPECT_EQ(Count(rig.r.ErrLog(), "ERR in "), Count(rig.r.ErrLog(), "No space left on device"));
    EXPECT_EQ(2u, Count(rig.r.AllLog(), err(5000)));
    EXPECT_TRUE(rig.WaitImp("0050 FIRST MSG\r\n"));

    // The file as the receiver sees it, in its own mount namespace.
    const std::string db = ReadFile("/proc/" + std::to_string(rig.r.Pid()) + "/root" + rig.r.Dir() +
                                    "dbfs/RAZUDovuve.db");
    ASSERT_EQ(400000u, db.size());
    EXPECT_EQ(1, db[50 * 40]);
    EXPECT_EQ("0050", db.substr(50 * 40 + 30, 4));
    EXPECT_EQ(std::string(40, '\0'), db.substr(5000 * 40, 40));
    EXPECT_TRUE(rig.r.Running());
}

// --- The monitoring software ---------------------------------------------------

// The monitoring software's end goes away while alarms keep coming, and comes
// back as another device behind the same port name.
TEST(FaultInjectionE2E, VanishedSerialPortIsTriedAgainAndGetsTheWaitingLines) {
    Rig rig;
    rig.Start();
    ASSERT_TRUE(rig.Ready());
    ASSERT_TRUE(rig.SendEvent(1, 1));
    ASSERT_TRUE(rig.WaitDelivered({Line(1)}));

    rig.monitor.Vanish();
    ASSERT_TRUE(rig.WaitImp("!! SERIAL PORT COM7 LOST\r\n")) << rig.r.ImpLog();
    // Units are answered while the line is down; their alarms wait.
    EXPECT_TRUE(rig.SendEvent(2, 2));
    EXPECT_TRUE(rig.SendEvent(3, 3));

    // A pseudo-terminal that went away cannot come back: the port name is
    // pointed at a new one, as a replugged adapter gets a new device.
    MonitorPeer back;
    std::filesystem::remove(rig.r.Dir() + "ports/COM7");
    std::filesystem::create_symlink(back.SlaveName(), rig.r.Dir() + "ports/COM7");
    ASSERT_TRUE(
        WaitFor([&] { return Count(rig.r.AllLog(), "Serial Port COM7 opened\r\n") == 2; }, 8000))
        << rig.r.AllLog();
    back.CloseSlave();
    EXPECT_TRUE(rig.WaitDelivered(back, {Line(2), Line(3)})) << Printed(back.Delivered());
    EXPECT_TRUE(rig.SendEvent(4, 4));
    EXPECT_TRUE(rig.WaitDelivered(back, {Line(2), Line(3), Line(4)}));

    EXPECT_EQ(1u, Count(rig.r.ImpLog(), "!! SERIAL PORT COM7 LOST"));
    EXPECT_EQ(0u, Count(rig.r.ImpLog(), "!! CAN NOT OPEN SERIAL PORT"));
    EXPECT_EQ((std::vector<std::string>{Line(1)}), rig.monitor.Delivered());
    EXPECT_EQ(0u, back.Malformed());
}

// The monitoring software refuses a line for ever, babbles instead of
// answering, and answers later than the repeat: no line is delivered out of
// order, and after a refused line the next ones still flow.
TEST(FaultInjectionE2E, RefusingBabblingAndLateMonitoringSoftwareKeepsTheOrder) {
    Rig rig;
    rig.Start();
    ASSERT_TRUE(rig.Ready());

    rig.monitor.SetMode(MonitorPeer::Mode::Nak);
    ASSERT_TRUE(rig.SendEvent(10, 1));
    const std::string l10 = Line(10);
    ASSERT_TRUE(rig.WaitImp(
        "!! Line dropped after 3 NAKs from monitoring software: [" + l10 + "]\r\n", 20000))
        << rig.r.ImpLog();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(std::string::npos,
                  rig.r.ImpLog().find("<< NAK from monitoring software for line [" + l10 + "] (" +
                                      std::to_string(n) + " of 3)\r\n"));
    }
    EXPECT_EQ((std::vector<std::string>{l10, l10, l10}), rig.monitor.Lines());

    // A byte that means nothing still counts as the answer.
    rig.monitor.SetMode(MonitorPeer::Mode::Garbage);
    ASSERT_TRUE(rig.SendEvent(11, 2));
    ASSERT_TRUE(rig.SendEvent(12, 3));
    EXPECT_TRUE(rig.WaitDelivered({l10, Line(11), Line(12)})) << Printed(rig.monitor.Delivered());

    // An answer after the 5-second repeat: the line went out twice, and the
    // next line follows the first answer.
    rig.monitor.SetMode(MonitorPeer::Mode::Late, 6000);
    ASSERT_TRUE(rig.SendEvent(13, 4));
    ASSERT_TRUE(WaitFor([&] { return rig.monitor.Lines().size() == 7; }, 8000))
        << Printed(rig.monitor.Lines());
    rig.monitor.SetMode(MonitorPeer::Mode::Ack);
    ASSERT_TRUE(rig.SendEvent(14, 5));
    EXPECT_TRUE(rig.WaitDelivered({l10, Line(11), Line(12), Line(13), Line(14)}))
        << Printed(rig.monitor.Delivered());
    EXPECT_EQ(
        (std::vector<std::string>{l10, l10, l10, Line(11), Line(12), Line(13), Line(13), Line(14)}),
        rig.monitor.Lines());
    EXPECT_EQ(0u, rig.monitor.Malformed());
    EXPECT_TRUE(rig.r.Running());
}

// A monitoring program that repeats its NAK refuses the one transmission
// once: the line is not dropped but goes out again at the 5-second repeat.
TEST(FaultInjectionE2E, RepeatedNaksForOneTransmissionDropNoLine) {
    Rig rig;
    rig.Start();
    ASSERT_TRUE(rig.Ready());
    rig.monitor.SetMode(MonitorPeer::Mode::NakRepeated);
    ASSERT_TRUE(rig.SendEvent(20, 1));
    ASSERT_TRUE(WaitFor([&] { return rig.monitor.NaksSent() == 3; }, 3000));
    rig.monitor.SetMode(MonitorPeer::Mode::Ack);
    const std::string l20 = Line(20);
    ASSERT_TRUE(WaitFor([&] { return rig.monitor.Lines().size() == 2; }, 8000))
        << Printed(rig.monitor.Lines()) << rig.r.ImpLog();
    ASSERT_TRUE(rig.SendEvent(21, 2));
    EXPECT_TRUE(rig.WaitDelivered({l20, Line(21)})) << Printed(rig.monitor.Delivered());
    EXPECT_EQ((std::vector<std::string>{l20, l20, Line(21)}), rig.monitor.Lines());
    const std::string imp = rig.r.ImpLog();
    EXPECT_EQ(1u, Count(imp, "<< NAK from monitoring software")) << imp;
    EXPECT_EQ(1u, Count(imp, "<< NAK from monitoring software for line [" + l20 + "] (1 of 3)"));
    EXPECT_EQ(0u, Count(imp, "!! Line dropped")) << imp;
}

// --- The settings file -------------------------------------------------------

// Settings files of garbage: the receiver starts with the replacement values
// and answers units. Each runs in a network namespace of its own, because
// the replacement UDP port is the default one.
TEST(FaultInjectionE2E, GarbageSettingsFilesStillStartAndAnswer) {
    if (::getuid() != 0)
        GTEST_SKIP() << "a private network namespace needs root";
    std::mt19937 random(7);
    std::string binary(4096, '\0');
    for (char& c : binary) c = static_cast<char>(random() & 0xFF);
    std::string huge;
    huge.reserve(50u << 20);
    while (huge.size() < (50u << 20)) huge += "\x01garbage \xFF\xFE line of no use to anyone\r\n";

    struct Case {
        const char* name;
        std::string ini;
        std::uint16_t port;
        const char* serial;
    };
    const Case cases[] = {
        {"binary bytes", binary, 33665, nullptr},
        {"one line of a million digits", std::string(1000000, '7') + "\r\n", 33665, "COM1"},
        {"50 MB", huge, 33665, nullptr},
        {"CR-only line ends", "40001\rCOM7\r15\r60\r240\r7\r0\r", 40001, "COM7"},
        {"empty file", "", 33665, "COM1"},
        {"controls and NULs", std::string("\0\x01\x7F", 3) + "\r\n\x02\r\n-5\r\n", 33665, "COM1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Receiver r;
        WriteFile(r.Dir() + "RAZUDovuve.ini", c.ini);
        // The replacement serial port must not reach a real device here.
        r.LinkPort("COM1", r.Dir() + "absent");
        r.LinkPort("COM7", r.Dir() + "absent");
        StartOptions o;
        o.prepare = OwnNetwork;
        r.Start(o);
        std::unique_ptr<UdpUnit> unit = UnitInNetworkOf(r.Pid());
        if (unit == nullptr && !r.Running() && WIFEXITED(r.ExitStatus()) &&
            WEXITSTATUS(r.ExitStatus()) == 126)
            GTEST_SKIP() << "no private network namespace here";
        ASSERT_NE(nullptr, unit) << r.Stderr();
        EXPECT_TRUE(WaitListening(*unit, c.port, 1)) << r.AllLog() << r.Stderr();
        EXPECT_NE(std::string::npos,
                  r.AllLog().find("UDP Server Listen Port " + std::to_string(c.port) + "\r\n"));
        if (c.serial != nullptr) {
            EXPECT_NE(std::string::npos,
                      r.ImpLog().find(std::string("!! CAN NOT OPEN SERIAL PORT ") + c.serial));
        }
        EXPECT_EQ("", r.ErrLog());
        EXPECT_EQ(c.ini.size(), std::filesystem::file_size(r.Dir() + "RAZUDovuve.ini"));
        EXPECT_TRUE(r.Running());
    }
}

// --- Datagrams -----------------------------------------------------------------

TEST(FaultInjectionE2E, OversizedAndEmptyDatagrams) {
    Rig rig({.serial = "NOPORT"});
    rig.Start();
    ASSERT_TRUE(rig.Ready());
    UdpUnit& unit = rig.unit;

    unit.Send(rig.port, Bytes(8193, 0x06));   // one byte over the receive size
    unit.Send(rig.port, Bytes(65000, 0x23));  // near the largest UDP datagram
    unit.Send(rig.port, Bytes(8192, 0x06));   // exactly the receive size: taken and refused
    unit.Send(rig.port, Bytes{});
    unit.Send(rig.port, PingFrame(1, 7));

    const Bytes refusedFull = unit.Receive(3000);
    ASSERT_EQ(15u, refusedFull.size());
    EXPECT_EQ(frame::kNack, refusedFull[0]);
    EXPECT_EQ(0x06, refusedFull[1]);  // the refused datagram's header, echoed
    const Bytes refusedEmpty = unit.Receive(3000);
    ASSERT_EQ(15u, refusedEmpty.size());
    EXPECT_EQ(Bytes({frame::kNack, 0, 0, 0, 0, 0, 0, 0}),
              Bytes(refusedEmpty.begin(), refusedEmpty.begin() + 8));
    EXPECT_TRUE(IsCrcValid(refusedEmpty));
    EXPECT_TRUE(IsAckFor(unit.Receive(3000), 7));
    EXPECT_TRUE(unit.Receive(300).empty());

    const std::string all = rig.r.AllLog();
    EXPECT_EQ(std::string::npos, all.find(" (8193 b.): "));
    EXPECT_EQ(std::string::npos, all.find(" (65000 b.): "));
    EXPECT_NE(std::string::npos, all.find(" (8192 b.): 0x060606"));
    EXPECT_NE(std::string::npos, all.find(" (0 b.): 0x\r\n"));
    EXPECT_TRUE(rig.r.Running());
}

// One address floods the receiver with valid frames as fast as it can send;
// a real unit beside it keeps being answered, and its alarms keep their order.
TEST(FaultInjectionE2E, FloodFromOneAddressDoesNotStarveARealUnit) {
    Rig rig;
    rig.Start();
    ASSERT_TRUE(rig.Ready());
    constexpr int kFlood = 20000;
    constexpr int kEvents = 30;

    UdpUnit flood;
    std::atomic<bool> flooding{true};
    const auto floodStart = Clock::now();
    std::thread flooder([&] {
        for (int i = 0; i < kFlood; ++i)
            flood.Send(rig.port, PingFrame(4000, static_cast<std::uint16_t>(i)));
        flooding = false;
    });

    // The real unit: an Event every 50 ms, each answered in its own time.
    std::vector<bool> acked(kEvents, false);
    std::vector<std::string> expected;
    int maxWaitMs = 0;
    std::vector<Clock::time_point> sentAt(kEvents);
    for (int k = 0; k < kEvents; ++k) {
        sentAt[static_cast<std::size_t>(k)] = Clock::now();
        rig.unit.Send(rig.port,
                      EventFrame(100 + k, static_cast<std::uint16_t>(k), AccountOf(100 + k)));
        expected.push_back(Line(100 + k));
        const auto next = sentAt[static_cast<std::size_t>(k)] + std::chrono::milliseconds(50);
        while (Clock::now() < next) {
            const Bytes a = rig.unit.Receive(5);
            if (a.size() == 15 && a[0] == frame::kAck) {
                const int id = a[2] << 8 | a[3];
                if (id < kEvents && !acked[static_cast<std::size_t>(id)]) {
                    acked[static_cast<std::size_t>(id)] = true;
                    maxWaitMs = std::max<int>(
                        maxWaitMs,
                        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             Clock::now() - sentAt[static_cast<std::size_t>(id)])
                                             .count()));
                }
            }
        }
    }
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (std::count(acked.begin(), acked.end(), true) < kEvents && Clock::now() < end) {
        const Bytes a = rig.unit.Receive(50);
        if (a.size() == 15 && a[0] == frame::kAck) {
            const int id = a[2] << 8 | a[3];
            if (id < kEvents && !acked[static_cast<std::size_t>(id)]) {
                acked[static_cast<std::size_t>(id)] = true;
                maxWaitMs = std::max<int>(
                    maxWaitMs,
                    static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Clock::now() - sentAt[static_cast<std::size_t>(id)])
                                         .count()));
            }
        }
    }
    flooder.join();
    EXPECT_EQ(kEvents, std::count(acked.begin(), acked.end(), true));

    // How much of the flood the receiver took in (the kernel may drop what
    // does not fit its queue, and the receiver drops what is beyond one
    // sender's share of its own), and how fast.
    std::size_t handled = 0;
    WaitFor(
        [&] {
            const std::size_t n = Count(rig.r.AllLog(), "[Unit 4000] [Account ] [FrameID=");
            const bool still = n != handled;
            handled = n;
            return !still;
        },
        30000);
    const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    std::printf(
        "flood: %zu of %d Pings handled within %.1f s; real unit: %d of %d Events "
        "answered, slowest after %d ms\n",
        handled, kFlood, floodSeconds,
        static_cast<int>(std::count(acked.begin(), acked.end(), true)), kEvents, maxWaitMs);

    EXPECT_TRUE(rig.WaitDelivered(expected, 30000)) << Printed(rig.monitor.Delivered());
    EXPECT_TRUE(rig.r.Running());
}

// --- A second receiver -----------------------------------------------------------

TEST(FaultInjectionE2E, SecondReceiverOnTheSamePortFailsClearly) {
    const std::uint16_t port = FreeUdpPort();
    Receiver first;
    first.WriteSettings(port, "NOPORT");
    first.Start();
    ASSERT_TRUE(first.WaitAllLog("UDP Server Listen Port " + std::to_string(port)));

    // Another folder and another desktop session: the single-instance guard
    // does not apply, the port does.
    Receiver second;
    second.WriteSettings(port, "NOPORT");
    second.Start();
    const std::string err = "ERR in DoActivateUDPSrvPort, Error Msg: Could not bind UDP port " +
                            std::to_string(port) + ": ";
    ASSERT_TRUE(WaitFor([&] { return second.ErrLog().find(err) != std::string::npos; }))
        << second.AllLog();
    EXPECT_EQ(std::string::npos, second.AllLog().find("UDP Server Listen Port"));
    std::printf("second receiver: %s", second.ErrLog().substr(22).c_str());

    UdpUnit unit;
    for (int i = 0; i < 20; ++i) {
        unit.Send(port, PingFrame(7, static_cast<std::uint16_t>(i)));
        std::uint16_t from = 0;
        EXPECT_TRUE(IsAckFor(unit.Receive(2000, &from), static_cast<std::uint16_t>(i))) << i;
        EXPECT_EQ(port, from);
    }
    EXPECT_EQ(20u, Count(first.AllLog(), "[Unit 0007] [Account ] [FrameID="));
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(second.Running());
}

}  // namespace
}  // namespace e2e::fault
