#pragma once

#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <string>

#include "platform/Tcp.h"

namespace korvan {

// One connection's socket, set up as every link to the monitoring software
// wants it, and its notices passed on to `events`. Destroying it closes the
// socket without a notice; the socket itself goes on the event loop's next
// turn, so this may happen inside one of its own notices.
class QtTcpConnection {
public:
    QtTcpConnection(QTcpSocket* socket, ITcpEvents& events);
    ~QtTcpConnection();
    QtTcpConnection(const QtTcpConnection&) = delete;
    QtTcpConnection& operator=(const QtTcpConnection&) = delete;

    bool Up() const;
    bool Write(const Bytes& data);
    std::size_t PendingOutput() const;
    QTcpSocket* Socket() const { return socket_; }
    // Nagle's delay off, keepalive and the user timeout on the descriptor.
    static void Tune(QTcpSocket& socket);
    // "address:port" of the other end.
    static std::string PeerText(const QTcpSocket& socket);

    // Called once when the connection ends, before TcpClosed.
    std::function<void()> onEnded;

private:
    void End(const std::string& reason);

    QTcpSocket* socket_;
    ITcpEvents& events_;
    bool ended_ = false;
};

// An outgoing connection (one try).
class QtTcpClient : public ITcpLink {
public:
    QtTcpClient(const std::string& host, std::uint16_t port, ITcpEvents& events);
    bool Connected() const override { return conn_.Up(); }
    bool Write(const Bytes& data) override { return conn_.Write(data); }
    std::size_t PendingOutput() const override { return conn_.PendingOutput(); }
    void Drop() override;

private:
    ITcpEvents& events_;
    QtTcpConnection conn_;
};

// A listener with at most one connection: a new one from an admitted
// address replaces the one it holds.
class QtTcpListener : public ITcpLink {
public:
    QtTcpListener(ITcpEvents& events, const std::string& from);
    ~QtTcpListener() override;
    bool Listen(const std::string& address, std::uint16_t port, std::string& error);
    bool Connected() const override { return conn_ != nullptr && conn_->Up(); }
    bool Write(const Bytes& data) override { return conn_ != nullptr && conn_->Write(data); }
    std::size_t PendingOutput() const override {
        return conn_ != nullptr ? conn_->PendingOutput() : 0;
    }
    void Drop() override { conn_.reset(); }

private:
    void Accept();

    ITcpEvents& events_;
    std::string from_;
    std::unique_ptr<QTcpServer> server_;
    std::unique_ptr<QtTcpConnection> conn_;
    std::unique_ptr<QtTcpConnection> ended_;
};

class QtTcpFactory : public ITcpFactory {
public:
    std::unique_ptr<ITcpLink> Connect(const std::string& host, std::uint16_t port,
                                      ITcpEvents& events) override;
    std::unique_ptr<ITcpLink> Listen(const std::string& address, std::uint16_t port,
                                     const std::string& from, ITcpEvents& events,
                                     std::string& error) override;
};

}  // namespace korvan
