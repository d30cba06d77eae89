// Rebuilding encrypted tables: the run asks for the password where the rows
// are copied (again after a wrong one) and keeps the answer; without it the
// plan refuses the table and nothing is touched; a table made anew with -c
// stays encrypted without any password. Expected checksums are read from
// the files' header bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/table.h"
#include "rebuild/batch_rebuild.h"
#include "rebuild/rebuild_plan.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::rebuild {
namespace {

namespace fs = std::filesystem;

using engine::FieldType;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Row;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

constexpr const char* kPassword = "pw-of-T";

// A dictionary in <temp>/dict describing SHOP.T (ID Integer key, NAME
// String 30), and T in <temp>/shop as it was before (NAME String 20), with
// two rows, encrypted under kPassword.
class EncryptedRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    dictionary::CreateDictionaryTables(dict_);
    test::WriteFile(dir_.file("aliases.conf"), "SHOP STANDARD " + shop_ + "\n");
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    test::AddTableRow(*dm_, "SHOP", "T");
    test::AddFieldRow(*dm_, {"ID", "Integer", {}});
    test::AddFieldRow(*dm_, {"NAME", "String", 30});
    test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});

    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}};
    def.password_checksum = engine::paradox::PasswordChecksum(kPassword);
    Table::Create(shop_, "T", def);
    auto t = Table::Open(shop_, "T", {.writable = true, .passwords = {kPassword}});
    t->insert({int64_t{1}, std::string("Apple")});
    t->insert({int64_t{2}, std::string("Pear")});
  }

  BatchJob Start(const std::vector<std::string>& args) {
    const BatchStart start = StartBatch(ParseBatchOptions(args), *dm_, ui_);
    EXPECT_EQ(start.status, BatchStartStatus::kReady);
    return start.job;
  }

  // The password checksum T's data file holds, from its header bytes.
  uint32_t HeaderChecksum() const {
    const std::string bytes = test::ReadFile(shop_ + "/T.DB");
    return bytes.size() < 0x60
               ? 0
               : engine::paradox::LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x5C);
  }

  std::string DataFile() const { return engine::JoinPath(shop_, "T.DB"); }

  test::TempDir dir_;
  std::string dict_ = dir_.path() + "/dict";
  std::string shop_ = dir_.path() + "/shop";
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
};

TEST_F(EncryptedRebuildTest, TheRunAsksForThePasswordAgainAfterAWrongOneAndRestructures) {
  const uint32_t before = HeaderChecksum();
  ASSERT_EQ(before, engine::paradox::PasswordChecksum(kPassword));
  ui_.passwords = {"not it", kPassword};
  EXPECT_EQ(RunBatch(Start({"-p", dict_, "-t", "SHOP.T", "-d", shop_}), *dm_, ui_),
            BatchRunStatus::kDone);
  // Asked while the run checks its plan, once more after the wrong answer,
  // and not again for the rebuild itself.
  EXPECT_EQ(ui_.password_prompts, (std::vector<std::string>{DataFile(), DataFile()}));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].text, "The password given is not the password of table \"T\"");
  EXPECT_EQ(session_.passwords(), std::vector<std::string>{kPassword});

  EXPECT_EQ(HeaderChecksum(), before);
  EXPECT_FALSE(Table::Open(shop_, "T")->rowsReadable());
  auto t = Table::Open(shop_, "T", {.passwords = {kPassword}});
  EXPECT_EQ(t->structure().fields[1].size, 30);
  EXPECT_EQ(t->read(0), (Row{int64_t{1}, std::string("Apple")}));
  EXPECT_EQ(t->read(1), (Row{int64_t{2}, std::string("Pear")}));
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

TEST_F(EncryptedRebuildTest, WithoutThePasswordThePlanRefusesTheTableAndTheRunTouchesNothing) {
  const std::string refusal = "Cannot restructure table \"T\" keeping its rows: Table \"" +
                              DataFile() +
                              "\" is encrypted; its rows cannot be read without its password";
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", shop_});
  const std::optional<BatchPlan> plan = PlanBatch(job, *dm_, ui_);  // the prompt is cancelled
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->failures, std::vector<std::string>{"SHOP.T: " + refusal});
  EXPECT_EQ(ui_.password_prompts, std::vector<std::string>{DataFile()});

  const auto before = test::SnapshotFiles(shop_);
  try {
    RunBatch(job, *dm_, ui_);
    ADD_FAILURE() << "the run went on without the password";
  } catch (const engine::EDBEngineError& e) {
    EXPECT_EQ(std::string(e.what()), refusal);
  }
  EXPECT_EQ(test::SnapshotFiles(shop_), before);
  EXPECT_TRUE(session_.passwords().empty());
}

TEST_F(EncryptedRebuildTest, ATableMadeAnewWithDashCStaysEncryptedWithoutItsPassword) {
  const uint32_t before = HeaderChecksum();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-p", dict_, "-t", "SHOP.T", "-d", shop_, "-c"},
        {"-p", dict_, "-a", "SHOP", "-c"}}) {
    SCOPED_TRACE(args[3]);
    EXPECT_EQ(RunBatch(Start(args), *dm_, ui_), BatchRunStatus::kDone);
    EXPECT_TRUE(ui_.password_prompts.empty());
    EXPECT_EQ(HeaderChecksum(), before);
    EXPECT_FALSE(Table::Open(shop_, "T")->rowsReadable());
    auto t = Table::Open(shop_, "T", {.passwords = {kPassword}});
    EXPECT_EQ(t->recordCount(), 0u);
    EXPECT_EQ(t->structure().fields[1].size, 30);
  }
}

}  // namespace
}  // namespace vellum::rebuild
