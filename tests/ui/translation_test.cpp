// The windows in Italian: with the program's Italian translation installed,
// one caption of each window as the user sees it after the window's
// activation.
#include "app/translation.h"

#include <gtest/gtest.h>

#include <fstream>

#include <QAction>
#include <QLabel>
#include <QTest>

#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "dictionary/ui/message_boxes.h"
#include "dictionary/ui/open_project_dlg.h"
#include "engine/fs/file_system.h"
#include "engine/session.h"
#include "loading/ui/load_chooser_dlg.h"
#include "rebuild/ui/batch_form.h"
#include "shell/ui/about_box.h"
#include "shell/ui/db_engine_error_dlg.h"
#include "shell/ui/main_form.h"
#include "shell/ui/rebuild_chooser_dlg.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::app {
namespace {

class ItalianWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.file("aliases.conf")) << "";
    dictionary::CreateDictionaryTables(dir_.path());
    dm_.OpenDictionary(dir_.path());
    ASSERT_TRUE(InstallTranslation(QLocale(QLocale::Italian, QLocale::Italy)));
  }
  // Back to the English of the other tests.
  void TearDown() override { EXPECT_FALSE(InstallTranslation(QLocale(QLocale::English))); }

  static void Activate(QWidget& window) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
};

TEST_F(ItalianWindowsTest, EachWindowShowsItsItalianCaption) {
  shell::TMainForm main_form(false);
  Activate(main_form);
  EXPECT_EQ(main_form.windowTitle(), "Gestione centralizzata Data Dictionary");
  EXPECT_EQ(test::Child<QAction>(&main_form, "Rigenera1")->text(), "&Rigenera");
  main_form.close();

  shell::TSceltaTabelleRegenDlg chooser(session_);
  chooser.setMode(shell::RebuildChooser::Mode::kFileName);
  Activate(chooser);
  EXPECT_EQ(chooser.windowTitle(), "Scelta tabelle");
  EXPECT_EQ(test::Child<QLabel>(&chooser, "lblDirectory")->text(), "Nome file");
  chooser.reject();

  loading::TSceltaTabelleDlg load_chooser(dm_);
  Activate(load_chooser);
  EXPECT_EQ(load_chooser.windowTitle(), "Scelta tabelle");
  EXPECT_EQ(test::Child<QLabel>(&load_chooser, "pDstTitle")->text(), "Tabelle da Caricare");
  load_chooser.reject();

  rebuild::TBatchForm batch(ui_);
  Activate(batch);
  EXPECT_EQ(batch.windowTitle(), "Finestra batch");
  batch.reject();

  dictionary::TOpenProjectDlg open_project(ui_, engine::FileSystem::Default());
  Activate(open_project);
  EXPECT_EQ(open_project.windowTitle(), "Apri data dictionary...");
  open_project.reject();

  shell::TAboutBox about;
  EXPECT_EQ(about.windowTitle(), "Informazioni su Vellum 2.0");
  shell::TDbEngineErrorDlg error;
  EXPECT_EQ(error.windowTitle(), "Errore del motore di database");
  EXPECT_EQ(ui::MessageTitle(MessageKind::kConfirmation), "Conferma");

  // The rebuild's summary, with its plural forms.
  shell::RebuildRunReport report;
  report.rebuilt = {"A", "B"};
  report.failed = {"C"};
  report.not_asked = {"D", "E"};
  EXPECT_EQ(shell::TMainForm::RunSummary(report),
            "2 tabelle ricostruite, 1 fallita, 2 non richieste");
  report.rebuilt = {"A"};
  EXPECT_EQ(shell::TMainForm::RunSummary(report),
            "1 tabella ricostruita, 1 fallita, 2 non richieste");
}

TEST_F(ItalianWindowsTest, BackInEnglishTheCaptionsAreTheEnglishOnes) {
  ASSERT_FALSE(InstallTranslation(QLocale(QLocale::English)));
  shell::TSceltaTabelleRegenDlg chooser(session_);
  Activate(chooser);
  EXPECT_EQ(chooser.windowTitle(), "Choose tables");
  EXPECT_EQ(test::Child<QLabel>(&chooser, "lblDirectory")->text(), "Out directory");
}

}  // namespace
}  // namespace vellum::app
