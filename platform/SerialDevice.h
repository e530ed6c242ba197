#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/Types.h"

namespace korvan {

// The raw serial device under the serial channel. All calls come from the
// main thread and none of them blocks.
class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;
    // Opens the device exclusively at 9600 baud, 8 data bits, no parity,
    // 1 stop bit, no flow control, binary, and raises DTR and RTS.
    virtual bool Open(const std::string& devicePath) = 0;
    // Drops DTR and RTS, discards the queues and closes.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Hands the bytes to the driver without waiting; false when refused.
    virtual bool Write(const Bytes& data) = 0;
    // Bytes of the last writes the driver has not taken yet.
    virtual std::size_t PendingOutput() const = 0;
    virtual void DiscardOutput() = 0;
    // Discards the input waiting in the driver and every received byte not
    // yet read.
    virtual void DiscardInput() = 0;
    // Bytes received and not yet read. Bytes the driver holds count only
    // once the device has told of them (onActivity).
    virtual std::size_t BytesWaiting() const = 0;
    virtual Bytes ReadAll() = 0;
    // True once after a line error (overrun, parity, framing, break).
    virtual bool TakeLineError() = 0;
    // Called on the main thread when bytes arrive or a write completes,
    // always later than the call that wrote.
    std::function<void()> onActivity;
};

}  // namespace korvan
