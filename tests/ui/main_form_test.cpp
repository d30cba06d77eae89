// The main window as a user sees it, interactive and in batch mode.
#include "shell/ui/main_form.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include "dictionary/schema.h"
#include "engine/paradox/table.h"
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

TEST_F(MainFormTest, ManageShowsTheManagementWindowModally) {
  TMainForm form(false);
  form.setDataModule(&dm_);
  auto* manager = new QDialog(&form);
  form.setLoadForm(manager);
  Activate(form);
  QAction* manage = test::Child<QAction>(&form, "Carica1");
  ASSERT_TRUE(manage->isEnabled());
  bool modal = false;
  test::WhenVisible(manager, [&] {
    modal = manager->isModal();
    manager->reject();
  });
  manage->trigger();
  EXPECT_TRUE(modal);
  EXPECT_FALSE(manager->isVisible());
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
  QString panel_at_question;
  ui_.on_ask = [&](const std::string& text) {
    if (text.find("\"T2\"") != std::string::npos) {
      panel_at_question = test::Child<QLabel>(&form_, "ProjectDir")->text();
    }
  };
  test::WhileRunning(
      &form_, [this] { return form_.running(); },
      [&] {
        // The window stays alive while the worker starts: the project
        // directory shows until the first table's text arrives.
        const QString text = test::Child<QLabel>(&form_, "ProjectDir")->text();
        if (!panel_texts.contains(text) && text.toStdString() != dict_) panel_texts << text;
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
  // What the panel showed, sampled while the run went on: the tables' texts
  // in order (a text may pass between two samples).
  const QStringList texts{QString::fromStdString(out_ + "/SHOP.T1..."),
                          QString::fromStdString(out_ + "/SHOP.T2...")};
  EXPECT_FALSE(panel_texts.isEmpty());
  for (qsizetype i = 0; i < panel_texts.size(); ++i) {
    EXPECT_TRUE(texts.contains(panel_texts[i])) << panel_texts[i].toStdString();
    if (i > 0) {
      EXPECT_LT(texts.indexOf(panel_texts[i - 1]), texts.indexOf(panel_texts[i]));
    }
  }
  // When T2 is asked about, the panel shows T1's text: everything the
  // worker showed before its question is on screen first.
  EXPECT_EQ(panel_at_question, texts[0]);
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

// Questions answered by the script that note whether each was asked on the
// user-interface thread.
class GuiThreadQuestions : public Questions {
 public:
  explicit GuiThreadQuestions(test::ScriptedUi& script) : script_(script) {}
  Answer ask(MessageKind kind, const std::string& text, Buttons buttons) override {
    all_on_gui = all_on_gui && QThread::currentThread() == qApp->thread();
    ++asked;
    return script_.ask(kind, text, buttons);
  }
  Answer askWithDetails(MessageKind kind, const std::string& text, Buttons buttons,
                        const std::string& details) override {
    all_on_gui = all_on_gui && QThread::currentThread() == qApp->thread();
    ++asked;
    return script_.askWithDetails(kind, text, buttons, details);
  }
  bool all_on_gui = true;
  int asked = 0;

 private:
  test::ScriptedUi& script_;
};

// A third table, T3, and in the output directory T1 with many rows (its
// rebuild is a long restructure) and a T2.DB that is no table (its rebuild
// fails with an engine error).
class MainFormRunTest : public MainFormCommandsTest {
 protected:
  void SetUp() override {
    MainFormCommandsTest::SetUp();
    test::AddTableRow(dm_, "SHOP", "T3");
    test::AddFieldRow(dm_, {"ID", "Integer", {}});
    test::AddIndexRow(dm_, {"*PRIMARY*", "ID", true, true});
    engine::paradox::TableDefinition def;
    def.fields = {engine::paradox::FieldDef{"ID", engine::FieldType::kInteger, 0},
                  engine::paradox::FieldDef{"NOTE", engine::FieldType::kString, 10}};
    def.indexes = {engine::paradox::IndexDef{"", {"ID"}, true, true}};
    engine::paradox::Table::Create(out_, "T1", def);
    auto t1 = engine::paradox::Table::Open(out_, "T1", engine::paradox::OpenOptions{true, true});
    t1->beginBulk();
    for (int64_t id = 1; id <= kRows; ++id) t1->insert({id, engine::Value(std::string("n"))});
    t1->endBulk();
    std::ofstream(out_ + "/T2.DB", std::ios::binary) << "not a table";
    form_.setQuestions(&questions_);
  }

  static constexpr int64_t kRows = 300000;
  GuiThreadQuestions questions_{ui_};
};

TEST_F(MainFormRunTest, AfterARunWithAFailedTableTheStatusBarSumsItUp) {
  // Yes to T1, Yes to T2, OK to the regenerator's box, Cancel after T2's
  // engine error: T3 is never asked about.
  ui_.answers = {Answer::kYes, Answer::kYes, Answer::kOk, Answer::kCancel};
  AnswerChooser(out_);
  test::Child<QAction>(&form_, "Rigenera1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return ui_.shown.size() == 4 && !form_.running(); }, 60000));
  EXPECT_EQ(test::Child<QLabel>(&form_, "lblRunSummary")->text(),
            "1 table rebuilt, 1 failed, 1 not asked");
  EXPECT_EQ(test::Child<QLabel>(&form_, "ProjectDir")->text().toStdString(), dict_);
  // The questions came from the worker and were asked here.
  EXPECT_EQ(questions_.asked, 4);
  EXPECT_TRUE(questions_.all_on_gui);
  // The lost values are said in the question's own text.
  EXPECT_NE(ui_.shown[0].text.find("\n\n300000 values of field \"NOTE\" would be lost"),
            std::string::npos)
      << ui_.shown[0].text;
}

TEST_F(MainFormRunTest, TheSummaryCountsEachKindOfTableOnce) {
  RebuildRunReport report;
  report.rebuilt = {"A", "B"};
  EXPECT_EQ(TMainForm::RunSummary(report), "2 tables rebuilt");
  report.rebuilt.clear();
  report.skipped = {"A"};
  report.stopped = {"B"};
  report.not_asked = {"C", "D"};
  EXPECT_EQ(TMainForm::RunSummary(report), "0 tables rebuilt, 1 skipped, 1 stopped, 2 not asked");
}

TEST_F(MainFormRunTest, StopDuringALongRestructureAnswersWithinItsRowsAndLeavesTheTableAsItWas) {
  const auto before = test::SnapshotFiles(out_);
  ui_.answers = {Answer::kAll};
  AnswerChooser(out_);
  int rows_shown = 0;
  QString rows_text;
  test::WhileRunning(
      &form_, [this] { return form_.running(); },
      [&] {
        auto* rows = test::Child<QProgressBar>(&form_, "pbRows");
        if (!rows->isVisible()) return;
        ++rows_shown;
        rows_text = rows->format();
        auto* stop = test::Child<QPushButton>(&form_, "btnStopRebuild");
        if (stop->isEnabled()) stop->click();
      });
  test::Child<QAction>(&form_, "Rigenera1")->trigger();
  ASSERT_TRUE(test::WaitFor([&] { return !form_.running(); }, 60000));
  // The window showed the rows while they were copied, and the copy ended
  // long before its last row.
  EXPECT_GT(rows_shown, 0);
  EXPECT_TRUE(rows_text.endsWith(QLocale().toString(kRows) + " rows copied"))
      << rows_text.toStdString();
  ASSERT_FALSE(ui_.shown.empty());
  EXPECT_EQ(ui_.shown.back().text,
            "The rebuild of table \"T1\" was stopped; the table is as it was");
  EXPECT_EQ(test::SnapshotFiles(out_), before);
  EXPECT_EQ(test::Child<QLabel>(&form_, "lblRunSummary")->text(),
            "0 tables rebuilt, 1 stopped, 2 not asked");
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
