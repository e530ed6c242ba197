#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Udp.h"

namespace korvan {

struct SentDatagram {
    std::string address;
    std::uint16_t port;
    Bytes data;
};

// Records every datagram sent; a test delivers datagrams through `handler`,
// one at a time (Deliver) or as one batch read together (DeliverBatch).
class FakeUdpFactory : public IUdpFactory {
public:
    class Socket : public IUdpSocket {
    public:
        Socket(FakeUdpFactory& f, std::uint16_t port) : f_(f), port_(port) { ++f_.openSockets; }
        ~Socket() override {
            --f_.openSockets;
            if (f_.current == this)
                f_.current = nullptr;
        }
        void Send(const std::string& address, std::uint16_t port, const Bytes& data) override {
            if (f_.failSends)
                throw std::runtime_error("Socket Error # 10049");
            if (f_.onSend)
                f_.onSend();
            f_.sent.push_back({address, port, data});
        }
        std::uint16_t LocalPort() const override { return port_; }
        bool MoreInBatch() const override { return f_.moreInBatch; }
        std::uint64_t DatagramsRead() const override { return f_.delivered; }

    private:
        FakeUdpFactory& f_;
        std::uint16_t port_;
    };

    std::unique_ptr<IUdpSocket> Open(std::uint16_t port, DatagramHandler h,
                                     std::function<void()> batchEnd) override {
        opened.push_back(port);
        openAtOpen.push_back(openSockets);
        if (failOpen)
            throw std::runtime_error("Could not bind socket. Address and port are already in use.");
        handler = std::move(h);
        onBatchEnd = std::move(batchEnd);
        auto s = std::make_unique<Socket>(*this, port);
        current = s.get();
        return s;
    }

    void Deliver(const std::string& address, std::uint16_t port, const Bytes& data) {
        DeliverBatch({{address, port, data}});
    }
    void DeliverBatch(const std::vector<SentDatagram>& batch) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            moreInBatch = i + 1 < batch.size();
            ++delivered;
            if (handler)
                handler(batch[i].address, batch[i].port, batch[i].data);
        }
        moreInBatch = false;
        if (onBatchEnd)
            onBatchEnd();
    }

    std::vector<std::uint16_t> opened;
    std::function<void()> onSend;  // runs as each datagram is sent
    std::vector<int> openAtOpen;   // sockets still open when each one was asked for
    std::vector<SentDatagram> sent;
    DatagramHandler handler;
    std::function<void()> onBatchEnd;
    bool moreInBatch = false;
    std::uint64_t delivered = 0;  // datagrams handed to the handler
    Socket* current = nullptr;
    int openSockets = 0;
    bool failOpen = false;
    bool failSends = false;
};

}  // namespace korvan
