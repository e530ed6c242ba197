#include "base/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>

#include "fakes/TempDir.h"

using namespace korvan;

// The path holds the old file or the whole new one, never a temporary file
// beside it; a folder that cannot be synced does not undo a replace, and a
// file kept open is the one in place.
TEST(FileTest, ReplaceLeavesTheOldFileOrTheWholeNewOne) {
    struct Case {
        const char* name;
        std::function<int(int)> write;
        int (*syncFolder)(const std::string&);
        bool keepOpen;
        std::string file;    // what the path holds afterwards
        std::string thrown;  // empty: nothing
        int folderError;
    };
    const auto writes = [](int fd) { return WriteFully(fd, "new", 3); };
    const auto folderFails = +[](const std::string&) { return EIO; };
    const Case cases[] = {
        {"kept open", writes, &SyncFolderOf, true, "new+", "", 0},
        {"write fails", [](int) { return ENOSPC; }, &SyncFolderOf, true, "old",
         "write: No space left on device", 0},
        {"writer throws", [](int) -> int { throw std::runtime_error("cut"); }, &SyncFolderOf, false,
         "old", "cut", 0},
        {"folder not synced", writes, folderFails, false, "new", "", EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.Write("f", "old");
        const Replacement how{.path = dir.Path() + "f",
                              .suffix = ".new",
                              .texts = {"create", "write", "close", "rename"},
                              .keepOpen = c.keepOpen,
                              .syncFolder = c.syncFolder};
        std::string thrown;
        try {
            const Replaced r = ReplaceAtomically(how, c.write);
            EXPECT_EQ(c.folderError, r.folderError);
            EXPECT_EQ(c.keepOpen, r.file.IsOpen());
            if (r.file.IsOpen()) {
                EXPECT_EQ(0, WriteFully(r.file.Get(), "+", 1));
            }
        } catch (const std::exception& e) {
            thrown = e.what();
        }
        EXPECT_EQ(c.thrown, thrown);
        EXPECT_EQ(c.file, dir.Read("f"));
        EXPECT_FALSE(dir.Exists("f.new"));
    }
}
