// The load table chooser: the modal dialog in which the user picks the
// source of a load (an alias of the engine, or a directory path typed in
// its place), the alias under which the tables are recorded in the
// dictionary, and the tables to load.
//
// Created once at start and reused. Unlike the rebuild chooser it keeps its
// choice between showings: each showing reads the engine's aliases afresh
// and empties the source and the available list, while the chosen list and
// the load-as name stay as the last use left them. The logic lives in a
// LoadChooser the dialog owns; the dialog shows its state and passes the
// user's actions to it. The data module must outlive the dialog.
#pragma once

#include <QDialog>

#include "dictionary/data_module.h"
#include "loading/load_chooser.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vellum::loading {

class TSceltaTabelleDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TSceltaTabelleDlg(dictionary::TdmDataDictionary& data_module, QWidget* parent = nullptr);

  // What the user chose: the source text, the load-as name and the chosen
  // tables in list order. Meaningful after the dialog closed with OK.
  LoadChoice choice() const { return chooser_.choice(); }
  const LoadChooser& chooser() const { return chooser_; }
  // Shows the dialog modally; true when it was closed with OK.
  bool choose() { return exec() == QDialog::Accepted; }

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* Label1;
  QComboBox* cbAliases;
  QLabel* Label2;
  QLineEdit* edtAlias;
  QLabel* pSrcTitle;
  QListWidget* SrcList;
  QPushButton* IncludeBtn;
  QPushButton* IncAllBtn;
  QPushButton* ExcludeBtn;
  QPushButton* ExAllBtn;
  QLabel* pDstTitle;
  QListWidget* DstList;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;

  using Side = LoadChooser::Side;

  void createControls();
  void layOut();
  void FormActivate();
  void cbAliasesChange(const QString& text);
  void edtAliasChange(const QString& text);
  void IncludeBtnClick();
  void ExcludeBtnClick();
  void IncAllBtnClick();
  void ExcAllBtnClick();
  // Shows the lists after a move and gives `side`'s list the focus on the
  // item `index` (none when -1), then SetButtons.
  void SetItem(Side side, int index);
  void SetButtons();
  QListWidget* listOf(Side side) const;
  void showList(Side side);
  void takeSelection(Side side);

  LoadChooser chooser_;
};

}  // namespace vellum::loading
