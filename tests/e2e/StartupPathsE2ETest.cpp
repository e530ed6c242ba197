// The ways the real executable can come up: without a settings file, without
// a database, with a database it cannot use, and again after a stop with
// the units and their reported trouble stages of the last run.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/AlarmPathSupport.h"

using namespace korvan;

using namespace e2e;
using namespace e2e::alarm;

namespace {

constexpr std::uint16_t kDefaultUdpPort = 33665;

// Whether something on this machine holds the UDP port already.
bool UdpPortTaken(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    ::close(fd);
    return taken;
}

const std::vector<std::string> kNewDatabaseTexts = {
    "No DB find. Creating new database ..", "New database created",
    "Connecting to existing database .. ", "Connected to database"};

}  // namespace

TEST(StartupPathsE2E, WithoutSettingsFileListensOnDefaultPortAndLeavesSerialPortClosed) {
    Receiver r;
    // Were the built-in port name opened, its line would come out here.
    PtyPeer pty;
    r.LinkPort("COM1", pty.SlaveName());
    r.Start();

    const std::string listening = "UDP Server Listen Port " + std::to_string(kDefaultUdpPort);
    ASSERT_TRUE(WaitFor([&] {
        return r.AllLog().find(listening) != std::string::npos ||
               r.ErrLog().find("ERR in DoActivateUDPSrvPort") != std::string::npos;
    })) << r.AllLog()
        << r.ErrLog() << r.Stderr();

    // The database is created all the same.
    EXPECT_TRUE(HasBlock(LogMessages(r.AllLog()), kNewDatabaseTexts)) << r.AllLog();
    EXPECT_EQ(std::string(kDbSize, '\0'), r.Db());
    EXPECT_FALSE(std::filesystem::exists(r.Dir() + "RAZUDovuve.ini"));

    // The serial port stays closed: no word about it, and the heartbeat
    // queued at the end of start-up is still waiting after a send-buffer tick.
    EXPECT_EQ(std::string::npos, r.AllLog().find("Serial Port")) << r.AllLog();
    EXPECT_EQ(std::string::npos, r.ImpLog().find("SERIAL PORT")) << r.ImpLog();
    EXPECT_TRUE(pty.Read(1, 5500).empty());

    if (r.AllLog().find(listening) == std::string::npos) {
        // Only acceptable when another program holds the default port.
        const std::string err = r.ErrLog();
        EXPECT_NE(std::string::npos,
                  err.find("ERR in DoActivateUDPSrvPort, Error Msg: Could not bind UDP port 33665"))
            << err;
        if (UdpPortTaken(kDefaultUdpPort))
            GTEST_SKIP() << "UDP port 33665 is held by another program on this machine";
        FAIL() << "the receiver could not bind the free port 33665: " << err;
    }

    UdpUnit unit;
    const Bytes ping = PingFrame(11, 1);
    unit.Send(kDefaultUdpPort, ping);
    std::uint16_t from = 0;
    ExpectAnswer(unit.Receive(5000, &from), 0x01, Head8(ping));
    EXPECT_EQ(kDefaultUdpPort, from);
}

TEST(StartupPathsE2E, MissingDatabaseIsCreatedAndTheReceiverWorks) {
    Receiver r;
    const std::uint16_t port = FreeUdpPort();
    r.WriteSettings(port, "NOPORT");
    r.Start();
    ASSERT_TRUE(r.WaitAllLog("UDP Server Listen Port " + std::to_string(port)))
        << r.AllLog() << r.Stderr();

    std::vector<std::string> texts = kNewDatabaseTexts;
    texts.push_back("UDP Server Listen Port " + std::to_string(port));
    EXPECT_TRUE(HasBlock(LogMessages(r.AllLog()), texts)) << r.AllLog();
    EXPECT_EQ(std::string(kDbSize, '\0'), r.Db());
    EXPECT_EQ("", r.ErrLog());

    UdpUnit unit;
    const Bytes ping = PingFrame(12, 1);
    unit.Send(port, ping);
    ExpectAnswer(unit.Receive(5000), 0x01, Head8(ping));
    ASSERT_TRUE(r.WaitImpLog("0012 FIRST MSG"));
    EXPECT_EQ(1, Record(r.Db(), 12)[0]);
}

TEST(StartupPathsE2E, DatabaseOfWrongSizeKeepsTheReceiverFromWorking) {
    Receiver r;
    PtyPeer pty;
    UdpUnit unit;
    DbUnit u;
    u.nr = 5;
    u.port = unit.Port();
    u.lastMsg = DbSecondsNow() - 3600;
    u.account = "0505";
    const std::string db = MakeDb({u}).substr(0, kDbSize - 1);
    r.WriteDb(db);
    const std::uint16_t port = FreeUdpPort();
    r.WriteSettings(port, "COM7", 15, 60, 240, 0, 60);
    r.LinkPort("COM7", pty.SlaveName());
    r.Start();

    ASSERT_TRUE(r.WaitErrLog("ERROR connecting to DB. Application will not run."))
        << r.AllLog() << r.Stderr();
    EXPECT_EQ((std::vector<std::string>{
                  "ERROR!! Database size is invalid. Please repair or delete database "
                  "(RAZUDovuve.db) and launch the application again",
                  "ERROR connecting to DB. Application will not run."}),
              LogMessages(r.ErrLog()));
    pty.CloseSlave();

    // The heartbeat applied with the settings still goes out; the one of the
    // end of start-up does not, since start-up stopped before it.
    EXPECT_EQ(kHeartbeat, pty.ReadLine(5000));
    pty.Write({kAnswer});
    EXPECT_TRUE(pty.Read(1, 1500).empty());

    // No UDP endpoint: a datagram gets no answer and is not even logged.
    const Bytes ping = PingFrame(5, 1);
    unit.Send(port, ping);
    EXPECT_TRUE(unit.Receive(1500).empty());
    EXPECT_EQ(std::string::npos, r.AllLog().find("UDP Server Listen Port")) << r.AllLog();
    EXPECT_EQ(std::string::npos, r.AllLog().find("Receive from")) << r.AllLog();
    EXPECT_EQ(db, r.Db()) << "the file is left as it is";
    EXPECT_TRUE(r.Running());
}

TEST(StartupPathsE2E, RestartKeepsUnitsAndTheirReportedTroubleStages) {
    Receiver r;
    UdpUnit unit;
    std::uint16_t port = 0;
    {
        PtyPeer pty;
        LinkSettings s;
        s.ping = 0;
        port = StartLinked(r, pty, s);
        const Bytes event = EventFrame(42, 1, "4321");
        unit.Send(port, event);
        ExpectAnswer(unit.Receive(5000), 0x01, Head8(event));
        EXPECT_EQ("5077 184321E13001005", pty.ReadLine(5000));
        pty.Write({kAnswer});
        ASSERT_TRUE(WaitFor([&] { return r.Db().substr(42 * kRecordSize + 30, 4) == "4321"; }));
        r.Kill();
    }

    // Stages 1 and 2 were reported for the unit before the stop.
    std::string db = r.Db();
    ASSERT_EQ(kDbSize, db.size());
    db[42 * kRecordSize + 2] = 3;
    r.WriteDb(db);
    const Bytes before = Record(db, 42);

    PtyPeer pty;
    std::filesystem::remove(r.Dir() + "ports/COM7");
    r.LinkPort("COM7", pty.SlaveName());
    r.Start();
    // Today's log file holds both runs: wait for the second run's line.
    const std::string listening = "UDP Server Listen Port " + std::to_string(port);
    ASSERT_TRUE(WaitFor([&] { return Count(LogMessages(r.AllLog()), listening) == 2; }))
        << r.AllLog() << r.Stderr();
    pty.CloseSlave();

    // The unit is known: no first message, no new address; its stages are
    // known: the Ping brings the restore line.
    const Bytes ping = PingFrame(42, 2);
    const std::int64_t pingAt = DbSecondsNow();
    unit.Send(port, ping);
    ExpectAnswer(unit.Receive(5000), 0x01, Head8(ping));
    // The kill may have come before the first run took the answer to the
    // alarm: then the alarm was kept and goes out again first.
    std::string line = pty.ReadLine(7000);
    if (line == "5077 184321E13001005") {
        pty.Write({kAnswer});
        line = pty.ReadLine(7000);
    }
    EXPECT_EQ("5077 184321R35000000", line);
    pty.Write({kAnswer});

    EXPECT_TRUE(WaitAllBlock(
        r, {"", "Receive from 127.0.0.1:" + std::to_string(unit.Port()) + " (9 b.): 0x" + Hex(ping),
            "[Unit 0042] [Account 4321] - CommRestore",
            "[Unit 0042] [Account 4321] [FrameID=2] [Ping]", "Send ACK"}))
        << r.AllLog();
    EXPECT_EQ(1u, Count(LogMessages(r.ImpLog()), "0042 FIRST MSG"));
    EXPECT_EQ(1u, Count(LogMessages(r.ImpLog()),
                        "[Unit 0042] [Account 4321] Changed IP: [] -> [127.0.0.1]"));

    const Bytes after = Record(r.Db(), 42);
    EXPECT_EQ(0, after[2]) << "restore clears the stages on disk";
    EXPECT_EQ(1, after[0]);
    EXPECT_EQ(Hex(Bytes(before.begin() + 13, before.begin() + 23)),
              Hex(Bytes(after.begin() + 13, after.begin() + 23)))
        << "address and first-message time unchanged";
    EXPECT_EQ("4321", std::string(after.begin() + 30, after.begin() + 34));
    EXPECT_LE(std::llabs(static_cast<std::int64_t>(Le(after, 23, 4)) - pingAt), 2);
}
