// The receiver's service outputs: journal lines on a pipe, the service
// manager's notifications on the fake clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "fakes/FakeScheduler.h"
#include "platform/ServiceNotifier.h"
#include "platform/StderrLines.h"

namespace korvan {
namespace {

struct Pipe {
    int fds[2];
    Pipe() {
        EXPECT_EQ(0, ::pipe(fds));
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string Drain() {
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::string out;
        char b[4096];
        for (ssize_t n; (n = ::read(fds[0], b, sizeof b)) > 0;) out.append(b, b + n);
        return out;
    }
};

TEST(StderrLinesTest, AtMostTheShareOfASecondAndOneLineCountingTheRest) {
    FakeScheduler clock;
    Pipe pipe;
    StderrLines out(pipe.fds[1], clock, 3);
    for (const char* t : {"one\r\n", "two\nlines", "three", "four", "five"}) out.Write("<5>", t);
    EXPECT_EQ("<5>one\n<5>two lines\n<5>three\n", pipe.Drain());
    clock.Advance(1000);
    out.Write("<3>", "six");
    EXPECT_EQ("<3>(2 lines left out)\n<3>six\n", pipe.Drain());
    EXPECT_EQ(2u, out.LeftOut());
}

TEST(StderrLinesTest, AFullPipeLeavesLinesOutInsteadOfBlocking) {
    FakeScheduler clock;
    Pipe pipe;
    StderrLines out(pipe.fds[1], clock, 1000);
    EXPECT_NE(0, ::fcntl(pipe.fds[1], F_GETFL) & O_NONBLOCK);
    const std::string line(1023, 'x');
    for (int i = 0; i < 10; ++i) out.Write("", line);  // 4 fill the 4096 bytes
    EXPECT_EQ(6u, out.LeftOut());
    EXPECT_EQ(4u * 1024, pipe.Drain().size());
    out.Write("", "back");
    EXPECT_EQ("(6 lines left out)\nback\n", pipe.Drain());
}

TEST(ServiceNotifierTest, ReadyWatchdogStatusWhenChangedAndStopping) {
    FakeScheduler clock;
    std::vector<std::string> sent;
    int watchdogs = 0;
    const auto record = [&](const std::string& s) {
        if (s == "WATCHDOG=1")
            ++watchdogs;
        else
            sent.push_back(s);
    };
    ServiceNotifier n(clock, true, 400000, record);
    clock.Advance(450);  // every 200 ms, from before start-up is over
    EXPECT_EQ(2, watchdogs);
    std::string status = "0 lines waiting, output none";
    n.Ready([&] { return status; });
    clock.Advance(1000);  // unchanged: not sent again
    status = "1 lines waiting, output serial COM1";
    clock.Advance(1000);
    n.Stopping();
    clock.Advance(1000);
    EXPECT_EQ((std::vector<std::string>{"READY=1\nSTATUS=0 lines waiting, output none",
                                        "STATUS=1 lines waiting, output serial COM1",
                                        "STOPPING=1\nSTATUS=Closing"}),
              sent);
    EXPECT_EQ(17, watchdogs);

    ServiceNotifier off(clock, false, 400000, record);
    off.Ready([] { return std::string("x"); });
    clock.Advance(2000);
    off.Stopping();
    EXPECT_EQ(3u, sent.size());
    EXPECT_EQ(27, watchdogs);  // n's alone
}

}  // namespace
}  // namespace korvan
