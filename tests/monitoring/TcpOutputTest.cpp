#include <gtest/gtest.h>

#include "fakes/FakeScheduler.h"
#include "fakes/FakeTcp.h"
#include "fakes/RecordingLineEvents.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/TcpOutput.h"

using namespace korvan;

namespace {

struct TcpOutputTest : ::testing::Test {
    TcpOutputTest() { out.SetEvents(&rec); }
    FakeScheduler clock;
    TestLogChannels ch{clock, clock};
    FakeTcpFactory tcp;
    TcpOutput out{tcp, clock, ch.Channels()};
    RecordingLineEvents rec;
};

// Only the first read after the line has left answers it; 0x15 refuses,
// 0x06 delivers, anything else is no answer.
TEST_F(TcpOutputTest, AnswersBelongToADrainedLine) {
    const struct {
        Bytes read;
        const char* logged;  // null: an answer
    } cases[] = {{{0x06}, nullptr},
                 {{0x15, 0x06}, nullptr},
                 {{'O', 'K'}, "Monitoring TCP: bytes that are no answer: 0x4F4B"}};
    out.Apply(*ParseMonitoringTcp("10.0.0.2:1025"));
    tcp.events->TcpConnected("10.0.0.2:1025");
    for (const auto& c : cases) {
        rec.told.clear();
        rec.answers.clear();
        ch.allMemo.Clear();
        ASSERT_TRUE(out.Write(Bytes{'L', 0x14}));
        EXPECT_FALSE(out.CanWrite());
        tcp.events->TcpReceived({0x06});  // before the line left: discarded
        tcp.Drain();
        tcp.events->TcpReceived(c.read);
        std::vector<std::string> all = {"Monitoring TCP: no line in flight, bytes discarded: 0x06"};
        if (c.logged)
            all.push_back(c.logged);
        EXPECT_EQ(c.logged ? "DR" : "DRA", rec.told);
        EXPECT_EQ(c.logged ? std::vector<Bytes>{} : std::vector<Bytes>{c.read}, rec.answers);
        EXPECT_EQ(all, ch.All());
    }
}

// Connecting: a refusal is told once, the tries go on every 5 s, a connect
// still pending after 5 s is given up; connected and lost are told once each.
TEST_F(TcpOutputTest, ConnectRetriesAndTellsEachChangeOnce) {
    out.Apply(*ParseMonitoringTcp("mon.example:1025"));
    tcp.events->TcpClosed("Connection refused");
    clock.Advance(5000);
    tcp.events->TcpClosed("Connection refused");
    clock.Advance(15000);  // a third try hangs, is given up, a fourth follows
    EXPECT_EQ(4u, tcp.calls.size());
    tcp.events->TcpConnected("192.0.2.7:1025");
    EXPECT_TRUE(out.IsOpen());
    tcp.events->TcpClosed("The remote host closed the connection");
    clock.Advance(5000);
    tcp.events->TcpClosed("Connection refused");
    EXPECT_EQ((std::vector<std::string>{
                  "!! CAN NOT CONNECT MONITORING TCP mon.example:1025: Connection refused",
                  "Monitoring TCP connected: 192.0.2.7:1025",
                  "!! MONITORING TCP LOST 192.0.2.7:1025: The remote host closed the connection"}),
              ch.Imp());
    EXPECT_EQ("RC", rec.told);
}

// Listening: a new connection replaces the old one; a line with no answer
// in 15 s drops the connection; the setting stored again starts anew.
TEST_F(TcpOutputTest, ListenReplacesAndGivesUpOnASilentPeer) {
    out.Apply(*ParseMonitoringTcp("listen 1025 from 10.0.0.2"));
    tcp.events->TcpConnected("10.0.0.2:50001");
    tcp.events->TcpConnected("10.0.0.2:50002");
    ASSERT_TRUE(out.Write(Bytes{'L', 0x14}));
    tcp.Drain();
    clock.Advance(14999);
    EXPECT_EQ(0, tcp.drops);
    clock.Advance(1);
    EXPECT_EQ(1, tcp.drops);
    tcp.events->TcpConnected("10.0.0.2:50003");
    out.Apply(*ParseMonitoringTcp("listen 1025 from 10.0.0.2"));
    EXPECT_EQ(std::vector<std::string>(2, "listen 127.0.0.1:1025 10.0.0.2"), tcp.calls);
    EXPECT_EQ((std::vector<std::string>{
                  "Monitoring TCP connected: 10.0.0.2:50001",
                  "Monitoring TCP connection from 10.0.0.2:50001 replaced by 10.0.0.2:50002",
                  "!! MONITORING TCP LOST 10.0.0.2:50002: no answer in 15 s",
                  "Monitoring TCP connected: 10.0.0.2:50003"}),
              ch.Imp());
    EXPECT_EQ("RCRDRCRC", rec.told);
}

}  // namespace
