#include "qt/SettingsGrid.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <exception>

#include "base/Guard.h"
#include "qt/GridPainting.h"
#include "qt/QtViews.h"
#include "registry/UnitsView.h"
#include "settings/SettingsStore.h"

namespace korvan {

// --- SettingsTableModel ------------------------------------------------------

SettingsTableModel::SettingsTableModel(SettingsStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {
    setObjectName("VirtualTableSet");
}

int SettingsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(store_.Rows().size());
}

int SettingsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QVariant SettingsTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const SettingsRow& row = store_.Rows()[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) {
        return index.column() == kKeyColumn ? FromLocal8(row.key)
                                            : FromLocal8(store_.DisplayValue(index.row()));
    }
    if (role == Qt::EditRole)
        return FromLocal8(index.column() == kKeyColumn ? row.key : row.value);
    return QVariant();
}

QVariant SettingsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        if (section == kKeyColumn)
            return QStringLiteral("Key");
        if (section == kValueColumn)
            return QStringLiteral("Value");
    }
    return QVariant();
}

Qt::ItemFlags SettingsTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == kValueColumn)
        f |= Qt::ItemIsEditable;
    return f;
}

bool SettingsTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !checkIndex(index, CheckIndexOption::IndexIsValid) ||
        index.column() != kValueColumn) {
        return false;
    }
    std::string typed = ToLocal8(value.toString());
    const std::size_t maxLength = SettingsStore::ValueMaxLength(index.row());
    if (typed.size() > maxLength)
        typed.resize(maxLength);
    // Posted whether or not it changed: storing the Serial Port or the UDP
    // port again is how the operator reopens a port after fixing the cause.
    store_.PostValue(index.row(), typed);
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

bool SettingsTableModel::insertRows(int, int, const QModelIndex&) {
    // The file's lines follow the eight rows, so no row is ever added; the
    // store's answer is asked for all the same.
    store_.MayInsertRow();
    return false;
}

bool SettingsTableModel::removeRows(int, int, const QModelIndex&) {
    return false;
}

// --- SettingsGridDelegate -------------------------------------------------------

SettingsGridDelegate::SettingsGridDelegate(QObject* parent) : QStyledItemDelegate(parent) {
    setObjectName("PDJXPDBGridSetDrawColumnCell");
}

void SettingsGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    painter->save();
    const QPoint origin = option.rect.topLeft() + QPoint(kCellTextInset, kCellTextInset);
    QFont font = option.font;
    if (index.column() == SettingsTableModel::kKeyColumn) {
        PaintVerticalGradient(*painter, option.rect, ToQColor(kKeyCellColours.top),
                              ToQColor(kKeyCellColours.bottom));
        painter->setPen(Qt::black);
        font.setBold(true);
    } else {
        PaintDefaultCell(*painter, option.rect, option.state.testFlag(QStyle::State_Selected),
                         option.palette);
    }
    painter->setFont(font);
    DrawCellText(*painter, option.rect, origin, index.data(Qt::DisplayRole).toString());
    painter->restore();
}

QWidget* SettingsGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                            const QModelIndex& index) const {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName("VirtualTableSetField_Value");
    edit->setMaxLength(static_cast<int>(SettingsStore::ValueMaxLength(index.row())));
    edit->setFrame(false);
    return edit;
}

void SettingsGridDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    static_cast<QLineEdit*>(editor)->setText(index.data(Qt::EditRole).toString());
}

void SettingsGridDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                        const QModelIndex& index) const {
    model->setData(index, static_cast<QLineEdit*>(editor)->text(), Qt::EditRole);
}

// --- SettingsGrid -------------------------------------------------------------

SettingsGrid::SettingsGrid(SettingsStore& store, LogChannel& errors, QWidget* parent)
    : DataGrid(parent),
      store_(store),
      errors_(errors),
      model_(new SettingsTableModel(store, this)) {
    setObjectName("PDJXPDBGridSet");
    setModel(model_);
    setItemDelegate(new SettingsGridDelegate(this));
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
    SetFixedColumnWidths({kKeyWidth, kValueWidth});
    setFixedWidth(kWidth);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
}

void SettingsGrid::PDJXPDBGridSetMouseMove(const QPoint& pos) {
    Guarded(errors_, "PDJXPDBGridSetMouseMove", [&] {
        // Counted as the grid counts them: column 0 is the row indicator,
        // row 0 the title row.
        const QModelIndex index = indexAt(pos);
        const int column = index.isValid() ? index.column() + 1 : -1;
        const int row = index.isValid() ? index.row() + 1 : -1;
        if (column == 1 && row >= 1 && row <= SettingsStore::kRowCount) {
            QString hint = FromLocal8(store_.HintForRow(row));
            hint.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            hintText_ = hint;
            hintPos_ = viewport()->mapToGlobal(pos) + kHintOffset;
            QToolTip::showText(hintPos_, hintText_, this);
        } else {
            HideHint();
        }
    });
}

void SettingsGrid::HideHint() {
    if (!hintText_.isEmpty())
        QToolTip::hideText();
    hintText_.clear();
    hintPos_ = QPoint();
}

bool SettingsGrid::viewportEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseMove:
            PDJXPDBGridSetMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
            break;
        case QEvent::Leave:
            HideHint();
            break;
        case QEvent::ToolTip:
            // Hints come only from the pointer's moves over a key; the view's
            // own tooltip would hide the hint.
            return true;
        default:
            break;
    }
    return DataGrid::viewportEvent(event);
}

void SettingsGrid::keyPressEvent(QKeyEvent* event) {
    const bool editing = state() == QAbstractItemView::EditingState;
    const bool atLastRow = currentIndex().row() == model_->rowCount() - 1;
    if (!editing &&
        (event->key() == Qt::Key_Insert || (event->key() == Qt::Key_Down && atLastRow))) {
        // Insert, and Down on the last row, ask for a new row: refused.
        model_->insertRows(model_->rowCount(), 1);
        event->accept();
        return;
    }
    if (!editing && event->key() == Qt::Key_Delete &&
        event->modifiers().testFlag(Qt::ControlModifier)) {
        event->accept();  // rows are never deleted
        return;
    }
    DataGrid::keyPressEvent(event);
}

// --- SettingsPanel ------------------------------------------------------------------

SettingsPanel::SettingsPanel(SettingsStore& store, LogChannel& errors, QWidget* parent)
    : QWidget(parent), grid_(new SettingsGrid(store, errors, this)) {
    setObjectName("SettingsPanel");
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    h->addWidget(grid_);
    h->addStretch(1);
}

}  // namespace korvan
