#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Led.h"
#include "base/Log.h"
#include "base/LogChannels.h"
#include "core/ReceiverView.h"
#include "core/ViewSlots.h"
#include "platform/Clock.h"
#include "platform/DiskSpace.h"
#include "platform/SerialDevice.h"
#include "platform/Tcp.h"
#include "platform/Timer.h"
#include "platform/Udp.h"
#include "platform/Views.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"
#include "settings/SettingEffects.h"
#include "settings/WorkingSettings.h"

namespace korvan {

class SerialChannel;
class TcpOutput;
class SendBuffer;
class SendJournal;
class JournalFile;
class Supervision;
class SettingsStore;
class UnitDb;
class MessageProcessor;
class UnitCommands;
class DiskSpaceWatch;

// The platform the receiver runs on: its clock, timers, sockets, serial
// device and folder. What it shows is attached later (ReceiverViews).
struct ReceiverPlatform {
    IClock& clock;
    ITimerFactory& timers;
    IUdpFactory& udp;
    ISerialDevice& serialDevice;
    std::string exeDir;               // ends with "/"
    IDiskSpace* diskSpace = nullptr;  // nullptr: this machine's file systems
    // The send journal's files by path; empty: the files on disk.
    std::function<std::unique_ptr<JournalFile>(const std::string& path)> journalFiles = nullptr;
    ITcpFactory* tcp = nullptr;  // nullptr: no TCP link to the monitoring software
};

// The receiver core: builds and owns the whole alarm path (log channels,
// send buffer and serial channel, supervision, settings, unit registry with
// its database file, message processing, operator commands and every timer)
// and brings it up in a fixed order. It runs on the platform interfaces
// alone and shows what it does on the views a front end attaches (the
// window, the service's journal lines), so the window, the service, the
// tests, the fuzzers and the bench all drive the same object.
class Receiver : private ISettingEffects {
public:
    static constexpr const char* kCaption = "Korvan GPRS Module";

    explicit Receiver(ReceiverPlatform platform);
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // A front end's views, attached before Start and detached before they
    // go; until then what the core shows goes nowhere.
    void Attach(const ReceiverViews& views) { views_.Attach(&views); }
    void Detach() { views_.Attach(nullptr); }

    // The start-up sequence: settings, then the database, then the lines the
    // last run left waiting, then (only with a usable database) the UDP
    // endpoint, a heartbeat and the timers. False
    // when an error escaped it: the message box has been shown and the
    // application told to terminate.
    bool Start();
    // Asks for confirmation; true when the window is to close. True without
    // asking once Stop() has run (also when it ran while the box was open).
    bool ConfirmClose();
    // Closes in order without asking (SIGTERM, SIGINT): no datagram is read
    // any more, the answers of those read have gone out and their lines are
    // on disk, "Application closed" is logged. The lines still waiting stay
    // in the send journal and go out at the next start. Runs once.
    void Stop();
    bool Stopped() const { return stopped_; }

    // The operator opened a memo tab.
    void AllMessagesShown();
    void ImportantMessagesShown();
    void ErrorsShown();

    // What the window shows and edits.
    LogChannels Logs() { return LogChannels{logAll_, logImp_, logErr_}; }
    Registry& Units() { return *registry_; }
    UnitTable& UnitRows() { return unitRows_; }
    SettingsStore& Store() { return *store_; }
    UnitCommands& Commands() { return *commands_; }

    // The top panel's counters as they stand.
    ReceiverCounters Counters() const;
    // One line on how the receiver is doing, for the service manager: the
    // lines waiting for the monitoring software and the output in use
    // ("serial COM1", or "none" while no port is open), and why the UDP port
    // is closed when it is.
    std::string Status() const;

private:
    // The tests reach the parts through their rig.
    friend struct ReceiverRig;

    // The five-minute housekeeping tick: clears a long All Msg memo and
    // warns of low disk space.
    void HousekeepingTick();
    // The output the next line goes out on: "TCP <peer>", "Serial <name>"
    // or "none".
    std::string OutputInUse() const;

    std::string DatabasePath() const { return exeDir_ + "RAZUDovuve.db"; }
    std::string SettingsPath() const { return exeDir_ + "RAZUDovuve.ini"; }
    std::string JournalPath() const { return exeDir_ + "RAZUDovuve.journal"; }

    // Parts of the construction: the disk-space watches, and the outputs to
    // the monitoring software with the send buffer and its journal.
    void WatchDiskSpace();
    void BuildSendBuffer();
    // The output the next line goes out on, the serial line under the name
    // given ("TCP <peer>", "<serialName> <port>" or "none").
    std::string OutputText(const char* serialName) const;

    // What applying a setting sets in motion.
    void DoActivateUDPSrvPort(bool force) override;
    void DoActivateSerialPort() override;
    void DoActivateMonitoringTcp() override;
    void AddPing() override;
    void StopPingTimer() override;
    void StartPingTimer(int ms) override;
    void Beep() override { views_.sound.Beep(); }
    bool StartUpDone() const override { return startUpDone_; }

    ReceiverPlatform p_;
    std::string exeDir_;
    bool startUpDone_ = false;
    bool stopped_ = false;

    ViewSlots views_;
    AlertLed ledImp_;
    AlertLed ledErr_;
    // Channels first: everything below reports through them.
    LogChannel logAll_;
    LogChannel logImp_;
    LogChannel logErr_;

    WorkingSettings settings_;
    UnitTable unitRows_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<SerialChannel> serial_;
    std::unique_ptr<TcpOutput> tcp_;
    std::unique_ptr<SendJournal> journal_;
    std::unique_ptr<SendBuffer> sendBuffer_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<UnitDb> db_;
    std::unique_ptr<Supervision> supervision_;
    std::unique_ptr<MessageProcessor> processor_;
    std::unique_ptr<UnitCommands> commands_;

    std::unique_ptr<ITimer> timerPing_;
    std::unique_ptr<ITimer> timerCommTr_;
    std::unique_ptr<ITimer> timerHousekeeping_;

    std::unique_ptr<IDiskSpace> ownDiskSpace_;
    std::unique_ptr<DiskSpaceWatch> diskSpaceWatch_;
    std::unique_ptr<LogDiskFloor> logFloor_;
};

}  // namespace korvan
