#include "settings/SettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "base/File.h"
#include "base/Guard.h"
#include "base/Text.h"

namespace korvan {

namespace {

// An optional '-' followed by decimal digits, within the signed 32-bit range;
// anything else (empty, "+5", "0x10", "1 5", too many digits) gives -1.
std::int32_t ToIntOrMinusOne(const std::string& s) {
    std::size_t i = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (negative)
        i = 1;
    if (i == s.size())
        return -1;
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t n = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        n = n * 10 + (s[i] - '0');
        if (n > limit)
            return -1;
    }
    return static_cast<std::int32_t>(negative ? -n : n);
}

// The file's lines, at most `maxLines` of them, from its first `maxBytes`
// bytes. CR LF, LF and CR each end a line; a line end at the very end adds
// no empty line. Returns false when the file does not exist.
bool LoadLines(const std::string& path, std::size_t maxBytes, std::size_t maxLines,
               std::vector<std::string>& lines) {
    // O_NONBLOCK so that a FIFO in the file's place cannot stall start-up.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0) {
        if (errno == ENOENT)
            return false;
        ThrowLastError("Cannot open settings file ", path);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        ThrowLastError("Cannot read settings file ", path);
    if (S_ISDIR(st.st_mode))
        ThrowErrno(EISDIR, "Cannot read settings file " + path);
    if (!S_ISREG(st.st_mode)) {
        throw std::runtime_error("Cannot read settings file " + path + ": not a regular file");
    }

    std::string data(maxBytes, '\0');
    std::size_t got = 0;
    while (got < maxBytes) {
        const ssize_t n = ::read(fd.Get(), data.data() + got, maxBytes - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError("Cannot read settings file ", path);
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);

    lines.clear();
    std::size_t start = 0;
    while (start < data.size() && lines.size() < maxLines) {
        std::size_t end = start;
        while (end < data.size() && data[end] != '\r' && data[end] != '\n') ++end;
        lines.push_back(data.substr(start, end - start));
        if (end < data.size() && data[end] == '\r' && end + 1 < data.size() &&
            data[end + 1] == '\n') {
            start = end + 2;
        } else {
            start = end + 1;
        }
    }
    return true;
}

// Writes `data` as the whole settings file: the file is either the old one
// or the new one, never a half-written one. A new file is owner read-write,
// group read; an old file's permissions are kept, except that others may
// never read it. The file stands even when its folder cannot be synced:
// that is told, and the save goes on.
void ReplaceFile(const std::string& path, const std::string& data, LogChannel& errors) {
    const std::string tmp = path + ".tmp";
    const Replacement how{.path = path,
                          .suffix = ".tmp",
                          .texts = {.create = "Cannot create settings file " + tmp,
                                    .write = "Cannot write settings file " + tmp,
                                    .close = "Cannot write settings file " + tmp,
                                    .rename = "Cannot replace settings file " + path},
                          .keepMode = true};
    if (const int err = ReplaceAtomically(how, data).folderError; err != 0) {
        ReportError(errors, "SaveSettings",
                    "Cannot sync the folder of settings file " + path + ": " +
                        std::generic_category().message(err));
    }
}

}  // namespace

namespace {

// The numbers a setting takes (min..max, and 0 for off when `zeroOff`), or
// the lengths its text takes.
struct Range {
    std::int32_t min;
    std::int32_t max;
    bool zeroOff;

    bool Holds(std::int32_t n) const { return (n >= min && n <= max) || (zeroOff && n == 0); }
    bool HoldsLength(const std::string& text) const {
        return text.size() >= static_cast<std::size_t>(min) &&
               text.size() <= static_cast<std::size_t>(max);
    }
};

// Puts a setting's trimmed text in force when it is a valid value; returns
// whether it was (nothing changes when not).
using Put = bool (*)(WorkingSettings& values, const Range& range, const std::string& text);

// Numbers are read by ToIntOrMinusOne, so a text that is no number is never
// valid.
template <auto Field>
bool PutNumber(WorkingSettings& values, const Range& range, const std::string& text) {
    const std::int32_t n = ToIntOrMinusOne(text);
    if (!range.Holds(n))
        return false;
    values.*Field = static_cast<std::remove_reference_t<decltype(values.*Field)>>(n);
    return true;
}

bool PutPortName(WorkingSettings& values, const Range& range, const std::string& text) {
    if (!range.HoldsLength(text))
        return false;
    values.SerialPortName = text;
    return true;
}

// Empty (off) is a value like any other.
bool PutTcpLink(WorkingSettings& values, const Range& range, const std::string& text) {
    const auto link = range.HoldsLength(text) ? ParseMonitoringTcp(text) : std::nullopt;
    if (!link)
        return false;
    values.TcpLink = *link;
    return true;
}

// One setting, in the row of its id. Its default is in force from the start
// and replaces a value that is not accepted; `firstRow`, when set, is what
// its table row shows before a value is applied instead of the default.
struct Setting {
    std::string_view key;   // the row's name as shown
    std::string_view hint;  // shown over the key
    std::string_view unit;  // drawn after the value
    Range range;
    std::string_view defaultText;
    const char* firstRow;
    Put put;
    SettingsStore::Effect effect;
};

using Effect = SettingsStore::Effect;

// The initial Serial Port row differs from the built-in "COM1"; the two agree
// once the file is read or the row is stored.
constexpr std::array<Setting, SettingsStore::kRowCount> kSettings = {{
    {"UDP Server Port",
     "UDP Server Listen Port\r\nvalid value [1..65534]",
     "",
     {1, 65534, false},
     "33665",
     nullptr,
     &PutNumber<&WorkingSettings::UDPSrvPort>,
     Effect::UdpEndpoint},
    {"Serial Port",
     "Serial Port\r\ne.g. CNCA1, COM1, COM2, etc.",
     "",
     {3, 6, false},
     "COM1",
     "COM3",
     &PutPortName,
     Effect::SerialPort},
    {"Comm Trouble 1",
     "CommTrouble1\r\nvalid value [1..9999] min.\r\n0=Disabled",
     "min.",
     {1, 9999, true},
     "15",
     nullptr,
     &PutNumber<&WorkingSettings::CommTrouble1>,
     Effect::None},
    {"Comm Trouble 2",
     "CommTrouble2\r\nvalid value [1..9999] min.\r\n0=Disabled",
     "min.",
     {1, 9999, true},
     "60",
     nullptr,
     &PutNumber<&WorkingSettings::CommTrouble2>,
     Effect::None},
    {"Comm Trouble 3",
     "CommTrouble3\r\nvalid value [1..9999] min.\r\n0=Disabled",
     "min.",
     {1, 9999, true},
     "240",
     nullptr,
     &PutNumber<&WorkingSettings::CommTrouble3>,
     Effect::None},
    {"Comm Trouble StartUp Delay",
     "CommTrouble StartUp Delay\r\nvalid value [1..60] min.\r\n0=Disabled",
     "min.",
     {1, 60, true},
     "7",
     nullptr,
     &PutNumber<&WorkingSettings::CommTroubleStartUpDelay>,
     Effect::None},
    {"Ping Interval To Monit.Software",
     "Ping Interval To Monitoring Software\r\nvalid value [5..60] sec.\r\n0=Disabled",
     "sec.",
     {5, 60, true},
     "30",
     nullptr,
     &PutNumber<&WorkingSettings::PingInterval>,
     Effect::Heartbeat},
    {"Monitoring TCP",
     "Monitoring Software over TCP\r\nlisten PORT, or listen ADDRESS:PORT, then optionally\r\n"
     "from ADDRESS: the software connects to this port\r\nor HOST:PORT: connect to the "
     "software's listener\r\nempty=Disabled",
     "",
     {0, static_cast<std::int32_t>(MonitoringTcp::kMaxLength), false},
     "",
     nullptr,
     &PutTcpLink,
     Effect::MonitoringTcp},
}};

std::vector<SettingsRow> InitialRows() {
    std::vector<SettingsRow> rows;
    for (std::size_t id = 0; id < kSettings.size(); ++id) {
        const Setting& s = kSettings[id];
        rows.push_back({static_cast<std::uint16_t>(id), std::string(s.key),
                        std::string(s.firstRow != nullptr ? s.firstRow : s.defaultText)});
    }
    return rows;
}

}  // namespace

WorkingSettings::WorkingSettings() {
    for (const Setting& s : kSettings) s.put(*this, s.range, std::string(s.defaultText));
}

SettingsStore::SettingsStore(WorkingSettings& values, LogChannels logs, std::string iniPath,
                             ISettingEffects& effects)
    : values_(values),
      logs_(logs),
      iniPath_(std::move(iniPath)),
      effects_(effects),
      rows_(InitialRows()) {}

std::pair<bool, std::string> SettingsStore::CheckSetValue(int id, const std::string& text) {
    try {
        std::string shown = Trim(text);
        if (id < 0 || id >= kRowCount)
            return {false, shown};
        const Setting& s = kSettings[static_cast<std::size_t>(id)];
        const bool accepted = s.put(values_, s.range, shown);
        if (!accepted) {
            shown = s.defaultText;
            s.put(values_, s.range, shown);
        }
        Apply(s.effect);
        return {accepted, shown};
    } catch (const std::exception& e) {
        ReportError(logs_.err, "CheckSetValue", e.what());
        return {false, std::string()};
    }
}

void SettingsStore::Apply(Effect effect) {
    switch (effect) {
        case Effect::None:
            break;
        case Effect::UdpEndpoint:
            // Re-creates the endpoint only once start-up is done.
            effects_.DoActivateUDPSrvPort(false);
            break;
        case Effect::SerialPort:
            // Opens the port during start-up too.
            effects_.DoActivateSerialPort();
            break;
        case Effect::Heartbeat:
            // A new interval counts from now, with a heartbeat at once.
            effects_.AddPing();
            effects_.StopPingTimer();
            if (values_.PingInterval > 0)
                effects_.StartPingTimer(values_.PingInterval * 1000);
            break;
        case Effect::MonitoringTcp:
            // Every store starts the link anew, the same value or not, as
            // storing the Serial Port row reopens the port.
            effects_.DoActivateMonitoringTcp();
            break;
    }
}

void SettingsStore::ReadSettings() {
    Guarded(logs_.err, "ReadSettings", [&] {
        std::vector<std::string> lines;
        if (!LoadLines(iniPath_, kMaxReadBytes, kRowCount, lines))
            return;
        // Rows are set directly: reading neither re-checks through the post
        // handlers nor saves nor beeps.
        for (int i = 0; i < kRowCount; ++i) {
            const std::string value = static_cast<std::size_t>(i) < lines.size() ? lines[i] : "";
            rows_[i].value = CheckSetValue(rows_[i].id, value).second;
        }
    });
}

void SettingsStore::SaveSettings() {
    Guarded(logs_.err, "SaveSettings", [&] {
        std::string data;
        for (const SettingsRow& row : rows_) {
            data += Trim(row.value);
            data += "\r\n";
        }
        ReplaceFile(iniPath_, data, logs_.err);
    });
}

bool SettingsStore::MayInsertRow() {
    return !effects_.StartUpDone();
}

void SettingsStore::PostValue(int row, const std::string& typed) {
    if (row < 0 || row >= kRowCount)
        return;
    if (!effects_.StartUpDone()) {
        rows_[row].value = typed;
        return;
    }
    rows_[row].value = CheckAndApply(row, typed);
    SaveAndConfirm();
}

std::string SettingsStore::CheckAndApply(int row, const std::string& typed) {
    if (row < 0 || row >= kRowCount || !effects_.StartUpDone())
        return typed;
    auto [accepted, shown] = CheckSetValue(rows_[row].id, typed);
    return accepted ? typed : shown;
}

void SettingsStore::SaveAndConfirm() {
    if (!effects_.StartUpDone())
        return;
    SaveSettings();
    effects_.Beep();
}

std::string SettingsStore::DisplayValue(int row) const {
    if (row < 0 || row >= kRowCount)
        return std::string();
    const SettingsRow& r = rows_[row];
    return r.value + " " + std::string(kSettings[r.id].unit);
}

std::size_t SettingsStore::ValueMaxLength(int row) {
    return row == kMonitoringTcpId ? MonitoringTcp::kMaxLength : kValueMaxLength;
}

std::string SettingsStore::HintForRow(int gridRow) {
    if (gridRow < 1 || gridRow > kRowCount)
        return std::string();
    return std::string(kSettings[static_cast<std::size_t>(gridRow - 1)].hint);
}

}  // namespace korvan
