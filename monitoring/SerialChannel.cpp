#include "monitoring/SerialChannel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "base/Guard.h"
#include "base/Text.h"

namespace korvan {

namespace {

// The number after `prefix` when `name` is the prefix (any case) followed by
// decimal digits only; -1 otherwise.
long NumberAfter(const std::string& name, const char* prefix) {
    const std::string p = prefix;
    if (name.size() <= p.size())
        return -1;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != p[i])
            return -1;
    }
    long n = 0;
    for (std::size_t i = p.size(); i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (!std::isdigit(c))
            return -1;
        n = n * 10 + (c - '0');
        if (n > 1'000'000)
            return -1;
    }
    return n;
}

// Time a write may take before it is given up: 1.1 ms per byte (the line
// runs at about 1.04 ms per byte at 9600 baud), truncated, plus 250 ms.
std::int64_t WriteTimeoutMs(std::size_t bytes) {
    return static_cast<std::int64_t>(bytes) * 11 / 10 + 250;
}

// How long bytes may sit in the receive queue before they are taken as a
// cluster: 1.1 ms per waiting byte, truncated, plus 250 ms.
std::int64_t ClusterWaitMs(std::size_t waiting) {
    return static_cast<std::int64_t>(waiting) * 1100 / 1000 + 250;
}

}  // namespace

std::string ResolveSerialDevice(const std::string& exeDir, const std::string& name) {
    if (!name.empty()) {
        const std::string local = exeDir + "ports/" + name;
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(local, ec)))
            return local;
    }
    if (const long n = NumberAfter(name, "COM"); n >= 1)
        return "/dev/ttyS" + std::to_string(n - 1);
    if (const long n = NumberAfter(name, "USB"); n >= 0)
        return "/dev/ttyUSB" + std::to_string(n);
    if (const long n = NumberAfter(name, "ACM"); n >= 0)
        return "/dev/ttyACM" + std::to_string(n);
    return "/dev/" + name;
}

SerialChannel::SerialChannel(ISerialDevice& device, const IClock& clock, ITimerFactory& timers,
                             std::string exeDir)
    : device_(device), clock_(clock), exeDir_(std::move(exeDir)) {
    pollTimer_ = timers.CreateTimer(kPollMs, false, [this] { Poll(false); });
    clusterTimer_ = timers.CreateTimer(kPollMs, true, [this] { Poll(false); });
    retryTimer_ = timers.CreateTimer(kRetryMs, false, [this] { Retry(); });
    device_.onActivity = [this] { Poll(true); };
    lastSeenEmptyMs_ = clock_.MonotonicMs();
}

SerialChannel::~SerialChannel() {
    device_.onActivity = nullptr;
}

void SerialChannel::SerialOpen(const std::string& name) {
    // Always a fresh open: the operator posts the port to reset a line that
    // went wrong, under the same name as often as under a new one.
    SerialClose();
    name_ = name;
    // Until the port opens it is tried again every kRetryMs, however this
    // first try ends (a driver that throws included).
    retrying_ = true;
    retryTimer_->Start();
    if (!device_.Open(ResolveSerialDevice(exeDir_, name)))
        return;
    Opened();
}

bool SerialChannel::IsOpen() const {
    return device_.IsOpen();
}

bool SerialChannel::CanWrite() const {
    return device_.IsOpen() && !quiet_ && !writeInProgress_;
}

bool SerialChannel::Write(const Bytes& data) {
    if (data.empty() || !CanWrite())
        return false;
    // Whatever waits now came before this line and answers none of it.
    DropWaiting();
    armed_ = false;
    if (!device_.Write(data))
        return false;
    writeInProgress_ = true;
    writeStartMs_ = clock_.MonotonicMs();
    writeTimeoutMs_ = WriteTimeoutMs(data.size());
    return true;
}

void SerialChannel::SerialClose() {
    pollTimer_->Stop();
    clusterTimer_->Stop();
    StopRetry();
    const bool wasOpen = device_.IsOpen();
    if (wasOpen)
        device_.Close();
    writeInProgress_ = false;
    armed_ = false;
    quiet_ = false;
    if (wasOpen)
        Raise("SerialPortNG1RxClusterEvent",
              [this](ILineOutputEvents& e) { e.OutputClosed(*this); });
}

void SerialChannel::ReportTo(const LogChannels& logs) {
    logs_.emplace(logs);
}

void SerialChannel::PortLost() {
    pollTimer_->Stop();
    clusterTimer_->Stop();
    writeInProgress_ = false;
    armed_ = false;
    quiet_ = false;
    retrying_ = true;
    retryTimer_->Start();
    if (logs_)
        Guarded(logs_->err, "SerialPortNG1RxClusterEvent",
                [this] { Tell(true, "!! SERIAL PORT " + name_ + " LOST"); });
    Raise("SerialPortNG1RxClusterEvent", [this](ILineOutputEvents& e) { e.OutputClosed(*this); });
}

void SerialChannel::Retry() {
    bool opened = false;
    try {
        opened = device_.Open(ResolveSerialDevice(exeDir_, name_));
    } catch (const std::exception&) {
        // A driver that throws is one more failed try; the next tick tries again.
    }
    if (!opened)
        return;
    Opened();
    Tell(false, "Serial Port " + name_ + " opened");
}

void SerialChannel::Opened() {
    StopRetry();
    ResetLineState(clock_.MonotonicMs());
    pollTimer_->Start();
}

void SerialChannel::StopRetry() {
    retryTimer_->Stop();
    retrying_ = false;
}

void SerialChannel::Tell(bool important, const std::string& text) {
    if (logs_)
        (important ? logs_->imp : logs_->all).AddMsg(text);
}

void SerialChannel::Raise(const char* proc, const std::function<void(ILineOutputEvents&)>& call) {
    if (events_ == nullptr)
        return;
    // The port opens only through DoActivateSerialPort, which sets the
    // channels, so an event always has somewhere to report to.
    if (logs_)
        Guarded(logs_->err, proc, [&] { call(*events_); });
    else
        call(*events_);
}

void SerialChannel::Stray(const Bytes& bytes) {
    if (!logs_)
        return;
    Guarded(logs_->err, "SerialPortNG1RxClusterEvent", [&] {
        logs_->all.AddMsg("<< Bytes from monitoring software with no line in flight: 0x" +
                          HexText(bytes));
    });
}

void SerialChannel::ForgetCluster(std::int64_t now) {
    lastSeenEmptyMs_ = now;
    queueWasEmpty_ = true;
    clusterArmed_ = false;
}

void SerialChannel::DropWaiting() {
    const std::int64_t now = clock_.MonotonicMs();
    const Bytes bytes = device_.BytesWaiting() > 0 ? device_.ReadAll() : Bytes();
    ForgetCluster(now);
    if (bytes.empty())
        return;
    readRequest_ = false;
    Stray(bytes);
}

void SerialChannel::ResetLineState(std::int64_t now) {
    writeInProgress_ = false;
    armed_ = false;
    ForgetCluster(now);
    device_.TakeLineError();  // errors from before the open are not ours
    // Nor are the bytes the driver holds from before: answers to what
    // another run wrote, or noise of the port opening.
    device_.DiscardInput();
    quiet_ = true;
    quietSinceMs_ = now;
}

void SerialChannel::EndQuiet(std::int64_t now) {
    device_.TakeLineError();
    if (device_.BytesWaiting() > 0) {
        DropWaiting();
        quietSinceMs_ = now;
        return;
    }
    if (now - quietSinceMs_ < kQuietMs)
        return;
    quiet_ = false;
    Raise("SendBufferHead", [this](ILineOutputEvents& e) { e.OutputReady(*this); });
}

void SerialChannel::TrackWrite(std::int64_t now) {
    if (!writeInProgress_)
        return;
    if (device_.PendingOutput() == 0) {
        writeInProgress_ = false;
        // Bytes seen at an earlier look came before the line was out: no
        // answer to it. Bytes not looked at yet are seen after the drain:
        // the device may tell of a reply before it tells that the write
        // left, and a reply cannot come before the line did.
        if (!queueWasEmpty_)
            DropWaiting();
        armed_ = true;
        Raise("SendBufferHead", [this](ILineOutputEvents& e) {
            e.LineDrained(*this);
            e.OutputReady(*this);
        });
    } else if (now - writeStartMs_ > writeTimeoutMs_) {
        // Nobody takes the bytes (a stuck line, a full driver): drop them so
        // the next line can go out; the send buffer repeats lines itself.
        device_.DiscardOutput();
        writeInProgress_ = false;
        Raise("SendBufferHead", [this](ILineOutputEvents& e) { e.OutputReady(*this); });
    }
}

void SerialChannel::Poll(bool fromDevice) {
    if (!device_.IsOpen()) {
        // Closed while the watch runs: the device went away by itself.
        if (pollTimer_->IsActive())
            PortLost();
        return;
    }
    // A handler may write, and a write may notify at once; the queue is
    // looked at again on the next notification or tick.
    if (polling_)
        return;
    polling_ = true;
    const std::int64_t now = clock_.MonotonicMs();
    if (quiet_) {
        EndQuiet(now);
        polling_ = false;
        return;
    }
    TrackWrite(now);
    bool answer = false;
    const Bytes cluster = TakeCluster(now, fromDevice, answer);
    polling_ = false;
    if (cluster.empty())
        return;
    if (!answer) {
        Stray(cluster);
        return;
    }
    armed_ = false;
    Raise("SerialPortNG1RxClusterEvent",
          [&](ILineOutputEvents& e) { e.LineAnswered(*this, cluster); });
}

Bytes SerialChannel::TakeCluster(std::int64_t now, bool fromDevice, bool& answer) {
    const bool lineError = device_.TakeLineError();
    const std::size_t waiting = device_.BytesWaiting();
    if (waiting == 0) {
        ForgetCluster(now);
        return Bytes();
    }
    if (queueWasEmpty_) {
        // The first byte of a cluster: whether it answers the last write is
        // decided now, by whether that write had drained before it came.
        clusterArmed_ = armed_;
        // The device notifies as bytes come in, so on the first notification
        // after an empty queue the queue was empty until just now.
        if (fromDevice)
            lastSeenEmptyMs_ = now;
    }
    queueWasEmpty_ = false;

    const bool take = readRequest_ || waiting >= kClusterSize ||
                      now - lastSeenEmptyMs_ > ClusterWaitMs(waiting) || lineError;
    if (!take) {
        // Looked at again the moment the wait is over, not at the next tick:
        // a lone answer byte is taken 251 ms after it came, and the next line
        // leaves then.
        const std::int64_t due = lastSeenEmptyMs_ + ClusterWaitMs(waiting) + 1;
        clusterTimer_->SetInterval(static_cast<int>(std::max<std::int64_t>(1, due - now)));
        clusterTimer_->Start();
        return Bytes();
    }
    Bytes cluster = device_.ReadAll();
    answer = clusterArmed_ && armed_;
    readRequest_ = false;
    ForgetCluster(now);
    return cluster;
}

void DoActivateSerialPort(SerialChannel& channel, const std::string& portName,
                          const LogChannels& logs) {
    channel.ReportTo(logs);
    Guarded(logs.err, "DoActivateSerialPort", [&] {
        channel.SerialOpen(portName);
        if (channel.IsOpen()) {
            logs.all.AddMsg("Serial Port " + portName + " opened");
        } else {
            logs.imp.AddMsg("!! CAN NOT OPEN SERIAL PORT " + portName);
        }
    });
}

}  // namespace korvan
