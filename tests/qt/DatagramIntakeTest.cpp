// The UDP intake: a bounded batch per turn of the event loop, the rest left
// for later turns with timers running in between; a flooding sender kept to
// its share; the intake's own queue bounded.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "fakes/FakeScheduler.h"
#include "qt/DatagramIntake.h"

using namespace korvan;

namespace {

struct Waiting {
    std::string sender;  // "address:port"
    int nr;
    std::size_t size = 9;
    bool tooLarge = false;
};

// A socket's waiting datagrams and an event loop on fakes. One turn of the
// loop lets a millisecond pass, which fires the timers that fall due, runs
// the calls posted before it, then gives the socket's notice when it holds
// datagrams. The socket holds at most `capacity` datagrams; what arrives
// beyond is lost, as the kernel loses it.
class IntakeLoop {
public:
    explicit IntakeLoop(DatagramIntake::Limits limits = {})
        : intake([this](DatagramIntake::Datagram& d) { return ReadOne(d); },
                 [this](const std::string& address, std::uint16_t port, const Bytes& data) {
                     handled.push_back(address + ":" + std::to_string(port) + "#" +
                                       std::to_string(data.empty() ? -1 : data[0] << 8 | data[1]));
                     handledInTurn.push_back(turns);
                 },
                 [this] { posted.push_back([this] { intake.Continue(); }); }, limits) {}

    void Arrive(const std::string& sender, int count, int firstNr = 0) {
        for (int i = 0; i < count; ++i) {
            if (socket.size() >= capacity) {
                ++lostInSocket;
                continue;
            }
            socket.push_back({sender, firstNr + i});
        }
    }
    void Turn() {
        ++turns;
        clock.Advance(1);
        std::deque<std::function<void()>> now;
        now.swap(posted);
        for (auto& call : now) call();
        if (!socket.empty())
            intake.OnReadyRead();
    }
    void RunUntilIdle() {
        intake.OnReadyRead();
        while (!posted.empty()) Turn();
    }
    std::size_t Waiting() const { return socket.size() + intake.Queued(); }

    FakeScheduler clock;
    std::deque<struct Waiting> socket;
    std::size_t capacity = 1'000'000;
    int lostInSocket = 0;
    std::vector<std::string> handled;
    std::vector<int> handledInTurn;
    std::deque<std::function<void()>> posted;
    int turns = 0;
    int reads = 0;
    DatagramIntake intake;

private:
    bool ReadOne(DatagramIntake::Datagram& d) {
        if (socket.empty())
            return false;
        ++reads;
        const struct Waiting w = socket.front();
        socket.pop_front();
        d.address = w.sender.substr(0, w.sender.find(':'));
        d.port = static_cast<std::uint16_t>(std::stoi(w.sender.substr(w.sender.find(':') + 1)));
        d.sender = std::hash<std::string>{}(w.sender);
        d.data.assign(std::max<std::size_t>(w.size, 2), 0);
        d.data[0] = static_cast<std::uint8_t>(w.nr >> 8);
        d.data[1] = static_cast<std::uint8_t>(w.nr);
        d.discard = w.tooLarge;
        return true;
    }
};

const std::string kUnit = "10.0.0.5:4000";
const std::string kFlood = "10.0.0.66:5000";

TEST(DatagramIntake, OneCallHandlesAtMostTheBatchAndTheRestWaitsForLaterTurns) {
    struct Case {
        int waiting;
        int handledAtOnce;
        bool turnAskedFor;
        int turnsToEmpty;
    };
    const Case cases[] = {
        {0, 0, false, 0},     {1, 1, false, 0},    {255, 255, false, 0},
        {256, 256, false, 0}, {257, 256, true, 1}, {1000, 256, true, 3},
    };
    for (const Case& c : cases) {
        IntakeLoop loop;
        loop.Arrive(kUnit, c.waiting);
        loop.intake.OnReadyRead();
        EXPECT_EQ(c.handledAtOnce, static_cast<int>(loop.handled.size())) << c.waiting;
        EXPECT_EQ(static_cast<std::size_t>(c.waiting - c.handledAtOnce), loop.Waiting())
            << c.waiting;
        EXPECT_EQ(c.turnAskedFor, loop.intake.TurnPending()) << c.waiting;
        EXPECT_EQ(c.turnAskedFor ? 1u : 0u, loop.posted.size()) << c.waiting;
        while (!loop.posted.empty()) loop.Turn();
        ASSERT_EQ(c.waiting, static_cast<int>(loop.handled.size())) << c.waiting;
        EXPECT_EQ(c.turnsToEmpty, loop.turns) << c.waiting;
        for (int i = 0; i < c.waiting; ++i)  // in arrival order
            EXPECT_EQ(kUnit + "#" + std::to_string(i), loop.handled[static_cast<std::size_t>(i)]);
        EXPECT_EQ(0u, loop.intake.Dropped());
    }
}

TEST(DatagramIntake, TimersRunBetweenTheBatchesOfALongQueue) {
    IntakeLoop loop;
    loop.Arrive(kUnit, 1000);
    std::vector<std::size_t> handledAtTick;
    auto timer =
        loop.clock.CreateTimer(1, false, [&] { handledAtTick.push_back(loop.handled.size()); });
    timer->Start();

    loop.RunUntilIdle();

    EXPECT_EQ(1000u, loop.handled.size());
    EXPECT_EQ((std::vector<std::size_t>{256, 512, 768}), handledAtTick);
}

// At a stop, what was read is handled in batches as ever; the socket's
// datagrams stay unread.
TEST(DatagramIntake, HandleQueuedHandlesWhatWasReadAndReadsNothing) {
    IntakeLoop loop({.batch = 4, .readsPerTurn = 10});
    int batchEnds = 0;
    loop.intake.SetBatchEnd([&] { ++batchEnds; });
    loop.Arrive(kUnit, 15);
    loop.intake.OnReadyRead();
    loop.intake.HandleQueued();
    EXPECT_EQ(10u, loop.handled.size());
    EXPECT_EQ(3, batchEnds);
    EXPECT_EQ(5u, loop.socket.size());
}

TEST(DatagramIntake, NoticeOfDataWhileATurnIsPendingLeavesTheDataToThatTurn) {
    IntakeLoop loop;
    loop.Arrive(kUnit, 600);
    loop.intake.OnReadyRead();
    ASSERT_EQ(256u, loop.handled.size());
    loop.Arrive(kUnit, 10, 600);
    loop.intake.OnReadyRead();
    EXPECT_EQ(256u, loop.handled.size());
    EXPECT_EQ(1u, loop.posted.size());
    loop.Turn();
    EXPECT_EQ(512u, loop.handled.size());
    loop.Turn();
    EXPECT_EQ(610u, loop.handled.size());
    EXPECT_FALSE(loop.intake.TurnPending());
    EXPECT_TRUE(loop.posted.empty());
}

// One sender keeps the socket busier than the receiver can handle; a unit
// beside it sends a datagram now and then. The intake reads ahead of what it
// handles and drops the flood's datagrams beyond its share, so the socket
// keeps room and the unit's datagrams are handled within a few turns, while
// the heartbeat timer keeps its period.
TEST(DatagramIntake, AUnitBesideAFloodIsHandledPromptlyWhileTimersKeepTicking) {
    DatagramIntake::Limits limits;
    limits.batch = 16;
    limits.readsPerTurn = 256;
    limits.perSender = 32;
    IntakeLoop loop(limits);
    loop.capacity = 300;  // the socket's buffer
    std::vector<std::int64_t> ticks;
    auto heartbeat =
        loop.clock.CreateTimer(5, false, [&] { ticks.push_back(loop.clock.MonotonicMs()); });
    heartbeat->Start();
    const std::int64_t start = loop.clock.MonotonicMs();

    int flood = 0;
    std::vector<int> unitSentAt;
    for (int turn = 1; turn <= 100; ++turn) {
        loop.Arrive(kFlood, 200, flood);  // more per turn than a batch handles
        flood += 200;
        if (turn % 10 == 5) {
            loop.Arrive(kUnit, 1, turn);
            unitSentAt.push_back(turn);
        }
        loop.Turn();
        ASSERT_LE(loop.intake.Queued(), limits.perSender + 1u);
    }

    EXPECT_EQ(0, loop.lostInSocket);
    std::vector<int> unitHandledIn;
    for (std::size_t i = 0; i < loop.handled.size(); ++i) {
        if (loop.handled[i].rfind(kUnit, 0) == 0)
            unitHandledIn.push_back(loop.handledInTurn[i]);
    }
    ASSERT_EQ(unitSentAt.size(), unitHandledIn.size());
    for (std::size_t i = 0; i < unitSentAt.size(); ++i)
        EXPECT_LE(unitHandledIn[i] - unitSentAt[i], 2) << "sent in turn " << unitSentAt[i];
    // The flood had a batch's worth handled every turn, the rest dropped.
    EXPECT_EQ(100u * 16, loop.handled.size());
    EXPECT_EQ(100u * 200 + 10 - 100 * 16 - loop.intake.Queued(), loop.intake.Dropped());
    ASSERT_EQ(20u, ticks.size());
    for (std::size_t i = 0; i < ticks.size(); ++i)
        EXPECT_EQ(start + 5 * static_cast<std::int64_t>(i + 1), ticks[i]);
}

TEST(DatagramIntake, ItsQueueIsBoundedInDatagramsAndBytes) {
    struct Case {
        const char* what;
        std::size_t queuedDatagrams;
        std::size_t queuedBytes;
        std::size_t queued;  // after the first turn
        std::uint64_t dropped;
    };
    // Three senders, 10 datagrams of 100 bytes each; one is handled at once.
    const Case cases[] = {
        {"room for all", 100, 100000, 29, 0},
        {"10 datagrams", 10, 100000, 9, 20},
        {"1000 bytes", 100, 1000, 9, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DatagramIntake::Limits limits;
        limits.batch = 1;
        limits.queuedDatagrams = c.queuedDatagrams;
        limits.queuedBytes = c.queuedBytes;
        IntakeLoop loop(limits);
        for (const char* sender : {"10.0.0.1:1", "10.0.0.2:2", "10.0.0.3:3"}) {
            for (int i = 0; i < 10; ++i) loop.socket.push_back({sender, i, 100});
        }
        loop.intake.OnReadyRead();
        EXPECT_EQ(1u, loop.handled.size());
        EXPECT_EQ(c.queued, loop.intake.Queued());
        EXPECT_EQ(c.queued * 100, loop.intake.QueuedBytes());
        EXPECT_EQ(c.dropped, loop.intake.Dropped());
        EXPECT_TRUE(loop.socket.empty());
    }
}

TEST(DatagramIntake, DatagramsReadToBeDiscardedCountAgainstTheTurnAndAreNeverHandled) {
    DatagramIntake::Limits limits;
    limits.readsPerTurn = 100;
    IntakeLoop loop(limits);
    for (int i = 0; i < 250; ++i) loop.socket.push_back({kFlood, i, 8193, true});
    loop.socket.push_back({kUnit, 7});
    loop.intake.OnReadyRead();
    EXPECT_EQ(100, loop.reads);
    EXPECT_TRUE(loop.intake.TurnPending());
    while (!loop.posted.empty()) loop.Turn();
    EXPECT_EQ(std::vector<std::string>{kUnit + "#7"}, loop.handled);
    EXPECT_EQ(250u, loop.intake.Dropped());
}

}  // namespace
