#include "shell/ui/main_form.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStringList>
#include <QTimer>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/at_scope_end.h"
#include "dictionary/ui/form_style.h"
#include "dictionary/ui/gui_thread_ui.h"
#include "dictionary/ui/window_geometry.h"
#include "shell/text_listing.h"

namespace vellum::shell {

using ui::AtScopeEnd;

TMainForm::TMainForm(bool has_arguments, QWidget* parent)
    : QMainWindow(parent), has_arguments_(has_arguments) {
  setObjectName("MainForm");
  setWindowTitle("Gestione centralizzata Data Dictionary");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createMenu();
  createStatusBar();
  // Maximized; the screen's size is also its normal size, so that it fills
  // the screen where no window manager maximizes it.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    setGeometry(screen->availableGeometry());
  }
  setWindowState(Qt::WindowMaximized);
  ui::RememberGeometry(this);
  FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::createMenu() {
  QMenuBar* bar = menuBar();
  Esci1 = bar->addAction("&Esci");
  Esci1->setObjectName("Esci1");
  // Ctrl+Q, and Alt+F4 for desktops whose window manager leaves it to us.
  Esci1->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Q), QKeySequence(Qt::ALT | Qt::Key_F4)});
  Esci1->setShortcutContext(Qt::ApplicationShortcut);
  addAction(Esci1);
  Carica1 = bar->addAction("&Gestione");
  Carica1->setObjectName("Carica1");
  Rigenera1 = bar->addAction("&Rigenera");
  Rigenera1->setObjectName("Rigenera1");
  Stampa1 = bar->addMenu("&Stampa");
  Stampa1->setObjectName("Stampa1");
  SuFile1 = Stampa1->addAction(tr("Su &File"));
  SuFile1->setObjectName("SuFile1");
  Report1 = Stampa1->addAction(tr("&Report"));
  Report1->setObjectName("Report1");
  N1 = bar->addAction(tr("&?"));
  N1->setObjectName("N1");
  enableCommands(true);
  ui::ExceptionSafeConnect(Esci1, &QAction::triggered, this, &TMainForm::Esci1Click);
  ui::ExceptionSafeConnect(Carica1, &QAction::triggered, this, &TMainForm::Carica1Click);
  ui::ExceptionSafeConnect(Rigenera1, &QAction::triggered, this, &TMainForm::Rigenera1Click);
  ui::ExceptionSafeConnect(SuFile1, &QAction::triggered, this, &TMainForm::SuFile1Click);
  ui::ExceptionSafeConnect(N1, &QAction::triggered, this, &TMainForm::N1Click);
}

void TMainForm::createStatusBar() {
  ProjectDir = new QLabel;
  ProjectDir->setObjectName("ProjectDir");
  ProjectDir->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pbRebuild = new QProgressBar;
  pbRebuild->setObjectName("pbRebuild");
  pbRebuild->setFormat("%v / %m");
  pbRebuild->setMaximumWidth(200);
  pbRebuild->hide();
  pbRows = new QProgressBar;
  pbRows->setObjectName("pbRows");
  pbRows->setMinimumWidth(220);
  pbRows->hide();
  lblRunSummary = new QLabel;
  lblRunSummary->setObjectName("lblRunSummary");
  btnStopRebuild = new QPushButton(tr("Cancel"));
  btnStopRebuild->setObjectName("btnStopRebuild");
  btnStopRebuild->hide();
  ui::ExceptionSafeConnect(btnStopRebuild, &QPushButton::clicked, this, [this] {
    if (progress_) progress_->requestStop();
    btnStopRebuild->setEnabled(false);
  });
  statusBar()->addWidget(ProjectDir, 1);
  statusBar()->addPermanentWidget(lblRunSummary);
  statusBar()->addPermanentWidget(pbRows);
  statusBar()->addPermanentWidget(pbRebuild);
  statusBar()->addPermanentWidget(btnStopRebuild);
  statusBar()->setSizeGripEnabled(false);
}

void TMainForm::setRebuildChooser(TSceltaTabelleRegenDlg* chooser) {
  rebuild_chooser_ = chooser;
  enableCommands(!running());
}

void TMainForm::setAboutBox(TAboutBox* about_box) {
  about_box_ = about_box;
  enableCommands(!running());
}

void TMainForm::setLoadForm(QDialog* load_form) {
  load_form_ = load_form;
  enableCommands(!running());
}

void TMainForm::enableCommands(bool enabled) {
  Esci1->setEnabled(enabled);
  Carica1->setEnabled(enabled && load_form_);
  // Report has no window yet.
  Report1->setEnabled(false);
  Rigenera1->setEnabled(enabled && rebuild_chooser_);
  SuFile1->setEnabled(enabled && rebuild_chooser_);
  N1->setEnabled(enabled && about_box_);
}

void TMainForm::FormCreate() {
  error_dialog_ = std::make_unique<TDbEngineErrorDlg>(this);
  error_dialog_->InstallErrorHandler();
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TMainForm::FormActivate() {
  Esci1->setText(tr("&Exit"));
  Carica1->setText(tr("&Manage"));
  Rigenera1->setText(tr("&Rebuild"));
  Stampa1->setTitle(tr("&Print"));
  setWindowTitle(tr("Central Data dictionary manager"));
  if (has_arguments_) {
    // Batch mode runs once, after the activation has been delivered.
    if (!batch_started_) {
      batch_started_ = true;
      QTimer::singleShot(0, this, &TMainForm::RunBatchMode);
    }
    return;
  }
  if (!running()) showProjectDirectory();
}

void TMainForm::showProjectDirectory() {
  if (data_module_) ProjectDir->setText(QString::fromStdString(data_module_->projectDirectory()));
}

void TMainForm::RunBatchMode() {
  // Every way out of batch mode ends the program, an error included (the
  // dictionary cannot be opened): the error is shown by the application's
  // error handling first, then the program ends with a failure status.
  rebuild::BatchOutcome outcome = rebuild::BatchOutcome::kFailed;
  try {
    outcome = batch_form_->RunFromCommandLine();
  } catch (...) {
    ui::HandleApplicationError(this, std::current_exception());
  }
  emit terminateRequested(rebuild::ExitStatusOf(outcome));
}

void TMainForm::Esci1Click() { close(); }

void TMainForm::Carica1Click() {
  if (load_form_ && !running()) load_form_->exec();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // The window and what the run uses stay until the run is over; closing
  // asks it to stop after the current table.
  if (running()) {
    progress_->requestStop();
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void TMainForm::Rigenera1Click() {
  if (!data_module_ || !rebuild_chooser_ || !questions_ || running()) return;
  if (!rebuild_chooser_->choose(RebuildChooser::Mode::kOutDirectory)) return;

  const RebuildChoice choice = rebuild_chooser_->choice();
  ui::WindowProgress progress(
      [this](const ProgressStep& step) { showRunProgress(step); },
      [this](uint64_t copied, uint64_t total) { showRowProgress(copied, total); });
  progress_ = &progress;
  enableCommands(false);
  lblRunSummary->clear();
  const AtScopeEnd end([this] {
    progress_ = nullptr;
    showRunProgress({});
    enableCommands(true);
  });
  // The run works on a worker thread; its questions come back here.
  ui::GuiThreadUi ui(*questions_, progress, this);
  const RebuildDetails plan = [this, &ui](const std::string& alias, const std::string& table,
                                          const std::string& directory) {
    return RebuildPlanDetails(*data_module_, ui, alias, table, directory);
  };
  RebuildRunReport report;
  ui::RunOnWorker([&] { report = RunInteractiveRebuild(*data_module_, choice, ui, plan); });
  lblRunSummary->setText(RunSummary(report));
}

QString TMainForm::RunSummary(const RebuildRunReport& report) {
  const auto count = [](const std::vector<std::string>& tables) {
    return static_cast<int>(tables.size());
  };
  const int rebuilt = count(report.rebuilt);
  QStringList parts{rebuilt == 1 ? tr("%n table rebuilt", "", rebuilt)
                                 : tr("%n tables rebuilt", "", rebuilt)};
  if (!report.failed.empty()) parts << tr("%n failed", "", count(report.failed));
  if (!report.skipped.empty()) parts << tr("%n skipped", "", count(report.skipped));
  if (!report.stopped.empty()) parts << tr("%n stopped", "", count(report.stopped));
  if (!report.not_asked.empty()) parts << tr("%n not asked", "", count(report.not_asked));
  return parts.join(tr(", "));
}

void TMainForm::showRowProgress(uint64_t copied, uint64_t total) {
  if (!progress_) return;
  // The bar's range is an int: large tables are shown in thousands of rows.
  const uint64_t scale = total > 1000000 ? 1000 : 1;
  pbRows->setRange(0, static_cast<int>(total / scale));
  pbRows->setValue(static_cast<int>(copied / scale));
  const int rows = static_cast<int>(total);
  pbRows->setFormat(
      (rows == 1 ? tr("%L1 of %Ln row copied", "", rows) : tr("%L1 of %Ln rows copied", "", rows))
          .arg(copied));
  pbRows->show();
}

void TMainForm::showRunProgress(const ProgressStep& step) {
  pbRows->hide();  // until the table at hand reports its rows
  if (step.text.empty()) {
    showProjectDirectory();
    pbRebuild->hide();
    btnStopRebuild->hide();
    return;
  }
  ProjectDir->setText(QFile::decodeName(step.text.c_str()));
  pbRebuild->setRange(0, static_cast<int>(step.total));
  pbRebuild->setValue(static_cast<int>(step.done));
  pbRebuild->show();
  btnStopRebuild->setEnabled(progress_ && !progress_->stopRequested());
  btnStopRebuild->show();
}

void TMainForm::SuFile1Click() {
  if (!data_module_ || !rebuild_chooser_ || running()) return;
  if (!rebuild_chooser_->choose(RebuildChooser::Mode::kFileName)) return;
  const RebuildChoice choice = rebuild_chooser_->choice();
  WriteTextListing(*data_module_, choice.alias, choice.tables, choice.output_directory);
}

void TMainForm::N1Click() {
  if (about_box_) about_box_->exec();
}

}  // namespace vellum::shell
