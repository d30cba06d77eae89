#include "widgets/memo_dialog.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include "widgets/error_route.h"
#include "widgets/field_controls.h"

namespace vellum::widgets {

using engine::DatasetState;

MemoDialog::MemoDialog(QWidget* parent) : QDialog(parent), memo_(new FieldMemo(this)) {
  memo_->setObjectName(QStringLiteral("memo"));
  memo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &MemoDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &MemoDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(memo_);
  layout->addWidget(buttons);
  resize(kWidth, kHeight);
}

void MemoDialog::setDataset(engine::Dataset* dataset, const std::string& field) {
  dataset_ = dataset;
  field_ = field;
  memo_->bind(dataset, field);
}

int MemoDialog::execute(const QString& caption) {
  setWindowTitle(caption);
  started_edit_ = dataset_ && dataset_->active() && dataset_->state() == DatasetState::kBrowse;
  before_ = {};
  if (engine::DatasetField* f = memo_->link().field()) before_ = f->value();
  memo_->bind(dataset_, field_);  // the current record's text, now
  memo_->setFocus();
  return exec();
}

void MemoDialog::accept() {
  if (dataset_ && dataset_->active()) {
    const DatasetState state = dataset_->state();
    if (state == DatasetState::kEdit || state == DatasetState::kInsert) {
      if (!CallRoutingErrors(this, [&] { dataset_->post(); })) return;
      if (dataset_->state() != DatasetState::kBrowse) return;  // refused: the rule said why
    }
  }
  QDialog::accept();
}

void MemoDialog::reject() {
  if (dataset_ && dataset_->active() && dataset_->state() != DatasetState::kBrowse) {
    CallRoutingErrors(this, [&] {
      if (started_edit_) {
        dataset_->cancel();
      } else if (engine::DatasetField* f = memo_->link().field()) {
        f->setValue(before_);
      }
    });
  }
  QDialog::reject();
}

}  // namespace vellum::widgets
