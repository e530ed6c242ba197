#include <gtest/gtest.h>

#include "fakes/TempDir.h"
#include "platform/StatvfsDiskSpace.h"

using namespace korvan;

namespace {

TEST(StatvfsDiskSpace, TellsTheSizeOfTheFileSystemHoldingAPath) {
    TempDir dir;
    dir.Write("Log/Errors.log", "x");
    const StatvfsDiskSpace probe;
    const auto folder = probe.Query(dir.Path() + "Log");
    const auto file = probe.Query(dir.Path() + "Log/Errors.log");
    ASSERT_TRUE(folder.has_value());
    ASSERT_TRUE(file.has_value());
    EXPECT_GT(folder->totalBytes, 0u);
    EXPECT_LE(folder->freeBytes, folder->totalBytes);
    EXPECT_EQ(folder->device, file->device);
    EXPECT_FALSE(probe.Query(dir.Path() + "no such folder").has_value());
}

}  // namespace
