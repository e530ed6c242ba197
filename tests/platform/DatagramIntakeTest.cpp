// The UDP intake: a bounded batch per turn of the event loop, the rest left
// for later turns, timers running in between.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "fakes/FakeScheduler.h"
#include "platform/DatagramIntake.h"

namespace {

// A socket's waiting datagrams and an event loop on fakes. One turn of the
// loop lets a millisecond pass, which fires the timers that fall due, then
// runs the calls posted before it.
class IntakeLoop {
public:
    explicit IntakeLoop(int batch = DatagramIntake::kBatch)
        : intake([this] { return ReadOne(); }, [this] { posted.push_back([this] { intake.Continue(); }); },
                 batch) {}

    void Queue(const std::string& from, int count) {
        for (int i = 0; i < count; ++i) waiting.push_back(from);
    }
    // The socket's notice of waiting data, then turns until nothing is posted.
    void RunUntilIdle() {
        intake.OnReadyRead();
        while (!posted.empty()) Turn();
    }
    void Turn() {
        ++turns;
        clock.Advance(1);
        std::deque<std::function<void()>> now;
        now.swap(posted);
        for (auto& call : now) call();
    }

    FakeScheduler clock;
    std::deque<std::string> waiting;
    std::vector<std::string> handled;
    std::deque<std::function<void()>> posted;
    int turns = 0;
    // Called as each datagram is handled (a flood refilling the socket).
    std::function<void()> onHandled;
    DatagramIntake intake;

private:
    bool ReadOne() {
        if (waiting.empty()) return false;
        handled.push_back(waiting.front());
        waiting.pop_front();
        if (onHandled) onHandled();
        return true;
    }
};

TEST(DatagramIntake, OneCallTakesAtMostTheBatchAndAsksForAnotherTurnOnlyWhenItWasFull) {
    struct Case {
        int waiting;
        int handledAtOnce;
        bool turnAskedFor;
        int turnsToEmpty;
    };
    const Case cases[] = {
        {0, 0, false, 0},     {1, 1, false, 0},     {255, 255, false, 0},
        {256, 256, true, 1},  {257, 256, true, 1},  {1000, 256, true, 3},
    };
    for (const Case& c : cases) {
        IntakeLoop loop;
        loop.Queue("10.0.0.9:4000", c.waiting);
        loop.intake.OnReadyRead();
        EXPECT_EQ(c.handledAtOnce, static_cast<int>(loop.handled.size())) << c.waiting;
        EXPECT_EQ(c.waiting - c.handledAtOnce, static_cast<int>(loop.waiting.size())) << c.waiting;
        EXPECT_EQ(c.turnAskedFor, loop.intake.TurnPending()) << c.waiting;
        EXPECT_EQ(c.turnAskedFor ? 1u : 0u, loop.posted.size()) << c.waiting;
        while (!loop.posted.empty()) loop.Turn();
        EXPECT_EQ(c.waiting, static_cast<int>(loop.handled.size())) << c.waiting;
        EXPECT_EQ(c.turnsToEmpty, loop.turns) << c.waiting;
    }
}

TEST(DatagramIntake, TimersRunBetweenTheBatchesOfALongQueue) {
    IntakeLoop loop;
    loop.Queue("10.0.0.9:4000", 1000);
    std::vector<std::size_t> handledAtTick;
    auto timer = loop.clock.CreateTimer(1, false, [&] { handledAtTick.push_back(loop.handled.size()); });
    timer->Start();

    loop.RunUntilIdle();

    EXPECT_EQ(1000u, loop.handled.size());
    EXPECT_EQ((std::vector<std::size_t>{256, 512, 768}), handledAtTick);
}

TEST(DatagramIntake, NoticeOfDataWhileATurnIsPendingLeavesTheDataToThatTurn) {
    IntakeLoop loop;
    loop.Queue("10.0.0.9:4000", 600);
    loop.intake.OnReadyRead();
    ASSERT_EQ(256u, loop.handled.size());
    loop.intake.OnReadyRead();  // more arrived in the meantime
    EXPECT_EQ(256u, loop.handled.size());
    EXPECT_EQ(1u, loop.posted.size());
    loop.Turn();
    EXPECT_EQ(512u, loop.handled.size());
    loop.Turn();
    EXPECT_EQ(600u, loop.handled.size());
    EXPECT_FALSE(loop.intake.TurnPending());
    EXPECT_TRUE(loop.posted.empty());
}

// One address refills the socket faster than a batch empties it; a unit
// beside it is still reached in arrival order, and the heartbeat timer keeps
// its period throughout.
TEST(DatagramIntake, AUnitBehindAFloodIsReachedWhileTimersKeepTicking) {
    IntakeLoop loop(16);
    loop.Queue("10.0.0.66:5000", 40);
    int fromFlood = 0;
    loop.onHandled = [&] {
        if (++fromFlood % 8 == 0) loop.Queue("10.0.0.66:5000", 10);  // 20 more per batch of 16
        if (fromFlood == 30) loop.Queue("10.0.0.5:4000", 1);         // the unit's Event
    };
    std::vector<std::int64_t> ticks;
    auto heartbeat = loop.clock.CreateTimer(5, false, [&] { ticks.push_back(loop.clock.MonotonicMs()); });
    heartbeat->Start();
    const std::int64_t start = loop.clock.MonotonicMs();

    loop.intake.OnReadyRead();
    for (int turn = 0; turn < 40 && !loop.posted.empty(); ++turn) loop.Turn();

    const auto unit = std::find(loop.handled.begin(), loop.handled.end(), "10.0.0.5:4000");
    ASSERT_NE(loop.handled.end(), unit);
    // Queued behind the first 40 + 3 * 10 of the flood: 70 datagrams ahead of it.
    EXPECT_EQ(70, unit - loop.handled.begin());
    EXPECT_FALSE(loop.waiting.empty());  // the flood goes on
    ASSERT_EQ(8u, ticks.size());
    for (std::size_t i = 0; i < ticks.size(); ++i)
        EXPECT_EQ(start + 5 * static_cast<std::int64_t>(i + 1), ticks[i]);
}

}  // namespace
