// The main window: the menu bar from which every interactive command is
// reached and the status panel that shows the open dictionary's project
// directory. Started with command-line arguments, the program runs batch
// mode from the main window's first activation and then ends.
//
// Its commands: Manage (the management window, shown modally), Rebuild (the
// interactive rebuild over the rebuild chooser), Print > Su File (the text
// listing, the chooser in file-name mode) and "?" (the about box). A rebuild
// runs on a worker thread while the window stays alive: its progress (the
// table among the chosen ones, and the rows copied of the table at hand)
// shows in the status bar with a Cancel button, the menu commands are
// blocked, and at its end the status bar sums it up ("12 tables rebuilt,
// 1 failed, 2 not asked").
//
// Created first at start; it creates the engine error dialog, which it owns,
// and installs it as the application-wide error handler. The batch window,
// the rebuild chooser and the about box it is given are its dialogs: given
// with the main window as their parent, they go with it. It does not own the
// data module or the Questions; both must outlive it.
#pragma once

#include <cstdint>
#include <memory>

#include <QMainWindow>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "dictionary/ui/window_progress.h"
#include "rebuild/ui/batch_form.h"
#include "shell/interactive_rebuild.h"
#include "shell/ui/about_box.h"
#include "shell/ui/db_engine_error_dlg.h"
#include "shell/ui/rebuild_chooser_dlg.h"

class QAction;
class QDialog;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

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
  // The Questions the commands ask through (the application's message boxes).
  void setQuestions(Questions* questions) { questions_ = questions; }
  // The dialogs the commands show; the menu items are enabled once given.
  void setRebuildChooser(TSceltaTabelleRegenDlg* chooser);
  void setAboutBox(TAboutBox* about_box);
  // The management window, shown modally by Manage.
  void setLoadForm(QDialog* load_form);
  // True while a rebuild runs.
  bool running() const { return progress_ != nullptr; }
  // The summary of a rebuild run: the tables rebuilt, then those that
  // failed, were skipped, were stopped and were not asked about, each part
  // but the first left out when it counts none.
  static QString RunSummary(const RebuildRunReport& report);
  TDbEngineErrorDlg& errorDialog() { return *error_dialog_; }

 signals:
  // The program is to end with `exit_status` (batch mode is over).
  void terminateRequested(int exit_status);

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QAction* Esci1;
  QAction* Carica1;
  QAction* Rigenera1;
  QMenu* Stampa1;
  QAction* SuFile1;
  QAction* Report1;
  QAction* N1;
  QLabel* ProjectDir;
  // Where a rebuild run stands and the button that asks it to stop; shown
  // only while it runs.
  QProgressBar* pbRebuild;
  QProgressBar* pbRows;  // rows copied of the table at hand
  QPushButton* btnStopRebuild;
  QLabel* lblRunSummary;  // how the last rebuild run went

  void FormCreate();
  void FormActivate();
  void Esci1Click();
  void Carica1Click();
  void Rigenera1Click();
  void SuFile1Click();
  void N1Click();
  void RunBatchMode();
  void createMenu();
  void createStatusBar();
  void showProjectDirectory();
  // Shows a rebuild's progress; an empty text ends it (the project directory
  // again, no bar).
  void showRunProgress(const ProgressStep& step);
  void showRowProgress(uint64_t copied, uint64_t total);
  // Enables the menu commands whose windows exist, or blocks them all.
  void enableCommands(bool enabled);

  bool has_arguments_;
  bool batch_started_ = false;
  dictionary::TdmDataDictionary* data_module_ = nullptr;
  rebuild::TBatchForm* batch_form_ = nullptr;
  Questions* questions_ = nullptr;
  TSceltaTabelleRegenDlg* rebuild_chooser_ = nullptr;
  TAboutBox* about_box_ = nullptr;
  QDialog* load_form_ = nullptr;
  ui::WindowProgress* progress_ = nullptr;  // the rebuild's, while it runs
  std::unique_ptr<TDbEngineErrorDlg> error_dialog_;
};

}  // namespace vellum::shell
