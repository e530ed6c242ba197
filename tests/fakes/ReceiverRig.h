#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Receiver.h"
#include "fakes/FakeDiskSpace.h"
#include "fakes/FakeScheduler.h"
#include "fakes/FakeSerialDevice.h"
#include "fakes/FakeUdp.h"
#include "fakes/FakeViews.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendJournal.h"

namespace korvan {

// The whole receiver core on fakes, in a fresh folder (under the system's
// temporary folder unless told otherwise), on a settable clock (2026-12-08
// 10:30:00 unless told otherwise). Tests, fuzzers and the bench drive the
// alarm path through it exactly as the window does.
struct ReceiverRig {
    explicit ReceiverRig(
        TDateTime start = 46364.4375,
        const std::string& folderBase = std::filesystem::temp_directory_path().string())
        : dir(folderBase), clock(start) {}

    TempDir dir;
    FakeScheduler clock;
    FakeDialogs dialogs;
    FakeSound sound;
    FakeUdpFactory udp;
    FakeSerialDevice serial;
    FakeMemo memoAll, memoImp, memoErr;
    FakeLedView ledImp, ledErr;
    FakeReceiverView view;
    FakeDiskSpace disk;
    // The send journal's files; empty: the files in the folder.
    std::function<std::unique_ptr<JournalFile>(const std::string& path)> journalFiles;
    std::unique_ptr<Receiver> receiver;

    ReceiverViews views{memoAll, memoImp, memoErr, ledImp, ledErr, sound, dialogs, view};

    // Builds the core with the fakes' views attached; `start` starts it too.
    Receiver& Create(bool start = true) {
        Build().Attach(views);
        if (start)
            receiver->Start();
        return *receiver;
    }
    // Builds the core anew with nothing attached (a window attaches its own).
    Receiver& Build() {
        receiver.reset();
        receiver = std::make_unique<Receiver>(
            ReceiverPlatform{clock, clock, udp, serial, dir.Path(), &disk, journalFiles});
        return *receiver;
    }

    // The core's parts and state the window does not show.
    bool StartUpDone() const { return receiver->startUpDone_; }
    ISettingEffects& Effects() const { return *receiver; }
    WorkingSettings& Settings() const { return receiver->settings_; }
    SendBuffer& Buffer() const { return *receiver->sendBuffer_; }
    SerialChannel& Serial() const { return *receiver->serial_; }
    Supervision& Supervisor() const { return *receiver->supervision_; }
    MessageProcessor& Processor() const { return *receiver->processor_; }
    UnitDb& Database() const { return *receiver->db_; }
    ITimer& HeartbeatTimer() const { return *receiver->timerPing_; }
    ITimer& SupervisionTimer() const { return *receiver->timerCommTr_; }
    ITimer& HousekeepingTimer() const { return *receiver->timerHousekeeping_; }
    void Housekeeping() const { receiver->HousekeepingTick(); }
    AlertLed& LedImp() const { return receiver->ledImp_; }
    AlertLed& LedErr() const { return receiver->ledErr_; }

    // A datagram from a unit, as the UDP endpoint hands it over.
    void Receive(const Bytes& datagram, const std::string& address = "10.0.0.5",
                 std::uint16_t port = 4000) {
        udp.Deliver(address, port, datagram);
    }

    // The memos' lines without their time stamps; an empty line stays empty.
    std::vector<std::string> All() const { return TestLogChannels::Texts(memoAll); }
    std::vector<std::string> Imp() const { return TestLogChannels::Texts(memoImp); }
    std::vector<std::string> Err() const { return TestLogChannels::Texts(memoErr); }
    void ClearMemos() {
        memoAll.Clear();
        memoImp.Clear();
        memoErr.Clear();
    }

    // The messages of a log file, without their time stamps.
    std::vector<std::string> FileMessages(const std::string& relPath) const {
        std::vector<std::string> out;
        const std::string log = dir.Read(relPath);
        std::size_t start = 0;
        while (start < log.size()) {
            const std::size_t end = log.find("\r\n", start);
            const std::string line = log.substr(start, end - start);
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
            if (end == std::string::npos)
                break;
            start = end + 2;
        }
        return out;
    }
    std::vector<std::string> AllFileMessages() const {
        return FileMessages("Log/All msg/2026-12-08.log");
    }
};

}  // namespace korvan
