#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WindowHarness.h"
#include "qt/SettingsGrid.h"
#include "settings/SettingsStore.h"

using namespace korvan;

namespace {

class SettingsGridTest : public WindowHarness {
protected:
    void SetUp() override {
        Create();
        ASSERT_NE(nullptr, window->Settings());
        grid = window->Settings()->Grid();
        model = grid->Model();
        window->show();
        window->PageControl()->setCurrentIndex(3);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    // Types `text` into the Value cell of `row` as the operator does, and
    // stores it with Enter.
    void TypeValue(int row, const QString& text) {
        const QModelIndex idx = model->index(row, SettingsTableModel::kValueColumn);
        grid->setCurrentIndex(idx);
        grid->edit(idx);
        auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(idx));
        ASSERT_NE(nullptr, editor);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        // The view commits and closes the editor once the key is handled.
        QCoreApplication::processEvents();
    }

    std::string Shown(int row) const {
        return model->index(row, SettingsTableModel::kValueColumn).data().toString().toStdString();
    }
    std::string Stored(int row) const {
        return model->index(row, SettingsTableModel::kValueColumn)
            .data(Qt::EditRole)
            .toString()
            .toStdString();
    }

    void MoveTo(const QPoint& pos) {
        QMouseEvent e(QEvent::MouseMove, pos, grid->viewport()->mapToGlobal(pos), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(grid->viewport(), &e);
    }

    QRect CellRect(int row, int column) const {
        return grid->visualRect(model->index(row, column));
    }

    // A memo's lines without their time stamps.
    static std::vector<std::string> MemoTexts(QtMemo* memo) {
        memo->Flush();
        std::vector<std::string> out;
        for (const QString& l : memo->toPlainText().split('\n', Qt::SkipEmptyParts))
            out.push_back(l.mid(22).toStdString());
        return out;
    }

    SettingsGrid* grid = nullptr;
    SettingsTableModel* model = nullptr;
};

TEST_F(SettingsGridTest, KeyAndValueColumnsOnTheSettingsTab) {
    EXPECT_EQ("Settings", window->PageControl()->tabText(3).toStdString());
    EXPECT_TRUE(window->SettingsPage()->isAncestorOf(grid));
    EXPECT_EQ("PDJXPDBGridSet", grid->objectName().toStdString());
    EXPECT_EQ("VirtualTableSet", model->objectName().toStdString());
    EXPECT_EQ(373, grid->width());
    EXPECT_EQ(0, grid->geometry().left());
    EXPECT_EQ("Key", model->headerData(0, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ("Value", model->headerData(1, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ(199, grid->horizontalHeader()->sectionSize(0));
    EXPECT_EQ(122, grid->horizontalHeader()->sectionSize(1));
    EXPECT_TRUE(grid->verticalHeader()->isVisible());
    EXPECT_FALSE(model->flags(model->index(0, 0)).testFlag(Qt::ItemIsEditable));
    EXPECT_TRUE(model->flags(model->index(0, 1)).testFlag(Qt::ItemIsEditable));

    const std::vector<std::string> keys = {"UDP Server Port",
                                           "Serial Port",
                                           "Comm Trouble 1",
                                           "Comm Trouble 2",
                                           "Comm Trouble 3",
                                           "Comm Trouble StartUp Delay",
                                           "Ping Interval To Monit.Software",
                                           "Monitoring TCP"};
    const std::vector<std::string> shown = {"33665 ",   "COM3 ",  "15 min.", "60 min.",
                                            "240 min.", "7 min.", "30 sec.", " "};
    ASSERT_EQ(8, model->rowCount());
    for (int r = 0; r < 8; ++r) {
        EXPECT_EQ(keys[static_cast<std::size_t>(r)],
                  model->index(r, 0).data().toString().toStdString());
        EXPECT_EQ(shown[static_cast<std::size_t>(r)], Shown(r));
    }
}

TEST_F(SettingsGridTest, TheEditorTakesSevenCharacters) {
    const QModelIndex idx = model->index(2, 1);
    grid->setCurrentIndex(idx);
    grid->edit(idx);
    auto* editor = qobject_cast<QLineEdit*>(grid->indexWidget(idx));
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(7, editor->maxLength());
    EXPECT_EQ("15", editor->text().toStdString());  // the value without its unit
    editor->selectAll();
    QTest::keyClicks(editor, "123456789");
    EXPECT_EQ("1234567", editor->text().toStdString());
    QTest::keyClick(editor, Qt::Key_Escape);
    EXPECT_EQ("15", Stored(2));
    EXPECT_EQ(0, sound.beeps);

    // The Monitoring TCP row takes 64.
    const QModelIndex tcp = model->index(7, 1);
    grid->setCurrentIndex(tcp);
    grid->edit(tcp);
    editor = qobject_cast<QLineEdit*>(grid->indexWidget(tcp));
    ASSERT_NE(nullptr, editor);
    EXPECT_EQ(64, editor->maxLength());
    QTest::keyClick(editor, Qt::Key_Escape);
}

struct PostCase {
    int row;
    const char* typed;
    const char* stored;  // what the row holds afterwards
    const char* shown;   // what the grid draws
};

TEST_F(SettingsGridTest, EveryStoredValueIsCheckedAppliedSavedAndConfirmed) {
    const PostCase cases[] = {
        {0, "40000", "40000", "40000 "},
        {0, "0", "33665", "33665 "},  // refused: the default replaces it
        {1, "CNCA1", "CNCA1", "CNCA1 "},
        {1, "AB", "COM1", "COM1 "},
        {2, " 15 ", " 15 ", " 15  min."},  // accepted as typed, saved trimmed
        {3, "abc", "60", "60 min."},
        {4, "9999", "9999", "9999 min."},
        {4, "10000", "240", "240 min."},
        {5, "61", "7", "7 min."},
        {5, "60", "60", "60 min."},
        {6, "4", "30", "30 sec."},
        {6, "0", "0", "0 sec."},
        {7, "listen 99999", "", " "},
    };
    std::vector<std::string> file = {"33665", "COM3", "15", "60", "240", "7", "30", ""};
    int beeps = 0;
    for (const PostCase& c : cases) {
        TypeValue(c.row, c.typed);
        EXPECT_EQ(c.stored, Stored(c.row)) << c.typed;
        EXPECT_EQ(c.shown, Shown(c.row)) << c.typed;
        EXPECT_EQ(++beeps, sound.beeps) << c.typed;
        std::string s = c.stored;
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        file[static_cast<std::size_t>(c.row)] = s;
        std::string expected;
        for (const std::string& line : file) expected += line + "\r\n";
        EXPECT_EQ(expected, dir.Read("RAZUDovuve.ini")) << c.typed;
    }
    const WorkingSettings& w = Settings();
    EXPECT_EQ(33665, w.UDPSrvPort);
    EXPECT_EQ("COM1", w.SerialPortName);
    EXPECT_EQ(15, w.CommTrouble1);
    EXPECT_EQ(60, w.CommTrouble2);
    EXPECT_EQ(240, w.CommTrouble3);
    EXPECT_EQ(60, w.CommTroubleStartUpDelay);
    EXPECT_EQ(0, w.PingInterval);
    EXPECT_FALSE(HeartbeatTimer().IsActive());
    // The endpoint was re-created on 40000 and then on 33665 again.
    EXPECT_EQ((std::vector<std::uint16_t>{33665, 40000, 33665}), udp.opened);
    EXPECT_TRUE(ErrorTexts().empty());
}

// Every posted row is checked, applied, saved and confirmed, changed or not.
TEST_F(SettingsGridTest, AValueLeftAsItWasIsPostedAgain) {
    TypeValue(2, "15");
    EXPECT_EQ(1, sound.beeps);
    EXPECT_EQ("33665\r\nCOM3\r\n15\r\n60\r\n240\r\n7\r\n30\r\n\r\n", dir.Read("RAZUDovuve.ini"));
}

// The operator fixed the cable and posts the same port name again: the port
// is opened each time, and each post says how it went.
TEST_F(SettingsGridTest, TheSameSerialPortPostedAgainIsOpenedAgain) {
    serial.failOpen = true;
    TypeValue(1, "COM7");
    EXPECT_FALSE(serial.IsOpen());
    serial.failOpen = false;
    TypeValue(1, "COM7");
    EXPECT_TRUE(serial.IsOpen());
    TypeValue(1, "COM7");  // open: closed and opened again
    EXPECT_TRUE(serial.IsOpen());
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS6", "/dev/ttyS6", "/dev/ttyS6"}),
              serial.openCalls);
    EXPECT_EQ(1, serial.closes);
    EXPECT_EQ(std::vector<std::string>{"!! CAN NOT OPEN SERIAL PORT COM7"},
              MemoTexts(window->MemoImp()));
    const std::vector<std::string> all = MemoTexts(window->MemoAll());
    EXPECT_EQ((std::vector<std::string>{"!! CAN NOT OPEN SERIAL PORT COM7",
                                        "Serial Port COM7 opened", "Serial Port COM7 opened"}),
              std::vector<std::string>(all.end() - 3, all.end()));
    EXPECT_EQ(3, sound.beeps);
    EXPECT_TRUE(ErrorTexts().empty());
}

// A UDP port that could not be bound (another program held it) is bound
// when the operator posts the same number again.
TEST_F(SettingsGridTest, TheSameUdpPortPostedAgainIsBoundAgain) {
    udp.failOpen = true;
    TypeValue(0, "33665");
    EXPECT_EQ(nullptr, udp.current);
    EXPECT_EQ(std::vector<std::string>{"ERR in DoActivateUDPSrvPort, Error Msg: Could not bind "
                                       "socket. Address and port are already in use."},
              ErrorTexts());
    udp.failOpen = false;
    TypeValue(0, "33665");
    EXPECT_NE(nullptr, udp.current);
    EXPECT_EQ((std::vector<std::uint16_t>{33665, 33665, 33665}), udp.opened);
    EXPECT_EQ("UDP Server Listen Port 33665", MemoTexts(window->MemoAll()).back());
    EXPECT_EQ(2, sound.beeps);
}

TEST_F(SettingsGridTest, ANewSerialPortNameClosesTheOldPortAndOpensTheNew) {
    ASSERT_TRUE(serial.openCalls.empty());
    TypeValue(1, "COM5");
    ASSERT_EQ(std::vector<std::string>{"/dev/ttyS4"}, serial.openCalls);
    EXPECT_TRUE(serial.IsOpen());
    const int closes = serial.closes;
    TypeValue(1, "COM6");
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyS4", "/dev/ttyS5"}), serial.openCalls);
    EXPECT_GT(serial.closes, closes);
    EXPECT_EQ("/dev/ttyS5", serial.openPath);
    EXPECT_TRUE(serial.IsOpen());
    EXPECT_EQ("COM6", Settings().SerialPortName);
}

TEST_F(SettingsGridTest, InsertAddsNoRowAndNoRowCanBeDeleted) {
    grid->setFocus();
    grid->setCurrentIndex(model->index(3, 1));
    QTest::keyClick(grid, Qt::Key_Insert);
    EXPECT_EQ(8, model->rowCount());
    grid->setCurrentIndex(model->index(7, 1));
    QTest::keyClick(grid, Qt::Key_Down);
    EXPECT_EQ(8, model->rowCount());
    EXPECT_EQ(7, grid->currentIndex().row());
    QTest::keyClick(grid, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(8, model->rowCount());
    EXPECT_FALSE(model->insertRows(8, 1));
    EXPECT_FALSE(model->removeRows(0, 1));
    EXPECT_EQ(8, model->rowCount());
    EXPECT_EQ(0, sound.beeps);
    EXPECT_FALSE(dir.Exists("RAZUDovuve.ini"));
}

TEST_F(SettingsGridTest, HintsShowOverTheKeyColumnOnly) {
    for (int row = 0; row < 8; ++row) {
        const QPoint pos = CellRect(row, 0).center();
        MoveTo(pos);
        QString expected = QString::fromLatin1(SettingsStore::HintForRow(row + 1).c_str());
        expected.replace("\r\n", "\n");
        EXPECT_EQ(expected.toStdString(), grid->HintText().toStdString()) << row;
        EXPECT_EQ(grid->viewport()->mapToGlobal(pos) + QPoint(20, -8), grid->HintPos()) << row;
        EXPECT_TRUE(QToolTip::isVisible()) << row;
        EXPECT_EQ(expected.toStdString(), QToolTip::text().toStdString()) << row;
    }
    EXPECT_EQ(0, grid->HintText().indexOf("Monitoring Software over TCP\nlisten PORT"));
    // Over a value, no hint.
    MoveTo(CellRect(6, 1).center());
    EXPECT_TRUE(grid->HintText().isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000));
    // Below the last row, none either.
    MoveTo(QPoint(CellRect(7, 0).center().x(), CellRect(7, 0).bottom() + 30));
    EXPECT_TRUE(grid->HintText().isEmpty());
    EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(SettingsGridTest, KeyCellsOnAGreyGradientValueCellsInTheDefaultColours) {
    auto render = [&](int row, int column, bool selected) {
        QImage img(120, 20, QImage::Format_RGB32);
        img.fill(Qt::magenta);
        QPainter p(&img);
        QStyleOptionViewItem opt;
        opt.rect = img.rect();
        opt.state = QStyle::State_Enabled;
        if (selected)
            opt.state |= QStyle::State_Selected;
        opt.font = grid->font();
        opt.palette = grid->palette();
        grid->itemDelegate()->paint(&p, opt, model->index(row, column));
        p.end();
        return img;
    };
    const QImage key = render(0, 0, true);
    EXPECT_EQ(qRgb(255, 255, 255), key.pixel(118, 0));
    EXPECT_NEAR(0xDE, qRed(key.pixel(118, 19)), 2);
    EXPECT_EQ(qRed(key.pixel(118, 19)), qBlue(key.pixel(118, 19)));
    const QImage value = render(0, 1, false);
    EXPECT_EQ(grid->palette().color(QPalette::Base).rgb(), value.pixel(118, 19));
    const QImage selected = render(0, 1, true);
    EXPECT_EQ(grid->palette().color(QPalette::Highlight).rgb(), selected.pixel(118, 19));
}

TEST_F(SettingsGridTest, ModelKeepsQtsRules) {
    ModelFailures failures;
    QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::Warning);
    TypeValue(3, "61");
    TypeValue(6, "5");
    model->insertRows(0, 1);
    EXPECT_TRUE(ModelFailures::Found().empty()) << ModelFailures::Found().front();
}

}  // namespace
