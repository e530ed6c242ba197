#include "registry/UnitDb.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "base/File.h"
#include "base/Text.h"

namespace korvan {

namespace {

Bytes StoreLE(std::uint64_t value, std::size_t size) {
    Bytes out;
    AppendLE(out, value, size);
    return out;
}

// A whole decimal number, or nothing.
template <typename T>
bool ParseWhole(const std::string& text, T& out) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

const char* const kBadSizeText =
    "ERROR!! Database size is invalid. Please repair or delete database (RAZUDovuve.db) and "
    "launch the application again";

// 2000-01-01 00:00:00 in whole milliseconds of the day count.
const std::int64_t kDbBaseMs = std::llround(kDbBaseDate * kMsPerDay);

std::string TimeOutOfRangeText(TDateTime dt) {
    // Only a date of the years 1..9999 can be written out.
    const bool showable = std::isfinite(dt) && dt > -693594.0 && dt < 2958466.0;
    const std::string shown = showable ? DateTimeText(dt) : std::string("(no time)");
    return "Time " + shown + " cannot be stored in the database: it holds " +
           DateTimeText(DateTimeOfDbSeconds(std::numeric_limits<std::int32_t>::min())) + " to " +
           DateTimeText(DateTimeOfDbSeconds(std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

// --- Field encodings -------------------------------------------------------

std::uint32_t IpTextToValue(const std::string& ip) {
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        std::int32_t octet = 0;
        if (start <= ip.size()) {
            const std::size_t dot = ip.find('.', start);
            const std::size_t end = dot == std::string::npos ? ip.size() : dot;
            if (!ParseWhole(ip.substr(start, end - start), octet))
                octet = 0;
            start = dot == std::string::npos ? ip.size() + 1 : dot + 1;
        }
        value = (value << 8) | (static_cast<std::uint32_t>(octet) & 0xFFu);
    }
    return value;
}

std::string IpValueToText(std::uint32_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (value >> 24) & 0xFFu, (value >> 16) & 0xFFu,
                  (value >> 8) & 0xFFu, value & 0xFFu);
    return buf;
}

Bytes EncodeIp(const std::string& ip) {
    return StoreLE(IpTextToValue(ip), 4);
}

Bytes EncodePort(std::int32_t port) {
    return StoreLE(static_cast<std::uint16_t>(port), 2);
}

std::int32_t DbSecondsOf(TDateTime dt) {
    // Checked on the day count first: far outside the range, the millisecond
    // count below would not fit its integer either.
    const double days = dt - kDbBaseDate;
    const double limitDays = 2147483648.0 / 86400.0 + 1.0;
    if (!(days > -limitDays && days < limitDays))
        throw std::out_of_range(TimeOutOfRangeText(dt));
    // Whole milliseconds first, so that 10:30:01 never becomes 10:30:00.999..
    // and loses its second to the truncation; the fraction is cut off toward
    // the past on both sides of the base date.
    const std::int64_t ms = std::llround(dt * kMsPerDay) - kDbBaseMs;
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    if (seconds < std::numeric_limits<std::int32_t>::min() ||
        seconds > std::numeric_limits<std::int32_t>::max()) {
        throw std::out_of_range(TimeOutOfRangeText(dt));
    }
    return static_cast<std::int32_t>(seconds);
}

TDateTime DateTimeOfDbSeconds(std::int32_t seconds) {
    return kDbBaseDate + static_cast<double>(seconds) * 1000.0 / kMsPerDay;
}

Bytes EncodeDbTime(TDateTime dt) {
    return StoreLE(static_cast<std::uint32_t>(DbSecondsOf(dt)), 4);
}

std::int64_t ImeiTextToValue(const std::string& imei) {
    if (imei.empty())
        return 0;
    std::int64_t value = 0;
    if (!ParseWhole(imei, value)) {
        throw std::invalid_argument("'" + PrintableText(imei) + "' is not a valid IMEI number");
    }
    return value;
}

std::string ImeiValueToText(std::int64_t value) {
    if (value == 0)
        return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15lld", static_cast<long long>(value));
    return std::string(buf).substr(0, kImeiCapacity);
}

Bytes EncodeImei(const std::string& imei) {
    return StoreLE(static_cast<std::uint64_t>(ImeiTextToValue(imei)), 8);
}

Bytes EncodeFirmware(const std::string& fwRaw) {
    Bytes out(3, 0);
    for (std::size_t i = 0; i < out.size() && i < fwRaw.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(fwRaw[i]);
    }
    return out;
}

Bytes EncodeAccount(const std::string& account) {
    Bytes out(kAccountCapacity, 0);
    for (std::size_t i = 0; i < out.size() && i < account.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(account[i]);
    }
    return out;
}

std::string TrimBlanksAndControls(const std::string& text) {
    const auto isSpace = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// --- The file ----------------------------------------------------------------

UnitDb::UnitDb(LogChannels logs, std::string path) : logs_(logs), path_(std::move(path)) {}

UnitDb::~UnitDb() {
    Close();
}

void UnitDb::Close() {
    fd_.Reset();  // releases the lock as well
}

bool UnitDb::FileExists() const {
    // A folder of that name is not a database: creating the file over it
    // then fails and says so.
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool UnitDb::ConnDB() {
    try {
        if (!FileExists()) {
            logs_.all.AddMsg("No DB find. Creating new database ..");
            if (!CreateNewDB()) {
                logs_.err.AddMsg("ERROR creating new DB. Application will not run.");
                return false;
            }
            logs_.all.AddMsg("New database created");
        }
        logs_.all.AddMsg("Connecting to existing database .. ");
        if (ReadExistDB()) {
            logs_.all.AddMsg("Connected to database");
            return true;
        }
        logs_.err.AddMsg("ERROR connecting to DB. Application will not run.");
        return false;
    } catch (const std::exception& e) {
        ReportError(logs_.err, "ConnDB", e.what());
        return false;
    }
}

bool UnitDb::CreateNewDB() {
    // The zero-filled file is written beside the database, synced, renamed
    // into place and the folder synced, so a receiver stopped half-way or a
    // power cut never leaves a short file that every later start would
    // refuse, nor loses the database once units are stored in it. A new file
    // is owner read-write, group read: the records hold IMEIs, addresses and
    // accounts.
    const Replacement how{.path = path_,
                          .suffix = ".new",
                          .texts = {.create = "Cannot create database " + path_,
                                    .write = "Cannot write database " + path_,
                                    .close = "Cannot close database " + path_,
                                    .rename = "Cannot create database " + path_}};
    try {
        const std::string zeros(kUnitDbFileSize, '\0');
        // The file is in place either way: a receiver without its database
        // would answer no unit at all, so a folder that cannot be synced is
        // reported and the start goes on.
        if (const int err = ReplaceAtomically(how, zeros).folderError; err != 0) {
            ReportError(logs_.err, "CreateNewDB",
                        "Cannot sync the folder of database " + path_ + ": " +
                            std::generic_category().message(err));
        }
        return true;
    } catch (const std::exception& e) {
        ReportError(logs_.err, "CreateNewDB", e.what());
        return false;
    }
}

bool UnitDb::ReadExistDB() {
    try {
        Close();
        Fd fd(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd.IsOpen())
            ThrowLastError("Cannot open database ", path_);
        // The lock belongs to this open file: another receiver (or a second
        // open in this one) is refused until this descriptor is closed.
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ThrowErrno(err, err == EWOULDBLOCK
                                ? "Database " + path_ + " is in use by another process"
                                : "Cannot lock database " + path_);
        }
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0)
            ThrowLastError("Cannot read the size of database ", path_);
        fd_ = std::move(fd);
        if (static_cast<std::uint64_t>(st.st_size) != kUnitDbFileSize) {
            logs_.err.AddMsg(kBadSizeText);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ReportError(logs_.err, "ReadExistDB", e.what());
        return false;
    }
}

namespace {

// The whole database, read through its open descriptor.
Bytes ReadWholeDb(int fd, const std::string& path) {
    Bytes data(kUnitDbFileSize);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowLastError("Cannot read database ", path);
        if (n == 0) {
            throw std::runtime_error("Database " + path + " ended after " + std::to_string(done) +
                                     " of " + std::to_string(kUnitDbFileSize) + " bytes");
        }
        done += static_cast<std::size_t>(n);
    }
    return data;
}

std::int32_t LoadDbSeconds(const std::uint8_t* p) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(LoadLE(p, 4)));
}

// The unit of a used record. `nowWall` and `nowMonoMs` are one reading of
// the clock.
void FillUnit(UnitRecord& u, const std::uint8_t* rec, TDateTime nowWall, std::int64_t nowMonoMs) {
    u.used = true;
    u.reserved = rec[dbrec::kReserved] == 1;
    u.troubleStagesSent = rec[dbrec::kCommTr];
    u.imei = ImeiValueToText(static_cast<std::int64_t>(LoadLE(rec + dbrec::kImei, 8)));
    u.address = IpValueToText(static_cast<std::uint32_t>(LoadLE(rec + dbrec::kIp, 4)));
    u.port = static_cast<std::uint16_t>(LoadLE(rec + dbrec::kPort, 2));
    u.firstMessage = DateTimeOfDbSeconds(LoadDbSeconds(rec + dbrec::kFirstMsg));
    u.lastMessage = DateTimeOfDbSeconds(LoadDbSeconds(rec + dbrec::kLastMsg));
    // Silence goes on counting from before the restart. A last message
    // stored in the future (the clock was set back since) is as far from now
    // as one in the past: counting it as negative silence would keep the
    // unit from ever being reported.
    u.lastMessageMonoMs =
        nowMonoMs - std::llabs(std::llround((nowWall - u.lastMessage) * kMsPerDay));
    const std::uint8_t* fw = rec + dbrec::kFirmware;
    if (fw[0] == 0 && fw[1] == 0 && fw[2] == 0) {
        u.firmwareRaw.clear();
        u.firmwareVersion.clear();
    } else {
        u.firmwareRaw.assign(reinterpret_cast<const char*>(fw), 3);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%d.%d.%d", fw[0], fw[1], fw[2]);
        u.firmwareVersion = buf;
    }
    u.account = TrimBlanksAndControls(
        std::string(reinterpret_cast<const char*>(rec + dbrec::kAccount), kAccountCapacity));
}

}  // namespace

bool UnitDb::ReadDB_and_FillU_onStartUp(Registry& registry, TDateTime nowWall,
                                        std::int64_t nowMonoMs) {
    try {
        const Bytes data = ReadWholeDb(fd_.Get(), path_);
        UnitTable& table = registry.Table();
        // The view hears of the rows once, when all are in.
        struct UpdateScope {
            UnitTable& rows;
            explicit UpdateScope(UnitTable& t) : rows(t) { rows.BeginUpdate(); }
            ~UpdateScope() { rows.EndUpdate(); }
        };
        {
            UpdateScope scope(table);
            for (int nr = 0; nr < kUnitCount; ++nr) {
                const std::uint8_t* rec =
                    data.data() + static_cast<std::size_t>(nr) * kUnitDbRecordSize;
                if (rec[dbrec::kUsed] != 1)
                    continue;
                FillUnit(registry.Unit(nr), rec, nowWall, nowMonoMs);
                registry.BuildRowText(nr);
                table.Insert(static_cast<std::uint16_t>(nr));
            }
        }
        table.First();
        return true;
    } catch (const std::exception& e) {
        ReportError(logs_.err, "ReadDB_and_FillU_onStartUp", e.what());
        return false;
    }
}

void UnitDb::WriteUnitField(int nr, int offset, const Bytes& bytes) {
    if (nr < 0 || nr >= kUnitCount || offset < 0 ||
        static_cast<std::size_t>(offset) + bytes.size() >
            static_cast<std::size_t>(kUnitDbRecordSize)) {
        throw std::out_of_range("Database write outside the record of unit " + std::to_string(nr) +
                                " (offset " + std::to_string(offset) + ", " +
                                std::to_string(bytes.size()) + " bytes)");
    }
    const off_t base = static_cast<off_t>(nr) * kUnitDbRecordSize + offset;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd_.Get(), bytes.data() + done, bytes.size() - done,
                                   base + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ThrowErrno(n < 0 ? errno : EIO,
                       "Cannot write unit " + UnitNrText(nr) + " to database " + path_);
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace korvan
