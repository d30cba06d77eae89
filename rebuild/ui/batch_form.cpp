#include "rebuild/ui/batch_form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "dictionary/ui/window_geometry.h"
#include "engine/errors.h"

namespace vellum::rebuild {

namespace {

using ui::At120Ppi;

// The window as designed at 120 pixels per inch.
constexpr int kWidth = 695;
constexpr int kHeight = 324;
constexpr int kFrameHeight = 50;
constexpr int kButtonBarHeight = 41;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kMargin = 8;

QLabel* SunkenPanel(const char* name) {
  auto* panel = new QLabel;
  panel->setObjectName(name);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return panel;
}

// A framed row holding one sunken value panel.
QGroupBox* Frame(const char* name, QLabel* panel) {
  auto* frame = new QGroupBox;
  frame->setObjectName(name);
  frame->setFixedHeight(At120Ppi(kFrameHeight));
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(At120Ppi(kMargin), 0, At120Ppi(kMargin), At120Ppi(6));
  layout->addWidget(panel);
  return frame;
}

QPushButton* Button(const char* name, QWidget* parent) {
  auto* button = new QPushButton(parent);
  button->setObjectName(name);
  button->setFixedSize(At120Ppi(kButtonWidth), At120Ppi(kButtonHeight));
  button->setAutoDefault(false);
  return button;
}

std::vector<std::string> ProgramArguments() {
  std::vector<std::string> arguments;
  const QStringList all = QCoreApplication::arguments();
  for (qsizetype i = 1; i < all.size(); ++i) {
    arguments.push_back(QFile::encodeName(all[i]).toStdString());
  }
  return arguments;
}

}  // namespace

int ExitStatusOf(BatchOutcome outcome) {
  switch (outcome) {
    case BatchOutcome::kDone:
    case BatchOutcome::kHelp:
      return 0;
    case BatchOutcome::kRefused:
      return 2;
    default:
      return 1;
  }
}

TBatchForm::TBatchForm(Questions& questions, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      pProjectDir(SunkenPanel("pProjectDir")),
      pOutputDir(SunkenPanel("pOutputDir")),
      pBackupDir(SunkenPanel("pBackupDir")),
      pObjectName(SunkenPanel("pObjectName")),
      pOperazione(new QLabel),
      questions_(questions),
      arguments_(ProgramArguments()) {
  setObjectName("BatchForm");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  GroupBox1 = Frame("GroupBox1", pProjectDir);
  GroupBox2 = Frame("GroupBox2", pOutputDir);
  GroupBox3 = Frame("GroupBox3", pBackupDir);
  GroupBox4 = Frame("GroupBox4", pObjectName);
  pOperazione->setObjectName("pOperazione");
  pOperazione->setFrameStyle(QFrame::Panel | QFrame::Raised);
  pOperazione->setLineWidth(1);
  pOperazione->setAlignment(Qt::AlignCenter);
  pOperazione->setWordWrap(true);
  QFont bold = pOperazione->font();
  bold.setBold(true);
  pOperazione->setFont(bold);

  auto* bar = new QWidget;
  bar->setObjectName("ButtonBar");
  bar->setFixedHeight(At120Ppi(kButtonBarHeight));
  btnCancel = Button("btnCancel", bar);
  btnEsegui = Button("btnEsegui", bar);
  auto* bar_layout = new QHBoxLayout(bar);
  bar_layout->setContentsMargins(At120Ppi(kMargin), 0, At120Ppi(kMargin), 0);
  bar_layout->addWidget(btnCancel);
  bar_layout->addStretch();
  bar_layout->addWidget(btnEsegui);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (QGroupBox* frame : {GroupBox1, GroupBox2, GroupBox3, GroupBox4}) layout->addWidget(frame);
  layout->addWidget(pOperazione, 1);
  layout->addWidget(bar);
  setFixedSize(At120Ppi(kWidth), At120Ppi(kHeight));
  ui::RememberGeometry(this);

  ui::ExceptionSafeConnect(btnEsegui, &QPushButton::clicked, this, &TBatchForm::btnEseguiClick);
  ui::ExceptionSafeConnect(btnCancel, &QPushButton::clicked, this, &TBatchForm::btnCancelClick);
}

BatchOutcome TBatchForm::RunFromCommandLine() {
  outcome_ = BatchOutcome::kNotRun;
  if (!data_module_) throw Error("The data dictionary is not available");
  const BatchOptions options = ParseBatchOptions(arguments_);
  const BatchStart start = StartBatch(options, *data_module_, questions_);
  if (start.status != BatchStartStatus::kReady) {
    // The help shown for an unknown option is a refusal too.
    const bool asked_for_help =
        start.status == BatchStartStatus::kHelp && options.unknown_option.empty();
    outcome_ = asked_for_help ? BatchOutcome::kHelp : BatchOutcome::kRefused;
    return outcome_;
  }
  job_ = start.job;
  showJob(*job_);
  exec();
  return outcome_;
}

void TBatchForm::showJob(const BatchJob& job) {
  pProjectDir->setText(QString::fromStdString(job.options.project_directory));
  pOutputDir->setText(QString::fromStdString(job.work_directory));
  pBackupDir->setText(QString::fromStdString(job.options.backup_directory));
  pObjectName->setText(QString::fromStdString(job.objectName()));
  showOperation(job.operationText());
}

void TBatchForm::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TBatchForm::FormActivate() {
  setWindowTitle(tr("Batch form"));
  GroupBox1->setTitle(tr("Project directory"));
  GroupBox2->setTitle(tr("Work directory"));
  GroupBox3->setTitle(tr("Backup directory"));
  GroupBox4->setTitle(tr("Table/alias to rebuild"));
  btnCancel->setText(tr("&Cancel"));
  btnEsegui->setText(tr("&Run"));
}

void TBatchForm::btnEseguiClick() {
  if (running_ || !job_) return;
  btnEsegui->setEnabled(false);
  btnCancel->setEnabled(false);
  running_ = true;
  ui::WindowProgress progress([this](const ProgressStep& step) {
    // "N of M": the table being rebuilt among those of the run.
    count_ = step.total > 0 ? tr("%1 of %2").arg(step.done + 1).arg(step.total) : QString();
    if (!step.item.empty()) last_item_ = step;
    showOperation(step.text);
  });
  progress_ = &progress;
  JoinedUi ui(questions_, progress);
  BatchRunStatus status;
  try {
    status = RunBatch(*job_, *data_module_, ui);
  } catch (...) {
    running_ = false;
    progress_ = nullptr;
    outcome_ = BatchOutcome::kFailed;
    throw;  // to the application's error handling; the window stays
  }
  running_ = false;
  progress_ = nullptr;
  if (status == BatchRunStatus::kStopped) {
    outcome_ = BatchOutcome::kStopped;
    return;
  }
  outcome_ =
      status == BatchRunStatus::kInterrupted ? BatchOutcome::kInterrupted : BatchOutcome::kDone;
  if (outcome_ == BatchOutcome::kInterrupted) tellWhereItStopped();
  accept();
}

void TBatchForm::tellWhereItStopped() {
  // A run stops between tables: the last table it began is the last one it
  // finished.
  const QString text =
      last_item_.item.empty()
          ? tr("The rebuild stopped before its first table; no table was rebuilt.")
          : tr("The rebuild stopped after the table \"%1\" (%2 of %3); the tables after it "
               "were not touched.")
                .arg(QString::fromStdString(last_item_.item))
                .arg(last_item_.done + 1)
                .arg(last_item_.total);
  questions_.message(MessageKind::kInformation, text.toStdString());
}

void TBatchForm::btnCancelClick() { reject(); }

void TBatchForm::reject() {
  if (running_) {
    askToStop();
    return;
  }
  QDialog::reject();
}

void TBatchForm::closeEvent(QCloseEvent* event) {
  if (running_) {
    askToStop();
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void TBatchForm::askToStop() {
  if (!progress_ || stop_asked_ || asking_) return;
  // Escape or the close box pressed by mistake must not end a long run.
  asking_ = true;
  const Answer answer = questions_.ask(
      MessageKind::kConfirmation, tr("Stop the rebuild after the current table?").toStdString(),
      Buttons::kYesNo);
  asking_ = false;
  if (answer != Answer::kYes || !progress_) return;
  stop_asked_ = true;
  progress_->requestStop();
  showOperation(operation_);
}

void TBatchForm::showOperation(const std::string& text) {
  operation_ = text;
  QString shown = QString::fromStdString(text);
  if (!count_.isEmpty()) shown += "\n" + count_;
  if (stop_asked_) shown += "\n" + tr("Stopping after this table...");
  pOperazione->setText(shown);
}

}  // namespace vellum::rebuild
