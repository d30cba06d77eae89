// The batch window: what the program shows when it is started with
// command-line options. RunFromCommandLine reads and checks the options,
// opens the dictionary of the -p directory and shows the project, work and
// backup directories and the table or alias to rebuild; Run rebuilds them
// with the core's batch run, showing its progress in the operation panel.
//
// Created once at start, hidden. It does not own the Questions or the data
// module it is given; both must outlive it. Every way out of RunFromCommandLine
// ends the program (the caller's business); outcome() tells how it went.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QDialog>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "dictionary/ui/window_progress.h"
#include "rebuild/batch_rebuild.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace vellum::rebuild {

// How a batch start ended.
enum class BatchOutcome {
  kNotRun,       // the window was closed (Cancel, close box) without a run
  kHelp,         // the help text was shown
  kRefused,      // the options were refused with a message
  kDone,         // every table was rebuilt
  kStopped,      // the run stopped with a message (-t without alias); nothing rebuilt
  kFailed,       // the run failed; the error went to the application's error handling
  kInterrupted,  // the user asked the run to stop; the tables not reached are untouched
};

// The program's exit status for an outcome: 0 when the tables were rebuilt
// or the help was asked for, 2 for refused options, 1 otherwise.
int ExitStatusOf(BatchOutcome outcome);

class TBatchForm : public QDialog {
  Q_OBJECT

 public:
  // Messages go through `questions`; the program's arguments are read from
  // the application unless setArguments gives others.
  explicit TBatchForm(Questions& questions, QWidget* parent = nullptr);

  // The data module RunFromCommandLine opens the dictionary through.
  void setDataModule(dictionary::TdmDataDictionary* data_module) { data_module_ = data_module; }
  // The arguments after the program's name.
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }

  // Reads and checks the arguments, opens the dictionary, fills the window
  // and shows it modally; returns when the window closes. The help text and
  // refused options are shown in message boxes and the window stays hidden.
  // An engine error opening the dictionary goes to the caller.
  BatchOutcome RunFromCommandLine();
  BatchOutcome outcome() const { return outcome_; }
  bool running() const { return running_; }
  // The user asked the run to stop (closing the window while it ran).
  bool stopRequested() const { return stop_asked_; }

 public slots:
  // While a run goes on the window stays: closing it (Escape, the close box,
  // Cancel) asks the user, then asks the run to stop after the current
  // table, and the window closes when the run ends.
  void reject() override;

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QGroupBox* GroupBox1;
  QGroupBox* GroupBox2;
  QGroupBox* GroupBox3;
  QGroupBox* GroupBox4;
  QLabel* pProjectDir;
  QLabel* pOutputDir;
  QLabel* pBackupDir;
  QLabel* pObjectName;
  QLabel* pOperazione;
  QPushButton* btnCancel;
  QPushButton* btnEsegui;

  void FormActivate();
  void btnEseguiClick();
  void btnCancelClick();
  void showJob(const BatchJob& job);
  void askToStop();
  // Shows `text` in the operation panel, with the stop notice once asked.
  void showOperation(const std::string& text);
  // Tells where a run the user stopped ended: the last table it finished.
  void tellWhereItStopped();

  Questions& questions_;
  ui::WindowProgress* progress_ = nullptr;  // the run's, while it goes on
  dictionary::TdmDataDictionary* data_module_ = nullptr;
  std::vector<std::string> arguments_;
  std::optional<BatchJob> job_;
  BatchOutcome outcome_ = BatchOutcome::kNotRun;
  bool running_ = false;
  bool stop_asked_ = false;
  std::string operation_;   // the run's last progress text
  QString count_;           // "N of M" of the run's last progress step
  ProgressStep last_item_;  // the run's last step about a table
  bool asking_ = false;     // the question before stopping is on screen
};

}  // namespace vellum::rebuild
