// passes: times the receiver's sweeps over all 10000 unit slots with a full
// registry, on the receiver core (built and started by ReceiverRig on fakes
// in a scratch folder, with the real log channels and database file),
// driven by a settable clock:
//   - one CheckCommSt pass (the minute tick) when no unit is due,
//   - one rebuild of the units grid's rows by the filter (empty filter,
//     a filter that matches one unit, a filter that matches none),
//   - one load of the database at start-up (ReadDB_and_FillU_onStartUp,
//     from the core's open database into a fresh registry).
// Prints one "pass NAME runs=.. median_us=.. min_us=.. max_us=.." line each.
//
//   usage: passes [--runs N]
//          passes --write-db PATH    writes a database file with 10000 units
//                                    in use, heard a minute ago, and exits
//          passes --write-journal PATH N
//                                    writes a send journal with N lines
//                                    waiting (through the journal itself)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/ReceiverRig.h"
#include "fakes/TestLogChannels.h"
#include "monitoring/SendBuffer.h"
#include "monitoring/SendJournal.h"
#include "monitoring/Supervision.h"
#include "registry/UnitDb.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"

using namespace korvan;

// The units view's filter, when this tree has it; else the same loop here.
#if __has_include("registry/UnitsView.h")
#include "registry/UnitsView.h"
#define KORVAN_HAVE_UNITS_VIEW 1
#endif

namespace {

using Steady = std::chrono::steady_clock;

// The local wall-clock time now, as the receiver's clock gives it.
TDateTime LocalNow() {
    const std::time_t t = std::time(nullptr);
    std::tm lt{};
    localtime_r(&t, &lt);
    TDateTime dt = 0;
    TryEncodeDateTime({lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                       std::min(lt.tm_sec, 59), 0},
                      dt);
    return dt;
}

void Put(std::string& rec, int offset, const Bytes& bytes) {
    std::memcpy(rec.data() + offset, bytes.data(), bytes.size());
}

// 400000 bytes: every slot in use, with every field filled as a real unit's
// would be, last heard one minute before `now`.
std::string FullDatabase(TDateTime now) {
    std::string db;
    db.reserve(kUnitDbFileSize);
    for (int nr = 0; nr < kUnitCount; ++nr) {
        std::string rec(kUnitDbRecordSize, '\0');
        char text[32];
        rec[dbrec::kUsed] = 1;
        std::snprintf(text, sizeof text, "35000000000%.4d", nr);
        Put(rec, dbrec::kImei, EncodeImei(text));
        std::snprintf(text, sizeof text, "10.%d.%d.%d", nr / 10000, nr / 100 % 100, nr % 100 + 1);
        Put(rec, dbrec::kIp, EncodeIp(text));
        Put(rec, dbrec::kPort, EncodePort(20000 + nr));
        Put(rec, dbrec::kFirstMsg, EncodeDbTime(now - 30.0));
        Put(rec, dbrec::kLastMsg, EncodeDbTime(now - 1.0 / 1440));
        Put(rec, dbrec::kFirmware, EncodeFirmware(std::string("\x01\x02\x03", 3)));
        std::snprintf(text, sizeof text, "%.4d", nr);
        Put(rec, dbrec::kAccount, EncodeAccount(text));
        db += rec;
    }
    return db;
}

struct Timing {
    std::vector<double> us;

    template <typename Body>
    void Run(int runs, Body&& body) {
        for (int i = 0; i < runs; ++i) {
            const auto start = Steady::now();
            body();
            us.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count());
        }
    }

    void Print(const char* name) {
        std::sort(us.begin(), us.end());
        std::printf("pass %s runs=%zu median_us=%.1f min_us=%.1f max_us=%.1f\n", name, us.size(),
                    us[us.size() / 2], us.front(), us.back());
    }
};

#ifdef KORVAN_HAVE_UNITS_VIEW
constexpr const char* kFilterSource = "ApplyUnitFilter";
void FilterRows(Registry& registry, const std::string& text) {
    ApplyUnitFilter(registry, registry.Table(), text);
}
#else
constexpr const char* kFilterSource = "equivalent loop (no registry/UnitsView.h)";
// The grid's filter rebuild as the units view does it: one linear pass over
// the slots with the table's updates suspended.
void FilterRows(Registry& registry, const std::string& text) {
    UnitTable& table = registry.Table();
    table.BeginUpdate();
    table.Clear();
    for (int nr = 0; nr < kUnitCount; ++nr) {
        const UnitRecord& u = registry.Unit(nr);
        if (!u.used)
            continue;
        if (text.empty() || u.rowText.find(text) != std::string::npos) {
            table.Insert(static_cast<std::uint16_t>(nr));
        }
    }
    table.First();
    table.EndUpdate();
}
#endif

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--write-db" && i + 1 < argc) {
            std::ofstream f(argv[i + 1], std::ios::binary | std::ios::trunc);
            f << FullDatabase(LocalNow());
            return f ? 0 : 1;
        }
        if (arg == "--write-journal" && i + 2 < argc) {
            FakeScheduler clock;
            TestLogChannels logs(clock, clock);
            SendJournal journal(MakeJournalFile(argv[i + 1]), clock, logs.Channels());
            journal.Restore();
            const long lines = std::atol(argv[i + 2]);
            for (long n = 0; n < lines; ++n) {
                char line[32];
                std::snprintf(line, sizeof line, "5077 18%04ldE13001%03ld", n % 10000, n % 1000);
                journal.Add(line);
            }
            journal.Sync();
            return journal.Failing() ? 1 : 0;
        }
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "usage: passes [--runs N] | --write-db PATH | --write-journal PATH N\n");
            return 2;
        }
    }

    // Neither heartbeat nor start-up delay: the minute tick looks at every
    // slot at once and nothing but what it raises waits in the send buffer.
    ReceiverRig rig(LocalNow());
    rig.dir.Write("RAZUDovuve.ini", "33665\r\nCOM1\r\n15\r\n60\r\n240\r\n0\r\n0\r\n");
    rig.dir.Write("RAZUDovuve.db", FullDatabase(rig.clock.Now()));
    Receiver& core = rig.Create();
    Registry& registry = core.Units();
    UnitTable& table = registry.Table();
    if (!rig.StartUpDone() || table.RowCount() != kUnitCount) {
        std::fprintf(stderr, "passes: the receiver started with %d units\n", table.RowCount());
        return 1;
    }

    // The database load: a fresh registry each time, as at start-up.
    {
        Timing t;
        for (int i = 0; i < std::max(1, runs / 10); ++i) {
            UnitTable rows;
            Registry fresh(core.Logs(), rows);
            t.Run(1, [&] {
                rig.Database().ReadDB_and_FillU_onStartUp(fresh, rig.clock.Now(),
                                                          rig.clock.MonotonicMs());
            });
            if (rows.RowCount() != kUnitCount) {
                std::fprintf(stderr, "passes: %d rows loaded\n", rows.RowCount());
                return 1;
            }
        }
        t.Print("db_load");
    }

    // The minute tick with every unit heard a minute ago: nothing is due,
    // every slot is looked at.
    {
        Timing t;
        t.Run(runs, [&] { rig.Supervisor().CheckCommSt(); });
        if (rig.Buffer().SendBufferCount() != 0) {
            std::fprintf(stderr, "passes: CheckCommSt raised %d lines\n",
                         rig.Buffer().SendBufferCount());
            return 1;
        }
        t.Print("check_comm_st");
    }

    std::printf("note filter passes time %s\n", kFilterSource);
    {
        struct Case {
            const char* name;
            const char* text;
            int rows;
        };
        const Case cases[] = {{"filter_empty", "", kUnitCount},
                              {"filter_one_unit", "350000000000123", 1},
                              {"filter_no_match", "no such text", 0}};
        for (const Case& c : cases) {
            Timing t;
            t.Run(runs, [&] { FilterRows(registry, c.text); });
            if (table.RowCount() != c.rows) {
                std::fprintf(stderr, "passes: filter \"%s\" left %d rows, expected %d\n", c.text,
                             table.RowCount(), c.rows);
                return 1;
            }
            t.Print(c.name);
        }
    }
    return 0;
}
