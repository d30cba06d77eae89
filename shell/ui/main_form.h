// The main window: the menu bar from which every interactive command is
// reached and the status panel that shows the open dictionary's project
// directory. Started with command-line arguments, the program runs batch
// mode from the main window's first activation and then ends.
//
// Created first at start; it creates the engine error dialog, which it owns,
// and installs it as the application-wide error handler. It does not own the
// data module or the batch window it is given; both must outlive it.
#pragma once

#include <memory>

#include <QMainWindow>

#include "dictionary/data_module.h"
#include "rebuild/ui/batch_form.h"
#include "shell/ui/db_engine_error_dlg.h"

class QAction;
class QLabel;
class QMenu;

namespace vellum::shell {

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  // `has_arguments`: the program was started with command-line arguments,
  // which makes it run batch mode.
  explicit TMainForm(bool has_arguments, QWidget* parent = nullptr);
  ~TMainForm() override;

  void setDataModule(dictionary::TdmDataDictionary* data_module) { data_module_ = data_module; }
  void setBatchForm(rebuild::TBatchForm* batch_form) { batch_form_ = batch_form; }
  TDbEngineErrorDlg& errorDialog() { return *error_dialog_; }

  QAction* Esci1;
  QAction* Carica1;
  QAction* Rigenera1;
  QMenu* Stampa1;
  QAction* SuFile1;
  QAction* Report1;
  QAction* N1;
  QLabel* ProjectDir;

 signals:
  // The program is to end with `exit_status` (batch mode is over).
  void terminateRequested(int exit_status);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void FormCreate();
  void FormActivate();
  void Esci1Click();
  void RunBatchMode();
  void createMenu();

  bool has_arguments_;
  bool batch_started_ = false;
  dictionary::TdmDataDictionary* data_module_ = nullptr;
  rebuild::TBatchForm* batch_form_ = nullptr;
  std::unique_ptr<TDbEngineErrorDlg> error_dialog_;
};

}  // namespace vellum::shell
