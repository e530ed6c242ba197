#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitoring/MonitoringLines.h"
#include "tools/monitor-sim/LineCheck.h"
#include "tools/monitor-sim/Responder.h"
#include "tools/monitor-sim/Tally.h"

using namespace korvan;

namespace {

using monsim::LineKind;

struct ClassifyCase {
    std::string line;
    LineKind kind;
    std::string problem;
    std::string note;
};

TEST(MonitorSimLineCheck, ClassifiesEveryForm) {
    const ClassifyCase cases[] = {
        {"5077 181234E13001005", LineKind::Event, "", ""},
        {"5077 181234R13001005", LineKind::Event, "", ""},
        {"5077 18ABCDE60200C00", LineKind::Event, "", ""},
        {"5077 181234E35000001", LineKind::Trouble, "", ""},
        {"5077 181234E35000002", LineKind::Trouble, "", ""},
        {"5077 18FFFFE35000003", LineKind::Trouble, "", ""},
        {"5077 181234R35000000", LineKind::Restore, "", ""},
        {"1077           @    ", LineKind::Heartbeat, "", ""},
        // Alike in form but not the receiver's own: a unit's code-350 events.
        {"5077 181234E35000004", LineKind::Event, "", ""},
        {"5077 181234R35000001", LineKind::Event, "", ""},
        {"5077 181234E35001001", LineKind::Event, "", ""},
        // A short account is blank-padded, a control byte shown as "?".
        {"5077 1812  E13001005", LineKind::Event, "", ""},
        {"5077 181?34E13001005", LineKind::Event, "", ""},
        {"5077 181234E1?0 1005", LineKind::Event, "",
         "event code \"1?0\" is not hexadecimal; partition \" 1\" is not hexadecimal"},
        {"5077 181234E130010z5", LineKind::Event, "", "zone \"0z5\" is not hexadecimal"},
        {"5077 1812@4E13001005", LineKind::Event, "", "contains \"@\", the heartbeat mark"},
        {"", LineKind::Malformed, "length 0, expected 20", ""},
        {"5077 181234E1300100", LineKind::Malformed, "length 19, expected 20", ""},
        {"5077 181234E130010050", LineKind::Malformed, "length 21, expected 20", ""},
        {"1077           @   x", LineKind::Malformed,
         "begins with \"1077\" but is not the heartbeat", ""},
        {"1077            @   ", LineKind::Malformed,
         "begins with \"1077\" but is not the heartbeat", ""},
        {"5077 191234E13001005", LineKind::Malformed,
         "begins with neither \"5077 18\" nor \"1077\"", ""},
        {"5078 181234E13001005", LineKind::Malformed,
         "begins with neither \"5077 18\" nor \"1077\"", ""},
        {std::string("5077 1812\x01") + "4E13001005", LineKind::Malformed,
         "account is not 4 printable ASCII characters", ""},
        {std::string("5077 1812\xC4") + "4E13001005", LineKind::Malformed,
         "account is not 4 printable ASCII characters", ""},
        {"5077 181234X13001005", LineKind::Malformed, "qualifier is neither E nor R", ""},
        {"5077 181234e13001005", LineKind::Malformed, "qualifier is neither E nor R", ""},
        {std::string("5077 181234E1\x7F") + "001005", LineKind::Malformed,
         "event code is not printable ASCII", ""},
        {std::string("5077 181234E130\x02") + "1005", LineKind::Malformed,
         "partition is not printable ASCII", ""},
        {std::string("5077 181234E13001\x00", 18) + "05", LineKind::Malformed,
         "zone is not printable ASCII", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(monsim::QuotedText(c.line));
        const monsim::LineVerdict v = monsim::ClassifyLine(c.line);
        EXPECT_EQ(monsim::KindName(c.kind), std::string(monsim::KindName(v.kind)));
        EXPECT_EQ(c.problem, v.problem);
        EXPECT_EQ(c.note, v.note);
    }
}

TEST(MonitorSimLineCheck, QuotesBlanksAndStrayBytes) {
    EXPECT_EQ("\"1077           @    \"", monsim::QuotedText(monsim::kHeartbeat));
    EXPECT_EQ("\"a\\x14\\x00\\x22\\x5C\\xFF\"",
              monsim::QuotedText(std::string("a\x14\0\"\\\xFF", 6)));
}

// The receiver's own builders, whatever a unit puts into the fields: the
// simulator must take each line for the kind the receiver meant.
TEST(MonitorSimLineCheck, AgreesWithTheReceiversLineBuilders) {
    struct BuiltCase {
        std::string line;
        LineKind kind;
    };
    const BuiltCase cases[] = {
        {MakeEventLine("1234", "1130", "01", "005"), LineKind::Event},
        {MakeEventLine("1234", "3130", "01", "005"), LineKind::Event},
        {MakeEventLine("1234", "6401", "02", "012"), LineKind::Event},
        {MakeEventLine("12B4", "1602", "00", "000"), LineKind::Event},
        {MakeEventLine("12", "1130", "1", "5"), LineKind::Event},
        // Control bytes from a unit, 0x14 among them, in every field.
        {MakeEventLine("1\001\0244", "1\02430", "0\025", "00\006"), LineKind::Event},
        {MakeTroubleLine("1234", 1), LineKind::Trouble},
        {MakeTroubleLine("1234", 2), LineKind::Trouble},
        {MakeTroubleLine("FFFF", 3), LineKind::Trouble},
        {MakeRestoreLine("1234"), LineKind::Restore},
        {MakeRestoreLine("12B4"), LineKind::Restore},
        {HeartbeatLine, LineKind::Heartbeat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(monsim::QuotedText(c.line));
        const monsim::LineVerdict v = monsim::ClassifyLine(c.line);
        EXPECT_EQ(monsim::KindName(c.kind), std::string(monsim::KindName(v.kind)));
        EXPECT_EQ("", v.problem);
    }
    EXPECT_EQ("5077 181234E13001005", MakeEventLine("1234", "1130", "01", "005"));
}

TEST(MonitorSimLineCheck, SplitsAtTheTerminatorAcrossReads) {
    monsim::LineSplitter s;
    EXPECT_TRUE(s.Feed("5077 1812").empty());
    EXPECT_EQ("5077 1812", s.Pending());
    EXPECT_TRUE(s.Feed("34E13001005").empty());
    EXPECT_EQ((std::vector<std::string>{"5077 181234E13001005"}), s.Feed("\x14"));
    EXPECT_EQ("", s.Pending());

    // Several lines in one read, the last one cut short.
    EXPECT_EQ((std::vector<std::string>{"1077           @    ", "5077 181234R35000000"}),
              s.Feed("1077           @    \x14"
                     "5077 181234R35000000\x14"
                     "5077"));
    EXPECT_EQ("5077", s.Pending());
    EXPECT_EQ((std::vector<std::string>{"5077 181234E35000001"}), s.Feed(" 181234E35000001\x14"));

    // Two terminators in a row give an empty line; NUL is an ordinary byte.
    EXPECT_EQ((std::vector<std::string>{"", std::string("a\0b", 3)}),
              s.Feed(std::string_view("\x14"
                                      "a\0b\x14",
                                      5)));
}

TEST(MonitorSimLineCheck, HandsOutAStreamWithoutTerminatorInPieces) {
    monsim::LineSplitter s;
    const std::string noise(monsim::LineSplitter::kMaxPending + 10, 'x');
    const auto lines = s.Feed(noise);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(monsim::LineSplitter::kMaxPending, lines[0].size());
    EXPECT_EQ(std::string(10, 'x'), s.Pending());
}

struct BehaviourCase {
    std::string text;
    int ackDelayMs;
    bool ok;
    monsim::AnswerMode mode;
    int nakCount;
    int delayMs;
    int garbageByte;
};

TEST(MonitorSimResponder, ParsesBehaviours) {
    using monsim::AnswerMode;
    const BehaviourCase cases[] = {
        {"ack", 0, true, AnswerMode::Ack, 0, 0, 0x3F},
        {"ack", 150, true, AnswerMode::Ack, 0, 150, 0x3F},
        {"nak:2", 10, true, AnswerMode::Nak, 2, 10, 0x3F},
        {"nak:0", 0, true, AnswerMode::Nak, 0, 0, 0x3F},
        {"silent", 0, true, AnswerMode::Silent, 0, 0, 0x3F},
        {"garbage", 5, true, AnswerMode::Garbage, 0, 5, 0x3F},
        {"garbage:0x41", 0, true, AnswerMode::Garbage, 0, 0, 0x41},
        {"garbage:33", 0, true, AnswerMode::Garbage, 0, 0, 33},
        {"late:7000", 100, true, AnswerMode::Late, 0, 7000, 0x3F},
        {"nak", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"nak:", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"nak:-1", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"nak:2x", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"late", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"garbage:0x100", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"ack:1", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"ACK", 0, false, AnswerMode::Ack, 0, 0, 0},
        {"ack", -1, false, AnswerMode::Ack, 0, 0, 0},
        {"", 0, false, AnswerMode::Ack, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto b = monsim::ParseBehaviour(c.text, c.ackDelayMs);
        ASSERT_EQ(c.ok, b.has_value());
        if (!b)
            continue;
        EXPECT_EQ(static_cast<int>(c.mode), static_cast<int>(b->mode));
        EXPECT_EQ(c.nakCount, b->nakCount);
        EXPECT_EQ(c.delayMs, b->delayMs);
        EXPECT_EQ(c.garbageByte, b->garbageByte);
    }
}

std::vector<std::string> Answers(const std::string& behaviour, int ackDelayMs,
                                 const std::vector<std::string>& lines) {
    monsim::Responder r(*monsim::ParseBehaviour(behaviour, ackDelayMs));
    std::vector<std::string> out;
    for (const auto& line : lines) {
        const monsim::Answer a = r.Decide(line);
        out.push_back(monsim::AnswerName(a) + (a.send ? "/" + std::to_string(a.delayMs) : ""));
    }
    return out;
}

TEST(MonitorSimResponder, AnswersEachLineAsTold) {
    const std::string a = "5077 181234E13001005";
    const std::string b = "5077 181234E13001006";
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"ACK/0", "ACK/0"}), Answers("ack", 0, {a, b}));
    EXPECT_EQ((V{"ACK/250"}), Answers("ack", 250, {a}));
    EXPECT_EQ((V{"no answer", "no answer"}), Answers("silent", 250, {a, a}));
    EXPECT_EQ((V{"0x3F/0", "0x3F/0"}), Answers("garbage", 0, {a, b}));
    EXPECT_EQ((V{"ACK/7000", "ACK/7000"}), Answers("late:7000", 0, {a, a}));
    // NAK the first two transmissions of each line in flight; after its ACK
    // the same text is a new line and is refused again.
    EXPECT_EQ((V{"NAK/0", "NAK/0", "ACK/0", "NAK/0", "NAK/0", "ACK/0", "NAK/0"}),
              Answers("nak:2", 0, {a, a, a, b, b, b, b}));
    // A line the receiver gave up on: the next one starts its own count.
    EXPECT_EQ((V{"NAK/0", "NAK/0", "NAK/0", "NAK/0", "NAK/0"}),
              Answers("nak:3", 0, {a, a, a, b, b}));
    EXPECT_EQ((V{"ACK/0", "ACK/0"}), Answers("nak:0", 0, {a, a}));
}

TEST(MonitorSimTally, TellsRetransmissionsFromRepeatedText) {
    using monsim::Repeat;
    monsim::RepeatTracker t;
    const std::string a = "5077 181234E13001005";
    const std::string b = "5077 181234E13001006";
    const std::string hb(monsim::kHeartbeat);

    EXPECT_EQ(Repeat::First, t.Observe(a));
    EXPECT_EQ(Repeat::Retransmission, t.Observe(a));  // no answer yet
    EXPECT_EQ(2, t.Transmissions());
    t.Answered(false);  // NAK: still in flight
    EXPECT_EQ(Repeat::Retransmission, t.Observe(a));
    EXPECT_EQ(3, t.Transmissions());
    t.Answered(true);
    EXPECT_EQ(Repeat::SameTextLater, t.Observe(a));  // a new alarm that reads alike
    EXPECT_EQ(1, t.Transmissions());
    t.Answered(true);
    EXPECT_EQ(Repeat::First, t.Observe(b));
    t.Answered(true);
    EXPECT_EQ(Repeat::SameTextLater, t.Observe(a));  // not right after itself
    t.Answered(true);
    EXPECT_EQ(Repeat::First, t.Observe(hb));
    t.Answered(true);
    EXPECT_EQ(Repeat::SameTextLater, t.Observe(hb));  // the second heartbeat queued
    EXPECT_EQ(3u, t.Distinct());
}

TEST(MonitorSimTally, CountsAndPrintsTheSummaryLine) {
    monsim::Tally tally;
    monsim::RepeatTracker t;
    const std::vector<std::string> arrived = {
        "1077           @    ", "5077 181234E13001005", "5077 181234E13001005",
        "5077 181234E35000001", "5077 181234R35000000", "bad",
        "1077           @    ", "5077 181234E13001005",
    };
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        const auto& line = arrived[i];
        tally.Count(monsim::ClassifyLine(line), t.Observe(line));
        // The first transmission of the event goes unanswered.
        if (i != 1) {
            t.Answered(true);
            tally.CountAnswer(monsim::kAck);
        }
    }
    tally.CountAnswer(monsim::kNak);
    tally.CountAnswer(0x3F);
    EXPECT_EQ(1, tally.retransmissions);
    EXPECT_EQ(1, tally.sameTextLater);  // the event; the heartbeat does not count
    EXPECT_EQ(7, tally.acks);
    EXPECT_EQ(1, tally.naks);
    EXPECT_EQ(1, tally.otherAnswers);
    EXPECT_EQ(
        "summary lines=8 events=3 troubles=1 restores=1 heartbeats=2 malformed=1 "
        "retransmissions=1 rate=0.50",
        monsim::SummaryLine(tally, 16.0));
    EXPECT_EQ(
        "summary lines=8 events=3 troubles=1 restores=1 heartbeats=2 malformed=1 "
        "retransmissions=1 rate=0.00",
        monsim::SummaryLine(tally, 0.0));
}

}  // namespace
