#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/FakeScheduler.h"
#include "fakes/TestLogChannels.h"
#include "registry/Units.h"
#include "registry/UnitsView.h"

using namespace korvan;

namespace {

// 2026-12-08 10:30:00.
constexpr TDateTime kNow = 46364.4375;
constexpr double kSecond = 1.0 / 86400.0;

std::string Str(const Rgb& c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

// --- Colours -----------------------------------------------------------------

struct ColourCase {
    int troubleStagesSent;
    Rgb top;
    Rgb bottom;
};

// The flag byte in hex: "0x09".
std::string FlagsText(int troubleStagesSent) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", troubleStagesSent);
    return hex;
}

void PrintTo(const ColourCase& c, std::ostream* os) {
    *os << "flags " << FlagsText(c.troubleStagesSent);
}

class RowColoursTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(RowColoursTest, FollowTheHighestStageReported) {
    const ColourCase& c = GetParam();
    const GradientColours g = RowColours(static_cast<std::uint8_t>(c.troubleStagesSent));
    EXPECT_EQ(Str(c.top), Str(g.top));
    EXPECT_EQ(Str(c.bottom), Str(g.bottom));
}

constexpr Rgb kW{255, 255, 255};
INSTANTIATE_TEST_SUITE_P(AllFlagValues, RowColoursTest,
                         ::testing::Values(ColourCase{0, kW, {222, 222, 222}},
                                           ColourCase{1, kW, {254, 209, 122}},
                                           ColourCase{2, {255, 237, 213}, {255, 158, 28}},
                                           // stages 1 and 2 reported: stage 2 colours
                                           ColourCase{3, {255, 237, 213}, {255, 158, 28}},
                                           // stage 3 alone (stages 1 and 2 off): stage 3 colours
                                           ColourCase{4, {255, 193, 139}, {255, 123, 0}},
                                           ColourCase{5, {255, 193, 139}, {255, 123, 0}},
                                           ColourCase{6, {255, 193, 139}, {255, 123, 0}},
                                           ColourCase{7, {255, 193, 139}, {255, 123, 0}},
                                           // bits above the stages are no stage
                                           ColourCase{8, kW, {222, 222, 222}},
                                           ColourCase{0x09, kW, {254, 209, 122}},
                                           ColourCase{0xFC, {255, 193, 139}, {255, 123, 0}}),
                         [](const ::testing::TestParamInfo<ColourCase>& p) {
                             return "Flags" + FlagsText(p.param.troubleStagesSent);
                         });

TEST(CellTextColour, BlackUnlessSelectedThenBlueOrWhite) {
    for (int v = 0; v <= 7; ++v)
        EXPECT_EQ("0,0,0", Str(CellTextColour(static_cast<std::uint8_t>(v), false))) << v;
    EXPECT_EQ("0,0,255", Str(CellTextColour(0, true)));
    EXPECT_EQ("0,0,255", Str(CellTextColour(1, true)));
    for (int v = 2; v <= 7; ++v)
        EXPECT_EQ("255,255,255", Str(CellTextColour(static_cast<std::uint8_t>(v), true))) << v;
}

TEST(KeyCellColours, WhiteToLightGrey) {
    EXPECT_EQ("255,255,255", Str(kKeyCellColours.top));
    EXPECT_EQ("222,222,222", Str(kKeyCellColours.bottom));
}

// --- Cell texts ----------------------------------------------------------------

TEST(UnitColumns, TitlesAndWidthsInOrder) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"Unit ID", 52},       {"Account", 52},         {"IP:Port", 134}, {"Last Test Time", 111},
        {"No Test Time", 111}, {"First Msg Time", 111}, {"Imei", 134},    {"FirmWare Ver", 78}};
    ASSERT_EQ(expected.size(), kUnitColumns.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].first, kUnitColumns[i].title);
        EXPECT_EQ(expected[i].second, kUnitColumns[i].width);
    }
}

TEST(UnitCellText, EveryColumn) {
    UnitRecord u;
    u.used = true;
    u.account = "1234";
    u.address = "192.0.2.5";
    u.port = 4000;
    u.firstMessage = kNow - 3;        // 05.12.2026 10:30:00
    u.lastMessage = kNow - 1.0 / 24;  // 08.12.2026 09:30:00
    u.imei = "352099001761481";
    u.firmwareVersion = "1.2.15";
    const TDateTime now = u.lastMessage + 1 + (2 * 3600 + 3 * 60 + 4) * kSecond;

    const std::vector<std::string> expected = {"0012",
                                               "1234",
                                               "192.0.2.5",
                                               "08.12.2026 09:30:00",
                                               "1d. 02:03:04",
                                               "05.12.2026 10:30:00",
                                               "352099001761481",
                                               "1.2.15"};
    for (int col = 0; col < kUnitColumnCount; ++col)
        EXPECT_EQ(expected[static_cast<std::size_t>(col)], UnitCellText(u, 12, col, now)) << col;
    EXPECT_EQ(":4000", UnitPortText(u));
    EXPECT_EQ("", UnitCellText(u, 12, 8, now));
    EXPECT_EQ("", UnitCellText(u, 12, -1, now));
}

TEST(UnitCellText, EmptyFieldsDrawNothingAndNumberHasFourDigits) {
    UnitRecord u;
    u.used = true;
    u.port = 4000;
    u.lastMessage = kNow;
    u.firstMessage = 46364.0;  // exactly midnight: no time part
    EXPECT_EQ("0000", UnitCellText(u, 0, unitcol::kUnitId, kNow));
    EXPECT_EQ("9999", UnitCellText(u, 9999, unitcol::kUnitId, kNow));
    EXPECT_EQ("", UnitCellText(u, 7, unitcol::kAccount, kNow));
    EXPECT_EQ("", UnitCellText(u, 7, unitcol::kIpPort, kNow));
    EXPECT_EQ(":4000", UnitPortText(u));  // only the port is drawn, 90 px right
    EXPECT_EQ("", UnitCellText(u, 7, unitcol::kImei, kNow));
    EXPECT_EQ("", UnitCellText(u, 7, unitcol::kFirmWareVer, kNow));
    EXPECT_EQ("08.12.2026", UnitCellText(u, 7, unitcol::kFirstMsgTime, kNow));
    EXPECT_EQ("0d. 00:00:00", UnitCellText(u, 7, unitcol::kNoTestTime, kNow));
}

TEST(UnitCellText, NoTestTimeIsMeasuredFromTheGivenMoment) {
    UnitRecord u;
    u.lastMessage = kNow;
    EXPECT_EQ("0d. 00:00:59", UnitCellText(u, 1, unitcol::kNoTestTime, kNow + 59 * kSecond));
    EXPECT_EQ("0d. 01:00:00", UnitCellText(u, 1, unitcol::kNoTestTime, kNow + 3600 * kSecond));
    EXPECT_EQ("12d. 00:00:01", UnitCellText(u, 1, unitcol::kNoTestTime, kNow + 12 + kSecond));
}

TEST(FilterText, BlanksAndControlsOffBothEnds) {
    EXPECT_EQ("0012", FilterText("  0012 \t"));
    EXPECT_EQ("00 12", FilterText("\r\n00 12\x01"));
    EXPECT_EQ("", FilterText("   "));
    EXPECT_EQ("", FilterText(""));
}

// --- Filter ------------------------------------------------------------------

// Records what the view is told.
class RecordingObserver : public UnitTable::Observer {
public:
    void RowsReset() override {
        events.push_back("reset");
        if (throwOnReset)
            throw std::runtime_error("view gone");
    }
    void RowInserted(int p) override { events.push_back("ins " + std::to_string(p)); }
    void RowRemoved(int p) override { events.push_back("rem " + std::to_string(p)); }
    void CurrentChanged(int p) override { events.push_back("cur " + std::to_string(p)); }
    std::vector<std::string> events;
    bool throwOnReset = false;
};

class UnitFilterTest : public ::testing::Test {
protected:
    UnitFilterTest() {
        Receive(12, "10.0.0.5", 4000, "ABCD", "352099001761481");
        Receive(3, "10.0.0.7", 5000, "0312", "");
        Receive(120, "192.0.2.9", 4001, "9999", "");
        Receive(4500, "10.0.0.12", 4002, "", "");
        table.SetObserver(&observer);
    }
    ~UnitFilterTest() override { table.SetObserver(nullptr); }

    void Receive(int nr, const std::string& ip, int port, const std::string& account,
                 const std::string& imei) {
        UnitMessage m;
        char text[8];
        std::snprintf(text, sizeof text, "%.4d", nr);
        m.unitText = text;
        m.now = clock.Now();
        m.nowMonoMs = clock.MonotonicMs();
        m.senderIP = ip;
        m.senderPort = port;
        m.imei = imei;
        m.msgAccount = account;
        m.oldAccount = registry->Unit(nr).account;
        if (!account.empty())
            registry->SetAccountFromMsg(nr, account);
        registry->UpdateUnitOnMessage(nr, m);
    }

    std::vector<int> Rows() const {
        std::vector<int> out;
        for (int i = 0; i < table.RowCount(); ++i) out.push_back(table.RowAt(i));
        return out;
    }

    FakeScheduler clock{kNow};
    TestLogChannels ch{clock, clock};
    UnitTable table;
    std::unique_ptr<Registry> registry = std::make_unique<Registry>(ch.Channels(), table);
    RecordingObserver observer;
    UnitFilter filter{*registry, table, clock, ch.err};
};

TEST_F(UnitFilterTest, RowsAreAllUnitsInOrderBeforeAnyFilter) {
    EXPECT_EQ((std::vector<int>{3, 12, 120, 4500}), Rows());
    EXPECT_FALSE(filter.DelayTimer().IsActive());
}

TEST_F(UnitFilterTest, SubstringAnywhereInTheRowTextOnePassOneReset) {
    struct Case {
        std::string text;
        std::vector<int> rows;
    };
    const std::vector<Case> cases = {
        {"0012", {12}},               // the unit number
        {"12", {3, 12, 120, 4500}},   // every row: the dates are in December
        {"0.0.1", {4500}},            // part of an address
        {"ABCD", {12}},               // account
        {"abcd", {}},                 // the match is case-sensitive
        {"3520990017", {12}},         // part of the IMEI
        {"192.0.2.9:4001", {120}},    // address with port
        {"4002 08.12.2026", {4500}},  // across two neighbouring fields
        {"nothing like it", {}},
        {"", {3, 12, 120, 4500}},
    };
    for (const Case& c : cases) {
        observer.events.clear();
        table.SetCurrent(table.RowCount() - 1);
        observer.events.clear();
        ApplyUnitFilter(*registry, table, c.text);
        EXPECT_EQ(c.rows, Rows()) << c.text;
        EXPECT_EQ(std::vector<std::string>{"reset"}, observer.events) << c.text;
        EXPECT_EQ(c.rows.empty() ? -1 : 0, table.Current()) << c.text;
    }
}

TEST_F(UnitFilterTest, BoxColourAndDelays) {
    // Blanks alone count as an empty box.
    EXPECT_EQ("255,255,255", Str(filter.TextChanged("   ")));
    EXPECT_EQ(kFilterClearedDelayMs, filter.DelayTimer().Interval());
    EXPECT_EQ("0,255,255", Str(filter.TextChanged(" 0")));
    EXPECT_EQ(kFilterDelayMs, filter.DelayTimer().Interval());
    EXPECT_TRUE(filter.DelayTimer().IsActive());
}

TEST_F(UnitFilterTest, TypingAppliesTheTrimmedText1500MsAfterTheLastKeystroke) {
    filter.TextChanged(" ");
    clock.Advance(50);
    filter.TextChanged(" 0");
    clock.Advance(1000);
    filter.TextChanged(" 00");
    clock.Advance(1000);
    filter.TextChanged(" 001");
    clock.Advance(1000);
    filter.TextChanged(" 0012 ");
    clock.Advance(1499);
    EXPECT_EQ((std::vector<int>{3, 12, 120, 4500}), Rows());
    EXPECT_TRUE(observer.events.empty());
    clock.Advance(1);
    EXPECT_EQ(std::vector<int>{12}, Rows());
    EXPECT_EQ(std::vector<std::string>{"reset"}, observer.events);
    EXPECT_FALSE(filter.DelayTimer().IsActive());
    // Idle afterwards: nothing is re-applied.
    clock.Advance(60000);
    EXPECT_EQ(std::vector<std::string>{"reset"}, observer.events);
}

TEST_F(UnitFilterTest, EmptyingTheBoxRestoresAllUnitsAfter100Ms) {
    filter.TextChanged("ABCD");
    clock.Advance(1500);
    ASSERT_EQ(std::vector<int>{12}, Rows());
    EXPECT_EQ("255,255,255", Str(filter.TextChanged("")));
    clock.Advance(99);
    EXPECT_EQ(std::vector<int>{12}, Rows());
    clock.Advance(1);
    EXPECT_EQ((std::vector<int>{3, 12, 120, 4500}), Rows());
}

TEST_F(UnitFilterTest, EmptyingBeforeTheDelayEndsNeverAppliesTheText) {
    filter.TextChanged("ABCD");
    clock.Advance(1000);
    filter.TextChanged("");
    clock.Advance(100);
    EXPECT_EQ((std::vector<int>{3, 12, 120, 4500}), Rows());
    EXPECT_EQ(std::vector<std::string>{"reset"}, observer.events);
    clock.Advance(5000);
    EXPECT_EQ(std::vector<std::string>{"reset"}, observer.events);
}

TEST_F(UnitFilterTest, ANewUnitGetsItsRowUnderAFilterThatDoesNotMatchIt) {
    filter.TextChanged("ABCD");
    clock.Advance(1500);
    ASSERT_EQ(std::vector<int>{12}, Rows());
    Receive(77, "10.9.9.9", 6000, "7777", "");
    EXPECT_EQ((std::vector<int>{12, 77}), Rows());
    // A known unit that starts to match later does not appear.
    Receive(3, "10.9.9.9", 6000, "ABCD", "");
    EXPECT_EQ((std::vector<int>{12, 77}), Rows());
}

TEST_F(UnitFilterTest, AFailureIsReportedUnderTheTimersName) {
    observer.throwOnReset = true;
    filter.TextChanged("0012");
    clock.Advance(1500);
    EXPECT_EQ(std::vector<std::string>{"ERR in TimerOnce_FilterTime, Error Msg: view gone"},
              ch.Err());
}

}  // namespace
