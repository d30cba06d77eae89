#include "widgets/dataset_model.h"

#include <QMetaObject>

#include "engine/text.h"
#include "widgets/error_route.h"
#include "widgets/field_text.h"

namespace vellum::widgets {

using engine::DataEvent;
using engine::DatasetState;
using engine::Value;

namespace {

// Rows kept by the read cache before it starts again.
constexpr size_t kCachedRows = 512;

bool Editing(const engine::Dataset& d) {
  return d.state() == DatasetState::kEdit || d.state() == DatasetState::kInsert;
}

// Dataset positions and counts as model rows.
int ToInt(uint32_t n) { return static_cast<int>(n); }

}  // namespace

DatasetTableModel::DatasetTableModel(engine::Dataset& dataset, std::vector<GridColumn> columns,
                                     QObject* parent)
    : QAbstractTableModel(parent), dataset_(&dataset), columns_(std::move(columns)) {
  resolveFields();
  insert_row_ = dataset.active() && dataset.state() == DatasetState::kInsert;
  row_count_ = datasetRows() + (insert_row_ ? 1 : 0);
  subscription_ = dataset.subscribe(
      [this](engine::Dataset&, const engine::DataChange& change) { onNotice(change); });
}

DatasetTableModel::~DatasetTableModel() = default;

int DatasetTableModel::columnOf(const std::string& field) const {
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (engine::Upper(columns_[i].field) == engine::Upper(field)) return static_cast<int>(i);
  }
  return -1;
}

void DatasetTableModel::resolveFields() {
  field_of_column_.assign(columns_.size(), std::nullopt);
  if (!dataset_ || !dataset_->active()) return;
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (engine::DatasetField* f = dataset_->findField(columns_[i].field)) {
      field_of_column_[i] = f->index();
    }
  }
}

int DatasetTableModel::datasetRows() const { return dataset_ ? ToInt(dataset_->rowCount()) : 0; }

int DatasetTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : row_count_;
}

int DatasetTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

size_t DatasetTableModel::fieldIndex(int column) const {
  const auto& f = field_of_column_.at(static_cast<size_t>(column));
  if (!f) throw Error("Field \"" + columns_[static_cast<size_t>(column)].field + "\" not found");
  return *f;
}

// Whether model row `row` shows the edit buffer rather than a posted row.
bool DatasetTableModel::isBufferRow(int row) const {
  if (!dataset_ || !Editing(*dataset_)) return false;
  if (insert_row_) return row == row_count_ - 1;
  return dataset_->state() == DatasetState::kEdit && row == ToInt(dataset_->currentPosition());
}

Value DatasetTableModel::valueAt(int row, size_t field) const {
  if (isBufferRow(row)) return dataset_->field(field).value();
  const auto position = static_cast<uint32_t>(row);
  if (position >= dataset_->rowCount()) return Value{};  // a bulk change under way
  auto it = cache_.find(position);
  if (it == cache_.end()) {
    if (cache_.size() >= kCachedRows) cache_.clear();
    reading_ = true;
    try {
      engine::Row values = dataset_->rowAt(position);
      reading_ = false;
      it = cache_.emplace(position, std::move(values)).first;
    } catch (...) {
      reading_ = false;
      throw;
    }
  }
  return field < it->second.size() ? it->second[field] : Value{};
}

QVariant DatasetTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !dataset_ || !dataset_->active() || index.row() >= row_count_) {
    return {};
  }
  const GridColumn& column = columns_.at(static_cast<size_t>(index.column()));
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column.alignment);
  const bool check = column.kind == CellKind::kCheckBox;
  if (role != Qt::DisplayRole && role != Qt::EditRole && !(check && role == Qt::CheckStateRole)) {
    return {};
  }
  Value value;
  try {
    value = valueAt(index.row(), fieldIndex(index.column()));
  } catch (...) {
    return {};  // a row that cannot be read shows nothing; reading it again reports why
  }
  if (check) {
    const bool on = std::holds_alternative<bool>(value) && std::get<bool>(value);
    if (role == Qt::CheckStateRole) return on ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::EditRole) return on;
    return {};
  }
  QString text = QString::fromStdString(DisplayText(value));
  if (column.kind == CellKind::kMemo && role == Qt::DisplayRole) {
    text.replace(QLatin1String("\r\n"), QLatin1String(" "))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
  }
  return text;
}

QVariant DatasetTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 ||
      section >= static_cast<int>(columns_.size())) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  const GridColumn& column = columns_[static_cast<size_t>(section)];
  if (role == Qt::DisplayRole) {
    const std::string label = dataset_ ? dataset_->displayLabel(column.field) : column.field;
    return QString::fromStdString(label);
  }
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column.alignment);
  return {};
}

Qt::ItemFlags DatasetTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  const GridColumn& column = columns_.at(static_cast<size_t>(index.column()));
  const bool writable = dataset_ && dataset_->canModify() && !column.read_only;
  if (!writable || column.kind == CellKind::kMemo) return flags;
  if (column.kind == CellKind::kCheckBox) return flags | Qt::ItemIsUserCheckable;
  return flags | Qt::ItemIsEditable;
}

bool DatasetTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || !dataset_ || index.row() >= row_count_) return false;
  const Qt::ItemFlags f = flags(index);
  const bool check = f.testFlag(Qt::ItemIsUserCheckable);
  if (!(check ? (role == Qt::CheckStateRole || role == Qt::EditRole)
              : (f.testFlag(Qt::ItemIsEditable) && role == Qt::EditRole))) {
    return false;
  }
  bool done = false;
  CallRoutingErrors(this, [&] { done = writeCell(index.row(), index.column(), value, role); });
  return done;
}

bool DatasetTableModel::writeCell(int row, int column, const QVariant& value, int role) {
  if (!makeCurrent(row)) return false;
  engine::Dataset& d = *dataset_;
  if (d.state() == DatasetState::kBrowse) {
    d.edit();
    if (!Editing(d)) return false;  // the dataset refused
  }
  engine::DatasetField& field = d.field(fieldIndex(column));
  if (columns_[static_cast<size_t>(column)].kind == CellKind::kCheckBox) {
    const bool on = role == Qt::CheckStateRole ? value.toInt() == Qt::Checked : value.toBool();
    field.setAsBoolean(on);
  } else {
    SetFieldFromText(field, value.toString().toStdString());
  }
  if (insert_row_) insert_touched_ = true;
  return true;
}

int DatasetTableModel::currentRow() const {
  if (!dataset_ || !dataset_->active()) return -1;
  if (insert_row_) return row_count_ - 1;
  if (dataset_->rowCount() == 0) return -1;
  return ToInt(dataset_->currentPosition());
}

bool DatasetTableModel::postPending() {
  if (!dataset_ || !dataset_->active()) return true;
  if (!Editing(*dataset_)) return true;
  CallRoutingErrors(this, [&] { dataset_->post(); });
  return dataset_->state() == DatasetState::kBrowse;
}

void DatasetTableModel::cancelPending() {
  if (!dataset_ || !dataset_->active() || !Editing(*dataset_)) return;
  CallRoutingErrors(this, [&] { dataset_->cancel(); });
}

bool DatasetTableModel::makeCurrent(int row) {
  if (!dataset_ || !dataset_->active() || row < 0 || row >= row_count_) return false;
  if (row == currentRow()) return true;
  if (row >= datasetRows()) return false;
  // The record asked for, taken before the post: posting may move rows.
  engine::Dataset::Bookmark target;
  if (!CallRoutingErrors(this,
                         [&] { target = dataset_->bookmarkAt(static_cast<uint32_t>(row)); })) {
    return false;
  }
  if (insert_row_ && !insert_touched_) {
    cancelPending();
  } else if (!postPending()) {
    return false;
  }
  bool moved = false;
  CallRoutingErrors(this, [&] { moved = dataset_->gotoBookmark(target); });
  return moved;
}

bool DatasetTableModel::insertRow() {
  if (!dataset_ || !dataset_->active()) return false;
  if (insert_row_) return true;
  if (!postPending()) return false;
  CallRoutingErrors(this, [&] { dataset_->insert(); });
  return dataset_->state() == DatasetState::kInsert;
}

void DatasetTableModel::beginReset() {
  if (resetting_) return;
  resetting_ = true;
  beginResetModel();
}

void DatasetTableModel::endReset() {
  if (!resetting_) beginResetModel();
  cache_.clear();
  resolveFields();
  insert_row_ = dataset_ && dataset_->active() && dataset_->state() == DatasetState::kInsert;
  if (!insert_row_) insert_touched_ = false;
  row_count_ = datasetRows() + (insert_row_ ? 1 : 0);
  resetting_ = false;
  endResetModel();
  emit currentRowChanged(currentRow());
}

// Shows or takes away the row being inserted as the dataset enters or
// leaves the insert state.
void DatasetTableModel::followState() {
  const bool inserting = dataset_->active() && dataset_->state() == DatasetState::kInsert;
  if (inserting && !insert_row_) {
    beginInsertRows(QModelIndex(), row_count_, row_count_);
    insert_row_ = true;
    insert_touched_ = false;
    ++row_count_;
    endInsertRows();
  } else if (!inserting && insert_row_) {
    beginRemoveRows(QModelIndex(), row_count_ - 1, row_count_ - 1);
    insert_row_ = false;
    insert_touched_ = false;
    --row_count_;
    endRemoveRows();
  }
  // The current row shows the posted values again after a post or cancel.
  const int current = currentRow();
  if (current >= 0) {
    emit dataChanged(index(current, 0), index(current, columnCount() - 1));
  }
  emit stateChanged();
  emit currentRowChanged(current);
}

void DatasetTableModel::onNotice(const engine::DataChange& c) {
  const int first = ToInt(c.first);
  const int last = ToInt(c.last);
  const int count = last - first + 1;
  switch (c.event) {
    case DataEvent::kAboutToInsert:
      cache_.clear();
      beginInsertRows(QModelIndex(), first, last);
      break;
    case DataEvent::kInserted:
      cache_.clear();  // rows read meanwhile stood at their old places
      row_count_ += count;
      endInsertRows();
      break;
    case DataEvent::kAboutToRemove:
      cache_.clear();
      beginRemoveRows(QModelIndex(), first, last);
      break;
    case DataEvent::kRemoved:
      cache_.clear();
      row_count_ -= count;
      endRemoveRows();
      break;
    case DataEvent::kAboutToMove:
      cache_.clear();
      move_pending_ = beginMoveRows(QModelIndex(), first, first, QModelIndex(),
                                    ToInt(c.to) > first ? ToInt(c.to) + 1 : ToInt(c.to));
      break;
    case DataEvent::kMoved:
      cache_.clear();
      if (move_pending_) endMoveRows();
      move_pending_ = false;
      break;
    case DataEvent::kChanged:
      cache_.clear();
      emit dataChanged(index(first, 0), index(last, columnCount() - 1));
      break;
    case DataEvent::kAboutToReset:
      cache_.clear();
      if (dataset_->controlsDisabled()) {
        // A bulk change: the rows change without notices until it ends.
        suspended_ = true;
        emit repaintsSuspendedChanged(true);
      } else if (reading_) {
        reset_deferred_ = true;  // no model signal from inside a read
      } else {
        beginReset();
      }
      break;
    case DataEvent::kReset:
      if (reading_ || reset_deferred_) {
        reset_deferred_ = false;
        QMetaObject::invokeMethod(
            this, [this] { endReset(); }, Qt::QueuedConnection);
        break;
      }
      endReset();
      if (suspended_) {
        suspended_ = false;
        emit repaintsSuspendedChanged(false);
      }
      break;
    case DataEvent::kRecordChange: {
      const int current = currentRow();
      if (current >= 0) emit dataChanged(index(current, 0), index(current, columnCount() - 1));
      break;
    }
    case DataEvent::kScroll:
      emit currentRowChanged(currentRow());
      break;
    case DataEvent::kStateChange:
      followState();
      break;
    case DataEvent::kLabelChange:
      for (size_t i = 0; i < columns_.size(); ++i) {
        if (field_of_column_[i] == static_cast<size_t>(c.first)) {
          emit headerDataChanged(Qt::Horizontal, static_cast<int>(i), static_cast<int>(i));
        }
      }
      break;
    case DataEvent::kDestroyed:
      beginReset();
      dataset_ = nullptr;
      endReset();
      break;
  }
}

}  // namespace vellum::widgets
