// The Load command of the management window: the user picks a source, a
// load-as alias and tables in the load chooser, and the structure loader
// reads them into the dictionary.
//
// While the loader runs, the window's caption shows the table being loaded
// ("Loading "ORDERS"), the cursor is the hourglass, and the window's events
// are handled once per table; a Cancel button the window gives shows for
// the length of the run and stops it before the next table (every table is
// loaded whole or not at all). The caption comes back at the end, however
// the run ends. Questions (the upgrade of a table loaded before, tables
// that cannot be opened) and what is left to say at the end go to the
// application's Questions.
//
// The window owns its LoadCommand; the chooser, the data module and the
// Questions must outlive it. One run at a time: the data module's RunGuard
// refuses a second.
#pragma once

#include <optional>

#include <QObject>
#include <QPointer>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "dictionary/ui/window_progress.h"
#include "loading/structure_loader.h"
#include "loading/ui/load_chooser_dlg.h"

class QAbstractButton;
class QWidget;

namespace vellum::loading {

class LoadCommand : public QObject {
  Q_OBJECT

 public:
  // `window`: the window whose caption shows the progress (the management
  // window), and the parent of what the command shows.
  LoadCommand(QWidget& window, TSceltaTabelleDlg& chooser,
              dictionary::TdmDataDictionary& data_module, Questions& questions);

  // The button that asks a running load to stop (nullptr: none). It stays
  // the window's; the command shows and enables it while a load runs and
  // hides it otherwise.
  void setCancelButton(QAbstractButton* button);

  // The whole command (Carica1Click): shows the chooser and, when it closes
  // with OK, loads the chosen tables. Returns what the load did, or nothing
  // when the chooser was cancelled or this command runs already; while
  // another run holds the dictionary, raises its error (RunGuard::checkIdle)
  // before the chooser is shown. When the
  // user stopped the load, says before which table. Errors of the loader
  // (an engine error writing the dictionary) go to the caller once the
  // caption and the cursor are back.
  std::optional<LoadReport> Carica1Click();

  // True while a load runs.
  bool running() const { return progress_ != nullptr; }
  // Asks the running load to stop before its next table; nothing when none
  // runs.
  void requestStop();

 signals:
  // A load started (true) or ended (false).
  void runningChanged(bool running);

 private:
  void showProgress(const ProgressStep& step);

  QWidget& window_;
  TSceltaTabelleDlg& chooser_;
  dictionary::TdmDataDictionary& data_module_;
  Questions& questions_;
  QPointer<QAbstractButton> cancel_;
  QString caption_;                         // the window's, during a run
  ui::WindowProgress* progress_ = nullptr;  // the run's, while it runs
};

}  // namespace vellum::loading
