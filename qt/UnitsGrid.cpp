#include "qt/UnitsGrid.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include <cmath>
#include <exception>

#include "base/Guard.h"
#include "device/Commands.h"
#include "qt/DataGrid.h"
#include "qt/GradientPanel.h"
#include "qt/GridPainting.h"
#include "qt/QtViews.h"

namespace korvan {

namespace {

constexpr int kBottomPanelHeight = 47;
constexpr int kFilterEditWidth = 181;

// Keeps a flag set for the length of a scope.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = old_; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
    bool old_;
};

// The 16 x 16 funnel left of the filter box.
QPixmap FilterIcon() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath funnel;
    funnel.moveTo(1.5, 2.5);
    funnel.lineTo(14.5, 2.5);
    funnel.lineTo(9.5, 8.5);
    funnel.lineTo(9.5, 14.0);
    funnel.lineTo(6.5, 12.5);
    funnel.lineTo(6.5, 8.5);
    funnel.closeSubpath();
    QLinearGradient g(0, 2, 0, 14);
    g.setColorAt(0, QColor(120, 190, 255));
    g.setColorAt(1, QColor(30, 90, 170));
    p.setBrush(g);
    p.setPen(QPen(QColor(20, 55, 110), 1));
    p.drawPath(funnel);
    return pm;
}

// Two bent arrows in a circle: the Refresh button's picture.
QIcon RefreshIcon() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor c(30, 120, 40);
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
    const QRectF r(2.5, 2.5, 11, 11);
    p.drawArc(r, 40 * 16, 130 * 16);
    p.drawArc(r, 220 * 16, 130 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    QPainterPath a1;
    a1.moveTo(12.5, 0.5);
    a1.lineTo(15.5, 5.5);
    a1.lineTo(10.0, 5.5);
    a1.closeSubpath();
    p.drawPath(a1);
    QPainterPath a2;
    a2.moveTo(3.5, 15.5);
    a2.lineTo(0.5, 10.5);
    a2.lineTo(6.0, 10.5);
    a2.closeSubpath();
    p.drawPath(a2);
    return QIcon(pm);
}

}  // namespace

// --- UnitsTableModel -----------------------------------------------------

UnitsTableModel::UnitsTableModel(const Registry& units, UnitTable& table, const IClock& clock,
                                 QObject* parent)
    : QAbstractTableModel(parent), units_(units), table_(table), clock_(clock) {
    setObjectName("VirtualTable1");
    rows_.reserve(static_cast<std::size_t>(table_.RowCount()));
    for (int i = 0; i < table_.RowCount(); ++i) rows_.push_back(table_.RowAt(i));
    table_.SetObserver(this);
}

UnitsTableModel::~UnitsTableModel() {
    table_.SetObserver(nullptr);
}

int UnitsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int UnitsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kUnitColumnCount;
}

int UnitsTableModel::UnitNrAt(int row) const {
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return -1;
    return rows_[static_cast<std::size_t>(row)];
}

QVariant UnitsTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const int nr = UnitNrAt(index.row());
    if (role == UnitNrRole)
        return nr;
    if (role != Qt::DisplayRole)
        return QVariant();
    const UnitRecord& u = units_.Unit(nr);
    QString text = FromLocal8(UnitCellText(u, nr, index.column(), clock_.Now()));
    if (index.column() == unitcol::kIpPort)
        text += FromLocal8(UnitPortText(u));
    return text;
}

QVariant UnitsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kUnitColumnCount) {
        return QString::fromLatin1(kUnitColumns[static_cast<std::size_t>(section)].title);
    }
    return QVariant();
}

Qt::ItemFlags UnitsTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void UnitsTableModel::RowsReset() {
    {
        FlagScope scope(changing_);
        beginResetModel();
        rows_.clear();
        for (int i = 0; i < table_.RowCount(); ++i) rows_.push_back(table_.RowAt(i));
        endResetModel();
    }
    // A rebuild moves to the first row without a word of its own.
    if (table_.Current() >= 0)
        emit tableCurrentChanged(table_.Current());
}

void UnitsTableModel::RowInserted(int position) {
    FlagScope scope(changing_);
    beginInsertRows(QModelIndex(), position, position);
    rows_.insert(rows_.begin() + position, table_.RowAt(position));
    endInsertRows();
}

void UnitsTableModel::RowRemoved(int position) {
    FlagScope scope(changing_);
    beginRemoveRows(QModelIndex(), position, position);
    rows_.erase(rows_.begin() + position);
    endRemoveRows();
}

void UnitsTableModel::CurrentChanged(int position) {
    emit tableCurrentChanged(position);
}

// --- UnitsGridDelegate -------------------------------------------------------

UnitsGridDelegate::UnitsGridDelegate(const Registry& units, const UnitTable& table,
                                     const IClock& clock, LogChannel& errors, QObject* parent)
    : QStyledItemDelegate(parent), units_(units), table_(table), clock_(clock), errors_(errors) {
    setObjectName("PDJXPDBGrid1DrawColumnCell");
}

void UnitsGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    painter->save();
    Guarded(errors_, "PDJXPDBGrid1DrawColumnCell", [&] {
        painter->setFont(option.font);
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        const QVariant nr = index.data(UnitsTableModel::UnitNrRole);
        PDJXPDBGrid1DrawColumnCell(*painter, option.rect, selected, index.column(),
                                   nr.isValid() ? nr.toInt() : -1, option.palette);
    });
    painter->restore();
}

void UnitsGridDelegate::PDJXPDBGrid1DrawColumnCell(QPainter& painter, const QRect& rect,
                                                   bool selected, int column, int unitNr,
                                                   const QPalette& palette) const {
    if (!table_.IsOpen() || table_.Empty() || unitNr < 0 || unitNr >= kUnitCount) {
        PaintDefaultCell(painter, rect, selected, palette);
        return;
    }
    const UnitRecord& u = units_.Unit(unitNr);
    const GradientColours colours = RowColours(u.troubleStagesSent);
    PaintVerticalGradient(painter, rect, ToQColor(colours.top), ToQColor(colours.bottom));
    painter.setPen(ToQColor(CellTextColour(u.troubleStagesSent, selected)));
    const QPoint origin = rect.topLeft() + QPoint(kCellTextInset, kCellTextInset);
    DrawCellText(painter, rect, origin, FromLocal8(UnitCellText(u, unitNr, column, clock_.Now())));
    if (column == unitcol::kIpPort) {
        DrawCellText(painter, rect, origin + QPoint(kPortTextOffset, 0),
                     FromLocal8(UnitPortText(u)));
    }
}

// --- UnitsPanel -----------------------------------------------------------------

UnitsPanel::UnitsPanel(Context context, QWidget* parent) : QWidget(parent), c_(context) {
    setObjectName("UnitsPanel");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    grid_ = new DataGrid(this);
    grid_->setObjectName("PDJXPDBGrid1");
    model_ = new UnitsTableModel(c_.units, c_.table, c_.clock, this);
    delegate_ = new UnitsGridDelegate(c_.units, c_.table, c_.clock, c_.errors, this);
    grid_->setModel(model_);
    grid_->setItemDelegate(delegate_);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    QList<int> widths;
    for (const UnitColumn& col : kUnitColumns) widths.append(col.width);
    grid_->SetFixedColumnWidths(widths);
    grid_->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(grid_, 1);
    layout->addWidget(BuildBottomPanel());

    filter_ = std::make_unique<UnitFilter>(c_.units, c_.table, c_.timers, c_.errors);
    BuildPopupMenu();

    connect(
        grid_->selectionModel(), &QItemSelectionModel::currentChanged, this,
        [this](const QModelIndex& current, const QModelIndex&) { ViewCurrentChanged(current); });
    connect(model_, &UnitsTableModel::tableCurrentChanged, this, &UnitsPanel::TableCurrentChanged);
    // While the thumb is dragged, the current row follows it. The row is
    // chosen once the grid has scrolled to the thumb's place, so choosing a
    // row never scrolls the grid under the operator's hand.
    connect(grid_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (grid_->verticalScrollBar()->isSliderDown())
            ThumbMoved(value);
    });
    connect(grid_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { popupMenu_->popup(grid_->viewport()->mapToGlobal(pos)); });
    TableCurrentChanged(c_.table.Current());
}

UnitsPanel::~UnitsPanel() {
    // The table outlives the page: it must stop telling a model that is gone.
    c_.table.SetObserver(nullptr);
}

QWidget* UnitsPanel::BuildBottomPanel() {
    auto* panel = new GradientPanel(this, QColor(246, 248, 251), QColor(218, 224, 234));
    panel->setObjectName("UnitsBottomPanel");
    panel->setFixedHeight(kBottomPanelHeight);
    auto* h = new QHBoxLayout(panel);
    h->setContentsMargins(8, 0, 8, 0);
    h->setSpacing(6);

    auto* icon = new QLabel(panel);
    icon->setObjectName("FilterIcon");
    icon->setFixedSize(16, 16);
    icon->setPixmap(FilterIcon());
    icon->setToolTip("Filter");
    h->addWidget(icon);

    filterEdit_ = new QLineEdit(panel);
    filterEdit_->setObjectName("PDJXPEdit_Filter");
    filterEdit_->setFixedWidth(kFilterEditWidth);
    QPalette pal = filterEdit_->palette();
    pal.setColor(QPalette::Base, ToQColor(kFilterEmptyColour));
    filterEdit_->setPalette(pal);
    connect(filterEdit_, &QLineEdit::textChanged, this, &UnitsPanel::PDJXPEdit_FilterChange);
    h->addWidget(filterEdit_);
    h->addStretch(1);

    refreshButton_ = new QPushButton(RefreshIcon(), " Refresh", panel);
    refreshButton_->setObjectName("RbButton1");
    refreshButton_->setMinimumWidth(90);
    connect(refreshButton_, &QPushButton::clicked, this, &UnitsPanel::RbButton1Click);
    h->addWidget(refreshButton_);
    return panel;
}

void UnitsPanel::BuildPopupMenu() {
    popupMenu_ = new QMenu(grid_);
    popupMenu_->setObjectName("PopupMenu20001");
    auto add = [this](QMenu* menu, const char* caption, const char* name,
                      void (UnitCommands::*handler)()) {
        QAction* a = menu->addAction(QString::fromLatin1(caption));
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, [this, handler] { RunMenuCommand(handler); });
    };
    add(popupMenu_, "Get Ping", "GetPing1", &UnitCommands::RequestPing);
    add(popupMenu_, "Get Automatic Test", "GetAutomaticTest1", &UnitCommands::RequestAutomaticTest);
    add(popupMenu_, "Get GSM Level", "GetGSMLevel1", &UnitCommands::RequestGsmLevel);
    add(popupMenu_, "Set Time", "SetTime1", &UnitCommands::SetUnitTime);
    add(popupMenu_, "Reset Device", "ResetDevice1", &UnitCommands::ResetUnit);
    popupMenu_->addSeparator();
    QMenu* openClose = popupMenu_->addMenu("Open/Close");
    openClose->setObjectName("OpenClose1");
    add(openClose, "Open", "OpenCloseOpen1", &UnitCommands::OpenUnit);
    add(openClose, "Close", "OpenCloseClose1", &UnitCommands::CloseUnit);
    QMenu* important = popupMenu_->addMenu("Important cmd");
    important->setObjectName("Importantcmd1");
    add(important, "Change Unit ID", "ImportantcmdChangeUnitID1", &UnitCommands::ChangeUnitNr);
    add(important, "Clear Storage", "ImportantcmdClearStorage1", &UnitCommands::ClearUnitStorage);
    popupMenu_->addSeparator();
    add(popupMenu_, "Delete", "Delete1", &UnitCommands::DeleteUnit);
}

QAction* UnitsPanel::MenuAction(const QString& objectName) const {
    return popupMenu_->findChild<QAction*>(objectName);
}

void UnitsPanel::RunMenuCommand(void (UnitCommands::*handler)()) {
    try {
        (c_.commands.*handler)();
    } catch (const std::exception& e) {
        c_.dialogs.Message(e.what());
    } catch (...) {
        c_.dialogs.Message("Unknown error");
    }
}

void UnitsPanel::RepaintGrid() {
    grid_->viewport()->update();
    grid_->Indicator()->viewport()->update();
}

void UnitsPanel::RbButton1Click() {
    RepaintGrid();
}

void UnitsPanel::PDJXPEdit_FilterChange(const QString& text) {
    const Rgb colour = filter_->TextChanged(ToLocal8(text));
    QPalette pal = filterEdit_->palette();
    pal.setColor(QPalette::Base, ToQColor(colour));
    filterEdit_->setPalette(pal);
}

void UnitsPanel::ThumbMoved(int value) {
    // The thumb's travel spans every row: the top position is the first row,
    // the bottom one the last, and in between the row stays on the page the
    // thumb shows, so the grid does not scroll away under the thumb.
    const int rows = model_->rowCount();
    if (rows == 0)
        return;
    const int max = grid_->verticalScrollBar()->maximum();
    int row = value;
    if (max > 0) {
        row = value + static_cast<int>(std::lround(static_cast<double>(value) / max *
                                                   static_cast<double>(rows - 1 - max)));
    }
    c_.table.SetCurrent(row);
}

void UnitsPanel::ViewCurrentChanged(const QModelIndex& current) {
    // While the view follows the table (or the model is being changed), the
    // table already knows its current row.
    if (followingTable_ || model_->Changing() || !current.isValid())
        return;
    if (current.row() != c_.table.Current())
        c_.table.SetCurrent(current.row());
}

void UnitsPanel::TableCurrentChanged(int row) {
    if (row < 0 || row >= model_->rowCount())
        return;
    FlagScope scope(followingTable_);
    const QModelIndex old = grid_->currentIndex();
    const int column = old.isValid() ? old.column() : 0;
    grid_->selectionModel()->setCurrentIndex(model_->index(row, column),
                                             QItemSelectionModel::ClearAndSelect);
}

}  // namespace korvan
