#include "settings/SettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <system_error>

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

// Takes errno before the message text is built, which may allocate.
[[noreturn]] void ThrowLastError(const char* what, const std::string& path) {
    const int err = errno;
    ThrowErrno(err, what + path);
}

// Closes a descriptor on every way out of a scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    // Closes now and returns close()'s errno, 0 on success.
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

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

// Writes `data` to a temporary file beside `path` and renames it over
// `path`: the settings file is either the old one or the new one, never a
// half-written one. A new file is owner read-write, group read; an old
// file's permissions are kept, except that others may never read it.
void ReplaceFile(const std::string& path, const std::string& data) {
    const std::string tmp = path + ".tmp";
    // A temporary file left by an earlier failed save may carry other
    // permissions; it is replaced, not reused.
    ::unlink(tmp.c_str());
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (fd.Get() < 0)
        ThrowLastError("Cannot create settings file ", tmp);
    try {
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
            ::fchmod(fd.Get(), old.st_mode & 07770);
        }
        if (const int err = WriteFully(fd.Get(), data.data(), data.size()); err != 0)
            ThrowErrno(err, "Cannot write settings file " + tmp);
        if (::fsync(fd.Get()) != 0)
            ThrowLastError("Cannot write settings file ", tmp);
        if (const int err = fd.Close(); err != 0) {
            ThrowErrno(err, "Cannot write settings file " + tmp);
        }
        if (::rename(tmp.c_str(), path.c_str()) != 0) {
            ThrowLastError("Cannot replace settings file ", path);
        }
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    // Make the rename itself last across a power loss; a failure here leaves
    // the file written and is not worth a report.
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() >= 0)
        ::fsync(dirFd.Get());
}

}  // namespace

SettingsStore::SettingsStore(WorkingSettings& values, LogChannels logs, std::string iniPath,
                             ISettingEffects& effects)
    : values_(values),
      logs_(logs),
      iniPath_(std::move(iniPath)),
      effects_(effects),
      // The initial Serial Port row differs from the built-in "COM1"; the two
      // agree once the file is read or the row is stored.
      rows_{{0, "UDP Server Port", "33665"},
            {1, "Serial Port", "COM3"},
            {2, "Comm Trouble 1", "15"},
            {3, "Comm Trouble 2", "60"},
            {4, "Comm Trouble 3", "240"},
            {5, "Comm Trouble StartUp Delay", "7"},
            {6, "Ping Interval To Monit.Software", "30"},
            {7, "Monitoring TCP", ""}} {}

std::pair<bool, std::string> SettingsStore::CheckSetValue(int id, const std::string& text) {
    try {
        std::string shown = Trim(text);
        const std::int32_t n = ToIntOrMinusOne(shown);
        bool accepted = false;
        switch (id) {
            case 0:
                if (n >= 1 && n <= 65534) {
                    values_.UDPSrvPort = static_cast<std::uint16_t>(n);
                    accepted = true;
                } else {
                    values_.UDPSrvPort = 33665;
                    shown = "33665";
                }
                // Re-creates the endpoint only once start-up is done.
                effects_.DoActivateUDPSrvPort(false);
                break;
            case 1:
                if (shown.size() >= 3 && shown.size() <= 6) {
                    accepted = true;
                } else {
                    shown = "COM1";
                }
                values_.SerialPortName = shown;
                // Opens the port during start-up too.
                effects_.DoActivateSerialPort();
                break;
            case 2:
            case 3:
            case 4: {
                static constexpr std::int32_t WorkingSettings::*kField[] = {
                    &WorkingSettings::CommTrouble1, &WorkingSettings::CommTrouble2,
                    &WorkingSettings::CommTrouble3};
                static constexpr std::int32_t kDefault[] = {15, 60, 240};
                // The thresholds take effect at the next communication check.
                if (n >= 0 && n <= 9999) {
                    values_.*kField[id - 2] = n;
                    accepted = true;
                } else {
                    values_.*kField[id - 2] = kDefault[id - 2];
                    shown = std::to_string(kDefault[id - 2]);
                }
                break;
            }
            case 5:
                if (n >= 0 && n <= 60) {
                    values_.CommTroubleStartUpDelay = n;
                    accepted = true;
                } else {
                    values_.CommTroubleStartUpDelay = 7;
                    shown = "7";
                }
                break;
            case 6:
                if (n == 0 || (n >= 5 && n <= 60)) {
                    values_.PingInterval = n;
                    accepted = true;
                } else {
                    values_.PingInterval = 30;
                    shown = "30";
                }
                // A new interval counts from now, with a heartbeat at once.
                effects_.AddPing();
                effects_.StopPingTimer();
                if (values_.PingInterval > 0)
                    effects_.StartPingTimer(values_.PingInterval * 1000);
                break;
            case kMonitoringTcpId:
                // Empty (off) is a value like any other; an invalid one
                // becomes empty.
                if (const auto link = ParseMonitoringTcp(shown)) {
                    values_.TcpLink = *link;
                    accepted = true;
                } else {
                    values_.TcpLink = MonitoringTcp{};
                    shown.clear();
                }
                // Every store starts the link anew, the same value or not, as
                // storing the Serial Port row reopens the port.
                effects_.DoActivateMonitoringTcp();
                break;
            default:
                break;
        }
        return {accepted, shown};
    } catch (const std::exception& e) {
        ReportError(logs_.err, "CheckSetValue", e.what());
        return {false, std::string()};
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
        ReplaceFile(iniPath_, data);
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
    return r.value + " " + std::string(SetUnits[r.id]);
}

std::size_t SettingsStore::ValueMaxLength(int row) {
    return row == kMonitoringTcpId ? MonitoringTcp::kMaxLength : kValueMaxLength;
}

std::string SettingsStore::HintForRow(int gridRow) const {
    if (gridRow < 1 || gridRow > kRowCount)
        return std::string();
    return std::string(SetHints[gridRow - 1]);
}

}  // namespace korvan
