#include "widgets/dataset_grid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QTimer>

#include "widgets/dataset_model.h"
#include "widgets/grid_delegates.h"

namespace vellum::widgets {

namespace {

// Pixels a cell adds to its text: the style's margin on both sides.
constexpr int kCellPadding = 8;

}  // namespace

DatasetGrid::DatasetGrid(QWidget* parent) : QTableView(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setWordWrap(false);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  horizontalHeader()->setHighlightSections(false);
}

int DatasetGrid::columnWidthFor(int characters) const {
  return fontMetrics().horizontalAdvance(QLatin1Char('0')) * characters + kCellPadding;
}

void DatasetGrid::setDatasetModel(DatasetTableModel* model) {
  for (const auto& c : connections_) disconnect(c);
  connections_.clear();
  model_ = model;
  setModel(model);
  if (!model) return;
  installDelegates();
  applyColumns();
  connections_ << connect(model, &DatasetTableModel::currentRowChanged, this,
                          [this](int row) { showRow(row); });
  connections_ << connect(model, &DatasetTableModel::repaintsSuspendedChanged, this,
                          [this](bool suspended) { setUpdatesEnabled(!suspended); });
  connections_ << connect(model, &QAbstractItemModel::modelReset, this, [this] { applyColumns(); });
  showRow(model->currentRow());
}

void DatasetGrid::applyColumns() {
  const auto& columns = model_->columns();
  for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
    const GridColumn& column = columns[static_cast<size_t>(i)];
    setColumnHidden(i, !column.visible);
    setColumnWidth(i, columnWidthFor(column.width));
  }
}

void DatasetGrid::installDelegates() {
  const auto& columns = model_->columns();
  for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
    const GridColumn& column = columns[static_cast<size_t>(i)];
    QAbstractItemDelegate* old = itemDelegateForColumn(i);
    QAbstractItemDelegate* delegate = nullptr;
    switch (column.kind) {
      case CellKind::kCheckBox:
        delegate = new CheckBoxDelegate(this);
        break;
      case CellKind::kPickList:
        delegate = new PickListDelegate(column.pick_list, column.drop_down_rows, this);
        break;
      case CellKind::kText:
      case CellKind::kMemo:
        delegate = new TextCellDelegate(this);
        break;
    }
    setItemDelegateForColumn(i, delegate);
    if (old) old->deleteLater();
  }
}

// Makes model row `row` the grid's current row without moving the dataset.
void DatasetGrid::showRow(int row) {
  if (!model_) return;
  const QModelIndex here = currentIndex();
  if (row < 0) {
    if (here.isValid()) {
      syncing_ = true;
      selectionModel()->clear();
      syncing_ = false;
    }
    return;
  }
  if (here.isValid() && here.row() == row) return;
  int column = here.isValid() ? here.column() : 0;
  while (column < model_->columnCount() - 1 && isColumnHidden(column)) ++column;
  syncing_ = true;
  setCurrentIndex(model_->index(row, column));
  syncing_ = false;
  scrollTo(currentIndex());
}

void DatasetGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  if (!syncing_ && model_ && current.isValid() && current.row() != previous.row()) {
    // Posting may move rows (a key changed); the dataset's row is the truth.
    const bool moved = model_->makeCurrent(current.row());
    const int row = model_->currentRow();
    if (!moved || currentIndex().row() != row) {
      showRow(row);
      // A mouse press goes on to select what it pressed: select again after it.
      QTimer::singleShot(0, this, [this] {
        if (!model_) return;
        const int now = model_->currentRow();
        syncing_ = true;
        if (now >= 0) setCurrentIndex(model_->index(now, std::max(currentIndex().column(), 0)));
        syncing_ = false;
      });
      return;
    }
  }
  QTableView::currentChanged(current, previous);
}

void DatasetGrid::keyPressEvent(QKeyEvent* event) {
  if (model_ && state() != QAbstractItemView::EditingState &&
      event->modifiers() == Qt::NoModifier) {
    const bool writable = model_->dataset() && model_->dataset()->canModify();
    switch (event->key()) {
      case Qt::Key_Insert:
        if (writable) model_->insertRow();
        return;
      case Qt::Key_Escape:
        model_->cancelPending();
        return;
      case Qt::Key_Down:
        if (writable && currentIndex().row() == model_->rowCount() - 1 &&
            model_->dataset()->state() == engine::DatasetState::kBrowse) {
          model_->insertRow();
          return;
        }
        break;
      default:
        break;
    }
  }
  QTableView::keyPressEvent(event);
}

}  // namespace vellum::widgets
