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

inline constexpr int UNIT_COUNT = 10000;

// One unit's record. Text capacities are those of the database record;
// longer values are cut when stored.
struct TUnitStruct {
    bool bUsed = false;
    bool bReservedFlag = false;
    std::uint8_t byCommTrSent = 0;  // bit 0..2: trouble stage 1..3 reported
    std::string sIP;                // capacity 15
    std::int32_t iPort = 0;
    TDateTime dtLastMsg = 0;        // local wall-clock time
    TDateTime dtFirstMsg = 0;
    std::string sImei;    // capacity 15
    std::string sFwRaw;   // capacity 3: major, minor, build bytes
    std::string sFwVer;   // capacity 11
    std::string sAccount; // capacity 4
    std::string sRowText; // search text of the unit's grid row
    // Monotonic time of the last message: silence is measured with it, so a
    // change of the wall clock never makes units look silent. Not stored in
    // the database; derived from dtLastMsg when the database is loaded.
    std::int64_t lastMsgMonoMs = 0;
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
    std::string imei;      // PingImeiFwVer only, else empty
    std::string fwRaw;     // PingImeiFwVer only, else empty
    std::string fwText;    // PingImeiFwVer only, else empty
    std::string msgAccount;  // Event only, else empty
    std::string oldAccount;  // sAccount before SetAccountFromMsg
};

// The registry of 10000 unit slots, indexed by unit number. Every change of
// a persisted field is written through to the store at once.
class Registry {
public:
    Registry(LogChannels logs, UnitTable& table);

    // The store is attached once the database is open; without one, changes
    // stay in memory.
    void SetStore(IUnitStore* store) { store_ = store; }
    // Called whenever the trouble colours of a unit change.
    void SetRepaint(std::function<void()> repaint) { repaint_ = std::move(repaint); }

    TUnitStruct& Unit(int nr) { return units_.at(static_cast<std::size_t>(nr)); }
    const TUnitStruct& Unit(int nr) const { return units_.at(static_cast<std::size_t>(nr)); }
    UnitTable& Table() { return table_; }

    bool IsUnitKnown(int nr) const;
    // Lowest unused number 1..9999 as "%.4d", or "9999" when all are used.
    std::string FindFirstFreeUnitNr() const;
    // Memory only: the database is written by UpdateUnitOnMessage.
    void SetAccountFromMsg(int nr, const std::string& account);
    // The seven steps: first message, address, IMEI, last message, firmware,
    // account, row text. Throws (from the store) and stops at that step.
    void UpdateUnitOnMessage(int nr, const UnitMessage& msg);
    void MarkCommTrouble(int nr, int stage);
    void ClearCommTrouble(int nr);
    void BuildRowText(int nr);
    // Clears the slot, writes 40 zero bytes and removes the current row.
    void DeleteUnit(int nr);

private:
    void Persist(int nr, int offset, const Bytes& bytes);

    // On the heap: 10000 records are too big for a stack frame.
    std::vector<TUnitStruct> units_;
    LogChannels logs_;
    UnitTable& table_;
    IUnitStore* store_ = nullptr;
    std::function<void()> repaint_;
};

}  // namespace korvan
