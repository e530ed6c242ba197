#pragma once

#include <QAbstractTableModel>
#include <QPoint>
#include <QStyledItemDelegate>
#include <QWidget>

#include "base/Log.h"
#include "qt/DataGrid.h"

namespace korvan {

class SettingsStore;

// The settings rows as the settings grid sees it: the eight Key/Value rows of
// the settings store. Only a Value can be edited; storing one runs the
// store's check, apply, save and beep. Rows can be neither added nor removed.
class SettingsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kKeyColumn = 0;
    static constexpr int kValueColumn = 1;

    explicit SettingsTableModel(SettingsStore& store, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the key, or the value as drawn (value, a blank, the unit);
    // EditRole: the key, or the value as stored.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Stores a Value (cut to the row's longest value) through the store, changed or
    // not: every stored row is checked and applied again.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    // The store refuses every new row.
    bool insertRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

    SettingsStore& Store() { return store_; }

private:
    SettingsStore& store_;
};

// PDJXPDBGridSetDrawColumnCell: the Key cells on a white-to-grey gradient in
// bold, the Value cells in the default colours with the unit after the value.
// The Value editor takes at most 7 characters (64 in the Monitoring TCP row).
class SettingsGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit SettingsGridDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;
};

// PDJXPDBGridSet: the Key/Value grid of the "Settings" tab. Over the Key
// cell of a setting it shows that setting's hint beside the pointer.
class SettingsGrid : public DataGrid {
    Q_OBJECT
public:
    static constexpr int kWidth = 373;
    static constexpr int kKeyWidth = 199;
    static constexpr int kValueWidth = 122;
    // Where the hint shows, relative to the pointer.
    static constexpr QPoint kHintOffset{20, -8};

    SettingsGrid(SettingsStore& store, LogChannel& errors, QWidget* parent = nullptr);

    SettingsTableModel* Model() const { return model_; }
    // The hint last asked for and where (global coordinates); empty once the
    // hint was hidden.
    const QString& HintText() const { return hintText_; }
    QPoint HintPos() const { return hintPos_; }

    // The pointer moved to `pos` in the grid's cell area.
    void PDJXPDBGridSetMouseMove(const QPoint& pos);

protected:
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void HideHint();

    SettingsStore& store_;
    LogChannel& errors_;
    SettingsTableModel* model_;
    QString hintText_;
    QPoint hintPos_;
};

// The "Settings" tab: the settings grid, left-aligned over the tab's height.
class SettingsPanel : public QWidget {
    Q_OBJECT
public:
    SettingsPanel(SettingsStore& store, LogChannel& errors, QWidget* parent = nullptr);
    SettingsGrid* Grid() const { return grid_; }

private:
    SettingsGrid* grid_;
};

}  // namespace korvan
