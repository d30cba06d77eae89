// The rebuild table chooser: the modal dialog in which the user picks an
// alias of the dictionary, tables of that alias and an output directory (for
// the rebuild) or a file name (for the text listing). The caller chooses the
// mode through lblDirectory's caption: "Filename" when the dialog is shown
// means file-name mode, anything else out-directory mode.
//
// Created once at start and reused; every showing starts empty with the
// aliases read afresh. The logic lives in a RebuildChooser the dialog owns;
// the dialog shows its state and passes the user's actions to it. The
// session must outlive the dialog. Engine errors while reading the
// dictionary go to the application's error handling; the dialog stays open.
#pragma once

#include <QDialog>

#include "engine/session.h"
#include "shell/rebuild_chooser.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vellum::shell {

class TSceltaTabelleRegenDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TSceltaTabelleRegenDlg(engine::Session& session, QWidget* parent = nullptr);

  // What the user chose: the alias text, the edit box's text and the chosen
  // tables in list order. Meaningful after the dialog closed with OK.
  RebuildChoice choice() const;
  const RebuildChooser& chooser() const { return chooser_; }
  // The mode of the next showing: out directory (the rebuild, the default)
  // or file name (the text listing).
  void setMode(RebuildChooser::Mode mode) { mode_ = mode; }
  // Shows the dialog modally in `mode`; true when it was closed with OK.
  bool choose(RebuildChooser::Mode mode);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* Label1;
  QComboBox* cbAliases;
  QLabel* lblDirectory;
  QLineEdit* edtDirectory;
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

  using Side = RebuildChooser::Side;

  void createControls();
  void layOut();
  void FormActivate();
  void cbAliasesChange(const QString& text);
  void edtDirectoryChange(const QString& text);
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

  RebuildChooser chooser_;
  RebuildChooser::Mode mode_ = RebuildChooser::Mode::kOutDirectory;
};

}  // namespace vellum::shell
