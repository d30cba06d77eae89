// A dialog that finds a row of a view of its own and makes it the current
// record of another dataset. The rows of the search view are listed with
// whole-row selection; what the user types finds the nearest row in the
// view's order (for a view ordered by name, the first name from that text
// on). OK, Enter or a double click takes the row: the target dataset, after
// posting what it was editing, moves to the record whose key fields hold
// the chosen row's values.
//
// The search view is opened by the dialog when it is closed as the dialog
// shows (the window that owns it may close it whenever it is left), and
// closed again when the dialog goes. Both datasets are the caller's and
// must outlive a showing of the dialog.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QDialog>

#include "engine/dataset.h"
#include "widgets/dataset_model.h"

class QLineEdit;

namespace vellum::widgets {

class DatasetGrid;

class SearchDialog : public QDialog {
  Q_OBJECT

 public:
  // The most the list may grow to, in device-independent pixels.
  static constexpr int kListHeight = 209;

  explicit SearchDialog(QWidget* parent = nullptr);
  ~SearchDialog() override;

  // The view searched and the columns listed (read-only).
  void setSearchView(engine::Dataset* view, std::vector<GridColumn> columns);
  // The dataset that takes the chosen row, found by `key_fields` (";"-joined
  // names present in both datasets) on its current order.
  void setTarget(engine::Dataset* target, const std::string& key_fields);
  // Shows the dialog modally; true when a row was chosen and the target
  // moved to it.
  bool execute();

  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void find(const QString& text);

  QLineEdit* edit_;
  DatasetGrid* grid_;
  engine::Dataset* view_ = nullptr;
  std::unique_ptr<DatasetTableModel> model_;
  engine::Dataset* target_ = nullptr;
  std::vector<std::string> key_fields_;
  bool opened_view_ = false;
  bool moved_ = false;
};

}  // namespace vellum::widgets
