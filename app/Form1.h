#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/FormView.h"
#include "app/Led.h"
#include "app/Log.h"
#include "app/LogChannels.h"
#include "platform/Clock.h"
#include "platform/DiskSpace.h"
#include "platform/SerialDevice.h"
#include "platform/Timer.h"
#include "platform/Udp.h"
#include "platform/Views.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

class SerialChannel;
class SendBuffer;
class Supervision;
class SettingsStore;
class UnitDb;
class MessageProcessor;
class UnitCommands;
class DiskSpaceWatch;

// Everything the window logic is given by the platform.
struct FormPlatform {
    IClock& clock;
    ITimerFactory& timers;
    IDialogs& dialogs;
    ISound& sound;
    IUdpFactory& udp;
    ISerialDevice& serialDevice;
    IMemo& memoAll;
    IMemo& memoImp;
    IMemo& memoErr;
    ILedView& ledImp;
    ILedView& ledErr;
    IFormView& view;
    std::string exeDir;  // ends with "/"
    IDiskSpace* diskSpace = nullptr;  // nullptr: this machine's file systems
};

// The main window's logic: it owns the log channels, the send buffer, the
// unit registry with its database file, the settings and every timer from
// start-up to exit, and brings them up in a fixed order.
class TForm1 {
public:
    static constexpr const char* kCaption = "Korvan GPRS Module";
    static constexpr const char* kClassName = "TForm1";

    explicit TForm1(FormPlatform platform);
    ~TForm1();
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // The start-up sequence. False when an error escaped it: the message box
    // has been shown and the application told to terminate.
    bool FormCreate();
    // Asks for confirmation; true when the window is to close.
    bool FormClose();

    // Housekeeping: clears All Msg above 1000 lines, warns of low disk space.
    void Timer_ev5minTimer();
    void xpTabSheet_All_msgShow();
    void xpTabSheet_imp_msgShow();
    void xpTabSheet_errorsShow();

    // Application state.
    bool StartUpDone() const { return startUpDone_; }
    TDateTime AppStartTime() const { return appStartTime_; }
    const std::string& ExeDir() const { return exeDir_; }
    std::string DatabasePath() const { return exeDir_ + "RAZUDovuve.db"; }
    std::string SettingsPath() const { return exeDir_ + "RAZUDovuve.ini"; }

    // Subsystems, for the views. Valid after FormCreate has created them.
    LogChannels Logs();
    Registry& Units() { return *registry_; }
    UnitTable& VirtualTable1() { return virtualTable1_; }
    WorkingSettings& Settings() { return settings_; }
    SettingsStore* Store() { return store_.get(); }
    SendBuffer* Buffer() { return sendBuffer_.get(); }
    SerialChannel& Serial() { return *serial_; }
    Supervision* Supervisor() { return supervision_.get(); }
    MessageProcessor* Processor() { return processor_.get(); }
    UnitCommands* Commands() { return commands_.get(); }
    UnitDb* Database() { return db_.get(); }
    ITimer* TimerPingDR() { return timerPingDR_.get(); }
    ITimer* TimerCommTr() { return timerCommTr_.get(); }
    ITimer& Timer_ev5min() { return *timerEv5min_; }
    TLed& LedImp() { return ledImp_; }
    TLed& LedErr() { return ledErr_; }

    void DoActivateSerialPort();

private:
    void CreateSubsystems();

    FormPlatform p_;
    std::string exeDir_;
    bool startUpDone_ = false;
    TDateTime appStartTime_ = 0;

    TLed ledImp_;
    TLed ledErr_;
    std::unique_ptr<TLog> logAll_;
    std::unique_ptr<TLog> logImp_;
    std::unique_ptr<TLog> logErr_;

    WorkingSettings settings_;
    UnitTable virtualTable1_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<SerialChannel> serial_;
    std::unique_ptr<SendBuffer> sendBuffer_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<UnitDb> db_;
    std::unique_ptr<Supervision> supervision_;
    std::unique_ptr<MessageProcessor> processor_;
    std::unique_ptr<UnitCommands> commands_;

    std::unique_ptr<ITimer> timerPingDR_;
    std::unique_ptr<ITimer> timerCommTr_;
    std::unique_ptr<ITimer> timerEv5min_;

    std::unique_ptr<IDiskSpace> ownDiskSpace_;
    std::unique_ptr<DiskSpaceWatch> diskSpaceWatch_;
};
