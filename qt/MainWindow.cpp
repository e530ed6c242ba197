#include "qt/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include "qt/AppIcon.h"
#include "qt/GradientPanel.h"
#include "qt/GridPainting.h"
#include "qt/SettingsGrid.h"
#include "qt/UnitsGrid.h"

namespace korvan {

namespace {

// The 425 x 100 picture at the left of the top panel.
QPixmap MakeBanner() {
    QPixmap pm(425, 100);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 425, 100);
    g.setColorAt(0, kBannerDark);
    g.setColorAt(1, kBannerLight);
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(4, 6, 417, 88), 10, 10);
    PaintAntenna(p, QPointF(44, 34), 1, 3);
    QFont title("Sans", 22, QFont::Bold);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(80, 14, 340, 40), Qt::AlignLeft | Qt::AlignVCenter, "Korvan");
    QFont sub("Sans", 12);
    p.setFont(sub);
    p.setPen(QColor(200, 225, 255));
    p.drawText(QRectF(82, 52, 340, 30), Qt::AlignLeft | Qt::AlignVCenter,
               "GPRS Module  -  Alarm Receiver");
    return pm;
}

QLabel* FieldLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

}  // namespace

CounterLabel::CounterLabel(QWidget* parent) : QLabel(parent) {
    // A date and time with its trailing blank fits the 109-pixel field.
    QFont f = CompactFont();
    f.setPixelSize(10);
    setFont(f);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFixedSize(109, 17);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    SetValue(0);
}

MainWindow::MainWindow(Receiver& core, const WindowServices& services, QWidget* parent)
    : QMainWindow(parent), core_(core), services_(services) {
    setObjectName("Form1");
    setWindowTitle(Receiver::kCaption);
    setWindowIcon(AppIcon());
    setMinimumHeight(300);
    resize(867, 482);
    move(102, 110);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(BuildTopPanel());

    pageControl_ = new QTabWidget(central);
    pageControl_->setObjectName("xpPageControl1");
    pageControl_->setTabPosition(QTabWidget::South);
    memoAll_ = new QtMemo();
    memoAll_->setObjectName("PDJXPMemo_All_msg");
    memoImp_ = new QtMemo();
    memoImp_->setObjectName("PDJXPMemo_Imp_msg");
    memoErr_ = new QtMemo();
    memoErr_->setObjectName("PDJXPMemo_Errors");
    settingsPage_ = new QWidget();
    settingsPage_->setObjectName("xpTabSheet_Settings");
    unitsPage_ = new QWidget();
    unitsPage_->setObjectName("xpTabSheet_TTM");
    pageControl_->addTab(memoAll_, "   All Msg   ");
    pageControl_->addTab(memoImp_, "   Imp Msg   ");
    pageControl_->addTab(memoErr_, "   Errors   ");
    pageControl_->addTab(settingsPage_, "Settings");
    pageControl_->addTab(unitsPage_, "Test Time Monitor");
    layout->addWidget(pageControl_, 1);
    setCentralWidget(central);

    core_.Attach(ReceiverViews{*memoAll_, *memoImp_, *memoErr_, *ledImp_, *ledErr_, services_.sound,
                               services_.dialogs, *this});
    // At most four updates a second, however fast the counters move.
    countersTimer_ = services_.timers.CreateTimer(kCountersMs, false, [this] { ShowCounters(); });
    connect(pageControl_, &QTabWidget::currentChanged, this, &MainWindow::TabChanged);
}

MainWindow::~MainWindow() {
    countersTimer_.reset();
    // The tab contents follow the logic's tables: they go first.
    onRepaintUnitsGrid = nullptr;
    delete unitsPanel_;
    delete settingsPanel_;
    unitsPanel_ = nullptr;
    settingsPanel_ = nullptr;
    core_.Detach();
}

QWidget* MainWindow::BuildTopPanel() {
    auto* panel = new GradientPanel(this, QColor(250, 251, 253), QColor(206, 214, 228), true);
    panel->setObjectName("TopPanel");
    panel->setFixedHeight(100);
    auto* h = new QHBoxLayout(panel);
    h->setContentsMargins(0, 0, 8, 0);
    auto* picture = new QLabel(panel);
    picture->setObjectName("TopPicture");
    picture->setFixedSize(425, 100);
    picture->setPixmap(MakeBanner());
    h->addWidget(picture);
    h->addStretch(1);

    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);
    appStarted_ = new CounterLabel(panel);
    appStarted_->setObjectName("PStaticText_AppStarted");
    appStarted_->setText(" ");
    struct Field {
        const char* label;
        const char* name;
        int row, col;
        CounterLabel** field;
    };
    const Field fields[] = {
        {"Packs receive:", "PStaticText_PacksRec", 1, 0, &packsRec_},
        {"Elem. receive:", "PStaticText_ElemRec", 2, 0, &elemRec_},
        {"Receive msg:", "PStaticText_qRecMsg", 0, 2, &recMsg_},
        {"Send Msg:", "PStaticText_qSendMsg", 1, 2, &sendMsg_},
        {"Send Buffer:", "PStaticText_SB", 2, 2, &sendBuffer_},
    };
    grid->addWidget(FieldLabel("App started:", panel), 0, 0);
    grid->addWidget(appStarted_, 0, 1);
    for (const Field& f : fields) {
        auto* c = new CounterLabel(panel);
        c->setObjectName(f.name);
        grid->addWidget(FieldLabel(f.label, panel), f.row, f.col);
        grid->addWidget(c, f.row, f.col + 1);
        *f.field = c;
    }
    // The output the lines go out on, in the counters' style but left-aligned
    // and as wide as its text needs.
    output_ = new CounterLabel(panel);
    output_->setObjectName("PStaticText_Output");
    output_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    output_->setMinimumWidth(109);
    output_->setMaximumWidth(200);
    output_->setText(" none");
    grid->addWidget(FieldLabel("Output:", panel), 3, 2);
    grid->addWidget(output_, 3, 3);
    auto* ledRow = new QHBoxLayout();
    ledImp_ = new QtLed(panel);
    ledImp_->setObjectName("PTransLED_Imp_msg");
    ledErr_ = new QtLed(panel);
    ledErr_->setObjectName("PTransLED_Errors");
    ledRow->setSpacing(4);
    ledRow->addWidget(ledImp_);
    ledRow->addWidget(new QLabel("Important message", panel));
    ledRow->addSpacing(18);
    ledRow->addWidget(ledErr_);
    ledRow->addWidget(new QLabel("Errors", panel));
    ledRow->addStretch(1);
    grid->addLayout(ledRow, 3, 0, 1, 2);
    h->addLayout(grid);
    return panel;
}

bool MainWindow::Create() {
    if (!core_.Start())
        return false;
    BuildTabContents();
    ShowCounters();
    countersTimer_->Start();
    return true;
}

void MainWindow::BuildTabContents() {
    LogChannel& errors = core_.Logs().err;

    auto* settingsLayout = new QVBoxLayout(settingsPage_);
    settingsLayout->setContentsMargins(0, 0, 0, 0);
    settingsPanel_ = new SettingsPanel(core_.Store(), errors, settingsPage_);
    settingsLayout->addWidget(settingsPanel_);

    auto* unitsLayout = new QVBoxLayout(unitsPage_);
    unitsLayout->setContentsMargins(0, 0, 0, 0);
    unitsPanel_ = new UnitsPanel(
        UnitsPanel::Context{core_.Units(), core_.UnitRows(), core_.Commands(), services_.clock,
                            services_.timers, services_.dialogs, errors},
        unitsPage_);
    unitsLayout->addWidget(unitsPanel_);
    onRepaintUnitsGrid = [this] { unitsPanel_->RepaintGrid(); };
}

void MainWindow::ShowCounters() {
    const ReceiverCounters c = core_.Counters();
    if (c == shown_)
        return;
    shown_ = c;
    packsRec_->SetValue(static_cast<long long>(c.packsReceived));
    elemRec_->SetValue(static_cast<long long>(c.elementsReceived));
    recMsg_->SetValue(static_cast<long long>(c.messagesReceived));
    sendMsg_->SetValue(static_cast<long long>(c.messagesSent));
    sendBuffer_->SetValue(c.sendBuffer);
    output_->setText(" " + FromLocal8(c.output));
}

void MainWindow::SetAppStartedText(const std::string& text) {
    appStarted_->setText(FromLocal8(text));
}

void MainWindow::ShowPage(int index) {
    pageControl_->setCurrentIndex(index);
}

void MainWindow::RepaintUnitsGrid() {
    if (onRepaintUnitsGrid)
        onRepaintUnitsGrid();
}

void MainWindow::Terminate() {
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
}

void MainWindow::TabChanged(int index) {
    switch (index) {
        case 0:
            core_.AllMessagesShown();
            break;
        case 1:
            core_.ImportantMessagesShown();
            break;
        case 2:
            core_.ErrorsShown();
            break;
        default:
            break;
    }
}

void MainWindow::closeEvent(QCloseEvent* e) {
    if (core_.ConfirmClose()) {
        e->accept();
    } else {
        e->ignore();
    }
}

}  // namespace korvan
