// The interactive rebuild with a scripted user: the question per table and
// its answers, the status texts, engine errors per table and other errors.
#include "shell/interactive_rebuild.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::shell {
namespace {

namespace fs = std::filesystem;

using engine::EDBEngineError;
using engine::ErrorEntry;
using Names = std::vector<std::string>;

const Names kTables = {"T1", "T2", "T3", "T4", "T5"};

TEST(RebuildErrorTextTest, ThreeEntriesGiveThreeSixLineBlocksEndedByCarriageReturns) {
  const EDBEngineError error("Key violation", {ErrorEntry{0x2605, 0, "Key violation."},
                                               ErrorEntry{258, -17, "Cannot open \"T.DB\""},
                                               ErrorEntry{0x2701, 2147483647, ""}});
  const std::string expected =
      "Impossible to rebuild \"ORDERS\".\r"
      "\r"
      "Number of errors: 3\r"
      "Message: Key violation.\r"
      "   Category: 38\r"
      "   Error Code: 9733\r"
      "   SubCode: 5\r"
      "   Native Error: 0\r"
      "\r"
      "Message: Cannot open \"T.DB\"\r"
      "   Category: 1\r"
      "   Error Code: 258\r"
      "   SubCode: 2\r"
      "   Native Error: -17\r"
      "\r"
      "Message: \r"
      "   Category: 39\r"
      "   Error Code: 9985\r"
      "   SubCode: 1\r"
      "   Native Error: 2147483647\r"
      "\r";
  EXPECT_EQ(RebuildErrorText("Impossible to rebuild \"ORDERS\".", error), expected);

  test::ScriptedUi ui;
  ui.answers = {Answer::kCancel};
  EXPECT_EQ(ReportRebuildError(ui, "Impossible to rebuild \"ORDERS\".", error), Answer::kCancel);
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].text, expected);
  EXPECT_EQ(ui.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui.shown[0].buttons, Buttons::kOkCancel);
}

// A dictionary in <temp>/dict describing SHOP.T1 to SHOP.T5 (ID Integer,
// primary key ID); the run rebuilds into <temp>/out/new, missing at first.
class InteractiveRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    for (const std::string& name : kTables) {
      test::AddTableRow(*dm_, "SHOP", name);
      test::AddFieldRow(*dm_, {"ID", "Integer", {}});
      test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
    }
  }

  RebuildRunReport Run(const Names& tables = kTables, const RebuildDetails& details = {}) {
    return RunInteractiveRebuild(*dm_, RebuildChoice{"SHOP", out_, tables}, ui_, details);
  }

  // The tables whose data file is in the output directory.
  Names Rebuilt() const {
    Names names;
    for (const std::string& name : kTables) {
      if (fs::exists(out_ + "/" + name + ".DB")) names.push_back(name);
    }
    return names;
  }

  // The questions asked, by table.
  Names Asked() const {
    Names asked;
    for (const auto& shown : ui_.shown) {
      if (shown.kind != MessageKind::kConfirmation) continue;
      for (const std::string& name : kTables) {
        if (shown.text == RebuildQuestion(name, out_)) asked.push_back(name);
      }
    }
    return asked;
  }

  std::string Status(const std::string& table) const { return out_ + "/SHOP." + table + "..."; }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string out_ = dir_.file("out/new");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
};

TEST_F(InteractiveRebuildTest, EachTableIsAskedAboutWithTheQuestionsTextAndButtons) {
  ui_.answers = {Answer::kYes, Answer::kYes};
  const RebuildRunReport report = Run({"T2", "T1"});
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].text,
            "Do you want to rebuild the table \"T2\" in the directory \"" + out_ + "\"?");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kConfirmation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kYesNoCancelAll);
  EXPECT_EQ(Asked(), (Names{"T2", "T1"}));
  EXPECT_EQ(report.rebuilt, (Names{"T2", "T1"}));
  EXPECT_EQ(report.end, RebuildRunEnd::kDone);
  EXPECT_EQ(Rebuilt(), (Names{"T1", "T2"}));
  // The status text before each table, then the project directory again.
  EXPECT_EQ(ui_.progress_texts, (Names{Status("T2"), Status("T1"), ""}));
  ASSERT_EQ(ui_.progress_steps.size(), 3u);
  EXPECT_EQ(ui_.progress_steps[1].done, 1u);
  EXPECT_EQ(ui_.progress_steps[1].total, 2u);
  EXPECT_GE(ui_.events_processed, 2);
}

TEST_F(InteractiveRebuildTest, CancelAtTheFirstQuestionRebuildsNothing) {
  ui_.answers = {Answer::kCancel};
  const RebuildRunReport report = Run();
  EXPECT_EQ(Asked(), (Names{"T1"}));
  EXPECT_EQ(report.end, RebuildRunEnd::kCancelled);
  EXPECT_EQ(report.skipped, (Names{"T1"}));
  EXPECT_EQ(report.not_asked, (Names{"T2", "T3", "T4", "T5"}));
  EXPECT_FALSE(fs::exists(out_));
  EXPECT_EQ(ui_.progress_texts, (Names{""}));
}

TEST_F(InteractiveRebuildTest, NoSkipsOnlyThatTable) {
  ui_.answers = {Answer::kYes, Answer::kNo, Answer::kYes, Answer::kNo, Answer::kYes};
  const RebuildRunReport report = Run();
  EXPECT_EQ(Asked(), kTables);
  EXPECT_EQ(Rebuilt(), (Names{"T1", "T3", "T5"}));
  EXPECT_EQ(report.skipped, (Names{"T2", "T4"}));
  EXPECT_EQ(report.rebuilt, (Names{"T1", "T3", "T5"}));
  EXPECT_TRUE(report.not_asked.empty());
}

TEST_F(InteractiveRebuildTest, AllSparesTheRestOfTheRunButNotTheNextRun) {
  ui_.answers = {Answer::kNo, Answer::kAll};
  Run();
  EXPECT_EQ(Asked(), (Names{"T1", "T2"}));
  EXPECT_EQ(Rebuilt(), (Names{"T2", "T3", "T4", "T5"}));
  ui_.shown.clear();
  ui_.answers = {Answer::kCancel};
  Run();
  EXPECT_EQ(Asked(), (Names{"T1"}));
}

TEST_F(InteractiveRebuildTest, EachQuestionCarriesTheDetailsOfItsTable) {
  ui_.answers = {Answer::kNo, Answer::kNo};
  Names asked_for;
  Run({"T1", "T2"},
      [&](const std::string& alias, const std::string& table, const std::string& directory) {
        asked_for.push_back(alias + "." + table + " in " + directory);
        return RebuildPreview{.losses = "", .details = "plan of " + table};
      });
  EXPECT_EQ(asked_for, (Names{"SHOP.T1 in " + out_, "SHOP.T2 in " + out_}));
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].details, "plan of T1");
  EXPECT_EQ(ui_.shown[1].details, "plan of T2");
}

// The window's details: the table's plan, worked out without touching the
// disk. T2 exists in the output directory with a NOTE the dictionary lacks,
// three of its four rows holding one; T1 does not exist yet; T3 is no table.
TEST_F(InteractiveRebuildTest, PlanDetailsSayWhatTheRebuildOfThatTableWillDo) {
  fs::create_directories(out_);
  engine::paradox::TableDefinition def;
  def.fields = {engine::paradox::FieldDef{"ID", engine::FieldType::kInteger, 0},
                engine::paradox::FieldDef{"NOTE", engine::FieldType::kString, 10}};
  def.indexes = {engine::paradox::IndexDef{"", {"ID"}, true, true}};
  engine::paradox::Table::Create(out_, "T2", def);
  {
    auto t2 = engine::paradox::Table::Open(out_, "T2", engine::paradox::OpenOptions{true, true});
    for (int64_t id = 1; id <= 4; ++id) {
      t2->insert({id, id == 2 ? engine::Value() : engine::Value(std::string("note"))});
    }
  }
  std::ofstream(out_ + "/T3.DB", std::ios::binary) << "not a table";
  const auto before = test::SnapshotFiles(dir_.path());

  const RebuildPreview t2_preview = RebuildPlanDetails(*dm_, ui_, "SHOP", "T2", out_);
  const std::string& t2 = t2_preview.details;
  EXPECT_EQ(t2_preview.losses, "3 values of field \"NOTE\" would be lost");
  EXPECT_NE(
      t2.find("Table SHOP.T2: restructure \"" + out_ + "/T2.DB\" in place, keeping its 4 rows"),
      std::string::npos)
      << t2;
  EXPECT_NE(t2.find("field NOTE String(10): drop; 3 values lost"), std::string::npos) << t2;
  EXPECT_EQ(t2.find("SHOP.T1"), std::string::npos) << t2;

  const RebuildPreview t1_preview = RebuildPlanDetails(*dm_, ui_, "SHOP", "T1", out_);
  const std::string& t1 = t1_preview.details;
  EXPECT_EQ(t1_preview.losses, "");
  EXPECT_NE(t1.find("Table SHOP.T1: create \"" + out_ + "/T1.DB\" empty"), std::string::npos) << t1;
  // A table it cannot open: the plan says so, and no box is shown for it
  // before the question (the rebuild shows its own).
  const std::string t3 = RebuildPlanDetails(*dm_, ui_, "SHOP", "T3", out_).details;
  EXPECT_NE(t3.find("Table SHOP.T3: cannot be rebuilt: "), std::string::npos) << t3;
  EXPECT_EQ(test::SnapshotFiles(dir_.path()), before);
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(InteractiveRebuildTest, DetailsThatFailStillAskTheQuestion) {
  ui_.answers = {Answer::kYes};
  Run({"T1"}, [](const std::string&, const std::string&, const std::string&) -> RebuildPreview {
    throw Error("no plan");
  });
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_NE(ui_.shown[0].details.find("no plan"), std::string::npos);
  EXPECT_EQ(Rebuilt(), (Names{"T1"}));
}

// T2 is present in the output directory but no table: its rebuild fails
// with an engine error after the regenerator's own box.
class InteractiveRebuildErrorTest : public InteractiveRebuildTest {
 protected:
  void SetUp() override {
    InteractiveRebuildTest::SetUp();
    fs::create_directories(out_);
    std::ofstream(out_ + "/T2.DB", std::ios::binary) << "not a table";
  }

  // The engine error boxes shown, by the table they name.
  Names Reported() const {
    Names reported;
    for (const auto& shown : ui_.shown) {
      if (shown.kind != MessageKind::kError) continue;
      for (const std::string& name : kTables) {
        if (shown.text.rfind("Impossible to rebuild \"" + name + "\".\r\r", 0) == 0) {
          reported.push_back(name);
        }
      }
    }
    return reported;
  }
};

TEST_F(InteractiveRebuildErrorTest, OkAfterAnEngineErrorGoesOnWithoutQuestionsUnderAll) {
  ui_.answers = {Answer::kAll, Answer::kOk /* regenerator's box */, Answer::kOk};
  const RebuildRunReport report = Run();
  EXPECT_EQ(Asked(), (Names{"T1"}));
  EXPECT_EQ(Reported(), (Names{"T2"}));
  EXPECT_EQ(Rebuilt(), (Names{"T1", "T2", "T3", "T4", "T5"}));  // T2.DB stays as it was
  EXPECT_EQ(report.rebuilt, (Names{"T1", "T3", "T4", "T5"}));
  EXPECT_EQ(report.failed, (Names{"T2"}));
  EXPECT_EQ(report.end, RebuildRunEnd::kDone);
  // The regenerator's own box comes before the error text.
  ASSERT_EQ(ui_.shown.size(), 3u);
  EXPECT_EQ(ui_.shown[1].text,
            "Table \"T2\" exists in the specified directory, but I'm not able to open it");
  EXPECT_EQ(ui_.shown[2].buttons, Buttons::kOkCancel);
  EXPECT_EQ(ui_.progress_texts.back(), "");
}

TEST_F(InteractiveRebuildErrorTest, CancelAfterAnEngineErrorStopsTheRun) {
  ui_.answers = {Answer::kAll, Answer::kOk, Answer::kCancel};
  const RebuildRunReport report = Run();
  EXPECT_EQ(Reported(), (Names{"T2"}));
  EXPECT_EQ(Rebuilt(), (Names{"T1", "T2"}));
  EXPECT_EQ(report.end, RebuildRunEnd::kCancelled);
  EXPECT_EQ(report.failed, (Names{"T2"}));
  EXPECT_EQ(report.not_asked, (Names{"T3", "T4", "T5"}));
  EXPECT_EQ(ui_.progress_texts, (Names{Status("T1"), Status("T2"), ""}));
}

TEST_F(InteractiveRebuildErrorTest, WithoutAllTheNextTableIsAskedAboutAfterAnError) {
  ui_.answers = {Answer::kYes, Answer::kYes, Answer::kOk, Answer::kOk, Answer::kCancel};
  Run();
  EXPECT_EQ(Asked(), (Names{"T1", "T2", "T3"}));
}

TEST_F(InteractiveRebuildTest, AnotherErrorEndsTheRunAfterTheStatusIsReset) {
  ui_.answers = {Answer::kAll};
  EXPECT_THROW(Run({"T1", "MISSING", "T3"}), Error);
  EXPECT_EQ(Rebuilt(), (Names{"T1"}));
  EXPECT_EQ(ui_.progress_texts.back(), "");
  // The run is over: the guard is free for the next one.
  EXPECT_FALSE(dm_->runs().running());
  ui_.answers = {Answer::kYes};
  EXPECT_EQ(Run({"T3"}).rebuilt, (Names{"T3"}));
}

TEST_F(InteractiveRebuildTest, AStopRequestEndsTheRunBeforeTheNextTable) {
  ui_.answers = {Answer::kAll};
  ui_.stop_after_steps = 2;  // asked while T2 is rebuilt
  const RebuildRunReport report = Run();
  EXPECT_EQ(report.end, RebuildRunEnd::kStopped);
  EXPECT_EQ(Rebuilt(), (Names{"T1", "T2"}));
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown[1].text, "The rebuild stopped before the table \"T3\".");
}

// T1 is in the output directory with 20,000 rows and a NOTE the dictionary
// lacks, on 20 rows: its rebuild is a restructure that copies the rows.
class InteractiveRestructureTest : public InteractiveRebuildTest {
 protected:
  void SetUp() override {
    InteractiveRebuildTest::SetUp();
    fs::create_directories(out_);
    engine::paradox::TableDefinition def;
    def.fields = {engine::paradox::FieldDef{"ID", engine::FieldType::kInteger, 0},
                  engine::paradox::FieldDef{"NOTE", engine::FieldType::kString, 10}};
    def.indexes = {engine::paradox::IndexDef{"", {"ID"}, true, true}};
    engine::paradox::Table::Create(out_, "T1", def);
    auto t1 = engine::paradox::Table::Open(out_, "T1", engine::paradox::OpenOptions{true, true});
    t1->beginBulk();
    for (int64_t id = 1; id <= kRows; ++id) {
      t1->insert({id, id % 1000 == 0 ? engine::Value(std::string("note")) : engine::Value()});
    }
    t1->endBulk();
  }

  static constexpr int64_t kRows = 20000;
};

TEST_F(InteractiveRestructureTest, TheQuestionSaysInItsTextWhichValuesWouldBeLost) {
  ui_.answers = {Answer::kNo};
  Run({"T1"},
      [this](const std::string& alias, const std::string& table, const std::string& directory) {
        return RebuildPlanDetails(*dm_, ui_, alias, table, directory);
      });
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text,
            RebuildQuestion("T1", out_) + "\n\n20 values of field \"NOTE\" would be lost");
  EXPECT_NE(ui_.shown[0].details.find("NOTE"), std::string::npos);
}

TEST_F(InteractiveRestructureTest, RowsCopiedAreReportedUpToTheTablesTotal) {
  ui_.answers = {Answer::kYes};
  EXPECT_EQ(Run({"T1"}).rebuilt, (Names{"T1"}));
  ASSERT_GE(ui_.row_steps.size(), 3u);
  EXPECT_EQ(ui_.row_steps.front(), std::make_pair(uint64_t{0}, uint64_t{kRows}));
  EXPECT_EQ(ui_.row_steps.back(), std::make_pair(uint64_t{kRows}, uint64_t{kRows}));
  for (size_t i = 1; i < ui_.row_steps.size(); ++i) {
    EXPECT_GE(ui_.row_steps[i].first, ui_.row_steps[i - 1].first) << i;
  }
}

TEST_F(InteractiveRestructureTest, AStopWhileRowsAreCopiedLeavesTheTableAsItWas) {
  const auto before = test::SnapshotFiles(out_);
  ui_.answers = {Answer::kAll};
  ui_.stop_after_rows = 4096;
  const RebuildRunReport report = Run({"T1", "T2"});
  EXPECT_EQ(report.end, RebuildRunEnd::kStopped);
  EXPECT_EQ(report.stopped, (Names{"T1"}));
  EXPECT_EQ(report.not_asked, (Names{"T2"}));
  EXPECT_TRUE(report.rebuilt.empty());
  // Stopped at the first report past the mark, long before the last row.
  ASSERT_FALSE(ui_.row_steps.empty());
  EXPECT_LT(ui_.row_steps.back().first, uint64_t{kRows});
  EXPECT_EQ(test::SnapshotFiles(out_), before);
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].text, "The rebuild of table \"T1\" was stopped; the table is as it was");
  EXPECT_EQ(ui_.progress_texts.back(), "");
}

TEST_F(InteractiveRebuildTest, ARunIsRefusedWhileAnotherRuns) {
  dictionary::RunGuard::Scope other(dm_->runs(), "Load");
  EXPECT_THROW(Run(), Error);
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_FALSE(fs::exists(out_));
}

}  // namespace
}  // namespace vellum::shell
