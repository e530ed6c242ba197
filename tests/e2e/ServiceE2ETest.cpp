// The receiver as a service on a machine without a display: it answers and
// delivers, tells the service manager it is ready and alive, keeps a window
// on its folder out, and closes in order on SIGTERM.
#include <gtest/gtest.h>

#include <sys/un.h>

#include <map>

#include "e2e/AlarmPathSupport.h"

namespace e2e::alarm {
namespace {

// Every file under `dir` with its bytes.
std::map<std::string, std::string> Files(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().string()] = ReadFile(e.path().string());
    return out;
}

TEST(ServiceE2E, WithoutDisplayItAnswersDeliversTellsTheManagerAndClosesInOrderOnSigterm) {
    Receiver r;
    PtyPeer pty;
    // The service manager's end of NOTIFY_SOCKET; Notified(text) counts the
    // messages so far that start with `text`.
    const std::string notifyPath = r.RuntimeDir() + "/notify";
    const int ns = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{AF_UNIX, {}};
    notifyPath.copy(a.sun_path, sizeof a.sun_path - 1);
    ASSERT_EQ(0, ::bind(ns, reinterpret_cast<sockaddr*>(&a), sizeof a));
    std::vector<std::string> got;
    const auto Notified = [&](const std::string& text) {
        char b[4096];
        for (ssize_t n; (n = ::recv(ns, b, sizeof b, MSG_DONTWAIT)) > 0;) got.emplace_back(b, n);
        return std::count_if(got.begin(), got.end(), [&](auto& m) { return m.starts_with(text); });
    };
    StartOptions service;
    service.args = {"--service"};
    service.noDisplay = true;
    service.env = {{"NOTIFY_SOCKET", notifyPath}, {"WATCHDOG_USEC", "400000"}};
    const std::uint16_t port = StartLinked(r, pty, LinkSettings{15, 60, 240, 7, 0}, service);
    EXPECT_TRUE(WaitFor(
        [&] { return Notified("READY=1\nSTATUS=0 lines waiting, output serial COM7") == 1; }));
    EXPECT_TRUE(WaitFor([&] { return Notified("WATCHDOG=1") >= 3; }));

    // A datagram refused and an alarm taken, both answered; the alarm goes
    // out and is left unanswered by the monitoring software.
    UdpUnit unit;
    unit.Send(port, Bytes{1, 2, 3});
    EXPECT_EQ(frame::kNack, unit.Receive(3000).at(0));
    const Bytes event = EventFrame(123, 7, "1234");
    unit.Send(port, event);
    ExpectAnswer(unit.Receive(3000), frame::kAck, Head8(event));
    const std::string alarm = "5077 181234E13001005";
    EXPECT_EQ(alarm, NextAlarmLine(pty, 5000));
    // The Important-messages entry is a journal line as well.
    ASSERT_TRUE(WaitFor([&] { return !r.ImpLog().empty(); }));
    const std::string imp = r.ImpLog().substr(0, r.ImpLog().find("\r\n"));
    EXPECT_NE(std::string::npos, r.Stderr().find("<5>" + imp + "\n")) << r.Stderr();

    // A window, then a second service on the same folder: both touch nothing.
    const auto before = Files(r.Dir());
    Receiver window(Receiver::Installed{r.Dir()});
    window.Start();
    EXPECT_TRUE(window.WaitStderr(kOtherInstance)) << window.Stderr();
    window.Kill(SIGTERM);               // its warning box is open
    EXPECT_EQ(0, window.ExitStatus());  // exited, with status 0
    Receiver second(Receiver::Installed{r.Dir()});
    second.Start(service);
    ASSERT_TRUE(second.WaitExit(10000));
    EXPECT_EQ(75 << 8, second.ExitStatus()) << second.Stderr();  // exited, with 75
    EXPECT_EQ(before, Files(r.Dir()));

    r.Kill(SIGTERM);
    EXPECT_EQ(0, r.ExitStatus()) << r.Stderr();
    const std::vector<std::string> all = LogMessages(r.AllLog());
    EXPECT_EQ(1, std::count(all.begin(), all.end(), "Application closed"));
    EXPECT_EQ(1, Notified("STOPPING=1"));

    // The alarm waited in the journal and goes out after the next start.
    r.Start(service);
    EXPECT_EQ(alarm, NextAlarmLine(pty, 10000)) << r.AllLog() << r.Stderr();
    ::close(ns);
}

}  // namespace
}  // namespace e2e::alarm
