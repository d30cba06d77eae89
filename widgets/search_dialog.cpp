#include "widgets/search_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "engine/text.h"
#include "widgets/dataset_grid.h"
#include "widgets/error_route.h"

namespace vellum::widgets {

using engine::DatasetState;

SearchDialog::SearchDialog(QWidget* parent)
    : QDialog(parent), edit_(new QLineEdit(this)), grid_(new DatasetGrid(this)) {
  setWindowTitle(tr("Search"));
  edit_->setObjectName(QStringLiteral("edtSearch"));
  grid_->setObjectName(QStringLiteral("grSearch"));
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid_->setMaximumHeight(kListHeight);
  grid_->verticalHeader()->hide();
  auto* label = new QLabel(tr("&Find:"), this);
  label->setBuddy(edit_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SearchDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SearchDialog::reject);
  connect(edit_, &QLineEdit::textEdited, this, &SearchDialog::find);
  connect(grid_, &QAbstractItemView::doubleClicked, this, &SearchDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(edit_);
  layout->addWidget(grid_);
  layout->addWidget(buttons);
}

SearchDialog::~SearchDialog() {
  grid_->setDatasetModel(nullptr);
  if (opened_view_ && view_) view_->close();
}

void SearchDialog::setSearchView(engine::Dataset* view, std::vector<GridColumn> columns) {
  grid_->setDatasetModel(nullptr);
  view_ = view;
  for (GridColumn& c : columns) c.read_only = true;
  model_ = view ? std::make_unique<DatasetTableModel>(*view, std::move(columns)) : nullptr;
  grid_->setDatasetModel(model_.get());
  if (model_) {
    // As wide as its columns: the list shows them whole.
    int width = grid_->frameWidth() * 2 + 24;
    for (int i = 0; i < model_->columnCount(); ++i) width += grid_->columnWidth(i);
    grid_->setMinimumWidth(width);
  }
}

void SearchDialog::setTarget(engine::Dataset* target, const std::string& key_fields) {
  target_ = target;
  key_fields_ = engine::SplitAtSemicolons(key_fields);
}

bool SearchDialog::execute() {
  moved_ = false;
  edit_->clear();
  edit_->setFocus();
  exec();
  return moved_;
}

void SearchDialog::showEvent(QShowEvent* event) {
  if (view_ && !view_->active()) {
    opened_view_ = CallRoutingErrors(this, [&] { view_->open(); });
  }
  QDialog::showEvent(event);
}

void SearchDialog::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (opened_view_ && view_) {
    opened_view_ = false;
    CallRoutingErrors(this, [&] { view_->close(); });
  }
}

void SearchDialog::find(const QString& text) {
  if (!view_ || !view_->active()) return;
  CallRoutingErrors(this, [&] {
    if (text.isEmpty()) {
      view_->first();
    } else {
      view_->findNearest({engine::Value{text.toStdString()}});
    }
  });
}

void SearchDialog::accept() {
  if (!view_ || !view_->active() || view_->rowCount() == 0 || !target_ || !target_->active()) {
    QDialog::accept();
    return;
  }
  CallRoutingErrors(this, [&] {
    const DatasetState state = target_->state();
    if (state == DatasetState::kEdit || state == DatasetState::kInsert) {
      target_->post();
      if (target_->state() != DatasetState::kBrowse) return;  // refused: stay
    }
    engine::Row key;
    for (const std::string& name : key_fields_) key.push_back(view_->fieldByName(name).value());
    moved_ = target_->findKey(key);
  });
  if (target_->state() == DatasetState::kBrowse) QDialog::accept();
}

}  // namespace vellum::widgets
