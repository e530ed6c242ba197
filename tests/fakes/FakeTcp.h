#pragma once

#include <string>
#include <vector>

#include "platform/Tcp.h"

namespace korvan {

// TCP links a test drives by hand: it plays the kernel through `events` of
// the newest link (TcpConnected, TcpReceived, TcpWritten, TcpClosed).
class FakeTcpFactory : public ITcpFactory {
public:
    class Link : public ITcpLink {
    public:
        explicit Link(FakeTcpFactory& f) : f_(f) { f_.live = this; }
        ~Link() override {
            if (f_.live == this)
                f_.live = nullptr;
        }
        bool Connected() const override { return true; }
        bool Write(const Bytes& data) override {
            f_.written.push_back(data);
            f_.pending = data.size();
            return true;
        }
        std::size_t PendingOutput() const override { return f_.pending; }
        void Drop() override { ++f_.drops; }

    private:
        FakeTcpFactory& f_;
    };

    std::unique_ptr<ITcpLink> Connect(const std::string& host, std::uint16_t port,
                                      ITcpEvents& e) override {
        calls.push_back("connect " + host + ":" + std::to_string(port));
        events = &e;
        return std::make_unique<Link>(*this);
    }
    std::unique_ptr<ITcpLink> Listen(const std::string& address, std::uint16_t port,
                                     const std::string& from, ITcpEvents& e,
                                     std::string& error) override {
        calls.push_back("listen " + address + ":" + std::to_string(port) + " " + from);
        events = &e;
        if (!listenError.empty()) {
            error = listenError;
            return nullptr;
        }
        return std::make_unique<Link>(*this);
    }
    // Every written byte has left.
    void Drain() {
        pending = 0;
        events->TcpWritten();
    }

    ITcpEvents* events = nullptr;
    Link* live = nullptr;
    std::vector<std::string> calls;
    std::vector<Bytes> written;
    std::size_t pending = 0;
    int drops = 0;
    std::string listenError;
};

}  // namespace korvan
