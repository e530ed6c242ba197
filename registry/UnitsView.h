#pragma once

// The logic of the "Test Time Monitor" tab: what each cell of the units grid
// shows, the colours a row is painted in, and the filter that rebuilds the
// grid's rows. The widgets only ask these functions and draw the answers.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Log.h"
#include "platform/DateTime.h"
#include "platform/Timer.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"

namespace korvan {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A vertical two-colour gradient, top to bottom.
struct GradientColours {
    Rgb top;
    Rgb bottom;
    friend bool operator==(const GradientColours&, const GradientColours&) = default;
};

// --- Grid columns ---------------------------------------------------------

struct UnitColumn {
    const char* title;
    int width;  // pixels; the operator can neither resize nor move a column
};

inline constexpr int kUnitColumnCount = 8;
inline constexpr std::array<UnitColumn, kUnitColumnCount> kUnitColumns = {{
    {"Unit ID", 52},
    {"Account", 52},
    {"IP:Port", 134},
    {"Last Test Time", 111},
    {"No Test Time", 111},
    {"First Msg Time", 111},
    {"Imei", 134},
    {"FirmWare Ver", 78},
}};

// Column positions, as the painting selects what to draw by position alone.
namespace unitcol {
inline constexpr int kUnitId = 0;
inline constexpr int kAccount = 1;
inline constexpr int kIpPort = 2;
inline constexpr int kLastTestTime = 3;
inline constexpr int kNoTestTime = 4;
inline constexpr int kFirstMsgTime = 5;
inline constexpr int kImei = 6;
inline constexpr int kFirmWareVer = 7;
}  // namespace unitcol

// Cell text is drawn from (left + 2, top + 2) of the cell, in both grids.
inline constexpr int kCellTextInset = 2;
// In the IP:Port column the ":port" part starts this far right of the text
// origin, however wide the address is, so the ports line up in a column.
inline constexpr int kPortTextOffset = 90;

// The text of one cell of unit `nr` (its record `u`) in `column`. For the
// IP:Port column this is the address alone (see UnitPortText). "No Test Time"
// is the time since the last message as "%dd. hh:nn:ss", measured from `now`,
// so it is computed afresh at every paint. Empty for a column outside 0..7.
std::string UnitCellText(const UnitRecord& u, int nr, int column, TDateTime now);
// ":%d" of the unit's port, drawn kPortTextOffset right of the address.
std::string UnitPortText(const UnitRecord& u);

// --- Colours --------------------------------------------------------------

// The gradient of a unit's cells: the highest trouble stage already reported
// chooses it (bits 0..2 of troubleStagesSent = stages 1..3). Bits above the three
// stages mean nothing and are ignored, so such a byte read from a damaged
// database paints like the stages it has.
GradientColours RowColours(std::uint8_t troubleStagesSent);
// Text colour of a cell: black, except in the selected cell, which is white
// once stage 2 or 3 has been reported (the darker orange rows) and blue
// otherwise.
Rgb CellTextColour(std::uint8_t troubleStagesSent, bool selected);

// The Key column of the settings grid uses the same kind of gradient.
inline constexpr GradientColours kKeyCellColours{{255, 255, 255}, {0xDE, 0xDE, 0xDE}};

// --- Filter ---------------------------------------------------------------

inline constexpr int kFilterDelayMs = 1500;        // after the last keystroke
inline constexpr int kFilterClearedDelayMs = 100;  // after the box was emptied
inline constexpr Rgb kFilterActiveColour{0, 255, 255};
inline constexpr Rgb kFilterEmptyColour{255, 255, 255};

// The filter box's text without leading and trailing blanks and control
// characters: what the rows are matched against.
std::string FilterText(const std::string& boxText);

// Rebuilds the rows of `table` from the registry in one pass over the 10000
// slots, with the view told once at the end: every used slot when `text` is
// empty, else those whose rowText contains `text` (case-sensitive, anywhere).
// The first row becomes the current one.
void ApplyUnitFilter(const Registry& units, UnitTable& table, const std::string& text);

// The filter box's behaviour: each change of its text colours the box and
// (re)starts a one-shot delay; when it fires, the rows are
// rebuilt for the text the box holds then. Later changes to the records do
// not re-apply the filter, and a unit heard for the first time gets its row
// whatever the filter (the registry inserts it).
class UnitFilter {
public:
    UnitFilter(const Registry& units, UnitTable& table, ITimerFactory& timers, LogChannel& errors);

    // The box's text changed: remembers the box's text and restarts the delay,
    // 1500 ms while the box holds text, 100 ms once it is empty. Returns the
    // box's colour: aqua while it holds text, white when empty.
    Rgb TextChanged(const std::string& boxText);
    // The delay's tick: ApplyUnitFilter with the box's text. Failures
    // are reported under "TimerOnce_FilterTime".
    void DelayElapsed();

    const ITimer& DelayTimer() const { return *timer_; }
    const std::string& BoxText() const { return boxText_; }

private:
    const Registry& units_;
    UnitTable& table_;
    LogChannel& errors_;
    std::string boxText_;
    std::unique_ptr<ITimer> timer_;
};

}  // namespace korvan
