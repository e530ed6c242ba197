// The receiver as a service on a machine without a display: it answers and
// delivers, tells the service manager it is ready and alive, keeps a window
// on its folder out, and closes in order on SIGTERM.
#include <gtest/gtest.h>

#include <sys/un.h>

#include <map>

#include "e2e/AlarmPathSupport.h"

namespace e2e::alarm {
namespace {

// The service manager's end of NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a)) << path;
    }
    ~NotifySocket() { ::close(fd_); }
    const std::string& Path() const { return path_; }
    // How many messages so far start with `text`.
    int Count(const std::string& text) {
        char b[4096];
        for (ssize_t n; (n = ::recv(fd_, b, sizeof b, MSG_DONTWAIT)) > 0;) got_.emplace_back(b, n);
        int count = 0;
        for (const std::string& m : got_) count += m.starts_with(text) ? 1 : 0;
        return count;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> got_;
};

// Every file under `dir` with its bytes.
std::map<std::string, std::string> Files(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().string()] = ReadFile(e.path().string());
    return out;
}

bool ExitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(ServiceE2E, WithoutDisplayItAnswersDeliversTellsTheManagerAndClosesInOrderOnSigterm) {
    Receiver r;
    PtyPeer pty;
    NotifySocket notify(r.RuntimeDir() + "/notify");
    StartOptions service;
    service.args = {"--service"};
    service.noDisplay = true;
    service.env = {{"NOTIFY_SOCKET", notify.Path()}, {"WATCHDOG_USEC", "400000"}};
    LinkSettings noHeartbeat;
    noHeartbeat.ping = 0;
    const std::uint16_t port = StartLinked(r, pty, noHeartbeat, service);
    EXPECT_TRUE(WaitFor([&] { return notify.Count("READY=1\nSTATUS=0 lines waiting") == 1; }));
    EXPECT_TRUE(WaitFor([&] { return notify.Count("WATCHDOG=1") >= 3; }));

    // A datagram refused and an alarm taken, both answered; the alarm goes
    // out and is left unanswered by the monitoring software.
    UdpUnit unit;
    unit.Send(port, Bytes{1, 2, 3});
    const Bytes nack = unit.Receive(3000);
    ASSERT_FALSE(nack.empty());
    EXPECT_EQ(frame::kNack, nack[0]);
    const Bytes event = EventFrame(123, 7, "1234");
    unit.Send(port, event);
    ExpectAnswer(unit.Receive(3000), frame::kAck, Head8(event));
    const std::string alarm = "5077 181234E13001005";
    EXPECT_EQ(alarm, NextAlarmLine(pty, 5000));
    // The Important-messages entry is a journal line as well.
    ASSERT_TRUE(WaitFor([&] { return !r.ImpLog().empty(); }));
    const std::string imp = r.ImpLog();
    EXPECT_NE(std::string::npos, r.Stderr().find("<5>" + imp.substr(0, imp.find("\r\n")) + "\n"))
        << r.Stderr();
    EXPECT_TRUE(
        WaitFor([&] { return notify.Count("STATUS=1 lines waiting, output serial COM7"); }));

    // A window, then a second service on the same folder: both touch nothing.
    const auto before = Files(r.Dir());
    Receiver window(Receiver::Installed{r.Dir(), r.RuntimeDir()});
    window.Start();
    EXPECT_TRUE(WaitFor([&] {
        return window.Stderr().find("The other instance of RAZUDovuve is running.") !=
               std::string::npos;
    })) << window.Stderr();
    window.Kill(SIGTERM);  // its warning box is open
    EXPECT_TRUE(ExitedWith(window.ExitStatus(), 0)) << window.ExitStatus();
    Receiver second(Receiver::Installed{r.Dir(), r.RuntimeDir()});
    StartOptions secondService = service;
    secondService.env.clear();
    second.Start(secondService);
    ASSERT_TRUE(second.WaitExit(10000));
    EXPECT_TRUE(ExitedWith(second.ExitStatus(), 75)) << second.ExitStatus() << second.Stderr();
    EXPECT_EQ(before, Files(r.Dir()));

    r.Kill(SIGTERM);
    EXPECT_TRUE(ExitedWith(r.ExitStatus(), 0)) << r.ExitStatus() << r.Stderr();
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_EQ(1, std::count(all.begin(), all.end(), "Application closed"));
    EXPECT_EQ(1, notify.Count("STOPPING=1"));

    // The alarm waited in the journal and goes out after the next start.
    r.Start(service);
    EXPECT_EQ(alarm, NextAlarmLine(pty, 10000)) << r.AllLog() << r.Stderr();
    pty.Write({kAnswer});
    EXPECT_TRUE(WaitFor([&] { return notify.Count("STATUS=0 lines waiting") >= 1; }));
}

}  // namespace
}  // namespace e2e::alarm
