// The field tools against the real receiver: unit-sim plays a few units that
// send alarms and pings over UDP, monitor-sim plays the monitoring software on
// the pseudo-terminal the receiver knows as COM7. Every alarm must reach the
// monitoring software exactly once, in the order the units sent them.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/ReceiverHarness.h"
#include "e2e/Tools.h"

using namespace e2e;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The value of key=value in the tool's "summary ..." line; empty when absent.
std::string SummaryValue(const std::string& output, const std::string& key) {
    for (const std::string& line : Lines(output)) {
        if (line.rfind("summary ", 0) != 0)
            continue;
        const std::size_t at = line.find(" " + key + "=");
        if (at == std::string::npos)
            return "";
        const std::size_t from = at + key.size() + 2;
        return line.substr(from, line.find(' ', from) - from);
    }
    return "";
}

}  // namespace

TEST(SimulatorsE2E, EveryAlarmOfAFewUnitsReachesTheMonitoringSoftwareOnceAndInOrder) {
    const std::string unitSim = ToolPath("unit-sim");
    const std::string monitorSim = ToolPath("monitor-sim");
    ASSERT_TRUE(std::filesystem::exists(unitSim) && std::filesystem::exists(monitorSim))
        << "unit-sim and monitor-sim are built beside the receiver by the full build; missing in "
        << std::filesystem::path(RAZUDOVUVE_EXE).parent_path();

    // 4 units, 24 frames in 1.2 s, every second one an Event: 12 alarms,
    // numbered 001..012 in their zone. The heartbeat is off, so every line the
    // monitoring software sees is an alarm. (The receiver takes the next line
    // out only once the answer to the last one has settled, a few lines a
    // second, so a dozen alarms keep the test short.)
    constexpr int kAlarms = 12;
    Receiver r;
    const std::uint16_t port = FreeUdpPort();
    r.WriteSettings(port, "COM7", 15, 60, 240, 7, 0);
    const std::string log = r.Dir() + "monitoring.log";
    Tool monitor(monitorSim,
                 {"--pty-dir", r.Dir(), "--name", "COM7", "--log", log, "--quiet", "--expect",
                  std::to_string(kAlarms), "--duration", "60"},
                 r.Dir() + "monitor-sim.txt");
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::is_symlink(r.Dir() + "ports/COM7"); }))
        << monitor.Output();
    r.Start();
    ASSERT_TRUE(r.WaitAllLog("UDP Server Listen Port")) << r.AllLog() << r.Stderr();
    ASSERT_TRUE(r.WaitAllLog("Serial Port COM7 opened")) << r.AllLog();

    Tool units(unitSim,
               {"load",
                "--port",
                std::to_string(port),
                "--units",
                "4",
                "--first-unit",
                "201",
                "--rate",
                "20",
                "--duration",
                "1.2",
                "--events-percent",
                "50",
                "--event",
                "1130",
                "--numbered-zones",
                "--timeout",
                "3000",
                "--show",
                "100"},
               r.Dir() + "unit-sim.txt");
    ASSERT_EQ(0, units.Wait(60000)) << units.Output();
    const std::string unitOut = units.Output();
    EXPECT_EQ("24", SummaryValue(unitOut, "sent")) << unitOut;
    // Every frame answered at the first try: a frame sent twice would reach
    // the receiver twice, and its alarm the monitoring software twice.
    ASSERT_EQ("24", SummaryValue(unitOut, "first_try")) << unitOut;

    ASSERT_EQ(0, monitor.Wait(30000)) << monitor.Output();
    const std::string monitorOut = monitor.Output();
    EXPECT_EQ(std::to_string(kAlarms), SummaryValue(monitorOut, "events")) << monitorOut;
    EXPECT_EQ("0", SummaryValue(monitorOut, "retransmissions")) << monitorOut;
    EXPECT_EQ("0", SummaryValue(monitorOut, "malformed")) << monitorOut;

    // "5077 18" + account + "E130" + partition "00" + zone: one line per
    // alarm, zones 001..012 in the order the units sent them. The account is
    // the sending unit's number.
    const std::vector<std::string> lines = Lines(ReadFile(log));
    ASSERT_EQ(static_cast<std::size_t>(kAlarms), lines.size()) << ReadFile(log);
    for (int i = 0; i < kAlarms; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i)];
        char zone[8];
        std::snprintf(zone, sizeof zone, "%03d", i + 1);
        ASSERT_EQ(20u, line.size()) << line;
        EXPECT_EQ("5077 18", line.substr(0, 7)) << line;
        const std::string account = line.substr(7, 4);
        EXPECT_TRUE(account >= "0201" && account <= "0204") << line;
        EXPECT_EQ("E13000" + std::string(zone), line.substr(11)) << "alarm " << i + 1;
    }
    // And the receiver logged each one as it forwarded it.
    const std::string all = r.AllLog();
    for (int i = 1; i <= kAlarms; ++i) {
        char cid[32];
        std::snprintf(cid, sizeof cid, "[CID=E130-00-%03d]", i);
        EXPECT_NE(std::string::npos, all.find(cid)) << cid;
    }
}
