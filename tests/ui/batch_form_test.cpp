// The batch window as a user sees it: what it shows, the messages that
// refuse options, and a run that succeeds, fails or is asked to close.
#include "rebuild/ui/batch_form.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "dictionary/schema.h"
#include "dictionary/ui/application_errors.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::rebuild {
namespace {

namespace fs = std::filesystem;

// A dictionary in <temp>/dict describing SHOP.alpha and SHOP.beta; the alias
// SHOP names <temp>/shop.
class BatchFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    dictionary::CreateDictionaryTables(dict_);
    std::ofstream(conf_) << "SHOP STANDARD " << shop_ << "\n";
    dm_.OpenDictionary(dict_);
    for (const char* name : {"beta", "alpha"}) {
      test::AddTableRow(dm_, "SHOP", name);
      test::AddFieldRow(dm_, {"ID", "Integer", {}});
      test::AddIndexRow(dm_, {"*PRIMARY*", "ID", true, true});
    }
    form_.setDataModule(&dm_);
  }

  // Runs the window with `args`; `act` runs once it is on screen.
  BatchOutcome Run(std::vector<std::string> args, std::function<void()> act = {}) {
    form_.setArguments(std::move(args));
    if (act) test::WhenVisible(&form_, std::move(act));
    return form_.RunFromCommandLine();
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& shown : ui_.shown) texts.push_back(shown.text);
    return texts;
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string shop_ = dir_.file("shop");
  std::string conf_ = dir_.file("aliases.conf");
  engine::Session session_{conf_};
  test::ScriptedUi ui_;
  dictionary::TdmDataDictionary dm_{session_, ui_};
  TBatchForm form_{ui_};
};

TEST_F(BatchFormTest, ShowsItsEnglishTextsAndTheJobOnceActive) {
  std::map<std::string, std::string> seen;
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP", "-b", dir_.file("bak")}, [&] {
    form_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form_));
    for (QGroupBox* box :
         {test::Child<QGroupBox>(&form_, "GroupBox1"), test::Child<QGroupBox>(&form_, "GroupBox2"),
          test::Child<QGroupBox>(&form_, "GroupBox3"),
          test::Child<QGroupBox>(&form_, "GroupBox4")}) {
      seen[box->objectName().toStdString()] = box->title().toStdString();
    }
    seen["title"] = form_.windowTitle().toStdString();
    seen["cancel"] = test::Child<QPushButton>(&form_, "btnCancel")->text().toStdString();
    seen["run"] = test::Child<QPushButton>(&form_, "btnEsegui")->text().toStdString();
    seen["project"] = test::Child<QLabel>(&form_, "pProjectDir")->text().toStdString();
    seen["work"] = test::Child<QLabel>(&form_, "pOutputDir")->text().toStdString();
    seen["backup"] = test::Child<QLabel>(&form_, "pBackupDir")->text().toStdString();
    seen["object"] = test::Child<QLabel>(&form_, "pObjectName")->text().toStdString();
    seen["operation"] = test::Child<QLabel>(&form_, "pOperazione")->text().toStdString();
    QTest::mouseClick(test::Child<QPushButton>(&form_, "btnCancel"), Qt::LeftButton);
  });
  EXPECT_EQ(outcome, BatchOutcome::kNotRun);
  const std::map<std::string, std::string> want = {{"GroupBox1", "Project directory"},
                                                   {"GroupBox2", "Work directory"},
                                                   {"GroupBox3", "Backup directory"},
                                                   {"GroupBox4", "Table/alias to rebuild"},
                                                   {"title", "Batch form"},
                                                   {"cancel", "&Cancel"},
                                                   {"run", "&Run"},
                                                   {"project", dict_},
                                                   {"work", shop_},
                                                   {"backup", dir_.file("bak")},
                                                   {"object", "SHOP"},
                                                   {"operation", "Rebuilding tables"}};
  EXPECT_EQ(seen, want);
  EXPECT_FALSE(fs::exists(dir_.file("bak")));  // Cancel touches nothing
}

TEST_F(BatchFormTest, RecreateAnnouncesRebuildingStructures) {
  std::string operation;
  Run({"-p", dict_, "-c", "-t", "SHOP.alpha", "-d", dir_.file("out")}, [&] {
    operation = test::Child<QLabel>(&form_, "pOperazione")->text().toStdString();
    form_.close();
  });
  EXPECT_EQ(operation, "Rebuilding structures");
  EXPECT_EQ(test::Child<QLabel>(&form_, "pObjectName")->text().toStdString(), "SHOP.alpha");
}

TEST_F(BatchFormTest, HelpIsAnInformationBoxAndTheWindowStaysHidden) {
  bool shown = false;
  const BatchOutcome outcome = Run({"-p", dict_, "-h", "-a", "SHOP"}, [&] { shown = true; });
  EXPECT_EQ(outcome, BatchOutcome::kHelp);
  EXPECT_EQ(ExitStatusOf(outcome), 0);
  EXPECT_FALSE(shown);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  const std::string& help = ui_.shown[0].text;
  EXPECT_EQ(help.rfind("Tables rebuilding\r\n\r\nOption available:\r\n  -? o -h\r\n", 0), 0u);
  EXPECT_TRUE(help.ends_with("\r\nThe option \"-a\" e \"-t\" cannot be specified together"));
}

// An unknown option shows the help, as the command line's usage error does,
// and the program ends with the usage status.
TEST_F(BatchFormTest, AnUnknownOptionShowsTheHelpAndIsRefused) {
  bool shown = false;
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP", "-z"}, [&] { shown = true; });
  EXPECT_EQ(outcome, BatchOutcome::kRefused);
  EXPECT_EQ(ExitStatusOf(outcome), 2);
  EXPECT_FALSE(shown);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, BatchHelpText());
}

struct Refusal {
  const char* name;
  std::vector<std::string> args;  // "DICT" stands for the dictionary directory
  const char* message;
};

void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.name; }

class BatchFormRefusalTest : public BatchFormTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(BatchFormRefusalTest, ShowsItsMessageInAnErrorBoxAndNeverTheWindow) {
  std::vector<std::string> args = GetParam().args;
  for (std::string& arg : args) {
    if (arg == "DICT") arg = dict_;
  }
  bool shown = false;
  const BatchOutcome outcome = Run(args, [&] { shown = true; });
  EXPECT_EQ(outcome, BatchOutcome::kRefused);
  EXPECT_EQ(ExitStatusOf(outcome), 2);
  EXPECT_FALSE(shown);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].text, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EachCheck, BatchFormRefusalTest,
    ::testing::Values(
        Refusal{"NoProjectDirectory",
                {"-a", "SHOP"},
                "The directory containing the data description (ProjectDir, option \"-p\"), must "
                "be specified"},
        Refusal{"TableAndAlias",
                {"-p", "DICT", "-t", "SHOP.alpha", "-a", "SHOP"},
                "The options \"-t\" and \"-a\" cannot be used together"},
        Refusal{"NeitherTableNorAlias",
                {"-p", "-a", "SHOP"},
                "One of the options \"-t\" e \"-a\" MUST be specified"},
        Refusal{"AliasWithoutDirectory",
                {"-p", "DICT", "-a", "NOWHERE"},
                "The specified alias doesn't exist in the BDE configuration"},
        Refusal{"TableWithoutWorkDirectory",
                {"-p", "DICT", "-t", "SHOP.alpha"},
                "The work directory (OutputDir, option \"-d\"), must be specified rebuilding a "
                "single table"},
        Refusal{"UnknownAliasBetweenColons",
                {"-p", "DICT", "-a", "SHOP", "-d", ":NOWHERE:"},
                "Wrong alias"},
        Refusal{"ColonOnlyAtTheStart",
                {"-p", "DICT", "-a", "SHOP", "-d", ":SHOP"},
                "Wrong work directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BatchFormTest, AMalformedAliasFileIsAnErrorNamingItsLineAndTheWindowStaysHidden) {
  std::ofstream(conf_, std::ios::app) << "BADLINE\n";
  bool shown = false;
  try {
    Run({"-p", dict_, "-a", "SHOP"}, [&] { shown = true; });
    ADD_FAILURE() << "the malformed file was taken for one without the alias";
  } catch (const engine::EDBEngineError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Alias configuration \"" + conf_ + "\", line 2: expected NAME DRIVER DIRECTORY");
  }
  EXPECT_FALSE(shown);
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(BatchFormTest, RunRebuildsTheAliasWithProgressAndClosesTheWindow) {
  std::vector<bool> buttons_during_run;
  std::vector<std::string> panel_during_run;
  test::WhileRunning(
      &form_, [&] { return form_.running(); },
      [&] {
        buttons_during_run.push_back(test::Child<QPushButton>(&form_, "btnEsegui")->isEnabled() ||
                                     test::Child<QPushButton>(&form_, "btnCancel")->isEnabled());
        const std::string panel = test::Child<QLabel>(&form_, "pOperazione")->text().toStdString();
        if (panel_during_run.empty() || panel_during_run.back() != panel) {
          panel_during_run.push_back(panel);
        }
      });
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP"}, [&] {
    QTest::mouseClick(test::Child<QPushButton>(&form_, "btnEsegui"), Qt::LeftButton);
  });
  EXPECT_EQ(outcome, BatchOutcome::kDone);
  EXPECT_EQ(ExitStatusOf(outcome), 0);
  EXPECT_FALSE(form_.isVisible());
  EXPECT_FALSE(test::Child<QPushButton>(&form_, "btnEsegui")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&form_, "btnCancel")->isEnabled());
  EXPECT_EQ(std::count(buttons_during_run.begin(), buttons_during_run.end(), true), 0);
  // The operation stays on the panel while the run checks the tables; each
  // table shows where it stands in the run.
  const std::vector<std::string> want = {"Rebuilding tables",
                                         "Regenerating \"SHOP.alpha\"...\n1 of 2",
                                         "Regenerating \"SHOP.beta\"...\n2 of 2"};
  EXPECT_EQ(panel_during_run, want);
  EXPECT_TRUE(fs::exists(shop_ + "/alpha.DB"));
  EXPECT_TRUE(fs::exists(shop_ + "/beta.DB"));
}

TEST_F(BatchFormTest, AFailedRunGoesToTheErrorHandlingAndLeavesTheWindowOpen) {
  ASSERT_TRUE(dm_.tblTables.findKey({std::string("SHOP"), std::string("beta")}));
  test::AddFieldRow(dm_, {"BAD", "Bogus", {}});
  std::vector<std::string> errors;
  ui::SetApplicationErrorHandler(
      [&](QObject*, const std::exception_ptr& e) { errors.push_back(ui::ErrorText(e)); });
  bool open_after_failure = false;
  std::string panel_after_failure;
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP"}, [&] {
    QTest::mouseClick(test::Child<QPushButton>(&form_, "btnEsegui"), Qt::LeftButton);
    ASSERT_TRUE(test::WaitFor([&] { return !errors.empty(); }));
    open_after_failure = form_.isVisible();
    panel_after_failure = test::Child<QLabel>(&form_, "pOperazione")->text().toStdString();
    EXPECT_FALSE(test::Child<QPushButton>(&form_, "btnEsegui")->isEnabled());
    EXPECT_FALSE(test::Child<QPushButton>(&form_, "btnCancel")->isEnabled());
    form_.close();  // the close box
  });
  ui::SetApplicationErrorHandler(nullptr);
  EXPECT_EQ(outcome, BatchOutcome::kFailed);
  EXPECT_EQ(ExitStatusOf(outcome), 1);
  EXPECT_TRUE(open_after_failure);
  EXPECT_EQ(errors, std::vector<std::string>{"Unknown data type \"Bogus\""});
  // The failing table's place in the run stays shown.
  EXPECT_EQ(panel_after_failure, "Regenerating \"SHOP.beta\"...\n2 of 2");
  // The run checks every table before it rebuilds any: alpha was not made.
  EXPECT_FALSE(fs::exists(shop_ + "/alpha.DB"));
}

TEST_F(BatchFormTest, ATableTheDictionaryLacksIsRefusedBeforeAnyDirectoryIsMade) {
  std::vector<std::string> errors;
  ui::SetApplicationErrorHandler(
      [&](QObject*, const std::exception_ptr& e) { errors.push_back(ui::ErrorText(e)); });
  const std::string work = dir_.file("new/deeper");
  const BatchOutcome outcome =
      Run({"-p", dict_, "-t", "SHOP.nope", "-d", work, "-b", dir_.file("bak/deeper")}, [&] {
        QTest::mouseClick(test::Child<QPushButton>(&form_, "btnEsegui"), Qt::LeftButton);
        ASSERT_TRUE(test::WaitFor([&] { return !errors.empty(); }));
        form_.close();
      });
  ui::SetApplicationErrorHandler(nullptr);
  EXPECT_EQ(outcome, BatchOutcome::kFailed);
  EXPECT_EQ(errors,
            std::vector<std::string>{"Table \"nope\" is not present in the datadictionary"});
  EXPECT_FALSE(fs::exists(dir_.file("new")));
  EXPECT_FALSE(fs::exists(dir_.file("bak")));
}

TEST_F(BatchFormTest, ClosingTheWindowDuringTheRunAsksThenStopsItAfterTheCurrentTable) {
  ui_.answers = {Answer::kYes};  // to the question before stopping
  std::vector<bool> visible_after_close;
  std::string panel_after_close;
  test::WhileRunning(
      &form_, [&] { return form_.running(); },
      [&] {
        // Closed once the first table is being rebuilt, after the checks.
        if (!test::Child<QLabel>(&form_, "pOperazione")->text().startsWith("Regenerating")) return;
        form_.close();
        QTest::keyClick(&form_, Qt::Key_Escape);
        visible_after_close.push_back(form_.isVisible());
        panel_after_close = test::Child<QLabel>(&form_, "pOperazione")->text().toStdString();
      });
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP"}, [&] {
    QTest::mouseClick(test::Child<QPushButton>(&form_, "btnEsegui"), Qt::LeftButton);
  });
  EXPECT_EQ(outcome, BatchOutcome::kInterrupted);
  EXPECT_NE(ExitStatusOf(outcome), 0);
  EXPECT_TRUE(form_.stopRequested());
  ASSERT_FALSE(visible_after_close.empty());
  EXPECT_EQ(std::count(visible_after_close.begin(), visible_after_close.end(), false), 0);
  EXPECT_EQ(panel_after_close,
            "Regenerating \"SHOP.alpha\"...\n1 of 2\nStopping after this table...");
  const auto asked = std::count_if(ui_.shown.begin(), ui_.shown.end(), [](const auto& shown) {
    return shown.text == "Stop the rebuild after the current table?";
  });
  EXPECT_EQ(asked, 1);
  // The run says which table it finished last.
  ASSERT_FALSE(ui_.shown.empty());
  EXPECT_EQ(ui_.shown.back().kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown.back().text,
            "The rebuild stopped after the table \"SHOP.alpha\" (1 of 2); the tables after it "
            "were not touched.");
  EXPECT_FALSE(form_.isVisible());
  // The table being rebuilt was finished; the next one was not begun.
  EXPECT_TRUE(fs::exists(shop_ + "/alpha.DB"));
  EXPECT_FALSE(fs::exists(shop_ + "/beta.DB"));
}

TEST_F(BatchFormTest, EscapeAnsweredNoLetsTheRunGoOn) {
  bool pressed = false;
  test::WhileRunning(
      &form_, [&] { return form_.running(); },
      [&] {
        if (pressed ||
            !test::Child<QLabel>(&form_, "pOperazione")->text().startsWith("Regenerating")) {
          return;
        }
        pressed = true;
        QTest::keyClick(&form_, Qt::Key_Escape);  // unscripted: answered No
      });
  const BatchOutcome outcome = Run({"-p", dict_, "-a", "SHOP"}, [&] {
    QTest::mouseClick(test::Child<QPushButton>(&form_, "btnEsegui"), Qt::LeftButton);
  });
  EXPECT_TRUE(pressed);
  EXPECT_EQ(outcome, BatchOutcome::kDone);
  EXPECT_FALSE(form_.stopRequested());
  EXPECT_TRUE(fs::exists(shop_ + "/alpha.DB"));
  EXPECT_TRUE(fs::exists(shop_ + "/beta.DB"));
}

}  // namespace
}  // namespace vellum::rebuild
