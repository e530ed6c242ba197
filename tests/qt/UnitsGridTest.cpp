#include <QAbstractItemModelTester>
#include <QAction>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "WindowHarness.h"
#include "qt/DataGrid.h"
#include "qt/UnitsGrid.h"
#include "registry/Units.h"

using namespace korvan;

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// Text pixels, told from the cell's background at the same height (taken at
// the cell's right edge, where no text reaches).
using PixelTest = std::function<bool(QRgb pixel, QRgb background)>;
// Black text: every channel well below the background.
bool IsDark(QRgb p, QRgb bg) {
    return qRed(p) < qRed(bg) - 60 && qGreen(p) < qGreen(bg) - 60 && qBlue(p) < qBlue(bg) - 60;
}
// Blue text: red and green well below the background, blue not.
bool IsBlue(QRgb p, QRgb bg) {
    return qRed(p) < qRed(bg) - 80 && qGreen(p) < qGreen(bg) - 80 && qBlue(p) >= qBlue(bg) - 40;
}
// White text: no channel below the background, and clearly lighter.
bool IsWhite(QRgb p, QRgb bg) {
    return qRed(p) >= qRed(bg) - 5 && qGreen(p) >= qGreen(bg) - 5 && qBlue(p) >= qBlue(bg) - 5 &&
           (qRed(p) + qGreen(p) + qBlue(p)) - (qRed(bg) + qGreen(bg) + qBlue(bg)) > 60;
}

// Pixels in columns [x0, x1) that satisfy `test`.
int CountPixels(const QImage& img, int x0, int x1, const PixelTest& test) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
        const QRgb bg = img.pixel(img.width() - 1, y);
        for (int x = std::max(0, x0); x < std::min(img.width() - 1, x1); ++x)
            if (test(img.pixel(x, y), bg))
                ++n;
    }
    return n;
}

std::string Rgb3(QRgb p) {
    return std::to_string(qRed(p)) + "," + std::to_string(qGreen(p)) + "," +
           std::to_string(qBlue(p));
}

// Within 2 of each other in every channel (gradient rounding).
bool Near(QRgb p, int r, int g, int b) {
    return std::abs(qRed(p) - r) <= 2 && std::abs(qGreen(p) - g) <= 2 &&
           std::abs(qBlue(p) - b) <= 2;
}

class UnitsGridTest : public WindowHarness {
protected:
    void SetUp() override {
        const TDateTime last = kStart - 65 * kSecond;
        WriteDatabase({
            {3, 0, "", "10.0.0.7", 5000, kStart - 3, last, "", "0312"},
            {12, 3, "352099001761481", "10.0.0.5", 4000, kStart - 2, last, "\x01\x02\x0F", "ABCD"},
            {120, 1, "", "192.0.2.9", 4001, kStart - 1, last, "", "9999"},
            {200, 2, "", "10.0.0.20", 4003, kStart - 1, last, "", "0200"},
            {300, 7, "", "10.0.0.30", 4004, kStart - 1, last, "", "0300"},
            {4500, 4, "", "10.0.0.12", 4002, kStart - 1, last, "", ""},
        });
        Create();
        panel = window->Units();
        ASSERT_NE(nullptr, panel);
        grid = panel->Grid();
        model = panel->Model();
    }

    UnitTable& Table() { return window->Core().UnitRows(); }
    Registry& Units() { return window->Core().Units(); }

    std::vector<int> Rows() const {
        std::vector<int> out;
        for (int r = 0; r < model->rowCount(); ++r) out.push_back(model->UnitNrAt(r));
        return out;
    }
    int RowOf(int nr) const {
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->UnitNrAt(r) == nr)
                return r;
        return -1;
    }
    QString Cell(int nr, int column) const {
        return model->index(RowOf(nr), column).data().toString();
    }

    // Shows the window on the Test Time Monitor tab.
    void ShowGrid() {
        window->show();
        window->PageControl()->setCurrentIndex(4);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QCoreApplication::processEvents();
    }

    void ClickCell(int nr, int column) {
        const QModelIndex idx = model->index(RowOf(nr), column);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(idx).center());
    }

    // The delegate paints one cell into an image of `size`.
    QImage RenderCell(int nr, int column, bool selected, QSize size = QSize(111, 24)) {
        QImage img(size, QImage::Format_RGB32);
        img.fill(Qt::magenta);
        QPainter p(&img);
        QStyleOptionViewItem opt;
        opt.rect = img.rect();
        opt.state = QStyle::State_Enabled;
        if (selected)
            opt.state |= QStyle::State_Selected;
        opt.font = grid->font();
        opt.palette = grid->palette();
        panel->Delegate()->paint(&p, opt, model->index(RowOf(nr), column));
        p.end();
        return img;
    }

    void Trigger(const char* action) {
        QAction* a = panel->MenuAction(action);
        ASSERT_NE(nullptr, a) << action;
        a->trigger();
    }

    UnitsPanel* panel = nullptr;
    DataGrid* grid = nullptr;
    UnitsTableModel* model = nullptr;
};

TEST_F(UnitsGridTest, SitsOnTheTestTimeMonitorTab) {
    EXPECT_EQ("Test Time Monitor", window->PageControl()->tabText(4).toStdString());
    EXPECT_EQ(window->UnitsPage(), window->PageControl()->widget(4));
    EXPECT_EQ("xpTabSheet_TTM", window->UnitsPage()->objectName().toStdString());
    EXPECT_TRUE(window->UnitsPage()->isAncestorOf(grid));
    EXPECT_EQ("PDJXPDBGrid1", grid->objectName().toStdString());
    EXPECT_EQ("VirtualTable1", model->objectName().toStdString());
    EXPECT_EQ("PopupMenu20001", panel->PopupMenu()->objectName().toStdString());
}

TEST_F(UnitsGridTest, EightFixedColumnsWithTitlesAndARowIndicator) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"Unit ID", 52},       {"Account", 52},         {"IP:Port", 134}, {"Last Test Time", 111},
        {"No Test Time", 111}, {"First Msg Time", 111}, {"Imei", 134},    {"FirmWare Ver", 78}};
    ASSERT_EQ(static_cast<int>(expected.size()), model->columnCount());
    QHeaderView* h = grid->horizontalHeader();
    EXPECT_TRUE(h->isVisible() || !grid->isVisible());
    EXPECT_FALSE(h->sectionsMovable());
    for (int c = 0; c < model->columnCount(); ++c) {
        EXPECT_EQ(expected[static_cast<std::size_t>(c)].first,
                  model->headerData(c, Qt::Horizontal).toString().toStdString());
        EXPECT_EQ(expected[static_cast<std::size_t>(c)].second, h->sectionSize(c)) << c;
        EXPECT_EQ(QHeaderView::Fixed, h->sectionResizeMode(c)) << c;
    }
    EXPECT_FALSE(grid->verticalHeader()->isHidden());
    // Read-only.
    EXPECT_EQ(QAbstractItemView::NoEditTriggers, grid->editTriggers());
    EXPECT_FALSE(model->flags(model->index(0, 0)).testFlag(Qt::ItemIsEditable));
}

TEST_F(UnitsGridTest, RowsAreTheKnownUnitsInOrderWithTheirTexts) {
    EXPECT_EQ((std::vector<int>{3, 12, 120, 200, 300, 4500}), Rows());
    const std::vector<std::string> expected = {"0012",
                                               "ABCD",
                                               "10.0.0.5:4000",
                                               "08.12.2026 10:28:55",
                                               "0d. 00:01:05",
                                               "06.12.2026 10:30:00",
                                               "352099001761481",
                                               "1.2.15"};
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(expected[static_cast<std::size_t>(c)], Cell(12, c).toStdString()) << c;
    EXPECT_EQ("", Cell(4500, 1).toStdString());
    // The first row is the current one after start-up.
    EXPECT_EQ(0, Table().Current());
    EXPECT_EQ(0, grid->currentIndex().row());
}

TEST_F(UnitsGridTest, NoTestTimeIsComputedAtEveryPaint) {
    EXPECT_EQ("0d. 00:01:05", Cell(3, 4).toStdString());
    clock.Advance(3600 * 1000);
    EXPECT_EQ("0d. 01:01:05", Cell(3, 4).toStdString());
}

struct ColourCase {
    int nr;
    int flags;
    int top[3];
    int bottom[3];
};

TEST_F(UnitsGridTest, CellsArePaintedInTheColoursOfTheHighestStage) {
    const ColourCase cases[] = {
        {3, 0, {255, 255, 255}, {222, 222, 222}},  {120, 1, {255, 255, 255}, {254, 209, 122}},
        {200, 2, {255, 237, 213}, {255, 158, 28}}, {12, 3, {255, 237, 213}, {255, 158, 28}},
        {4500, 4, {255, 193, 139}, {255, 123, 0}}, {300, 7, {255, 193, 139}, {255, 123, 0}},
    };
    for (const ColourCase& c : cases) {
        for (int column = 0; column < 8; ++column) {
            const QImage img = RenderCell(c.nr, column, false);
            const QRgb top = img.pixel(img.width() - 2, 0);
            const QRgb bottom = img.pixel(img.width() - 2, img.height() - 1);
            EXPECT_TRUE(Near(top, c.top[0], c.top[1], c.top[2]))
                << "unit " << c.nr << " column " << column << " top " << Rgb3(top);
            EXPECT_TRUE(Near(bottom, c.bottom[0], c.bottom[1], c.bottom[2]))
                << "unit " << c.nr << " column " << column << " bottom " << Rgb3(bottom);
        }
    }
}

TEST_F(UnitsGridTest, TextIsBlackUnlessSelectedThenBlueOrWhite) {
    for (int nr : {3, 120, 200, 12, 4500, 300}) {
        const QImage plain = RenderCell(nr, 0, false);
        EXPECT_GT(CountPixels(plain, 0, 60, IsDark), 10) << nr;
    }
    for (int nr : {3, 120}) {  // no stage 2 yet: blue
        const QImage sel = RenderCell(nr, 0, true);
        EXPECT_GT(CountPixels(sel, 0, 60, IsBlue), 10) << nr;
        EXPECT_EQ(0, CountPixels(sel, 0, 60, IsDark)) << nr;
    }
    for (int nr : {200, 12, 4500, 300}) {  // stage 2 or 3: white on orange
        const QImage sel = RenderCell(nr, 0, true);
        EXPECT_GT(CountPixels(sel, 0, 60, IsWhite), 10) << nr;
        EXPECT_EQ(0, CountPixels(sel, 0, 60, IsDark)) << nr;
    }
}

TEST_F(UnitsGridTest, TheSelectedCellOfTheRealGridHasWhiteTextOnOrange) {
    ShowGrid();
    ClickCell(12, 0);
    ASSERT_EQ(12, Table().CurrentUnitNr());
    const QImage selected =
        grid->viewport()
            ->grab(grid->visualRect(model->index(RowOf(12), 0)).adjusted(0, 0, -1, -1))
            .toImage();
    const QImage other =
        grid->viewport()
            ->grab(grid->visualRect(model->index(RowOf(12), 1)).adjusted(0, 0, -1, -1))
            .toImage();
    EXPECT_GT(CountPixels(selected, 0, selected.width(), IsWhite), 10);
    EXPECT_EQ(0, CountPixels(selected, 0, selected.width(), IsDark));
    EXPECT_GT(CountPixels(other, 0, other.width(), IsDark), 10);
}

TEST_F(UnitsGridTest, AnEmptyAddressDrawsOnlyThePort90PixelsRight) {
    Units().Unit(3).address.clear();
    const QImage empty = RenderCell(3, 2, false, QSize(134, 20));
    EXPECT_EQ(0, CountPixels(empty, 0, 2 + 90, IsDark));
    EXPECT_GT(CountPixels(empty, 2 + 90, 134, IsDark), 10);
    // With an address, it starts at the origin and the port keeps its place.
    const QImage full = RenderCell(12, 2, false, QSize(134, 20));
    EXPECT_GT(CountPixels(full, 0, 2 + 90, IsDark), 10);
    EXPECT_GT(CountPixels(full, 2 + 90, 134, IsDark), 10);
}

TEST_F(UnitsGridTest, TheTablesCurrentRowFollowsTheGridAndBack) {
    ShowGrid();
    ClickCell(200, 3);
    EXPECT_EQ(RowOf(200), Table().Current());
    EXPECT_EQ(200, Table().CurrentUnitNr());
    Table().SetCurrent(RowOf(4500));
    EXPECT_EQ(RowOf(4500), grid->currentIndex().row());
    EXPECT_EQ(3, grid->currentIndex().column());  // the column stays
    EXPECT_EQ(RowOf(4500), grid->Indicator()->CurrentRow());
}

TEST_F(UnitsGridTest, TheCurrentRowFollowsTheScrollThumbWhileDragged) {
    std::vector<DbUnit> many;
    for (int nr = 1; nr <= 300; ++nr)
        many.push_back({nr, 0, "", "10.0.0.1", 4000, kStart, kStart, "", ""});
    window.reset();
    WriteDatabase(many);
    Create();
    panel = window->Units();
    grid = panel->Grid();
    model = panel->Model();
    ShowGrid();
    QScrollBar* bar = grid->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 100);
    bar->setSliderDown(true);
    bar->setSliderPosition(bar->maximum());
    EXPECT_EQ(299, Table().Current());
    EXPECT_EQ(299, grid->currentIndex().row());
    bar->setSliderPosition(0);
    EXPECT_EQ(0, Table().Current());
    const int mid = bar->maximum() / 2;
    bar->setSliderPosition(mid);
    const int page = 300 - bar->maximum();
    EXPECT_GE(Table().Current(), mid);
    EXPECT_LT(Table().Current(), mid + page);
    EXPECT_EQ(Table().Current(), grid->currentIndex().row());
    // The thumb stays where it was dragged: the chosen row is on its page.
    EXPECT_EQ(mid, bar->value());
    bar->setSliderDown(false);
}

TEST_F(UnitsGridTest, FilterBoxAppliesTheTrimmedText1500MsAfterTheLastKeystroke) {
    QLineEdit* edit = panel->FilterEdit();
    EXPECT_EQ("PDJXPEdit_Filter", edit->objectName().toStdString());
    EXPECT_EQ(181, edit->width());
    EXPECT_EQ(QColor(255, 255, 255), edit->palette().color(QPalette::Base));

    QTest::keyClicks(edit, " 0012 ");
    EXPECT_EQ(QColor(0, 255, 255), edit->palette().color(QPalette::Base));
    clock.Advance(1499);
    EXPECT_EQ(6, model->rowCount());
    clock.Advance(1);
    EXPECT_EQ(std::vector<int>{12}, Rows());
    EXPECT_EQ(0, grid->currentIndex().row());

    // Case-sensitive.
    edit->setText("abcd");
    clock.Advance(1500);
    EXPECT_TRUE(Rows().empty());
    edit->setText("ABCD");
    clock.Advance(1500);
    EXPECT_EQ(std::vector<int>{12}, Rows());

    // A unit heard for the first time gets its row anyway.
    UnitMessage m;
    m.unitText = "0077";
    m.now = clock.Now();
    m.senderIP = "10.7.7.7";
    m.senderPort = 7000;
    Units().UpdateUnitOnMessage(77, m);
    EXPECT_EQ((std::vector<int>{12, 77}), Rows());

    // Emptying the box restores every unit after 0.1 s.
    edit->clear();
    EXPECT_EQ(QColor(255, 255, 255), edit->palette().color(QPalette::Base));
    clock.Advance(99);
    EXPECT_EQ((std::vector<int>{12, 77}), Rows());
    clock.Advance(1);
    EXPECT_EQ((std::vector<int>{3, 12, 77, 120, 200, 300, 4500}), Rows());
}

TEST_F(UnitsGridTest, FilterIconAndRefreshButton) {
    QLabel* icon = panel->findChild<QLabel*>("FilterIcon");
    ASSERT_NE(nullptr, icon);
    EXPECT_EQ(QSize(16, 16), icon->size());
    EXPECT_EQ("Filter", icon->toolTip().toStdString());
    EXPECT_EQ(" Refresh", panel->RefreshButton()->text().toStdString());
    EXPECT_EQ("RbButton1", panel->RefreshButton()->objectName().toStdString());
}

TEST_F(UnitsGridTest, RefreshRepaintsTheGridAndNothingElse) {
    ShowGrid();
    PaintCounter paints(grid->viewport());
    QCoreApplication::processEvents();
    paints.count = 0;
    const std::vector<int> before = Rows();
    clock.Advance(10000);
    QTest::mouseClick(panel->RefreshButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return paints.count > 0; }, 2000));
    EXPECT_EQ(before, Rows());
    EXPECT_EQ("0d. 00:01:15", Cell(3, 4).toStdString());
}

TEST_F(UnitsGridTest, ATroubleStageRepaintsTheGrid) {
    ShowGrid();
    PaintCounter paints(grid->viewport());
    QCoreApplication::processEvents();
    paints.count = 0;
    ASSERT_TRUE(window->onRepaintUnitsGrid);
    Units().MarkCommTrouble(3, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return paints.count > 0; }, 2000));
}

TEST_F(UnitsGridTest, PopupMenuItemsInOrder) {
    QMenu* menu = panel->PopupMenu();
    std::vector<std::string> items;
    for (QAction* a : menu->actions())
        items.push_back(
            a->isSeparator() ? "-" : a->text().toStdString() + "|" + a->objectName().toStdString());
    const std::vector<std::string> expected = {"Get Ping|GetPing1",
                                               "Get Automatic Test|GetAutomaticTest1",
                                               "Get GSM Level|GetGSMLevel1",
                                               "Set Time|SetTime1",
                                               "Reset Device|ResetDevice1",
                                               "-",
                                               "Open/Close|",
                                               "Important cmd|",
                                               "-",
                                               "Delete|Delete1"};
    EXPECT_EQ(expected, items);
    auto sub = [&](int i) {
        std::vector<std::string> out;
        QMenu* m = menu->actions()[i]->menu();
        if (m == nullptr)
            return out;
        for (QAction* a : m->actions())
            out.push_back(a->text().toStdString() + "|" + a->objectName().toStdString());
        return out;
    };
    EXPECT_EQ((std::vector<std::string>{"Open|OpenCloseOpen1", "Close|OpenCloseClose1"}), sub(6));
    EXPECT_EQ((std::vector<std::string>{"Change Unit ID|ImportantcmdChangeUnitID1",
                                        "Clear Storage|ImportantcmdClearStorage1"}),
              sub(7));
}

TEST_F(UnitsGridTest, EveryMenuCommandGoesToTheSelectedUnit) {
    ShowGrid();
    ClickCell(12, 0);
    dialogs.inputAnswers.push_back({true, " 42 "});
    struct Case {
        const char* action;
        std::uint8_t type;
        std::size_t size;
    };
    const Case cases[] = {
        {"GetPing1", 0x24, 9},
        {"GetAutomaticTest1", 0x2C, 9},
        {"GetGSMLevel1", 0x25, 9},
        {"SetTime1", 0x2A, 15},
        {"ResetDevice1", 0x29, 9},
        {"OpenCloseOpen1", 0x27, 10},
        {"OpenCloseClose1", 0x27, 10},
        {"ImportantcmdChangeUnitID1", 0x2B, 28},
        {"ImportantcmdClearStorage1", 0x26, 9},
    };
    for (const Case& c : cases) {
        window->PageControl()->setCurrentIndex(4);
        const std::size_t before = udp.sent.size();
        Trigger(c.action);
        ASSERT_EQ(before + 1, udp.sent.size()) << c.action;
        const SentDatagram& d = udp.sent.back();
        EXPECT_EQ("10.0.0.5", d.address) << c.action;
        EXPECT_EQ(4000, d.port) << c.action;
        EXPECT_EQ(c.type, d.data[0]) << c.action;
        EXPECT_EQ(c.size, d.data.size()) << c.action;
        // Bytes 4..7: unit 0012, least significant digit first.
        EXPECT_EQ((Bytes{2, 1, 0, 0}), Bytes(d.data.begin() + 4, d.data.begin() + 8)) << c.action;
        // The All Msg tab comes to the front.
        EXPECT_EQ(0, window->PageControl()->currentIndex()) << c.action;
    }
    EXPECT_EQ(0x00, udp.sent[5].data[8]);  // Open
    EXPECT_EQ(0x01, udp.sent[6].data[8]);  // Close
    EXPECT_EQ((Bytes{2, 4, 0, 0}),
              Bytes(udp.sent[7].data.begin() + 23, udp.sent[7].data.begin() + 27));
}

TEST_F(UnitsGridTest, AnErrorEscapingAMenuCommandIsShownAndTheProgramGoesOn) {
    ShowGrid();
    ClickCell(12, 0);
    udp.failSends = true;
    Trigger("SetTime1");
    ASSERT_FALSE(dialogs.shown.empty());
    EXPECT_EQ("M:Socket Error # 10049", dialogs.shown.back());
    Trigger("OpenCloseClose1");
    EXPECT_EQ("M:Socket Error # 10049", dialogs.shown.back());
    EXPECT_EQ(2u, dialogs.shown.size());
    // Get Ping guards itself: an Errors entry, no box.
    Trigger("GetPing1");
    EXPECT_EQ(2u, dialogs.shown.size());
    EXPECT_EQ(std::vector<std::string>{"ERR in SendCMD, Error Msg: Socket Error # 10049"},
              ErrorTexts());
    udp.failSends = false;
    Trigger("GetPing1");
    EXPECT_EQ(1u, udp.sent.size());
}

TEST_F(UnitsGridTest, DeleteAsksAndNoChangesNothing) {
    ShowGrid();
    ClickCell(12, 0);
    const std::string dbBefore = dir.Read("RAZUDovuve.db");
    dialogs.confirmAnswers.push_back(false);
    Trigger("Delete1");
    EXPECT_EQ(std::vector<std::string>{"Q:Unit [0012] - Really Delete?"}, dialogs.shown);
    EXPECT_EQ((std::vector<int>{3, 12, 120, 200, 300, 4500}), Rows());
    EXPECT_TRUE(Units().IsUnitKnown(12));
    EXPECT_EQ(dbBefore, dir.Read("RAZUDovuve.db"));
}

TEST_F(UnitsGridTest, DeleteWithYesRemovesRowRecordAndDatabaseBytes) {
    ShowGrid();
    ClickCell(12, 2);
    const std::string dbBefore = dir.Read("RAZUDovuve.db");
    ASSERT_EQ(1, dbBefore[12 * 40]);
    dialogs.confirmAnswers.push_back(true);
    Trigger("Delete1");
    EXPECT_EQ((std::vector<int>{3, 120, 200, 300, 4500}), Rows());
    EXPECT_FALSE(Units().IsUnitKnown(12));
    EXPECT_EQ("", Units().Unit(12).rowText);
    const std::string db = dir.Read("RAZUDovuve.db");
    ASSERT_EQ(400000u, db.size());
    EXPECT_EQ(std::string(40, '\0'), db.substr(12 * 40, 40));
    // Nothing else in the file changed.
    EXPECT_EQ(dbBefore.substr(0, 12 * 40), db.substr(0, 12 * 40));
    EXPECT_EQ(dbBefore.substr(13 * 40), db.substr(13 * 40));
    // The row that followed is the current one, in the table and the grid.
    EXPECT_EQ(120, Table().CurrentUnitNr());
    EXPECT_EQ(Table().Current(), grid->currentIndex().row());
    EXPECT_TRUE(ErrorTexts().empty());
}

TEST_F(UnitsGridTest, CommandsDoNothingWhileTheGridIsEmpty) {
    panel->FilterEdit()->setText("no such unit");
    clock.Advance(1500);
    ASSERT_EQ(0, model->rowCount());
    Trigger("Delete1");
    Trigger("GetPing1");
    Trigger("SetTime1");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(udp.sent.empty());
}

TEST_F(UnitsGridTest, ModelKeepsQtsRulesThroughInsertDeleteAndFilter) {
    ModelFailures failures;
    QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::Warning);
    UnitMessage m;
    m.unitText = "0001";
    m.now = clock.Now();
    m.senderIP = "10.1.1.1";
    m.senderPort = 1000;
    Units().UpdateUnitOnMessage(1, m);     // before the current row
    Units().UpdateUnitOnMessage(9000, m);  // after it
    Table().SetCurrent(2);
    dialogs.confirmAnswers = {true, true};
    Trigger("Delete1");
    Table().SetCurrent(model->rowCount() - 1);
    Trigger("Delete1");
    panel->FilterEdit()->setText("0312");
    clock.Advance(1500);
    panel->FilterEdit()->setText("");
    clock.Advance(100);
    EXPECT_EQ((std::vector<int>{1, 3, 120, 200, 300, 4500}), Rows());
    EXPECT_TRUE(ModelFailures::Found().empty()) << ModelFailures::Found().front();
}

}  // namespace
