#include "rebuild/table_regenerator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::rebuild {
namespace {

namespace fs = std::filesystem;

using dictionary::TdmDataDictionary;
using engine::EDBEngineError;
using engine::FieldType;
using engine::Operation;
using engine::TableDescriptor;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using test::FieldRow;
using test::IndexRow;

// Thrown by the test hook to stop a rebuild right before the engine call.
struct StopBeforeBuild {};

using test::ReadFile;
using test::WriteFile;

bool Exists(const std::string& path) { return fs::exists(path); }

std::set<std::string> FileNames(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A dictionary in <temp>/dict and an output directory <temp>/out. The hook
// keeps a copy of every descriptor that reaches the engine call and, when
// `stop_` is set, stops the rebuild there.
class TableRegeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
  }

  std::unique_ptr<TTableRegenerator> MakeRegenerator() {
    auto regenerator = std::make_unique<TTableRegenerator>(*dm_, ui_);
    regenerator->before_build = [this](const TableDescriptor& d) {
      built_.push_back(d);
      if (stop_) throw StopBeforeBuild{};
    };
    return regenerator;
  }

  // SHOP.T in the dictionary: ID Integer, NAME String (name_size), PRICE
  // Currency; primary key ID, the single-field index NAME and the composite
  // index ByNamePrice.
  void AddDictionaryT(int name_size = 20) {
    test::AddTableRow(*dm_, "SHOP", "T");
    test::AddFieldRow(*dm_, {"ID", "Integer", {}});
    test::AddFieldRow(*dm_, {"NAME", "String", name_size});
    test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
    test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
    test::AddIndexRow(*dm_, {"NAME", "NAME"});
    test::AddIndexRow(*dm_, {"ByNamePrice", "NAME;PRICE"});
  }

  // T as the dictionary first described it, created in the output directory
  // with two rows.
  void CreateExistingT() {
    fs::create_directories(out_);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20},
                  FieldDef{"PRICE", FieldType::kCurrency, 0}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"NAME", {"NAME"}},
                   IndexDef{"ByNamePrice", {"NAME", "PRICE"}}};
    Table::Create(out_, "T", def);
    auto t = Table::Open(out_, "T", {.writable = true});
    t->insert({int64_t{1}, std::string("Apple"), 1.5});
    t->insert({int64_t{2}, std::string("Pear"), 2.25});
    t.reset();
    // The layout the expectations below rest on.
    ASSERT_TRUE(Exists(out_ + "/T.PX"));
    ASSERT_TRUE(Exists(out_ + "/T.X02"));
    ASSERT_TRUE(Exists(out_ + "/T.XG0"));
  }

  // Rebuilds SHOP.T stopping before the engine call; returns the descriptor.
  TableDescriptor DescriptorForT() {
    stop_ = true;
    auto regenerator = MakeRegenerator();
    EXPECT_THROW(regenerator->RegenerateTable("SHOP", "T", out_), StopBeforeBuild);
    EXPECT_EQ(built_.size(), 1u);
    return built_.empty() ? TableDescriptor{} : built_.back();
  }

  test::TempDir dir_;
  std::string dict_ = dir_.path() + "/dict";
  std::string out_ = dir_.path() + "/out";
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
  std::vector<TableDescriptor> built_;
  bool stop_ = false;
};

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST_F(TableRegeneratorTest, TableMissingFromTheDictionaryFailsBeforeAnythingIsTouched) {
  AddDictionaryT();
  auto regenerator = MakeRegenerator();
  const std::string nested = out_ + "/a/b";
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("SHOP", "NOPE", nested); }),
            "Table \"NOPE\" is not present in the datadictionary");
  EXPECT_FALSE(Exists(out_));
  // The right name under another alias is no match either.
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("OTHER", "T", nested); }),
            "Table \"T\" is not present in the datadictionary");
  EXPECT_FALSE(Exists(out_));

  // An existing directory keeps the named table's index files.
  fs::create_directories(out_);
  WriteFile(out_ + "/NOPE.PX", "x");
  EXPECT_THROW(regenerator->RegenerateTable("SHOP", "NOPE", out_), Error);
  EXPECT_TRUE(Exists(out_ + "/NOPE.PX"));
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, ANameWithAPathIsRefusedBeforeAnythingIsTouched) {
  test::AddTableRow(*dm_, "SHOP", "../ESCAPE");
  test::AddFieldRow(*dm_, {"ID", "Integer"});
  auto regenerator = MakeRegenerator();
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("SHOP", "../ESCAPE", out_ + "/x"); }),
            "Invalid table name \"../ESCAPE\": a table name cannot contain a path");
  EXPECT_FALSE(Exists(out_));
  EXPECT_FALSE(Exists(out_ + "/ESCAPE.DB"));
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, TableIsFoundWithoutRegardToLetterCase) {
  AddDictionaryT();
  stop_ = true;
  auto regenerator = MakeRegenerator();
  EXPECT_THROW(regenerator->RegenerateTable("shop", "t", out_), StopBeforeBuild);
  ASSERT_EQ(built_.size(), 1u);
  EXPECT_EQ(built_[0].table_path, out_ + "/t");
  EXPECT_EQ(built_[0].fields.size(), 3u);
}

TEST_F(TableRegeneratorTest, MissingNestedOutputDirectoryIsCreatedAndTheTableAddedWhole) {
  AddDictionaryT();
  test::AddFieldRow(*dm_, {"QTY", "Integer", {}, "0", "", ""});
  const std::string nested = out_ + "/a/b/c";
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateTable("SHOP", "T", nested);

  EXPECT_TRUE(fs::is_directory(nested));
  ASSERT_EQ(built_.size(), 1u);
  const TableDescriptor& d = built_[0];
  EXPECT_EQ(d.table_path, nested + "/T");
  EXPECT_EQ(d.password, "");
  EXPECT_EQ(d.field_operations, std::vector<Operation>(4, Operation::kAdd));
  for (const auto& f : d.fields) EXPECT_EQ(f.field_number, 0) << f.name;
  EXPECT_EQ(d.index_operations, std::vector<Operation>(3, Operation::kAdd));
  EXPECT_EQ(d.check_operations, std::vector<Operation>(1, Operation::kAdd));
  ASSERT_EQ(d.optional_parameters.size(), 1u);
  EXPECT_EQ(d.optional_parameters[0].name, "LEVEL");
  EXPECT_EQ(d.optional_parameters[0].value, "7");

  // The engine created it empty, at level 7, with its indexes.
  auto t = Table::Open(nested, "T");
  EXPECT_EQ(t->structure().level, "7");
  EXPECT_EQ(t->recordCount(), 0u);
  ASSERT_EQ(t->structure().fields.size(), 4u);
  EXPECT_EQ(t->structure().fields[1].name, "NAME");
  EXPECT_EQ(t->structure().fields[1].size, 20);
  ASSERT_EQ(t->structure().indexes.size(), 3u);
  EXPECT_TRUE(t->structure().indexes[0].primary);
  EXPECT_EQ(t->structure().indexes[0].key_fields, std::vector<std::string>{"ID"});
  EXPECT_EQ(t->structure().checks.size(), 1u);
}

TEST_F(TableRegeneratorTest, DirectoryThatCannotBeCreatedIsReported) {
  AddDictionaryT();
  WriteFile(dir_.file("blocker"), "a file, not a directory");
  const std::string below_file = dir_.file("blocker") + "/sub";
  auto regenerator = MakeRegenerator();
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("SHOP", "T", below_file); }),
            "Cannot create directory \"" + below_file + "\"");
  // A path that is a file is no directory either.
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("SHOP", "T", dir_.file("blocker")); }),
            "Cannot create directory \"" + dir_.file("blocker") + "\"");
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, ATableThatFailsItsChecksLeavesNoNewDirectoryBehind) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"BAD", "Bogus", {}});
  auto regenerator = MakeRegenerator();
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateTable("SHOP", "T", out_ + "/new"); }),
            "Unknown data type \"Bogus\"");
  EXPECT_FALSE(Exists(out_));
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, UnchangedTableCopiesFieldsAndRedoesTheIndexesStillThere) {
  AddDictionaryT();
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.field_operations,
            (std::vector<Operation>{Operation::kCopy, Operation::kCopy, Operation::kCopy}));
  ASSERT_EQ(d.fields.size(), 3u);
  EXPECT_EQ(d.fields[0].field_number, 1);
  EXPECT_EQ(d.fields[1].field_number, 2);
  EXPECT_EQ(d.fields[2].field_number, 3);
  // Index rows in name order: *PRIMARY*, ByNamePrice, NAME. The primary key
  // is reported from the data file and NAME from its .X02, which a rebuild
  // carries over; ByNamePrice's .XG0 is made anew, so it counts as added.
  ASSERT_EQ(d.indexes.size(), 3u);
  EXPECT_TRUE(d.indexes[0].primary);
  EXPECT_EQ(d.indexes[1].name, "ByNamePrice");
  EXPECT_EQ(d.indexes[2].name, "NAME");
  EXPECT_EQ(d.index_operations,
            (std::vector<Operation>{Operation::kRedo, Operation::kAdd, Operation::kRedo}));
  EXPECT_TRUE(d.check_operations.empty());
}

TEST_F(TableRegeneratorTest, WidenedStringIsModified) {
  AddDictionaryT(30);
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.field_operations,
            (std::vector<Operation>{Operation::kCopy, Operation::kModify, Operation::kCopy}));
  ASSERT_EQ(d.fields.size(), 3u);
  EXPECT_EQ(d.fields[1].field_number, 2);
}

TEST_F(TableRegeneratorTest, TypeChangeIsModified) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 20});
  test::AddFieldRow(*dm_, {"PRICE", "Float", {}});  // was Currency: same length, other subtype
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.field_operations,
            (std::vector<Operation>{Operation::kCopy, Operation::kCopy, Operation::kModify}));
  EXPECT_TRUE(d.index_operations.empty());
}

TEST_F(TableRegeneratorTest, FieldOnlyInTheDictionaryIsAddedWithFieldNumberZero) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 20});
  test::AddFieldRow(*dm_, {"NOTE", "String", 10});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.field_operations, (std::vector<Operation>{Operation::kCopy, Operation::kCopy,
                                                        Operation::kAdd, Operation::kCopy}));
  ASSERT_EQ(d.fields.size(), 4u);
  EXPECT_EQ(d.fields[0].field_number, 1);
  EXPECT_EQ(d.fields[1].field_number, 2);
  EXPECT_EQ(d.fields[2].field_number, 0);
  EXPECT_EQ(d.fields[3].field_number, 3);
}

TEST_F(TableRegeneratorTest, FieldNameDifferingOnlyInCaseIsMatchedAndKeepsItsNumber) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"Price", "Currency", {}});
  test::AddFieldRow(*dm_, {"id", "Integer", {}});
  test::AddFieldRow(*dm_, {"name", "String", 20});
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.field_operations,
            (std::vector<Operation>{Operation::kCopy, Operation::kCopy, Operation::kCopy}));
  ASSERT_EQ(d.fields.size(), 3u);
  EXPECT_EQ(d.fields[0].field_number, 3);
  EXPECT_EQ(d.fields[1].field_number, 1);
  EXPECT_EQ(d.fields[2].field_number, 2);
}

TEST_F(TableRegeneratorTest, KeyTextDifferingOnlyInCaseIsModifiedNotRedone) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 20});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
  test::AddIndexRow(*dm_, {"name", "name"});  // the index NAME, name and key in lower case
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  ASSERT_EQ(d.indexes.size(), 2u);
  EXPECT_EQ(d.index_operations, (std::vector<Operation>{Operation::kRedo, Operation::kModify}));
}

TEST_F(TableRegeneratorTest, IndexOptionThatDiffersIsModified) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 20});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, false});  // the engine's primary is unique
  test::AddIndexRow(*dm_, {"NAME", "NAME", false, false, false, true});
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.index_operations, (std::vector<Operation>{Operation::kModify, Operation::kModify}));
}

TEST_F(TableRegeneratorTest, ValidityChecksAreAlwaysAdded) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}, "1"});
  test::AddFieldRow(*dm_, {"NAME", "String", 20, "", "", "x"});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  CreateExistingT();
  const TableDescriptor d = DescriptorForT();
  EXPECT_EQ(d.check_operations, (std::vector<Operation>{Operation::kAdd, Operation::kAdd}));
}

TEST(IsRebuiltIndexFileTest, TakesPrimaryCompositeAndValidityFilesWithoutRegardToCase) {
  for (const char* name : {"ORDERS.PX", "orders.px", "Orders.Val", "ORDERS.xG1", "ORDERS.yg1",
                           "ORDERS.XG0", "ORDERS.YGF"}) {
    EXPECT_TRUE(IsRebuiltIndexFile(name)) << name;
  }
  for (const char* name : {"ORDERS.DB", "ORDERS.MB", "ORDERS.X02", "ORDERS.Y02", "ORDERS.XG",
                           "ORDERS", "ORDERS.TXT"}) {
    EXPECT_FALSE(IsRebuiltIndexFile(name)) << name;
  }
}

TEST_F(TableRegeneratorTest, NoFileIsTouchedBeforeTheEngineSwapsTheTable) {
  AddDictionaryT();
  CreateExistingT();
  WriteFile(out_ + "/T.VAL", "a validity file the new definition does not have");
  std::map<std::string, std::string> before;
  for (const auto& name : FileNames(out_)) before[name] = ReadFile(out_ + "/" + name);
  stop_ = true;
  auto regenerator = MakeRegenerator();
  EXPECT_THROW(regenerator->RegenerateTable("SHOP", "T", out_), StopBeforeBuild);
  std::map<std::string, std::string> after;
  for (const auto& name : FileNames(out_)) after[name] = ReadFile(out_ + "/" + name);
  EXPECT_TRUE(before == after);
}

TEST_F(TableRegeneratorTest, TheRebuiltTableHasExactlyTheNewFiles) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 20});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
  CreateExistingT();
  WriteFile(out_ + "/T.VAL", "a validity file the new definition does not have");
  WriteFile(out_ + "/T.TXT", "a user's notes");
  MakeRegenerator()->RegenerateTable("SHOP", "T", out_);
  // The single-field and composite indexes and the validity file went with
  // the swap; the user's file is no file of the table.
  EXPECT_EQ(FileNames(out_), (std::set<std::string>{"T.DB", "T.PX", "T.TXT"}));
  EXPECT_EQ(Table::Open(out_, "T")->recordCount(), 2u);
}

TEST_F(TableRegeneratorTest, PresentTableThatCannotBeOpenedShowsTheBoxAndFails) {
  test::AddTableRow(*dm_, "SHOP", "ORDERS");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  fs::create_directories(out_);
  WriteFile(out_ + "/orders.db", "not a table");
  auto regenerator = MakeRegenerator();
  EXPECT_THROW(regenerator->RegenerateTable("SHOP", "ORDERS", out_), EDBEngineError);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text,
            "Table \"ORDERS\" exists in the specified directory, but I'm not able to open it");
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kPlain);
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, TableInUseElsewhereShowsTheBoxAndFailsWithTheLockError) {
  AddDictionaryT();
  CreateExistingT();
  auto holder = Table::Open(out_, "T", {.writable = false, .exclusive = true});
  auto regenerator = MakeRegenerator();
  try {
    regenerator->RegenerateTable("SHOP", "T", out_);
    ADD_FAILURE() << "the rebuild of a table in use succeeded";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), engine::ErrorCategory::kLockConflict);
  }
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text,
            "Table \"T\" exists in the specified directory, but I'm not able to open it");
  EXPECT_TRUE(built_.empty());
}

TEST_F(TableRegeneratorTest, RestructureKeepsTheRows) {
  test::AddTableRow(*dm_, "SHOP", "T");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 30});
  test::AddFieldRow(*dm_, {"NOTE", "String", 10});
  test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
  test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
  test::AddIndexRow(*dm_, {"ByNamePrice", "NAME;PRICE"});
  CreateExistingT();
  // Without properties recorded in the dictionary the table keeps its own.
  const std::string level_before = Table::Open(out_, "T")->structure().level;
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateTable("SHOP", "T", out_);

  auto t = Table::Open(out_, "T");
  const auto& st = t->structure();
  EXPECT_EQ(st.level, level_before);
  ASSERT_EQ(st.fields.size(), 4u);
  EXPECT_EQ(st.fields[1].size, 30);
  EXPECT_EQ(st.fields[2].name, "NOTE");
  ASSERT_EQ(t->recordCount(), 2u);
  auto row = t->read(0);
  EXPECT_EQ(row[0], engine::Value{int64_t{1}});
  EXPECT_EQ(row[1], engine::Value{std::string("Apple")});
  EXPECT_TRUE(engine::IsNull(row[2]));
  EXPECT_EQ(row[3], engine::Value{1.5});
  ASSERT_EQ(st.indexes.size(), 2u);
  EXPECT_EQ(st.indexes[1].name, "ByNamePrice");
  EXPECT_FALSE(Exists(out_ + "/T.X02"));  // the index NAME is no longer defined
  EXPECT_TRUE(t->verify().empty());
}

TEST_F(TableRegeneratorTest, RegeneratorLeavesTheDataModuleViewsWhereTheyAre) {
  AddDictionaryT();
  test::AddTableRow(*dm_, "SHOP", "U");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  ASSERT_EQ(dm_->tblTables.fieldByName("Nome").asString(), "U");
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateTable("SHOP", "T", out_);
  EXPECT_EQ(dm_->tblTables.fieldByName("Nome").asString(), "U");
  EXPECT_EQ(dm_->tblFields.recordCount(), 1u);
  EXPECT_TRUE(Exists(out_ + "/T.DB"));
}

// Three tables under SHOP, added out of order, and one under OTHER.
class RegenerateAliasTest : public TableRegeneratorTest {
 protected:
  void SetUp() override {
    TableRegeneratorTest::SetUp();
    for (const char* name : {"Zeta", "alpha", "Beta"}) {
      test::AddTableRow(*dm_, "SHOP", name);
      test::AddFieldRow(*dm_, {"ID", "Integer", {}});
      test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
    }
    test::AddTableRow(*dm_, "OTHER", "Gamma");
    test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  }
};

TEST_F(RegenerateAliasTest, RebuildsEveryTableOfTheAliasInNameOrder) {
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateAlias("SHOP", out_);
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Regenerating \"SHOP.alpha\"...",
                                                          "Regenerating \"SHOP.Beta\"...",
                                                          "Regenerating \"SHOP.Zeta\"..."}));
  EXPECT_EQ(ui_.events_processed, 3);
  ASSERT_EQ(built_.size(), 3u);
  EXPECT_EQ(built_[0].table_path, out_ + "/alpha");
  EXPECT_EQ(built_[1].table_path, out_ + "/Beta");
  EXPECT_EQ(built_[2].table_path, out_ + "/Zeta");
  EXPECT_TRUE(Exists(out_ + "/alpha.DB"));
  EXPECT_TRUE(Exists(out_ + "/Beta.DB"));
  EXPECT_TRUE(Exists(out_ + "/Zeta.DB"));
  EXPECT_FALSE(Exists(out_ + "/Gamma.DB"));
}

TEST_F(RegenerateAliasTest, FirstFailureEndsTheWalk) {
  // Beta's definition cannot be built.
  ASSERT_TRUE(dm_->tblTables.findKey({std::string("SHOP"), std::string("Beta")}));
  test::AddFieldRow(*dm_, {"BAD", "Bogus", {}});
  auto regenerator = MakeRegenerator();
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateAlias("SHOP", out_); }),
            "Unknown data type \"Bogus\"");
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Regenerating \"SHOP.alpha\"...",
                                                          "Regenerating \"SHOP.Beta\"..."}));
  EXPECT_TRUE(Exists(out_ + "/alpha.DB"));
  EXPECT_FALSE(Exists(out_ + "/Beta.DB"));
  EXPECT_FALSE(Exists(out_ + "/Zeta.DB"));
  EXPECT_EQ(built_.size(), 1u);
}

TEST_F(RegenerateAliasTest, AStopRequestEndsTheWalkBeforeTheNextTable) {
  auto regenerator = MakeRegenerator();
  ui_.stop_after_steps = 2;
  EXPECT_FALSE(regenerator->RegenerateAlias("SHOP", out_));
  ASSERT_EQ(ui_.progress_steps.size(), 2u);
  EXPECT_EQ(ui_.progress_steps[1].text, "Regenerating \"SHOP.Beta\"...");
  EXPECT_EQ(ui_.progress_steps[1].done, 1u);
  EXPECT_EQ(ui_.progress_steps[1].total, 3u);
  EXPECT_EQ(built_.size(), 2u);
  EXPECT_TRUE(Exists(out_ + "/Beta.DB"));
  EXPECT_FALSE(Exists(out_ + "/Zeta.DB"));

  ui_ = test::ScriptedUi{};
  EXPECT_TRUE(MakeRegenerator()->RegenerateAlias("SHOP", out_));
  EXPECT_TRUE(Exists(out_ + "/Zeta.DB"));
}

TEST_F(RegenerateAliasTest, AliasIsFoundWithoutRegardToCaseAndShownAsPassed) {
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateAlias("shop", out_);
  ASSERT_EQ(ui_.progress_texts.size(), 3u);
  EXPECT_EQ(ui_.progress_texts[0], "Regenerating \"shop.alpha\"...");
}

TEST_F(RegenerateAliasTest, WithoutProgressOnlyEventsAreProcessed) {
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateAlias("SHOP", out_, false);
  EXPECT_TRUE(ui_.progress_texts.empty());
  EXPECT_EQ(ui_.events_processed, 3);
  EXPECT_EQ(built_.size(), 3u);
}

TEST_F(RegenerateAliasTest, UnknownAliasFails) {
  auto regenerator = MakeRegenerator();
  EXPECT_EQ(ErrorOf([&] { regenerator->RegenerateAlias("NOPE", out_); }),
            "Alias \"NOPE\" is not present in the datadictionary");
  EXPECT_TRUE(ui_.progress_texts.empty());
  EXPECT_FALSE(Exists(out_));
}

TEST_F(RegenerateAliasTest, OtherAliasesAreFoundAgainAfterAnAliasRun) {
  auto regenerator = MakeRegenerator();
  regenerator->RegenerateAlias("SHOP", out_);
  regenerator->RegenerateTable("OTHER", "Gamma", out_);
  EXPECT_TRUE(Exists(out_ + "/Gamma.DB"));
}

}  // namespace
}  // namespace vellum::rebuild
