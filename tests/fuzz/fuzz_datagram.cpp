// The road of one datagram, from the frame checks to the answer, the
// monitoring line, the supervision and the unit's record.
//
// The input is one datagram as a unit would send it. It is checked on its
// own by CheckFrame, then delivered three times to a fresh receiver: from one
// address; after a silence long enough for every trouble stage, from another
// address (restore, changed address); and once more with the socket and the
// database failing. Every answer, serial line and record write is checked
// against what the protocol allows.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "device/Codec.h"
#include "device/MessageProcessor.h"
#include "fakes/FakeSerialLink.h"
#include "fakes/FakeUdp.h"
#include "fakes/FakeUnitStore.h"
#include "fuzz/FuzzEnv.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/Supervision.h"
#include "registry/UnitDb.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"
#include "settings/WorkingSettings.h"

using namespace korvan;

namespace {

constexpr std::int64_t kMsPerMinute = 60000;

std::string FourDigits(int nr) {
    char text[16];
    std::snprintf(text, sizeof text, "%.4d", nr);
    return text;
}

void CheckCodec(const Bytes& data) {
    const ByteSpan datagram(data);
    const CheckedFrame c = CheckFrame(datagram);

    if (data.size() < 9)
        FUZZ_CHECK(c.reject == RejectKind::TooShort);
    if (!c.Accepted()) {
        const std::string text = RejectMessage(c.reject, datagram, "10.0.0.5");
        FUZZ_CHECK(text.find("10.0.0.5") != std::string::npos);
        FUZZ_CHECK(text.find("0x" + HexText(datagram)) != std::string::npos);
        const Bytes nack = BuildNack(datagram, FuzzEnv::kStart);
        FUZZ_CHECK(nack.size() == 15 && nack[0] == frame::kNack && IsCrcValid(nack));
        for (std::size_t i = 1; i < 8; ++i) FUZZ_CHECK(nack[i] == (data.size() >= 8 ? data[i] : 0));
        return;
    }

    // Only a frame that passed all six checks gets here.
    FUZZ_CHECK(IsCrcValid(datagram));
    FUZZ_CHECK(FrameSize(c.frameType) != 0);
    FUZZ_CHECK(data.size() == static_cast<std::size_t>(FrameSize(c.frameType)));
    FUZZ_CHECK(c.frameType == data[0] && c.encrMarker == data[1] && c.encrMarker <= 0xFD);
    FUZZ_CHECK(c.frameId == ((data[2] << 8) | data[3]));
    FUZZ_CHECK(c.unitNr >= 0 && c.unitNr <= frame::kMaxUnitNr);
    FUZZ_CHECK(c.unitText == FourDigits(c.unitNr));
    const auto digits = UnitNrToDigits(c.unitNr);
    FUZZ_CHECK(std::equal(digits.begin(), digits.end(), data.begin() + 4));

    const Bytes ack = BuildAck(datagram, FuzzEnv::kStart);
    FUZZ_CHECK(ack.size() == 15 && ack[0] == frame::kAck && IsCrcValid(ack));
    FUZZ_CHECK(std::equal(ack.begin() + 1, ack.begin() + 8, data.begin() + 1));

    if (c.frameType == frame::kEvent) {
        const EventFields e = DecodeEvent(datagram);
        FUZZ_CHECK(e.account.size() == 4 && e.event.size() == 4 && e.partition.size() == 2 &&
                   e.zone.size() == 3);
        FUZZ_CHECK(std::equal(e.rawTime.begin(), e.rawTime.end(), data.begin() + 8));
        FUZZ_CHECK(RawTimeText(e.rawTime).size() >= 19);
    }
}

// What one delivery sent back: one answer to the sender, of a type and length
// the protocol has, closed by its CRC.
void CheckAnswer(const FakeUdpFactory& udp, std::size_t before, const Bytes& data,
                 const std::string& address, std::uint16_t port) {
    FUZZ_CHECK(udp.sent.size() == before + 1);
    const SentDatagram& s = udp.sent.back();
    FUZZ_CHECK(s.address == address && s.port == port);
    FUZZ_CHECK(IsCrcValid(s.data));
    const CheckedFrame c = CheckFrame(data);
    switch (s.data[0]) {
        case frame::kAck:
            FUZZ_CHECK(c.Accepted() && c.frameType != frame::kSetTimeRequest &&
                       c.frameType != frame::kChangeUnitNrRequest);
            FUZZ_CHECK(s.data.size() == 15);
            FUZZ_CHECK(std::equal(s.data.begin() + 1, s.data.begin() + 8, data.begin() + 1));
            break;
        case frame::kNack:
            FUZZ_CHECK(!c.Accepted());
            FUZZ_CHECK(s.data.size() == 15);
            break;
        case frame::kNewTime:
            FUZZ_CHECK(c.Accepted() && c.frameType == frame::kSetTimeRequest);
            FUZZ_CHECK(s.data.size() == 11);
            FUZZ_CHECK(std::equal(s.data.begin() + 1, s.data.begin() + 4, data.begin() + 1));
            break;
        case frame::kNewUnitNr:
            FUZZ_CHECK(c.Accepted() && c.frameType == frame::kChangeUnitNrRequest);
            FUZZ_CHECK(s.data.size() == 24);
            FUZZ_CHECK(std::equal(s.data.begin() + 4, s.data.begin() + 19, data.begin() + 8));
            // A fresh registry hands out the first number.
            FUZZ_CHECK(s.data[19] == 1 && s.data[20] == 0 && s.data[21] == 0 && s.data[22] == 0);
            break;
        default:
            FUZZ_CHECK(!"answer of an unknown type");
    }
}

// Each serial write is one 20-character line of printable characters and the
// line end: nothing a unit sends can break the monitoring software's framing.
void CheckSerialWrites(const FakeSerialLink& link) {
    for (const Bytes& w : link.writes) {
        FUZZ_CHECK(w.size() == 21 && w.back() == SendBuffer::kLineEnd);
        for (std::size_t i = 0; i + 1 < w.size(); ++i) FUZZ_CHECK(w[i] >= 0x20 && w[i] != 0x7F);
    }
}

// The monitoring software answers every line until none is left.
void AnswerAll(FakeSerialLink& link, SendBuffer& buffer) {
    for (int i = 0; i < 16 && buffer.SendBufferCount() > 0; ++i) {
        link.clusters.push_back(Bytes{0x06});
        buffer.SerialPortNG1RxClusterEvent();
    }
    FUZZ_CHECK(buffer.SendBufferCount() == 0);
}

void CheckStoreWrites(const FakeUnitStore& store, int nr) {
    for (const FakeUnitStore::Write& w : store.writes) {
        FUZZ_CHECK(w.nr == nr);
        FUZZ_CHECK(w.offset >= 0 && !w.bytes.empty() &&
                   static_cast<std::size_t>(w.offset) + w.bytes.size() <=
                       static_cast<std::size_t>(UNIT_DB_RECORD_SIZE));
    }
}

// Only the frame's own unit may have a record, and only when the frame was
// accepted and is not a request for a new number.
void CheckRecord(Registry& registry, const CheckedFrame& c, const std::string& address) {
    const bool creates = c.Accepted() && c.frameType != frame::kChangeUnitNrRequest;
    UnitTable& table = registry.Table();
    FUZZ_CHECK(table.RowCount() == (creates ? 1 : 0));
    if (!creates)
        return;
    FUZZ_CHECK(table.RowAt(0) == c.unitNr);
    const TUnitStruct& u = registry.Unit(c.unitNr);
    FUZZ_CHECK(u.bUsed);
    FUZZ_CHECK(u.sIP == address);
    FUZZ_CHECK(u.sIP.size() <= kIpCapacity && u.sImei.size() <= kImeiCapacity &&
               u.sFwRaw.size() <= kFwRawCapacity && u.sFwVer.size() <= kFwVerCapacity &&
               u.sAccount.size() <= kAccountCapacity);
    // Empty when the update stopped early (an IMEI that is not a number).
    FUZZ_CHECK(u.sRowText.empty() || u.sRowText.rfind(FourDigits(c.unitNr) + " ", 0) == 0);
}

// The registry's 10000 slots are made once per process (a fresh one per
// input would cost more than the input itself); an input leaves at most its
// own unit behind, which is cleared again here.
struct Units {
    UnitTable table;
    Registry registry;
    explicit Units(LogChannels logs) : registry(logs, table) {}
    void Clear(const CheckedFrame& c) {
        if (c.Accepted())
            registry.Unit(c.unitNr) = TUnitStruct{};
        table.Clear();
        registry.SetStore(nullptr);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static FuzzEnv env;
    static Units units(env.Logs());
    env.StartInput();
    FakeScheduler& clock = env.Clock();
    const LogChannels logs = env.Logs();
    const Bytes data(bytes, bytes + size);

    CheckCodec(data);
    const CheckedFrame checked = CheckFrame(data);

    WorkingSettings settings;
    Registry& registry = units.registry;
    FakeUnitStore store;
    registry.SetStore(&store);
    FakeSerialLink link(clock);
    SendBuffer buffer(link, clock, clock, logs);
    Supervision supervision(registry, buffer, settings, clock, logs);
    supervision.SetAppStartMono(clock.MonotonicMs());
    FakeUdpFactory udp;
    MessageProcessor proc(
        logs, clock, udp, settings, registry,
        [&](int nr) { supervision.Send_CommRestore_ifNeed(nr); },
        MessageProcessor::LineHooks{[&](const std::string& line) { buffer.QueueLine(line); },
                                    [&] { buffer.SendBufferHead(); }, nullptr, nullptr},
        [] { return true; });
    proc.DoActivateUDPSrvPort(true);
    FUZZ_CHECK(udp.current != nullptr);

    // 1. A unit heard for the first time.
    udp.Deliver("10.0.0.5", 4000, data);
    CheckAnswer(udp, 0, data, "10.0.0.5", 4000);
    CheckRecord(registry, checked, "10.0.0.5");

    // 2. Silent past every trouble stage, then heard again from elsewhere.
    // The idle retransmission timer is stopped: four hours of its ticks
    // would only slow the run down.
    AnswerAll(link, buffer);
    buffer.TimerSBSend().Stop();
    clock.Advance(static_cast<std::int64_t>(settings.CommTrouble3 + 1) * kMsPerMinute);
    supervision.CheckCommSt();
    udp.Deliver("10.0.0.6", 4001, data);
    CheckAnswer(udp, 1, data, "10.0.0.6", 4001);
    CheckRecord(registry, checked, "10.0.0.6");
    if (checked.Accepted())
        FUZZ_CHECK(registry.Unit(checked.unitNr).byCommTrSent == 0 ||
                   registry.Unit(checked.unitNr).sAccount.size() != 4);

    AnswerAll(link, buffer);
    CheckSerialWrites(link);
    CheckStoreWrites(store, checked.unitNr);

    // 3. The socket refuses to send and the database refuses to write: the
    // errors are reported and nothing is thrown.
    udp.failSends = true;
    store.failAtWrite = static_cast<int>(store.writes.size());
    udp.Deliver("10.0.0.7", 4002, data);
    FUZZ_CHECK(udp.sent.size() == 2);
    FUZZ_CHECK(!env.ErrMemo().entries.empty());

    CheckLogLines(env.AllMemo());
    CheckLogLines(env.ImpMemo());
    CheckLogLines(env.ErrMemo());
    units.Clear(checked);
    return 0;
}
