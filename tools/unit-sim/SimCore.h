#pragma once

// The timing side of a simulated unit fleet: when a frame is sent again or
// given up, when the next frame of a load or a storm is due, and the numbers
// the run ends with. Time is passed in as microseconds of a clock that never
// jumps, so every rule here runs in tests without waiting.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace unitsim {

using Micros = std::int64_t;

struct RetryPolicy {
    Micros timeout = 1'000'000;  // wait for an answer after each transmission
    int maxRetries = 3;          // transmissions after the first
};

// One frame waiting for its answer.
struct InFlight {
    std::size_t tag = 0;  // the caller's frame number
    Micros firstSent = 0;
    Micros lastSent = 0;
    int transmissions = 1;
};

enum class RetryAction { Wait, Resend, GiveUp };

// What a unit does with a frame at `now`: wait while the last transmission's
// answer may still come, send it again while retries are left, else give up.
RetryAction DecideRetry(const InFlight& f, Micros now, const RetryPolicy& policy);

// Ties answers to frames in flight. A frame is known by the socket it went
// out on and its FrameID; the caller keeps FrameIDs unique per socket among
// the frames in flight, since NewTime and NewUnitNr carry no UnitID.
class RetryTracker {
public:
    struct Key {
        int socket = 0;
        std::uint16_t frameId = 0;
        auto operator<=>(const Key&) const = default;
    };
    struct Done {
        Key key;
        std::size_t tag = 0;
        Micros latency = 0;  // from the first transmission
        int transmissions = 0;
    };
    struct Resend {
        Key key;
        std::size_t tag = 0;
        int transmission = 0;  // the number of this transmission: 2 for the first retry
    };
    struct Due {
        std::vector<Resend> resend;  // send these again now (already counted)
        std::vector<Done> lost;      // given up, no longer tracked
    };

    explicit RetryTracker(RetryPolicy policy) : policy_(policy) {}

    // The first transmission of a frame at `now`.
    void Sent(Key key, std::size_t tag, Micros now);
    // An answer for `key` arrived at `now`: the frame is done. Nothing when no
    // frame with that key is in flight (a late or doubled answer).
    std::optional<Done> Answered(Key key, Micros now);
    // Every frame whose wait has run out by `now`.
    Due Poll(Micros now);
    // When Poll next has work; nothing when no frame is in flight.
    std::optional<Micros> NextDeadline() const;

    bool Contains(Key key) const { return flights_.count(key) != 0; }
    std::size_t Size() const { return flights_.size(); }

private:
    struct Deadline {
        Micros at;
        Key key;
        std::uint64_t seq;
    };
    void Arm(Key key, Micros now);
    void DropStale();

    RetryPolicy policy_;
    std::map<Key, std::pair<InFlight, std::uint64_t>> flights_;
    // Every wait is as long as the next, so deadlines fall due in the order
    // they were set: a queue is enough. Entries of frames answered since, or
    // armed again, are skipped by their sequence number.
    std::deque<Deadline> deadlines_;
    std::uint64_t seq_ = 0;
};

// Load: frame k (from 0) of a run at `rate` frames per second is due at
// k / rate seconds after the start.
Micros LoadSendTime(std::uint64_t k, double rate);
// Whether load frame k is an Event rather than a Ping: spread evenly so that
// any run of 100 frames holds `eventsPercent` Events (give or take one).
bool LoadFrameIsEvent(std::uint64_t k, int eventsPercent);
// Storm: the start of each of `units` units within `windowMs`, spread at
// random (a fixed `seed` gives the same storm again), in unit order.
std::vector<Micros> StormStartTimes(int units, int windowMs, std::uint32_t seed);

struct Stats {
    std::size_t sent = 0;           // frames transmitted at least once
    std::size_t datagrams = 0;      // transmissions, retries included
    std::size_t firstTry = 0;       // answered correctly after one transmission
    std::size_t afterRetry = 0;     // answered correctly after more
    std::size_t lost = 0;           // no answer after every retry
    std::size_t wrong = 0;          // answered, but not as the frame asks
    std::size_t refused = 0;        // answered with NACK
    std::size_t unsent = 0;         // still queued in a unit when the run ended
    std::size_t unmatched = 0;      // answers to no frame in flight
    std::vector<Micros> latencies;  // of every matched answer
    Micros elapsed = 0;             // first transmission to last event of the run

    std::size_t Answered() const { return firstTry + afterRetry; }
    bool Clean() const { return lost == 0 && wrong == 0 && refused == 0 && unsent == 0; }
};

// Nearest-rank percentile (0 < p <= 100) of sorted values, in milliseconds;
// 0 for no values.
double PercentileMs(const std::vector<Micros>& sorted, double p);
// The last line of every run, one key=value per figure:
// "summary sent=.. answered=.. first_try=.. after_retry=.. lost=.. wrong=..
// refused=.. unsent=.. p50_ms=.. p90_ms=.. p99_ms=.. max_ms=.. rate=..
// datagrams=.. unmatched=..". Sorts the latencies.
std::string SummaryLine(Stats& stats);

}  // namespace unitsim
