// The monitoring software over TCP, against the real executable: in both
// forms (the receiver connecting to the monitoring software's listener, and
// the monitoring software connecting to the receiver's listening port) the
// alarms and the heartbeat go over TCP while it is up, over the serial line
// while it is down, and a backlog drains over TCP at once when it is back.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/AlarmPathSupport.h"
#include "e2e/Tools.h"

using namespace e2e;
using namespace e2e::alarm;

namespace {

// A TCP port free on loopback now.
std::uint16_t FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// monitor-sim at the far end of the TCP link, answering every line at once
// and writing it to `log`: it listens for the receiver or connects to the
// receiver's listening port. Destroyed, it is killed and the kernel closes
// its end.
std::unique_ptr<Tool> StartSim(bool listen, std::uint16_t port, const std::string& log) {
    const std::string p = std::to_string(port);
    return std::make_unique<Tool>(
        ToolPath("monitor-sim"),
        std::vector<std::string>{listen ? "--tcp-listen" : "--tcp-connect",
                                 listen ? p : "127.0.0.1:" + p, "--log", log, "--quiet"},
        log + ".out");
}

// The lines monitor-sim wrote, heartbeats apart.
std::vector<std::string> SimLines(const std::string& log) {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(log));
    for (std::string l; std::getline(in, l);) {
        if (l.find('@') == std::string::npos)
            out.push_back(l);
    }
    return out;
}

struct Form {
    const char* name;
    bool receiverListens;
};

class MonitoringTcpE2E : public ::testing::TestWithParam<Form> {};

// Sends alarms with zone numbers `from`..`to` of unit 0601, each answered
// with an ACK; returns their lines.
std::vector<std::string> SendAlarms(UdpUnit& unit, std::uint16_t port, int from, int to) {
    std::vector<std::string> lines;
    for (int k = from; k <= to; ++k) {
        char zone[8];
        std::snprintf(zone, sizeof zone, "%.3d", k % 1000);
        const Bytes event = EventFrame(601, k, "6001", "1130", "01", zone);
        unit.Send(port, event);
        const Bytes reply = unit.Receive(5000);
        EXPECT_EQ(0x01, reply.empty() ? -1 : reply[0]) << "alarm " << k;
        lines.push_back(std::string("5077 186001E13001") + zone);
    }
    return lines;
}

TEST_P(MonitoringTcpE2E, AlarmsGoOverTcpFallBackToSerialAndDrainOverTcpAgain) {
    ASSERT_TRUE(std::filesystem::exists(ToolPath("monitor-sim")))
        << "monitor-sim is built beside the receiver by the full build";
    const bool receiverListens = GetParam().receiverListens;
    const std::uint16_t tcpPort = FreeTcpPort();
    const std::uint16_t udpPort = FreeUdpPort();
    Receiver r;
    PtyPeer pty;
    WriteFile(r.Dir() + "RAZUDovuve.ini",
              std::to_string(udpPort) + "\r\nCOM7\r\n15\r\n60\r\n240\r\n7\r\n5\r\n" +
                  (receiverListens ? "listen " : "127.0.0.1:") + std::to_string(tcpPort) + "\r\n");
    r.LinkPort("COM7", pty.SlaveName());
    const std::string log1 = r.Dir() + "tcp-1.txt", log2 = r.Dir() + "tcp-2.txt";
    auto peer = StartSim(!receiverListens, tcpPort, log1);
    r.Start();
    ASSERT_TRUE(r.WaitImpLog("Monitoring TCP connected: 127.0.0.1:")) << r.ImpLog() << r.Stderr();
    pty.CloseSlave();
    // What the serial line got before the TCP link was up (a heartbeat).
    pty.Read(1000, 3500);

    // Over TCP, in order, with the heartbeat; nothing on the serial line.
    UdpUnit unit;
    std::vector<std::string> sent = SendAlarms(unit, udpPort, 1, 5);
    ASSERT_TRUE(WaitFor([&] {
        return SimLines(log1).size() >= 5 && ReadFile(log1).find('@') != std::string::npos;
    })) << ReadFile(log1);
    EXPECT_EQ(sent, SimLines(log1));
    EXPECT_TRUE(pty.Read(1, 300).empty());

    // The peer goes away: the alarms arrive on the serial line.
    peer.reset();
    ASSERT_TRUE(r.WaitImpLog("!! MONITORING TCP LOST 127.0.0.1:")) << r.ImpLog();
    std::vector<std::string> serial;
    const std::vector<std::string> fallback = SendAlarms(unit, udpPort, 6, 8);
    for (int i = 0; i < 20 && serial.size() < fallback.size(); ++i) {
        const std::string line = NextAlarmLine(pty, 6000);
        if (line.empty())
            break;
        serial.push_back(line);
        pty.Write({kAnswer});
    }
    EXPECT_EQ(fallback, serial) << r.AllLog();

    // A backlog builds up while the serial line does not answer, and drains
    // over TCP within seconds once the peer is back.
    const std::vector<std::string> backlog = SendAlarms(unit, udpPort, 9, 508);
    const auto back = Clock::now();
    peer = StartSim(!receiverListens, tcpPort, log2);
    EXPECT_TRUE(WaitFor([&] { return SimLines(log2).size() >= backlog.size(); }, 30000))
        << SimLines(log2).size();
    const auto seconds = std::chrono::duration<double>(Clock::now() - back).count();
    EXPECT_LT(seconds, 15.0);
    std::printf("backlog of %zu lines drained over TCP in %.2f s\n", backlog.size(), seconds);

    // Every alarm acknowledged to the unit arrived on one of the two.
    std::set<std::string> arrived(serial.begin(), serial.end());
    for (const std::string& log : {log1, log2}) {
        for (const std::string& l : SimLines(log)) arrived.insert(l);
    }
    sent.insert(sent.end(), fallback.begin(), fallback.end());
    sent.insert(sent.end(), backlog.begin(), backlog.end());
    for (const std::string& l : sent) EXPECT_EQ(1u, arrived.count(l)) << l;
    EXPECT_EQ("", r.ErrLog());
}

INSTANTIATE_TEST_SUITE_P(Forms, MonitoringTcpE2E,
                         ::testing::Values(Form{"ReceiverConnects", false},
                                           Form{"ReceiverListens", true}),
                         [](const ::testing::TestParamInfo<Form>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
