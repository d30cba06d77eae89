// Controls bound to one field of a dataset's current record: a line edit
// (FieldEdit) and a multi-line memo editor (FieldMemo). Each shows the
// field's value (the edit buffer while the record is edited) and follows the
// current record; typing puts the dataset into edit state and writes the
// field's edit buffer, so a post from anywhere (a navigator, a window
// leaving) takes what was typed. Nothing is posted by the control itself.
//
// Dates are shown and typed in the short date format, floating-point values
// with the user's decimal separator (widgets/field_text.h). Text that is no
// value of the field's type is reported through the error route when the
// user leaves the control, and the field's value is shown again.
//
// The dataset is the caller's and may go first: the control then shows
// nothing.
#pragma once

#include <functional>
#include <string>

#include <QLineEdit>
#include <QPlainTextEdit>

#include "engine/dataset.h"

namespace vellum::widgets {

// The binding of one control to one field, shared by the controls below.
class FieldLink {
 public:
  // `show` is called whenever the control must show the field again.
  explicit FieldLink(std::function<void()> show) : show_(std::move(show)) {}
  void bind(engine::Dataset* dataset, std::string field);
  engine::Dataset* dataset() const { return dataset_; }
  const std::string& fieldName() const { return field_; }
  // The field on the open dataset, or nullptr.
  engine::DatasetField* field() const;
  // Whether typing may change the field.
  bool writable() const;
  // Puts the dataset into edit state unless it edits or inserts already;
  // false when it cannot.
  bool beginEdit();
  // While true (the control writing the field), no notice makes the
  // control show the field again.
  bool writing = false;

 private:
  std::function<void()> show_;
  engine::Dataset* dataset_ = nullptr;
  std::string field_;
  engine::Subscription subscription_;
};

class FieldEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit FieldEdit(QWidget* parent = nullptr);
  void bind(engine::Dataset* dataset, const std::string& field);
  const FieldLink& link() const { return link_; }

 private:
  void showField();
  void typed(const QString& text);
  void finished();

  FieldLink link_;
  bool invalid_ = false;  // the text typed is no value of the field yet
};

class FieldMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit FieldMemo(QWidget* parent = nullptr);
  void bind(engine::Dataset* dataset, const std::string& field);
  const FieldLink& link() const { return link_; }

 private:
  void showField();
  void typed();

  FieldLink link_;
  bool showing_ = false;
};

}  // namespace vellum::widgets
