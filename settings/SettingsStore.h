#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/LogChannels.h"
#include "settings/SettingEffects.h"
#include "settings/WorkingSettings.h"

namespace korvan {

// One row of the settings table: the setting's id (0..7, also its line in
// the file minus one), its name as shown and its value as text.
struct SettingsRow {
    std::uint16_t id;
    std::string key;
    std::string value;
};

// The eight settings: the file "RAZUDovuve.ini" (one value per line, CR LF
// after each), the checking and applying of each value, and the logic of the
// Key/Value table the settings grid shows.
//
// Every value is put into force the moment it is read or stored; a value out
// of range is replaced by its default, both in force and in the row. Once
// start-up is done each stored edit rewrites the whole file and beeps.
//
// The table always holds exactly the eight rows in id order: the file's line
// order depends on it, so rows are never inserted, deleted or moved.
class SettingsStore {
public:
    static constexpr int kRowCount = 8;
    // The longest value the grid's editor lets the operator type in the
    // first seven rows; the Monitoring TCP row takes MonitoringTcp::kMaxLength.
    static constexpr std::size_t kValueMaxLength = 7;
    static constexpr int kMonitoringTcpId = 7;
    // The settings file is never read beyond this many bytes; anything after
    // it counts as lying beyond the last line. A real file has fewer than
    // 100 bytes, so this only keeps a huge or foreign file from stalling
    // start-up or filling memory.
    static constexpr std::size_t kMaxReadBytes = 64 * 1024;

    // What storing a setting sets in motion besides putting it in force.
    enum class Effect : std::uint8_t {
        None,           // read where it is used
        UdpEndpoint,    // DoActivateUDPSrvPort, not forced
        SerialPort,     // DoActivateSerialPort
        Heartbeat,      // a heartbeat now, the timer restarted on the interval
        MonitoringTcp,  // DoActivateMonitoringTcp
    };

    // `values` are the working settings the rest of the program reads;
    // `iniPath` is the full path of the settings file; `effects` carries out
    // what applying a value sets in motion. The table starts with its initial
    // rows; nothing is read or applied until ReadSettings.
    SettingsStore(WorkingSettings& values, LogChannels logs, std::string iniPath,
                  ISettingEffects& effects);

    // Checks `text` as the value of setting `id` and puts it in force.
    // Leading and trailing blanks and control characters are ignored; numbers
    // are an optional '-' and decimal digits within the 32-bit range, anything
    // else counts as -1. Returns whether the value was accepted and the text
    // the row must show afterwards (the trimmed text, or the replacement
    // default). An unknown id changes nothing and is not accepted. An error
    // (from an effect, say) is reported under "CheckSetValue" and gives
    // (false, "").
    std::pair<bool, std::string> CheckSetValue(int id, const std::string& text);

    // Start-up: reads the file and applies line i + 1 to setting i, for all
    // eight settings in id order, setting each row to the text it must show.
    // Nothing is saved and nothing beeps here. Without a file it returns at
    // once and changes nothing. Only the first kMaxReadBytes bytes are read;
    // CR LF, a bare LF and a bare CR each end a line; lines after the eighth
    // are ignored and missing lines count as empty (a file of seven lines
    // from an older version leaves the TCP link off). A file that cannot be
    // read is reported under "ReadSettings"; rows applied before the error
    // stay.
    void ReadSettings();

    // Rewrites the whole file from the rows, each value trimmed and followed
    // by CR LF. The new contents go to a temporary file beside it which then
    // replaces the old file, so a failed write leaves the old file whole.
    // Failures are reported under "SaveSettings".
    void SaveSettings();

    // The grid asks before adding a row: after start-up the answer is always
    // no (the insert is abandoned without a message).
    bool MayInsertRow();

    // Stores the text the operator typed into row `row` (0-based). Before
    // start-up the text is only stored. Afterwards the value is checked and
    // applied (CheckAndApply), stored, the file is rewritten and
    // the beep sounds (SaveAndConfirm), in that order. A row index
    // outside the table does nothing.
    void PostValue(int row, const std::string& typed);

    // Checks and applies the value being stored in `row`; returns the text
    // to store: the typed text as it is (blanks kept) when accepted, else the
    // replacement.
    std::string CheckAndApply(int row, const std::string& typed);
    // After a row has been stored: save the file, then beep.
    void SaveAndConfirm();

    // The Value column's drawn text: value, one blank, the unit suffix.
    std::string DisplayValue(int row) const;
    // The hint for grid row `gridRow` (1..8; row 0 is the title row), else "".
    static std::string HintForRow(int gridRow);
    // The longest value row `row` (0-based) takes.
    static std::size_t ValueMaxLength(int row);

    const std::vector<SettingsRow>& Rows() const { return rows_; }

private:
    void Apply(Effect effect);

    WorkingSettings& values_;
    LogChannels logs_;
    std::string iniPath_;
    ISettingEffects& effects_;
    std::vector<SettingsRow> rows_;
};

}  // namespace korvan
