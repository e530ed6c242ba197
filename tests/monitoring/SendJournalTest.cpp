#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/Format.h"
#include "fakes/FakeJournalFile.h"
#include "fakes/FakeLineOutput.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SendJournal.h"

using namespace korvan;

namespace {

using Lines = std::vector<std::string>;

const std::string kL1 = "5077 181234E13001005";
const std::string kL2 = "5077 181234E13001006";
const std::string kL3 = "5077 181234E13001007";

std::string ReadWhole(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// The real file, with a disk that can be made full: every write then fails
// as a full disk fails it.
class FlakyFile : public JournalFile {
public:
    explicit FlakyFile(const std::string& path) : real_(MakeJournalFile(path)) {}
    const std::string& Path() const override { return real_->Path(); }
    std::string ReadAll() override { return real_->ReadAll(); }
    std::string ReadAt(std::size_t at, std::size_t size) override {
        return real_->ReadAt(at, size);
    }
    std::string Replace(const Chunks& next) override {
        Check();
        return real_->Replace(next);
    }
    void Append(const std::string& bytes) override {
        Check();
        real_->Append(bytes);
    }
    void Truncate(std::size_t size) override {
        Check();
        real_->Truncate(size);
    }
    void Sync() override {
        ++syncs;
        Check();
        real_->Sync();
    }
    void Reserve(std::size_t bytes) override { real_->Reserve(bytes); }
    bool AtPath() override { return real_->AtPath(); }
    std::string KeepCopy(const std::string& stamp, const std::string& bytes) override {
        return real_->KeepCopy(stamp, bytes);
    }
    void Remove() override { real_->Remove(); }

    bool full = false;
    int syncs = 0;

private:
    void Check() const {
        if (full)
            throw std::system_error(ENOSPC, std::generic_category(),
                                    "Cannot write send buffer journal " + Path());
    }
    std::unique_ptr<JournalFile> real_;
};

class SendJournalTest : public ::testing::Test {
protected:
    // A journal on the file as the last run left it.
    std::unique_ptr<SendJournal> Make() {
        auto file = std::make_unique<FlakyFile>(path);
        flaky = file.get();
        return std::make_unique<SendJournal>(std::move(file), clock, logs.Channels());
    }
    // The same, restored.
    std::unique_ptr<SendJournal> Open() {
        auto j = Make();
        restored.clear();
        for (const auto& [id, line] : j->Restore()) restored.push_back(line);
        return j;
    }
    // What a start would restore now.
    Lines RestoredByNextStart() {
        SendJournal j(MakeJournalFile(path), clock, logs.Channels());
        Lines out;
        for (const auto& [id, line] : j.Restore()) out.push_back(line);
        return out;
    }
    std::uintmax_t FileSize() const { return std::filesystem::file_size(path); }

    FakeScheduler clock;
    TestLogChannels logs{clock, clock};
    std::string path = logs.dir.Path() + "RAZUDovuve.journal";
    std::string aside = path + ".2026-12-08_10-30-00.bad";
    FlakyFile* flaky = nullptr;
    Lines restored;
};

TEST_F(SendJournalTest, WaitingLinesComeBackInTheirOrderAndDoneOnesDoNot) {
    auto j = Open();
    EXPECT_TRUE(restored.empty());
    const std::uint64_t id1 = j->Add(kL1);
    j->Add(kL2);
    EXPECT_TRUE(j->SyncPending());
    j->Sync();
    EXPECT_FALSE(j->SyncPending());
    j->Add(kL3);
    j->Done(id1);
    j.reset();  // a kill: nothing more is written

    EXPECT_EQ((Lines{kL2, kL3}), RestoredByNextStart());
    // Restored lines are kept again by the run that restored them.
    EXPECT_EQ((Lines{kL2, kL3}), RestoredByNextStart());
    EXPECT_TRUE(logs.Imp().empty());
    EXPECT_TRUE(logs.Err().empty());
}

// A kill or a power cut in the middle of a write leaves the last record
// short, garbled or followed by zeros: it is left out without a word.
TEST_F(SendJournalTest, ATornLastRecordIsLeftOut) {
    struct Case {
        const char* name;
        void (*tear)(const std::string& path);
        Lines left;
    };
    const Case cases[] = {
        {"cut in the last record",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 5);
         },
         {kL1, kL2}},
        {"only its first byte",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 34);
         },
         {kL1, kL2}},
        {"zeros after it",
         [](const std::string& p) {
             std::filesystem::resize_file(p, std::filesystem::file_size(p) + 4096);
         },
         {kL1, kL2, kL3}},
        {"its checksum wrong",
         [](const std::string& p) {
             std::string data = ReadWhole(p);
             data.back() = static_cast<char>(data.back() ^ 0x5A);
             WriteWhole(p, data);
         },
         {kL1, kL2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path);
        auto j = Open();
        j->Add(kL1);
        j->Add(kL2);
        j->Add(kL3);
        j.reset();
        c.tear(path);

        j = Open();
        EXPECT_EQ(c.left, restored);
        EXPECT_TRUE(logs.Imp().empty());
        EXPECT_TRUE(logs.Err().empty());
        EXPECT_FALSE(std::filesystem::exists(aside));
        j.reset();
        EXPECT_EQ(c.left, RestoredByNextStart());
    }
}

// A damaged journal is copied aside with the date in its name and told; every
// line outside the damage is kept, and the start goes on with a journal that
// works. A second copy in the same second gets a name of its own.
TEST_F(SendJournalTest, ADamagedJournalIsCopiedAsideAndItsGoodLinesKept) {
    struct Case {
        const char* name;
        bool garbage;  // else one byte inside the second of three records is changed
        Lines kept;
        std::string why;
        std::string told;
    };
    const Case cases[] = {
        {"garbage",
         true,
         {},
         "300 byte(s) in 1 place(s) skipped, up to 9 line(s) lost; 0",
         "300 byte(s) skipped, up to 9 line(s) lost, 0"},
        {"damage before the end",
         false,
         {kL1, kL3},
         "35 byte(s) in 1 place(s) skipped, up to 1 line(s) lost; 1",
         "35 byte(s) skipped, up to 1 line(s) lost, 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(path);
        std::filesystem::remove(aside);
        std::filesystem::remove(path + ".2026-12-08_10-30-00.1.bad");
        logs.ClearMemos();
        std::string data;
        if (c.garbage) {
            for (int i = 0; i < 300; ++i) data += static_cast<char>((i * 7919) & 0xFF);
        } else {
            auto j = Open();
            j->Add(kL1);
            j->Add(kL2);
            j->Add(kL3);
            j.reset();
            data = ReadWhole(path);
            data[50] = 'X';
        }
        WriteWhole(path, data);

        auto j = Open();
        EXPECT_EQ(c.kept, restored);
        EXPECT_EQ(data, ReadWhole(aside));
        EXPECT_EQ(Lines{"!! Send buffer journal was damaged: " + c.told +
                        " line(s) after the damage restored; kept as " + aside},
                  logs.Imp());
        EXPECT_EQ(Lines{"ERR in RestoreSendBuffer, Error Msg: Send buffer journal " + path +
                        " is damaged: " + c.why + " line(s) after the damage restored"},
                  logs.Err());
        EXPECT_TRUE(logs.errLed.IsBlinking());
        j->Add(kL3);
        j.reset();
        Lines after = c.kept;
        after.push_back(kL3);
        EXPECT_EQ(after, RestoredByNextStart());
        // The same damage again within the second: the first copy stays.
        WriteWhole(path, data + "x");
        Open();
        EXPECT_EQ(data, ReadWhole(aside));
        EXPECT_EQ(data + "x", ReadWhole(path + ".2026-12-08_10-30-00.1.bad"));
    }
}

// A full disk or a folder that cannot be written: every line is still kept
// (in memory), the outage is told once, the file is written anew at most
// every 5 s at the next line or sync, and once that works the end is told and
// every waiting line is on disk again.
TEST_F(SendJournalTest, AJournalThatCannotBeWrittenIsToldOnceAndCatchesUp) {
    for (const bool fromTheStart : {true, false}) {
        SCOPED_TRACE(fromTheStart ? "folder not writable at start" : "disk full while running");
        std::filesystem::remove(path);
        logs.ClearMemos();
        auto file = std::make_unique<FlakyFile>(path);
        flaky = file.get();
        flaky->full = fromTheStart;
        SendJournal j(std::move(file), clock, logs.Channels());
        j.Restore();
        const std::uint64_t id1 = j.Add(kL1);
        flaky->full = true;
        j.Add(kL2);
        EXPECT_TRUE(j.Failing());
        // Nothing to wait for: the units are answered at once.
        EXPECT_FALSE(j.SyncPending());
        j.Add(kL3);
        j.Done(id1);
        j.Sync();
        const Lines told = {"ERR in SendJournal, Error Msg: Cannot write send buffer journal " +
                            path +
                            ": No space left on device; waiting lines are kept in memory only "
                            "until it can be written again"};
        EXPECT_EQ(told, logs.Err());
        EXPECT_TRUE(logs.errLed.IsBlinking());
        EXPECT_EQ(2u, j.Waiting());

        flaky->full = false;
        clock.Advance(SendJournal::kRetryMs - 1);
        j.Sync();
        EXPECT_TRUE(j.Failing());
        clock.Advance(1);
        j.Sync();
        EXPECT_FALSE(j.Failing());
        Lines both = told;
        both.push_back("Send buffer journal written again: 2 waiting line(s) kept on disk");
        EXPECT_EQ(both, logs.Err());
        EXPECT_EQ((Lines{kL2, kL3}), RestoredByNextStart());
    }
}

// The file holds what waits, not what was: it goes back to its header when
// nothing waits, and is written anew when done lines outweigh waiting ones.
TEST_F(SendJournalTest, TheFileStaysAsSmallAsWhatWaits) {
    auto j = Open();
    const std::uintmax_t empty = FileSize();
    std::uint64_t id = j->Add(kL1);
    EXPECT_GT(FileSize(), empty);
    j->Done(id);
    EXPECT_EQ(empty, FileSize());

    j->Add(kL1);  // stays waiting throughout
    std::uintmax_t largest = 0;
    for (int i = 0; i < 5000; ++i) {
        id = j->Add(kL2);
        j->Done(id);
        largest = std::max(largest, FileSize());
    }
    EXPECT_LT(largest, SendJournal::kCompactBytes + 1024);
    j->Add(kL3);
    j.reset();
    EXPECT_EQ((Lines{kL1, kL3}), RestoredByNextStart());
}

// The send buffer keeps alarm lines in the journal until they leave it:
// answered by the monitoring software or dropped after three refusals.
// Heartbeats are never kept.
TEST_F(SendJournalTest, TheSendBufferKeepsWhatItHasNotDelivered) {
    FakeLineOutput link(clock);
    {
        auto j = Open();
        SendBuffer buffer(link, clock, clock, logs.Channels(), j.get());
        buffer.AddToSendBuffer(kL1);
        buffer.QueueLine(kL2);
        buffer.QueueLine(kL3);
        buffer.AddHeartbeat();
        link.Answer({0x06});  // kL1 answered
        for (int i = 0; i < 3; ++i) {
            if (i > 0)
                clock.Advance(SendBuffer::kSendTimerMs);
            link.Answer({0x15});  // kL2 refused, dropped at the third
        }
        EXPECT_EQ(kL3, buffer.SendBufferHeadLine());
    }
    logs.ClearMemos();

    auto j = Make();
    SendBuffer buffer(link, clock, clock, logs.Channels(), j.get());
    link.open = false;
    buffer.AddHeartbeat();  // queued by the settings before the restore
    EXPECT_EQ(1, buffer.RestoreFromJournal());
    EXPECT_EQ((Lines{"1077           @    ", kL3}), buffer.Lines());
    EXPECT_EQ(Lines{"Send buffer restored: 1 line(s) waiting from the last run"}, logs.Imp());
    EXPECT_EQ("Restored: " + kL3, logs.All().back());
}

// A journal on in-memory files holding `bytes` (and `side` in the side file).
struct FakeJournals {
    std::unique_ptr<SendJournal> Make(const std::string& bytes, const std::string& sides = "") {
        auto f = std::make_unique<FakeJournalFile>(), s = std::make_unique<FakeJournalFile>("j.2");
        file = f.get(), side = s.get();
        file->bytes = bytes, side->bytes = sides;
        return std::make_unique<SendJournal>(std::move(f), clock, logs.Channels(), std::move(s));
    }
    // The lines a start restores.
    Lines Restored(const std::string& bytes, const std::string& sides = "", int failRead = 0) {
        auto j = Make(bytes, sides);
        file->failRead = failRead;
        Lines out;
        for (const auto& [id, line] : j->Restore()) out.push_back(line);
        return out;
    }
    FakeScheduler clock;
    TestLogChannels logs{clock, clock};
    FakeJournalFile* file = nullptr;
    FakeJournalFile* side = nullptr;
};

// Ten lines of 35-byte records after the 8-byte header.
std::string Ten(Lines* lines) {
    FakeJournals fj;
    auto j = fj.Make("");
    j->Restore();
    for (int i = 0; i < 10; ++i) j->Add(lines->emplace_back(Format("5077 181234E1300100%d", i)));
    return fj.file->bytes;
}

// Damage costs only the records it hits; where no copy of the damaged file
// can be kept it is left exactly as it is until one can.
TEST(SendJournalDamageTest, OnlyTheDamagedRecordsAreLost) {
    Lines ten;
    const std::string good = Ten(&ten);
    struct Case {
        const char* name;
        std::size_t at;  // this byte set to 0xFF, or the file cut here when `cut`
        bool cut;
        int lost;  // line, -1: none
        int failCopy;
    };
    const Case cases[] = {
        {"length beyond any line at 35 %", 8 + 3 * 35 + 10, false, 3, 0},
        {"checksum at 70 %", 8 + 6 * 35 + 33, false, 6, 0},
        {"kind of the first record", 8, false, 0, 0},
        {"header", 2, false, -1, 0},
        {"torn tail", good.size() - 5, true, 9, 0},
        {"no room for a copy", 8 + 4 * 35 + 20, false, 4, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good.substr(0, c.cut ? c.at : good.size());
        if (!c.cut)
            bytes[c.at] = static_cast<char>(0xFF);
        Lines kept = ten;
        if (c.lost >= 0)
            kept.erase(kept.begin() + c.lost);
        FakeJournals fj;
        auto j = fj.Make(bytes);
        fj.file->failCopy = c.failCopy;
        Lines restored;
        for (const auto& [id, line] : j->Restore()) restored.push_back(line);
        EXPECT_EQ(kept, restored);
        EXPECT_EQ(c.cut ? 0u : 1u, fj.logs.Imp().size());
        EXPECT_EQ(c.cut || c.failCopy != 0 ? Lines{} : Lines{bytes}, fj.file->copies);
        EXPECT_EQ(c.failCopy != 0, fj.file->bytes == bytes);
        fj.file->failCopy = 0;
        fj.clock.Advance(SendJournal::kRetryMs);
        j->Sync();
        EXPECT_EQ(c.cut ? Lines{} : Lines{bytes}, fj.file->copies);
        EXPECT_EQ(kept, FakeJournals().Restored(fj.file->bytes));
    }
}

// A read error is tried again at once; a journal that still cannot be read is
// left alone, new lines go to the side file, and once it reads its lines go
// ahead of them, in the buffer as in the file. A start restores both files.
TEST(SendJournalDamageTest, AnUnreadableJournalIsLeftAloneAndItsLinesComeFirstOnceItReads) {
    Lines all;
    const std::string good = Ten(&all);
    all.push_back(kL1);
    EXPECT_EQ(Lines(all.begin(), all.end() - 1),
              FakeJournals().Restored(good, "", SendJournal::kReadTries - 1));
    FakeJournals fj;
    auto j = fj.Make(good);
    fj.file->failRead = -1;
    FakeLineOutput link(fj.clock);
    SendBuffer buffer(link, fj.clock, fj.clock, fj.logs.Channels(), j.get());
    EXPECT_EQ(0, buffer.RestoreFromJournal());
    const std::uint64_t id = buffer.QueueLine(kL1);
    buffer.Commit();
    EXPECT_TRUE(j->Durable(id));
    EXPECT_EQ(good, fj.file->bytes);  // never written while it cannot be read
    EXPECT_EQ(all, FakeJournals().Restored(good, fj.side->synced));

    fj.file->failRead = 0;
    fj.clock.Advance(SendJournal::kRetryMs);
    buffer.Commit();
    EXPECT_EQ(all, buffer.Lines());
    EXPECT_EQ((Lines{"!! Send buffer journal /data/RAZUDovuve.journal cannot be read: new lines go "
                     "to j.2 until it can",
                     "Send buffer journal /data/RAZUDovuve.journal read again: 10 older line(s) go "
                     "ahead of the 1 line(s) queued since it could not be read"}),
              fj.logs.Imp());
    EXPECT_EQ(all, FakeJournals().Restored(fj.file->synced, fj.side->bytes));
    EXPECT_TRUE(fj.side->bytes.empty());
}

// A rewrite needs room for a second copy: when it fails, the lines are still
// appended to the file as it is, its torn tail cut, durable at the next sync.
TEST(SendJournalDamageTest, ARewriteThatFailsLeavesTheAppendsRunning) {
    Lines ten;
    const std::string good = Ten(&ten);
    FakeJournals fj;
    auto j = fj.Make(good.substr(0, good.size() - 3));
    fj.file->failReplace = -1;
    EXPECT_EQ(9u, j->Restore().size());
    for (int i = 0; i < 3000; ++i) j->Done(j->Add(kL2));  // compaction fails, told once
    const std::uint64_t id = j->Add(kL3);
    j->Sync();
    EXPECT_TRUE(j->Durable(id));
    EXPECT_EQ(1u, fj.logs.Err().size());
    ten.back() = kL3;
    EXPECT_EQ(ten, FakeJournals().Restored(fj.file->synced));
}

// A rewrite whose folder could not be synced stands: the new file is in use,
// and the folder is told once.
TEST(SendJournalDamageTest, ARewriteWhoseFolderCannotBeSyncedStands) {
    Lines ten;
    const std::string good = Ten(&ten);
    FakeJournals fj;
    auto j = fj.Make(good.substr(0, good.size() - 3));
    fj.file->folderNotSynced = "Cannot sync folder /data/: Input/output error";
    EXPECT_EQ(9u, j->Restore().size());
    const std::uint64_t id = j->Add(kL3);
    j->Sync();
    EXPECT_TRUE(j->Durable(id));
    EXPECT_EQ(Lines{"ERR in SendJournal, Error Msg: Cannot sync folder /data/: Input/output error"},
              fj.logs.Err());
    ten.back() = kL3;
    EXPECT_EQ(ten, FakeJournals().Restored(fj.file->synced));
}

// A long backlog restores with one entry per line only for the first 100,
// and is told once when 10 000 lines wait and once when fewer than 9 000 do.
TEST(SendJournalBacklogTest, ALongBacklogIsToldOnceEachWay) {
    struct Case {
        int waiting, answered;
        Lines imp;
        int restoredEntries;
        std::string lastAll;
    };
    const std::string restored = "Send buffer restored: %d line(s) waiting from the last run";
    const std::string tenK = "!! 10000 lines are waiting for the monitoring software";
    const std::string eased = "Fewer than 9000 lines are waiting for the monitoring software";
    const Case cases[] = {
        {100, 0, {Format(restored.c_str(), 100)}, 100, "Restored: 5077 181234E13000099"},
        {101, 0, {Format(restored.c_str(), 101)}, 101, "Restored: ... and 1 more line(s)"},
        {10000, 1000, {Format(restored.c_str(), 10000), tenK}, 101, ""},
        {10000, 1001, {Format(restored.c_str(), 10000), tenK, eased}, 101, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waiting + c.answered);
        std::string bytes;
        {
            FakeJournals fj;
            auto j = fj.Make("");
            j->Restore();
            for (int i = 0; i < c.waiting; ++i) j->Add(Format("5077 181234E1300%04d", i));
            bytes = fj.file->bytes;
        }
        FakeJournals fj;
        auto j = fj.Make(bytes);
        FakeLineOutput link(fj.clock);
        SendBuffer buffer(link, fj.clock, fj.clock, fj.logs.Channels(), j.get());
        EXPECT_EQ(c.waiting, buffer.RestoreFromJournal());
        for (int i = 0; i < c.answered; ++i) buffer.AckBufferHead();
        EXPECT_EQ(c.waiting - c.answered, buffer.SendBufferCount());
        EXPECT_EQ(Format("5077 181234E1300%04d", c.answered), buffer.SendBufferHeadLine());
        EXPECT_EQ(c.imp, fj.logs.Imp());
        const Lines all = fj.logs.All();
        EXPECT_EQ(c.restoredEntries, std::count_if(all.begin(), all.end(), [](const auto& e) {
                      return e.rfind("Restored: ", 0) == 0;
                  }));
        if (!c.lastAll.empty()) {
            EXPECT_EQ(c.lastAll, all.back());
        }
    }
}

// A backlog longer than the window waits in the file and drains from it in
// order, the window bounded and the count exact, through a kill in the middle
// and through a file that cannot be written for a while.
TEST(SendJournalBacklogTest, ABacklogLongerThanTheWindowDrainsInOrder) {
    constexpr int kW = static_cast<int>(SendJournal::kWindowLines);
    const auto line = [](int i) { return Format("5077 1%05dE13001005", i); };
    struct Case {
        const char* name;
        int killAfter;    // answered lines before the kill, -1: none
        bool failAppend;  // once, while the window is full
        bool failSync;    // once, losing what was written since the last sync
    };
    for (const Case c :
         {Case{"drained", -1, false, false}, Case{"killed", kW + 7, false, false},
          Case{"file full a while", -1, true, false}, Case{"sync failed", -1, false, true}}) {
        SCOPED_TRACE(c.name);
        FakeJournals fj;
        auto j = fj.Make("");
        FakeLineOutput link(fj.clock);
        auto buffer =
            std::make_unique<SendBuffer>(link, fj.clock, fj.clock, fj.logs.Channels(), j.get());
        buffer->RestoreFromJournal();
        std::uint64_t id = 0;
        for (int i = 0; i < 3 * kW; ++i) {
            fj.file->failAppend = c.failAppend && i == 2 * kW ? 1 : 0;
            id = buffer->QueueLine(line(i));
        }
        fj.clock.Advance(SendJournal::kRetryMs);
        fj.file->failSync = c.failSync ? 1 : 0;
        fj.file->dropUnsynced = c.failSync;
        buffer->Commit();
        EXPECT_TRUE(buffer->Durable(id));
        for (int next = 0; next < 3 * kW; ++next) {
            if (next == c.killAfter) {
                const std::string left = fj.file->bytes;
                buffer.reset();
                j = fj.Make(left);
                buffer = std::make_unique<SendBuffer>(link, fj.clock, fj.clock, fj.logs.Channels(),
                                                      j.get());
                ASSERT_EQ(3 * kW - next, buffer->RestoreFromJournal());
            }
            ASSERT_EQ(3 * kW - next, buffer->SendBufferCount());
            ASSERT_EQ(line(next), buffer->SendBufferHeadLine());
            ASSERT_LE(j->InMemory(), SendJournal::kWindowLines);
            buffer->AckBufferHead();
        }
        EXPECT_EQ(0, buffer->SendBufferCount());
        EXPECT_EQ(std::string("RAZU-SJ1"), fj.file->bytes);
    }
}

}  // namespace
