#pragma once

#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace korvan {

// A serial device the test controls: what was written, what arrives, and
// when the driver has taken the output.
//
// Received bytes go to the driver's queue first, as on a real port; the
// program sees them (BytesWaiting, ReadAll) only once the device has read
// them and told of it, which an open device does at once. Bytes that arrive
// while it is closed wait in the driver, unseen, until Deliver() after an
// open or DiscardInput(). A write the driver takes at once (autoDrain) is
// told of before the next bytes are, as the event loop delivers the
// bytes-written notice before a reply the peer can only send afterwards.
class FakeSerialDevice : public ISerialDevice {
public:
    bool Open(const std::string& path) override {
        openCalls.push_back(path);
        if (!openable.empty() && path.find(openable) == std::string::npos)
            return false;
        if (failOpen)
            return false;
        open_ = true;
        openPath = path;
        return true;
    }
    void Close() override {
        open_ = false;
        driver.clear();
        rx.clear();
        ++closes;
    }
    bool IsOpen() const override { return open_; }
    bool Write(const Bytes& data) override {
        if (!open_)
            return false;
        writes.push_back(data);
        pending += data.size();
        if (autoDrain) {
            pending = 0;
            drainOwed_ = true;
        }
        return true;
    }
    std::size_t PendingOutput() const override { return pending; }
    void DiscardOutput() override {
        pending = 0;
        ++discards;
    }
    void DiscardInput() override {
        driver.clear();
        rx.clear();
        ++inputDiscards;
    }
    std::size_t BytesWaiting() const override { return rx.size(); }
    Bytes ReadAll() override {
        Bytes out;
        out.swap(rx);
        return out;
    }
    bool TakeLineError() override {
        const bool e = lineError;
        lineError = false;
        return e;
    }

    // Bytes arrive from the monitoring software.
    void Receive(const Bytes& b) {
        driver.insert(driver.end(), b.begin(), b.end());
        if (open_)
            Deliver();
    }
    // The device reads what the driver holds and tells of it, after any
    // bytes-written notice it owes.
    void Deliver() {
        if (drainOwed_) {
            drainOwed_ = false;
            Notify();
        }
        if (driver.empty())
            return;
        rx.insert(rx.end(), driver.begin(), driver.end());
        driver.clear();
        Notify();
    }
    // The driver takes the output written so far, and says so.
    void Drain() {
        pending = 0;
        drainOwed_ = false;
        Notify();
    }

    std::vector<Bytes> writes;
    std::vector<std::string> openCalls;
    std::string openPath;
    std::string openable;  // when set, only paths containing it open
    Bytes driver;          // received, not yet read by the device
    Bytes rx;              // read by the device, not yet by the program
    std::size_t pending = 0;
    bool autoDrain = true;
    bool failOpen = false;
    bool lineError = false;
    int closes = 0;
    int discards = 0;
    int inputDiscards = 0;

private:
    void Notify() {
        if (onActivity)
            onActivity();
    }
    bool open_ = false;
    bool drainOwed_ = false;
};

}  // namespace korvan
