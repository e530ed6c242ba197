// The receiver's service outputs: journal lines on a pipe, the service
// manager's notifications on the fake clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "fakes/FakeScheduler.h"
#include "platform/ServiceNotifier.h"
#include "platform/StderrLines.h"

namespace korvan {
namespace {

// A pipe that holds 4096 bytes; Drain() reads what is in it.
struct Pipe {
    int fd[2];
    Pipe() { ::pipe2(fd, O_NONBLOCK), ::fcntl(fd[1], F_SETPIPE_SZ, 4096); }
    ~Pipe() { ::close(fd[0]), ::close(fd[1]); }
    std::string Drain() {
        char b[8192];
        return std::string(b, static_cast<std::size_t>(std::max(::read(fd[0], b, 8192), 0L)));
    }
};

TEST(StderrLinesTest, AtMostTheShareOfASecondOrWhatThePipeTakesAndOneLineCountingTheRest) {
    FakeScheduler clock;
    Pipe pipe;
    StderrLines out(pipe.fd[1], clock, 3);
    for (const char* t : {"one\r\n", "two\nlines", "three", "four", "five"}) out.Write("<5>", t);
    EXPECT_EQ("<5>one\n<5>two lines\n<5>three\n", pipe.Drain());
    clock.Advance(1000);
    out.Write("<3>", "six");
    EXPECT_EQ("<3>(2 lines left out)\n<3>six\n", pipe.Drain());

    Pipe full;
    ::fcntl(full.fd[1], F_SETFL, 0);  // the writer makes it non-blocking itself
    StderrLines fast(full.fd[1], clock, 1000);
    for (int i = 0; i < 10; ++i) fast.Write("", std::string(1023, 'x'));  // 4 fill the pipe
    EXPECT_EQ(6u, fast.LeftOut());
    EXPECT_EQ(4u * 1024, full.Drain().size());
    fast.Write("", "back");
    EXPECT_EQ("(6 lines left out)\nback\n", full.Drain());
}

TEST(ServiceNotifierTest, ReadyWatchdogStatusWhenChangedAndStopping) {
    FakeScheduler clock;
    std::vector<std::string> sent;
    ServiceNotifier n(clock, true, 400000, [&](const std::string& s) { sent.push_back(s); });
    clock.Advance(450);  // every 200 ms, from before start-up is over
    std::string status = "0 lines waiting, output none";
    n.Ready([&] { return status; });
    clock.Advance(1000);  // unchanged: not sent again
    status = "1 lines waiting, output serial COM1";
    clock.Advance(1000);
    n.Stopping();
    EXPECT_EQ(12, std::erase(sent, "WATCHDOG=1"));
    EXPECT_EQ((std::vector<std::string>{"READY=1\nSTATUS=0 lines waiting, output none",
                                        "STATUS=1 lines waiting, output serial COM1",
                                        "STOPPING=1\nSTATUS=Closing"}),
              sent);
}

}  // namespace
}  // namespace korvan
