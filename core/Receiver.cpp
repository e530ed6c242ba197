#include "core/Receiver.h"

#include <cstdio>
#include <exception>

#include "base/Guard.h"
#include "core/DiskSpaceWatch.h"
#include "device/Commands.h"
#include "device/MessageProcessor.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SendJournal.h"
#include "monitoring/SerialChannel.h"
#include "monitoring/Supervision.h"
#include "monitoring/TcpOutput.h"
#include "platform/StatvfsDiskSpace.h"
#include "registry/UnitDb.h"
#include "settings/SettingsStore.h"

namespace korvan {

namespace {

constexpr int kPingDefaultMs = 30000;
constexpr int kCommTrMs = 60000;
constexpr int kHousekeepingMs = 300000;
constexpr int kMemoLinesBeforeClear = 1000;

void Enable(ITimer& t) {
    if (!t.IsActive())
        t.Start();
}

}  // namespace

Receiver::Receiver(ReceiverPlatform platform)
    : p_(std::move(platform)),
      exeDir_(p_.exeDir),
      ledImp_(views_.ledImp, p_.timers),
      ledErr_(views_.ledErr, p_.timers),
      logAll_(p_.clock, &views_.sound, exeDir_, &views_.memoAll, "Log\\All msg", "", 1, nullptr, "",
              nullptr),
      logImp_(p_.clock, &views_.sound, exeDir_, &views_.memoImp, "Log", "Imp_msg", 0, &ledImp_,
              "impmsg", &logAll_),
      logErr_(p_.clock, &views_.sound, exeDir_, &views_.memoErr, "Log", "Errors", 0, &ledErr_,
              "error", &logAll_) {
    // A log file that cannot be written is told on the Errors channel.
    logAll_.SetOutageChannel(&logErr_);
    logImp_.SetOutageChannel(&logErr_);
    logErr_.SetOutageChannel(&logErr_);
    const LogChannels logs = Logs();

    // The housekeeping tick runs from the core's construction on, before
    // the start-up sequence.
    timerHousekeeping_ = p_.timers.CreateTimer(kHousekeepingMs, false, [this] {
        Guarded(logErr_, "Timer_ev5minTimer", [this] { HousekeepingTick(); });
    });
    timerHousekeeping_->Start();
    WatchDiskSpace();
    BuildSendBuffer();

    registry_ = std::make_unique<Registry>(logs, unitRows_);
    registry_->SetRepaint([this] { views_.view.RepaintUnitsGrid(); });

    supervision_ =
        std::make_unique<Supervision>(*registry_, *sendBuffer_, settings_, p_.clock, logs);

    timerPing_ = p_.timers.CreateTimer(kPingDefaultMs, false, [this] {
        Guarded(logErr_, "TimerPingDRTimer", [this] { supervision_->AddPing(); });
    });
    timerCommTr_ = p_.timers.CreateTimer(kCommTrMs, false, [this] {
        Guarded(logErr_, "CheckCommSt", [this] { supervision_->CheckCommSt(); });
        // The trouble lines of the pass go to disk together.
        sendBuffer_->Commit();
        processor_->SendSettledAnswers();
    });

    store_ = std::make_unique<SettingsStore>(settings_, logs, SettingsPath(),
                                             static_cast<ISettingEffects&>(*this));
    db_ = std::make_unique<UnitDb>(logs, DatabasePath());
    processor_ = std::make_unique<MessageProcessor>(
        logs, p_.clock, p_.udp, settings_, *registry_,
        [this](int nr) { supervision_->Send_CommRestore_ifNeed(nr); }, *sendBuffer_);
    sendBuffer_->OnSettled = [this] { processor_->SendSettledAnswers(); };

    commands_ = std::make_unique<UnitCommands>(
        logs, p_.clock, *registry_, views_.dialogs, [this] { return processor_->UdpEndpoint(); },
        [this] {
            views_.memoAll.ScrollToEnd();
            views_.view.ShowPage(0);
        });
}

void Receiver::WatchDiskSpace() {
    if (p_.diskSpace == nullptr) {
        ownDiskSpace_ = std::make_unique<StatvfsDiskSpace>();
        p_.diskSpace = ownDiskSpace_.get();
    }
    diskSpaceWatch_ = std::make_unique<DiskSpaceWatch>(
        *p_.diskSpace, std::vector<std::string>{exeDir_ + "Log", DatabasePath()});
    // Full logs never take the send journal's room.
    logFloor_ = std::make_unique<LogDiskFloor>(p_.clock, *p_.diskSpace, exeDir_ + "Log");
    for (LogChannel* channel : {&logAll_, &logImp_, &logErr_})
        channel->SetDiskFloor(logFloor_.get());
}

void Receiver::BuildSendBuffer() {
    const LogChannels logs = Logs();
    serial_ = std::make_unique<SerialChannel>(p_.serialDevice, p_.clock, p_.timers, exeDir_);
    if (p_.tcp != nullptr)
        tcp_ = std::make_unique<TcpOutput>(*p_.tcp, p_.timers, logs);
    const auto journalFile = [this](const std::string& path) {
        return p_.journalFiles ? p_.journalFiles(path) : MakeJournalFile(path);
    };
    journal_ = std::make_unique<SendJournal>(journalFile(JournalPath()), p_.clock, logs,
                                             journalFile(JournalPath() + ".2"));
    // While the TCP link is up every line goes over it; while it is down,
    // over the serial line.
    std::vector<ILineOutput*> outputs;
    if (tcp_ != nullptr)
        outputs.push_back(tcp_.get());
    outputs.push_back(serial_.get());
    sendBuffer_ =
        std::make_unique<SendBuffer>(std::move(outputs), p_.clock, p_.timers, logs, journal_.get());
}

Receiver::~Receiver() {
    if (serial_)
        serial_->SerialClose();
    // The floor and the disk probe go before the channels do.
    for (LogChannel* channel : {&logAll_, &logImp_, &logErr_}) channel->SetDiskFloor(nullptr);
}

bool Receiver::Start() {
    try {
        logAll_.AddMsg("Application started..");
        const TDateTime appStartTime = p_.clock.Now();
        supervision_->SetAppStartMono(p_.clock.MonotonicMs());
        views_.view.SetAppStartedText(DateTimeText(appStartTime) + " ");
        views_.view.ShowPage(0);

        store_->ReadSettings();

        const bool dbUsable =
            db_->ConnDB() &&
            db_->ReadDB_and_FillU_onStartUp(*registry_, p_.clock.Now(), p_.clock.MonotonicMs());
        if (dbUsable)
            registry_->SetStore(db_.get());
        // The lines the last run left waiting are alarms their units were
        // answered for: they go back into the buffer before any unit is
        // heard, and also without a usable database, which stops only the
        // receiving.
        if (sendBuffer_->RestoreFromJournal() > 0) {
            sendBuffer_->SendBufferHead();
            Enable(sendBuffer_->RetransmitTimer());
        }
        if (dbUsable) {
            DoActivateUDPSrvPort(true);
            supervision_->AddPing();
            Enable(*timerCommTr_);
            Enable(sendBuffer_->RetransmitTimer());
            Enable(*timerPing_);
        }
        startUpDone_ = true;
        return true;
    } catch (const std::exception& e) {
        views_.dialogs.Message(std::string("Error in proc TForm1.FormCreate: ") + e.what());
        views_.view.Terminate();
        return false;
    }
}

bool Receiver::ConfirmClose() {
    if (stopped_)
        return true;
    const int n = sendBuffer_->SendBufferCount();
    const bool onlyHeartbeat = n == 1 && sendBuffer_->HeadIsHeartbeat();
    bool yes;
    if (n < 1 || onlyHeartbeat) {
        yes = views_.dialogs.Confirm("Close application?");
    } else {
        // The waiting lines stay in the send journal and go out at the next start.
        char text[256];
        std::snprintf(text, sizeof text,
                      "There are %d unsent messages in Internal Buffer.\r\nThey are kept and will "
                      "be sent when the application starts again.\r\nDo you still want to close "
                      "the application?",
                      n);
        yes = views_.dialogs.Confirm(text);
    }
    // A stop while the box was open has closed the receiver already.
    if (stopped_)
        return true;
    if (!yes)
        return false;
    logAll_.AddMsg("Application closed\r\n");
    return true;
}

void Receiver::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    // A datagram batch is handled whole, with its answers, within one event,
    // so none is half done here. The datagrams read ahead are handled and
    // answered, then no further one is read.
    processor_->CloseUdpEndpoint();
    timerPing_->Stop();
    timerCommTr_->Stop();
    sendBuffer_->RetransmitTimer().Stop();
    sendBuffer_->Commit();
    logAll_.AddMsg("Application closed\r\n");
}

void Receiver::HousekeepingTick() {
    if (views_.memoAll.LineCount() > kMemoLinesBeforeClear) {
        views_.memoAll.Clear();
        views_.memoAll.Append(" Automatically cleared ..\r\n");
    }
    diskSpaceWatch_->Check(logImp_);
}

void Receiver::AllMessagesShown() {
    views_.memoAll.ScrollToEnd();
}
void Receiver::ImportantMessagesShown() {
    ledImp_.ClearBlink();
}
void Receiver::ErrorsShown() {
    ledErr_.ClearBlink();
}

void Receiver::DoActivateUDPSrvPort(bool force) {
    // Before start-up has completed only start-up itself may open the
    // endpoint, after the unit database is loaded.
    if (force || startUpDone_)
        processor_->DoActivateUDPSrvPort();
}

void Receiver::DoActivateSerialPort() {
    korvan::DoActivateSerialPort(*serial_, settings_.SerialPortName, Logs());
}

void Receiver::DoActivateMonitoringTcp() {
    if (tcp_ != nullptr)
        tcp_->Apply(settings_.TcpLink);
}

void Receiver::AddPing() {
    supervision_->AddPing();
}

void Receiver::StopPingTimer() {
    timerPing_->Stop();
}

void Receiver::StartPingTimer(int ms) {
    timerPing_->SetInterval(ms);
    timerPing_->Start();
}

std::string Receiver::OutputText(const char* serialName) const {
    const ILineOutput* in = sendBuffer_->OutputInUse();
    if (in != nullptr && in == tcp_.get())
        return "TCP " + tcp_->Peer();
    if (in != nullptr && in == serial_.get())
        return serialName + (" " + serial_->PortName());
    return "none";
}

std::string Receiver::OutputInUse() const {
    return OutputText("Serial");
}

std::string Receiver::Status() const {
    std::string status;
    if (processor_->UdpEndpoint() == nullptr) {
        status = "UDP port " + std::to_string(settings_.UDPSrvPort) +
                 " closed: the unit database or the port cannot be used (Log/Errors.log "
                 "says which); ";
    }
    return status + std::to_string(sendBuffer_->SendBufferCount()) + " lines waiting, output " +
           OutputText("serial");
}

ReceiverCounters Receiver::Counters() const {
    ReceiverCounters c;
    c.packsReceived = processor_->DatagramsRead();
    c.elementsReceived = processor_->DatagramsAccepted();
    c.messagesReceived = processor_->AlarmsAccepted();
    c.messagesSent = sendBuffer_->Delivered();
    c.sendBuffer = sendBuffer_->SendBufferCount();
    c.output = OutputInUse();
    return c;
}

}  // namespace korvan
