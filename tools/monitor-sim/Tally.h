#pragma once

#include <set>
#include <string>

#include "tools/monitor-sim/LineCheck.h"

// Counting what arrived: kinds, duplicates, answers, and the summary.
namespace monsim {

enum class Repeat {
    First,           // text not seen before
    Retransmission,  // the line in flight again: same text, no delivering answer since
    SameTextLater,   // a text seen before, after the line in flight was answered
};

// Tells retransmissions from legitimate repeats. The receiver writes its
// line again only while it has no answer that counts as delivery (anything
// but a cluster made only of NAKs), so the same text right after itself,
// with no such answer in between, is the line in flight again. The same
// text after an answer is a new line that happens to read alike: two
// heartbeats in a row, or a real alarm that repeats.
class RepeatTracker {
public:
    Repeat Observe(const std::string& line);
    // An answer went out to the last line received; `delivered` is false for NAK.
    void Answered(bool delivered);

    // Transmissions of the line in flight so far, 1 for the first.
    int Transmissions() const { return transmissions_; }
    std::size_t Distinct() const { return seen_.size(); }

private:
    std::set<std::string> seen_;
    std::string last_;
    bool haveLast_ = false;
    bool lastDelivered_ = false;
    int transmissions_ = 0;
};

struct Tally {
    long lines = 0;
    long events = 0;
    long troubles = 0;
    long restores = 0;
    long heartbeats = 0;
    long malformed = 0;
    long noted = 0;  // well-formed lines that carried a note
    long retransmissions = 0;
    // Repeats of a text after its answer; heartbeats are left out, since
    // every heartbeat reads the same.
    long sameTextLater = 0;
    long acks = 0;
    long naks = 0;
    long otherAnswers = 0;

    void Count(const LineVerdict& verdict, Repeat repeat);
    void CountAnswer(unsigned char byte);
};

// "summary lines=.. events=.. troubles=.. restores=.. heartbeats=..
// malformed=.. retransmissions=.. rate=.." on one line; rate is lines per
// second over `seconds`, with two decimals (0.00 when no time passed).
std::string SummaryLine(const Tally& tally, double seconds);

}  // namespace monsim
