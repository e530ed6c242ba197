#include "qt/QtTcp.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QHostAddress>

namespace korvan {

namespace {

QHostAddress Plain(const QHostAddress& a) {
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

}  // namespace

QtTcpConnection::QtTcpConnection(QTcpSocket* socket, ITcpEvents& events)
    : socket_(socket), events_(events) {
    QObject::connect(socket_, &QTcpSocket::connected, socket_, [this] {
        Tune(*socket_);
        events_.TcpConnected(PeerText(*socket_));
    });
    QObject::connect(socket_, &QTcpSocket::readyRead, socket_, [this] {
        const QByteArray data = socket_->readAll();
        if (!data.isEmpty())
            events_.TcpReceived(Bytes(data.begin(), data.end()));
    });
    QObject::connect(socket_, &QTcpSocket::bytesWritten, socket_,
                     [this](qint64) { events_.TcpWritten(); });
    QObject::connect(
        socket_, &QTcpSocket::errorOccurred, socket_,
        [this](QAbstractSocket::SocketError) { End(socket_->errorString().toStdString()); });
    QObject::connect(socket_, &QTcpSocket::disconnected, socket_,
                     [this] { End("closed by the peer"); });
}

QtTcpConnection::~QtTcpConnection() {
    QObject::disconnect(socket_, nullptr, nullptr, nullptr);
    socket_->abort();
    socket_->deleteLater();
}

bool QtTcpConnection::Up() const {
    return !ended_ && socket_->state() == QAbstractSocket::ConnectedState;
}

bool QtTcpConnection::Write(const Bytes& data) {
    if (!Up())
        return false;
    return socket_->write(reinterpret_cast<const char*>(data.data()),
                          static_cast<qint64>(data.size())) == static_cast<qint64>(data.size());
}

std::size_t QtTcpConnection::PendingOutput() const {
    return static_cast<std::size_t>(socket_->bytesToWrite());
}

void QtTcpConnection::Tune(QTcpSocket& socket) {
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int fd = static_cast<int>(socket.socketDescriptor());
    if (fd < 0)
        return;
    int idle = ITcpLink::kKeepIdleS;
    int interval = ITcpLink::kKeepIntervalS;
    int count = ITcpLink::kKeepCount;
    unsigned timeout = ITcpLink::kUserTimeoutMs;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

std::string QtTcpConnection::PeerText(const QTcpSocket& socket) {
    const QHostAddress a = Plain(socket.peerAddress());
    const QString host =
        a.protocol() == QAbstractSocket::IPv6Protocol ? "[" + a.toString() + "]" : a.toString();
    return (host + ":" + QString::number(socket.peerPort())).toStdString();
}

void QtTcpConnection::End(const std::string& reason) {
    if (ended_)
        return;
    ended_ = true;
    if (onEnded)
        onEnded();
    // The owner may destroy this connection in here: nothing after it.
    events_.TcpClosed(reason);
}

QtTcpClient::QtTcpClient(const std::string& host, std::uint16_t port, ITcpEvents& events)
    : events_(events), conn_(new QTcpSocket(), events) {
    // The name is looked up without blocking the event loop.
    conn_.Socket()->connectToHost(QString::fromStdString(host), port);
}

void QtTcpClient::Drop() {
    QTcpSocket* s = conn_.Socket();
    QObject::disconnect(s, nullptr, nullptr, nullptr);
    s->abort();
}

QtTcpListener::QtTcpListener(ITcpEvents& events, const std::string& from)
    : events_(events), from_(from), server_(std::make_unique<QTcpServer>()) {
    QObject::connect(server_.get(), &QTcpServer::newConnection, server_.get(),
                     [this] { Accept(); });
}

QtTcpListener::~QtTcpListener() {
    conn_.reset();
    ended_.reset();
    server_->close();
}

bool QtTcpListener::Listen(const std::string& address, std::uint16_t port, std::string& error) {
    if (!server_->listen(QHostAddress(QString::fromStdString(address)), port)) {
        error = server_->errorString().toStdString();
        return false;
    }
    return true;
}

void QtTcpListener::Accept() {
    while (server_->hasPendingConnections()) {
        QTcpSocket* s = server_->nextPendingConnection();
        const std::string peer = QtTcpConnection::PeerText(*s);
        if (!from_.empty() &&
            !Plain(s->peerAddress()).isEqual(Plain(QHostAddress(QString::fromStdString(from_))))) {
            s->abort();
            s->deleteLater();
            events_.TcpRefused(peer);
            continue;
        }
        // The connection before it is closed without a notice: its owner
        // hears of the new one, which replaces it.
        conn_ = std::make_unique<QtTcpConnection>(s, events_);
        s->setParent(nullptr);
        conn_->onEnded = [this] {
            // Still telling its end: kept until the next one ends. The
            // listener goes on listening.
            ended_ = std::move(conn_);
        };
        QtTcpConnection::Tune(*s);
        events_.TcpConnected(peer);
    }
}

std::unique_ptr<ITcpLink> QtTcpFactory::Connect(const std::string& host, std::uint16_t port,
                                                ITcpEvents& events) {
    return std::make_unique<QtTcpClient>(host, port, events);
}

std::unique_ptr<ITcpLink> QtTcpFactory::Listen(const std::string& address, std::uint16_t port,
                                               const std::string& from, ITcpEvents& events,
                                               std::string& error) {
    auto listener = std::make_unique<QtTcpListener>(events, from);
    if (!listener->Listen(address, port, error))
        return nullptr;
    return listener;
}

}  // namespace korvan
