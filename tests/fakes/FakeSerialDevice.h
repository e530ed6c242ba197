#pragma once

#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace korvan {

// A serial device the test controls: what was written, what arrives, and
// when the driver has taken the output.
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
        ++closes;
    }
    bool IsOpen() const override { return open_; }
    bool Write(const Bytes& data) override {
        if (!open_)
            return false;
        writes.push_back(data);
        pending += data.size();
        if (autoDrain)
            pending = 0;
        return true;
    }
    std::size_t PendingOutput() const override { return pending; }
    void DiscardOutput() override {
        pending = 0;
        ++discards;
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
        rx.insert(rx.end(), b.begin(), b.end());
        if (onActivity)
            onActivity();
    }

    std::vector<Bytes> writes;
    std::vector<std::string> openCalls;
    std::string openPath;
    std::string openable;  // when set, only paths containing it open
    Bytes rx;
    std::size_t pending = 0;
    bool autoDrain = true;
    bool failOpen = false;
    bool lineError = false;
    int closes = 0;
    int discards = 0;

private:
    bool open_ = false;
};

}  // namespace korvan
