#pragma once

#include "platform/Types.h"

namespace korvan {

// What the send buffer needs of the serial channel to the monitoring
// software. All calls come from the main thread.
class ISerialLink {
public:
    virtual ~ISerialLink() = default;
    // Whether the port is open.
    virtual bool SerialIsOpen() const = 0;
    // Starts writing `bytes` and returns at once. Bytes written while an
    // earlier write is still under way are dropped without a message.
    virtual void SerialWrite(const Bytes& bytes) = 0;
    // Removes and returns the oldest received cluster; empty when there is none.
    virtual Bytes SerialTakeCluster() = 0;
};

}  // namespace korvan
