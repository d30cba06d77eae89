// The management window: the open dictionary one described table at a
// time, with its field rows and index rows and the descriptions of all
// three, and the commands Load, Delete all and Print. Every control is
// bound to the data module's views, so every edit made here passes its
// rules.
//
// Created once at start and shown modally from the main window. Each
// activation sets the window's texts again; each deactivation (another
// window, or one of this window's own dialogs opening) posts what was being
// edited. Load uses the load chooser created at start beside this window
// (a child of the same parent). The data module and the Questions must
// outlive the window.
#pragma once

#include <memory>

#include <QDialog>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "engine/dataset.h"

class QAction;
class QLabel;
class QMenuBar;
class QPushButton;
class QToolButton;

namespace vellum::widgets {
class DatasetGrid;
class DatasetNavigator;
class DatasetTableModel;
class FieldEdit;
class FieldMemo;
class MemoDialog;
class SearchDialog;
}  // namespace vellum::widgets

namespace vellum::loading {

class LoadCommand;
class TSceltaTabelleDlg;

class TLoadForm : public QDialog {
  Q_OBJECT

 public:
  TLoadForm(dictionary::TdmDataDictionary& data_module, Questions& questions,
            QWidget* parent = nullptr);
  ~TLoadForm() override;

  // The handlers, as the menu, the buttons and the grids call them.
  void FormActivate();
  void FormDeactivate();
  void Esci1Click();
  void Carica1Click();
  void CancellaTutto1Click();
  void SpeedButton1Click();
  void grFieldsDblClick();
  void grIndexesDblClick();
  void grFieldsEnter();

  // The note dialogs, for a caller that wants to see them.
  widgets::MemoDialog* fieldsNotes() const { return mdFields; }
  widgets::MemoDialog* indexNotes() const { return mdIndexes; }

 protected:
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void createControls();
  void layOut();

  dictionary::TdmDataDictionary& dm_;
  Questions& questions_;

  QMenuBar* MainMenu;
  QAction* Esci1;
  QAction* Carica1;
  QAction* CancellaTutto1;
  QAction* Stampa1;
  QLabel* Label1;  // alias
  QLabel* Label2;  // name
  QLabel* Label3;  // insertion date
  QLabel* Label4;  // modification date
  QLabel* Label5;  // password
  widgets::FieldEdit* editAlias;
  QToolButton* SpeedButton1;
  widgets::FieldEdit* editNome;
  widgets::FieldEdit* editInserimento;
  widgets::FieldEdit* editUltimaModifica;
  widgets::FieldEdit* editPassword;
  widgets::DatasetNavigator* DBNavigator1;
  widgets::FieldMemo* memoDescrizione;
  widgets::DatasetGrid* grFields;
  widgets::DatasetGrid* grIndexes;
  QPushButton* btnStopLoad;
  widgets::MemoDialog* mdFields;
  widgets::MemoDialog* mdIndexes;
  widgets::SearchDialog* sdTable;

  engine::Dataset tblTablesSearch;
  std::unique_ptr<widgets::DatasetTableModel> fields_model_;
  std::unique_ptr<widgets::DatasetTableModel> index_model_;
  LoadCommand* load_command_ = nullptr;  // made by the first Load
  bool deactivating_ = false;            // a FormDeactivate is under way
};

}  // namespace vellum::loading
