#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/LogChannels.h"
#include "platform/DateTime.h"
#include "platform/Types.h"
#include "registry/UnitTable.h"

namespace korvan {

inline constexpr int kUnitCount = 10000;

// One unit's record. Text capacities are those of the database record;
// longer values are cut when stored. The record layout's own names for the
// fields, in this order: bUsed, bReservedFlag, byCommTrSent, sIP, iPort,
// dtLastMsg, dtFirstMsg, sImei, sFwRaw, sFwVer, sAccount, sRowText.
struct UnitRecord {
    bool used = false;
    bool reserved = false;
    std::uint8_t troubleStagesSent = 0;  // bit 0..2: trouble stage 1..3 reported
    std::string address;                 // capacity 15
    std::int32_t port = 0;
    TDateTime lastMessage = 0;  // local wall-clock time
    TDateTime firstMessage = 0;
    std::string imei;             // capacity 15
    std::string firmwareRaw;      // capacity 3: major, minor, build bytes
    std::string firmwareVersion;  // capacity 11
    std::string account;          // capacity 4
    std::string rowText;          // search text of the unit's grid row
    // Monotonic time of the last message: silence is measured with it, so a
    // change of the wall clock never makes units look silent. Not stored in
    // the database; derived from lastMessage when the database is loaded.
    std::int64_t lastMessageMonoMs = 0;
};

inline constexpr std::size_t kIpCapacity = 15;
inline constexpr std::size_t kImeiCapacity = 15;
inline constexpr std::size_t kFwRawCapacity = 3;
inline constexpr std::size_t kFwVerCapacity = 11;
inline constexpr std::size_t kAccountCapacity = 4;

// Where a changed field of a unit is written at once (the database file).
class IUnitStore {
public:
    virtual ~IUnitStore() = default;
    // Writes `bytes` at nr x 40 + offset. Throws std::system_error on failure.
    virtual void WriteUnitField(int nr, int offset, const Bytes& bytes) = 0;
};

// What one accepted datagram tells about its unit.
struct UnitMessage {
    std::string unitText;        // UnitIdText of the datagram
    TDateTime now = 0;           // local time taken when processing began
    std::int64_t nowMonoMs = 0;  // monotonic time of the same moment
    std::string senderIP;
    std::int32_t senderPort = 0;
    std::string imei;        // PingImeiFwVer only, else empty
    std::string fwRaw;       // PingImeiFwVer only, else empty
    std::string fwText;      // PingImeiFwVer only, else empty
    std::string msgAccount;  // Event only, else empty
    std::string oldAccount;  // account before SetAccountFromMsg
};

// The registry of 10000 unit slots, indexed by unit number. Every change of
// a persisted field is written through to the store at once.
//
// Memory always holds what the units told; the file may lag behind it. A
// field whose write failed stays owed to the file and is written again with
// the unit's next write of that field's step (its next datagram, or its next
// trouble or restore for the trouble flags), so one failed write never leaves
// an old value on disk for good. A value the record cannot hold at all (an
// IMEI that is not a number, a time outside the years the record can count)
// is kept in memory and reported once, when it arrives; the file keeps the
// last value it could hold.
class Registry {
public:
    Registry(LogChannels logs, UnitTable& table);

    // The store is attached once the database is open; without one, changes
    // stay in memory.
    void SetStore(IUnitStore* store) { store_ = store; }
    // Called whenever the trouble colours of a unit change.
    void SetRepaint(std::function<void()> repaint) { repaint_ = std::move(repaint); }

    UnitRecord& Unit(int nr) { return units_.at(static_cast<std::size_t>(nr)); }
    const UnitRecord& Unit(int nr) const { return units_.at(static_cast<std::size_t>(nr)); }
    UnitTable& Table() { return table_; }

    bool IsUnitKnown(int nr) const;
    // Lowest unused number 1..9999 as "%.4d", or "9999" when all are used.
    std::string FindFirstFreeUnitNr() const;
    // Memory only: the database is written by UpdateUnitOnMessage.
    void SetAccountFromMsg(int nr, const std::string& account);
    // The steps: first message, address, IMEI, last message, firmware,
    // account, trouble flags still owed to the file, row text. Every step
    // runs even when an earlier one could not store its field, so memory
    // (and with it the supervision) always sees the unit as heard; the first
    // failure is thrown once the whole update is done.
    void UpdateUnitOnMessage(int nr, const UnitMessage& msg);
    // Set or clear the trouble flags in memory, repaint, then write them.
    // A stage outside 1..3 throws std::out_of_range before anything
    // changes; a failed write is thrown after the flags changed in memory,
    // which they keep.
    void MarkCommTrouble(int nr, int stage);
    void ClearCommTrouble(int nr);
    void BuildRowText(int nr);
    // Clears the slot, writes 40 zero bytes and removes the current row.
    void DeleteUnit(int nr);

    // Whether some field of the unit is held in memory but not yet in the
    // file, because its write failed.
    bool OwesFile(int nr) const { return owed_.at(static_cast<std::size_t>(nr)) != 0; }

private:
    // The fields a unit's record is written in, one bit each.
    enum Field : std::uint8_t {
        kUsedField = 1,
        kFirstMsgField = 2,
        kAddressField = 4,  // address and port
        kImeiField = 8,
        kLastMsgField = 16,
        kFirmwareField = 32,
        kAccountField = 64,
        kCommTrField = 128,
    };
    class Failures;

    // The steps of UpdateUnitOnMessage, each for its fields: memory, then
    // the file, then the log entry.
    void UpdateFirstMessage(int nr, const UnitMessage& msg, Failures& failures);
    void UpdateAddress(int nr, const UnitMessage& msg, Failures& failures);
    void UpdateImei(int nr, const UnitMessage& msg, Failures& failures);
    void UpdateLastMessage(int nr, const UnitMessage& msg, Failures& failures);
    void UpdateFirmware(int nr, const UnitMessage& msg, Failures& failures);
    void UpdateAccount(int nr, const UnitMessage& msg, Failures& failures);

    // Marks fields of the unit as changed in memory and so owed to the file.
    void Owe(int nr, std::uint8_t fields);
    // Writes those of `fields` that are owed, from memory. A write that fails
    // leaves its field owed; a value that cannot be encoded is owed no more.
    // Either failure is kept in `failures`.
    void StoreOwed(int nr, std::uint8_t fields, Failures& failures);

    // On the heap: 10000 records are too big for a stack frame.
    std::vector<UnitRecord> units_;
    std::vector<std::uint8_t> owed_;
    LogChannels logs_;
    UnitTable& table_;
    IUnitStore* store_ = nullptr;
    std::function<void()> repaint_;
};

}  // namespace korvan
