// The log memo widget: how appended texts become lines, when they show, the
// scrolling that follows the end, and selecting and copying.

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qt/QtViews.h"

using namespace korvan;

namespace {

TEST(QtMemo, AppendedTextsBecomeLinesAsInAPlainTextDocument) {
    struct Case {
        std::vector<std::string> appends;
        int gathered;  // LineCount before the lines are handed over
        int shown;     // LineCount afterwards
        QString text;
    };
    const Case cases[] = {
        {{"one"}, 1, 1, "one"},
        {{"one", "two"}, 2, 2, "one\ntwo"},
        {{"", "Receive from"}, 2, 2, "\nReceive from"},
        {{"Application closed\r\n"}, 2, 2, "Application closed\n"},
        {{"a\nb\rc"}, 3, 3, "a\nb\nc"},
        // An empty memo stays empty after an empty line, as a plain-text
        // document holds one empty line when it holds nothing.
        {{""}, 1, 0, ""},
    };
    for (const Case& c : cases) {
        QtMemo memo;
        for (const std::string& a : c.appends) memo.Append(a);
        EXPECT_EQ(c.gathered, memo.LineCount()) << c.text.toStdString();
        EXPECT_EQ(QString(), memo.toPlainText());
        memo.Flush();
        EXPECT_EQ(c.shown, memo.LineCount()) << c.text.toStdString();
        EXPECT_EQ(c.text, memo.toPlainText());
    }
}

TEST(QtMemo, LaterAppendsStartOnNewLines) {
    QtMemo memo;
    memo.Append("first");
    memo.Flush();
    memo.Append("");
    memo.Append("second");
    EXPECT_EQ(3, memo.LineCount());
    memo.Flush();
    EXPECT_EQ(3, memo.LineCount());
    EXPECT_EQ("first\n\nsecond", memo.toPlainText());
}

TEST(QtMemo, GatheredLinesShowWithinAFlushInterval) {
    QtMemo memo;
    memo.Append("shown soon");
    EXPECT_EQ(QString(), memo.toPlainText());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !memo.toPlainText().isEmpty(); }, 5000));
    EXPECT_EQ("shown soon", memo.toPlainText());
}

TEST(QtMemo, ClearDropsShownAndGatheredLinesAndHousekeepingTextFollows) {
    QtMemo memo;
    for (int i = 0; i < 1001; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();
    memo.Append("still gathered");
    EXPECT_EQ(1002, memo.LineCount());
    memo.Clear();
    EXPECT_EQ(0, memo.LineCount());
    EXPECT_EQ(QString(), memo.toPlainText());
    memo.Append(" Automatically cleared ..\r\n");
    EXPECT_EQ(2, memo.LineCount());
    memo.Flush();
    EXPECT_EQ(2, memo.LineCount());
    EXPECT_EQ(" Automatically cleared ..\n", memo.toPlainText());
}

TEST(QtMemo, FollowsTheEndOnlyWhileTheEndIsInView) {
    QtMemo memo;
    memo.resize(400, 200);
    memo.show();
    QScrollBar* bar = memo.verticalScrollBar();
    for (int i = 0; i < 100; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->maximum(), bar->value());

    bar->setValue(10);
    memo.Append("more");
    memo.Flush();
    EXPECT_EQ(10, bar->value());

    memo.Append("and more");
    memo.ScrollToEnd();
    EXPECT_EQ(102, memo.LineCount());
    EXPECT_EQ(bar->maximum(), bar->value());
}

TEST(QtMemo, ALongLineCanBeScrolledTo) {
    QtMemo memo;
    memo.resize(300, 200);
    memo.show();
    memo.Append(std::string(400, 'x'));
    memo.Flush();
    EXPECT_GT(memo.horizontalScrollBar()->maximum(), 0);
}

// A point on the viewport at `column` of the visible line `line`.
QPoint At(const QtMemo& memo, const QString& lineText, int line, int column) {
    const QFontMetrics fm(memo.font());
    return {QtMemo::kMargin + fm.horizontalAdvance(lineText.left(column)) + 1,
            QtMemo::kMargin + line * fm.lineSpacing() + fm.lineSpacing() / 2};
}

void Mouse(QtMemo& memo, QEvent::Type type, QPoint p, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(p), memo.viewport()->mapToGlobal(QPointF(p)), Qt::LeftButton,
                  buttons, Qt::NoModifier);
    QApplication::sendEvent(memo.viewport(), &e);
}

TEST(QtMemo, SelectsWithTheMouseAndCopies) {
    QtMemo memo;
    memo.resize(400, 200);
    memo.show();
    memo.Append("alpha beta");
    memo.Append("gamma");
    memo.Flush();

    Mouse(memo, QEvent::MouseButtonPress, At(memo, "alpha beta", 0, 6), Qt::LeftButton);
    Mouse(memo, QEvent::MouseMove, At(memo, "gamma", 1, 3), Qt::LeftButton);
    Mouse(memo, QEvent::MouseButtonRelease, At(memo, "gamma", 1, 3), Qt::NoButton);
    EXPECT_EQ("beta\ngam", memo.SelectedText());
    QTest::keyClick(&memo, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ("beta\ngam", QGuiApplication::clipboard()->text());

    Mouse(memo, QEvent::MouseButtonDblClick, At(memo, "alpha beta", 0, 2), Qt::LeftButton);
    EXPECT_EQ("alpha", memo.SelectedText());

    QTest::keyClick(&memo, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ("alpha beta\ngamma", memo.SelectedText());

    memo.Clear();
    EXPECT_EQ(QString(), memo.SelectedText());
}

TEST(QtMemo, EachMemoIsBoundedByDefault) {
    QtMemo memo;
    for (int i = 0; i < 200005; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();
    EXPECT_EQ(200000, memo.LineCount());
    EXPECT_TRUE(memo.toPlainText().startsWith("line 5\nline 6\n"));
    EXPECT_TRUE(memo.toPlainText().endsWith("\nline 200004"));
}

TEST(QtMemo, AtItsBoundDropsTheOldestLinesAndKeepsTheNewest) {
    struct Case {
        std::size_t maxLines;
        std::size_t maxBytes;
        int appends;     // "line 0", "line 1", ...
        bool flushEach;  // handed over one by one, or all at once
        int count;
        QString text;
    };
    const Case cases[] = {
        {5, 1000, 5, true, 5, "line 0\nline 1\nline 2\nline 3\nline 4"},
        {5, 1000, 8, true, 5, "line 3\nline 4\nline 5\nline 6\nline 7"},
        {5, 1000, 8, false, 5, "line 3\nline 4\nline 5\nline 6\nline 7"},
        {100, 20, 8, true, 3, "line 5\nline 6\nline 7"},  // 6 bytes a line: the text bound first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        QtMemo memo(nullptr, c.maxLines, c.maxBytes);
        for (int i = 0; i < c.appends; ++i) {
            memo.Append("line " + std::to_string(i));
            if (c.flushEach)
                memo.Flush();
        }
        memo.Flush();
        EXPECT_EQ(c.count, memo.LineCount());
        EXPECT_EQ(c.text, memo.toPlainText());
    }
}

TEST(QtMemo, GatheredLinesAreHandedOverOnceTheyReachTheBound) {
    QtMemo memo(nullptr, 4, 1000);
    for (int i = 0; i < 3; ++i) memo.Append("line " + std::to_string(i));
    EXPECT_EQ(QString(), memo.toPlainText());  // still gathered
    memo.Append("line 3\r\nline 4");
    EXPECT_EQ("line 1\nline 2\nline 3\nline 4", memo.toPlainText());
}

TEST(QtMemo, DroppedLinesTakeTheViewAndTheSelectionAlong) {
    QtMemo memo(nullptr, 100, 100000);
    memo.resize(400, 200);
    memo.show();
    QScrollBar* bar = memo.verticalScrollBar();
    for (int i = 0; i < 100; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();

    // Reading further up, with "line 40" to "line 42" selected.
    bar->setValue(40);
    Mouse(memo, QEvent::MouseButtonPress, At(memo, "line 40", 0, 0), Qt::LeftButton);
    Mouse(memo, QEvent::MouseMove, At(memo, "line 42", 2, 7), Qt::LeftButton);
    Mouse(memo, QEvent::MouseButtonRelease, At(memo, "line 42", 2, 7), Qt::NoButton);
    ASSERT_EQ("line 40\nline 41\nline 42", memo.SelectedText());

    for (int i = 100; i < 110; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();
    EXPECT_EQ(30, bar->value());  // the same lines in view
    EXPECT_EQ("line 40\nline 41\nline 42", memo.SelectedText());

    // Once the selected lines themselves are gone, so is the selection.
    for (int i = 110; i < 160; ++i) memo.Append("line " + std::to_string(i));
    memo.Flush();
    EXPECT_EQ(QString(), memo.SelectedText());
    EXPECT_EQ(0, bar->value());
}

}  // namespace
