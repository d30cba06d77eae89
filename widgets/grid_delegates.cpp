#include "widgets/grid_delegates.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include "widgets/dataset_model.h"

namespace vellum::widgets {

namespace {

// The model of `index` as a DatasetTableModel, or nullptr.
const DatasetTableModel* ModelOf(const QModelIndex& index) {
  return qobject_cast<const DatasetTableModel*>(index.model());
}

// Sends the printable keys typed into an open drop-down list to the combo
// box's text instead, closing the list: the list never swallows free text.
class TypeThrough : public QObject {
 public:
  explicit TypeThrough(QComboBox* combo) : QObject(combo), combo_(combo) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const bool typed = !key->text().isEmpty() && key->text().at(0).isPrint();
    if (!typed && key->key() != Qt::Key_Backspace) return QObject::eventFilter(watched, event);
    combo_->hidePopup();
    QKeyEvent copy(QEvent::KeyPress, key->key(), key->modifiers(), key->text());
    QApplication::sendEvent(combo_->lineEdit(), &copy);
    return true;
  }

 private:
  QComboBox* combo_;
};

}  // namespace

QWidget* TextCellDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
  QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
  const DatasetTableModel* model = ModelOf(index);
  auto* line = qobject_cast<QLineEdit*>(editor);
  if (!line || !model || !model->dataset() || !model->dataset()->active()) return editor;
  const auto& column = model->columns().at(static_cast<size_t>(index.column()));
  if (engine::DatasetField* f = model->dataset()->findField(column.field);
      f && f->type() == engine::FieldType::kString && f->size() > 0) {
    line->setMaxLength(f->size());
  }
  return editor;
}

void TextCellDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                    const QModelIndex& index) const {
  if (auto* line = qobject_cast<QLineEdit*>(editor);
      line && line->text() == index.data(Qt::EditRole).toString()) {
    return;
  }
  QStyledItemDelegate::setModelData(editor, model, index);
}

void CheckBoxDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  QStyleOptionViewItem cell = option;
  initStyleOption(&cell, index);
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  // The cell's background and focus as any cell, without its own indicator.
  const Qt::CheckState state = cell.checkState;
  cell.features &= ~QStyleOptionViewItem::HasCheckIndicator;
  cell.text.clear();
  style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
  QStyleOptionViewItem box = option;
  box.features |= QStyleOptionViewItem::HasCheckIndicator;
  box.rect = QRect(0, 0, style->pixelMetric(QStyle::PM_IndicatorWidth, &box, widget),
                   style->pixelMetric(QStyle::PM_IndicatorHeight, &box, widget));
  box.rect.moveCenter(option.rect.center());
  box.state = option.state & ~QStyle::State_HasFocus;
  box.state |= state == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
  style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, widget);
}

QWidget* CheckBoxDelegate::createEditor(QWidget* /*parent*/, const QStyleOptionViewItem& /*option*/,
                                        const QModelIndex& /*index*/) const {
  return nullptr;
}

bool CheckBoxDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (!index.flags().testFlag(Qt::ItemIsUserCheckable) ||
      !index.flags().testFlag(Qt::ItemIsEnabled)) {
    return false;
  }
  switch (event->type()) {
    case QEvent::MouseButtonRelease: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton || !option.rect.contains(mouse->position().toPoint())) {
        return false;
      }
      // Only the row the press made current: a press the grid refused (a
      // post that failed) toggles nothing.
      const auto* dataset_model = qobject_cast<const DatasetTableModel*>(model);
      if (dataset_model && dataset_model->currentRow() != index.row()) return true;
      break;
    }
    case QEvent::MouseButtonDblClick:
      return true;  // the press and release did the work
    case QEvent::KeyPress: {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key != Qt::Key_Space && key != Qt::Key_Select) return false;
      break;
    }
    default:
      return false;
  }
  const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
  model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
  return true;
}

PickListDelegate::PickListDelegate(QStringList choices, int visible_rows, QObject* parent)
    : QStyledItemDelegate(parent), choices_(std::move(choices)), visible_rows_(visible_rows) {}

QWidget* PickListDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& /*option*/,
                                        const QModelIndex& /*index*/) const {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(QStringLiteral("pickList"));
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setCompleter(nullptr);  // typed text stays as typed
  combo->addItems(choices_);
  combo->setMaxVisibleItems(visible_rows_);
  combo->view()->installEventFilter(new TypeThrough(combo));
  auto* self = const_cast<PickListDelegate*>(this);
  connect(combo, &QComboBox::activated, self, [self, combo] {
    emit self->commitData(combo);
    emit self->closeEditor(combo, QAbstractItemDelegate::NoHint);
  });
  QTimer::singleShot(0, combo, [combo] {
    if (combo->isVisible()) combo->showPopup();
  });
  return combo;
}

void PickListDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  auto* combo = static_cast<QComboBox*>(editor);
  const QString text = index.data(Qt::EditRole).toString();
  const int at = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (at >= 0) combo->setCurrentIndex(at);
  combo->setEditText(text);
}

void PickListDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                    const QModelIndex& index) const {
  auto* combo = static_cast<QComboBox*>(editor);
  if (combo->currentText() == index.data(Qt::EditRole).toString()) return;  // nothing changed
  model->setData(index, combo->currentText(), Qt::EditRole);
}

}  // namespace vellum::widgets
