// The bounded line store behind the log memos.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qt/LineStore.h"

using namespace korvan;

namespace {

std::vector<std::string> Lines(const LineStore& s) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.Size(); ++i) out.emplace_back(s.Line(i));
    return out;
}

TEST(LineStore, AtItsBoundDropsTheOldestLinesAndKeepsTheNewest) {
    struct Case {
        const char* what;
        std::size_t maxLines;
        std::size_t maxBytes;
        std::vector<std::string> added;
        std::vector<std::size_t> droppedByEach;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {"within both bounds", 3, 100, {"a", "b", "c"}, {0, 0, 0}, {"a", "b", "c"}},
        {"line bound", 3, 100, {"a", "b", "c", "d", "e"}, {0, 0, 0, 1, 1}, {"c", "d", "e"}},
        {"byte bound", 100, 6, {"aa", "bb", "cc", "dd"}, {0, 0, 0, 1}, {"bb", "cc", "dd"}},
        {"a long line pushes out several",
         100,
         6,
         {"a", "b", "c", "ddddd"},
         {0, 0, 0, 2},
         {"c", "ddddd"}},
        {"the newest line stays, however long", 100, 4, {"ab", "cdefgh"}, {0, 1}, {"cdefgh"}},
        {"empty lines count against the line bound", 2, 100, {"", "", "x"}, {0, 0, 1}, {"", "x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LineStore s(c.maxLines, c.maxBytes);
        std::vector<std::size_t> dropped;
        for (const std::string& line : c.added) dropped.push_back(s.Add(line));
        EXPECT_EQ(c.droppedByEach, dropped);
        EXPECT_EQ(c.kept, Lines(s));
        std::size_t bytes = 0;
        for (const std::string& line : c.kept) bytes += line.size();
        EXPECT_EQ(bytes, s.Bytes());
        EXPECT_EQ(c.added.size() - c.kept.size(), s.Dropped());
    }
}

TEST(LineStore, DefaultBoundIsTwoHundredThousandLinesOr64MegabytesOfText) {
    LineStore s;
    EXPECT_EQ(200000u, s.MaxLines());
    EXPECT_EQ(64u * 1024 * 1024, s.MaxBytes());

    // Lines of 100 bytes: the line bound comes first.
    for (int i = 0; i < 200010; ++i)
        s.Add(std::to_string(i) + std::string(100 - std::to_string(i).size(), '.'));
    EXPECT_EQ(200000u, s.Size());
    EXPECT_EQ("10", s.Line(0).substr(0, 2));
    EXPECT_EQ("200009", s.Line(s.Size() - 1).substr(0, 6));

    // Lines of 1 KB: 64 MB of text is 65536 of them.
    s.Clear();
    EXPECT_EQ(0u, s.Size());
    EXPECT_EQ(0u, s.Bytes());
    for (int i = 0; i < 70000; ++i)
        s.Add(std::to_string(i) + std::string(1024 - std::to_string(i).size(), '.'));
    EXPECT_EQ(65536u, s.Size());
    EXPECT_EQ(64u * 1024 * 1024, s.Bytes());
    EXPECT_EQ("4464.", s.Line(0).substr(0, 5));
    EXPECT_EQ("69999.", s.Line(s.Size() - 1).substr(0, 6));
}

TEST(LineStore, LinesSpanningManyBlocksReadBackWhileOldBlocksGo) {
    LineStore s(5000, LineStore::kMaxBytes);
    const std::string chunk(300000, 'x');
    for (int i = 0; i < 20000; ++i) {
        // Every 1000th line is long enough to need several blocks' worth.
        s.Add(i % 1000 == 0 ? std::to_string(i) + chunk : "line " + std::to_string(i));
    }
    ASSERT_EQ(5000u, s.Size());
    for (std::size_t i = 0; i < s.Size(); ++i) {
        const int n = 15000 + static_cast<int>(i);
        const std::string expected =
            n % 1000 == 0 ? std::to_string(n) + chunk : "line " + std::to_string(n);
        ASSERT_EQ(expected, s.Line(i)) << i;
    }
}

TEST(LineStore, LongestIsTheOldestOfTheLongestLinesKept) {
    LineStore s(3, 1000);
    struct Step {
        const char* add;
        std::string longest;
    };
    const Step steps[] = {
        {"bb", "bb"},   {"a", "bb"},  {"cc", "bb"},  // the oldest of two as long
        {"d", "cc"},                                 // "bb" dropped
        {"eee", "eee"}, {"f", "eee"}, {"g", "eee"},
        {"h", "f"},  // "eee" dropped: all of one length left
    };
    for (const Step& step : steps) {
        s.Add(step.add);
        EXPECT_EQ(step.longest, s.Line(s.Longest())) << "after " << step.add;
    }
}

}  // namespace
