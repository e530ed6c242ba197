#include <gtest/gtest.h>

#include <string>

#include "monitoring/MonitoringLines.h"

using namespace korvan;

namespace {

struct EventCase {
    const char* account;
    const char* event;
    const char* partition;
    const char* zone;
    const char* line;
};

TEST(MonitoringLines, EventLineTakesQualifierFromFirstEventDigit) {
    const EventCase cases[] = {
        {"1234", "1130", "01", "005", "5077 181234E13001005"},
        {"1234", "3130", "01", "005", "5077 181234R13001005"},
        {"0001", "6401", "00", "000", "5077 180001R40100000"},
        {"9999", "1602", "99", "999", "5077 189999E60299999"},
        {"12B4", "0130", "0A", "C05", "5077 1812B4R1300AC05"},
    };
    for (const auto& c : cases) {
        const std::string line = MakeEventLine(c.account, c.event, c.partition, c.zone);
        EXPECT_EQ(c.line, line) << c.event;
        EXPECT_EQ(20u, line.size());
    }
}

TEST(MonitoringLines, TroubleLineCarriesStageAsZone) {
    EXPECT_EQ("5077 181234E35000001", MakeTroubleLine("1234", 1));
    EXPECT_EQ("5077 181234E35000002", MakeTroubleLine("1234", 2));
    EXPECT_EQ("5077 18FFFFE35000003", MakeTroubleLine("FFFF", 3));
}

TEST(MonitoringLines, RestoreLine) {
    EXPECT_EQ("5077 181234R35000000", MakeRestoreLine("1234"));
    EXPECT_EQ("5077 1812B4R35000000", MakeRestoreLine("12B4"));
}

TEST(MonitoringLines, HeartbeatIsTwentyCharactersWithOneAt) {
    const std::string hb = HeartbeatLine;
    EXPECT_EQ("1077           @    ", hb);
    EXPECT_EQ(20u, hb.size());
}

// A control byte from a unit must not end the line early (0x14) nor start a
// new one (CR, LF) on the monitoring software's side.
TEST(MonitoringLines, UnitControlBytesBecomeQuestionMarks) {
    const std::string line =
        MakeEventLine(std::string("12\x14", 3) + "4", "1\r30", std::string("\n", 1) + "1",
                      "0\x7F"
                      "5");
    EXPECT_EQ("5077 1812?4E?30?10?5", line);
    EXPECT_EQ("5077 18????E35000001", MakeTroubleLine(std::string("\0\x01\x1F\x7F", 4), 1));
    EXPECT_EQ("5077 18\x80?AZR35000000", MakeRestoreLine("\x80\x0A"
                                                         "AZ"));
}

TEST(MonitoringLines, FieldsAreCutOrPaddedToTheirWidth) {
    const struct {
        std::string line;
        const char* expected;
    } cases[] = {
        {MakeEventLine("12", "1", "0", "5"), "5077 1812  E   0 5  "},
        {MakeEventLine("123456", "113099", "012", "0055"), "5077 181234E13001005"},
        {MakeEventLine("", "", "", ""), "5077 18    R        "},
        {MakeRestoreLine("123"), "5077 18123 R35000000"},
        {MakeTroubleLine("", 2), "5077 18    E35000002"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, c.line);
        EXPECT_EQ(20u, c.line.size());
    }
}

}  // namespace
