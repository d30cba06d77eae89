#include "tests/driver/test_driver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include "dictionary/ui/open_project_dlg.h"
#include "rebuild/ui/batch_form.h"
#include "shell/ui/about_box.h"
#include "shell/ui/db_engine_error_dlg.h"
#include "shell/ui/main_form.h"
#include "shell/ui/rebuild_chooser_dlg.h"

namespace vellum::app {

namespace {

constexpr int kTickMs = 40;
// Ticks a batch window left open after a failure is watched before it is
// closed, so that a window that would close by itself can do so first.
constexpr int kOpenTicks = 10;
// Ticks a window is given to become active before the driver acts anyway.
constexpr int kActivationTicks = 50;
// Ticks a command's window is waited for before the command counts as failed.
constexpr int kCommandTicks = 250;
// Ticks the main window must be seen idle (no other window up, no run going)
// before the next command is given: a closing dialog's last tick is no gap.
constexpr int kSettleTicks = 3;

QString Escaped(QString text) {
  text.replace('\\', "\\\\").replace('\r', "\\r").replace('\n', "\\n").replace('\t', "\\t");
  return text;
}

// Presses `button` as a user would: from the event loop, not from inside
// the driver, so that whatever the press raises takes the way a real
// press's error takes.
void Press(QAbstractButton* button) {
  QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

// The control `name` of `window`, found by its objectName.
template <typename Control>
Control* Child(const QObject* window, const char* name) {
  auto* control = window->findChild<Control*>(QString::fromLatin1(name));
  if (!control) qFatal("The window has no control named %s", name);
  return control;
}

}  // namespace

TestDriver::TestDriver() {
  const QString transcript = qEnvironmentVariable("VELLUM_TEST_TRANSCRIPT");
  screenshots_ = qEnvironmentVariable("VELLUM_TEST_SCREENSHOTS");
  if (!transcript.isEmpty()) {
    transcript_.setFileName(transcript);
    acting_ = transcript_.open(QIODevice::WriteOnly | QIODevice::Truncate);
  }
  commands_ = qEnvironmentVariable("VELLUM_TEST_COMMANDS").split('\n', Qt::SkipEmptyParts);
  if (!acting_ && screenshots_.isEmpty()) return;
  connect(&timer_, &QTimer::timeout, this, &TestDriver::tick);
  timer_.start(kTickMs);
}

void TestDriver::write(const QString& kind, const QStringList& fields) {
  if (!acting_) return;
  QString line = kind;
  for (const QString& field : fields) line += '\t' + Escaped(field);
  transcript_.write((line + '\n').toUtf8());
  transcript_.flush();
}

void TestDriver::screenshot(QWidget* window, const QString& name) {
  if (screenshots_.isEmpty() || shot_states_.contains(name)) return;
  shot_states_.insert(name);
  QScreen* screen = window->screen();
  const QRect frame = window->frameGeometry();
  const QPixmap pixmap = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
  pixmap.save(
      QDir(screenshots_).filePath(QString("%1-%2.png").arg(++shot_, 2, 10, QChar('0')).arg(name)));
}

void TestDriver::tick() {
  // The window on top acts first: the active modal window, else any.
  QWidget* modal = QApplication::activeModalWidget();
  if (modal) main_idle_ticks_ = 0;
  if (modal && modal->isVisible() && handle(modal)) return;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && window != modal && handle(window)) return;
  }
}

bool TestDriver::handle(QWidget* window) {
  if (handleMessageBox(window) || handlePasswordBox(window) || handleChooser(window) ||
      handleAboutBox(window)) {
    return true;
  }
  if (auto* error = qobject_cast<shell::TDbEngineErrorDlg*>(window)) {
    if (!error->currentError()) return false;
    if (!screenshots_.isEmpty() && !error->detailsShown()) {
      Child<QPushButton>(error, "DetailsBtn")->click();  // cannot fail; painted by the next tick
      return true;
    }
    screenshot(error, "error-dialog-details");
    write("engine-error", {Child<QLabel>(error, "ErrorText")->text()});
    idle_ticks_ = 0;
    if (acting_) Press(Child<QPushButton>(error, "OKBtn"));
    return true;
  }
  if (auto* batch = qobject_cast<rebuild::TBatchForm*>(window)) {
    if (batch->running()) {
      screenshot(batch, "batch-form-running");
      return false;
    }
    if (!pressed_run_) {
      // A user acts on the window once it is active and shows its texts.
      if (!batch->isActiveWindow() && ++inactive_ticks_ < kActivationTicks) return true;
      screenshot(batch, "batch-form-before-run");
      if (!acting_) return true;
      write("batch", {batch->windowTitle(), Child<QLabel>(batch, "pObjectName")->text(),
                      Child<QLabel>(batch, "pOutputDir")->text(),
                      Child<QLabel>(batch, "pOperazione")->text()});
      pressed_run_ = true;
      Press(Child<QPushButton>(batch, "btnEsegui"));
      return true;
    }
    // Run pressed but not begun yet: wait for it.
    if (Child<QPushButton>(batch, "btnEsegui")->isEnabled()) return true;
    if (++idle_ticks_ < kOpenTicks) return true;
    screenshot(batch, "batch-form-after-run");
    write("batch-open", {Child<QLabel>(batch, "pOperazione")->text()});
    if (acting_) batch->close();
    return true;
  }
  if (auto* dialog = qobject_cast<dictionary::TOpenProjectDlg*>(window)) {
    if (!dialog->isActiveWindow() && ++inactive_ticks_ < kActivationTicks) return true;
    screenshot(dialog, "open-project-dlg");
    if (!acting_ || directory_answered_) return true;
    const QString directory = qEnvironmentVariable("VELLUM_TEST_DIRECTORY");
    if (directory.isEmpty() || !dialog->setDirectory(directory)) {
      write("directory-dialog", {"cancel"});
      directory_answered_ = true;
      Press(Child<QPushButton>(dialog, "CancelBtn"));
      return true;
    }
    if (!directory_written_) {
      write("directory-dialog", {dialog->windowTitle(), dialog->directory()});
      directory_written_ = true;
    }
    if (Child<QPushButton>(dialog, "CreateBtn")->isEnabled()) {
      if (!create_pressed_) Press(Child<QPushButton>(dialog, "CreateBtn"));
      create_pressed_ = true;
      return true;
    }
    directory_answered_ = true;
    Press(Child<QPushButton>(dialog, "OKBtn"));
    return true;
  }
  return handleMainForm(window);
}

bool TestDriver::handleMessageBox(QWidget* window) {
  auto* box = qobject_cast<QMessageBox*>(window);
  if (!box) return false;
  // Seen first: painted by the next tick, acted on then.
  if (!settled_.contains(box)) {
    settled_.insert(box);
    return true;
  }
  // With screenshots, details are opened first and shot on the next tick.
  if (!screenshots_.isEmpty() && !box->detailedText().isEmpty() &&
      !box->property("vellum_details_shown").toBool()) {
    box->setProperty("vellum_details_shown", true);
    for (QAbstractButton* button : box->buttons()) {
      if (box->buttonRole(button) == QMessageBox::ActionRole) button->click();
    }
    return true;
  }
  settled_.remove(box);
  screenshot(
      box, "message-box-" + box->windowTitle() + (box->detailedText().isEmpty() ? "" : "-details"));
  QStringList fields{box->windowTitle(), box->text()};
  if (!box->detailedText().isEmpty()) fields << box->detailedText();
  write("box", fields);
  if (acting_) Press(box->defaultButton() ? box->defaultButton() : box->buttons().first());
  return true;
}

bool TestDriver::handlePasswordBox(QWidget* window) {
  auto* box = qobject_cast<QInputDialog*>(window);
  if (!box || box->objectName() != "PasswordDialog") return false;
  // Seen first: painted by the next tick, acted on then.
  if (!settled_.contains(box)) {
    settled_.insert(box);
    return true;
  }
  settled_.remove(box);
  screenshot(box, "password-box");
  write("password", {box->windowTitle(), box->labelText()});
  if (!acting_) return true;
  const QString password = qEnvironmentVariable("VELLUM_TEST_PASSWORD");
  if (password.isEmpty()) {
    box->reject();
  } else {
    box->setTextValue(password);
    box->accept();
  }
  return true;
}

bool TestDriver::handleMainForm(QWidget* window) {
  auto* main = qobject_cast<shell::TMainForm*>(window);
  if (!main || Child<QLabel>(main, "ProjectDir")->text().isEmpty()) return false;
  if (main->running()) {
    main_idle_ticks_ = 0;
    // A rebuild copying a table's rows, with its progress in the status bar,
    // grabbed once it has been painted.
    if (Child<QProgressBar>(main, "pbRows")->isVisible() && ++rows_ticks_ > kSettleTicks) {
      screenshot(main, "main-form-rebuilding");
    }
    return false;
  }
  if (++main_idle_ticks_ < kSettleTicks) return true;
  if (!Child<QLabel>(main, "lblRunSummary")->text().isEmpty()) {
    screenshot(main, "main-form-after-rebuild");
  }
  if (awaiting_) {
    // The command's window has not come up: after a while it counts as failed.
    if (++awaiting_ticks_ < kCommandTicks) return true;
    write("command-failed", command_);
    awaiting_ = false;
  }
  screenshot(main, "main-form");
  if (!acting_) return false;
  if (!commands_.isEmpty()) {
    nextCommand(main);
    return true;
  }
  write("main", {main->windowTitle(), Child<QLabel>(main, "ProjectDir")->text()});
  QMetaObject::invokeMethod(Child<QAction>(main, "Esci1"), &QAction::trigger, Qt::QueuedConnection);
  return true;
}

void TestDriver::nextCommand(QWidget* main_form) {
  auto* main = static_cast<shell::TMainForm*>(main_form);
  command_ = commands_.takeFirst().split('\t');
  write("command", command_);
  QAction* action = command_[0] == "rebuild" ? Child<QAction>(main, "Rigenera1")
                    : command_[0] == "list"  ? Child<QAction>(main, "SuFile1")
                    : command_[0] == "about" ? Child<QAction>(main, "N1")
                                             : nullptr;
  if (!action) {
    write("command-failed", command_);
    return;
  }
  awaiting_ = true;
  awaiting_ticks_ = 0;
  chooser_filled_ = false;
  QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
}

bool TestDriver::handleChooser(QWidget* window) {
  auto* chooser = qobject_cast<shell::TSceltaTabelleRegenDlg*>(window);
  if (!chooser) return false;
  if (!chooser->isActiveWindow() && ++inactive_ticks_ < kActivationTicks) return true;
  const bool file_name = Child<QLabel>(chooser, "lblDirectory")->text() == "Filename";
  if (!acting_ || command_.size() < 4) {
    screenshot(chooser, file_name ? "chooser-file-name" : "chooser-out-directory");
    if (acting_) Press(Child<QPushButton>(chooser, "CancelBtn"));
    return true;
  }
  if (!chooser_filled_) {
    // As a user: the alias typed, each table selected and moved in turn,
    // the target typed; acted on once painted, on the next tick.
    chooser_filled_ = true;
    Child<QComboBox>(chooser, "cbAliases")->setEditText(command_[1]);
    for (const QString& table : command_[3].split(',')) {
      Child<QListWidget>(chooser, "SrcList")->clearSelection();
      const QList<QListWidgetItem*> found =
          Child<QListWidget>(chooser, "SrcList")->findItems(table, Qt::MatchExactly);
      if (found.isEmpty()) continue;
      found[0]->setSelected(true);
      Child<QPushButton>(chooser, "IncludeBtn")->click();
    }
    Child<QLineEdit>(chooser, "edtDirectory")->setText(command_[2]);
    return true;
  }
  screenshot(chooser, file_name ? "chooser-file-name" : "chooser-out-directory");
  QStringList chosen;
  for (int i = 0; i < Child<QListWidget>(chooser, "DstList")->count(); ++i)
    chosen << Child<QListWidget>(chooser, "DstList")->item(i)->text();
  write("chooser", {chooser->windowTitle(), Child<QLabel>(chooser, "lblDirectory")->text(),
                    Child<QComboBox>(chooser, "cbAliases")->currentText(),
                    Child<QLineEdit>(chooser, "edtDirectory")->text(), chosen.join(',')});
  awaiting_ = false;
  inactive_ticks_ = 0;
  Press(Child<QPushButton>(chooser, "OKBtn")->isEnabled()
            ? Child<QPushButton>(chooser, "OKBtn")
            : Child<QPushButton>(chooser, "CancelBtn"));
  return true;
}

bool TestDriver::handleAboutBox(QWidget* window) {
  auto* about = qobject_cast<shell::TAboutBox*>(window);
  if (!about) return false;
  screenshot(about, "about-box");
  write("about",
        {about->windowTitle(), Child<QLabel>(about, "ProductName")->text(),
         Child<QLabel>(about, "Version")->text(), Child<QLabel>(about, "Company")->text(),
         Child<QLabel>(about, "EMail")->text(), Child<QLabel>(about, "WebAddress")->text()});
  awaiting_ = false;
  if (acting_) Press(Child<QPushButton>(about, "OKButton"));
  return true;
}

}  // namespace vellum::app
