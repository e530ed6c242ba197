#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/FakeLineOutput.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/MonitoringLines.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;

namespace {

const std::string kL1 = "5077 181234E13001005";
const std::string kL2 = "5077 181234E13001006";
const std::string kL3 = "5077 181234E13001007";

Bytes Wire(const std::string& line) {
    Bytes b = ToBytes(line);
    b.push_back(0x14);
    return b;
}

class SendBufferTest : public ::testing::Test {
protected:
    SendBufferTest()
        : link(sched), logs(sched, sched), buffer(link, sched, sched, logs.Channels()) {}

    void Answer(const Bytes& cluster) { link.Answer(cluster); }
    void Ack() { Answer({0x06}); }
    void Nak() { Answer({0x15}); }

    std::vector<Bytes> Wires(std::initializer_list<std::string> lines) {
        std::vector<Bytes> out;
        for (const auto& l : lines) out.push_back(Wire(l));
        return out;
    }
    std::vector<std::string> AllTexts() const { return logs.All(); }
    std::vector<std::string> ImpTexts() const { return logs.Imp(); }

    FakeScheduler sched;
    FakeLineOutput link;
    TestLogChannels logs;
    SendBuffer buffer;
};

TEST_F(SendBufferTest, EmptyBufferTickWritesNothing) {
    buffer.RetransmitTimer().Start();
    sched.Advance(15000);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_TRUE(logs.allMemo.lines.empty());
}

TEST_F(SendBufferTest, EveryTransmissionIsOneWriteOfLinePlusDc4) {
    buffer.AddToSendBuffer(kL1);
    ASSERT_EQ(1u, link.writes.size());
    const Bytes expected = {'5', '0', '7', '7', ' ', '1', '8', '1', '2', '3', '4',
                            'E', '1', '3', '0', '0', '1', '0', '0', '5', 0x14};
    EXPECT_EQ(expected, link.writes[0]);
    EXPECT_EQ(21u, link.writes[0].size());
    EXPECT_EQ(1, buffer.SendBufferCount());  // stays until answered
    EXPECT_EQ(kL1, buffer.SendBufferHeadLine());
}

TEST_F(SendBufferTest, ThreeLinesWithoutAnswerOnlyHeadIsRepeated) {
    const std::int64_t t0 = sched.MonotonicMs();
    buffer.AddToSendBuffer(kL1);
    sched.Advance(400);
    buffer.AddToSendBuffer(kL2);
    sched.Advance(400);
    buffer.AddToSendBuffer(kL3);
    EXPECT_EQ(Wires({kL1}), link.writes);

    sched.Advance(4200);  // the tick 5 s after the transmission
    EXPECT_EQ(Wires({kL1, kL1}), link.writes);
    EXPECT_EQ(t0 + 5000, link.writeTimes[1]);

    sched.Advance(300);
    Ack();
    EXPECT_EQ(Wires({kL1, kL1, kL2}), link.writes);
    EXPECT_EQ(t0 + 5300, link.writeTimes[2]);
    EXPECT_EQ(2, buffer.SendBufferCount());

    // The answer's transmission restarted the period.
    sched.Advance(4999);
    EXPECT_EQ(3u, link.writes.size());
    sched.Advance(1);
    EXPECT_EQ(Wires({kL1, kL1, kL2, kL2}), link.writes);
}

TEST_F(SendBufferTest, AddingThreeSecondsAfterTransmissionRewritesHead) {
    const std::int64_t t0 = sched.MonotonicMs();
    buffer.AddToSendBuffer(kL1);
    sched.Advance(2999);
    buffer.AddToSendBuffer(kL2);
    EXPECT_EQ(Wires({kL1}), link.writes);
    sched.Advance(1);
    buffer.AddToSendBuffer(kL3);
    EXPECT_EQ(Wires({kL1, kL1}), link.writes);  // the unanswered head, not the new line
    EXPECT_EQ(3, buffer.SendBufferCount());

    // The rewrite restarted the retransmission period.
    sched.Advance(4999);
    EXPECT_EQ(2u, link.writes.size());
    sched.Advance(1);
    EXPECT_EQ(3u, link.writes.size());
    EXPECT_EQ(t0 + 8000, link.writeTimes[2]);
}

// The second answer to one transmission comes before the next line has
// drained: it removes nothing, and the next line's own refusal counts.
TEST_F(SendBufferTest, ASecondAnswerToOneTransmissionRemovesNothing) {
    buffer.AddToSendBuffer(kL1);
    buffer.QueueLine(kL2);
    Ack();
    buffer.LineAnswered(link, {0x06});
    EXPECT_EQ(Wires({kL1, kL2}), link.writes);
    EXPECT_EQ(kL2, buffer.SendBufferHeadLine());
    Nak();
    EXPECT_EQ("<< NAK from monitoring software for line [" + kL2 + "] (1 of 3)", ImpTexts().back());
    EXPECT_EQ(1, buffer.SendBufferCount());
}

// Only a drained transmission can be answered, and only once.
TEST_F(SendBufferTest, BytesBeforeTheHeadDrainedDoNotRemoveIt) {
    buffer.AddToSendBuffer(kL1);
    buffer.LineAnswered(link, {0x06});
    EXPECT_FALSE(buffer.InFlight());
    link.Drain();
    EXPECT_TRUE(buffer.InFlight());
    link.Close();
    EXPECT_FALSE(buffer.InFlight());
    buffer.LineAnswered(link, {0x06});
    EXPECT_EQ(1, buffer.SendBufferCount());
    EXPECT_EQ(Wires({kL1}), link.writes);
}

// A write the output does not take did not happen: no ">> ", no wait, no
// timer restart, nothing in flight; the head goes out when the output is
// ready.
TEST_F(SendBufferTest, RefusedWriteIsNotLoggedAndGoesOutWhenTheOutputIsReady) {
    link.busy = true;
    buffer.AddToSendBuffer(kL1);
    buffer.AddToSendBuffer(kL2);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_TRUE(AllTexts().empty());
    EXPECT_EQ(0, buffer.NextSendTime());
    EXPECT_FALSE(buffer.RetransmitTimer().IsActive());
    buffer.LineAnswered(link, {0x15});
    EXPECT_TRUE(ImpTexts().empty());

    sched.Advance(1000);
    link.Ready();
    EXPECT_EQ(Wires({kL1}), link.writes);
    EXPECT_EQ(std::vector<std::string>{">> " + kL1}, AllTexts());
    EXPECT_EQ(sched.MonotonicMs() + 3000, buffer.NextSendTime());
    link.Ready();  // within the 3 s: nothing again
    EXPECT_EQ(1u, link.writes.size());
}

TEST_F(SendBufferTest, AnswerOnEmptyBufferWritesNothing) {
    Ack();
    EXPECT_TRUE(link.writes.empty());
    EXPECT_EQ(0, buffer.SendBufferCount());
    EXPECT_EQ(0, buffer.NextSendTime());
    EXPECT_TRUE(logs.allMemo.lines.empty());
}

// Any 0x15 refuses, even beside 0x06; 0x06 delivers; other bytes still
// answer, with their bytes on All Msg.
TEST_F(SendBufferTest, WhatAnAnswerMeans) {
    struct Case {
        Bytes answer;
        bool refused;
        std::string logged;  // All-messages entry besides the ">> " lines
    };
    const std::string nak = "<< NAK from monitoring software for line [" + kL1 + "] (1 of 3)";
    const std::string odd =
        "<< Answer from monitoring software for line [" + kL1 + "] is neither ACK nor NAK: 0x";
    const Case cases[] = {
        {{0x06}, false, ""},         {{0x06, 0x06}, false, ""},
        {{0x15}, true, nak},         {{0x15, 0x06}, true, nak},
        {{0x06, 0x15}, true, nak},   {{'A', 'C', 'K'}, false, odd + "41434B"},
        {{0x00}, false, odd + "00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.answer));
        FakeScheduler s;
        FakeLineOutput out(s);
        TestLogChannels l(s, s);
        SendBuffer b(out, s, s, l.Channels());
        b.AddToSendBuffer(kL1);
        b.QueueLine(kL2);
        out.Answer(c.answer);
        EXPECT_EQ(c.refused ? kL1 : kL2, b.SendBufferHeadLine());
        EXPECT_EQ(c.refused ? 1u : 2u, out.writes.size());
        std::vector<std::string> all = {">> " + kL1};
        if (!c.logged.empty())
            all.push_back(c.logged);
        if (!c.refused)
            all.push_back(">> " + kL2);
        EXPECT_EQ(all, l.All());
    }
}

TEST_F(SendBufferTest, EmptyAnswerIsNoAnswer) {
    buffer.AddToSendBuffer(kL1);
    Answer({});
    EXPECT_EQ(1, buffer.SendBufferCount());
    EXPECT_EQ(1u, link.writes.size());
}

TEST_F(SendBufferTest, EventLinesLoggedAtEveryTransmissionHeartbeatsNever) {
    buffer.AddHeartbeat();
    sched.Advance(5000);
    EXPECT_EQ(Wires({HeartbeatLine, HeartbeatLine}), link.writes);
    Ack();
    buffer.AddToSendBuffer(kL1);
    sched.Advance(5000);
    Ack();
    EXPECT_EQ(Wires({HeartbeatLine, HeartbeatLine, kL1, kL1}), link.writes);
    EXPECT_EQ((std::vector<std::string>{">> " + kL1, ">> " + kL1}), AllTexts());
    EXPECT_EQ("2026.12.08 10:30:05 - >> " + kL1, logs.allMemo.lines[0]);
    EXPECT_EQ("2026.12.08 10:30:05 - >> " + kL1 + "\r\n2026.12.08 10:30:10 - >> " + kL1 + "\r\n",
              logs.dir.Read("Log/All msg/2026-12-08.log"));
}

// Only the buffer's own record makes a heartbeat: an "@" a unit put into its
// account or zone leaves an alarm an alarm.
TEST_F(SendBufferTest, AnAtSignFromAUnitMakesNoHeartbeat) {
    const std::string atAlarm = "5077 1812@4E130010@5";
    buffer.AddToSendBuffer(atAlarm);
    EXPECT_FALSE(buffer.HeadIsHeartbeat());
    EXPECT_EQ((std::vector<std::string>{">> " + atAlarm}), AllTexts());
    Ack();
    buffer.AddHeartbeat();
    EXPECT_TRUE(buffer.HeadIsHeartbeat());
    EXPECT_EQ(1u, AllTexts().size());
}

TEST_F(SendBufferTest, ClosedPortKeepsLinesInOrderUntilOpened) {
    buffer.RetransmitTimer().Start();  // as at the end of start-up
    link.open = false;
    buffer.AddToSendBuffer(kL1);
    buffer.AddToSendBuffer(kL2);
    buffer.QueueLine(kL3);
    sched.Advance(12000);
    EXPECT_TRUE(link.writes.empty());
    EXPECT_TRUE(logs.allMemo.lines.empty());
    EXPECT_EQ((std::vector<std::string>{kL1, kL2, kL3}), buffer.Lines());

    link.open = true;
    sched.Advance(2999);  // ticks at 5, 10, 15 s since the timer start
    EXPECT_TRUE(link.writes.empty());
    sched.Advance(1);
    EXPECT_EQ(Wires({kL1}), link.writes);
    Ack();
    Ack();
    EXPECT_EQ(Wires({kL1, kL2, kL3}), link.writes);
    EXPECT_EQ((std::vector<std::string>{">> " + kL1, ">> " + kL2, ">> " + kL3}), AllTexts());
}

TEST_F(SendBufferTest, FirstTransmissionStartsTheTimer) {
    EXPECT_FALSE(buffer.RetransmitTimer().IsActive());
    buffer.AddToSendBuffer(kL1);
    EXPECT_TRUE(buffer.RetransmitTimer().IsActive());
    EXPECT_EQ(5000, buffer.RetransmitTimer().Interval());
}

TEST_F(SendBufferTest, OneNakKeepsHeadForTheUsualRetransmission) {
    buffer.AddToSendBuffer(kL1);
    buffer.QueueLine(kL2);
    const std::int64_t sent = buffer.NextSendTime();
    sched.Advance(250);
    Nak();
    EXPECT_EQ(Wires({kL1}), link.writes);  // not written again at once
    EXPECT_EQ(sent, buffer.NextSendTime());
    EXPECT_EQ(2, buffer.SendBufferCount());
    EXPECT_EQ((std::vector<std::string>{"<< NAK from monitoring software for line [" + kL1 +
                                        "] (1 of 3)"}),
              ImpTexts());
    EXPECT_EQ(
        "2026.12.08 10:30:00 - << NAK from monitoring software for line [" + kL1 + "] (1 of 3)\r\n",
        logs.dir.Read("Log/Imp_msg.log"));

    sched.Advance(4750);  // the 5-second tick
    EXPECT_EQ(Wires({kL1, kL1}), link.writes);
}

TEST_F(SendBufferTest, ClusterOfSeveralNakBytesIsOneNak) {
    buffer.AddToSendBuffer(kL1);
    Answer({0x15, 0x15, 0x15});
    EXPECT_EQ(1, buffer.SendBufferCount());
    EXPECT_EQ((std::vector<std::string>{"<< NAK from monitoring software for line [" + kL1 +
                                        "] (1 of 3)"}),
              ImpTexts());
}

TEST_F(SendBufferTest, ThreeNaksDropTheLineAndSendTheNext) {
    buffer.AddToSendBuffer(kL1);
    buffer.QueueLine(kL2);
    Nak();
    sched.Advance(5000);
    Nak();
    sched.Advance(5000);
    EXPECT_EQ(Wires({kL1, kL1, kL1}), link.writes);
    Nak();
    EXPECT_EQ(Wires({kL1, kL1, kL1, kL2}), link.writes);
    EXPECT_EQ(1, buffer.SendBufferCount());
    EXPECT_EQ(kL2, buffer.SendBufferHeadLine());
    const std::string nak = "<< NAK from monitoring software for line [" + kL1 + "] ";
    EXPECT_EQ((std::vector<std::string>{
                  nak + "(1 of 3)", nak + "(2 of 3)", nak + "(3 of 3)",
                  "!! Line dropped after 3 NAKs from monitoring software: [" + kL1 + "]"}),
              ImpTexts());
    // The All-messages channel has the copies in order, then the next line.
    const std::vector<std::string> all = AllTexts();
    ASSERT_EQ(8u, all.size());
    EXPECT_EQ(">> " + kL1, all[0]);
    EXPECT_EQ(nak + "(3 of 3)", all[5]);
    EXPECT_EQ("!! Line dropped after 3 NAKs from monitoring software: [" + kL1 + "]", all[6]);
    EXPECT_EQ(">> " + kL2, all[7]);

    // The next line starts with a count of its own.
    Nak();
    EXPECT_EQ("<< NAK from monitoring software for line [" + kL2 + "] (1 of 3)", ImpTexts().back());
}

TEST_F(SendBufferTest, AnotherAnswerResetsTheNakCount) {
    buffer.AddToSendBuffer(kL1);
    buffer.QueueLine(kL2);
    Nak();
    sched.Advance(5000);
    Nak();
    sched.Advance(5000);
    Ack();
    EXPECT_EQ(Wires({kL1, kL1, kL1, kL2}), link.writes);
    Nak();
    EXPECT_EQ("<< NAK from monitoring software for line [" + kL2 + "] (1 of 3)", ImpTexts().back());
    EXPECT_EQ(1, buffer.SendBufferCount());
}

TEST_F(SendBufferTest, NakOnEmptyBufferIsIgnored) {
    Nak();
    EXPECT_TRUE(link.writes.empty());
    EXPECT_TRUE(logs.impMemo.lines.empty());
}

// NAKs count per transmission: what the monitoring software repeats, or
// sends while nothing new was written, refuses the same transmission again.
// A transmission that got no answer at all ends the row.
TEST_F(SendBufferTest, ALineIsDroppedOnlyAfterThreeTransmissionsWereRefused) {
    struct Step {
        const char* what;  // "nak", or "resend": the 5-second tick writes the head again
        std::vector<std::string> imp;  // Important-messages entries it adds
    };
    const std::string nak = "<< NAK from monitoring software for line [" + kL1 + "] ";
    const std::string dropped =
        "!! Line dropped after 3 NAKs from monitoring software: [" + kL1 + "]";
    const std::vector<Step> steps = {
        {"nak", {nak + "(1 of 3)"}},
        {"nak", {}},
        {"nak", {}},
        {"resend", {}},
        {"nak", {nak + "(2 of 3)"}},
        {"nak", {}},
        {"resend", {}},
        {"resend", {}},  // unanswered: the row ends
        {"nak", {nak + "(1 of 3)"}},
        {"resend", {}},
        {"nak", {nak + "(2 of 3)"}},
        {"resend", {}},
        {"nak", {nak + "(3 of 3)", dropped}},
    };
    buffer.AddToSendBuffer(kL1);
    buffer.QueueLine(kL2);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string what = steps[i].what;
        if (what == "nak")
            Nak();
        else
            sched.Advance(5000);
        expected.insert(expected.end(), steps[i].imp.begin(), steps[i].imp.end());
        EXPECT_EQ(expected, ImpTexts());
    }
    EXPECT_EQ(kL2, buffer.SendBufferHeadLine());
    EXPECT_EQ(Wires({kL1, kL1, kL1, kL1, kL1, kL1, kL2}), link.writes);
}

TEST_F(SendBufferTest, HeartbeatCanBeDroppedByNaks) {
    buffer.AddHeartbeat();
    buffer.QueueLine(kL1);
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            sched.Advance(5000);
        Nak();
    }
    EXPECT_EQ(Wires({HeartbeatLine, HeartbeatLine, HeartbeatLine, kL1}), link.writes);
    EXPECT_EQ("!! Line dropped after 3 NAKs from monitoring software: [1077           @    ]",
              ImpTexts().back());
}

TEST_F(SendBufferTest, WallClockJumpsDoNotChangeRetransmissionTiming) {
    const std::int64_t t0 = sched.MonotonicMs();
    buffer.AddToSendBuffer(kL1);
    sched.Advance(1000);
    sched.SetWall(sched.Now() - 1.0 / 24);  // an hour back
    sched.Advance(1999);
    buffer.AddToSendBuffer(kL2);
    EXPECT_EQ(1u, link.writes.size());
    sched.SetWall(sched.Now() + 1.0);  // a day ahead
    buffer.AddToSendBuffer(kL3);
    EXPECT_EQ(1u, link.writes.size());
    sched.Advance(1);
    buffer.AddToSendBuffer(kL3);
    ASSERT_EQ(2u, link.writes.size());
    EXPECT_EQ(t0 + 3000, link.writeTimes[1]);
    sched.Advance(5000);
    ASSERT_EQ(3u, link.writes.size());
    EXPECT_EQ(t0 + 8000, link.writeTimes[2]);
}

}  // namespace
