#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Log.h"
#include "platform/Clock.h"
#include "platform/Timer.h"
#include "platform/Views.h"
#include "registry/UnitTable.h"
#include "registry/Units.h"
#include "registry/UnitsView.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace korvan {

class DataGrid;
class UnitCommands;

// VirtualTable1 as the units grid sees it: one row per unit number of the
// table, eight columns whose texts are read from the registry when asked.
//
// The table tells its observer after a change; a Qt model must announce a
// change before it. So the model keeps its own copy of the row numbers and
// brings it up to date between the begin and end announcements.
class UnitsTableModel : public QAbstractTableModel, public UnitTable::Observer {
    Q_OBJECT
public:
    // The unit number of a row.
    static constexpr int UnitNrRole = Qt::UserRole + 1;

    UnitsTableModel(const Registry& units, UnitTable& table, const IClock& clock,
                    QObject* parent = nullptr);
    ~UnitsTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The unit number shown in `row`, -1 for a row the grid does not hold.
    int UnitNrAt(int row) const;
    UnitTable& Table() { return table_; }
    // True while the model takes over a change of the table: the view's
    // reactions to it (a current row moved off a removed row) are not the
    // operator's and must not move the table.
    bool Changing() const { return changing_; }

    // UnitTable::Observer
    void RowsReset() override;
    void RowInserted(int position) override;
    void RowRemoved(int position) override;
    void CurrentChanged(int position) override;

signals:
    // The table moved its current row (after an insert, a delete, a rebuild).
    void tableCurrentChanged(int row);

private:
    const Registry& units_;
    UnitTable& table_;
    const IClock& clock_;
    std::vector<std::uint16_t> rows_;
    bool changing_ = false;
};

// PDJXPDBGrid1DrawColumnCell: every data cell of the units grid is painted
// here, from the unit's record at the moment of painting.
class UnitsGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    UnitsGridDelegate(const Registry& units, const UnitTable& table, const IClock& clock,
                      LogChannel& errors, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // Paints one cell of unit `unitNr` (-1: none) in `column`.
    void PDJXPDBGrid1DrawColumnCell(QPainter& painter, const QRect& rect, bool selected, int column,
                                    int unitNr, const QPalette& palette) const;

private:
    const Registry& units_;
    const UnitTable& table_;
    const IClock& clock_;
    LogChannel& errors_;
};

// The "Test Time Monitor" tab: the units grid PDJXPDBGrid1 with its popup
// menu PopupMenu20001, and below it the filter box and the Refresh button.
class UnitsPanel : public QWidget {
    Q_OBJECT
public:
    struct Context {
        Registry& units;
        UnitTable& table;
        UnitCommands& commands;
        const IClock& clock;
        ITimerFactory& timers;
        IDialogs& dialogs;  // an error escaping a menu command is shown here
        LogChannel& errors;
    };

    explicit UnitsPanel(Context context, QWidget* parent = nullptr);
    ~UnitsPanel() override;

    DataGrid* Grid() const { return grid_; }
    UnitsTableModel* Model() const { return model_; }
    UnitsGridDelegate* Delegate() const { return delegate_; }
    QLineEdit* FilterEdit() const { return filterEdit_; }
    QPushButton* RefreshButton() const { return refreshButton_; }
    QMenu* PopupMenu() const { return popupMenu_; }
    // A popup menu item by its object name ("GetPing1", "Delete1", ...).
    QAction* MenuAction(const QString& objectName) const;
    const UnitFilter& Filter() const { return *filter_; }

    // Repaints the grid: every visible cell is drawn again from its record.
    void RepaintGrid();

private:
    void BuildPopupMenu();
    QWidget* BuildBottomPanel();
    void PDJXPEdit_FilterChange(const QString& text);
    void RbButton1Click();
    void ThumbMoved(int value);
    void ViewCurrentChanged(const QModelIndex& current);
    void TableCurrentChanged(int row);
    // Runs a command of the popup menu; an error that the command does not
    // handle itself is shown in an error box, and the program carries on.
    void RunMenuCommand(void (UnitCommands::*handler)());

    Context c_;
    DataGrid* grid_ = nullptr;
    UnitsTableModel* model_ = nullptr;
    UnitsGridDelegate* delegate_ = nullptr;
    QLineEdit* filterEdit_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
    QMenu* popupMenu_ = nullptr;
    std::unique_ptr<UnitFilter> filter_;
    bool followingTable_ = false;
};

}  // namespace korvan
