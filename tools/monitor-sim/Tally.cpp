#include "tools/monitor-sim/Tally.h"

#include <cstdio>

namespace monsim {

Repeat RepeatTracker::Observe(const std::string& line) {
    const bool again = haveLast_ && line == last_ && !lastDelivered_;
    const bool seenBefore = !seen_.insert(line).second;
    last_ = line;
    haveLast_ = true;
    lastDelivered_ = false;
    if (again) {
        ++transmissions_;
        return Repeat::Retransmission;
    }
    transmissions_ = 1;
    return seenBefore ? Repeat::SameTextLater : Repeat::First;
}

void RepeatTracker::Answered(bool delivered) {
    if (delivered)
        lastDelivered_ = true;
}

void Tally::Count(const LineVerdict& verdict, Repeat repeat) {
    ++lines;
    switch (verdict.kind) {
        case LineKind::Event:
            ++events;
            break;
        case LineKind::Trouble:
            ++troubles;
            break;
        case LineKind::Restore:
            ++restores;
            break;
        case LineKind::Heartbeat:
            ++heartbeats;
            break;
        case LineKind::Malformed:
            ++malformed;
            break;
    }
    if (!verdict.note.empty())
        ++noted;
    if (repeat == Repeat::Retransmission)
        ++retransmissions;
    if (repeat == Repeat::SameTextLater && verdict.kind != LineKind::Heartbeat)
        ++sameTextLater;
}

void Tally::CountAnswer(unsigned char byte) {
    if (byte == kAck) {
        ++acks;
    } else if (byte == kNak) {
        ++naks;
    } else {
        ++otherAnswers;
    }
}

std::string SummaryLine(const Tally& t, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(t.lines) / seconds : 0.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "summary lines=%ld events=%ld troubles=%ld restores=%ld heartbeats=%ld "
                  "malformed=%ld retransmissions=%ld rate=%.2f",
                  t.lines, t.events, t.troubles, t.restores, t.heartbeats, t.malformed,
                  t.retransmissions, rate);
    return text;
}

}  // namespace monsim
