// A dialog that edits one memo field of a dataset's current record, with a
// caption the caller gives each time (a note on a field, on an index). OK
// posts the record, so the dataset's rules run; when that post is refused
// the dialog stays open. Cancel undoes what was typed in it: it cancels the
// edit it started, or puts back the memo's text when the record was being
// edited before.
//
// The dataset is the caller's and must outlive a showing of the dialog.
#pragma once

#include <string>

#include <QDialog>

#include "engine/dataset.h"
#include "engine/value.h"

namespace vellum::widgets {

class FieldMemo;

class MemoDialog : public QDialog {
  Q_OBJECT

 public:
  // The dialog's size as designed, in device-independent pixels.
  static constexpr int kWidth = 561;
  static constexpr int kHeight = 396;

  explicit MemoDialog(QWidget* parent = nullptr);
  void setDataset(engine::Dataset* dataset, const std::string& field);
  // Shows the dialog modally with `caption` over the current record; the
  // result of exec().
  int execute(const QString& caption);

  void accept() override;
  void reject() override;

 private:
  FieldMemo* memo_;
  engine::Dataset* dataset_ = nullptr;
  std::string field_;
  bool started_edit_ = false;  // the record was browsed when the dialog opened
  engine::Value before_;       // the memo's value then
};

}  // namespace vellum::widgets
