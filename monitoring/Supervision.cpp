#include "monitoring/Supervision.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "base/Guard.h"
#include "base/Text.h"
#include "monitoring/MonitoringLines.h"

namespace korvan {

namespace {

constexpr std::uint8_t kAllStages = 7;
constexpr std::int64_t kMsPerMinute = 60000;

// Stage 1..3 is bit 0..2 of troubleStagesSent.
constexpr std::uint8_t StageBit(int stage) {
    return static_cast<std::uint8_t>(1u << (stage - 1));
}

// Runs a change of the trouble flags; the text of a failed write of them,
// which leaves the change in memory, or "" when the file took it.
template <typename Change>
std::string FlagWriteFailure(Change&& change) {
    try {
        change();
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::string();
}

}  // namespace

Supervision::Supervision(Registry& registry, SendBuffer& buffer, const WorkingSettings& settings,
                         const IClock& clock, LogChannels logs)
    : registry_(registry), buffer_(buffer), settings_(settings), clock_(clock), logs_(logs) {}

void Supervision::AddPing() {
    if (settings_.PingInterval <= 0)
        return;
    // A heartbeat is only worth sending while the link keeps up; behind three
    // waiting lines it would only delay them.
    if (buffer_.SendBufferCount() >= 3)
        return;
    logs_.all.AddMsg("Add Ping");
    buffer_.AddHeartbeat();
}

void Supervision::CheckCommSt() {
    Guarded(logs_.err, "CheckCommSt", [&] {
        const std::int64_t now = clock_.MonotonicMs();
        // Quiet after program start until the units have had time to report
        // in; 10 seconds early so the tick that comes at the delay itself checks.
        const std::int32_t delay = settings_.CommTroubleStartUpDelay;
        if (delay > 0) {
            const std::int64_t elapsedSeconds = (now - appStartMono_) / 1000;
            if (elapsedSeconds < static_cast<std::int64_t>(delay) * 60 - 10)
                return;
        }

        const std::int32_t thresholds[3] = {settings_.CommTrouble1, settings_.CommTrouble2,
                                            settings_.CommTrouble3};
        for (int nr = 0; nr < kUnitCount; ++nr) {
            const UnitRecord& unit = registry_.Unit(nr);
            if (!unit.used || unit.troubleStagesSent == kAllStages)
                continue;

            const std::int64_t silence =
                std::max<std::int64_t>(0, (now - unit.lastMessageMonoMs) / kMsPerMinute);
            const std::string account = IsFourDigitCode(unit.account) ? unit.account : "FFFF";
            for (int stage = 1; stage <= 3; ++stage) {
                const std::int32_t threshold = thresholds[stage - 1];
                if (threshold > 0 && (unit.troubleStagesSent & StageBit(stage)) == 0 &&
                    silence >= threshold) {
                    IssueCommTrouble(nr, account, stage, threshold);
                }
            }
        }
    });
}

void Supervision::IssueCommTrouble(int nr, const std::string& account, int stage,
                                   int thresholdMinutes) {
    // Refused before anything happens: there is no such stage to report.
    if (stage < 1 || stage > 3)
        throw std::out_of_range("Trouble stage " + std::to_string(stage));
    // The flag is set in memory whatever the file does, and the line goes
    // with it: a flag that is set keeps the stage from being reported again,
    // so the line must never be left out.
    const std::string notStored = FlagWriteFailure([&] { registry_.MarkCommTrouble(nr, stage); });
    // Only queued: it leaves at the next send-buffer tick or answer.
    buffer_.QueueLine(MakeTroubleLine(account, stage));

    // The leading NUL sets the entry apart by an empty line.
    logs_.all.AddMsg(std::string(1, '\0') + "[Unit " + UnitNrText(nr) + "] [Account " +
                     PrintableText(account) + "] - CommTrouble" + std::to_string(stage) + " (" +
                     std::to_string(thresholdMinutes) + " min. No Ping)");
    // Reported without ending the pass: the other units are checked all the same.
    if (!notStored.empty())
        ReportError(logs_.err, "CheckCommSt", notStored);
}

void Supervision::Send_CommRestore_ifNeed(int nr) {
    Guarded(logs_.err, "Send_CommRestore_ifNeed", [&] {
        const UnitRecord& unit = registry_.Unit(nr);
        if (unit.troubleStagesSent == 0)
            return;
        // No "FFFF" here: without a 4-character account the stages stay
        // reported until a datagram brings one.
        if (unit.account.size() != 4)
            return;
        const std::string account = unit.account;

        // As with a trouble: cleared in memory and queued whatever the file does.
        const std::string notStored = FlagWriteFailure([&] { registry_.ClearCommTrouble(nr); });
        buffer_.QueueLine(MakeRestoreLine(account));

        logs_.all.AddMsg("[Unit " + UnitNrText(nr) + "] [Account " + PrintableText(account) +
                         "] - CommRestore");
        if (!notStored.empty())
            ReportError(logs_.err, "Send_CommRestore_ifNeed", notStored);
    });
}

}  // namespace korvan
