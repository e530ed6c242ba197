#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "fakes/FakeUnitStore.h"
#include "fakes/ReceiverRig.h"
#include "fuzz/FuzzEnv.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SerialChannel.h"
#include "monitoring/Supervision.h"
#include "registry/UnitDb.h"
#include "registry/Units.h"

using namespace korvan;

// The receiver core as the datagram fuzz targets drive it: one per process,
// built and started by ReceiverRig on fakes in a scratch folder (in memory
// when /dev/shm is there), with its real database file. Datagrams arrive
// through the fake UDP endpoint; the monitoring software answers through the
// fake serial device on port COM1.
//
// Every record write passes through `store` on its way to the database file,
// so a target can check where it went and make one fail.
//
// After start-up the heartbeat, the supervision's minute tick and the
// housekeeping are stopped: the targets run the communication check
// themselves where the silence of units matters, and hours of those ticks
// would only slow the run down.
//
// What an input changes is put back by StartInput and FinishInput, so every
// input runs as on a receiver just started: the wall clock at
// FuzzEnv::kStart, the start-up delay of the supervision counting from the
// input's start, the serial port just opened (its poll at the same phase),
// the send buffer empty (drained by answering) with its retransmission timer
// idle, the LEDs steady, no unit known, and nothing recorded by the fakes.
// What carries over does not change how an input runs: the monotonic clock
// goes on (everything measured with it is reset as above), the database file
// keeps the records inputs wrote (it is read only at start-up), and the log
// files grow until they are removed every FuzzEnv::kInputsPerLogReset
// inputs.
class FuzzReceiver {
public:
    // A lone answer byte is taken as a cluster 252..326 ms after it arrived.
    static constexpr std::int64_t kAnswerMs = 400;

    FuzzReceiver() : rig(FuzzEnv::kStart, FuzzEnv::ScratchBase()) {
        rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM1\r\n15\r\n60\r\n240\r\n7\r\n30\r\n");
        Receiver& r = rig.Create();
        FUZZ_CHECK(rig.StartUpDone() && rig.udp.current != nullptr && rig.serial.IsOpen());
        rig.HeartbeatTimer().Stop();
        rig.SupervisionTimer().Stop();
        rig.HousekeepingTimer().Stop();
        // The first answer the port ever gets is taken at once, every later
        // one after the cluster wait: the start-up heartbeats use up the
        // first, so every input sees the later kind.
        AnswerAll();
        store.next = &rig.Database();
        r.Units().SetStore(&store);
    }

    Receiver& Core() { return *rig.receiver; }

    // Call at the start of every input.
    void StartInput() {
        rig.clock.SetWall(FuzzEnv::kStart);
        rig.Supervisor().SetAppStartMono(rig.clock.MonotonicMs());
        ReopenPort();
        rig.Buffer().RetransmitTimer().Stop();
        Core().ImportantMessagesShown();
        Core().ErrorsShown();
        rig.ClearMemos();
        rig.udp.sent.clear();
        rig.udp.failSends = false;
        rig.serial.writes.clear();
        rig.serial.openCalls.clear();
        rig.ledImp.shown.clear();
        rig.ledErr.shown.clear();
        rig.sound.played.clear();
        store.writes.clear();
        store.failAtWrite = -1;
        if (++inputs_ % FuzzEnv::kInputsPerLogReset == 0) {
            std::error_code ec;
            std::filesystem::remove_all(rig.dir.Path() + "Log", ec);  // each channel makes it anew
        }
    }

    // Call at the end of every input: answers every line still waiting,
    // checks what went out on the serial line and into the logs, and forgets
    // the units the input made known. Those are the only slots an input
    // touches (an alarm's account is taken just before its unit's record is
    // updated, which puts the unit in the grid), so the grid's rows name them.
    void FinishInput() {
        AnswerAll();
        CheckSerialWrites();
        CheckLogLines(rig.memoAll);
        CheckLogLines(rig.memoImp);
        CheckLogLines(rig.memoErr);
        Registry& units = Core().Units();
        UnitTable& rows = units.Table();
        for (int i = 0; i < rows.RowCount(); ++i) units.Unit(rows.RowAt(i)) = UnitRecord{};
        rows.Clear();
    }

    // The monitoring software answers the head once it is on the wire:
    // written and drained. Until then the head is offered for writing as the
    // retransmission tick would (that timer is stopped between inputs): after
    // the port's quiet time that follows an open, and, for a line whose
    // transmission a reopened port cut off, once its 3-second wait is over.
    void Answer() {
        SerialChannel& channel = rig.Serial();
        for (std::int64_t waited = 0; !channel.Armed() && waited <= SendBuffer::kSendTimerMs;
             waited += SerialChannel::kPollMs) {
            rig.clock.Advance(SerialChannel::kPollMs);
            rig.Buffer().SendBufferHead();
        }
        rig.serial.Receive(Bytes{0x06});
        rig.clock.Advance(kAnswerMs);
    }

    // The monitoring software answers every line waiting, one by one.
    void AnswerAll() {
        SendBuffer& buffer = rig.Buffer();
        for (int i = buffer.SendBufferCount(); i > 0; --i) Answer();
        FUZZ_CHECK(buffer.SendBufferCount() == 0);
    }

    // Lets `ms` pass in which no unit is heard. Meanwhile the port is closed
    // and the retransmission timer and the LEDs are stopped: over hours their
    // ticks (the port's poll every 75 ms) would find nothing to do and only
    // slow the run down. The port opens again at the end.
    void Silence(std::int64_t ms) {
        rig.Serial().SerialClose();
        rig.Buffer().RetransmitTimer().Stop();
        Core().ImportantMessagesShown();
        Core().ErrorsShown();
        rig.clock.Advance(ms);
        ReopenPort();
    }

    // Each serial write is one 20-character line of printable characters and
    // the line end: nothing a unit sends can break the monitoring software's
    // framing.
    void CheckSerialWrites() const {
        for (const Bytes& w : rig.serial.writes) {
            FUZZ_CHECK(w.size() == 21 && w.back() == SendBuffer::kLineEnd);
            for (std::size_t i = 0; i + 1 < w.size(); ++i) FUZZ_CHECK(w[i] >= 0x20 && w[i] != 0x7F);
        }
    }

    ReceiverRig rig;
    FakeUnitStore store;

private:
    void ReopenPort() {
        rig.Serial().SerialClose();
        rig.Serial().SerialOpen(rig.Settings().SerialPortName);
        FUZZ_CHECK(rig.serial.IsOpen());
    }

    long inputs_ = 0;
};
