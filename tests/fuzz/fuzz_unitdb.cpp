// The unit database loader. The input is the file "RAZUDovuve.db" as found at
// start-up. As it is, only a file of exactly 400000 bytes may pass the size
// check; brought to 400000 bytes (cut, or padded with free records) it must
// load, and every used record must come back as the unit the bytes describe.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/FuzzEnv.h"
#include "registry/UnitDb.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"

using namespace korvan;

namespace {

const char* const kDbName = "RAZUDovuve.db";

std::uint32_t Le(const std::uint8_t* p, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::int64_t Le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

std::string FourDigitsOf(int nr) {
    char text[16];
    std::snprintf(text, sizeof text, "%.4d ", nr);
    return text;
}

bool SameBytes(const Bytes& b, const std::uint8_t* p) {
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (b[i] != p[i])
            return false;
    }
    return true;
}

void CheckLoaded(const Registry& registry, const std::vector<std::uint8_t>& file) {
    const UnitTable& table = const_cast<Registry&>(registry).Table();
    int used = 0;
    for (int nr = 0; nr < kUnitCount; ++nr) {
        const std::uint8_t* rec = file.data() + static_cast<std::size_t>(nr) * kUnitDbRecordSize;
        const UnitRecord& u = registry.Unit(nr);
        FUZZ_CHECK(u.used == (rec[dbrec::kUsed] == 1));
        if (!u.used)
            continue;
        FUZZ_CHECK(table.Find(static_cast<std::uint16_t>(nr)) == used);
        ++used;

        FUZZ_CHECK(u.reserved == (rec[dbrec::kReserved] == 1));
        FUZZ_CHECK(u.troubleStagesSent == rec[dbrec::kCommTr]);
        FUZZ_CHECK(u.address.size() <= kIpCapacity && u.imei.size() <= kImeiCapacity &&
                   u.firmwareRaw.size() <= kFwRawCapacity &&
                   u.firmwareVersion.size() <= kFwVerCapacity &&
                   u.account.size() <= kAccountCapacity);

        // Written back, each field gives the bytes it was read from.
        FUZZ_CHECK(SameBytes(EncodeIp(u.address), rec + dbrec::kIp));
        FUZZ_CHECK(SameBytes(EncodePort(u.port), rec + dbrec::kPort));
        FUZZ_CHECK(SameBytes(EncodeFirmware(u.firmwareRaw), rec + dbrec::kFirmware));
        const std::int64_t imei = Le64(rec + dbrec::kImei);
        if (imei >= 0 && imei <= 999'999'999'999'999)
            FUZZ_CHECK(ImeiTextToValue(u.imei) == imei);
        // Times before 2000 cannot be written, so only the later ones come
        // back exactly.
        const auto first = static_cast<std::int32_t>(Le(rec + dbrec::kFirstMsg, 4));
        const auto last = static_cast<std::int32_t>(Le(rec + dbrec::kLastMsg, 4));
        if (first >= 0)
            FUZZ_CHECK(SameBytes(EncodeDbTime(u.firstMessage), rec + dbrec::kFirstMsg));
        if (last >= 0)
            FUZZ_CHECK(SameBytes(EncodeDbTime(u.lastMessage), rec + dbrec::kLastMsg));
        FUZZ_CHECK(u.rowText.find(FourDigitsOf(nr)) == 0);
    }
    FUZZ_CHECK(table.RowCount() == used);
    FUZZ_CHECK(table.Current() == (used == 0 ? -1 : 0));
}

// The registry's 10000 slots are made once per process: making them afresh
// for every input would cost more than loading the file. After each input
// every slot the file filled is cleared again, so each load starts from a
// registry as fresh as a new one.
struct Units {
    UnitTable table;
    Registry registry;
    explicit Units(LogChannels logs) : registry(logs, table) {}
    void Clear() {
        for (int nr = 0; nr < kUnitCount; ++nr) {
            if (registry.Unit(nr).used)
                registry.Unit(nr) = UnitRecord{};
        }
        table.Clear();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static FuzzEnv env;
    static Units units(env.Logs());
    env.StartInput();
    FakeScheduler& clock = env.Clock();
    const LogChannels logs = env.Logs();
    const std::string path = env.Dir() + kDbName;

    // As it is: the size check decides.
    env.WriteFile(kDbName, bytes, size);
    {
        UnitDb db(logs, path);
        FUZZ_CHECK(db.ConnDB() == (size == kUnitDbFileSize));
        FUZZ_CHECK(db.IsOpen());
    }

    env.ClearMemos();

    // Brought to size: free records after the input's bytes.
    std::vector<std::uint8_t> file(kUnitDbFileSize, 0);
    std::copy(bytes, bytes + std::min(size, kUnitDbFileSize), file.begin());
    env.WriteFile(kDbName, file.data(), file.size());
    UnitDb db(logs, path);
    FUZZ_CHECK(db.ConnDB());
    Registry& registry = units.registry;
    FUZZ_CHECK(registry.Table().Empty());
    FUZZ_CHECK(db.ReadDB_and_FillU_onStartUp(registry, clock.Now(), clock.MonotonicMs()));
    FUZZ_CHECK(env.ErrMemo().entries.empty());
    CheckLoaded(registry, file);

    // A second start while this one holds the file is refused.
    {
        UnitDb second(logs, path);
        FUZZ_CHECK(!second.ConnDB());
    }

    CheckLogLines(env.AllMemo());
    units.Clear();
    return 0;
}
