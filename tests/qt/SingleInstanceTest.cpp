#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "fakes/TempDir.h"
#include "platform/qt/SingleInstance.h"

using namespace korvan;

namespace {

// Each test is a desktop session of its own: a private runtime folder.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        hadRuntimeDir_ = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
        oldRuntimeDir_ = qgetenv("XDG_RUNTIME_DIR");
        ASSERT_EQ(0, ::chmod(session.Path().c_str(), 0700));
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(session.Path()));
    }
    void TearDown() override {
        if (hadRuntimeDir_)
            qputenv("XDG_RUNTIME_DIR", oldRuntimeDir_);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }

    static std::unique_ptr<SingleInstance> Instance() {
        return std::make_unique<SingleInstance>("TForm1", "Korvan GPRS Module");
    }

    TempDir session;

private:
    bool hadRuntimeDir_ = false;
    QByteArray oldRuntimeDir_;
};

TEST_F(SingleInstanceTest, OneClaimWinsAndTheLockGoesWithItsHolder) {
    auto first = Instance();
    const std::filesystem::path lock = first->LockPath().toStdString();
    EXPECT_TRUE(std::filesystem::equivalent(session.Path(), lock.parent_path()));
    EXPECT_EQ("TForm1-", lock.filename().string().substr(0, 7));
    EXPECT_FALSE(std::filesystem::exists(lock));  // nothing until claimed

    const mode_t previous = ::umask(0);
    const bool claimed = first->Claim();
    ::umask(previous);
    ASSERT_TRUE(claimed);
    EXPECT_TRUE(first->Claim());  // asked again: still the instance

    auto second = Instance();
    EXPECT_EQ(first->LockPath(), second->LockPath());
    EXPECT_FALSE(second->Claim());
    EXPECT_FALSE(second->Claim());
    // The losing start took nothing away: a third start loses as well.
    second.reset();
    ASSERT_TRUE(std::filesystem::exists(lock));
    EXPECT_FALSE(Instance()->Claim());

    struct stat st {};
    ASSERT_EQ(0, ::stat(lock.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);

    // The holder ends: the next start runs, on the same file.
    first.reset();
    auto next = Instance();
    EXPECT_TRUE(next->Claim());
    EXPECT_FALSE(Instance()->Claim());
}

// A lock held by a process that was killed is released by the kernel.
TEST_F(SingleInstanceTest, LockOfAKilledProcessDoesNotBlock) {
    const std::string lock = Instance()->LockPath().toStdString();
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls after fork: hold the lock as a running instance does.
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0640);
        const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(1, ::read(ready[0], &ok, 1));
    ::close(ready[0]);
    ASSERT_EQ(1, ok);
    EXPECT_FALSE(Instance()->Claim());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(Instance()->Claim());
}

}  // namespace
