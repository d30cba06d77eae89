// A grid bound to a dataset through a DatasetTableModel: columns as wide as
// their width in characters, hidden columns hidden, a delegate for each
// kind of cell, and the grid's current row and the dataset's current record
// kept the same both ways. Moving to another row posts the row being
// edited first; when that post is refused, the grid stays on the row.
//
// Keys, beside the usual ones: Insert starts a new row, Down on the last
// row starts one too, Escape (no cell being edited) cancels the row's edit.
// A double click never opens a cell editor; it is the window's
// (doubleClicked), for a note dialog. While the dataset makes a bulk change
// the grid does not repaint.
//
// The model is the caller's and must outlive its binding (or be replaced
// first); the grid owns its delegates.
#pragma once

#include <QTableView>

namespace vellum::widgets {

class DatasetTableModel;

class DatasetGrid : public QTableView {
  Q_OBJECT

 public:
  explicit DatasetGrid(QWidget* parent = nullptr);

  // Shows `model` (nullptr: nothing), with its columns' widths, visibility
  // and delegates.
  void setDatasetModel(DatasetTableModel* model);
  DatasetTableModel* datasetModel() const { return model_; }

  // The pixel width of a column `characters` wide in the grid's font.
  int columnWidthFor(int characters) const;

 protected:
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void showRow(int row);
  void applyColumns();
  void installDelegates();

  DatasetTableModel* model_ = nullptr;
  QList<QMetaObject::Connection> connections_;
  bool syncing_ = false;
};

}  // namespace vellum::widgets
