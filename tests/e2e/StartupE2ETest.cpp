#include <gtest/gtest.h>

#include "e2e/ReceiverHarness.h"

using namespace e2e;

TEST(StartupE2E, FirstStartWritesApplicationStartedAsFirstLineOfTodaysFile) {
    Receiver r;
    r.WriteSettings(FreeUdpPort(), "NOPORT");
    r.Start();
    ASSERT_TRUE(r.WaitAllLog("UDP Server Listen Port")) << r.AllLog() << r.Stderr();
    const std::string log = r.AllLog();
    ASSERT_GE(log.size(), 22u);
    // "yyyy.mm.dd hh:nn:ss - Application started.." then CR LF.
    EXPECT_EQ(" - Application started..\r\n", log.substr(19, 26));
    EXPECT_EQ(400000u, r.Db().size());
    EXPECT_TRUE(r.Running());
}

TEST(StartupE2E, SecondInstanceInSameSessionWarnsAndWritesNothing) {
    Receiver first;
    first.WriteSettings(FreeUdpPort(), "NOPORT");
    first.Start();
    ASSERT_TRUE(first.WaitAllLog("UDP Server Listen Port")) << first.Stderr();

    Receiver second(first.RuntimeDir());
    second.Start();
    ASSERT_TRUE(WaitFor([&] {
        return second.Stderr().find("The other instance of RAZUDovuve is running.") !=
               std::string::npos;
    })) << second.Stderr();
    second.Kill(SIGTERM);
    EXPECT_FALSE(std::filesystem::exists(second.Dir() + "Log"));
    EXPECT_FALSE(std::filesystem::exists(second.Dir() + "RAZUDovuve.db"));
    EXPECT_FALSE(std::filesystem::exists(second.Dir() + "RAZUDovuve.ini"));
    EXPECT_TRUE(first.Running());
}

TEST(StartupE2E, StaleMarkerOfKilledInstanceDoesNotBlockNextStart) {
    Receiver first;
    first.WriteSettings(FreeUdpPort(), "NOPORT");
    first.Start();
    ASSERT_TRUE(first.WaitAllLog("UDP Server Listen Port")) << first.Stderr();
    first.Kill(SIGKILL);

    Receiver second(first.RuntimeDir());
    second.WriteSettings(FreeUdpPort(), "NOPORT");
    second.Start();
    EXPECT_TRUE(second.WaitAllLog("UDP Server Listen Port")) << second.Stderr();
}
