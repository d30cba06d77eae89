// A table model over a dataset: one model row per row the dataset shows, in
// its order and range, and one model column per column bound to a named
// field. What the grid (DatasetGrid) and the search dialog show.
//
// Rows. Model row r is dataset position r. While the dataset inserts a row,
// the model shows one more row at its end: the row being inserted, with
// the values of the edit buffer; the row being edited shows the edit
// buffer likewise. The model follows the dataset through its positioned
// notices alone: rows inserted, removed, moved or changed become the
// model's own row signals for those rows; only the dataset's resets (a new
// range, a master's new record, another program's change, a bulk change
// with notices suspended) reset the model. Between a suspension's first
// change and its end the model keeps the row count it had and says that
// repaints are suspended.
//
// Editing. A cell edit puts the row's record into edit state (after moving
// the dataset there, posting what was pending) and writes the field's edit
// buffer; nothing is posted until the dataset leaves the row (makeCurrent),
// or until the caller posts (postPending). Posts and cancels go through the
// dataset, so its events and the rules behind them run; a rule that
// refuses a post shows its own message and the row stays as it is. Other
// failures go to the error route (widgets/error_route.h).
//
// Ownership. The dataset is the caller's and may go first: the model then
// shows no rows. The model keeps its columns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <QAbstractTableModel>
#include <QStringList>

#include "engine/dataset.h"

namespace vellum::widgets {

// How a column's cells show and take their value.
enum class CellKind {
  kText,      // the value as text, edited in place
  kCheckBox,  // a boolean as a check box that one click toggles
  kPickList,  // text edited with a drop-down of fixed choices; other text is taken too
  kMemo,      // a memo's text, read-only in the cell (edited elsewhere)
};

// One column of a grid, bound to a field of the dataset by name.
struct GridColumn {
  std::string field;
  int width = 10;  // in characters of the grid's font
  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
  bool visible = true;
  CellKind kind = CellKind::kText;
  QStringList pick_list = {};  // kPickList: the choices, in order
  int drop_down_rows = 8;      // kPickList: lines the open list shows
  bool read_only = false;
};

class DatasetTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  DatasetTableModel(engine::Dataset& dataset, std::vector<GridColumn> columns,
                    QObject* parent = nullptr);
  ~DatasetTableModel() override;

  // The dataset shown; nullptr once it is gone.
  engine::Dataset* dataset() const { return dataset_; }
  const std::vector<GridColumn>& columns() const { return columns_; }
  // The column bound to `field` (letter case ignored), or -1.
  int columnOf(const std::string& field) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  // Display: the text of the value (nothing for a check box); Edit: the
  // same text, or the boolean of a check box; CheckState: a check box's
  // state; TextAlignment: the column's.
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // Column titles are the fields' display labels.
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Edit role for text and pick-list cells, check state (or a boolean) for
  // check boxes. False when the cell cannot take it or the dataset refused.
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

  // The model row of the dataset's current record (the row being inserted
  // while it inserts), or -1 when it shows none.
  int currentRow() const;
  // Makes model row `row` the dataset's current record, posting the row
  // being edited or inserted first (a new row the user left untouched is
  // cancelled instead). False, and nothing moved, when that post was
  // refused or failed.
  bool makeCurrent(int row);
  // Posts the row being edited or inserted, if any. True when the dataset
  // is then in browse state.
  bool postPending();
  // Starts a new row (posting what was pending first); false when refused.
  bool insertRow();
  // Cancels the edit or insert under way.
  void cancelPending();
  // Whether the rows are not being repainted (a bulk change under way).
  bool repaintsSuspended() const { return suspended_; }

 signals:
  // The dataset's current record is now at model row `row` (-1: none).
  void currentRowChanged(int row);
  // The dataset's state changed (browse, edit, insert, open, closed).
  void stateChanged();
  // A bulk change started (true) or ended (false).
  void repaintsSuspendedChanged(bool suspended);

 private:
  void onNotice(const engine::DataChange& change);
  void beginReset();
  void endReset();
  void followState();
  int datasetRows() const;
  bool isBufferRow(int row) const;
  engine::Value valueAt(int row, size_t field) const;
  size_t fieldIndex(int column) const;
  void resolveFields();
  bool writeCell(int row, int column, const QVariant& value, int role);

  engine::Dataset* dataset_;
  std::vector<GridColumn> columns_;
  std::vector<std::optional<size_t>> field_of_column_;  // while open
  engine::Subscription subscription_;
  int row_count_ = 0;             // the rows the views were told of
  bool insert_row_ = false;       // the row being inserted is shown at the end
  bool insert_touched_ = false;   // the user wrote a cell of that row
  bool resetting_ = false;        // between beginResetModel and endResetModel
  bool suspended_ = false;        // notices suspended by a bulk change
  bool move_pending_ = false;     // between beginMoveRows and endMoveRows
  mutable bool reading_ = false;  // inside a read of the dataset
  bool reset_deferred_ = false;   // a reset came during a read
  // Rows read lately, by position: a painted row is read once, not once a
  // cell. Emptied by every change of the rows.
  mutable std::unordered_map<uint32_t, engine::Row> cache_;
};

}  // namespace vellum::widgets
