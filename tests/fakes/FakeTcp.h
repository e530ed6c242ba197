#pragma once

#include <string>
#include <vector>

#include "platform/Tcp.h"

namespace korvan {

// TCP links a test drives by hand through `events` of the newest link.
class FakeTcpFactory : public ITcpFactory {
public:
    struct Link : ITcpLink {
        explicit Link(FakeTcpFactory& f) : f_(f) {}
        bool Connected() const override { return true; }
        bool Write(const Bytes& data) override {
            f_.written.push_back(data);
            f_.pending = data.size();
            return true;
        }
        std::size_t PendingOutput() const override { return f_.pending; }
        void Drop() override { ++f_.drops; }
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
                                     std::string&) override {
        calls.push_back("listen " + address + ":" + std::to_string(port) + " " + from);
        events = &e;
        return std::make_unique<Link>(*this);
    }
    // Every written byte has left.
    void Drain() {
        pending = 0;
        events->TcpWritten();
    }

    ITcpEvents* events = nullptr;
    std::vector<std::string> calls;
    std::vector<Bytes> written;
    std::size_t pending = 0;
    int drops = 0;
};

}  // namespace korvan
