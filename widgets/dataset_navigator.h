// A navigator over a dataset: the buttons first, prior, next, last, insert,
// delete, edit, post and cancel, each enabled when the dataset's state and
// current record allow it. Moving or inserting posts the row being edited
// first and does nothing more when that post is refused; delete asks
// "Delete record?" through the Questions first. Failures go to the error
// route.
//
// The dataset and the Questions are the caller's; the dataset may go first
// (every button is then disabled), the Questions must outlive the navigator.
#pragma once

#include <array>

#include <QToolButton>
#include <QWidget>

#include "dictionary/ui.h"
#include "engine/dataset.h"

namespace vellum::widgets {

class DatasetNavigator : public QWidget {
  Q_OBJECT

 public:
  enum class Button { kFirst, kPrior, kNext, kLast, kInsert, kDelete, kEdit, kPost, kCancel };
  static constexpr size_t kButtons = 9;

  explicit DatasetNavigator(Questions& questions, QWidget* parent = nullptr);

  void setDataset(engine::Dataset* dataset);
  engine::Dataset* dataset() const { return dataset_; }
  // The button (named "btnFirst", "btnPrior", ... "btnCancel").
  QToolButton* button(Button which) const { return buttons_.at(static_cast<size_t>(which)); }

  // Does what a click on `which` does, enabled or not.
  void press(Button which);

 private:
  void updateButtons();
  bool postPending();

  Questions& questions_;
  engine::Dataset* dataset_ = nullptr;
  engine::Subscription subscription_;
  std::array<QToolButton*, kButtons> buttons_{};
};

}  // namespace vellum::widgets
