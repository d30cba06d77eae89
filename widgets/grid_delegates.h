// The cell delegates of a DatasetGrid, one per kind of column: a text cell
// whose editor takes no more characters than a String field holds, a check
// box that one click or the space bar toggles, and a drop-down with fixed
// choices that also takes other text and opens by itself when editing
// starts. Each works on a DatasetTableModel; the grid owns them.
#pragma once

#include <QStyledItemDelegate>

namespace vellum::widgets {

class DatasetTableModel;

// Text cells: the editor is limited to the field's size for String fields.
class TextCellDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  // Writes only a changed text: opening and leaving an editor edits nothing.
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;
};

// Check-box cells, the box centred. A click on the cell of the grid's
// current row toggles it (the press of that click makes the row current),
// as does the space bar; no editor is ever opened.
class CheckBoxDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;

 protected:
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

// Pick-list cells: an editable combo box with the column's choices, as many
// lines visible as the column says. Its list opens as soon as the editor
// appears; a typed character closes it and goes to the text, so any text
// can be entered. Choosing an item ends the edit with that item.
class PickListDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  PickListDelegate(QStringList choices, int visible_rows, QObject* parent = nullptr);
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;

 private:
  QStringList choices_;
  int visible_rows_;
};

}  // namespace vellum::widgets
