#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fakes/CaseName.h"
#include "fakes/FakeScheduler.h"
#include "fakes/TempDir.h"
#include "fakes/TestLogChannels.h"
#include "settings/SettingsStore.h"

using namespace korvan;

namespace {

const std::string kIni = "RAZUDovuve.ini";
const std::string kStamp = "2026.12.08 10:30:00 - ";
const std::vector<std::string> kInitialRows = {"33665", "COM3", "15", "60", "240", "7", "30", ""};
const std::vector<std::string> kReplacements = {"33665", "COM1", "15", "60", "240", "7", "30", ""};

class SettingsStoreTest : public ::testing::Test, public ISettingEffects {
protected:
    SettingsStoreTest() : store(values, ch.Channels(), dir.Path() + kIni, *this) {}

    // Every effect records its call with the value in force at that moment,
    // and the settings file as it stood then.
    void DoActivateUDPSrvPort(bool force) override {
        Record("udp " + std::to_string(values.UDPSrvPort) + (force ? " force" : ""));
        if (throwInUdp)
            throw std::runtime_error("boom");
    }
    void DoActivateSerialPort() override { Record("serial " + values.SerialPortName); }
    void DoActivateMonitoringTcp() override { Record("tcp " + values.TcpLink.Text()); }
    void AddPing() override { Record("addping " + std::to_string(values.PingInterval)); }
    void StopPingTimer() override { Record("stopping"); }
    void StartPingTimer(int ms) override { Record("startping " + std::to_string(ms)); }
    void Beep() override { Record("beep"); }
    bool StartUpDone() const override { return startUpDone; }

    void Record(const std::string& call) {
        calls.push_back(call);
        const std::string path = dir.Path() + kIni;
        if (!dir.Exists(kIni)) {
            fileAtCall.push_back("<none>");
        } else if (!std::filesystem::is_regular_file(path) ||
                   std::filesystem::file_size(path) > 4096) {
            fileAtCall.push_back("<other>");
        } else {
            fileAtCall.push_back(dir.Read(kIni));
        }
    }

    std::vector<std::string> RowValues() const {
        std::vector<std::string> v;
        for (const SettingsRow& r : store.Rows()) v.push_back(r.value);
        return v;
    }

    // The eight working values as text, in id order.
    std::vector<std::string> InForce() const {
        return {std::to_string(values.UDPSrvPort),   values.SerialPortName,
                std::to_string(values.CommTrouble1), std::to_string(values.CommTrouble2),
                std::to_string(values.CommTrouble3), std::to_string(values.CommTroubleStartUpDelay),
                std::to_string(values.PingInterval), values.TcpLink.Text()};
    }

    static std::string FileOf(const std::vector<std::string>& lines) {
        std::string s;
        for (const std::string& l : lines) s += l + "\r\n";
        return s;
    }

    TempDir dir;
    FakeScheduler clock{46364.4375};  // 2026-12-08 10:30:00
    TestLogChannels ch{clock, clock};
    WorkingSettings values;
    bool startUpDone = false;
    bool throwInUdp = false;
    std::vector<std::string> calls;
    std::vector<std::string> fileAtCall;
    SettingsStore store;
};

TEST_F(SettingsStoreTest, InitialTableKeysValuesHintsAndUnits) {
    const std::vector<std::string> keys = {"UDP Server Port",
                                           "Serial Port",
                                           "Comm Trouble 1",
                                           "Comm Trouble 2",
                                           "Comm Trouble 3",
                                           "Comm Trouble StartUp Delay",
                                           "Ping Interval To Monit.Software",
                                           "Monitoring TCP"};
    ASSERT_EQ(8u, store.Rows().size());
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(i, store.Rows()[i].id);
        EXPECT_EQ(keys[i], store.Rows()[i].key);
    }
    EXPECT_EQ(kInitialRows, RowValues());
    EXPECT_EQ(kReplacements, InForce());  // the defaults; the row reads COM3 until applied

    EXPECT_EQ("33665 ", store.DisplayValue(0));
    EXPECT_EQ("COM3 ", store.DisplayValue(1));
    EXPECT_EQ("15 min.", store.DisplayValue(2));
    EXPECT_EQ("7 min.", store.DisplayValue(5));
    EXPECT_EQ("30 sec.", store.DisplayValue(6));
    EXPECT_EQ(" ", store.DisplayValue(7));
    EXPECT_EQ("", store.DisplayValue(8));

    EXPECT_EQ("UDP Server Listen Port\r\nvalid value [1..65534]", store.HintForRow(1));
    EXPECT_EQ("Serial Port\r\ne.g. CNCA1, COM1, COM2, etc.", store.HintForRow(2));
    EXPECT_EQ("CommTrouble1\r\nvalid value [1..9999] min.\r\n0=Disabled", store.HintForRow(3));
    EXPECT_EQ("CommTrouble2\r\nvalid value [1..9999] min.\r\n0=Disabled", store.HintForRow(4));
    EXPECT_EQ("CommTrouble3\r\nvalid value [1..9999] min.\r\n0=Disabled", store.HintForRow(5));
    EXPECT_EQ("CommTrouble StartUp Delay\r\nvalid value [1..60] min.\r\n0=Disabled",
              store.HintForRow(6));
    EXPECT_EQ("Ping Interval To Monitoring Software\r\nvalid value [5..60] sec.\r\n0=Disabled",
              store.HintForRow(7));
    EXPECT_EQ("", store.HintForRow(0));  // title row
    EXPECT_EQ(
        "Monitoring Software over TCP\r\nlisten PORT, or listen ADDRESS:PORT, then optionally\r\n"
        "from ADDRESS: the software connects to this port\r\nor HOST:PORT: connect to the "
        "software's listener\r\nempty=Disabled",
        store.HintForRow(8));
    EXPECT_EQ("", store.HintForRow(9));
}

// One stored edit after start-up: the row shown, the value in force, the
// calls made (all before the file is written, then the beep) and the line
// the file gets.
struct EditCase {
    int row;
    std::string typed;
    std::string rowAfter;
    std::string inForce;
    std::vector<std::string> calls;
    std::string fileLine;
};

void PrintTo(const EditCase& c, std::ostream* os) {
    *os << "row " << c.row << " typed " << ::testing::PrintToString(c.typed);
}

// The row's setting and what was typed, e.g. "UdpPort_Minus1".
std::string EditCaseName(const ::testing::TestParamInfo<EditCase>& info) {
    static const char* const kRows[] = {"UdpPort",      "SerialPort",   "CommTrouble1",
                                        "CommTrouble2", "CommTrouble3", "StartUpDelay",
                                        "PingInterval", "MonitoringTcp"};
    return std::string(kRows[info.param.row]) + "_" + CaseName(info.param.typed);
}

class SettingsEditTest : public SettingsStoreTest,
                         public ::testing::WithParamInterface<EditCase> {};

TEST_P(SettingsEditTest, StoredEditIsCheckedAppliedSavedAndConfirmed) {
    const EditCase& c = GetParam();
    startUpDone = true;
    store.PostValue(c.row, c.typed);

    EXPECT_EQ(c.rowAfter, store.Rows()[c.row].value);
    EXPECT_EQ(c.inForce, InForce()[c.row]);
    std::vector<std::string> expectedCalls = c.calls;
    expectedCalls.push_back("beep");
    EXPECT_EQ(expectedCalls, calls);

    std::vector<std::string> lines = kInitialRows;
    lines[c.row] = c.fileLine;
    EXPECT_EQ(FileOf(lines), dir.Read(kIni));
    EXPECT_TRUE(ch.errMemo.entries.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsEditTest,
    ::testing::Values(
        // UDP port: 1..65534, else 33665; the endpoint is asked in both cases.
        EditCase{0, "0", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "65535", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "65534", "65534", "65534", {"udp 65534"}, "65534"},
        EditCase{0, "1", "1", "1", {"udp 1"}, "1"},
        EditCase{0, "-1", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "+5", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "0x10", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "1 5", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "4294967297", "33665", "33665", {"udp 33665"}, "33665"},  // no wrap
        EditCase{0, "2147483648", "33665", "33665", {"udp 33665"}, "33665"},
        EditCase{0, "0040000", "0040000", "40000", {"udp 40000"}, "0040000"},
        // Serial port: 3..6 characters after trimming, else COM1.
        EditCase{1, "CNCA1", "CNCA1", "CNCA1", {"serial CNCA1"}, "CNCA1"},
        EditCase{1, "COM", "COM", "COM", {"serial COM"}, "COM"},
        EditCase{1, "AB", "COM1", "COM1", {"serial COM1"}, "COM1"},
        EditCase{1, "USB123", "USB123", "USB123", {"serial USB123"}, "USB123"},
        EditCase{1, "COM1234", "COM1", "COM1", {"serial COM1"}, "COM1"},
        EditCase{1, " AB\t", "COM1", "COM1", {"serial COM1"}, "COM1"},
        EditCase{1, " COM5 ", " COM5 ", "COM5", {"serial COM5"}, "COM5"},
        EditCase{1,
                 "\x01"
                 "COM5\x7f",
                 "\x01"
                 "COM5\x7f",
                 "COM5",
                 {"serial COM5"},
                 "COM5"},
        // Trouble thresholds: 0..9999, nothing called.
        EditCase{2, " 15 ", " 15 ", "15", {}, "15"}, EditCase{2, "0", "0", "0", {}, "0"},
        EditCase{2, "9999", "9999", "9999", {}, "9999"}, EditCase{2, "10000", "15", "15", {}, "15"},
        EditCase{3, "-5", "60", "60", {}, "60"}, EditCase{3, "120", "120", "120", {}, "120"},
        EditCase{4, "abc", "240", "240", {}, "240"}, EditCase{4, "007", "007", "7", {}, "007"},
        // Start-up delay: 0..60.
        EditCase{5, "61", "7", "7", {}, "7"}, EditCase{5, "60", "60", "60", {}, "60"},
        EditCase{5, "0", "0", "0", {}, "0"},
        // Ping interval: 0 or 5..60; heartbeat queued, timer restarted when on.
        EditCase{6, "4", "30", "30", {"addping 30", "stopping", "startping 30000"}, "30"},
        EditCase{6, "0", "0", "0", {"addping 0", "stopping"}, "0"},
        EditCase{6, "5", "5", "5", {"addping 5", "stopping", "startping 5000"}, "5"},
        EditCase{6, "60", "60", "60", {"addping 60", "stopping", "startping 60000"}, "60"},
        EditCase{6, "61", "30", "30", {"addping 30", "stopping", "startping 30000"}, "30"},
        // Monitoring TCP: started anew at every store; invalid becomes empty (off).
        EditCase{7,
                 "listen 1025",
                 "listen 1025",
                 "listen 127.0.0.1:1025",
                 {"tcp listen 127.0.0.1:1025"},
                 "listen 1025"},
        EditCase{7, "listen 70000", "", "", {"tcp "}, ""}, EditCase{7, "", "", "", {"tcp "}, ""}),
    EditCaseName);

TEST_F(SettingsStoreTest, FirstEditWithoutFileWritesAllEightRowsAsTheyStand) {
    startUpDone = true;
    store.PostValue(3, "90");
    EXPECT_EQ("33665\r\nCOM3\r\n15\r\n90\r\n240\r\n7\r\n30\r\n\r\n", dir.Read(kIni));
    EXPECT_FALSE(dir.Exists(kIni + ".tmp"));
}

TEST_F(SettingsStoreTest, EditAppliesFirstThenWritesFileThenBeeps) {
    startUpDone = true;
    store.PostValue(6, "10");
    EXPECT_EQ((std::vector<std::string>{"addping 10", "stopping", "startping 10000", "beep"}),
              calls);
    // The effects ran before the file existed; the beep came after it was written.
    const std::string saved = "33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n10\r\n\r\n";
    EXPECT_EQ((std::vector<std::string>{"<none>", "<none>", "<none>", saved}), fileAtCall);

    // The next edit replaces the whole file; the old file stands until then.
    calls.clear();
    fileAtCall.clear();
    store.PostValue(0, "40000");
    EXPECT_EQ((std::vector<std::string>{"udp 40000", "beep"}), calls);
    EXPECT_EQ(
        (std::vector<std::string>{saved, "40000\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n10\r\n\r\n"}),
        fileAtCall);
}

TEST_F(SettingsStoreTest, BeforeStartUpRowsAreStoredUncheckedAndNothingIsSaved) {
    store.PostValue(0, "0");
    store.PostValue(6, "4");
    EXPECT_EQ("0", store.Rows()[0].value);
    EXPECT_EQ("4", store.Rows()[6].value);
    EXPECT_EQ(33665, values.UDPSrvPort);
    EXPECT_EQ(30, values.PingInterval);
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(dir.Exists(kIni));
    EXPECT_TRUE(store.MayInsertRow());
}

TEST_F(SettingsStoreTest, InsertRefusedAfterStartUpAndTableNeverGrows) {
    startUpDone = true;
    EXPECT_FALSE(store.MayInsertRow());
    store.PostValue(8, "1");
    store.PostValue(-1, "1");
    EXPECT_EQ(8u, store.Rows().size());
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(dir.Exists(kIni));
}

TEST_F(SettingsStoreTest, UnknownIdChangesNothing) {
    const WorkingSettings before = values;
    EXPECT_EQ(std::make_pair(false, std::string("x")), store.CheckSetValue(8, " x "));
    EXPECT_EQ(std::make_pair(false, std::string("5")), store.CheckSetValue(-1, "5"));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(before.UDPSrvPort, values.UDPSrvPort);
    EXPECT_EQ(before.SerialPortName, values.SerialPortName);
}

TEST_F(SettingsStoreTest, ErrorWhileApplyingIsReportedAndShowsEmptyText) {
    throwInUdp = true;
    EXPECT_EQ(std::make_pair(false, std::string()), store.CheckSetValue(0, "40000"));
    EXPECT_EQ((std::vector<std::string>{kStamp + "ERR in CheckSetValue, Error Msg: boom"}),
              ch.errMemo.entries);

    // Stored from the grid, the row becomes empty and so does the file line.
    startUpDone = true;
    store.PostValue(0, "40001");
    EXPECT_EQ("", store.Rows()[0].value);
    EXPECT_EQ("\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n\r\n", dir.Read(kIni));
    EXPECT_EQ(2u, ch.errMemo.entries.size());
}

TEST_F(SettingsStoreTest, NoFileChangesNothingCallsNothingCreatesNothing) {
    store.ReadSettings();
    EXPECT_EQ(kInitialRows, RowValues());
    EXPECT_EQ(kReplacements, InForce());  // the built-in defaults
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(dir.Exists(kIni));
    EXPECT_TRUE(ch.errMemo.entries.empty());
}

TEST_F(SettingsStoreTest, TwoLineFileLeavesDefaultsAndIsNotRewrittenUntilNextEdit) {
    dir.Write(kIni, "40000\r\nCOM5\r\n");
    store.ReadSettings();

    const std::vector<std::string> expected = {"40000", "COM5", "15", "60", "240", "7", "30", ""};
    EXPECT_EQ(expected, RowValues());
    EXPECT_EQ(expected, InForce());
    // Applied in id order; the UDP endpoint decides itself that start-up is
    // not done; nothing is saved and nothing beeps.
    EXPECT_EQ((std::vector<std::string>{"udp 40000", "serial COM5", "addping 30", "stopping",
                                        "startping 30000", "tcp "}),
              calls);
    EXPECT_EQ("40000\r\nCOM5\r\n", dir.Read(kIni));
    EXPECT_TRUE(ch.errMemo.entries.empty());

    startUpDone = true;
    store.PostValue(2, "20");
    EXPECT_EQ("40000\r\nCOM5\r\n20\r\n60\r\n240\r\n7\r\n30\r\n\r\n", dir.Read(kIni));
}

TEST_F(SettingsStoreTest, ReadKeepsTrimmedTextAndAppliesReplacements) {
    dir.Write(kIni, " 40000 \r\n\tCNCA1\r\n10000\r\n0\r\n9999\r\n61\r\n4\r\n");
    store.ReadSettings();
    EXPECT_EQ((std::vector<std::string>{"40000", "CNCA1", "15", "0", "9999", "7", "30", ""}),
              RowValues());
    EXPECT_EQ((std::vector<std::string>{"40000", "CNCA1", "15", "0", "9999", "7", "30", ""}),
              InForce());
    // An eighth line: the TCP link, trimmed; a ninth line is never read.
    dir.Write(kIni, "1\r\nCOM9\r\n2\r\n3\r\n4\r\n5\r\n6\r\n listen [::1]:1025 From ::1 \r\n9\r\n");
    store.ReadSettings();
    EXPECT_EQ((std::vector<std::string>{"1", "COM9", "2", "3", "4", "5", "6",
                                        "listen [::1]:1025 From ::1"}),
              RowValues());
    EXPECT_EQ("listen [::1]:1025 from ::1", InForce()[7]);
}

// Files that are damaged, foreign or huge: reading never fails, every row
// shows a value in force and every unusable value falls back.
// A file's content shared by every copy of its case: gtest copies each case
// several times while it registers them, in every test process, and some of
// these files are 10 MB.
class SharedText {
public:
    SharedText(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
    SharedText(const char* text) : SharedText(std::string(text)) {}
    operator const std::string&() const { return *text_; }
    std::size_t size() const { return text_->size(); }

private:
    std::shared_ptr<const std::string> text_;
};

struct FileCase {
    const char* name;
    SharedText content;
    std::vector<std::string> rows;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsFileTest : public SettingsStoreTest,
                         public ::testing::WithParamInterface<FileCase> {};

TEST_P(SettingsFileTest, ReadsRobustly) {
    const FileCase& c = GetParam();
    dir.Write(kIni, c.content);
    store.ReadSettings();
    EXPECT_EQ(c.rows, RowValues());
    // The row and the value in force agree wherever the text is a plain value.
    EXPECT_EQ(c.rows[0], std::to_string(values.UDPSrvPort));
    EXPECT_EQ(c.rows[2], std::to_string(values.CommTrouble1));
    EXPECT_EQ(c.rows[6], std::to_string(values.PingInterval));
    EXPECT_TRUE(ch.errMemo.entries.empty());
    EXPECT_EQ(c.content.size(), std::filesystem::file_size(dir.Path() + kIni));  // not rewritten
}

std::string Repeat(const std::string& s, std::size_t times) {
    std::string r;
    r.reserve(s.size() * times);
    for (std::size_t i = 0; i < times; ++i) r += s;
    return r;
}

const std::string kBinary = std::string("\x00\x01\x02\xff\r\n", 6) +  // "\xff" is no number
                            "\x1b[2J\r\n" +                           // "[2J": 3 characters
                            "\xff\xfe\xfd\r\n" +
                            std::string(
                                "\x00"
                                "12\x00\r\n",
                                6) +
                            "\x7f\x7f"
                            "5\x7f\r\n" +
                            "9\x80\r\n" + "\t\t\r\n" + "\x90\x91";

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFileTest,
    ::testing::Values(
        FileCase{"Empty", "", kReplacements},
        FileCase{"OnlyLineEnds", "\r\n\r\n\r\n", kReplacements},
        FileCase{"CrOnly",
                 "40000\rCOM5\r20\r30\r40\r5\r10\r",
                 {"40000", "COM5", "20", "30", "40", "5", "10", ""}},
        FileCase{"LfOnly",
                 "40000\nCOM5\n20\n30\n40\n5\n10\n",
                 {"40000", "COM5", "20", "30", "40", "5", "10", ""}},
        FileCase{"MixedEndsNoFinalEnd",
                 "40000\nCOM5\r\n20\r30\r\n40\n5\r10",
                 {"40000", "COM5", "20", "30", "40", "5", "10", ""}},
        // CR CR LF is an empty line between two values.
        FileCase{
            "CrCrLf", "40000\r\r\nCOM5\r\n", {"40000", "COM1", "15", "60", "240", "7", "30", ""}},
        FileCase{"EighthLineInvalid",
                 "1\r\nCOM9\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n",
                 {"1", "COM9", "2", "3", "4", "5", "6", ""}},
        FileCase{"Binary", kBinary, {"33665", "[2J", "15", "12", "5", "7", "30", ""}},
        FileCase{"TenMegabytesNoLineEnd", std::string(10 * 1024 * 1024, '7'), kReplacements},
        FileCase{"TenMegabytesOfLines",
                 Repeat("1\r\n", 3'500'000),
                 {"1", "COM1", "1", "1", "1", "1", "30", ""}},
        // A first line longer than the read limit hides everything after it.
        FileCase{"FirstLineBeyondLimit", std::string(100'000, 'A') + "\r\nCOM5\r\n", kReplacements},
        FileCase{"LongLinesWithinLimit",
                 std::string(30'000, 'x') + "\r\nCOM5\r\n" + std::string(30'000, '9') + "\r\n",
                 {"33665", "COM5", "15", "60", "240", "7", "30", ""}}),
    [](const ::testing::TestParamInfo<FileCase>& p) { return std::string(p.param.name); });

TEST_F(SettingsStoreTest, SettingsPathIsFolderReportsReadAndSaveErrors) {
    std::filesystem::create_directory(dir.Path() + kIni);
    store.ReadSettings();
    EXPECT_EQ(kInitialRows, RowValues());
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ((std::vector<std::string>{
                  kStamp + "ERR in ReadSettings, Error Msg: Cannot read settings file " +
                  dir.Path() + kIni + ": Is a directory"}),
              ch.errMemo.entries);

    ch.errMemo.Clear();
    startUpDone = true;
    store.PostValue(2, "20");
    EXPECT_EQ((std::vector<std::string>{
                  kStamp + "ERR in SaveSettings, Error Msg: Cannot replace settings file " +
                  dir.Path() + kIni + ": Is a directory"}),
              ch.errMemo.entries);
    EXPECT_EQ("20", store.Rows()[2].value);  // in force and shown all the same
    EXPECT_EQ(20, values.CommTrouble1);
    EXPECT_EQ((std::vector<std::string>{"beep"}), calls);
    EXPECT_FALSE(dir.Exists(kIni + ".tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() + kIni));
}

// Settings files the receiver creates are owner read-write, group read; an
// old file readable by everyone, and a temporary file left by a failed save,
// lose the others' read right with the next save.
TEST_F(SettingsStoreTest, SavedFileIsNeverWorldReadable) {
    struct Case {
        const char* name;
        int oldMode;  // -1: no file before
        bool staleTemp;
        mode_t expected;
    };
    const Case cases[] = {
        {"new file", -1, false, 0640},
        {"old file readable by all", 0644, false, 0640},
        {"stale temporary file", -1, true, 0640},
        {"old file of the owner alone", 0600, true, 0600},
    };
    startUpDone = true;
    const mode_t previous = ::umask(022);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.Path() + kIni);
        if (c.oldMode >= 0) {
            dir.Write(kIni, "1\r\n");
            ASSERT_EQ(0, ::chmod((dir.Path() + kIni).c_str(), static_cast<mode_t>(c.oldMode)));
        }
        if (c.staleTemp) {
            dir.Write(kIni + ".tmp", "stale");
            ASSERT_EQ(0, ::chmod((dir.Path() + kIni + ".tmp").c_str(), 0666));
        }
        store.PostValue(4, "300");
        struct stat st {};
        ASSERT_EQ(0, ::stat((dir.Path() + kIni).c_str(), &st));
        EXPECT_EQ(c.expected, st.st_mode & 07777);
        EXPECT_EQ("33665\r\nCOM3\r\n15\r\n60\r\n300\r\n7\r\n30\r\n\r\n", dir.Read(kIni));
        EXPECT_FALSE(dir.Exists(kIni + ".tmp"));
    }
    ::umask(previous);
    EXPECT_TRUE(ch.errMemo.entries.empty());
}

TEST_F(SettingsStoreTest, SaveKeepsThePermissionsOfTheOldFile) {
    dir.Write(kIni, "1\r\n");
    ASSERT_EQ(0, ::chmod((dir.Path() + kIni).c_str(), 0600));
    startUpDone = true;
    store.PostValue(4, "300");
    struct stat st {};
    ASSERT_EQ(0, ::stat((dir.Path() + kIni).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ("33665\r\nCOM3\r\n15\r\n60\r\n300\r\n7\r\n30\r\n\r\n", dir.Read(kIni));
}

}  // namespace
