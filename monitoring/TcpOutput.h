#pragma once

#include <memory>
#include <string>

#include "base/LogChannels.h"
#include "monitoring/LineOutput.h"
#include "platform/Tcp.h"
#include "platform/Timer.h"
#include "settings/MonitoringTcp.h"

namespace korvan {

// The monitoring software over TCP: the same lines as on the serial line,
// one transmission (line + 0x14) at a time.
//
// Connecting, the receiver tries the monitoring software's listener; a
// connect not done in kConnectMs is given up, and a refused or lost
// connection is tried again every kRetryMs. Listening, the monitoring
// software connects to the receiver; a new connection from an admitted
// address replaces the one before it, so a monitoring PC that restarted is
// not locked out by its own dead connection.
//
// Answers: a line is in flight once every byte of its write has left (the
// link's written notice with nothing left to write). The bytes of the first
// read after that are the answer, taken at once: holding 0x15 they refuse
// the line, holding 0x06 they deliver it. Bytes that are neither are logged
// and are no answer; bytes while no line is in flight are logged and
// discarded. A line that has had no answer kAnswerMs after its first write
// closes the connection: a peer that accepts but never reads or answers
// must not hold the alarms.
//
// The operator is told each change once on the Important-messages channel:
// connected, replaced, lost (with the reason); retries are silent.
class TcpOutput : public ILineOutput, private ITcpEvents {
public:
    static constexpr int kConnectMs = 5000;
    static constexpr int kRetryMs = 5000;
    static constexpr int kAnswerMs = 15000;

    TcpOutput(ITcpFactory& factory, ITimerFactory& timers, LogChannels logs);
    ~TcpOutput() override;
    TcpOutput(const TcpOutput&) = delete;
    TcpOutput& operator=(const TcpOutput&) = delete;

    // Closes what is open and starts anew as `link` says (nothing when off).
    void Apply(const MonitoringTcp& link);

    // ILineOutput
    bool IsOpen() const override { return connected_; }
    bool CanWrite() const override;
    bool Write(const Bytes& bytes) override;
    void SetEvents(ILineOutputEvents* events) override { events_ = events; }

    // The other end of the connection ("address:port"); empty when none.
    const std::string& Peer() const { return peer_; }
    const MonitoringTcp& Link() const { return link_; }

private:
    // ITcpEvents
    void TcpConnected(const std::string& peer) override;
    void TcpReceived(const Bytes& data) override;
    void TcpWritten() override;
    void TcpClosed(const std::string& reason) override;
    void TcpRefused(const std::string& peer) override;

    void Start();
    void Retry();
    void ConnectTimedOut();
    void NoAnswer();
    // The connection is gone: tell it (once), reset the line state and tell
    // the send buffer.
    void Lost(const std::string& reason);
    // A try failed before any connection: told once until one succeeds.
    void Failed(const std::string& reason);
    void ResetLine();

    ITcpFactory& factory_;
    LogChannels logs_;
    ILineOutputEvents* events_ = nullptr;
    MonitoringTcp link_;
    std::unique_ptr<ITcpLink> tcp_;
    std::unique_ptr<ITimer> connectTimer_;
    std::unique_ptr<ITimer> retryTimer_;
    std::unique_ptr<ITimer> answerTimer_;

    bool connected_ = false;
    std::string peer_;
    // A failed try has been told since the link last worked.
    bool failureTold_ = false;
    // A write has not yet left completely.
    bool writing_ = false;
    // The last write left: the next read is its answer.
    bool armed_ = false;
};

}  // namespace korvan
