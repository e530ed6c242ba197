// The road of one datagram, from the frame checks to the answer, the
// monitoring line, the supervision and the unit's record.
//
// The input is one datagram as a unit would send it. It is checked on its
// own by CheckFrame, then delivered three times to the receiver core (as
// just started, see FuzzReceiver.h): from one address; after a silence long
// enough for every trouble stage, from another address (restore, changed
// address); and once more with the socket and the database failing. Every
// answer, serial line and record write is checked against what the protocol
// allows.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "device/Codec.h"
#include "fuzz/FuzzReceiver.h"

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
        FUZZ_CHECK(text.find(" (" + std::to_string(data.size()) + " b.): 0x" +
                             DatagramHexText(datagram)) != std::string::npos);
        // A rejection costs a line of log whatever the datagram's length.
        FUZZ_CHECK(text.size() <= 200 + 2 * kLoggedBytesOfLongDatagram);
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

// Every record write on its way to the database file stays inside the
// frame's own unit's record.
void CheckStoreWrites(const FakeUnitStore& store, int nr) {
    for (const FakeUnitStore::Write& w : store.writes) {
        FUZZ_CHECK(w.nr == nr);
        FUZZ_CHECK(w.offset >= 0 && !w.bytes.empty() &&
                   static_cast<std::size_t>(w.offset) + w.bytes.size() <=
                       static_cast<std::size_t>(kUnitDbRecordSize));
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
    const UnitRecord& u = registry.Unit(c.unitNr);
    FUZZ_CHECK(u.used);
    FUZZ_CHECK(u.address == address);
    FUZZ_CHECK(u.address.size() <= kIpCapacity && u.imei.size() <= kImeiCapacity &&
               u.firmwareRaw.size() <= kFwRawCapacity &&
               u.firmwareVersion.size() <= kFwVerCapacity && u.account.size() <= kAccountCapacity);
    // Empty when the update stopped early (an IMEI that is not a number).
    FUZZ_CHECK(u.rowText.empty() || u.rowText.rfind(FourDigits(c.unitNr) + " ", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static FuzzReceiver fuzz;
    fuzz.StartInput();
    Receiver& r = fuzz.Core();
    ReceiverRig& rig = fuzz.rig;
    Registry& registry = r.Units();
    const Bytes data(bytes, bytes + size);

    CheckCodec(data);
    const CheckedFrame checked = CheckFrame(data);

    // 1. A unit heard for the first time.
    rig.Receive(data, "10.0.0.5", 4000);
    CheckAnswer(rig.udp, 0, data, "10.0.0.5", 4000);
    CheckRecord(registry, checked, "10.0.0.5");

    // 2. Silent past every trouble stage, then heard again from elsewhere.
    fuzz.AnswerAll();
    fuzz.Silence(static_cast<std::int64_t>(rig.Settings().CommTrouble3 + 1) * kMsPerMinute);
    rig.Supervisor().CheckCommSt();
    rig.Receive(data, "10.0.0.6", 4001);
    CheckAnswer(rig.udp, 1, data, "10.0.0.6", 4001);
    CheckRecord(registry, checked, "10.0.0.6");
    if (checked.Accepted())
        FUZZ_CHECK(registry.Unit(checked.unitNr).troubleStagesSent == 0 ||
                   registry.Unit(checked.unitNr).account.size() != 4);

    fuzz.AnswerAll();
    CheckStoreWrites(fuzz.store, checked.unitNr);

    // 3. The socket refuses to send and the database refuses to write: the
    // errors are reported and nothing is thrown.
    rig.udp.failSends = true;
    fuzz.store.failAtWrite = static_cast<int>(fuzz.store.writes.size());
    rig.Receive(data, "10.0.0.7", 4002);
    FUZZ_CHECK(rig.udp.sent.size() == 2);
    FUZZ_CHECK(!rig.memoErr.entries.empty());

    fuzz.FinishInput();
    return 0;
}
