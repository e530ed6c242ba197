// The settings file reader. The input is the whole "RAZUDovuve.ini" as found
// beside the executable at start-up. Whatever it holds, every setting ends up
// in its range, each row shows the value in force, and the file written back
// reads in again to the very same rows and values.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzEnv.h"
#include "settings/SettingsStore.h"
#include "settings/WorkingSettings.h"

using namespace korvan;

namespace {

const char* const kIniName = "RAZUDovuve.ini";

// What applying the values set in motion.
struct Calls : ISettingEffects {
    void DoActivateUDPSrvPort(bool force) override { activateUdp.push_back(force); }
    void DoActivateSerialPort() override { ++activateSerial; }
    void DoActivateMonitoringTcp() override {}
    void AddPing() override { ++addPing; }
    void StopPingTimer() override { ++stopPing; }
    void StartPingTimer(int ms) override { startPing.push_back(ms); }
    void Beep() override { ++beeps; }
    bool StartUpDone() const override { return false; }

    std::vector<bool> activateUdp;
    int activateSerial = 0;
    int addPing = 0;
    int stopPing = 0;
    std::vector<int> startPing;
    int beeps = 0;
};

bool IsTrimmed(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

// The row text read as a whole number; it must be one.
std::int64_t Number(const std::string& text) {
    std::int64_t n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    FUZZ_CHECK(ec == std::errc() && ptr == end);
    return n;
}

void CheckInForce(const SettingsStore& store, const WorkingSettings& v, const Calls& calls) {
    const auto& rows = store.Rows();
    FUZZ_CHECK(rows.size() == static_cast<std::size_t>(SettingsStore::kRowCount));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        FUZZ_CHECK(rows[i].id == i);
        const std::string& value = rows[i].value;
        // Only the Monitoring TCP row may be empty (off).
        FUZZ_CHECK(!value.empty() || i == SettingsStore::kMonitoringTcpId);
        FUZZ_CHECK(value.empty() || (!IsTrimmed(value.front()) && !IsTrimmed(value.back())));
        FUZZ_CHECK(store.DisplayValue(static_cast<int>(i)).rfind(value + " ", 0) == 0);
        FUZZ_CHECK(!store.HintForRow(static_cast<int>(i) + 1).empty());
    }
    FUZZ_CHECK(v.UDPSrvPort >= 1 && v.UDPSrvPort <= 65534);
    FUZZ_CHECK(Number(rows[0].value) == v.UDPSrvPort);
    FUZZ_CHECK(v.SerialPortName.size() >= 3 && v.SerialPortName.size() <= 6);
    FUZZ_CHECK(rows[1].value == v.SerialPortName);
    const std::int32_t trouble[3] = {v.CommTrouble1, v.CommTrouble2, v.CommTrouble3};
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(trouble[i] >= 0 && trouble[i] <= 9999);
        FUZZ_CHECK(Number(rows[2 + i].value) == trouble[i]);
    }
    FUZZ_CHECK(v.CommTroubleStartUpDelay >= 0 && v.CommTroubleStartUpDelay <= 60);
    FUZZ_CHECK(Number(rows[5].value) == v.CommTroubleStartUpDelay);
    FUZZ_CHECK(v.PingInterval == 0 || (v.PingInterval >= 5 && v.PingInterval <= 60));
    FUZZ_CHECK(Number(rows[6].value) == v.PingInterval);
    const std::string& tcp = rows[SettingsStore::kMonitoringTcpId].value;
    FUZZ_CHECK(tcp.size() <= MonitoringTcp::kMaxLength);
    const auto parsed = ParseMonitoringTcp(tcp);
    FUZZ_CHECK(parsed.has_value() && *parsed == v.TcpLink);

    // Each value was applied once, in id order; reading never saves nor beeps.
    FUZZ_CHECK(calls.activateUdp == std::vector<bool>{false});
    FUZZ_CHECK(calls.activateSerial == 1 && calls.addPing == 1 && calls.stopPing == 1);
    FUZZ_CHECK(calls.startPing ==
               (v.PingInterval > 0 ? std::vector<int>{v.PingInterval * 1000} : std::vector<int>{}));
    FUZZ_CHECK(calls.beeps == 0);
}

bool SameValues(const WorkingSettings& a, const WorkingSettings& b) {
    return a.UDPSrvPort == b.UDPSrvPort && a.SerialPortName == b.SerialPortName &&
           a.CommTrouble1 == b.CommTrouble1 && a.CommTrouble2 == b.CommTrouble2 &&
           a.CommTrouble3 == b.CommTrouble3 &&
           a.CommTroubleStartUpDelay == b.CommTroubleStartUpDelay &&
           a.PingInterval == b.PingInterval && a.TcpLink == b.TcpLink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static FuzzEnv env;
    env.StartInput();
    env.WriteFile(kIniName, bytes, size);
    const std::string path = env.Dir() + kIniName;

    WorkingSettings values;
    Calls calls;
    SettingsStore store(values, env.Logs(), path, calls);
    store.ReadSettings();
    FUZZ_CHECK(env.ErrMemo().entries.empty());
    CheckInForce(store, values, calls);

    // Written back: the eight values, each with CR LF.
    store.SaveSettings();
    FUZZ_CHECK(env.ErrMemo().entries.empty());
    std::string expected;
    for (const SettingsRow& row : store.Rows()) expected += row.value + "\r\n";
    FUZZ_CHECK(env.ReadFile(kIniName) == expected);

    // And read in again by the next start: nothing changes.
    WorkingSettings again;
    Calls againCalls;
    SettingsStore next(again, env.Logs(), path, againCalls);
    next.ReadSettings();
    CheckInForce(next, again, againCalls);
    FUZZ_CHECK(SameValues(values, again));
    for (std::size_t i = 0; i < store.Rows().size(); ++i)
        FUZZ_CHECK(store.Rows()[i].value == next.Rows()[i].value);

    CheckLogLines(env.AllMemo());
    return 0;
}
