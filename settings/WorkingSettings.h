#pragma once

#include <cstdint>
#include <string>

#include "settings/MonitoringTcp.h"

namespace korvan {

// The eight values in force. The settings table's defaults (in
// settings/SettingsStore.cpp) until the settings file or the settings grid
// applies a value.
struct WorkingSettings {
    WorkingSettings();

    std::uint16_t UDPSrvPort = 0;
    std::string SerialPortName;
    std::int32_t CommTrouble1 = 0;             // minutes, 0 = off
    std::int32_t CommTrouble2 = 0;             // minutes, 0 = off
    std::int32_t CommTrouble3 = 0;             // minutes, 0 = off
    std::int32_t CommTroubleStartUpDelay = 0;  // minutes, 0 = none
    std::int32_t PingInterval = 0;             // seconds, 0 = off
    MonitoringTcp TcpLink;                     // off unless set
};

}  // namespace korvan
