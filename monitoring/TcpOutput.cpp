#include "monitoring/TcpOutput.h"

#include <algorithm>

#include "base/Format.h"
#include "base/Guard.h"
#include "base/Text.h"

namespace korvan {

namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr const char* kProc = "MonitoringTcp";

bool Holds(const Bytes& data, std::uint8_t b) {
    return std::find(data.begin(), data.end(), b) != data.end();
}

}  // namespace

TcpOutput::TcpOutput(ITcpFactory& factory, ITimerFactory& timers, LogChannels logs)
    : factory_(factory), logs_(logs) {
    connectTimer_ = timers.CreateTimer(
        kConnectMs, true, [this] { Guarded(logs_.err, kProc, [this] { ConnectTimedOut(); }); });
    retryTimer_ = timers.CreateTimer(kRetryMs, true,
                                     [this] { Guarded(logs_.err, kProc, [this] { Retry(); }); });
    answerTimer_ = timers.CreateTimer(
        kAnswerMs, true, [this] { Guarded(logs_.err, kProc, [this] { NoAnswer(); }); });
}

TcpOutput::~TcpOutput() {
    events_ = nullptr;
    tcp_.reset();
}

void TcpOutput::Apply(const MonitoringTcp& link) {
    connectTimer_->Stop();
    retryTimer_->Stop();
    const bool wasConnected = connected_;
    const std::string peer = peer_;
    tcp_.reset();
    if (wasConnected) {
        logs_.all.AddMsg("Monitoring TCP " + peer + " closed");
        ResetLine();
        if (events_ != nullptr)
            events_->OutputClosed(*this);
    }
    link_ = link;
    failureTold_ = false;
    Start();
}

void TcpOutput::Start() {
    switch (link_.mode) {
        case MonitoringTcp::Mode::Off:
            return;
        case MonitoringTcp::Mode::Connect:
            // The link object may call back before Connect returns; it is
            // kept only once it is there.
            tcp_ = factory_.Connect(link_.host, link_.port, *this);
            if (tcp_ == nullptr)
                retryTimer_->Start();
            else if (!connected_)
                connectTimer_->Start();
            return;
        case MonitoringTcp::Mode::Listen: {
            std::string error;
            tcp_ = factory_.Listen(link_.host, link_.port, link_.from, *this, error);
            if (tcp_ == nullptr) {
                if (!failureTold_) {
                    logs_.imp.AddMsg("!! CAN NOT LISTEN FOR MONITORING TCP ON " + link_.Endpoint() +
                                     ": " + error);
                    failureTold_ = true;
                }
                retryTimer_->Start();
                return;
            }
            failureTold_ = false;
            logs_.all.AddMsg("Monitoring TCP listening on " + link_.Endpoint() +
                             (link_.from.empty() ? "" : " for " + link_.from));
            return;
        }
    }
}

void TcpOutput::Retry() {
    if (tcp_ == nullptr)
        Start();
}

void TcpOutput::ConnectTimedOut() {
    if (connected_)
        return;
    tcp_.reset();
    Failed(Format("no connection in %d s", kConnectMs / 1000));
}

void TcpOutput::NoAnswer() {
    if (!connected_)
        return;
    if (link_.mode == MonitoringTcp::Mode::Connect) {
        tcp_.reset();
        retryTimer_->Start();
    } else if (tcp_ != nullptr) {
        tcp_->Drop();
    }
    Lost(Format("no answer in %d s", kAnswerMs / 1000));
}

bool TcpOutput::CanWrite() const {
    return connected_ && !writing_ && tcp_ != nullptr && tcp_->PendingOutput() == 0;
}

bool TcpOutput::Write(const Bytes& bytes) {
    if (!CanWrite() || bytes.empty())
        return false;
    if (!tcp_->Write(bytes))
        return false;
    writing_ = true;
    armed_ = false;
    // Counted from the line's first write; retransmissions do not extend it.
    if (!answerTimer_->IsActive())
        answerTimer_->Start();
    return true;
}

void TcpOutput::TcpConnected(const std::string& peer) {
    Guarded(logs_.err, kProc, [&] {
        connectTimer_->Stop();
        retryTimer_->Stop();
        failureTold_ = false;
        if (connected_) {
            // The listener took a new connection and closed the old one: a
            // line in flight there has no answer coming.
            logs_.imp.AddMsg("Monitoring TCP connection from " + peer_ + " replaced by " + peer);
            ResetLine();
            peer_ = peer;
            if (events_ != nullptr)
                events_->OutputClosed(*this);
        } else {
            logs_.imp.AddMsg("Monitoring TCP connected: " + peer);
            connected_ = true;
            peer_ = peer;
        }
        if (events_ != nullptr)
            events_->OutputReady(*this);
    });
}

void TcpOutput::TcpReceived(const Bytes& data) {
    Guarded(logs_.err, kProc, [&] {
        if (!armed_) {
            logs_.all.AddMsg("Monitoring TCP: no line in flight, bytes discarded: 0x" +
                             HexText(data));
            return;
        }
        if (!Holds(data, kNak) && !Holds(data, kAck)) {
            logs_.all.AddMsg("Monitoring TCP: bytes that are no answer: 0x" + HexText(data));
            return;
        }
        armed_ = false;
        answerTimer_->Stop();
        if (events_ != nullptr)
            events_->LineAnswered(*this, data);
    });
}

void TcpOutput::TcpWritten() {
    Guarded(logs_.err, kProc, [&] {
        if (!writing_ || tcp_ == nullptr || tcp_->PendingOutput() != 0)
            return;
        writing_ = false;
        armed_ = true;
        if (events_ != nullptr) {
            events_->LineDrained(*this);
            events_->OutputReady(*this);
        }
    });
}

void TcpOutput::TcpClosed(const std::string& reason) {
    Guarded(logs_.err, kProc, [&] {
        if (link_.mode == MonitoringTcp::Mode::Connect) {
            connectTimer_->Stop();
            tcp_.reset();
        }
        if (connected_) {
            Lost(reason);
        } else {
            Failed(reason);
            return;
        }
        if (link_.mode == MonitoringTcp::Mode::Connect)
            retryTimer_->Start();
    });
}

void TcpOutput::TcpRefused(const std::string& peer) {
    Guarded(logs_.err, kProc, [&] {
        logs_.all.AddMsg("Monitoring TCP connection from " + peer + " refused: only " + link_.from +
                         " is admitted");
    });
}

void TcpOutput::Lost(const std::string& reason) {
    const std::string peer = peer_;
    connected_ = false;
    peer_.clear();
    ResetLine();
    // The tries that follow are silent until a connection is up again.
    failureTold_ = true;
    logs_.imp.AddMsg("!! MONITORING TCP LOST " + peer + ": " + reason);
    if (events_ != nullptr)
        events_->OutputClosed(*this);
}

void TcpOutput::Failed(const std::string& reason) {
    if (!failureTold_) {
        logs_.imp.AddMsg("!! CAN NOT CONNECT MONITORING TCP " + link_.Endpoint() + ": " + reason);
        failureTold_ = true;
    }
    retryTimer_->Start();
}

void TcpOutput::ResetLine() {
    writing_ = false;
    armed_ = false;
    answerTimer_->Stop();
}

}  // namespace korvan
