#pragma once

// The unit database file "RAZUDovuve.db": 10000 records of 40 bytes, one per
// unit number, no header, little-endian. It is opened once at start-up, held
// open and locked for the whole run, read whole once and afterwards only
// written, each changed field at its own place.
//
// Record layout (offsets within the record):
//    0  1  used marker, 1 = in use, any other value = free
//    1  1  reserved flag (read, never set)
//    2  1  comm-trouble flags (bits 0..2 = stages 1..3 reported)
//    3  2  unused
//    5  8  IMEI as a signed 64-bit number, 0 = none
//   13  4  IPv4 address a.b.c.d as the 32-bit value a<<24|b<<16|c<<8|d
//   17  2  UDP port
//   19  4  first-message time, signed seconds since 2000-01-01 00:00:00
//          local (13.12.1931 20:45:52 to 19.01.2068 03:14:07)
//   23  4  last-message time, same encoding
//   27  3  firmware major, minor, build; 0.0.0 = none
//   30  4  account characters as received
//   34  6  unused

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/File.h"
#include "base/LogChannels.h"
#include "platform/DateTime.h"
#include "platform/Types.h"
#include "registry/Units.h"

namespace korvan {

inline constexpr int kUnitDbRecordSize = 40;
inline constexpr std::size_t kUnitDbFileSize =
    static_cast<std::size_t>(kUnitCount) * static_cast<std::size_t>(kUnitDbRecordSize);

// Offsets of the fields within a record.
namespace dbrec {
inline constexpr int kUsed = 0;
inline constexpr int kReserved = 1;
inline constexpr int kCommTr = 2;
inline constexpr int kImei = 5;
inline constexpr int kIp = 13;
inline constexpr int kPort = 17;
inline constexpr int kFirstMsg = 19;
inline constexpr int kLastMsg = 23;
inline constexpr int kFirmware = 27;
inline constexpr int kAccount = 30;
}  // namespace dbrec

// --- Field encodings -------------------------------------------------------

// Dotted text to a + b + c + d as a<<24|b<<16|c<<8|d. Each octet is a decimal
// number kept to its low 8 bits; a missing or non-numeric octet counts as 0.
std::uint32_t IpTextToValue(const std::string& ip);
// "%d.%d.%d.%d", most significant byte first.
std::string IpValueToText(std::uint32_t value);
// The 4 bytes on disk: d, c, b, a.
Bytes EncodeIp(const std::string& ip);
// The low 16 bits, little-endian.
Bytes EncodePort(std::int32_t port);

// Whole seconds from 2000-01-01 00:00:00 to `dt`, negative before it; the
// fraction is cut off toward the past. A time the 32-bit count cannot hold
// throws std::out_of_range: it is never folded into another time.
std::int32_t DbSecondsOf(TDateTime dt);
TDateTime DateTimeOfDbSeconds(std::int32_t seconds);
// The 4 bytes, little-endian. Throws like DbSecondsOf.
Bytes EncodeDbTime(TDateTime dt);

// The numeric value of an IMEI text; empty text is 0 (none). Throws
// std::invalid_argument when the text is not a decimal number.
std::int64_t ImeiTextToValue(const std::string& imei);
// "%.15d" of the value cut to 15 characters; empty for 0.
std::string ImeiValueToText(std::int64_t value);
// 8 bytes, little-endian. Throws like ImeiTextToValue.
Bytes EncodeImei(const std::string& imei);

// The 3 firmware bytes; a shorter value is padded with zero bytes.
Bytes EncodeFirmware(const std::string& fwRaw);
// The 4 account characters as received; a shorter value is padded with NUL.
Bytes EncodeAccount(const std::string& account);

// Removes leading and trailing blanks and control characters (NUL included).
std::string TrimBlanksAndControls(const std::string& text);

// --- The file ----------------------------------------------------------------

class UnitDb : public IUnitStore {
public:
    // `path` is ExeDir + "RAZUDovuve.db". Nothing is opened until ConnDB.
    UnitDb(LogChannels logs, std::string path);
    ~UnitDb() override;
    UnitDb(const UnitDb&) = delete;
    UnitDb& operator=(const UnitDb&) = delete;

    // Creates the file when missing, then opens, locks and size-checks it.
    // Logs its progress and failures; false means the receiver must not run.
    bool ConnDB();
    // Writes a fresh zero-filled file beside the database, syncs it, renames
    // it into place and syncs the folder; the file is owner read-write and
    // group read. False after logging the failure. A folder that cannot be
    // synced is reported, and the new file is used all the same.
    bool CreateNewDB();
    // Opens the file read-write and locks it against every other process;
    // false when that fails or the size is not exactly 400000 bytes (the
    // descriptor then stays open and the file untouched).
    bool ReadExistDB();
    // Reads the whole file and fills every used record into the registry and
    // its table, then moves the table to its first row. `nowWall` and
    // `nowMonoMs` are one reading of the clock: a unit last heard ten minutes
    // before the restart starts with ten minutes of silence, and so does one
    // whose stored last message lies ten minutes in the future.
    bool ReadDB_and_FillU_onStartUp(Registry& registry, TDateTime nowWall, std::int64_t nowMonoMs);

    // One positioned write at nr x 40 + offset. Throws std::system_error when
    // the write fails and std::out_of_range for a place outside the record,
    // so the file can never grow.
    void WriteUnitField(int nr, int offset, const Bytes& bytes) override;

    bool IsOpen() const { return fd_.IsOpen(); }
    const std::string& Path() const { return path_; }
    // The open descriptor, -1 before a successful open. Tests use it to make
    // the descriptor fail.
    int Descriptor() const { return fd_.Get(); }

private:
    bool FileExists() const;
    void Close();

    LogChannels logs_;
    std::string path_;
    Fd fd_;
};

}  // namespace korvan
