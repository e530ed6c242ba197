#include <gtest/gtest.h>

#include "e2e/FaultHarness.h"

using namespace korvan;

// The receiver killed without warning, again and again, while units report:
// the database it leaves behind is always whole and every record in it is
// the record of one unit.

namespace e2e::fault {
namespace {

constexpr int kKills = 100;
constexpr int kSockets = 4;       // unit N always sends from socket N % kSockets
constexpr int kWatchUnit = 9996;  // finds the receiver up; 9996 % 4 == 0

std::uint64_t Le(const std::string& db, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(db[at + static_cast<std::size_t>(i)]);
    return v;
}

// Every field of every record is either still zero (not yet written when
// the process died: fields are written one at a time) or a value the unit of
// that record sent. Returns the first problem, or "" when there is none.
std::string CheckDb(const std::string& db, const std::uint16_t (&ports)[kSockets],
                    std::int64_t fromSeconds, std::int64_t toSeconds, int* used, int* partial) {
    if (db.size() != 400000)
        return "size " + std::to_string(db.size());
    *used = 0;
    *partial = 0;
    for (int nr = 0; nr < 10000; ++nr) {
        const std::string rec = db.substr(static_cast<std::size_t>(nr) * 40, 40);
        const std::string where = "unit " + AccountOf(nr) + ": ";
        const unsigned char marker = static_cast<unsigned char>(rec[0]);
        if (marker == 0) {
            if (rec != std::string(40, '\0'))
                return where + "fields without the used marker";
            continue;
        }
        if (marker != 1)
            return where + "used marker " + std::to_string(marker);
        ++*used;
        // reserved, trouble stages, unused bytes, IMEI, firmware: never sent
        for (std::size_t i : {1u, 2u, 3u, 4u, 27u, 28u, 29u, 34u, 35u, 36u, 37u, 38u, 39u}) {
            if (rec[i] != 0)
                return where + "byte " + std::to_string(i) + " set";
        }
        if (Le(rec, 5, 8) != 0)
            return where + "an IMEI";
        const std::uint64_t ip = Le(rec, 13, 4);
        if (ip != 0 && ip != 0x7F000001)
            return where + "address " + std::to_string(ip);
        const std::uint64_t port = Le(rec, 17, 2);
        if (port != 0 && port != ports[nr % kSockets])
            return where + "port " + std::to_string(port) + " of another unit's socket";
        const std::int64_t first = static_cast<std::int64_t>(Le(rec, 19, 4));
        const std::int64_t last = static_cast<std::int64_t>(Le(rec, 23, 4));
        for (std::int64_t t : {first, last}) {
            if (t != 0 && (t < fromSeconds || t > toSeconds))
                return where + "time " + std::to_string(t) + " out of range";
        }
        if (first != 0 && last != 0 && first > last)
            return where + "first message after the last";
        if (first == 0 || last == 0 || ip == 0 || port == 0)
            ++*partial;  // caught between two of its field writes
        const std::string account = rec.substr(30, 4);
        if (account != std::string(4, '\0') && account != AccountOf(nr))
            return where + "account [" + account + "]";
    }
    return "";
}

TEST(KillRestartE2E, HundredKillsUnderLoadLeaveAWholeDatabaseOfWholeRecords) {
    const std::uint16_t port = FreeUdpPort();
    Receiver r;
    r.WriteSettings(port, "NOPORT", 15, 60, 240, 7, 0);
    UdpUnit sockets[kSockets];
    std::uint16_t ports[kSockets];
    for (int i = 0; i < kSockets; ++i) ports[i] = sockets[i].Port();

    std::mt19937 random(20261208);
    const std::int64_t from = DbSecondsNow() - 2;
    const auto started = Clock::now();
    int killedUp = 0;
    int killedStarting = 0;
    long datagrams = 0;
    int used = 0;
    int partial = 0;
    int mostPartial = 0;
    for (int k = 0; k < kKills; ++k) {
        SCOPED_TRACE(k);
        r.Start();
        // One kill in four during start-up, at any moment of it; the rest
        // while units are reporting. The first start creates the database
        // and is let through.
        const bool duringStartUp = k > 0 && random() % 4 == 0;
        if (duringStartUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
            ++killedStarting;
        } else {
            ASSERT_TRUE(WaitListening(sockets[0], port, kWatchUnit)) << r.AllLog() << r.Stderr();
            // Units report as fast as they can from a thread of their own;
            // the kill comes from here at a random moment.
            std::atomic<bool> stop{false};
            std::atomic<long> sent{0};
            std::thread load([&, seed = random()] {
                std::mt19937 rnd(seed);
                std::uint16_t id = 0;
                while (!stop) {
                    const int nr = 1 + static_cast<int>(rnd() % 9999);
                    UdpUnit& s = sockets[nr % kSockets];
                    if (rnd() % 3 == 0)
                        s.Send(port, PingFrame(nr, ++id));
                    else
                        s.Send(port, EventFrame(nr, ++id, AccountOf(nr)));
                    if (++sent % 8 == 0)
                        std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 300));
            r.Kill(SIGKILL);
            stop = true;
            load.join();
            datagrams += sent;
            ++killedUp;
        }
        r.Kill(SIGKILL);
        const std::string problem =
            CheckDb(r.Db(), ports, from, DbSecondsNow() + 2, &used, &partial);
        ASSERT_EQ("", problem) << "after kill " << k;
        mostPartial = std::max(mostPartial, partial);
    }

    // A record whose process died between its used marker and its first
    // message time keeps no first message time: it is set only once.
    const std::string db = r.Db();
    int firstless = 0;
    for (int nr = 0; nr < 10000; ++nr) {
        if (db[static_cast<std::size_t>(nr) * 40] == 1 &&
            Le(db, static_cast<std::size_t>(nr) * 40 + 19, 4) == 0)
            ++firstless;
    }

    // After all that, the receiver starts and works as ever.
    r.Start();
    EXPECT_TRUE(WaitListening(sockets[0], port, kWatchUnit)) << r.AllLog() << r.Stderr();
    EXPECT_NE(std::string::npos, r.AllLog().find("Connected to database"));
    EXPECT_EQ("", r.ErrLog());
    r.Kill(SIGTERM);
    std::printf(
        "%d kills while units reported (%ld datagrams sent), %d during start-up, in %.1f s; "
        "%d records in use, up to %d of them caught between field writes, none mixed; "
        "%d without a first message time\n",
        killedUp, datagrams, killedStarting,
        std::chrono::duration<double>(Clock::now() - started).count(), used, mostPartial,
        firstless);
}

}  // namespace
}  // namespace e2e::fault
