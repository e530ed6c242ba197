#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/Format.h"
#include "device/DeviceTestSupport.h"
#include "fakes/FakeJournalFile.h"
#include "fakes/ReceiverRig.h"
#include "monitoring/SendBuffer.h"

using namespace korvan;
using namespace devtest;

namespace {

// Event k of unit 0123: FrameID k; its line ends in zone k.
Bytes Ev(int k) {
    return AppendCrc(Concat({Hex(Format("06 00 00 %02X 03 02 01 00 1A 0C 08 0A 1E 00", k)),
                             Text(Format("1234113001%03d", k))}));
}
std::string Line(int k) {
    return Format("5077 181234E13001%03d", k);
}

// The whole receiver on an in-memory journal file, each answer checked as it
// leaves: an Event's ACK only once the disk holds its line (a sync or a
// rewrite covered it) or the monitoring software has taken the line.
struct OutageRig {
    OutageRig() {
        rig.journalFiles = [this](const std::string& path) {
            auto f = std::make_unique<FakeJournalFile>(path);
            (path.back() == '2' ? side : file) = f.get();
            return f;
        };
        rig.Create();
        rig.udp.onSend = [this] {
            safeAtSend.push_back(file->synced + side->synced);
            waiting.push_back(rig.Buffer().Lines());
        };
    }
    std::vector<int> Acked() {
        std::vector<int> ids;
        for (std::size_t i = 0; i < rig.udp.sent.size(); ++i) {
            const int k = ids.emplace_back(rig.udp.sent[i].data[3]);
            EXPECT_TRUE(safeAtSend[i].find(Line(k)) != std::string::npos ||
                        std::count(waiting[i].begin(), waiting[i].end(), Line(k)) == 0)
                << "ACK of Event " << k << " before its line was safe";
        }
        return ids;
    }
    ReceiverRig rig;
    FakeJournalFile* file = nullptr;
    FakeJournalFile* side = nullptr;
    std::vector<std::string> safeAtSend;
    std::vector<std::vector<std::string>> waiting;
};

// Events 1 and 2 read together, 3 alone, then 1 again from another port;
// then the journal is mended (or the monitoring software takes the first
// lines) and the retry tick comes.
TEST(JournalOutageTest, AnEventIsAnsweredOnlyOnceItsLineIsSafe) {
    using Step = std::function<void(OutageRig&)>;
    const Step none = [](OutageRig&) {};
    const Step full = [](OutageRig& t) { t.file->failAppend = t.file->failReplace = -1; };
    const Step room = [](OutageRig& t) { t.file->failAppend = t.file->failReplace = 0; };
    const Step taken = [](OutageRig& t) {
        for (int i = 0; i < 3; ++i) t.rig.Buffer().AckBufferHead();  // heartbeat, 1, 2
    };
    struct Case {
        const char* name;
        Step fault, mend;
        std::vector<int> ackedAtOnce, acked;
        int waiting;
    } const cases[] = {
        {"healthy", none, none, {1, 2, 3}, {1, 2, 3, 1}, 5},
        {"a sync fails: all written anew",
         [](OutageRig& t) { t.file->failSync = 1; },
         none,
         {1, 2, 3},
         {1, 2, 3, 1},
         5},
        {"file replaced under us",
         [](OutageRig& t) { t.file->moved = true; },
         none,
         {1, 2, 3},
         {1, 2, 3, 1},
         5},
        {"disk full, then room", full, room, {}, {1, 2, 3}, 4},
        {"disk full, lines taken", full, taken, {}, {1, 2}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutageRig t;
        c.fault(t);
        const int syncs = t.file->syncs;
        t.rig.udp.DeliverBatch({{"10.0.0.5", 4000, Ev(1)}, {"10.0.0.5", 4000, Ev(2)}});
        EXPECT_EQ(c.ackedAtOnce.empty() ? 0 : 1, t.file->syncs - syncs);  // one for the batch
        t.rig.Receive(Ev(3));
        EXPECT_EQ(c.ackedAtOnce, t.Acked());
        t.rig.Receive(Ev(1), "10.0.0.5", 4001);
        c.mend(t);
        t.rig.clock.Advance(SendJournal::kRetryMs);
        EXPECT_EQ(c.acked, t.Acked());
        // A held ACK answers the latest copy, which queued no second line.
        EXPECT_EQ(c.ackedAtOnce.empty() ? 4001 : 4000, t.rig.udp.sent.at(0).port);
        EXPECT_EQ(c.waiting, t.rig.Buffer().SendBufferCount());
    }
}

}  // namespace
