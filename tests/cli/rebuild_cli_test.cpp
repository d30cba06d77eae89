// Tests of `vellum-cli create-dictionary` and `vellum-cli rebuild`, run
// in-process through RunCli with string streams over dictionaries and tables
// in a temporary directory, and of the command line's Ui.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/console_ui.h"
#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "engine/text.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/original_shapes.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;

using engine::FieldType;
using engine::Value;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

using Result = test::CliResult;
const auto Invoke = &test::InvokeCli;

using test::ReadFile;
using test::WriteFile;
const auto Snapshot = &test::SnapshotFiles;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------------------
// create-dictionary

class CreateDictionaryTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(CreateDictionaryTest, CreatesTheThreeEmptyTablesInANewDirectory) {
  const std::string target = dir_.file("a/b/dict");
  const Result r = Invoke({"create-dictionary", target});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "Created a new Data Dictionary in \"" + target + "\"\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(dictionary::IsProjectDirectory(target));
  for (const char* name : {"DDTables", "DDFields", "DDIndex"}) {
    auto t = Table::Open(target, name);
    EXPECT_EQ(t->recordCount(), 0u) << name;
  }
  EXPECT_EQ(Table::Open(target, "DDFields")->structure().fields.size(),
            dictionary::DDFieldsDefinition().fields.size());

  // The data module opens it.
  engine::Session session(dir_.file("aliases.conf"));
  test::ScriptedUi ui;
  dictionary::TdmDataDictionary dm(session, ui);
  dm.OpenDictionary(target);
  EXPECT_EQ(dm.tblTables.recordCount(), 0u);
}

TEST_F(CreateDictionaryTest, ExistingDictionaryIsLeftAlone) {
  const std::string target = dir_.file("dict");
  ASSERT_EQ(Invoke({"create-dictionary", target}).status, kExitOk);
  {
    engine::Session session(dir_.file("aliases.conf"));
    test::ScriptedUi ui;
    dictionary::TdmDataDictionary dm(session, ui);
    dm.OpenDictionary(target);
    test::AddTableRow(dm, "SHOP", "T");
  }
  const auto before = Snapshot(target);
  const Result r = Invoke({"create-dictionary", target});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vellum-cli: create-dictionary: \"" + target +
                       "\" already holds a Data Dictionary; nothing was changed\n");
  EXPECT_EQ(Snapshot(target), before);
  EXPECT_EQ(Table::Open(target, "DDTables")->recordCount(), 1u);
}

TEST_F(CreateDictionaryTest, FileIsRefused) {
  WriteFile(dir_.file("plain"), "x");
  const Result r = Invoke({"create-dictionary", dir_.file("plain")});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.err,
            "vellum-cli: create-dictionary: \"" + dir_.file("plain") + "\" is not a directory\n");
  EXPECT_EQ(ReadFile(dir_.file("plain")), "x");

  const std::string below = dir_.file("plain") + "/dict";
  const Result below_file = Invoke({"create-dictionary", below});
  EXPECT_EQ(below_file.status, kExitFailure);
  EXPECT_EQ(below_file.err,
            "vellum-cli: create-dictionary: Cannot create directory \"" + below + "\"\n");
}

TEST_F(CreateDictionaryTest, ArgumentsAreChecked) {
  EXPECT_EQ(Invoke({"create-dictionary"}).status, kExitUsage);
  EXPECT_EQ(Invoke({"create-dictionary", "a", "b"}).status, kExitUsage);
  EXPECT_EQ(Invoke({"create-dictionary", "--force", dir_.file("d")}).status, kExitUsage);
  EXPECT_FALSE(fs::exists(dir_.file("d")));
  const Result help = Invoke({"create-dictionary", "--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_TRUE(help.out.starts_with("Usage: vellum-cli create-dictionary [--code-page N] DIR\n"));
  // A code page is a number the engine converts; nothing is created without.
  for (const char* code_page : {"", "abc", "12a", "99999", "-1"}) {
    SCOPED_TRACE(code_page);
    EXPECT_EQ(Invoke({"create-dictionary", "--code-page", code_page, dir_.file("d")}).status,
              kExitUsage);
    EXPECT_FALSE(fs::exists(dir_.file("d")));
  }
}

// ---------------------------------------------------------------------------
// rebuild

// A dictionary in <temp>/dict with SHOP.T and the alias SHOP for
// <temp>/shop in <temp>/aliases.conf.
class RebuildCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(shop_);
    WriteFile(conf_, "SHOP STANDARD " + shop_ + "\n");
    ASSERT_EQ(Invoke({"create-dictionary", dict_}).status, kExitOk);
  }

  // Writes dictionary rows through the data module, closed again at the end.
  void WithDictionary(const std::function<void(dictionary::TdmDataDictionary&)>& write) {
    engine::Session session(conf_);
    test::ScriptedUi ui;
    dictionary::TdmDataDictionary dm(session, ui);
    dm.OpenDictionary(dict_);
    write(dm);
  }

  // SHOP.T now: ID Integer, NAME String(10), CODE Smallint, NOTE String(8),
  // PRICE Currency; primary key ID, index NAME, composite index ByNamePrice.
  void DescribeT() {
    WithDictionary([](dictionary::TdmDataDictionary& dm) {
      test::AddTableRow(dm, "SHOP", "T");
      test::AddFieldRow(dm, {"ID", "Integer", {}});
      test::AddFieldRow(dm, {"NAME", "String", 10});
      test::AddFieldRow(dm, {"CODE", "Smallint", {}});
      test::AddFieldRow(dm, {"NOTE", "String", 8});
      test::AddFieldRow(dm, {"PRICE", "Currency", {}});
      test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
      test::AddIndexRow(dm, {"NAME", "NAME"});
      test::AddIndexRow(dm, {"ByNamePrice", "NAME;PRICE"});
    });
  }

  // Three more tables of SHOP, each with an ID and a primary key.
  void DescribeShopTables() {
    WithDictionary([](dictionary::TdmDataDictionary& dm) {
      for (const char* name : {"Zeta", "alpha", "Beta"}) {
        test::AddTableRow(dm, "SHOP", name);
        test::AddFieldRow(dm, {"ID", "Integer", {}});
        test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
      }
    });
  }

  // T as it was first described: NAME String(20), CODE String(20), OLD
  // String(5), with four rows. Of the names, two are longer than 10
  // characters ("0123456789" is exactly 10); of the codes, "abc" is no number
  // and 99999 is out of the Smallint range; OLD holds three values.
  static void CreateOldT(const std::string& directory) {
    fs::create_directories(directory);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20},
                  FieldDef{"CODE", FieldType::kString, 20}, FieldDef{"OLD", FieldType::kString, 5},
                  FieldDef{"PRICE", FieldType::kCurrency, 0}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"NAME", {"NAME"}},
                   IndexDef{"ByNamePrice", {"NAME", "PRICE"}}};
    Table::Create(directory, "T", def);
    auto t = Table::Open(directory, "T", {.writable = true});
    t->insert({int64_t{1}, std::string("Apple"), std::string("12"), std::string("x"), 1.5});
    t->insert({int64_t{2}, std::string("A name longer than ten"), std::string("abc"),
               std::string("y"), 2.0});
    t->insert({int64_t{3}, std::string("0123456789"), std::string("99999"), Value{}, 3.0});
    t->insert({int64_t{4}, std::string("Grapefruit juice"), Value{}, std::string("z"), Value{}});
  }

  Result Rebuild(std::vector<std::string> args) {
    args.insert(args.begin(), {"rebuild", "--config", conf_});
    return Invoke(args);
  }

  test::TempDir dir_;
  std::string dict_ = dir_.path() + "/dict";
  std::string shop_ = dir_.path() + "/shop";
  std::string out_ = dir_.path() + "/out";
  std::string conf_ = dir_.file("aliases.conf");
};

TEST_F(RebuildCommandTest, AliasIntoANewDirectoryCreatesEmptyTables) {
  DescribeT();
  DescribeShopTables();
  const std::string target = dir_.file("new/tables");
  const Result r = Rebuild({"-p", dict_, "-a", "SHOP", "-d", target});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Rebuilding tables\n"
            "Regenerating \"SHOP.alpha\"...\n"
            "Regenerating \"SHOP.Beta\"...\n"
            "Regenerating \"SHOP.T\"...\n"
            "Regenerating \"SHOP.Zeta\"...\n");
  for (const char* name : {"alpha", "Beta", "T", "Zeta"}) {
    auto t = Table::Open(target, name);
    EXPECT_EQ(t->recordCount(), 0u) << name;
    EXPECT_EQ(t->structure().level, "7") << name;
  }
  auto t = Table::Open(target, "T");
  ASSERT_EQ(t->structure().fields.size(), 5u);
  EXPECT_EQ(t->structure().fields[3].name, "NOTE");
  EXPECT_EQ(t->structure().fields[3].size, 8);
}

TEST_F(RebuildCommandTest, AliasWithoutDUsesTheAliasDirectory) {
  DescribeShopTables();
  const Result r = Rebuild({"-p" + dict_, "-aSHOP"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_TRUE(fs::exists(shop_ + "/alpha.DB"));
  EXPECT_TRUE(fs::exists(shop_ + "/Zeta.DB"));
}

TEST_F(RebuildCommandTest, TableInPlaceKeepsItsRows) {
  DescribeT();
  CreateOldT(out_);
  const Result r = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "Rebuilding tables\n");
  EXPECT_EQ(r.err, "");
  auto t = Table::Open(out_, "T");
  ASSERT_EQ(t->recordCount(), 4u);
  const auto& fields = t->structure().fields;
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[2].type, FieldType::kSmallint);
  const auto row = t->read(0);
  EXPECT_EQ(row[0], Value{int64_t{1}});
  EXPECT_EQ(row[1], Value{std::string("Apple")});
  EXPECT_EQ(row[2], Value{int64_t{12}});
  EXPECT_TRUE(engine::IsNull(row[3]));
  EXPECT_EQ(row[4], Value{1.5});
  EXPECT_TRUE(t->verify().empty());
}

TEST_F(RebuildCommandTest, RecreateDeletesTheTableFirst) {
  DescribeT();
  CreateOldT(out_);
  WriteFile(out_ + "/OTHER.DB", "not touched");
  const Result r = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "-c"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "Rebuilding structures\nDeleting \"" + out_ + "/T.*\"...\n");
  EXPECT_EQ(Table::Open(out_, "T")->recordCount(), 0u);
  EXPECT_EQ(ReadFile(out_ + "/OTHER.DB"), "not touched");
}

TEST_F(RebuildCommandTest, BackupCopiesTheTableBeforeTheRebuild) {
  DescribeT();
  CreateOldT(out_);
  const auto original = Snapshot(out_);
  const std::string bak = dir_.file("bak");
  const Result r = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "-b", bak});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out,
            "Rebuilding tables\n"
            "Deleting \"" +
                bak +
                "/T.*\"...\n"
                "Making a backup copy of \"" +
                out_ + "/T.*\" in \"" + bak + "\"...\n");
  EXPECT_EQ(Snapshot(bak), original);
}

TEST_F(RebuildCommandTest, PlanListsTheOperationsAndTheValuesLostAndChangesNothing) {
  DescribeT();
  CreateOldT(out_);
  const auto work_before = Snapshot(out_);
  const auto dictionary_before = Snapshot(dict_);

  const Result r = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "--plan"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{
                "Plan of the rebuild; nothing has been changed.",
                "Table SHOP.T: restructure \"" + out_ + "/T.DB\" in place, keeping its 4 rows",
                "  field ID Integer: copy",
                "  field NAME String(10): modify from String(20); 2 values cut",
                "  field CODE Smallint: modify from String(20); 2 values emptied",
                "  field NOTE String(8): add",
                "  field PRICE Currency: copy",
                "  field OLD String(5): drop; 3 values lost",
                // Index rows in name order; the composite index's files go
                // before the engine is asked, so it is added anew.
                "  index (primary) on ID: redo",
                "  index ByNamePrice on NAME;PRICE: add",
                "  index NAME on NAME: redo",
            }));
  EXPECT_EQ(Snapshot(out_), work_before);
  EXPECT_EQ(Snapshot(dict_), dictionary_before);

  // The rebuild itself loses what the plan said.
  ASSERT_EQ(Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_}).status, kExitOk);
  auto old_copy = dir_.file("old");
  CreateOldT(old_copy);
  auto before = Table::Open(old_copy, "T");
  auto after = Table::Open(out_, "T");
  ASSERT_EQ(after->recordCount(), 4u);
  int cut = 0;
  int emptied = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    const auto old_row = before->read(i);
    const auto new_row = after->read(i);
    if (old_row[1] != new_row[1]) ++cut;
    if (!engine::IsNull(old_row[2]) && engine::IsNull(new_row[2])) ++emptied;
  }
  EXPECT_EQ(cut, 2);
  EXPECT_EQ(emptied, 2);
  EXPECT_EQ(after->structure().fields.size(), 5u);
}

TEST_F(RebuildCommandTest, PlanWithRecreateListsTheDeletedFilesAndAddsEverything) {
  DescribeT();
  CreateOldT(out_);
  WriteFile(out_ + "/OTHER.DB", "not a file of T");
  const auto before = Snapshot(out_);
  const Result r = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "-c", "--plan"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  std::vector<std::string> expected = {"Plan of the rebuild; nothing has been changed."};
  for (const auto& [name, bytes] : before) {
    if (name.starts_with("T.")) expected.push_back("Delete \"" + out_ + "/" + name + "\"");
  }
  ASSERT_GE(expected.size(), 4u);  // T.DB, T.PX and the two indexes at least
  expected.insert(
      expected.end(),
      {"Table SHOP.T: delete and create \"" + out_ + "/T.DB\" anew, empty; 4 rows lost",
       "  field ID Integer: add", "  field NAME String(10): add", "  field CODE Smallint: add",
       "  field NOTE String(8): add", "  field PRICE Currency: add", "  index (primary) on ID: add",
       "  index ByNamePrice on NAME;PRICE: add", "  index NAME on NAME: add"});
  EXPECT_EQ(Lines(r.out), expected);
  EXPECT_EQ(Snapshot(out_), before);
}

TEST_F(RebuildCommandTest, PlanOfAnAliasIntoAMissingDirectoryCreatesNothing) {
  DescribeShopTables();
  const std::string target = dir_.file("missing/tables");
  const std::string bak = dir_.file("missing/bak");
  const Result r = Rebuild({"-p", dict_, "-a", "SHOP", "-d", target, "-b", bak, "--plan"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{
                              "Plan of the rebuild; nothing has been changed.",
                              "Would create directory \"" + bak + "\"",
                              "Would create directory \"" + target + "\"",
                              "Table SHOP.alpha: create \"" + target + "/alpha.DB\" empty",
                              "  field ID Integer: add",
                              "  index (primary) on ID: add",
                              "Table SHOP.Beta: create \"" + target + "/Beta.DB\" empty",
                              "  field ID Integer: add",
                              "  index (primary) on ID: add",
                              "Table SHOP.Zeta: create \"" + target + "/Zeta.DB\" empty",
                              "  field ID Integer: add",
                              "  index (primary) on ID: add",
                          }));
  EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

TEST_F(RebuildCommandTest, ATableTheDictionaryLacksIsRefusedBeforeAnyDirectoryIsMade) {
  DescribeT();
  const std::string target = dir_.file("new/deeper");
  const Result plan = Rebuild({"-p", dict_, "-t", "SHOP.NOSUCH", "-d", target, "--plan"});
  EXPECT_EQ(plan.status, kExitFailure);
  EXPECT_EQ(Lines(plan.out),
            (std::vector<std::string>{
                "Plan of the rebuild; nothing has been changed.",
                "Would create directory \"" + target + "\"",
                "Table SHOP.NOSUCH: cannot be rebuilt: Table \"NOSUCH\" is not present in the "
                "datadictionary",
                "The rebuild would fail (1 problem); a run stops at the first, before anything is "
                "changed."}));
  const Result run = Rebuild({"-p", dict_, "-t", "SHOP.NOSUCH", "-d", target});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.err,
            "vellum-cli: rebuild: Table \"NOSUCH\" is not present in the datadictionary\n");
  EXPECT_FALSE(fs::exists(dir_.file("new")));
}

TEST_F(RebuildCommandTest, PlanWithBackupListsTheCopies) {
  DescribeShopTables();
  WriteFile(shop_ + "/alpha.DB", "junk");
  const std::string bak = dir_.file("bak");
  fs::create_directories(bak);
  WriteFile(bak + "/stale.txt", "old");
  const auto shop_before = Snapshot(shop_);
  const auto bak_before = Snapshot(bak);
  const Result r = Rebuild({"-p", dict_, "-a", "SHOP", "-b", bak, "--plan"});
  // The junk alpha.DB cannot be opened: the plan fails as the rebuild would.
  EXPECT_EQ(r.status, kExitFailure);
  const std::vector<std::string> err = Lines(r.err);
  ASSERT_GE(err.size(), 2u);
  EXPECT_EQ(err[0],
            "vellum-cli: rebuild: Table \"alpha\" exists in the specified directory, but I'm not "
            "able to open it");
  EXPECT_EQ(Snapshot(shop_), shop_before);
  EXPECT_EQ(Snapshot(bak), bak_before);

  // Only tables' files are deleted and copied: a user's files are not.
  fs::remove(shop_ + "/alpha.DB");
  WriteFile(shop_ + "/readme.txt", "r");
  WriteFile(shop_ + "/other.DB", "another table");
  WriteFile(bak + "/OLD.DB", "an old table in the backup");
  const auto bak_now = Snapshot(bak);
  const Result ok = Rebuild({"-p", dict_, "-a", "SHOP", "-b", bak, "--plan"});
  EXPECT_EQ(ok.status, kExitOk) << ok.err;
  const std::vector<std::string> lines = Lines(ok.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "Delete \"" + bak + "/OLD.DB\"");
  EXPECT_EQ(lines[2], "Copy \"" + shop_ + "/other.DB\" to \"" + bak + "/other.DB\"");
  EXPECT_TRUE(lines[3].starts_with("Table SHOP.alpha: ")) << lines[3];
  EXPECT_EQ(Snapshot(bak), bak_now);
}

TEST_F(RebuildCommandTest, ThePlanReportsTheFailureTheRunMeetsAndTheRunChangesNothing) {
  // NAME cut to 5 characters under a new unique index: "Apples" becomes a
  // second "Apple" at row 3 (rows in key order: 1 Apple, 2 Pear, 3 Apples).
  WithDictionary([](dictionary::TdmDataDictionary& dm) {
    test::AddTableRow(dm, "SHOP", "T");
    test::AddFieldRow(dm, {"ID", "Integer", {}});
    test::AddFieldRow(dm, {"NAME", "String", 5});
    test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
    test::AddIndexRow(dm, {"UName", "NAME", false, true});
  });
  fs::create_directories(out_);
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  Table::Create(out_, "T", def);
  {
    auto t = Table::Open(out_, "T", {.writable = true});
    t->insert({int64_t{1}, std::string("Apple")});
    t->insert({int64_t{2}, std::string("Pear")});
    t->insert({int64_t{3}, std::string("Apples")});
  }
  const std::string bak = dir_.file("bak");
  const auto before = Snapshot(out_);
  const std::string failure =
      "Cannot restructure table \"T\": Key violation in table \"T\": the key (\"Apple\") already "
      "exists in the unique index \"UName\"; the table is unchanged";

  const Result plan = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "-b", bak, "--plan"});
  EXPECT_EQ(plan.status, kExitFailure);
  const std::vector<std::string> lines = Lines(plan.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  fails: " + failure), lines.end()) << plan.out;
  EXPECT_EQ(plan.err, "vellum-cli: rebuild: SHOP.T: " + failure + "\n");

  const Result run = Rebuild({"-p", dict_, "-t", "SHOP.T", "-d", out_, "-b", bak});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.err, "vellum-cli: rebuild: " + failure + "\n");
  EXPECT_EQ(Snapshot(out_), before);
  EXPECT_FALSE(fs::exists(bak + "/T.DB"));
}

TEST_F(RebuildCommandTest, BadOptionsGiveTheirMessageAndExitTwo) {
  DescribeT();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-a", "SHOP"},
       "The directory containing the data description (ProjectDir, option \"-p\"), must be "
       "specified"},
      {{"-p", dict_, "-a", "SHOP", "-t", "SHOP.T"},
       "The options \"-t\" and \"-a\" cannot be used together"},
      {{"-p", dict_}, "One of the options \"-t\" e \"-a\" MUST be specified"},
      {{"-p", "-a", "SHOP"}, "One of the options \"-t\" e \"-a\" MUST be specified"},
      {{"-p", dict_, "-a", "NOPE"}, "The specified alias doesn't exist in the BDE configuration"},
      {{"-p", dict_, "-t", "SHOP.T"},
       "The work directory (OutputDir, option \"-d\"), must be specified rebuilding a single "
       "table"},
      {{"-p", dict_, "-t", "SHOP.T", "-d", ":NOPE:"}, "Wrong alias"},
      {{"-p", dict_, "-t", "SHOP.T", "-d", ":SHOP"}, "Wrong work directory"},
  };
  for (const auto& [args, message] : cases) {
    const Result r = Rebuild(args);
    EXPECT_EQ(r.status, kExitUsage) << message;
    EXPECT_EQ(r.err, "vellum-cli: rebuild: " + message + "\n");
    EXPECT_EQ(r.out, "") << message;
    EXPECT_FALSE(fs::exists(out_)) << message;
  }
}

TEST_F(RebuildCommandTest, TableTextWithoutPointIsRefusedBeforeTheDirectoryIsCreated) {
  DescribeT();
  const Result r = Rebuild({"-p", dict_, "-t", "T", "-d", out_});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_EQ(r.err,
            "vellum-cli: rebuild: The table name to rebuild must include the alias name even, in "
            "the format \"ALIAS.TABLE\"\n");
  EXPECT_FALSE(fs::exists(out_));

  // The plan refuses it the same way and creates nothing.
  const std::string other = dir_.file("other");
  const Result plan = Rebuild({"-p", dict_, "-t", "T", "-d", other, "--plan"});
  EXPECT_EQ(plan.status, kExitUsage);
  EXPECT_EQ(plan.err, r.err);
  EXPECT_FALSE(fs::exists(other));
}

// A table whose index no longer matches it (made before a field was
// inserted, before rows were added, or before the table was rewritten, with
// rows or empty): the load keeps the index's definition under the table's
// current field names, and a rebuild in place makes the index anew from the
// rows, so the table verifies clean with the index on the same field.
TEST_F(RebuildCommandTest, AnOutOfDateIndexIsLoadedAndMadeAnew) {
  for (const std::string table : {"INSERTED", "EMPTYOLD", "MOREROWS", "EMPTYSTAMP"}) {
    SCOPED_TRACE(table);
    const test::OriginalShape& shape = test::OriginalShapeNamed(table);
    shape.make(shop_);
    uint32_t rows = 0;
    {
      auto before = Table::Open(shop_, table);
      rows = before->recordCount();
      ASSERT_EQ(before->verify().size(), shape.out_of_date.size());
    }
    const Result load =
        Invoke({"load", "--config", conf_, "-p", dict_, "--source", "SHOP", "--as", "SHOP", table});
    ASSERT_EQ(load.status, kExitOk) << load.err;
    const Result r = Rebuild({"-p", dict_, "-t", "SHOP." + table, "-d", shop_});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    auto t = Table::Open(shop_, table);
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
    EXPECT_EQ(t->recordCount(), rows);
    std::vector<std::string> secondary;
    for (const auto& ix : t->structure().indexes) {
      EXPECT_FALSE(ix.out_of_date) << ix.file;
      if (!ix.primary)
        secondary.push_back(ix.name + " on " + engine::JoinWithSemicolons(ix.key_fields));
    }
    EXPECT_EQ(secondary, std::vector<std::string>{"City on City"});
    // City is field 4 of the tables that gained Zip, else field 3.
    const bool gained_zip = t->structure().fields.size() == 4;
    EXPECT_TRUE(fs::exists(shop_ + "/" + table + (gained_zip ? ".X04" : ".X03")));
    EXPECT_EQ(fs::exists(shop_ + "/" + table + ".X03"), !gained_zip);
  }
}

TEST_F(RebuildCommandTest, UnknownOptionsAndHelp) {
  const Result unknown = Rebuild({"-p", dict_, "-x", "-a", "SHOP"});
  EXPECT_EQ(unknown.status, kExitUsage);
  EXPECT_EQ(unknown.err,
            "vellum-cli: rebuild: unknown option -x\nTry 'vellum-cli rebuild --help'.\n");
  EXPECT_EQ(Rebuild({"--force"}).status, kExitUsage);
  for (const char* help : {"--help", "-h", "-?", "-H"}) {
    const Result r = Rebuild({"-p", dict_, help});
    EXPECT_EQ(r.status, kExitOk) << help;
    EXPECT_TRUE(r.out.starts_with("Usage: vellum-cli rebuild -p DIR")) << help;
    EXPECT_NE(r.out.find("--plan"), std::string::npos) << help;
  }
}

TEST_F(RebuildCommandTest, FailuresGoToTheStandardErrorWithExitOne) {
  DescribeT();
  const Result missing = Rebuild({"-p", dict_, "-t", "SHOP.NOPE", "-d", out_});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_EQ(missing.out, "Rebuilding tables\n");
  EXPECT_EQ(missing.err,
            "vellum-cli: rebuild: Table \"NOPE\" is not present in the datadictionary\n");

  const Result no_dictionary = Rebuild({"-p", dir_.file("nowhere"), "-a", "SHOP"});
  EXPECT_EQ(no_dictionary.status, kExitFailure);
  EXPECT_TRUE(no_dictionary.err.starts_with("vellum-cli: rebuild: ")) << no_dictionary.err;
}

// ---------------------------------------------------------------------------
// A table directory others can write

// Table `name` of ID Integer (the key) with `rows` rows in `directory`.
void CreateIdTable(const std::string& directory, const std::string& name, int rows) {
  fs::create_directories(directory);
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  Table::Create(directory, name, def);
  auto t = Table::Open(directory, name, {.writable = true});
  for (int i = 1; i <= rows; ++i) t->insert({int64_t{i}});
}

TEST_F(RebuildCommandTest, ATableWhoseFilesAreLinksIsRefusedInEveryModeAndNothingIsWritten) {
  DescribeShopTables();
  const std::string elsewhere = dir_.file("elsewhere");
  CreateIdTable(elsewhere, "Beta", 3);
  for (const char* ext : {".DB", ".PX"}) {
    fs::create_symlink(elsewhere + "/Beta" + ext, shop_ + "/Beta" + ext);
  }
  const auto victim = Snapshot(elsewhere);
  const std::string refusal = "Cannot rebuild table \"Beta\": its file \"" + shop_ +
                              "/Beta.DB\" is a symbolic link, and nothing is written through a "
                              "link; put the table's own files in its place";
  const std::string bak = dir_.file("bak");
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{}, {"-c"}, {"-b", bak}, {"--plan"}, {"-c", "--plan"}}) {
    std::vector<std::string> args = {"-p", dict_, "-a", "SHOP"};
    args.insert(args.end(), mode.begin(), mode.end());
    const Result r = Rebuild(args);
    EXPECT_EQ(r.status, kExitFailure) << testing::PrintToString(mode);
    EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
    EXPECT_EQ(Snapshot(elsewhere), victim) << testing::PrintToString(mode);
    EXPECT_FALSE(fs::exists(bak + "/Beta.DB"));
  }
}

TEST_F(RebuildCommandTest, ABackupNeverFollowsALinkInTheBackupDirectory) {
  DescribeShopTables();
  CreateIdTable(shop_, "Beta", 2);
  const std::string bak = dir_.file("bak");
  const std::string outside = dir_.file("outside");
  fs::create_directories(bak);
  fs::create_directories(outside);
  fs::create_symlink(outside + "/Beta.DB", bak + "/Beta.DB");  // dangling
  const auto before = Snapshot(shop_);
  const Result r = Rebuild({"-p", dict_, "-a", "SHOP", "-b", bak});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_NE(r.err.find("\"" + bak + "/Beta.DB\": it is a symbolic link, which is never followed"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(Snapshot(outside).empty());
  EXPECT_EQ(Snapshot(shop_), before);
}

TEST_F(RebuildCommandTest, LinksPlantedInTheWorkAreaNeverLeadOutsideIt) {
  DescribeShopTables();
  CreateIdTable(shop_, "Beta", 2);
  const std::string victim = dir_.file("victim");
  fs::create_directories(victim);
  WriteFile(victim + "/precious.txt", "a file outside the directory");
  WriteFile(victim + "/Beta.DB", "not a table of this directory");
  const auto before = Snapshot(victim);
  fs::create_directories(shop_ + "/.new-tables");
  fs::create_directory_symlink(victim, shop_ + "/.new-tables/discarded");
  const Result r = Rebuild({"-p", dict_, "-a", "SHOP", "-c"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(Snapshot(victim), before);
  EXPECT_EQ(Table::Open(shop_, "Beta")->recordCount(), 0u);

  // A lock file that is a link: refused before any table is deleted.
  CreateIdTable(shop_, "Beta", 2);
  fs::create_directories(shop_ + "/.new-tables");
  fs::create_symlink(victim + "/precious.txt", shop_ + "/.new-tables/LOCK");
  const Result locked = Rebuild({"-p", dict_, "-a", "SHOP", "-c"});
  EXPECT_EQ(locked.status, kExitFailure);
  EXPECT_EQ(locked.err, "vellum-cli: rebuild: Cannot use \"" + shop_ +
                            "/.new-tables/LOCK\" for this program's work: it is a symbolic link, "
                            "which is never followed; remove it and try again\n");
  EXPECT_EQ(Snapshot(victim), before);
  EXPECT_EQ(Table::Open(shop_, "Beta")->recordCount(), 2u);
}

TEST_F(RebuildCommandTest, AWorkDirectoryPlantedAsALinkIsRefusedByThePlanAndTheRun) {
  DescribeShopTables();
  CreateIdTable(shop_, "Beta", 2);
  const std::string victim = dir_.file("victim");
  fs::create_directories(victim);
  WriteFile(victim + "/precious.txt", "a file outside the directory");
  fs::create_directory_symlink(victim, shop_ + "/.new-tables");
  const auto before = Snapshot(victim);
  const std::string refusal = "vellum-cli: rebuild: Cannot use \"" + shop_ +
                              "/.new-tables\" for this program's work: it is a symbolic link, "
                              "which is never followed; remove it and try again\n";
  for (const bool plan : {true, false}) {
    std::vector<std::string> args = {"-p", dict_, "-a", "SHOP", "-c"};
    if (plan) args.emplace_back("--plan");
    const Result r = Rebuild(args);
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.err, refusal);
    EXPECT_EQ(Snapshot(victim), before);
    EXPECT_EQ(Table::Open(shop_, "Beta")->recordCount(), 2u);
  }
}

TEST_F(RebuildCommandTest, TablesWhoseNamesDifferOnlyInLetterCaseAreRefusedAndBothKept) {
  WithDictionary([](dictionary::TdmDataDictionary& dm) {
    test::AddTableRow(dm, "SHOP", "ORDERS");
    test::AddFieldRow(dm, {"ID", "Integer", {}});
    test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
  });
  CreateIdTable(shop_, "ORDERS", 2);
  const std::string other = dir_.file("other");
  CreateIdTable(other, "Orders", 5);
  // Copied as Orders.db and Orders.px.
  for (const auto& entry : fs::directory_iterator(other)) {
    std::string name = entry.path().filename().string();
    for (size_t i = name.find('.'); i < name.size(); ++i)
      name[i] = static_cast<char>(std::tolower(name[i]));
    fs::copy_file(entry.path(), shop_ + "/" + name);
  }
  const auto before = Snapshot(shop_);
  for (const char* mode : {"-c", "--plan"}) {
    const Result r = Rebuild({"-p", dict_, "-t", "SHOP.ORDERS", "-d", shop_, mode});
    EXPECT_EQ(r.status, kExitFailure) << mode;
    EXPECT_NE(r.err.find("Table \"ORDERS\" cannot be told apart from another: \"" + shop_ +
                         "/ORDERS.DB\" and \"" + shop_ +
                         "/Orders.db\" differ only in letter case; rename or move one of them"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Snapshot(shop_), before) << mode;
  }
  const Result dump = Invoke({"dump", shop_ + "/Orders"});
  EXPECT_EQ(dump.status, kExitFailure);
  EXPECT_NE(dump.err.find("cannot be told apart"), std::string::npos) << dump.err;
}

TEST_F(RebuildCommandTest, AUsersFileUnderAJournalsNameIsKeptByReadersAndReportedByVerify) {
  CreateIdTable(shop_, "SALES", 2);
  WriteFile(shop_ + "/SALES.JNL", "calls to make on Monday\n");
  const std::string warning = "vellum-cli: warning: \"" + shop_ +
                              "/SALES.JNL\" is not a restructure journal of this program; it was "
                              "left alone\n";
  const Result dump = Invoke({"dump", shop_ + "/SALES"});
  EXPECT_EQ(dump.status, kExitOk) << dump.err;
  EXPECT_EQ(dump.err, warning);
  const Result verify = Invoke({"verify", shop_ + "/SALES"});
  EXPECT_EQ(verify.status, kExitFailure);
  EXPECT_NE(verify.err.find(warning), std::string::npos) << verify.err;
  EXPECT_EQ(ReadFile(shop_ + "/SALES.JNL"), "calls to make on Monday\n");
}

// ---------------------------------------------------------------------------
// The command line's Ui

// A table file the user may not write (its directory writable): the plan
// names the file and the missing permission, and the run refuses with the
// same message before anything is written, in every mode.
TEST_F(RebuildCommandTest, ATableFileTheUserMayNotWriteIsRefusedByThePlanAndTheRun) {
  WithDictionary([](dictionary::TdmDataDictionary& dm) {
    test::AddTableRow(dm, "SHOP", "T");
    test::AddFieldRow(dm, {"ID", "Integer", {}, "", "", "", true});
    test::AddFieldRow(dm, {"NAME", "String", 12});
    test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
  });
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0, true},
                FieldDef{"NAME", FieldType::kString, 20}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  engine::paradox::ValidityCheck check;
  check.field_number = 1;
  check.has_min = true;
  def.checks = {check};
  Table::Create(shop_, "T", def);
  {
    auto t = Table::Open(shop_, "T", {.writable = true});
    t->insert({int64_t{1}, std::string("Apple")});
  }
  ASSERT_TRUE(fs::exists(shop_ + "/T.VAL"));
  const auto before = Snapshot(shop_);
  test::RefusingFileSystem refusing(engine::FileSystem::Default());
  refusing.write_protected = [](const std::string& path) { return path.ends_with("/T.VAL"); };
  engine::FileSystem::SetDefault(&refusing);
  const std::string failure = "Cannot rebuild table \"T\": its file \"" + shop_ +
                              "/T.VAL\" may not be written (no write permission), and the "
                              "rebuild would replace it; give write permission on it, or leave "
                              "the table out";
  for (const std::vector<std::string>& mode :
       std::vector<std::vector<std::string>>{{"-t", "SHOP.T", "-d", shop_},
                                             {"-a", "SHOP"},
                                             {"-a", "SHOP", "-c"},
                                             {"-t", "SHOP.T", "-d", shop_, "-c"}}) {
    std::vector<std::string> args = {"-p", dict_};
    args.insert(args.end(), mode.begin(), mode.end());
    SCOPED_TRACE(args[2] + " " + args[3] + (mode.back() == "-c" ? " -c" : ""));
    args.push_back("--plan");
    const Result plan = Rebuild(args);
    EXPECT_EQ(plan.status, kExitFailure);
    const std::vector<std::string> lines = Lines(plan.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  fails: " + failure), lines.end())
        << plan.out;
    args.pop_back();
    const Result run = Rebuild(args);
    EXPECT_EQ(run.status, kExitFailure);
    EXPECT_NE(run.err.find(failure), std::string::npos) << run.err;
    EXPECT_EQ(Snapshot(shop_), before);
  }
  engine::FileSystem::SetDefault(nullptr);
}

TEST(ConsoleUiTest, ProgressGoesToTheOutputAndMessagesToTheErrorStream) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  ConsoleUi ui(in, out, err, false, "p: ");
  ui.progress("Regenerating \"S.T\"...");
  EXPECT_EQ(ui.ask(MessageKind::kError, "Wrong alias", Buttons::kOk), Answer::kOk);
  ui.message(MessageKind::kInformation, "line one\r\nline two");
  EXPECT_EQ(out.str(), "Regenerating \"S.T\"...\n");
  EXPECT_EQ(err.str(), "p: Wrong alias\np: line one\np: line two\n");
}

TEST(ConsoleUiTest, WithoutATerminalQuestionsGetTheSafeAnswer) {
  std::istringstream in("yes\nyes\nyes\n");
  std::ostringstream out;
  std::ostringstream err;
  ConsoleUi ui(in, out, err, false, "p: ");
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Go on?", Buttons::kYesNo), Answer::kNo);
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Go on?", Buttons::kOkCancel), Answer::kCancel);
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Go on?", Buttons::kYesNoCancelAll),
            Answer::kCancel);
  EXPECT_EQ(err.str(),
            "p: Go on?\np: no terminal to answer from; answering No\n"
            "p: Go on?\np: no terminal to answer from; answering Cancel\n"
            "p: Go on?\np: no terminal to answer from; answering Cancel\n");
  EXPECT_EQ(in.tellg(), 0);  // nothing was read
}

TEST(ConsoleUiTest, OnATerminalQuestionsAreAnsweredUntilTheAnswerIsValid) {
  std::istringstream in("maybe\n  NO \na\n");
  std::ostringstream out;
  std::ostringstream err;
  ConsoleUi ui(in, out, err, true, "p: ");
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Go on?", Buttons::kYesNo), Answer::kNo);
  EXPECT_EQ(err.str(), "p: Go on?\np: [y]es, [n]o? p: [y]es, [n]o? ");
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Again?", Buttons::kYesNoCancelAll), Answer::kAll);
  // At the end of the input the safe answer is taken.
  EXPECT_EQ(ui.ask(MessageKind::kConfirmation, "Once more?", Buttons::kOkCancel), Answer::kCancel);
}

}  // namespace
}  // namespace vellum::cli
