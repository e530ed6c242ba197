#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

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

// Every file under a folder with its size and modification time.
std::map<std::string, std::pair<off_t, std::int64_t>> Snapshot(const std::string& dir) {
    std::map<std::string, std::pair<off_t, std::int64_t>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        out[e.path().string()] = {st.st_size,
                                  st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return out;
}

// The lock is the folder's, not the desktop session's: copies started on a
// running receiver's folder from another session and from none show the
// warning and touch no file; the first runs on.
TEST(StartupE2E, SecondCopyOnTheSameFolderFromAnySessionWarnsAndTouchesNothing) {
    Receiver first;
    first.WriteSettings(FreeUdpPort(), "NOPORT");
    first.Start();
    ASSERT_TRUE(first.WaitAllLog("UDP Server Listen Port")) << first.Stderr();
    EXPECT_TRUE(std::filesystem::exists(first.Dir() + "RAZUDovuve.lock"));
    ::kill(first.Pid(), SIGSTOP);  // holds its lock but writes nothing meanwhile
    const auto before = Snapshot(first.Dir());

    for (const bool noSession : {false, true}) {
        Receiver second(Receiver::Installed{first.Dir()});
        StartOptions options;
        options.noRuntimeDir = noSession;
        second.Start(options);
        EXPECT_TRUE(second.WaitStderr(kOtherInstance)) << second.Stderr();
        second.Kill(SIGTERM);
    }
    EXPECT_EQ(before, Snapshot(first.Dir()));
    ::kill(first.Pid(), SIGCONT);
    EXPECT_TRUE(first.Running());
}

TEST(StartupE2E, LockOfAKilledReceiverDoesNotBlockTheNextStartOnItsFolder) {
    Receiver first;
    first.WriteSettings(FreeUdpPort(), "NOPORT");
    first.Start();
    ASSERT_TRUE(first.WaitAllLog("UDP Server Listen Port")) << first.Stderr();
    first.Kill(SIGKILL);

    Receiver second(Receiver::Installed{first.Dir()});
    second.Start();
    const std::string listen = "UDP Server Listen Port";
    EXPECT_TRUE(WaitFor([&] {
        const std::string log = first.AllLog();
        return log.find(listen) != log.rfind(listen);
    })) << first.AllLog()
        << second.Stderr();
}
