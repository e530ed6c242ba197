#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/UnitTable.h"

using namespace korvan;

namespace {

class RecordingObserver : public UnitTable::Observer {
public:
    void RowsReset() override { events.push_back("reset"); }
    void RowInserted(int p) override { events.push_back("ins " + std::to_string(p)); }
    void RowRemoved(int p) override { events.push_back("del " + std::to_string(p)); }
    void CurrentChanged(int p) override { events.push_back("cur " + std::to_string(p)); }
    std::vector<std::string> events;
};

std::vector<int> Rows(const UnitTable& t) {
    std::vector<int> out;
    for (int i = 0; i < t.RowCount(); ++i) out.push_back(t.RowAt(i));
    return out;
}

TEST(UnitTable, StartsEmptyWithoutCurrentRow) {
    UnitTable t;
    EXPECT_TRUE(t.IsOpen());
    EXPECT_TRUE(t.Empty());
    EXPECT_EQ(-1, t.Current());
    EXPECT_EQ(-1, t.CurrentUnitNr());
    t.DeleteCurrent();  // nothing to delete
    t.SetCurrent(3);
    EXPECT_EQ(-1, t.Current());
}

TEST(UnitTable, KeepsRowsAscendingWithoutDuplicates) {
    UnitTable t;
    for (int nr : {12, 3, 9999, 0, 12, 7}) t.Insert(static_cast<std::uint16_t>(nr));
    EXPECT_EQ((std::vector<int>{0, 3, 7, 12, 9999}), Rows(t));
    EXPECT_EQ(3, t.Find(12));
    EXPECT_EQ(-1, t.Find(5));
}

TEST(UnitTable, CurrentRowStaysOnItsUnitWhenRowsAreInserted) {
    struct Case {
        int insert;
        std::vector<std::string> events;
        int currentPosition;
    };
    // Table 10, 20, 30 with the current row on 20 (position 1).
    const Case cases[] = {
        {5, {"ins 0", "cur 2"}, 2},                // before: the unit moves down a row
        {15, {"ins 1", "cur 2"}, 2},               // just before it
        {25, {"ins 2"}, 1},                        // after: nothing moves
        {40, {"ins 3"}, 1},          {20, {}, 1},  // already there
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.insert);
        UnitTable t;
        for (int nr : {10, 20, 30}) t.Insert(static_cast<std::uint16_t>(nr));
        t.SetCurrent(1);
        RecordingObserver o;
        t.SetObserver(&o);
        t.Insert(static_cast<std::uint16_t>(c.insert));
        EXPECT_EQ(c.events, o.events);
        EXPECT_EQ(c.currentPosition, t.Current());
        EXPECT_EQ(20, t.CurrentUnitNr());
    }
}

TEST(UnitTable, FirstRowOfAnEmptyTableBecomesCurrent) {
    UnitTable t;
    RecordingObserver o;
    t.SetObserver(&o);
    t.Insert(42);
    EXPECT_EQ((std::vector<std::string>{"ins 0", "cur 0"}), o.events);
    EXPECT_EQ(42, t.CurrentUnitNr());
}

TEST(UnitTable, DeleteCurrentMovesToTheFollowingRowOrTheLast) {
    struct Case {
        int current;
        std::vector<int> rows;
        int newCurrentUnit;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {0, {20, 30}, 20, {"del 0", "cur 0"}},
        {1, {10, 30}, 30, {"del 1", "cur 1"}},
        {2, {10, 20}, 20, {"del 2", "cur 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current);
        UnitTable t;
        for (int nr : {10, 20, 30}) t.Insert(static_cast<std::uint16_t>(nr));
        t.SetCurrent(c.current);
        RecordingObserver o;
        t.SetObserver(&o);
        t.DeleteCurrent();
        EXPECT_EQ(c.rows, Rows(t));
        EXPECT_EQ(c.newCurrentUnit, t.CurrentUnitNr());
        EXPECT_EQ(c.events, o.events);
    }
}

TEST(UnitTable, DeletingTheLastRowLeavesNoCurrentRow) {
    UnitTable t;
    t.Insert(1);
    RecordingObserver o;
    t.SetObserver(&o);
    t.DeleteCurrent();
    EXPECT_TRUE(t.Empty());
    EXPECT_EQ(-1, t.CurrentUnitNr());
    EXPECT_EQ((std::vector<std::string>{"del 0"}), o.events);
}

TEST(UnitTable, SetCurrentStaysWithinTheRows) {
    UnitTable t;
    for (int nr : {1, 2, 3}) t.Insert(static_cast<std::uint16_t>(nr));
    t.SetCurrent(7);
    EXPECT_EQ(2, t.Current());
    t.SetCurrent(-4);
    EXPECT_EQ(0, t.Current());
    t.SetCurrent(2);
    t.First();
    EXPECT_EQ(1, t.CurrentUnitNr());
}

TEST(UnitTable, UpdatesBetweenBeginAndEndReachTheViewAsOneReset) {
    UnitTable t;
    t.Insert(5);
    RecordingObserver o;
    t.SetObserver(&o);
    t.BeginUpdate();
    t.BeginUpdate();  // nested
    t.Clear();
    t.Insert(9);
    t.Insert(3);
    t.DeleteCurrent();
    t.EndUpdate();
    EXPECT_TRUE(o.events.empty());
    t.EndUpdate();
    EXPECT_EQ((std::vector<std::string>{"reset"}), o.events);
    EXPECT_EQ((std::vector<int>{3}), Rows(t));
    t.EndUpdate();  // unbalanced: ignored
    EXPECT_EQ(1u, o.events.size());
}

TEST(UnitTable, ClearTellsTheViewToReset) {
    UnitTable t;
    t.Insert(5);
    RecordingObserver o;
    t.SetObserver(&o);
    t.Clear();
    EXPECT_TRUE(t.Empty());
    EXPECT_EQ((std::vector<std::string>{"reset"}), o.events);
}

}  // namespace
