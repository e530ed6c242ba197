#pragma once

namespace korvan {

// What putting a setting in force sets in motion elsewhere in the program,
// and the one piece of its state the settings table asks about.
class ISettingEffects {
public:
    virtual ~ISettingEffects() = default;
    // Re-creates the UDP endpoint on UDPSrvPort (only after start-up unless
    // forced).
    virtual void DoActivateUDPSrvPort(bool force) = 0;
    // Opens the serial port, or reopens it under SerialPortName.
    virtual void DoActivateSerialPort() = 0;
    // Closes the TCP link to the monitoring software and starts it anew as
    // TcpLink says (listen, connect, or nothing).
    virtual void DoActivateMonitoringTcp() = 0;
    // Queues a heartbeat when the heartbeat is on.
    virtual void AddPing() = 0;
    virtual void StopPingTimer() = 0;
    // Sets the heartbeat timer's interval and starts it.
    virtual void StartPingTimer(int ms) = 0;
    // The system's confirmation beep after a stored edit.
    virtual void Beep() = 0;
    // True once the program's start-up sequence has completed.
    virtual bool StartUpDone() const = 0;
};

}  // namespace korvan
