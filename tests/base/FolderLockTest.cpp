#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "base/FolderLock.h"
#include "fakes/TempDir.h"

using namespace korvan;

using Claim = FolderLock::Claim;

TEST(FolderLock, OneClaimPerFolderHeldUntilItsHolderGoes) {
    TempDir dir;
    const mode_t previous = ::umask(022);
    auto first = std::make_unique<FolderLock>(dir.Path());
    EXPECT_EQ(Claim::Claimed, first->TakeClaim());
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(0, ::stat((dir.Path() + "RAZUDovuve.lock").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);

    FolderLock second(dir.Path());
    EXPECT_EQ(Claim::HeldByAnother, second.TakeClaim());
    first.reset();
    EXPECT_EQ(Claim::Claimed, second.TakeClaim());
}

// A lock file this process cannot open tells nothing about its holder: the
// start is refused.
TEST(FolderLock, LockFileThatCannotBeOpenedRefuses) {
    TempDir dir;
    const std::string path = dir.Path() + "RAZUDovuve.lock";
    std::filesystem::create_directory(path);
    FolderLock lock(dir.Path());
    EXPECT_EQ(Claim::CannotOpen, lock.TakeClaim());
    EXPECT_EQ("Cannot open " + path + ": Is a directory", lock.Failure());
    if (::getuid() != 0)
        return;
    // Another user's lock file, mode 000, met by an unprivileged user.
    std::filesystem::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0));
    ASSERT_EQ(0, ::chown(path.c_str(), 4242, 4242));
    ::chmod(dir.Path().c_str(), 0755);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        ::_exit(FolderLock(dir.Path()).TakeClaim() == Claim::CannotOpen ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(0, status);
}
