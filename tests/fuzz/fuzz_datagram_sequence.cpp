// Many datagrams from many units into one receiver: what one datagram leaves
// in the registry, the supervision and the send buffer must never upset the
// handling of the next.
//
// The input is a sequence of records, each
//   byte 0     what happens around the datagram:
//                bits 0..1  which of four senders (address and port) sends it
//                bit 2      first let (bits 3..6) x 20 minutes of silence
//                           pass and run the communication check
//                bit 7      the monitoring software answers every line after it
//   byte 1     the datagram's length n (a shorter rest is taken as it is)
//   n bytes    the datagram.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "device/Codec.h"
#include "fuzz/FuzzReceiver.h"

using namespace korvan;

namespace {

constexpr std::int64_t kMsPerMinute = 60000;
constexpr std::size_t kMaxRecords = 64;

const char* const kAddresses[4] = {"10.0.0.5", "10.0.0.6", "192.168.7.1", "10.0.0.5"};
const std::uint16_t kPorts[4] = {4000, 4001, 33665, 4002};

// The grid's rows are exactly the units in use, in ascending order.
void CheckTable(Registry& registry, const std::set<int>& used) {
    const UnitTable& table = registry.Table();
    FUZZ_CHECK(table.RowCount() == static_cast<int>(used.size()));
    int i = 0;
    for (const int nr : used) {
        FUZZ_CHECK(table.RowAt(i) == nr);
        FUZZ_CHECK(registry.Unit(nr).used);
        ++i;
    }
}

int FirstFree(const std::set<int>& used) {
    for (int nr = 1; nr <= frame::kMaxUnitNr; ++nr) {
        if (used.count(nr) == 0)
            return nr;
    }
    return frame::kMaxUnitNr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static FuzzReceiver fuzz;
    fuzz.StartInput();
    Receiver& r = fuzz.Core();
    ReceiverRig& rig = fuzz.rig;
    Registry& registry = r.Units();
    FUZZ_CHECK(registry.Table().Empty());

    std::set<int> used;
    std::size_t at = 0;
    for (std::size_t record = 0; record < kMaxRecords && at + 2 <= size; ++record) {
        const std::uint8_t control = bytes[at];
        const std::size_t length = std::min<std::size_t>(bytes[at + 1], size - at - 2);
        const Bytes data(bytes + at + 2, bytes + at + 2 + length);
        at += 2 + length;

        if ((control & 0x04) != 0) {
            fuzz.Silence(static_cast<std::int64_t>((control >> 3) & 0x0F) * 20 * kMsPerMinute);
            rig.Supervisor().CheckCommSt();
        }

        const CheckedFrame c = CheckFrame(data);
        const int firstFree = FirstFree(used);
        const std::size_t sentBefore = rig.udp.sent.size();
        rig.Receive(data, kAddresses[control & 3], kPorts[control & 3]);

        FUZZ_CHECK(rig.udp.sent.size() == sentBefore + 1);
        const SentDatagram& answer = rig.udp.sent.back();
        FUZZ_CHECK(answer.address == kAddresses[control & 3] && answer.port == kPorts[control & 3]);
        FUZZ_CHECK(IsCrcValid(answer.data));
        if (c.Accepted() && c.frameType == frame::kChangeUnitNrRequest) {
            FUZZ_CHECK(answer.data.size() == 24 && answer.data[0] == frame::kNewUnitNr);
            const auto digits = UnitNrToDigits(firstFree);
            FUZZ_CHECK(std::equal(digits.begin(), digits.end(), answer.data.begin() + 19));
        } else if (c.Accepted()) {
            used.insert(c.unitNr);
        }
        CheckTable(registry, used);
        if (c.Accepted() && c.frameType != frame::kChangeUnitNrRequest &&
            registry.Unit(c.unitNr).account.size() == 4) {
            // Heard again: every reported trouble stage has ended.
            FUZZ_CHECK(registry.Unit(c.unitNr).troubleStagesSent == 0);
        }

        if ((control & 0x80) != 0)
            fuzz.AnswerAll();
    }

    for (const FakeUnitStore::Write& w : fuzz.store.writes) {
        FUZZ_CHECK(used.count(w.nr) == 1);
        FUZZ_CHECK(w.offset >= 0 && static_cast<std::size_t>(w.offset) + w.bytes.size() <=
                                        static_cast<std::size_t>(kUnitDbRecordSize));
    }
    fuzz.FinishInput();
    return 0;
}
