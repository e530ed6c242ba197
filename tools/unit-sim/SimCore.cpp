#include "tools/unit-sim/SimCore.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace unitsim {

RetryAction DecideRetry(const InFlight& f, Micros now, const RetryPolicy& policy) {
    if (now - f.lastSent < policy.timeout) {
        return RetryAction::Wait;
    }
    return f.transmissions <= policy.maxRetries ? RetryAction::Resend : RetryAction::GiveUp;
}

void RetryTracker::Arm(Key key, Micros now) {
    const std::uint64_t seq = ++seq_;
    flights_[key].second = seq;
    deadlines_.push_back({now + policy_.timeout, key, seq});
}

void RetryTracker::DropStale() {
    while (!deadlines_.empty()) {
        const auto it = flights_.find(deadlines_.front().key);
        if (it != flights_.end() && it->second.second == deadlines_.front().seq) {
            return;
        }
        deadlines_.pop_front();
    }
}

void RetryTracker::Sent(Key key, std::size_t tag, Micros now) {
    InFlight f;
    f.tag = tag;
    f.firstSent = now;
    f.lastSent = now;
    f.transmissions = 1;
    flights_[key].first = f;
    Arm(key, now);
}

std::optional<RetryTracker::Done> RetryTracker::Answered(Key key, Micros now) {
    const auto it = flights_.find(key);
    if (it == flights_.end()) {
        return std::nullopt;
    }
    const InFlight& f = it->second.first;
    Done d{key, f.tag, now - f.firstSent, f.transmissions};
    flights_.erase(it);
    return d;
}

RetryTracker::Due RetryTracker::Poll(Micros now) {
    Due due;
    for (DropStale(); !deadlines_.empty() && deadlines_.front().at <= now; DropStale()) {
        const Key key = deadlines_.front().key;
        deadlines_.pop_front();
        auto& entry = flights_.at(key);
        InFlight& f = entry.first;
        switch (DecideRetry(f, now, policy_)) {
            case RetryAction::Wait:
                break;  // cannot happen: the deadline has passed
            case RetryAction::Resend:
                ++f.transmissions;
                f.lastSent = now;
                due.resend.push_back({key, f.tag, f.transmissions});
                Arm(key, now);
                break;
            case RetryAction::GiveUp:
                due.lost.push_back({key, f.tag, now - f.firstSent, f.transmissions});
                flights_.erase(key);
                break;
        }
    }
    return due;
}

std::optional<Micros> RetryTracker::NextDeadline() const {
    for (const Deadline& d : deadlines_) {
        const auto it = flights_.find(d.key);
        if (it != flights_.end() && it->second.second == d.seq) {
            return d.at;
        }
    }
    return std::nullopt;
}

Micros LoadSendTime(std::uint64_t k, double rate) {
    return static_cast<Micros>(std::llround(static_cast<double>(k) * 1e6 / rate));
}

bool LoadFrameIsEvent(std::uint64_t k, int eventsPercent) {
    const auto p = static_cast<std::uint64_t>(std::clamp(eventsPercent, 0, 100));
    return (k + 1) * p / 100 > k * p / 100;
}

std::vector<Micros> StormStartTimes(int units, int windowMs, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<Micros> starts;
    const Micros window = static_cast<Micros>(std::max(windowMs, 0)) * 1000;
    for (int i = 0; i < units; ++i) {
        starts.push_back(
            window == 0 ? 0 : static_cast<Micros>(gen() % static_cast<std::uint32_t>(window)));
    }
    return starts;
}

double PercentileMs(const std::vector<Micros>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto n = static_cast<double>(sorted.size());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * n));
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1000.0;
}

std::string SummaryLine(Stats& s) {
    std::sort(s.latencies.begin(), s.latencies.end());
    const double seconds = static_cast<double>(s.elapsed) / 1e6;
    const double rate = seconds > 0 ? static_cast<double>(s.Answered()) / seconds : 0.0;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "summary sent=%zu answered=%zu first_try=%zu after_retry=%zu lost=%zu wrong=%zu "
                  "refused=%zu unsent=%zu p50_ms=%.3f p90_ms=%.3f p99_ms=%.3f max_ms=%.3f "
                  "rate=%.1f datagrams=%zu unmatched=%zu",
                  s.sent, s.Answered(), s.firstTry, s.afterRetry, s.lost, s.wrong, s.refused,
                  s.unsent, PercentileMs(s.latencies, 50), PercentileMs(s.latencies, 90),
                  PercentileMs(s.latencies, 99), PercentileMs(s.latencies, 100), rate, s.datagrams,
                  s.unmatched);
    return buf;
}

}  // namespace unitsim
