#pragma once

#include <cstdint>
#include <string>

#include "settings/MonitoringTcp.h"

namespace korvan {

// The eight values in force. Built-in defaults until the settings file or
// the settings grid applies a value.
struct WorkingSettings {
    std::uint16_t UDPSrvPort = 33665;
    std::string SerialPortName = "COM1";
    std::int32_t CommTrouble1 = 15;            // minutes, 0 = off
    std::int32_t CommTrouble2 = 60;            // minutes, 0 = off
    std::int32_t CommTrouble3 = 240;           // minutes, 0 = off
    std::int32_t CommTroubleStartUpDelay = 7;  // minutes, 0 = none
    std::int32_t PingInterval = 30;            // seconds, 0 = off
    MonitoringTcp TcpLink;                     // off unless set
};

}  // namespace korvan
