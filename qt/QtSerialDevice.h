#pragma once

#include <QSerialPort>

#include <cstdint>
#include <string>

#include "platform/SerialDevice.h"

namespace korvan {

// The serial port to the monitoring software, on QSerialPort.
//
// `devicePath` is a path; a link (as in the executable's ports folder) is
// followed to the device it names, so that the lock file and the exclusive
// use hold per device whatever name it is reached by. The port is opened
// exclusively (a lock file and TIOCEXCL), raw and binary, at 9600 8N1
// without flow control, and DTR and RTS are raised; a device without modem
// lines (a pseudo-terminal) opens all the same.
//
// Line errors (framing, parity, break, overruns) come from the driver's
// error counters, where the driver keeps them. A device that goes away (a
// USB adapter pulled, the other end of a pseudo-terminal closed) is closed,
// so that posting the same port name again opens it anew.
class QtSerialDevice : public ISerialDevice {
public:
    QtSerialDevice();
    ~QtSerialDevice() override;
    QtSerialDevice(const QtSerialDevice&) = delete;
    QtSerialDevice& operator=(const QtSerialDevice&) = delete;

    bool Open(const std::string& devicePath) override;
    void Close() override;
    bool IsOpen() const override;
    bool Write(const Bytes& data) override;
    std::size_t PendingOutput() const override;
    void DiscardOutput() override;
    void DiscardInput() override;
    std::size_t BytesWaiting() const override;
    Bytes ReadAll() override;
    bool TakeLineError() override;

private:
    void Notify();
    void OnError(QSerialPort::SerialPortError error);
    bool ReadErrorCount(std::uint64_t& count) const;

    QSerialPort port_;
    std::uint64_t errorCount_ = 0;
    bool inOwnCall_ = false;
};

}  // namespace korvan
