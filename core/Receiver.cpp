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
    : p_(platform),
      exeDir_(platform.exeDir),
      ledImp_(platform.ledImp, platform.timers),
      ledErr_(platform.ledErr, platform.timers),
      logAll_(p_.clock, &p_.sound, exeDir_, &p_.memoAll, "Log\\All msg", "", 1, nullptr, "",
              nullptr),
      logImp_(p_.clock, &p_.sound, exeDir_, &p_.memoImp, "Log", "Imp_msg", 0, &ledImp_, "impmsg",
              &logAll_),
      logErr_(p_.clock, &p_.sound, exeDir_, &p_.memoErr, "Log", "Errors", 0, &ledErr_, "error",
              &logAll_) {
    // A log file that cannot be written is told on the Errors channel.
    logAll_.SetOutageChannel(&logErr_);
    logImp_.SetOutageChannel(&logErr_);
    logErr_.SetOutageChannel(&logErr_);
    const LogChannels logs = Logs();

    // The housekeeping tick runs from window creation on.
    timerHousekeeping_ = p_.timers.CreateTimer(kHousekeepingMs, false, [this] {
        Guarded(logErr_, "Timer_ev5minTimer", [this] { HousekeepingTick(); });
    });
    timerHousekeeping_->Start();

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

    serial_ = std::make_unique<SerialChannel>(p_.serialDevice, p_.clock, p_.timers, exeDir_);
    const auto journalFile = [this](const std::string& path) {
        return p_.journalFiles ? p_.journalFiles(path) : MakeJournalFile(path);
    };
    journal_ = std::make_unique<SendJournal>(journalFile(JournalPath()), p_.clock, logs,
                                             journalFile(JournalPath() + ".2"));
    sendBuffer_ = std::make_unique<SendBuffer>(*serial_, p_.clock, p_.timers, logs, journal_.get());

    registry_ = std::make_unique<Registry>(logs, unitRows_);
    registry_->SetRepaint([this] { p_.view.RepaintUnitsGrid(); });

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

    SettingsStore::Hooks hooks;
    hooks.DoActivateUDPSrvPort = [this](bool force) { processor_->DoActivateUDPSrvPort(force); };
    hooks.DoActivateSerialPort = [this] { ActivateSerialPort(); };
    hooks.AddPing = [this] { supervision_->AddPing(); };
    hooks.StopPingTimer = [this] { timerPing_->Stop(); };
    hooks.StartPingTimer = [this](int ms) {
        timerPing_->SetInterval(ms);
        timerPing_->Start();
    };
    hooks.Beep = [this] { p_.sound.Beep(); };
    hooks.StartUpDone = [this] { return startUpDone_; };
    store_ = std::make_unique<SettingsStore>(settings_, logs, SettingsPath(), hooks);

    db_ = std::make_unique<UnitDb>(logs, DatabasePath());

    MessageProcessor::LineHooks lines;
    lines.queue = [this](const std::string& line) { return sendBuffer_->QueueLine(line); };
    lines.durable = [this](std::uint64_t id) { return sendBuffer_->Durable(id); };
    lines.transmit = [this] { sendBuffer_->SendBufferHead(); };
    lines.commitPending = [this] { return sendBuffer_->CommitPending(); };
    lines.commit = [this] { sendBuffer_->Commit(); };
    processor_ = std::make_unique<MessageProcessor>(
        logs, p_.clock, p_.udp, settings_, *registry_,
        [this](int nr) { supervision_->Send_CommRestore_ifNeed(nr); }, std::move(lines),
        [this] { return startUpDone_; });
    sendBuffer_->OnSettled = [this] { processor_->SendSettledAnswers(); };

    commands_ = std::make_unique<UnitCommands>(
        logs, p_.clock, *registry_, p_.dialogs, [this] { return processor_->UdpEndpoint(); },
        [this] {
            p_.memoAll.ScrollToEnd();
            p_.view.ShowPage(0);
        });
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
        appStartTime_ = p_.clock.Now();
        supervision_->SetAppStartMono(p_.clock.MonotonicMs());
        p_.view.SetAppStartedText(DateTimeText(appStartTime_) + " ");
        p_.view.ShowPage(0);

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
            processor_->DoActivateUDPSrvPort(true);
            supervision_->AddPing();
            Enable(*timerCommTr_);
            Enable(sendBuffer_->RetransmitTimer());
            Enable(*timerPing_);
        }
        startUpDone_ = true;
        return true;
    } catch (const std::exception& e) {
        p_.dialogs.Message(std::string("Error in proc TForm1.FormCreate: ") + e.what());
        p_.view.Terminate();
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
        yes = p_.dialogs.Confirm("Close application?");
    } else {
        // The waiting lines stay in the send journal and go out at the next start.
        char text[256];
        std::snprintf(text, sizeof text,
                      "There are %d unsent messages in Internal Buffer.\r\nThey are kept and will "
                      "be sent when the application starts again.\r\nDo you still want to close "
                      "the application?",
                      n);
        yes = p_.dialogs.Confirm(text);
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
    if (p_.memoAll.LineCount() > kMemoLinesBeforeClear) {
        p_.memoAll.Clear();
        p_.memoAll.Append(" Automatically cleared ..\r\n");
    }
    diskSpaceWatch_->Check(logImp_);
}

void Receiver::AllMessagesShown() {
    p_.memoAll.ScrollToEnd();
}
void Receiver::ImportantMessagesShown() {
    ledImp_.ClearBlink();
}
void Receiver::ErrorsShown() {
    ledErr_.ClearBlink();
}

void Receiver::ActivateSerialPort() {
    korvan::DoActivateSerialPort(*serial_, settings_.SerialPortName, Logs());
}

}  // namespace korvan
