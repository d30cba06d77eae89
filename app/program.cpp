#include "app/program.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <QFile>

#include "app/translation.h"
#include "app/vellum_application.h"
#include "dictionary/data_module.h"
#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "dictionary/ui/message_boxes.h"
#include "dictionary/ui/open_project_dlg.h"
#include "engine/fs/file_system.h"
#include "engine/session.h"
#include "loading/ui/load_chooser_dlg.h"
#include "loading/ui/load_form.h"
#include "rebuild/batch_rebuild.h"
#include "rebuild/ui/batch_form.h"
#include "shell/ui/about_box.h"
#include "shell/ui/main_form.h"
#include "shell/ui/rebuild_chooser_dlg.h"
#include "widgets/error_route.h"

namespace vellum::app {

namespace {

// Ends the program with `status`: at once when the message loop runs, else
// as soon as start-up is over.
struct ProgramEnd {
  bool requested = false;
  int status = 0;

  void request(int exit_status) {
    requested = true;
    status = exit_status;
    ui::SetApplicationEnding(true);
    QCoreApplication::exit(exit_status);
  }
};

// Whether the platform Qt would use has a screen: one named outright, or a
// display server the desktop platforms connect to.
bool HasDisplay() {
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
         !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// What the command line asks for that needs no window: --version always,
// the help without a display. Printed on the terminal before the
// application (which needs a display) exists; the exit status, or nothing
// when the windows are wanted.
std::optional<int> AnswerOnTerminal(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--version") {
      std::cout << "vellum " << VELLUM_VERSION << "\n";
      return 0;
    }
    const bool help =
        argument == "-h" || argument == "-H" || argument == "-?" || argument == "--help";
    if (help && !HasDisplay()) {
      std::string text = rebuild::BatchHelpText();
      std::erase(text, '\r');
      std::cout << text << "\n";
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace

int RunProgram(int argc, char** argv, const Helper& helper) {
  if (const std::optional<int> status = AnswerOnTerminal(argc, argv)) return *status;
  VellumApplication application(argc, argv);
  InstallTranslation(QLocale());  // the user's locale (LANG)
  ui::RegisterFontSubstitutes();
  const bool has_arguments = argc > 1;
  ProgramEnd end;
  try {
    // Declared in the order they must outlive each other: the main window
    // goes first, its dialogs with it, then the data module and the session.
    ui::MessageBoxes questions;
    engine::Session session;
    std::unique_ptr<dictionary::TdmDataDictionary> data_module;

    shell::TMainForm main_form(has_arguments);
    ui::ExceptionSafeConnect(&main_form, &shell::TMainForm::terminateRequested, &main_form,
                             [&end](int status) { end.request(status); });
    // The dialogs are the main window's: it owns them.
    auto* open_project_dlg =
        new dictionary::TOpenProjectDlg(questions, engine::FileSystem::Default(), &main_form);
    auto* batch_form = new rebuild::TBatchForm(questions, &main_form);
    const std::unique_ptr<QObject> helper_object = helper ? helper() : nullptr;

    dictionary::Startup startup;
    startup.has_command_line_arguments = has_arguments;
    startup.choose_project_directory = [&]() -> std::optional<std::string> {
      if (open_project_dlg->exec() != QDialog::Accepted) return std::nullopt;
      return QFile::encodeName(open_project_dlg->directory()).toStdString();
    };
    startup.terminate = [&end] { end.request(0); };
    try {
      data_module = std::make_unique<dictionary::TdmDataDictionary>(session, questions, startup);
    } catch (...) {
      // The dictionary chosen could not be opened: the error is shown and the
      // program goes on with the dictionary closed.
      ui::HandleApplicationError(nullptr, std::current_exception());
      data_module = std::make_unique<dictionary::TdmDataDictionary>(session, questions);
    }
    main_form.setDataModule(data_module.get());
    main_form.setBatchForm(batch_form);
    main_form.setQuestions(&questions);
    // The data-aware components report their failures as every handler does.
    widgets::SetErrorRoute(&ui::HandleApplicationError);
    // The management window and its load chooser come after the data module
    // and before the rebuild chooser; the main window owns both.
    main_form.setLoadForm(new loading::TLoadForm(*data_module, questions, &main_form));
    new loading::TSceltaTabelleDlg(*data_module, &main_form);
    main_form.setRebuildChooser(new shell::TSceltaTabelleRegenDlg(session, &main_form));
    main_form.setAboutBox(new shell::TAboutBox(&main_form));
    batch_form->setDataModule(data_module.get());
    if (end.requested) return end.status;

    main_form.show();
    main_form.activateWindow();
    return QApplication::exec();
  } catch (...) {
    // A start-up step failed before the program could run.
    ui::HandleApplicationError(nullptr, std::current_exception());
    return 1;
  }
}

}  // namespace vellum::app
