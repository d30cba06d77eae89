// The main window as a user sees it, interactive and in batch mode.
#include "shell/ui/main_form.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "dictionary/schema.h"
#include "engine/session.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::shell {
namespace {

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dictionary::CreateDictionaryTables(dir_.path());
    batch_.setDataModule(&dm_);
  }

  void Activate(TMainForm& form) {
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
  rebuild::TBatchForm batch_{ui_};
};

std::vector<std::string> MenuBarTexts(const TMainForm& form) {
  std::vector<std::string> texts;
  for (QAction* action : form.menuBar()->actions()) texts.push_back(action->text().toStdString());
  return texts;
}

TEST_F(MainFormTest, ActivationSetsTheCaptionsAndShowsTheProjectDirectory) {
  dm_.OpenDictionary(dir_.path());
  TMainForm form(false);
  form.setDataModule(&dm_);
  EXPECT_EQ(form.windowTitle(), "Gestione centralizzata Data Dictionary");
  Activate(form);
  EXPECT_EQ(form.windowTitle(), "Central Data dictionary manager");
  EXPECT_EQ(MenuBarTexts(form),
            (std::vector<std::string>{"&Exit", "&Manage", "&Rebuild", "&Print", "&?"}));
  EXPECT_EQ(test::Child<QAction>(&form, "SuFile1")->text(), "Su &File");
  EXPECT_EQ(test::Child<QAction>(&form, "Report1")->text(), "&Report");
  EXPECT_EQ(test::Child<QLabel>(&form, "ProjectDir")->text().toStdString(), dir_.path());
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
  EXPECT_TRUE(test::Child<QAction>(&form, "Esci1")->isEnabled());
  // Without their windows the commands cannot be chosen.
  for (QAction* unbuilt :
       {test::Child<QAction>(&form, "Carica1"), test::Child<QAction>(&form, "Rigenera1"),
        test::Child<QAction>(&form, "SuFile1"), test::Child<QAction>(&form, "Report1"),
        test::Child<QAction>(&form, "N1")}) {
    EXPECT_FALSE(unbuilt->isEnabled()) << unbuilt->objectName().toStdString();
  }
}

TEST_F(MainFormTest, ExitAndItsKeysCloseTheWindow) {
  for (QKeySequence keys :
       {QKeySequence(Qt::CTRL | Qt::Key_Q), QKeySequence(Qt::ALT | Qt::Key_F4)}) {
    TMainForm form(false);
    form.setDataModule(&dm_);
    Activate(form);
    QTest::keySequence(&form, keys);
    EXPECT_FALSE(form.isVisible()) << keys.toString().toStdString();
  }
  TMainForm form(false);
  Activate(form);
  test::Child<QAction>(&form, "Esci1")->trigger();
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainFormTest, WithArgumentsActivationRunsBatchModeOnceAndEndsTheProgram) {
  TMainForm form(true);
  form.setDataModule(&dm_);
  form.setBatchForm(&batch_);
  batch_.setArguments({"-h"});
  QSignalSpy ended(&form, &TMainForm::terminateRequested);
  Activate(form);
  ASSERT_TRUE(test::WaitFor([&] { return ended.count() > 0; }));
  EXPECT_EQ(ended.at(0).at(0).toInt(), 0);
  ASSERT_EQ(ui_.shown.size(), 1u);  // the help text
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_TRUE(test::Child<QLabel>(&form, "ProjectDir")->text().isEmpty());
  // Activated again, it does not start batch mode a second time.
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  Activate(form);
  QTest::qWait(50);
  EXPECT_EQ(ended.count(), 1);
  EXPECT_EQ(ui_.shown.size(), 1u);
}

TEST_F(MainFormTest, ADictionaryThatCannotBeOpenedInBatchModeIsShownAndEndsTheProgram) {
  TMainForm form(true);
  form.setDataModule(&dm_);
  form.setBatchForm(&batch_);
  batch_.setArguments({"-p", dir_.file("missing"), "-a", "X"});
  std::vector<std::string> errors;
  ui::SetApplicationErrorHandler(
      [&](QObject*, const std::exception_ptr& e) { errors.push_back(ui::ErrorText(e)); });
  QSignalSpy ended(&form, &TMainForm::terminateRequested);
  Activate(form);
  ASSERT_TRUE(test::WaitFor([&] { return ended.count() > 0; }));
  ui::SetApplicationErrorHandler(nullptr);
  EXPECT_EQ(ended.at(0).at(0).toInt(), 1);
  EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
}  // namespace vellum::shell

namespace vellum::shell {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;

// The main window's commands over a dictionary describing SHOP.T1 and
// SHOP.T2, with the rebuild chooser and the about box; its questions are
// answered by a script.
class MainFormCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(out_);
    dictionary::CreateDictionaryTables(dict_);
    dm_.OpenDictionary(dict_);
    for (const char* name : {"T1", "T2"}) {
      test::AddTableRow(dm_, "SHOP", name);
      test::AddFieldRow(dm_, {"ID", "Integer", {}});
      test::AddIndexRow(dm_, {"*PRIMARY*", "ID", true, true});
    }
    form_.setDataModule(&dm_);
    form_.setQuestions(&ui_);
    form_.setRebuildChooser(&chooser_);
    form_.setAboutBox(&about_);
    form_.show();
    form_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form_));
  }

  void TearDown() override { ui::SetApplicationErrorHandler(nullptr); }

  // Answers the chooser when it shows: alias SHOP, every table, `target` in
  // the edit box, then OK (or Cancel when `ok` is false).
  void AnswerChooser(const std::string& target, bool ok = true) {
    test::WhenVisible(&chooser_, [this, target, ok] {
      test::Child<QComboBox>(&chooser_, "cbAliases")->setEditText("SHOP");
      test::Child<QPushButton>(&chooser_, "IncAllBtn")->click();
      test::Child<QLineEdit>(&chooser_, "edtDirectory")->setText(QString::fromStdString(target));
      (ok ? test::Child<QPushButton>(&chooser_, "OKBtn")
          : test::Child<QPushButton>(&chooser_, "CancelBtn"))
          ->click();
    });
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string out_ = dir_.file("out");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
  TMainForm form_{false};
  TSceltaTabelleRegenDlg chooser_{session_};
  TAboutBox about_;
};

TEST_F(MainFormCommandsTest, RebuildAsksPerTableShowsItsProgressAndBlocksTheMenu) {
  EXPECT_TRUE(test::Child<QAction>(&form_, "Rigenera1")->isEnabled());
  ui_.answers = {Answer::kYes, Answer::kYes};
  AnswerChooser(out_);
  QStringList panel_texts;
  bool menu_blocked = true;
  test::WhileRunning(
      &form_, [this] { return form_.running(); },
      [&] {
        if (!panel_texts.contains(test::Child<QLabel>(&form_, "ProjectDir")->text()))
          panel_texts << test::Child<QLabel>(&form_, "ProjectDir")->text();
        for (QAction* command :
             {test::Child<QAction>(&form_, "Esci1"), test::Child<QAction>(&form_, "Rigenera1"),
              test::Child<QAction>(&form_, "SuFile1"), test::Child<QAction>(&form_, "N1")}) {
          menu_blocked = menu_blocked && !command->isEnabled();
        }
      });
  test::Child<QAction>(&form_, "Rigenera1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return ui_.shown.size() == 2 && !form_.running(); }));
  EXPECT_EQ(ui_.shown[1].text,
            "Do you want to rebuild the table \"T2\" in the directory \"" + out_ + "\"?");
  EXPECT_TRUE(fs::exists(out_ + "/T1.DB"));
  EXPECT_TRUE(fs::exists(out_ + "/T2.DB"));
  EXPECT_EQ(panel_texts, QStringList({QString::fromStdString(out_ + "/SHOP.T1..."),
                                      QString::fromStdString(out_ + "/SHOP.T2...")}));
  EXPECT_TRUE(menu_blocked);
  EXPECT_EQ(test::Child<QLabel>(&form_, "ProjectDir")->text().toStdString(), dict_);
  EXPECT_FALSE(test::Child<QProgressBar>(&form_, "pbRebuild")->isVisible());
  EXPECT_TRUE(test::Child<QAction>(&form_, "Rigenera1")->isEnabled());
}

TEST_F(MainFormCommandsTest, RebuildCancelledInTheChooserAsksNothing) {
  AnswerChooser(out_, false);
  test::Child<QAction>(&form_, "Rigenera1")->trigger();
  ASSERT_TRUE(test::WaitFor(
      [&] { return chooser_.result() == QDialog::Rejected && !chooser_.isVisible(); }));
  QTest::qWait(20);
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_FALSE(fs::exists(out_ + "/T1.DB"));
  EXPECT_EQ(test::Child<QLabel>(&form_, "ProjectDir")->text().toStdString(), dict_);
}

TEST_F(MainFormCommandsTest, CancelInTheStatusBarStopsTheRunAfterTheCurrentTable) {
  ui_.answers = {Answer::kAll};
  AnswerChooser(out_);
  test::WhileRunning(
      &form_,
      [this] {
        return form_.running() && test::Child<QPushButton>(&form_, "btnStopRebuild")->isVisible();
      },
      [this] {
        if (test::Child<QPushButton>(&form_, "btnStopRebuild")->isEnabled())
          test::Child<QPushButton>(&form_, "btnStopRebuild")->click();
      });
  test::Child<QAction>(&form_, "Rigenera1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return ui_.shown.size() == 2 && !form_.running(); }));
  EXPECT_EQ(ui_.shown[1].text, "The rebuild stopped before the table \"T2\".");
  EXPECT_TRUE(fs::exists(out_ + "/T1.DB"));
  EXPECT_FALSE(fs::exists(out_ + "/T2.DB"));
}

TEST_F(MainFormCommandsTest, SuFileWritesTheChosenTablesInFileNameMode) {
  const std::string file = dir_.file("listing.txt");
  AnswerChooser(file);
  test::Child<QAction>(&form_, "SuFile1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return fs::exists(file) && !chooser_.isVisible(); }));
  EXPECT_EQ(chooser_.chooser().mode(), RebuildChooser::Mode::kFileName);
  EXPECT_EQ(test::Child<QLabel>(&chooser_, "lblDirectory")->text(), "Filename");
  const std::string text = ReadFile(file);
  EXPECT_EQ(text.rfind("Table name: SHOP.T1\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\fTable name: SHOP.T2\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\f');
}

TEST_F(MainFormCommandsTest, AListingThatCannotBeWrittenGoesToTheErrorHandling) {
  std::vector<std::string> errors;
  ui::SetApplicationErrorHandler(
      [&](QObject*, const std::exception_ptr& e) { errors.push_back(ui::ErrorText(e)); });
  AnswerChooser(dir_.file("missing/listing.txt"));
  test::Child<QAction>(&form_, "SuFile1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return !errors.empty(); }));
  EXPECT_NE(errors[0].find("listing.txt"), std::string::npos) << errors[0];
}

TEST_F(MainFormCommandsTest, QuestionMarkShowsTheAboutBox) {
  test::WhenVisible(&about_, [this] { test::Child<QPushButton>(&about_, "OKButton")->click(); });
  test::Child<QAction>(&form_, "N1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return about_.result() == QDialog::Accepted; }));
}

}  // namespace
}  // namespace vellum::shell
