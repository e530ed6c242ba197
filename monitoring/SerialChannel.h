#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/LogChannels.h"
#include "monitoring/LineOutput.h"
#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "platform/Timer.h"
#include "platform/Types.h"

namespace korvan {

// The device path for a configured port name, first match wins:
//   1. exeDir + "ports/" + name, when a link or device node of that name
//      exists there (a dangling link counts too: the user pointed the name
//      somewhere, so it must not silently fall back to another device);
//   2. "COMn" -> /dev/ttyS(n-1), n >= 1;
//   3. "USBn" -> /dev/ttyUSBn;
//   4. "ACMn" -> /dev/ttyACMn;
//   5. any other name -> /dev/<name>.
// The prefixes are matched without regard to case, as the names come from a
// world where "com1" and "COM1" are the same port. `exeDir` ends with "/".
std::string ResolveSerialDevice(const std::string& exeDir, const std::string& name);

// The channel to the monitoring software over one serial port, one of the
// outputs the send buffer writes its lines to.
//
// Writing is fire-and-forget: one write at a time is tracked until the
// driver has taken all its bytes ("drained", seen on the device's notice
// or at a watch tick; the event loop never waits for it); a write the
// driver has not taken in time is discarded. While a write is tracked,
// while the port is closed and during the quiet time after an open, Write
// refuses; the channel tells OutputReady when it takes writes again.
//
// Received bytes are grouped into clusters. A cluster is closed when bytes
// wait and
//   - the one-shot read request is set (the first reception after start-up
//     is taken at once; every read clears it),
//   - ClusterSize bytes or more wait,
//   - more than (waiting bytes x 1.1 ms + 250 ms) have passed since the
//     receive queue was last seen empty, or
//   - the driver reported a line error.
// The queue is looked at on every device notification, every 75 ms and
// when the wait of the bytes waiting is over. A lone answer byte therefore
// reaches the program 251 ms after it arrived, and a burst of bytes arriving
// together is one cluster.
//
// A cluster is the answer to the line written last only when its first byte
// was seen after that write drained, and only the first such cluster is:
// the channel is "armed" from the drain until it has told one answer or
// takes the next write. Every other cluster (bytes that waited when a line
// was written or when it drained, bytes while nothing is in flight, after
// an answer) is read, logged once on All Msg with its bytes, and dropped.
// Which comes first, a drain or a byte, is the order in which the event loop
// tells them, not a comparison of times; bytes first seen at the look that
// also finds the write drained count as after it.
//
// At every open the input the driver holds is discarded (it answers what
// another run, or noise on the line, sent), and the port takes no write
// until its input has been quiet for kQuietMs; bytes in that time are logged
// and dropped.
//
// Everything runs on the main thread; the events are raised from a device
// notification or a timer tick. An error that escapes a handler is reported
// and goes no further: it must not reach the device's notification, which
// would stop receiving for good.
//
// A port that was open and goes away by itself (a USB adapter pulled, the
// other end of a pseudo-terminal closed) is reported once as lost, and the
// same name is tried again every kRetryMs, silently, until it opens; the
// lines waiting for the monitoring software then go out as usual. A port that
// cannot be opened in the first place (an adapter not yet there when the
// receiver starts) is tried again in just the same way.
class SerialChannel : public ILineOutput {
public:
    static constexpr std::size_t kClusterSize = 3072;
    static constexpr int kPollMs = 75;
    static constexpr int kRetryMs = 5000;
    static constexpr int kQuietMs = 300;

    SerialChannel(ISerialDevice& device, const IClock& clock, ITimerFactory& timers,
                  std::string exeDir);
    ~SerialChannel() override;
    SerialChannel(const SerialChannel&) = delete;
    SerialChannel& operator=(const SerialChannel&) = delete;

    // Closes the port when open and opens it under `name`, the same name
    // or another. Until that succeeds the port is tried again every kRetryMs
    // (a try under an earlier name ends here). A failure says nothing.
    void SerialOpen(const std::string& name);
    bool IsOpen() const override;
    bool CanWrite() const override;
    // Starts the write and returns at once; false, writing nothing, when
    // `data` is empty or the channel cannot write now (see CanWrite).
    bool Write(const Bytes& data) override;
    void SetEvents(ILineOutputEvents* events) override { events_ = events; }
    // Stops watching the port, discards the driver queues, drops DTR and RTS
    // and closes the port.
    void SerialClose();

    // The name the channel was last asked to open ("" before the first call).
    const std::string& PortName() const { return name_; }
    // Whether the port is wanted but not open, and so tried again.
    bool Retrying() const { return retrying_; }
    // Whether the next cluster whose first byte comes now answers the last write.
    bool Armed() const { return armed_; }

    // Where the channel tells what happens without being asked: "!! SERIAL
    // PORT %s LOST" (Important-messages), "Serial Port %s opened" when a
    // port that was tried again opens, bytes that answer nothing
    // (All-messages), and errors that escaped an event handler (Errors).
    // DoActivateSerialPort sets it.
    void ReportTo(const LogChannels& logs);

private:
    void Poll(bool fromDevice);
    // The cluster waiting, when it is closed now (else empty: the queue is
    // empty or the cluster's wait is not over); `answer` tells whether it
    // answers the last write.
    Bytes TakeCluster(std::int64_t now, bool fromDevice, bool& answer);
    void TrackWrite(std::int64_t now);
    void ResetLineState(std::int64_t now);
    void EndQuiet(std::int64_t now);
    void PortLost();
    void Retry();
    // The port has just opened: the tries end and the watch begins.
    void Opened();
    void StopRetry();
    // Reads and drops what waits, with one All-messages entry.
    void DropWaiting();
    void Stray(const Bytes& bytes);
    void ForgetCluster(std::int64_t now);
    // Runs an event handler under the guard, reported as `proc`.
    void Raise(const char* proc, const std::function<void(ILineOutputEvents&)>& call);
    // Logs on the Important-messages (`important`) or All-messages channel.
    void Tell(bool important, const std::string& text);

    ISerialDevice& device_;
    const IClock& clock_;
    std::unique_ptr<ITimer> pollTimer_;
    std::unique_ptr<ITimer> clusterTimer_;  // the end of a cluster's wait
    std::unique_ptr<ITimer> retryTimer_;
    std::string exeDir_;
    std::string name_;
    std::optional<LogChannels> logs_;
    ILineOutputEvents* events_ = nullptr;
    bool retrying_ = false;

    bool readRequest_ = true;
    std::int64_t lastSeenEmptyMs_ = 0;
    bool queueWasEmpty_ = true;
    bool polling_ = false;
    // The cluster now forming had its first byte seen while armed.
    bool clusterArmed_ = false;
    bool armed_ = false;
    // After an open, until the input has been quiet for kQuietMs.
    bool quiet_ = false;
    std::int64_t quietSinceMs_ = 0;

    bool writeInProgress_ = false;
    std::int64_t writeStartMs_ = 0;
    std::int64_t writeTimeoutMs_ = 0;
};

// Opens the port under `portName` (closing it first when open) and says how
// that went: "Serial Port %s opened" on the All-messages channel, or "!! CAN
// NOT OPEN SERIAL PORT %s" on the Important-messages channel, once; the
// channel then tries the port again every 5 s and tells "Serial Port %s
// opened" when it opens.
void DoActivateSerialPort(SerialChannel& channel, const std::string& portName,
                          const LogChannels& logs);

}  // namespace korvan
