// The whole alarm path against the real executable: a unit's datagram in,
// the unit's answer out, the monitoring software's line on the serial link,
// the log files and the unit database file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/AlarmPathSupport.h"

using namespace korvan;

using namespace e2e;
using namespace e2e::alarm;

namespace {

using Ms = std::chrono::milliseconds;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<Ms>(Clock::now() - since).count());
}

}  // namespace

// Every test runs a receiver of its own. The slow supervision tests here and
// in the reliability file are one test suite, so they share the fixture class.
using AlarmPathE2E = LinkedReceiverTest;
using SupervisionSlowE2E = LinkedReceiverTest;

TEST_F(AlarmPathE2E, WorkedEventIsAnsweredForwardedLoggedAndStored) {
    Start(LinkSettings{});  // heartbeats on

    // Start-up queued two heartbeats: the one applied with the settings file
    // and the one at the end of start-up. Once both are answered the link is
    // idle and the event line leaves at once.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(kHeartbeat, AnsweredLine()) << "heartbeat " << i;
    ASSERT_TRUE(pty.Read(1, 1000).empty());

    const Bytes event = EventFrame(123, 5, "1234");
    ASSERT_EQ(
        "06000005030201001A0C080A1E0031323334313133303031303035"
        "21",
        Hex(event));
    const std::int64_t sentAt = DbSecondsNow();
    const Bytes ack = Acked(event);
    EXPECT_EQ("0100000503020100", Hex(Head8(ack)));

    const Bytes line = pty.Read(21, 5000);
    ASSERT_EQ(21u, line.size());
    EXPECT_EQ("5077 181234E13001005", std::string(line.begin(), line.end() - 1));
    EXPECT_EQ(0x14, line.back());
    pty.Write({kAnswer});

    ASSERT_TRUE(r.WaitImpLog("[Unit 0123] Changed Account: [] -> [1234]")) << r.ImpLog();
    // The account reaches the file right after its log line.
    ASSERT_TRUE(WaitFor([&] { return r.Db().substr(123 * kRecordSize + 30, 4) == "1234"; }, 3000));
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_TRUE(HasBlock(all, {"", ReceivedLine(event),
                               "[Unit 0123] [Account 1234] [FrameID=5] [dt=08.12.2026 10:30:00] "
                               "[CID=E130-01-005]",
                               "Send ACK", ">> 5077 181234E13001005", "0123 FIRST MSG",
                               "[Unit 0123] [Account 1234] Changed IP: [] -> [127.0.0.1]",
                               "[Unit 0123] Changed Account: [] -> [1234]"}))
        << Joined(all);
    EXPECT_EQ((std::vector<std::string>{"0123 FIRST MSG",
                                        "[Unit 0123] [Account 1234] Changed IP: [] -> [127.0.0.1]",
                                        "[Unit 0123] Changed Account: [] -> [1234]"}),
              LogMessages(r.ImpLog()));
    EXPECT_EQ("", r.ErrLog());

    const std::string db = r.Db();
    ASSERT_EQ(kDbSize, db.size());
    const Bytes rec = Record(db, 123);
    EXPECT_EQ(1, rec[0]);
    EXPECT_EQ(0, rec[1]);
    EXPECT_EQ(0, rec[2]);
    EXPECT_EQ(0u, Le(rec, 5, 8));  // no IMEI in an Event
    EXPECT_EQ("0100007F", Hex(Bytes(rec.begin() + 13, rec.begin() + 17)));
    EXPECT_EQ(unit.Port(), Le(rec, 17, 2));
    const auto first = static_cast<std::int64_t>(Le(rec, 19, 4));
    const auto last = static_cast<std::int64_t>(Le(rec, 23, 4));
    EXPECT_LE(std::llabs(first - sentAt), 3) << first << " vs " << sentAt;
    EXPECT_EQ(first, last);
    EXPECT_EQ("000000", Hex(Bytes(rec.begin() + 27, rec.begin() + 30)));
    EXPECT_EQ("1234", std::string(rec.begin() + 30, rec.begin() + 34));
    EXPECT_EQ("000000000000", Hex(Bytes(rec.begin() + 34, rec.end())));
    // Nothing else in the file changed.
    std::string rest = db;
    rest.replace(123 * kRecordSize, kRecordSize, kRecordSize, '\0');
    EXPECT_EQ(std::string(kDbSize, '\0'), rest);
}

TEST_F(AlarmPathE2E, AnswerLetsTheNextLineOutAtOnce) {
    Start();  // no heartbeats between the lines
    ASSERT_EQ(15u, Exchange(EventFrame(200, 1, "4444", "1130", "01", "001")).size());
    ASSERT_EQ(15u, Exchange(EventFrame(200, 2, "4444", "1130", "01", "002")).size());

    EXPECT_EQ("5077 184444E13001001", pty.ReadLine(5000));
    // Without an answer the second line waits.
    EXPECT_TRUE(pty.Read(1, 1500).empty());

    pty.Write({kAnswer});
    const auto answered = Clock::now();
    EXPECT_EQ("5077 184444E13001002", AnsweredLine());
    EXPECT_LT(ElapsedMs(answered), 1500);

    ASSERT_TRUE(r.WaitAllLog(">> 5077 184444E13001002"));
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_EQ(1u, Count(all, ">> 5077 184444E13001001")) << Joined(all);
    EXPECT_EQ(1u, Count(all, ">> 5077 184444E13001002")) << Joined(all);
}

TEST_F(AlarmPathE2E, UnansweredLineIsWrittenAgainAfterFiveSeconds) {
    Start();
    ASSERT_EQ(15u, Exchange(EventFrame(201, 1, "4545", "3401", "02", "017")).size());

    // Qualifier 3: a restore, letter R.
    EXPECT_EQ("5077 184545R40102017", pty.ReadLine(5000));
    const auto firstAt = Clock::now();
    EXPECT_EQ("5077 184545R40102017", AnsweredLine(9000));
    const long gap = ElapsedMs(firstAt);
    EXPECT_GE(gap, 4500);
    EXPECT_LE(gap, 6500);

    EXPECT_TRUE(WaitAllCount(">> 5077 184545R40102017", 2)) << r.AllLog();
}

TEST_F(AlarmPathE2E, SetTimeRequestIsAnsweredWithNewTimeInsteadOfAck) {
    Start();
    const Bytes request = SetTimeRequestFrame(301, 7);
    const Bytes reply = Exchange(request);
    ASSERT_EQ(11u, reply.size()) << Hex(reply);
    EXPECT_EQ("0B000007", Hex(Bytes(reply.begin(), reply.begin() + 4)));
    EXPECT_LE(StampAgeSeconds(reply, 4), 2) << Hex(reply);
    EXPECT_TRUE(IsCrcValid(reply));
    EXPECT_TRUE(unit.Receive(300).empty()) << "no ACK after the new time";

    // The unit's record is still brought up to date.
    ASSERT_TRUE(r.WaitImpLog("0301 FIRST MSG"));
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_TRUE(HasBlock(
        all, {"", ReceivedLine(request), "[Unit 0301] [Account ] [FrameID=7] [Set Time Request]",
              "Send New Time  (0x" + Hex(reply) + ")", "0301 FIRST MSG"}))
        << Joined(all);
    EXPECT_EQ(0u, Count(all, "Send ACK"));
    EXPECT_EQ(1, Record(r.Db(), 301)[0]);
}

TEST_F(AlarmPathE2E, ChangeUnitNrRequestGetsLowestFreeNumberAndChangesNoRecord) {
    Start();
    ASSERT_EQ(15u, Exchange(PingFrame(1, 1)).size());  // number 0001 is taken from now on
    ASSERT_TRUE(r.WaitImpLog("0001 FIRST MSG"));

    const Bytes request = ChangeUnitNrRequestFrame(7, 0x0102, "350000000000007");
    for (int round = 0; round < 2; ++round) {
        const Bytes reply = Exchange(request);
        // Not reserved: the second request gets the same number.
        ASSERT_EQ(24u, reply.size()) << Hex(reply);
        const std::string imei = "350000000000007";
        EXPECT_EQ("21000102" + Hex(Bytes(imei.begin(), imei.end())) + "02000000" +
                      Hex(Bytes{Crc8(ByteSpan(reply.data(), 23))}),
                  Hex(reply))
            << "round " << round;
        EXPECT_EQ(Hex(BuildNewUnitNr(request, "0002")), Hex(reply));
        EXPECT_TRUE(IsCrcValid(reply));
        EXPECT_TRUE(unit.Receive(200).empty()) << "no ACK after the new number";
    }

    ASSERT_TRUE(WaitAllCount("Find First Free UnitNr: 0002", 2, 10000));
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_TRUE(HasBlock(
        all, {"", ReceivedLine(request),
              "[Unit 0007] [Account ] [FrameID=258] [Change UnitNr Request] "
              "[imei=350000000000007]",
              "Find First Free UnitNr: 0002",
              "Send New UnitNr=\"0002\"  (0x" + Hex(BuildNewUnitNr(request, "0002")) + ")"}))
        << Joined(all);
    EXPECT_EQ((std::vector<std::string>{"0001 FIRST MSG",
                                        "[Unit 0001] [Account ] Changed IP: [] -> [127.0.0.1]"}),
              LogMessages(r.ImpLog()));
    // Datagrams are handled one after another, so the Ping's record is
    // complete by now; nothing else is in the file.
    std::string db = r.Db();
    ASSERT_EQ(kDbSize, db.size());
    EXPECT_EQ(1, Record(db, 1)[0]);
    db.replace(1 * kRecordSize, kRecordSize, kRecordSize, '\0');
    EXPECT_EQ(std::string(kDbSize, '\0'), db) << "no record is created or changed";
}

struct AckCase {
    const char* name;
    Bytes frame;
    std::string logLine;
};

TEST_F(AlarmPathE2E, PingImeiFwVerPingAndGsmLevelAreAcknowledged) {
    Start();
    const std::vector<AckCase> cases = {
        {"PingImeiFwVer", PingImeiFwVerFrame(302, 8, "356789012345678", {1, 2, 15}),
         "[Unit 0302] [Account ] [FrameID=8] [Ping/imei/fwVer] [imei=356789012345678] "
         "[fwVer=1.2.15]"},
        {"Ping", PingFrame(303, 9), "[Unit 0303] [Account ] [FrameID=9] [Ping]"},
        {"GSMLevel", GsmLevelFrame(304, 10, 17),
         "[Unit 0304] [Account ] [FrameID=10] [GSM Level=17]"},
    };
    for (const AckCase& c : cases) {
        SCOPED_TRACE(c.name);
        Acked(c.frame);
        ASSERT_TRUE(r.WaitAllLog(c.logLine)) << r.AllLog();
        EXPECT_TRUE(WaitAllBlock(r, {"", ReceivedLine(c.frame), c.logLine, "Send ACK"}))
            << r.AllLog();
    }

    // The report with IMEI and firmware is stored; the level is not.
    ASSERT_TRUE(r.WaitImpLog("0304 FIRST MSG"));
    const std::vector<std::string> imp = LogMessages(r.ImpLog());
    EXPECT_TRUE(
        HasBlock(imp, {"0302 FIRST MSG", "[Unit 0302] [Account ] Changed IP: [] -> [127.0.0.1]",
                       "[Unit 0302] [Account ] Changed Imei: [] -> [356789012345678]",
                       "[Unit 0302] [Account ] Changed fwVer: [] -> [1.2.15]"}))
        << Joined(imp);
    const Bytes rec = Record(r.Db(), 302);
    EXPECT_EQ(356789012345678u, Le(rec, 5, 8));
    EXPECT_EQ("01020F", Hex(Bytes(rec.begin() + 27, rec.begin() + 30)));
    EXPECT_TRUE(pty.Read(1, 300).empty()) << "no monitoring line for reports";
}

struct RejectCase {
    const char* name;
    Bytes datagram;
    std::string message;  // with the datagram's hex text appended
    Bytes nackHead;
};

TEST_F(AlarmPathE2E, EveryRejectionIsLoggedAsImportantAndAnsweredWithNack) {
    Start();
    const std::string dbBefore = r.Db();

    const Bytes ping = PingFrame(123, 6);
    ASSERT_EQ(
        "23000006030201"
        "00F2",
        Hex(ping));
    Bytes badCrc = ping;
    badCrc.back() ^= 0x01;
    Bytes badUnit = Header(frame::kPing, 123, 6);
    badUnit[5] = 0x0A;
    badUnit = AppendCrc(badUnit);
    Bytes badSize = Header(frame::kPing, 123, 6);
    badSize.push_back(0);
    badSize = AppendCrc(badSize);

    const std::vector<RejectCase> cases = {
        {"TooShort",
         {0x06, 0x00, 0x00, 0x05, 0x03},
         "Receive TOO SHORT STRING from 127.0.0.1 (5 b.): 0x",
         {0x02, 0, 0, 0, 0, 0, 0, 0}},
        {"TooShortEightBytes", Head8(ping), "Receive TOO SHORT STRING from 127.0.0.1 (8 b.): 0x",
         Head8(ping)},
        {"BadCrc", badCrc, "Receive msg, containing INVALID CRC. Msg from 127.0.0.1 (9 b.): 0x",
         Head8(badCrc)},
        {"BadFrameType", AppendCrc(Header(frame::kGetPing, 123, 6)),
         "Receive msg, containing INVALID FrameType (0x24). Msg from 127.0.0.1 (9 b.): 0x",
         Head8(Header(frame::kGetPing, 123, 6))},
        {"BadUnitID", badUnit,
         "Receive msg, containing INVALID UnitID. Msg from 127.0.0.1 (9 b.): 0x", Head8(badUnit)},
        {"BadEncrMarker", AppendCrc(Header(frame::kPing, 123, 6, 0xFE)),
         "Receive msg, containing INVALID EncrMarker. Msg from 127.0.0.1 (9 b.): 0x",
         Header(frame::kPing, 123, 6, 0xFE)},
        {"BadSize", badSize, "Receive INVALID Size STRING from 127.0.0.1 (10 b.): 0x",
         Head8(badSize)},
    };

    std::vector<std::string> messages;
    for (const RejectCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = c.message + Hex(c.datagram);
        messages.push_back(message);
        ExpectAnswer(Exchange(c.datagram), 0x02, c.nackHead);
        ASSERT_TRUE(r.WaitImpLog(message)) << r.ImpLog();
        EXPECT_TRUE(WaitAllBlock(r, {"", ReceivedLine(c.datagram), message, "Send NACK"}))
            << r.AllLog();
    }

    EXPECT_EQ(messages, LogMessages(r.ImpLog()));
    EXPECT_EQ(dbBefore, r.Db()) << "a refused datagram touches no record";
    EXPECT_TRUE(pty.Read(1, 300).empty());
    EXPECT_EQ("", r.ErrLog());
}

TEST_F(AlarmPathE2E, EmptyDatagramIsRefusedAsTooShort) {
    Start();
    ExpectAnswer(Exchange(Bytes{}), 0x02, Bytes(8, 0));
    ASSERT_TRUE(r.WaitImpLog("Receive TOO SHORT STRING from 127.0.0.1 (0 b.): 0x\r\n"))
        << r.AllLog();
    EXPECT_TRUE(
        WaitAllBlock(r, {"", ReceivedLine(Bytes{}),
                         "Receive TOO SHORT STRING from 127.0.0.1 (0 b.): 0x", "Send NACK"}))
        << r.AllLog();
}

TEST_F(AlarmPathE2E, UnitZeroIsAUnitOfItsOwn) {
    Start();
    EXPECT_EQ("0100000100000000", Hex(Head8(Acked(PingFrame(0, 1)))));
    Acked(EventFrame(0, 2, "9876"));
    EXPECT_EQ("5077 189876E13001005", AnsweredLine());

    ASSERT_TRUE(r.WaitImpLog("[Unit 0000] Changed Account: [] -> [9876]")) << r.ImpLog();
    EXPECT_EQ((std::vector<std::string>{"0000 FIRST MSG",
                                        "[Unit 0000] [Account ] Changed IP: [] -> [127.0.0.1]",
                                        "[Unit 0000] Changed Account: [] -> [9876]"}),
              LogMessages(r.ImpLog()));
    EXPECT_TRUE(WaitFor([&] { return r.Db().substr(30, 4) == "9876"; }, 3000));
    EXPECT_EQ(1, Record(r.Db(), 0)[0]);
}

TEST_F(AlarmPathE2E, RepeatedEventIsQueuedTwice) {
    Start();
    const Bytes event = EventFrame(400, 33, "4040", "1401", "03", "012");
    for (int i = 0; i < 2; ++i) Acked(event);
    EXPECT_EQ("5077 184040E40103012", AnsweredLine());
    EXPECT_EQ("5077 184040E40103012", AnsweredLine());

    ASSERT_TRUE(WaitAllCount(">> 5077 184040E40103012", 2));
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_EQ(
        2u,
        Count(
            all,
            "[Unit 0400] [Account 4040] [FrameID=33] [dt=08.12.2026 10:30:00] [CID=E401-03-012]"));
    EXPECT_EQ(2u, Count(all, "Send ACK"));
    EXPECT_EQ(1u, Count(LogMessages(r.ImpLog()), "0400 FIRST MSG"));
}

TEST_F(AlarmPathE2E, UnitThatMovedIsAnsweredAtItsNewAddress) {
    Start();
    UdpUnit& a = unit;
    UdpUnit b;               // same address, another port
    UdpUnit c("127.0.0.2");  // another address
    ASSERT_NE(0, c.Port()) << "cannot bind 127.0.0.2";

    Acked(PingFrame(321, 1), &a);
    ASSERT_TRUE(r.WaitImpLog("0321 FIRST MSG"));

    Acked(PingFrame(321, 2), &b);
    EXPECT_TRUE(a.Receive(200).empty());
    ASSERT_TRUE(WaitFor([&] { return Le(Record(r.Db(), 321), 17, 2) == b.Port(); }, 3000));
    // A new port alone is stored without a word.
    EXPECT_EQ((std::vector<std::string>{"0321 FIRST MSG",
                                        "[Unit 0321] [Account ] Changed IP: [] -> [127.0.0.1]"}),
              LogMessages(r.ImpLog()));

    Acked(EventFrame(321, 3, "3210"), &c);
    EXPECT_TRUE(a.Receive(200).empty());
    EXPECT_TRUE(b.Receive(10).empty());
    EXPECT_EQ("5077 183210E13001005", AnsweredLine());
    ASSERT_TRUE(r.WaitImpLog("[Unit 0321] [Account 3210] Changed IP: [127.0.0.1] -> [127.0.0.2]"))
        << r.ImpLog();
    ASSERT_TRUE(WaitFor([&] { return Le(Record(r.Db(), 321), 17, 2) == c.Port(); }, 3000));
    const Bytes rec = Record(r.Db(), 321);
    EXPECT_EQ("0200007F", Hex(Bytes(rec.begin() + 13, rec.begin() + 17)));
}

// --- The fleet: an independent unit simulator and an answering monitoring peer ---

namespace {

// The unit simulator built next to the executable, when there is one.
std::string UnitSimPath() {
    const std::string path =
        (std::filesystem::path(RAZUDOVUVE_EXE).parent_path() / "unit-sim").string();
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

// Runs the simulator for one Event and returns its exit status (0: answered
// correctly), or -1 when it did not end in time.
int RunUnitSim(const std::string& sim, const std::vector<std::string>& args,
               const std::string& outPath) {
    // Everything the child needs is made before the fork: the answering
    // peer's thread runs meanwhile, so the child only opens and executes.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("TZ=", 0) != 0)
            env.emplace_back(*e);
    }
    env.emplace_back("TZ=UTC");  // the receiver's clock
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = args;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(sim.c_str()));
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::close_range(3, ~0U, 0);
        ::execve(sim.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The monitoring software: answers every transmission with one byte and
// keeps the lines that are not heartbeats.
class AnsweringPeer {
public:
    explicit AnsweringPeer(PtyPeer& pty) : pty_(pty), thread_([this] { Run(); }) {}
    ~AnsweringPeer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    int Torn() const { return torn_; }

private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            const Bytes b = pty_.Read(21 - pending.size(), 100);
            pending.insert(pending.end(), b.begin(), b.end());
            if (pending.size() < 21)
                continue;
            const std::string line(pending.begin(), pending.end() - 1);
            if (pending.back() != 0x14)
                ++torn_;
            pending.clear();
            pty_.Write({kAnswer});
            if (line == kHeartbeat)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
        }
    }

    PtyPeer& pty_;
    std::atomic<bool> stop_{false};
    std::atomic<int> torn_{0};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

}  // namespace

TEST_F(AlarmPathE2E, FleetOfUnitsEveryAlarmArrivesOnceInOrder) {
    Start(LinkSettings{});  // heartbeats on, as in the field
    AnsweringPeer peer(pty);

    const std::string sim = UnitSimPath();
    if (sim.empty())
        std::cout << "unit-sim is not built: the test sends frames of its own\n";
    const std::string simOut = r.Dir() + "unit-sim.txt";
    std::vector<std::string> expected;
    for (int k = 1; k <= 20; ++k) {
        const int unitNr = 500 + (k - 1) % 5 + 1;  // units 0501..0505 in turn
        char account[8], zone[8];
        std::snprintf(account, sizeof account, "%d", 5000 + unitNr - 500);
        std::snprintf(zone, sizeof zone, "%.3d", k);
        expected.push_back(std::string("5077 18") + account + "E130" + "01" + zone);
        if (!sim.empty()) {
            // One try only: a repeated datagram would be a second alarm.
            EXPECT_EQ(0, RunUnitSim(sim,
                                    {"one",
                                     "--host",
                                     "127.0.0.1",
                                     "--port",
                                     std::to_string(port),
                                     "--type",
                                     "event",
                                     "--unit",
                                     std::to_string(unitNr),
                                     "--frame-id",
                                     std::to_string(k),
                                     "--account",
                                     account,
                                     "--event",
                                     "1130",
                                     "--partition",
                                     "01",
                                     "--zone",
                                     zone,
                                     "--timeout",
                                     "3000",
                                     "--retries",
                                     "0"},
                                    simOut))
                << "event " << k << "\n"
                << ReadFile(simOut);
        } else {
            Acked(EventFrame(unitNr, k, account, "1130", "01", zone), nullptr, 3000);
        }
    }

    EXPECT_TRUE(WaitFor([&] { return peer.Lines().size() >= expected.size(); }, 30000));
    EXPECT_EQ(expected, peer.Lines()) << Joined(peer.Lines());
    EXPECT_EQ(0, peer.Torn());
    const std::vector<std::string> all = LogMessages(r.AllLog());
    for (const std::string& line : expected) EXPECT_EQ(1u, Count(all, ">> " + line)) << line;
    EXPECT_EQ("", r.ErrLog());
}

// --- Communication supervision (about 65 seconds: the first check comes a
// minute after start) ---

TEST_F(SupervisionSlowE2E, SilentUnitGetsStageOneAtFirstCheckAndRestoreOnItsNextPing) {
    r.WriteDb(MakeDb({SilentUnit(77, "5555")}));
    const auto start = Clock::now();
    Start({.delay = 0, .ping = 0});

    EXPECT_EQ("5077 185555E35000001", AnsweredLine(80000));
    EXPECT_GE(ElapsedMs(start), 55000) << "stage 1 before the first check";
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_TRUE(HasBlock(all, {"", "[Unit 0077] [Account 5555] - CommTrouble1 (15 min. No Ping)"}))
        << Joined(all);
    EXPECT_EQ(0u, Count(all, "[Unit 0077] [Account 5555] - CommTrouble2 (60 min. No Ping)"));
    EXPECT_EQ(1, Record(r.Db(), 77)[2]);

    Acked(PingFrame(77, 1));
    EXPECT_EQ("5077 185555R35000000", AnsweredLine(7000));
    ASSERT_TRUE(r.WaitAllLog("[Unit 0077] [Account 5555] - CommRestore"));
    EXPECT_EQ(0, Record(r.Db(), 77)[2]);
    EXPECT_EQ("", r.ErrLog());
}
