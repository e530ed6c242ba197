// The unit simulator's frames, answer checks, retry timing and command line,
// held against the receiver's codec.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "device/DeviceTestSupport.h"
#include "tools/unit-sim/SimCore.h"
#include "tools/unit-sim/SimFrames.h"
#include "tools/unit-sim/SimOptions.h"

using namespace korvan;

namespace {

using namespace unitsim;
using namespace devtest;

const TDateTime kNow = At(2026, 12, 8, 10, 30, 2);

UnitFrame Frame(Kind kind, int unitNr, std::uint16_t frameId) {
    UnitFrame f;
    f.kind = kind;
    f.unitNr = unitNr;
    f.frameId = frameId;
    return f;
}

TEST(UnitSimFrames, WorkedExamplesByteForByte) {
    UnitFrame ev = Frame(Kind::Event, 123, 5);
    ev.time = {0x1A, 0x0C, 0x08, 0x0A, 0x1E, 0x00};
    ev.account = "1234";
    ev.event = "1130";
    ev.partition = "01";
    ev.zone = "005";
    EXPECT_EQ("06 00 00 05 03 02 01 00 1A 0C 08 0A 1E 00 31 32 33 34 31 31 33 30 30 31 30 30 35 21",
              SpacedHex(BuildUnitFrame(ev)));
    EXPECT_EQ("23 00 00 06 03 02 01 00 F2", SpacedHex(BuildUnitFrame(Frame(Kind::Ping, 123, 6))));
}

TEST(UnitSimFrames, EveryKindIsAcceptedByTheReceiversChecks) {
    struct Case {
        const char* option;
        Kind kind;
        std::uint8_t code;
        std::uint8_t answer;
        std::size_t answerLength;
    };
    const Case cases[] = {
        {"event", Kind::Event, 0x06, frame::kAck, 15},
        {"settime", Kind::SetTimeRequest, 0x0A, frame::kNewTime, 11},
        {"changenr", Kind::ChangeUnitNrRequest, 0x20, frame::kNewUnitNr, 24},
        {"pingimei", Kind::PingImeiFwVer, 0x22, frame::kAck, 15},
        {"ping", Kind::Ping, 0x23, frame::kAck, 15},
        {"gsm", Kind::GSMLevel, 0x25, frame::kAck, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        ASSERT_EQ(c.kind, KindFromName(c.option));
        EXPECT_EQ(c.code, KindCode(c.kind));
        EXPECT_EQ(c.answer, ExpectedAnswerType(c.code));
        EXPECT_EQ(c.answerLength, AnswerLength(c.answer));
        UnitFrame f = Frame(c.kind, 9876, 0xBEEF);
        f.encrMarker = 0xFD;
        const Bytes bytes = BuildUnitFrame(f);
        EXPECT_EQ(static_cast<std::size_t>(FrameSize(c.code)), bytes.size());
        const CheckedFrame checked = CheckFrame(bytes);
        ASSERT_TRUE(checked.Accepted());
        EXPECT_EQ(c.code, checked.frameType);
        EXPECT_EQ(0xBEEF, checked.frameId);
        EXPECT_EQ(0xFD, checked.encrMarker);
        EXPECT_EQ(9876, checked.unitNr);
    }
    EXPECT_FALSE(KindFromName("Ping").has_value());
    EXPECT_FALSE(KindFromName("nack").has_value());
}

TEST(UnitSimFrames, FieldsLandAtTheirOffsets) {
    UnitFrame f = Frame(Kind::PingImeiFwVer, 42, 1);
    f.imei = "351234567890123";
    f.fw = {1, 2, 15};
    EXPECT_EQ("22 00 00 01 02 04 00 00 33 35 31 32 33 34 35 36 37 38 39 30 31 32 33 01 02 0F",
              SpacedHex(ByteSpan(BuildUnitFrame(f)).first(26)));

    f = Frame(Kind::GSMLevel, 42, 1);
    f.level = 31;
    EXPECT_EQ(0x1F, BuildUnitFrame(f)[8]);

    // Short texts are padded with '0' on the left, long ones cut.
    f = Frame(Kind::Event, 1, 1);
    f.account = "12";
    f.event = "3401";
    f.partition = "7";
    f.zone = "12345";
    const EventFields ev = DecodeEvent(BuildUnitFrame(f));
    EXPECT_EQ("0012", ev.account);
    EXPECT_EQ("3401", ev.event);
    EXPECT_EQ("07", ev.partition);
    EXPECT_EQ("123", ev.zone);

    // A broken unit clock is sent as it is.
    f.time = {26, 2, 30, 25, 61, 0};
    EXPECT_EQ("2026-02-30 25:61:00", RawTimeText(DecodeEvent(BuildUnitFrame(f)).rawTime));
}

// A copy of `b` with byte `i` set to `v` and the CRC made right again.
Bytes Patched(Bytes b, std::size_t i, std::uint8_t v) {
    b[i] = v;
    b.pop_back();
    return AppendCrc(b);
}

TEST(UnitSimFrames, CheckAnswerAgainstTheCodecsReplies) {
    const Bytes ping = BuildUnitFrame(Frame(Kind::Ping, 123, 6));
    UnitFrame change = Frame(Kind::ChangeUnitNrRequest, 0, 0x1234);
    change.imei = "351234567890123";
    const Bytes changeReq = BuildUnitFrame(change);
    const Bytes setTime = BuildUnitFrame(Frame(Kind::SetTimeRequest, 5, 0x0102));

    const Bytes ack = BuildAck(ping, kNow);
    const Bytes newNr = BuildNewUnitNr(changeReq, "0042");
    const Bytes newTime = BuildNewTime(setTime, kNow);
    Bytes badCrc = ack;
    badCrc.back() ^= 0x01;

    struct Case {
        const char* what;
        Bytes sent;
        Bytes answer;
        Verdict verdict;
    };
    const Case cases[] = {
        {"ACK", ping, ack, Verdict::Ok},
        {"NewTime", setTime, newTime, Verdict::Ok},
        {"NewUnitNr", changeReq, newNr, Verdict::Ok},
        {"NACK", ping, BuildNack(ping, kNow), Verdict::Refused},
        {"NACK to a change request", changeReq, BuildNack(changeReq, kNow), Verdict::Refused},
        {"ACK where NewTime is due", setTime, BuildAck(setTime, kNow), Verdict::WrongType},
        {"NewTime where ACK is due", ping, BuildNewTime(ping, kNow), Verdict::WrongType},
        {"a unit frame echoed back", ping, ping, Verdict::WrongType},
        {"empty", ping, {}, Verdict::WrongLength},
        {"ACK cut short", ping, Bytes(ack.begin(), ack.end() - 1), Verdict::WrongLength},
        {"ACK with a spare byte", ping, AppendCrc(Bytes(ack.begin(), ack.end())),
         Verdict::WrongLength},
        {"NACK of 11 bytes", ping, AppendCrc(Hex("02 00 00 06 03 02 01 00 1A 0C")),
         Verdict::WrongLength},
        {"bad CRC", ping, badCrc, Verdict::BadCrc},
        {"ACK with another FrameID", ping, Patched(ack, 3, 0x07), Verdict::WrongEcho},
        {"ACK with another marker", ping, Patched(ack, 1, 0x01), Verdict::WrongEcho},
        {"ACK of another unit", ping, Patched(ack, 4, 0x04), Verdict::WrongEcho},
        {"NACK of another unit", ping, Patched(BuildNack(ping, kNow), 7, 0x01), Verdict::WrongEcho},
        {"NewTime with another FrameID", setTime, Patched(newTime, 2, 0x09), Verdict::WrongEcho},
        {"NewUnitNr with another IMEI", changeReq, Patched(newNr, 18, '9'), Verdict::WrongEcho},
        {"ACK stamp of month 13", ping, Patched(ack, 9, 13), Verdict::BadStamp},
        {"NACK stamp of hour 24", ping, Patched(BuildNack(ping, kNow), 11, 24), Verdict::BadStamp},
        {"NewTime stamp of day 0", setTime, Patched(newTime, 6, 0), Verdict::BadStamp},
        {"NewUnitNr 0000", changeReq, BuildNewUnitNr(changeReq, "0000"), Verdict::BadNumber},
        {"NewUnitNr digit 0x0A", changeReq, Patched(newNr, 20, 0x0A), Verdict::BadNumber},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AnswerCheck check = CheckAnswer(c.sent, c.answer);
        EXPECT_EQ(VerdictName(c.verdict), std::string(VerdictName(check.verdict))) << check.detail;
        EXPECT_EQ(c.verdict == Verdict::Ok, check.detail.empty()) << check.detail;
    }
    EXPECT_EQ(42, CheckAnswer(changeReq, newNr).newUnitNr);
    EXPECT_EQ("type 0x01 where 0x0B was due", CheckAnswer(setTime, BuildAck(setTime, kNow)).detail);
    EXPECT_EQ("byte 3 is 0x07, sent 0x06", CheckAnswer(ping, Patched(ack, 3, 0x07)).detail);
}

TEST(UnitSimFrames, AnswerFrameIdTiesEveryAnswerType) {
    EXPECT_EQ(0x0006, AnswerFrameId(Hex("01 00 00 06 03 02 01 00")));
    EXPECT_EQ(0xABCD, AnswerFrameId(Hex("0B 00 AB CD")));
    EXPECT_FALSE(AnswerFrameId(Hex("01 00 00")).has_value());
}

TEST(UnitSimFrames, ResponderAnswersAsTheReceiver) {
    const Bytes ping = BuildUnitFrame(Frame(Kind::Ping, 123, 6));
    EXPECT_EQ(BuildAck(ping, kNow), ResponderAnswer(ping, kNow, 1));
    const Bytes setTime = BuildUnitFrame(Frame(Kind::SetTimeRequest, 1, 2));
    EXPECT_EQ(BuildNewTime(setTime, kNow), ResponderAnswer(setTime, kNow, 1));
    const Bytes change = BuildUnitFrame(Frame(Kind::ChangeUnitNrRequest, 1, 2));
    EXPECT_EQ(BuildNewUnitNr(change, "0017"), ResponderAnswer(change, kNow, 17));
    const Bytes tooShort = Hex("23 00 00");
    EXPECT_EQ(BuildNack(tooShort, kNow), ResponderAnswer(tooShort, kNow, 1));
    UnitFrame ev = Frame(Kind::Event, 1, 3);
    ev.time = {26, 2, 30, 10, 0, 0};
    EXPECT_TRUE(ResponderAnswer(BuildUnitFrame(ev), kNow, 1).empty());
}

// ---------------------------------------------------------------------------

TEST(UnitSimRetry, DecideRetry) {
    const RetryPolicy policy{1'000'000, 3};
    struct Case {
        int transmissions;
        Micros lastSent;
        Micros now;
        RetryAction action;
    };
    const Case cases[] = {
        {1, 0, 0, RetryAction::Wait},
        {1, 0, 999'999, RetryAction::Wait},
        {1, 0, 1'000'000, RetryAction::Resend},
        {3, 2'000'000, 3'000'000, RetryAction::Resend},
        {4, 3'000'000, 3'999'999, RetryAction::Wait},
        {4, 3'000'000, 4'000'000, RetryAction::GiveUp},
        {4, 3'000'000, 9'000'000, RetryAction::GiveUp},
    };
    for (const auto& c : cases) {
        InFlight f;
        f.transmissions = c.transmissions;
        f.lastSent = c.lastSent;
        EXPECT_EQ(c.action, DecideRetry(f, c.now, policy)) << c.transmissions << " " << c.now;
    }
    InFlight once;
    EXPECT_EQ(RetryAction::GiveUp, DecideRetry(once, 1'000'000, RetryPolicy{1'000'000, 0}));
}

TEST(UnitSimRetry, ResendsOnTimeThenGivesUp) {
    RetryTracker t(RetryPolicy{1'000'000, 3});
    const RetryTracker::Key key{0, 7};
    t.Sent(key, 42, 0);
    EXPECT_EQ(1'000'000, t.NextDeadline());
    EXPECT_TRUE(t.Poll(999'999).resend.empty());
    for (int transmission = 2; transmission <= 4; ++transmission) {
        const Micros at = (transmission - 1) * 1'000'000LL;
        const auto due = t.Poll(at);
        ASSERT_EQ(1u, due.resend.size()) << transmission;
        EXPECT_EQ(42u, due.resend[0].tag);
        EXPECT_EQ(transmission, due.resend[0].transmission);
        EXPECT_TRUE(due.lost.empty());
        EXPECT_EQ(at + 1'000'000, t.NextDeadline());
    }
    const auto due = t.Poll(4'000'000);
    EXPECT_TRUE(due.resend.empty());
    ASSERT_EQ(1u, due.lost.size());
    EXPECT_EQ(42u, due.lost[0].tag);
    EXPECT_EQ(4, due.lost[0].transmissions);
    EXPECT_EQ(4'000'000, due.lost[0].latency);
    EXPECT_EQ(0u, t.Size());
    EXPECT_FALSE(t.NextDeadline().has_value());
    // An answer after giving up ties to nothing.
    EXPECT_FALSE(t.Answered(key, 4'100'000).has_value());
}

TEST(UnitSimRetry, AnswerEndsTheWaitAndCountsFromTheFirstTransmission) {
    RetryTracker t(RetryPolicy{500'000, 3});
    t.Sent({0, 1}, 10, 0);
    t.Sent({1, 1}, 11, 100'000);  // same FrameID on another socket: another frame
    t.Sent({0, 2}, 12, 200'000);
    EXPECT_EQ(1u, t.Poll(500'000).resend.size());  // {0,1} only
    const auto done = t.Answered({0, 1}, 700'000);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(10u, done->tag);
    EXPECT_EQ(700'000, done->latency);
    EXPECT_EQ(2, done->transmissions);
    EXPECT_FALSE(t.Answered({0, 1}, 700'001).has_value());  // the doubled answer
    EXPECT_FALSE(t.Answered({2, 1}, 700'001).has_value());  // no such frame
    // The stale deadline of the answered frame is skipped.
    EXPECT_EQ(600'000, t.NextDeadline());
    const auto due = t.Poll(1'000'000);
    ASSERT_EQ(2u, due.resend.size());
    EXPECT_EQ(11u, due.resend[0].tag);
    EXPECT_EQ(12u, due.resend[1].tag);
    EXPECT_TRUE(t.Contains({1, 1}));
    EXPECT_FALSE(t.Contains({0, 1}));
}

TEST(UnitSimRetry, NoRetriesMeansOneTransmission) {
    RetryTracker t(RetryPolicy{1'000, 0});
    t.Sent({0, 1}, 0, 0);
    const auto due = t.Poll(1'000);
    EXPECT_TRUE(due.resend.empty());
    ASSERT_EQ(1u, due.lost.size());
    EXPECT_EQ(1, due.lost[0].transmissions);
}

TEST(UnitSimSchedule, LoadSpacingAndMix) {
    EXPECT_EQ(0, LoadSendTime(0, 100));
    EXPECT_EQ(10'000, LoadSendTime(1, 100));
    EXPECT_EQ(1'000'000, LoadSendTime(100, 100));
    EXPECT_EQ(333, LoadSendTime(1, 3000));
    for (const int p : {0, 1, 20, 33, 50, 99, 100}) {
        int events = 0;
        for (std::uint64_t k = 0; k < 1000; ++k) {
            events += LoadFrameIsEvent(k, p) ? 1 : 0;
        }
        EXPECT_EQ(p * 10, events) << p;
    }
    EXPECT_FALSE(LoadFrameIsEvent(0, 20));
    EXPECT_TRUE(LoadFrameIsEvent(4, 20));
}

TEST(UnitSimSchedule, StormStartsWithinTheWindow) {
    const auto a = StormStartTimes(500, 250, 7);
    ASSERT_EQ(500u, a.size());
    for (const Micros s : a) {
        EXPECT_GE(s, 0);
        EXPECT_LT(s, 250'000);
    }
    EXPECT_EQ(a, StormStartTimes(500, 250, 7));
    EXPECT_NE(a, StormStartTimes(500, 250, 8));
    EXPECT_EQ(std::vector<Micros>(3, 0), StormStartTimes(3, 0, 7));
}

TEST(UnitSimStats, PercentilesAndSummaryLine) {
    EXPECT_EQ(0.0, PercentileMs({}, 50));
    const std::vector<Micros> one{1234};
    EXPECT_EQ(1.234, PercentileMs(one, 50));
    EXPECT_EQ(1.234, PercentileMs(one, 100));
    std::vector<Micros> hundred;
    for (Micros i = 1; i <= 100; ++i) {
        hundred.push_back(i * 1000 + 1);
    }
    EXPECT_DOUBLE_EQ(50.001, PercentileMs(hundred, 50));
    EXPECT_DOUBLE_EQ(90.001, PercentileMs(hundred, 90));
    EXPECT_DOUBLE_EQ(99.001, PercentileMs(hundred, 99));
    EXPECT_DOUBLE_EQ(100.001, PercentileMs(hundred, 100));

    Stats s;
    s.sent = 10;
    s.datagrams = 13;
    s.firstTry = 7;
    s.afterRetry = 1;
    s.lost = 1;
    s.wrong = 1;
    s.unmatched = 2;
    s.latencies = {4000, 250, 1500, 750, 500, 1000, 2000, 3000, 1250};
    s.elapsed = 2'000'000;
    EXPECT_EQ(
        "summary sent=10 answered=8 first_try=7 after_retry=1 lost=1 wrong=1 refused=0 "
        "unsent=0 p50_ms=1.250 p90_ms=4.000 p99_ms=4.000 max_ms=4.000 rate=4.0 "
        "datagrams=13 unmatched=2",
        SummaryLine(s));
    EXPECT_FALSE(s.Clean());
    Stats clean;
    clean.sent = clean.firstTry = 1;
    clean.unmatched = 3;  // doubled answers after a retry are no fault
    EXPECT_TRUE(clean.Clean());
}

// ---------------------------------------------------------------------------

ParseResult Parse(std::initializer_list<const char*> args) {
    return ParseOptions(std::vector<std::string>(args.begin(), args.end()));
}

TEST(UnitSimOptions, Defaults) {
    const ParseResult r = Parse({"one"});
    ASSERT_TRUE(r.options.has_value()) << r.error;
    const Options& o = *r.options;
    EXPECT_EQ(Mode::One, o.mode);
    EXPECT_EQ("127.0.0.1", o.host);
    EXPECT_EQ(33665, o.port);
    EXPECT_EQ(1000, o.timeoutMs);
    EXPECT_EQ(3, o.retries);
    EXPECT_EQ(Kind::Ping, o.type);
    EXPECT_EQ(20, o.eventsPercent);
    EXPECT_EQ(100, Parse({"storm"}).options->eventsPercent);
    EXPECT_EQ("0042", DefaultAccount(42));
    EXPECT_EQ("350000000000042", DefaultImei(42));
}

TEST(UnitSimOptions, FieldsOfOneFrame) {
    const ParseResult r = Parse({"one",         "--type",
                                 "event",       "--unit",
                                 "123",         "--frame-id=5",
                                 "--account",   "1234",
                                 "--event",     "1130",
                                 "--partition", "01",
                                 "--zone",      "005",
                                 "--time",      "2026-02-30 25:61:00",
                                 "--fw",        "1.2.15",
                                 "--level",     "31",
                                 "--imei",      "351234567890123",
                                 "--host",      "localhost",
                                 "--port",      "40000",
                                 "--timeout",   "250",
                                 "--retries",   "0",
                                 "--encr",      "253",
                                 "-v"});
    ASSERT_TRUE(r.options.has_value()) << r.error;
    const Options& o = *r.options;
    EXPECT_EQ(Kind::Event, o.type);
    EXPECT_EQ(123, o.unit);
    EXPECT_EQ(5, o.frameId);
    EXPECT_EQ("1234", o.account);
    EXPECT_EQ("1130", o.event);
    EXPECT_EQ("01", o.partition);
    EXPECT_EQ("005", o.zone);
    EXPECT_EQ((std::array<std::uint8_t, 6>{26, 2, 30, 25, 61, 0}), o.time);
    EXPECT_EQ((std::array<std::uint8_t, 3>{1, 2, 15}), o.fw);
    EXPECT_EQ(31, o.level);
    EXPECT_EQ("351234567890123", o.imei);
    EXPECT_EQ("localhost", o.host);
    EXPECT_EQ(40000, o.port);
    EXPECT_EQ(250, o.timeoutMs);
    EXPECT_EQ(0, o.retries);
    EXPECT_EQ(253, o.encrMarker);
    EXPECT_TRUE(o.verbose);
}

TEST(UnitSimOptions, LoadAndStorm) {
    const ParseResult r =
        Parse({"load", "--units", "200", "--first-unit", "9800", "--rate", "1500.5", "--duration",
               "2.5", "--events-percent", "0", "--max-sockets", "16"});
    ASSERT_TRUE(r.options.has_value()) << r.error;
    EXPECT_EQ(200, r.options->units);
    EXPECT_EQ(9800, r.options->firstUnit);
    EXPECT_DOUBLE_EQ(1500.5, r.options->rate);
    EXPECT_DOUBLE_EQ(2.5, r.options->duration);
    EXPECT_EQ(0, r.options->eventsPercent);
    EXPECT_EQ(16, r.options->maxSockets);

    const ParseResult s = Parse(
        {"storm", "--units", "3000", "--window", "500", "--frames-per-unit", "3", "--seed", "9"});
    ASSERT_TRUE(s.options.has_value()) << s.error;
    EXPECT_EQ(500, s.options->windowMs);
    EXPECT_EQ(3, s.options->framesPerUnit);
    EXPECT_EQ(9u, s.options->seed);
}

TEST(UnitSimOptions, FloodKeepsUnitsInFlightForADuration) {
    const ParseResult r = Parse({"flood", "--units", "32", "--duration", "2.5"});
    ASSERT_TRUE(r.options.has_value()) << r.error;
    EXPECT_EQ(Mode::Flood, r.options->mode);
    EXPECT_EQ(32, r.options->units);
    EXPECT_DOUBLE_EQ(2.5, r.options->duration);
    EXPECT_EQ(0, r.options->eventsPercent);  // Pings unless told otherwise
    EXPECT_EQ(50, Parse({"flood", "--events-percent", "50"}).options->eventsPercent);
}

TEST(UnitSimOptions, BlastSendsFramesOrJunkForADuration) {
    const ParseResult r = Parse({"blast", "--unit", "4000", "--duration", "20"});
    ASSERT_TRUE(r.options.has_value()) << r.error;
    EXPECT_EQ(Mode::Blast, r.options->mode);
    EXPECT_EQ(4000, r.options->unit);
    EXPECT_EQ(Kind::Ping, r.options->type);
    EXPECT_EQ(0, r.options->junkBytes);
    EXPECT_EQ(8000, Parse({"blast", "--junk", "8000"}).options->junkBytes);
    EXPECT_EQ("bad value '0' for --junk", Parse({"blast", "--junk", "0"}).error);
    EXPECT_EQ("bad value '65508' for --junk", Parse({"blast", "--junk", "65508"}).error);
}

TEST(UnitSimOptions, NumberedZonesCountEventsInThreeDigits) {
    EXPECT_FALSE(Parse({"load"}).options->numberedZones);
    EXPECT_TRUE(Parse({"load", "--numbered-zones"}).options->numberedZones);
    EXPECT_EQ("001", NumberedZone(1));
    EXPECT_EQ("042", NumberedZone(42));
    EXPECT_EQ("999", NumberedZone(999));
    EXPECT_EQ("000", NumberedZone(1000));
    EXPECT_EQ("001", NumberedZone(1001));
}

TEST(UnitSimOptions, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{}, "no mode given"},
        {{"swarm"}, "unknown mode 'swarm'"},
        {{"flood", "--first-unit", "9999", "--units", "2"},
         "units 9999 and the 1 after it do not fit in 0000..9999"},
        {{"one", "--bogus", "1"}, "unknown option '--bogus'"},
        {{"one", "--unit"}, "option --unit needs a value"},
        {{"one", "--unit", "10000"}, "bad value '10000' for --unit"},
        {{"one", "--unit", "12x"}, "bad value '12x' for --unit"},
        {{"one", "--type", "nack"}, "bad value 'nack' for --type"},
        {{"one", "--event", "130"}, "bad value '130' for --event"},
        {{"one", "--account", "12345"}, "bad value '12345' for --account"},
        {{"one", "--fw", "1.2"}, "bad value '1.2' for --fw"},
        {{"one", "--fw", "1.2.256"}, "bad value '1.2.256' for --fw"},
        {{"one", "--time", "2026-12-08"}, "bad value '2026-12-08' for --time"},
        {{"one", "--time", "1999-12-08 10:00:00"}, "bad value '1999-12-08 10:00:00' for --time"},
        {{"one", "--port", "0"}, "bad value '0' for --port"},
        {{"load", "--rate", "0"}, "bad value '0' for --rate"},
        {{"load", "--rate", "-5"}, "bad value '-5' for --rate"},
        {{"load", "--events-percent", "101"}, "bad value '101' for --events-percent"},
        {{"load", "--first-unit", "9990", "--units", "20"},
         "units 9990 and the 19 after it do not fit in 0000..9999"},
    };
    for (const auto& c : cases) {
        const ParseResult r = ParseOptions(c.args);
        EXPECT_FALSE(r.options.has_value()) << c.error;
        EXPECT_FALSE(r.help);
        EXPECT_EQ(c.error, r.error);
    }
    EXPECT_TRUE(Parse({"--help"}).help);
    EXPECT_TRUE(Parse({"load", "--help"}).help);
}

}  // namespace
