#include "registry/UnitsView.h"

#include "base/Guard.h"
#include "base/Text.h"

#include <cstdio>
#include <exception>

#include "registry/UnitDb.h"

namespace korvan {

namespace {

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlue{0, 0, 255};

// Stage bits 0..2; anything above them is not a stage.
constexpr std::uint8_t kStageBits = 0x07;

}  // namespace

std::string UnitCellText(const UnitRecord& u, int nr, int column, TDateTime now) {
    switch (column) {
        case unitcol::kUnitId:
            return UnitNrText(nr);
        case unitcol::kAccount:
            return u.account;
        case unitcol::kIpPort:
            return u.address;
        case unitcol::kLastTestTime:
            return DateTimeText(u.lastMessage);
        case unitcol::kNoTestTime:
            return ElapsedText(now - u.lastMessage);
        case unitcol::kFirstMsgTime:
            return DateTimeText(u.firstMessage);
        case unitcol::kImei:
            return u.imei;
        case unitcol::kFirmWareVer:
            return u.firmwareVersion;
        default:
            return std::string();
    }
}

std::string UnitPortText(const UnitRecord& u) {
    return ":" + std::to_string(u.port);
}

GradientColours RowColours(std::uint8_t troubleStagesSent) {
    const std::uint8_t stages = troubleStagesSent & kStageBits;
    if (stages >= 4)
        return {{255, 193, 139}, {255, 123, 0}};
    if (stages >= 2)
        return {{255, 237, 213}, {255, 158, 28}};
    if (stages == 1)
        return {{255, 255, 255}, {254, 209, 122}};
    return {{255, 255, 255}, {222, 222, 222}};
}

Rgb CellTextColour(std::uint8_t troubleStagesSent, bool selected) {
    if (!selected)
        return kBlack;
    return (troubleStagesSent & kStageBits) >= 2 ? kWhite : kBlue;
}

std::string FilterText(const std::string& boxText) {
    return TrimBlanksAndControls(boxText);
}

void ApplyUnitFilter(const Registry& units, UnitTable& table, const std::string& text) {
    table.BeginUpdate();
    try {
        table.Clear();
        for (int nr = 0; nr < kUnitCount; ++nr) {
            const UnitRecord& u = units.Unit(nr);
            if (!u.used)
                continue;
            if (text.empty() || u.rowText.find(text) != std::string::npos)
                table.Insert(static_cast<std::uint16_t>(nr));
        }
        table.First();
    } catch (...) {
        // The view must hear of whatever rows the table holds now.
        table.EndUpdate();
        throw;
    }
    table.EndUpdate();
}

UnitFilter::UnitFilter(const Registry& units, UnitTable& table, ITimerFactory& timers,
                       LogChannel& errors)
    : units_(units),
      table_(table),
      errors_(errors),
      timer_(timers.CreateTimer(kFilterDelayMs, true, [this] { DelayElapsed(); })) {}

Rgb UnitFilter::TextChanged(const std::string& boxText) {
    boxText_ = boxText;
    const bool empty = FilterText(boxText).empty();
    // Starting again before the tick restarts the delay: typing applies the
    // filter once, after the last keystroke.
    timer_->Stop();
    timer_->SetInterval(empty ? kFilterClearedDelayMs : kFilterDelayMs);
    timer_->Start();
    return empty ? kFilterEmptyColour : kFilterActiveColour;
}

void UnitFilter::DelayElapsed() {
    Guarded(errors_, "TimerOnce_FilterTime",
            [&] { ApplyUnitFilter(units_, table_, FilterText(boxText_)); });
}

}  // namespace korvan
