#include "shell/ui/main_form.h"

#include <QAction>
#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include "dictionary/ui/form_style.h"

namespace vellum::shell {

TMainForm::TMainForm(bool has_arguments, QWidget* parent)
    : QMainWindow(parent), has_arguments_(has_arguments) {
  setObjectName("MainForm");
  setWindowTitle("Gestione centralizzata Data Dictionary");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  createMenu();
  ProjectDir = new QLabel;
  ProjectDir->setObjectName("ProjectDir");
  ProjectDir->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statusBar()->addWidget(ProjectDir, 1);
  statusBar()->setSizeGripEnabled(false);
  // Maximized; the screen's size is also its normal size, so that it fills
  // the screen where no window manager maximizes it.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    setGeometry(screen->availableGeometry());
  }
  setWindowState(Qt::WindowMaximized);
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
  SuFile1 = Stampa1->addAction("Su &File");
  SuFile1->setObjectName("SuFile1");
  Report1 = Stampa1->addAction("&Report");
  Report1->setObjectName("Report1");
  N1 = bar->addAction("&?");
  N1->setObjectName("N1");
  // Commands whose windows do not exist yet.
  for (QAction* action : {Carica1, Rigenera1, SuFile1, Report1, N1}) action->setEnabled(false);
  connect(Esci1, &QAction::triggered, this, &TMainForm::Esci1Click);
}

void TMainForm::FormCreate() {
  error_dialog_ = std::make_unique<TDbEngineErrorDlg>();
  error_dialog_->InstallErrorHandler();
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TMainForm::FormActivate() {
  Esci1->setText("&Exit");
  Carica1->setText("&Manage");
  Rigenera1->setText("&Rebuild");
  Stampa1->setTitle("&Print");
  setWindowTitle("Central Data dictionary manager");
  if (has_arguments_) {
    // Batch mode runs once, after the activation has been delivered.
    if (!batch_started_) {
      batch_started_ = true;
      QTimer::singleShot(0, this, &TMainForm::RunBatchMode);
    }
    return;
  }
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
    HandleApplicationError(this, std::current_exception());
  }
  emit terminateRequested(rebuild::ExitStatusOf(outcome));
}

void TMainForm::Esci1Click() { close(); }

}  // namespace vellum::shell
