#pragma once

#include <cstdint>
#include <string>

#include "base/LogChannels.h"
#include "monitoring/SendBuffer.h"
#include "platform/Clock.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

namespace korvan {

// The heartbeat to the monitoring software and the communication supervision
// of the units: a unit silent for CommTrouble1/2/3 minutes is reported once
// per stage, and its next accepted datagram ends all stages with one restore
// line. Settings are read at each use, so a change counts from the next tick.
//
// Silence and the start-up delay are measured on the monotonic clock: setting
// the wall clock never makes units look silent nor hides a silent one.
class Supervision {
public:
    Supervision(Registry& registry, SendBuffer& buffer, const WorkingSettings& settings,
                const IClock& clock, LogChannels logs);

    // Monotonic ms of program start, from which the start-up delay counts.
    void SetAppStartMono(std::int64_t ms) { appStartMono_ = ms; }

    // Queues a heartbeat (written at once when the link is idle) unless the
    // heartbeat is off or 3 or more lines already wait. No guard of its own.
    void AddPing();
    // The minute tick: reports every stage whose silence threshold has passed.
    // Errors are reported under "CheckCommSt" and end the pass.
    void CheckCommSt();
    // Marks the stage, queues its trouble line and logs it. `account` is the
    // text put into the line ("FFFF" when the unit's own is unusable). A
    // database that refuses the flag is reported under "CheckCommSt" after
    // the line is queued; the flag stays set in memory.
    void IssueCommTrouble(int nr, const std::string& account, int stage, int thresholdMinutes);
    // Called for every accepted datagram: ends all reported stages of the unit
    // with one restore line, when its account has 4 characters. Errors are
    // reported under "Send_CommRestore_ifNeed"; a database that refuses the
    // cleared flags is one of them, reported after the line is queued.
    void Send_CommRestore_ifNeed(int nr);

private:
    Registry& registry_;
    SendBuffer& buffer_;
    const WorkingSettings& settings_;
    const IClock& clock_;
    LogChannels logs_;
    std::int64_t appStartMono_ = 0;
};

}  // namespace korvan
