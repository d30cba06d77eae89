#include "rebuild/batch_rebuild.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "engine/paradox/table.h"
#include "rebuild/table_regenerator.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::rebuild {
namespace {

namespace fs = std::filesystem;

using dictionary::TdmDataDictionary;
using engine::FieldType;
using engine::Operation;
using engine::TableDescriptor;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

using test::ReadFile;
using test::WriteFile;

bool Exists(const std::string& path) { return fs::exists(path); }

// Names of the regular files of a directory.
std::set<std::string> FileNames(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  }
  return names;
}

const auto Snapshot = &test::SnapshotFiles;

// ---------------------------------------------------------------------------
// Reading the options

TEST(ParseBatchOptionsTest, StartsEmpty) {
  const BatchOptions o = ParseBatchOptions({});
  EXPECT_FALSE(o.show_help);
  EXPECT_FALSE(o.recreate);
  EXPECT_EQ(o.project_directory, "");
  EXPECT_EQ(o.backup_directory, "");
  EXPECT_EQ(o.work_directory, "");
  EXPECT_EQ(o.table_text, "");
  EXPECT_EQ(o.alias, "");
  EXPECT_EQ(o.unknown_option, "");
}

TEST(ParseBatchOptionsTest, ValueAfterTheLetterOrInTheNextArgumentMeanTheSame) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"-p", "C:\\DICT", "-a", "SALES"},
                                                                {"-pC:\\DICT", "-aSALES"},
                                                                {"-P", "C:\\DICT", "-A", "SALES"},
                                                                {"-PC:\\DICT", "-ASALES"}}) {
    const BatchOptions o = ParseBatchOptions(args);
    EXPECT_EQ(o.project_directory, "C:\\DICT") << args[0];
    EXPECT_EQ(o.alias, "SALES") << args[0];
    EXPECT_FALSE(o.show_help);
  }
}

TEST(ParseBatchOptionsTest, ReadsEveryOption) {
  const BatchOptions o =
      ParseBatchOptions({"-p", "/dict", "-B", "/bak", "-d/out", "-t", "SALES.ORDERS", "-C"});
  EXPECT_EQ(o.project_directory, "/dict");
  EXPECT_EQ(o.backup_directory, "/bak");
  EXPECT_EQ(o.work_directory, "/out");
  EXPECT_EQ(o.table_text, "SALES.ORDERS");
  EXPECT_TRUE(o.recreate);
  EXPECT_FALSE(o.show_help);
}

TEST(ParseBatchOptionsTest, ValueIsTheNextArgumentWhateverItLooksLike) {
  const BatchOptions o = ParseBatchOptions({"-p", "-a", "SALES"});
  EXPECT_EQ(o.project_directory, "-a");
  EXPECT_EQ(o.alias, "");  // SALES does not begin with "-" and is skipped
  EXPECT_FALSE(o.show_help);
  EXPECT_EQ(ValidateBatchOptions(o), "One of the options \"-t\" e \"-a\" MUST be specified");
}

TEST(ParseBatchOptionsTest, OnlyTheCharacterAfterTheDashCounts) {
  EXPECT_TRUE(ParseBatchOptions({"-cx"}).recreate);
  EXPECT_EQ(ParseBatchOptions({"-table.x"}).table_text, "able.x");
  const BatchOptions help = ParseBatchOptions({"-help", "-a", "S"});
  EXPECT_TRUE(help.show_help);
  EXPECT_EQ(help.alias, "S");
}

TEST(ParseBatchOptionsTest, ArgumentsNotBeginningWithADashAreSkipped) {
  const BatchOptions o = ParseBatchOptions({"junk", "", "-aS", "more"});
  EXPECT_EQ(o.alias, "S");
  EXPECT_FALSE(o.show_help);
}

TEST(ParseBatchOptionsTest, LaterOccurrenceReplacesTheEarlierValue) {
  const BatchOptions o = ParseBatchOptions({"-a", "FIRST", "-aSECOND"});
  EXPECT_EQ(o.alias, "SECOND");
}

TEST(ParseBatchOptionsTest, ValueOptionAtTheEndHasAnEmptyValue) {
  const BatchOptions o = ParseBatchOptions({"-p", "/dict", "-a", "S", "-p"});
  EXPECT_EQ(o.project_directory, "");
  EXPECT_EQ(o.alias, "S");
}

TEST(ParseBatchOptionsTest, UnknownOptionShowsHelpAndLeavesTheRestUnread) {
  const BatchOptions o = ParseBatchOptions({"-p", "/dict", "-x", "-a", "SALES"});
  EXPECT_TRUE(o.show_help);
  EXPECT_EQ(o.unknown_option, "-x");
  EXPECT_EQ(o.project_directory, "/dict");
  EXPECT_EQ(o.alias, "");

  const BatchOptions dash = ParseBatchOptions({"-", "-aS"});
  EXPECT_TRUE(dash.show_help);
  EXPECT_EQ(dash.unknown_option, "-");
  EXPECT_EQ(dash.alias, "");
}

TEST(ParseBatchOptionsTest, HelpInTheMiddleStillReadsEveryArgument) {
  for (const char* help : {"-?", "-h", "-H"}) {
    const BatchOptions o = ParseBatchOptions({"-p", "/dict", help, "-a", "SALES", "-c"});
    EXPECT_TRUE(o.show_help) << help;
    EXPECT_EQ(o.unknown_option, "") << help;
    EXPECT_EQ(o.alias, "SALES") << help;
    EXPECT_TRUE(o.recreate) << help;
  }
}

TEST(BatchHelpTextTest, IsTheTwentyLinesJoinedByCrLf) {
  const std::vector<std::string> lines = {
      "Tables rebuilding",
      "",
      "Option available:",
      "  -? o -h",
      "    Show this help",
      "  -p Dir",
      "    Obbliged! Specify the directory containing the DataDictionary (tables DDTables,",
      "    DDFields and DDIndex)",
      "  -b Dir",
      "    Optional: if specified a backup copy of the work directory will be made in DIR",
      "  -d Dir",
      "    Optional: if specified, work directory, where the tables will be created/rebuild",
      "    Otherwise the Alias directory will be used ",
      "  -t TableName",
      "    Rebuild a single table. The name is in the format AliasName.TableName",
      "  -a AliasName",
      "    Rebuild the alias specified",
      "  -c",
      "    Recreate the EMPTY tables, DELETING those existing",
      "The option \"-a\" e \"-t\" cannot be specified together",
  };
  std::string expected;
  for (size_t i = 0; i < lines.size(); ++i) expected += (i ? "\r\n" : "") + lines[i];
  EXPECT_EQ(BatchHelpText(), expected);
  EXPECT_FALSE(BatchHelpText().ends_with("\n"));
  EXPECT_NE(BatchHelpText().find("will be used \r\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Validating

TEST(ValidateBatchOptionsTest, GivesEachMessageInOrder) {
  BatchOptions o;
  o.table_text = "S.T";
  o.alias = "S";
  EXPECT_EQ(ValidateBatchOptions(o),
            "The directory containing the data description (ProjectDir, option \"-p\"), must be "
            "specified");
  o.project_directory = "/dict";
  EXPECT_EQ(ValidateBatchOptions(o), "The options \"-t\" and \"-a\" cannot be used together");
  o.table_text.clear();
  o.alias.clear();
  EXPECT_EQ(ValidateBatchOptions(o), "One of the options \"-t\" e \"-a\" MUST be specified");
  o.alias = "S";
  EXPECT_EQ(ValidateBatchOptions(o), "");
  o.alias.clear();
  o.table_text = "S.T";
  EXPECT_EQ(ValidateBatchOptions(o), "");
}

TEST(SplitTableTextTest, SplitsAtTheFirstPoint) {
  std::string alias;
  std::string table;
  ASSERT_TRUE(SplitTableText("SALES.ORDERS.OLD", &alias, &table));
  EXPECT_EQ(alias, "SALES");
  EXPECT_EQ(table, "ORDERS.OLD");
  EXPECT_FALSE(SplitTableText("ORDERS", &alias, &table));
}

class WorkDirectoryTest : public ::testing::Test {
 protected:
  WorkDirectoryTest() { WriteFile(dir_.file("aliases.conf"), "SALES STANDARD /data/sales\n"); }

  WorkDirectory Resolve(const std::vector<std::string>& args) {
    return ResolveWorkDirectory(ParseBatchOptions(args), session_);
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
};

TEST_F(WorkDirectoryTest, AliasModeWithoutDIsTheAliasDirectory) {
  const WorkDirectory w = Resolve({"-p", "/d", "-a", "sales"});
  EXPECT_EQ(w.error, "");
  EXPECT_EQ(w.path, "/data/sales");
  EXPECT_EQ(Resolve({"-p", "/d", "-a", "NOPE"}).error,
            "The specified alias doesn't exist in the BDE configuration");
}

TEST_F(WorkDirectoryTest, TableModeRequiresD) {
  EXPECT_EQ(Resolve({"-p", "/d", "-t", "SALES.ORDERS"}).error,
            "The work directory (OutputDir, option \"-d\"), must be specified rebuilding a single "
            "table");
  const WorkDirectory w = Resolve({"-p", "/d", "-t", "SALES.ORDERS", "-d", ":SALES:"});
  EXPECT_EQ(w.error, "");
  EXPECT_EQ(w.path, "/data/sales");
}

TEST_F(WorkDirectoryTest, ColonFormsNameAnAlias) {
  EXPECT_EQ(Resolve({"-a", "X", "-d", ":NOPE:"}).error, "Wrong alias");
  EXPECT_EQ(Resolve({"-a", "X", "-d", "::"}).error, "Wrong alias");
  EXPECT_EQ(Resolve({"-a", "X", "-d", ":"}).error, "Wrong alias");
  EXPECT_EQ(Resolve({"-a", "X", "-d", ":SALES"}).error, "Wrong work directory");
  // A colon elsewhere is part of a plain directory.
  const WorkDirectory w = Resolve({"-a", "X", "-d", "C:"});
  EXPECT_EQ(w.error, "");
  EXPECT_EQ(w.path, "C:");
  EXPECT_EQ(Resolve({"-a", "SALES", "-d", "/some/where"}).path, "/some/where");
}

// ---------------------------------------------------------------------------
// Files of the work and backup directories

class BatchFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(out_ + "/sub");
    fs::create_directories(bak_);
    for (const char* name : {"ORDERS.DB", "ORDERS.PX", "orders.x02", "Orders.MB", "ORDERSX.DB",
                             "OTHER.DB", "OTHER.PX", "README", "ORDERS.TXT", "STRAY.PX"}) {
      WriteFile(out_ + "/" + name, std::string("out:") + name);
    }
    WriteFile(out_ + "/sub/ORDERS.DB", "nested");
    for (const char* name : {"ORDERS.DB", "ORDERS.XG0", "OLD.DB"}) {
      WriteFile(bak_ + "/" + name, std::string("bak:") + name);
    }
  }

  BatchJob Job(const std::vector<std::string>& args) {
    BatchJob job;
    job.options = ParseBatchOptions(args);
    job.work_directory = out_;
    return job;
  }

  test::TempDir dir_;
  std::string out_ = dir_.path() + "/out";
  std::string bak_ = dir_.path() + "/bak";
  test::ScriptedUi ui_;
  engine::FileSystem& fs_ = engine::FileSystem::Default();
};

TEST_F(BatchFilesTest, AllFilesMeansTheFilesOfEveryTableAndNothingElse) {
  // README and ORDERS.TXT belong to no table; STRAY.PX has no data file.
  const std::vector<std::string> all = MatchingFiles(out_, FilePattern::AllFiles(), fs_);
  EXPECT_EQ(std::set<std::string>(all.begin(), all.end()),
            (std::set<std::string>{"ORDERS.DB", "ORDERS.PX", "orders.x02", "Orders.MB",
                                   "ORDERSX.DB", "OTHER.DB", "OTHER.PX"}));
}

TEST_F(BatchFilesTest, TableFilesIgnoreLetterCaseAndTakeTheNameLiterally) {
  const std::vector<std::string> orders =
      MatchingFiles(out_, FilePattern::TableFiles("Orders"), fs_);
  EXPECT_EQ(std::set<std::string>(orders.begin(), orders.end()),
            (std::set<std::string>{"ORDERS.DB", "ORDERS.PX", "orders.x02", "Orders.MB"}));
  EXPECT_TRUE(MatchingFiles(out_, FilePattern::TableFiles("*"), fs_).empty());
  EXPECT_TRUE(MatchingFiles(out_, FilePattern::TableFiles("ORD?RS"), fs_).empty());
  EXPECT_TRUE(MatchingFiles(dir_.file("missing"), FilePattern::AllFiles(), fs_).empty());
  EXPECT_EQ(FilePattern::TableFiles("Orders").text, "Orders.*");
  EXPECT_EQ(FilePattern::AllFiles().text, "*.*");
}

TEST_F(BatchFilesTest, RecreateInTableModeDeletesOnlyTheTablesFilesAndMakesNoBackup) {
  const auto backup_before = Snapshot(bak_);
  PrepareWorkDirectory(Job({"-t", "SALES.ORDERS", "-c", "-b", bak_}), "ORDERS", ui_, fs_);
  EXPECT_EQ(FileNames(out_), (std::set<std::string>{"ORDERSX.DB", "OTHER.DB", "OTHER.PX", "README",
                                                    "ORDERS.TXT", "STRAY.PX"}));
  EXPECT_TRUE(Exists(out_ + "/sub/ORDERS.DB"));
  EXPECT_EQ(Snapshot(bak_), backup_before);
  EXPECT_EQ(ui_.progress_texts,
            (std::vector<std::string>{"Deleting \"" + out_ + "/ORDERS.*\"..."}));
  EXPECT_GE(ui_.events_processed, 1);
}

TEST_F(BatchFilesTest, RecreateInAliasModeDeletesEveryTableButNoOtherFile) {
  PrepareWorkDirectory(Job({"-a", "SALES", "-c"}), "", ui_, fs_);
  EXPECT_EQ(FileNames(out_), (std::set<std::string>{"README", "ORDERS.TXT", "STRAY.PX"}));
  EXPECT_EQ(ReadFile(out_ + "/README"), "out:README");
  EXPECT_EQ(ReadFile(out_ + "/sub/ORDERS.DB"), "nested");
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Deleting \"" + out_ + "/*.*\"..."}));
}

TEST_F(BatchFilesTest, BackupInTableModeReplacesTheTablesFilesInTheBackup) {
  const auto work_before = Snapshot(out_);
  PrepareWorkDirectory(Job({"-t", "SALES.ORDERS", "-b", bak_}), "ORDERS", ui_, fs_);
  EXPECT_EQ(Snapshot(out_), work_before);
  // ORDERS.XG0 went with the table's other files; OLD.DB is no file of it.
  EXPECT_EQ(FileNames(bak_),
            (std::set<std::string>{"ORDERS.DB", "ORDERS.PX", "orders.x02", "Orders.MB", "OLD.DB"}));
  EXPECT_EQ(ReadFile(bak_ + "/ORDERS.DB"), "out:ORDERS.DB");
  EXPECT_EQ(ReadFile(bak_ + "/orders.x02"), "out:orders.x02");
  EXPECT_EQ(ReadFile(bak_ + "/OLD.DB"), "bak:OLD.DB");
  EXPECT_EQ(ui_.progress_texts,
            (std::vector<std::string>{
                "Deleting \"" + bak_ + "/ORDERS.*\"...",
                "Making a backup copy of \"" + out_ + "/ORDERS.*\" in \"" + bak_ + "\"..."}));
}

TEST_F(BatchFilesTest, BackupInAliasModeCopiesEveryTable) {
  WriteFile(bak_ + "/README", "the backup's own notes");
  PrepareWorkDirectory(Job({"-a", "SALES", "-b", bak_}), "", ui_, fs_);
  EXPECT_EQ(FileNames(bak_),
            (std::set<std::string>{"ORDERS.DB", "ORDERS.PX", "orders.x02", "Orders.MB",
                                   "ORDERSX.DB", "OTHER.DB", "OTHER.PX", "README"}));
  for (const auto& name : FileNames(bak_)) {
    if (name == "README") continue;
    EXPECT_EQ(ReadFile(bak_ + "/" + name), ReadFile(out_ + "/" + name)) << name;
  }
  EXPECT_EQ(ReadFile(bak_ + "/README"), "the backup's own notes");
  EXPECT_FALSE(Exists(bak_ + "/sub"));
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Deleting \"" + bak_ + "/*.*\"...",
                                                          "Making a backup copy of \"" + out_ +
                                                              "/*.*\" in \"" + bak_ + "\"..."}));
}

TEST_F(BatchFilesTest, WithoutRecreateOrBackupNothingHappens) {
  const auto work_before = Snapshot(out_);
  const auto backup_before = Snapshot(bak_);
  PrepareWorkDirectory(Job({"-a", "SALES"}), "", ui_, fs_);
  PrepareWorkDirectory(Job({"-t", "SALES.ORDERS"}), "ORDERS", ui_, fs_);
  EXPECT_EQ(Snapshot(out_), work_before);
  EXPECT_EQ(Snapshot(bak_), backup_before);
  EXPECT_TRUE(ui_.progress_texts.empty());
}

TEST_F(BatchFilesTest, CopyOntoItselfChangesNothing) {
  const auto before = Snapshot(out_);
  CopyFiles(out_, out_ + "/", FilePattern::AllFiles(), ui_, fs_);
  EXPECT_EQ(Snapshot(out_), before);
}

TEST_F(BatchFilesTest, FilesOfATableInUseAreNotDeleted) {
  const std::string work = dir_.file("work");
  fs::create_directories(work);
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  Table::Create(work, "BUSY", def);
  Table::Create(work, "FREE", def);
  WriteFile(work + "/NOTES.TXT", "x");
  ASSERT_TRUE(Exists(work + "/BUSY.PX"));
  {
    auto busy = Table::Open(work, "BUSY");
    EXPECT_EQ(FilesToDelete(work, FilePattern::AllFiles(), fs_),
              (std::vector<std::string>{"FREE.DB", "FREE.PX"}));
    DeleteFiles(work, FilePattern::AllFiles(), ui_, fs_);
    EXPECT_EQ(FileNames(work), (std::set<std::string>{"BUSY.DB", "BUSY.PX", "NOTES.TXT"}));
  }
  DeleteFiles(work, FilePattern::TableFiles("busy"), ui_, fs_);
  EXPECT_EQ(FileNames(work), (std::set<std::string>{"NOTES.TXT"}));
}

// ---------------------------------------------------------------------------
// Start and run against a dictionary

// A dictionary in <temp>/dict; the alias SHOP names <temp>/shop.
class BatchRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    dictionary::CreateDictionaryTables(dict_);
    WriteFile(conf_, "SHOP STANDARD " + shop_ + "\n");
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
  }

  // SHOP.T: ID Integer, NAME String (name_size); primary key ID.
  void AddDictionaryT(int name_size) {
    test::AddTableRow(*dm_, "SHOP", "T");
    test::AddFieldRow(*dm_, {"ID", "Integer", {}});
    test::AddFieldRow(*dm_, {"NAME", "String", name_size});
    test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
  }

  // Three tables of SHOP added out of name order, each with ID and a
  // primary key.
  void AddShopTables() {
    for (const char* name : {"Zeta", "alpha", "Beta"}) {
      test::AddTableRow(*dm_, "SHOP", name);
      test::AddFieldRow(*dm_, {"ID", "Integer", {}});
      test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
    }
  }

  void OpenDictionary() { dm_->OpenDictionary(dict_); }

  // T (or `name`) with ID and NAME String(20) and two rows in `directory`.
  static void CreateT(const std::string& directory, const std::string& name = "T") {
    fs::create_directories(directory);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}};
    Table::Create(directory, name, def);
    auto t = Table::Open(directory, name, {.writable = true});
    t->insert({int64_t{1}, std::string("Apple")});
    t->insert({int64_t{2}, std::string("Pear")});
  }

  BatchJob Start(const std::vector<std::string>& args) {
    const BatchStart start = StartBatch(ParseBatchOptions(args), *dm_, ui_);
    EXPECT_EQ(start.status, BatchStartStatus::kReady);
    return start.job;
  }

  test::TempDir dir_;
  std::string dict_ = dir_.path() + "/dict";
  std::string shop_ = dir_.path() + "/shop";
  std::string conf_ = dir_.file("aliases.conf");
  engine::Session session_{conf_};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
};

TEST_F(BatchRunTest, HelpComesFirstInAnInformationBox) {
  const BatchStart start = StartBatch(ParseBatchOptions({"-h"}), *dm_, ui_);
  EXPECT_EQ(start.status, BatchStartStatus::kHelp);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  EXPECT_EQ(ui_.shown[0].text, BatchHelpText());
  EXPECT_EQ(dm_->projectDirectory(), ".");
}

TEST_F(BatchRunTest, RefusedOptionsShowTheirMessageInAnErrorBoxAndOpenNothing) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-a", "SHOP"},
       "The directory containing the data description (ProjectDir, option \"-p\"), must be "
       "specified"},
      {{"-p", dict_, "-a", "SHOP", "-t", "SHOP.T"},
       "The options \"-t\" and \"-a\" cannot be used together"},
      {{"-p", dict_}, "One of the options \"-t\" e \"-a\" MUST be specified"},
  };
  for (const auto& [args, message] : cases) {
    ui_.shown.clear();
    const BatchStart start = StartBatch(ParseBatchOptions(args), *dm_, ui_);
    EXPECT_EQ(start.status, BatchStartStatus::kRefused) << message;
    ASSERT_EQ(ui_.shown.size(), 1u) << message;
    EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
    EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
    EXPECT_EQ(ui_.shown[0].text, message);
    EXPECT_EQ(dm_->projectDirectory(), ".");
  }
}

TEST_F(BatchRunTest, WorkDirectoryFailuresComeAfterTheDictionaryIsOpened) {
  const BatchStart start = StartBatch(ParseBatchOptions({"-p", dict_, "-t", "SHOP.T"}), *dm_, ui_);
  EXPECT_EQ(start.status, BatchStartStatus::kRefused);
  EXPECT_EQ(dm_->projectDirectory(), dict_);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].text,
            "The work directory (OutputDir, option \"-d\"), must be specified rebuilding a single "
            "table");
}

TEST_F(BatchRunTest, StartFillsTheJob) {
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP", "-c", "-b", dir_.file("bak")});
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_EQ(dm_->projectDirectory(), dict_);
  EXPECT_EQ(job.work_directory, shop_);
  EXPECT_TRUE(job.aliasMode());
  EXPECT_EQ(job.objectName(), "SHOP");
  EXPECT_EQ(job.operationText(), "Rebuilding structures");
  const BatchJob table_job = Start({"-p", dict_, "-t", "SHOP.T", "-d", ":shop:"});
  EXPECT_FALSE(table_job.aliasMode());
  EXPECT_EQ(table_job.objectName(), "SHOP.T");
  EXPECT_EQ(table_job.work_directory, shop_);
  EXPECT_EQ(table_job.operationText(), "Rebuilding tables");
}

TEST_F(BatchRunTest, DictionaryThatCannotBeOpenedIsAnError) {
  EXPECT_ANY_THROW(
      StartBatch(ParseBatchOptions({"-p", dir_.file("nodict"), "-a", "SHOP"}), *dm_, ui_));
}

TEST_F(BatchRunTest, OneTableIntoANewWorkDirectoryIsCreatedEmpty) {
  OpenDictionary();
  AddDictionaryT(20);
  const std::string work = dir_.path() + "/new/a/b";
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", work});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  auto t = Table::Open(work, "T");
  EXPECT_EQ(t->recordCount(), 0u);
  ASSERT_EQ(t->structure().fields.size(), 2u);
  EXPECT_EQ(t->structure().fields[1].size, 20);
  EXPECT_EQ(t->structure().level, "7");
  EXPECT_TRUE(ui_.shown.empty());
  // A single table shows no progress text of its own.
  EXPECT_TRUE(ui_.progress_texts.empty());
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
}

TEST_F(BatchRunTest, AStopRequestEndsTheAliasRunBetweenTables) {
  OpenDictionary();
  AddShopTables();
  const std::string work = dir_.file("out");
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP", "-d", work});
  ui_.stop_after_steps = 1;
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kInterrupted);
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Regenerating \"SHOP.alpha\"..."}));
  EXPECT_TRUE(fs::exists(work + "/alpha.DB"));
  EXPECT_FALSE(fs::exists(work + "/Beta.DB"));
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
  EXPECT_FALSE(dm_->runs().running());
}

TEST_F(BatchRunTest, OneTablePresentInTheWorkDirectoryKeepsItsRows) {
  OpenDictionary();
  AddDictionaryT(30);
  const std::string work = dir_.file("out");
  CreateT(work);
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", work});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  auto t = Table::Open(work, "T");
  EXPECT_EQ(t->structure().fields[1].size, 30);
  ASSERT_EQ(t->recordCount(), 2u);
  EXPECT_EQ(t->read(0)[1], engine::Value{std::string("Apple")});
  EXPECT_EQ(t->read(1)[1], engine::Value{std::string("Pear")});
}

TEST_F(BatchRunTest, RecreateEmptiesTheTableAndBackupKeepsTheOldOne) {
  OpenDictionary();
  AddDictionaryT(30);
  const std::string work = dir_.file("out");
  const std::string bak = dir_.file("bak/nested");
  CreateT(work);
  const auto original = Snapshot(work);

  // With -b the old table is copied first, then restructured.
  BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", work, "-b", bak});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  EXPECT_EQ(Snapshot(bak), original);
  EXPECT_EQ(Table::Open(work, "T")->recordCount(), 2u);

  // With -c the table is deleted first and comes back empty.
  ui_.progress_texts.clear();
  job = Start({"-p", dict_, "-t", "SHOP.T", "-d", work, "-c"});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  EXPECT_EQ(Table::Open(work, "T")->recordCount(), 0u);
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Deleting \"" + work + "/T.*\"..."}));
  EXPECT_EQ(Snapshot(bak), original);
}

TEST_F(BatchRunTest, AliasIntoItsOwnDirectoryRebuildsEveryTableInNameOrder) {
  OpenDictionary();
  AddShopTables();
  test::AddTableRow(*dm_, "OTHER", "Gamma");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP"});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Regenerating \"SHOP.alpha\"...",
                                                          "Regenerating \"SHOP.Beta\"...",
                                                          "Regenerating \"SHOP.Zeta\"..."}));
  EXPECT_EQ(FileNames(shop_), (std::set<std::string>{"alpha.DB", "alpha.PX", "Beta.DB", "Beta.PX",
                                                     "Zeta.DB", "Zeta.PX"}));
}

TEST_F(BatchRunTest, AliasWithRecreateDeletesEveryTableOfTheWorkDirectoryFirst) {
  OpenDictionary();
  AddShopTables();
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  Table::Create(shop_, "Beta", def);
  Table::Open(shop_, "Beta", {.writable = true})->insert({int64_t{7}});
  Table::Create(shop_, "Gone", def);  // no table of the alias
  WriteFile(shop_ + "/notes.txt", "x");
  struct stat before {};
  ASSERT_EQ(::stat((shop_ + "/Beta.DB").c_str(), &before), 0);
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP", "-c"});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  EXPECT_EQ(ReadFile(shop_ + "/notes.txt"), "x");
  EXPECT_EQ(Table::Open(shop_, "Beta")->recordCount(), 0u);
  // The new table replaced the old one at its commit, leaving nothing of
  // the batch behind; a table of no alias is gone.
  struct stat after {};
  ASSERT_EQ(::stat((shop_ + "/Beta.DB").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_FALSE(Exists(shop_ + "/.Beta.restructure"));
  EXPECT_FALSE(Exists(shop_ + "/.new-tables"));
  EXPECT_FALSE(Exists(shop_ + "/Beta.JNL"));
  EXPECT_FALSE(Exists(shop_ + "/Gone.DB"));
  EXPECT_FALSE(Exists(shop_ + "/Gone.PX"));
  ASSERT_EQ(ui_.progress_texts.size(), 4u);
  EXPECT_EQ(ui_.progress_texts[0], "Deleting \"" + shop_ + "/*.*\"...");
  EXPECT_EQ(ui_.progress_texts[1], "Regenerating \"SHOP.alpha\"...");
}

TEST_F(BatchRunTest, RecreateInTheProjectDirectoryKeepsTheOpenDictionary) {
  OpenDictionary();
  AddShopTables();
  const auto dictionary_files = FileNames(dict_);
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP", "-c", "-d", dict_});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kDone);
  for (const auto& name : dictionary_files) EXPECT_TRUE(Exists(dict_ + "/" + name)) << name;
  EXPECT_TRUE(Exists(dict_ + "/alpha.DB"));
  EXPECT_TRUE(dictionary::IsProjectDirectory(dict_));
}

TEST_F(BatchRunTest, RecreateInTheProjectDirectoryKeepsAllFourDictionaryTablesWhenNoneIsOpen) {
  // Nothing holds the dictionary open here: only its list of its own
  // tables keeps them.
  CreateT(dict_, "T");
  std::vector<std::string> own_files;
  std::vector<std::string> t_files;
  for (const auto& name : FileNames(dict_)) {
    (name.starts_with("T.") ? t_files : own_files).push_back(name);
  }
  for (const char* table : {"DDTables.DB", "DDFields.DB", "DDIndex.DB", "DDProps.DB"}) {
    EXPECT_TRUE(Exists(dict_ + "/" + table)) << table;
  }
  const auto before = Snapshot(dict_);
  EXPECT_EQ(FilesToDelete(dict_, FilePattern::AllFiles(), session_.fs(), dict_), t_files);
  DeleteFiles(dict_, FilePattern::AllFiles(), ui_, session_.fs(), dict_);
  const auto after = Snapshot(dict_);
  for (const auto& name : own_files) {
    EXPECT_TRUE(after.count(name) != 0 && after.at(name) == before.at(name)) << name;
  }
  for (const auto& name : t_files) EXPECT_FALSE(Exists(dict_ + "/" + name)) << name;
}

TEST_F(BatchRunTest, TableTextWithoutPointStopsBeforeAnyDirectoryIsCreated) {
  OpenDictionary();
  AddDictionaryT(20);
  const std::string work = dir_.file("out");
  const std::string bak = dir_.file("bak");
  CreateT(work);
  const auto before = Snapshot(work);
  const BatchJob job = Start({"-p", dict_, "-t", "T", "-d", work, "-b", bak, "-c"});
  EXPECT_EQ(RunBatch(job, *dm_, ui_), BatchRunStatus::kStopped);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  EXPECT_EQ(ui_.shown[0].text,
            "The table name to rebuild must include the alias name even, in the format "
            "\"ALIAS.TABLE\"");
  EXPECT_FALSE(Exists(bak));
  EXPECT_EQ(Snapshot(work), before);
  EXPECT_TRUE(ui_.progress_texts.empty());
}

TEST_F(BatchRunTest, ADefinitionThatCannotBeBuiltStopsTheRunBeforeAnyTableIsRebuilt) {
  OpenDictionary();
  AddShopTables();
  ASSERT_TRUE(dm_->tblTables.findKey({std::string("SHOP"), std::string("Beta")}));
  test::AddFieldRow(*dm_, {"BAD", "Bogus", {}});
  WriteFile(shop_ + "/notes.txt", "x");
  const BatchJob job = Start({"-p", dict_, "-a", "SHOP", "-c"});
  const auto before = Snapshot(shop_);
  try {
    RunBatch(job, *dm_, ui_);
    ADD_FAILURE() << "the run succeeded";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Unknown data type \"Bogus\"");
  }
  // Only the step that fails is shown: nothing was deleted or rebuilt.
  EXPECT_EQ(ui_.progress_texts, std::vector<std::string>{"Regenerating \"SHOP.Beta\"..."});
  EXPECT_EQ(Snapshot(shop_), before);
}

// Refuses to create the work directory of one table's restructure: a failure
// the checks before the run cannot foresee.
class NoWorkDirectoryFor : public test::RefusingFileSystem {
 public:
  NoWorkDirectoryFor(engine::FileSystem& base, std::string table)
      : RefusingFileSystem(base), work_("." + std::move(table) + ".restructure") {}
  void makeDirectories(const std::string& path) override {
    if (path.ends_with(work_)) engine::ThrowIo(path, "Cannot create directory", ENOSPC);
    RefusingFileSystem::makeDirectories(path);
  }

 private:
  std::string work_;
};

TEST_F(BatchRunTest, AFailureInTheMiddleOfAnAliasLeavesEarlierTablesRebuiltAndTheRestWhole) {
  OpenDictionary();
  AddShopTables();
  for (const char* name : {"alpha", "Beta", "Zeta"}) CreateT(shop_, name);
  const auto before = Snapshot(shop_);
  NoWorkDirectoryFor failing(engine::FileSystem::Default(), "Beta");
  engine::Session session(conf_, failing);
  TdmDataDictionary dm(session, ui_);
  const BatchStart start = StartBatch(ParseBatchOptions({"-p", dict_, "-a", "SHOP"}), dm, ui_);
  ASSERT_EQ(start.status, BatchStartStatus::kReady);
  EXPECT_THROW(RunBatch(start.job, dm, ui_), engine::EDBEngineError);
  EXPECT_EQ(ui_.progress_texts.back(), "Regenerating \"SHOP.Beta\"...");
  const auto after = Snapshot(shop_);
  // alpha lost its NAME field; Beta and Zeta are byte for byte as they were.
  EXPECT_NE(after.at("alpha.DB"), before.at("alpha.DB"));
  for (const auto& [name, bytes] : before) {
    if (name.rfind("alpha", 0) == 0) continue;
    EXPECT_EQ(after.at(name), bytes) << name;
  }
}

TEST_F(BatchRunTest, TableTheDictionaryLacksFailsWithTheRegeneratorsMessageAndMakesNoDirectory) {
  OpenDictionary();
  AddDictionaryT(20);
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.NOPE", "-d", dir_.file("out/deeper"), "-b",
                              dir_.file("bak/deeper")});
  try {
    RunBatch(job, *dm_, ui_);
    ADD_FAILURE() << "the run succeeded";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Table \"NOPE\" is not present in the datadictionary");
  }
  EXPECT_FALSE(Exists(dir_.file("out")));
  EXPECT_FALSE(Exists(dir_.file("bak")));
}

TEST_F(BatchRunTest, BackupDirectoryThatIsTheWorkDirectoryFailsBeforeAnyFileIsTouched) {
  OpenDictionary();
  AddDictionaryT(20);
  const std::string work = dir_.file("out");
  CreateT(work);
  const auto before = Snapshot(work);
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", work, "-b", work + "/."});
  try {
    RunBatch(job, *dm_, ui_);
    ADD_FAILURE() << "the run succeeded";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "The backup directory \"" + work + "/.\" is the work directory");
  }
  EXPECT_EQ(Snapshot(work), before);
}

TEST_F(BatchRunTest, DirectoryThatCannotBeCreatedIsReported) {
  OpenDictionary();
  AddDictionaryT(20);
  WriteFile(dir_.file("blocker"), "a file");
  const std::string bak = dir_.file("blocker") + "/bak";
  const BatchJob job = Start({"-p", dict_, "-t", "SHOP.T", "-d", dir_.file("out"), "-b", bak});
  try {
    RunBatch(job, *dm_, ui_);
    ADD_FAILURE() << "the run succeeded";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create directory \"" + bak + "\"");
  }
  EXPECT_FALSE(Exists(dir_.file("out")));
}

// Fails every write into one directory as a full disk does.
class FullDiskIn : public test::RefusingFileSystem {
 public:
  FullDiskIn(engine::FileSystem& base, std::string directory)
      : RefusingFileSystem(base), directory_(std::move(directory)) {}
  std::unique_ptr<engine::File> open(const std::string& path, engine::OpenMode mode) override {
    auto file = RefusingFileSystem::open(path, mode);
    if (engine::DirectoryOf(path) != directory_) return file;
    return std::make_unique<Full>(std::move(file));
  }

 private:
  class Full : public engine::File {
   public:
    explicit Full(std::unique_ptr<engine::File> f) : f_(std::move(f)) {}
    const std::string& path() const override { return f_->path(); }
    uint64_t size() override { return f_->size(); }
    size_t read(uint64_t o, void* b, size_t n) override { return f_->read(o, b, n); }
    void write(uint64_t, const void*, size_t) override {
      engine::ThrowIo(path(), "Cannot write", ENOSPC);
    }
    void truncate(uint64_t size) override { f_->truncate(size); }
    void sync() override { f_->sync(); }
    bool tryLock(bool exclusive) override { return f_->tryLock(exclusive); }
    void unlock() override { f_->unlock(); }

   private:
    std::unique_ptr<engine::File> f_;
  };
  std::string directory_;
};

TEST_F(BatchRunTest, ABackupThatCannotBeCompletedStopsTheRunBeforeAnythingIsRebuilt) {
  OpenDictionary();
  AddDictionaryT(30);
  const std::string work = dir_.file("out");
  const std::string bak = dir_.file("bak");
  CreateT(work);
  fs::create_directories(bak);
  const auto original = Snapshot(work);
  struct Case {
    const char* name;
    std::function<void(test::RefusingFileSystem&)> refuse;
    const char* message;  // part of the failure
  };
  const std::vector<Case> cases = {
      {"an unreadable file",
       [&](test::RefusingFileSystem& fs) {
         fs.unreadable = [](const std::string& path) { return path.ends_with("/T.PX"); };
       },
       "Cannot make the backup copy of \""},
      {"a full backup disk", [](test::RefusingFileSystem& fs) { fs.available = 100; },
       "not enough room"},
      {"a backup directory that cannot be written",
       [&](test::RefusingFileSystem& fs) {
         fs.read_only = [bak](const std::string& d) { return d == bak; };
       },
       "Cannot write the backup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::RefusingFileSystem refusing(engine::FileSystem::Default());
    c.refuse(refusing);
    engine::Session session(conf_, refusing);
    TdmDataDictionary dm(session, ui_);
    const BatchStart start = StartBatch(
        ParseBatchOptions({"-p", dict_, "-t", "SHOP.T", "-d", work, "-b", bak}), dm, ui_);
    ASSERT_EQ(start.status, BatchStartStatus::kReady);
    try {
      RunBatch(start.job, dm, ui_);
      ADD_FAILURE() << "the run succeeded";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(Snapshot(work), original);
    EXPECT_TRUE(Snapshot(bak).empty());
  }
  // A disk that fills while the copy is written: the run stops after the
  // copy, and the table is not rebuilt.
  FullDiskIn full(engine::FileSystem::Default(), bak);
  engine::Session session(conf_, full);
  TdmDataDictionary dm(session, ui_);
  const BatchStart start =
      StartBatch(ParseBatchOptions({"-p", dict_, "-t", "SHOP.T", "-d", work, "-b", bak}), dm, ui_);
  ASSERT_EQ(start.status, BatchStartStatus::kReady);
  EXPECT_THROW(RunBatch(start.job, dm, ui_), Error);
  EXPECT_EQ(Snapshot(work), original);
  EXPECT_TRUE(Snapshot(bak).empty());
}

TEST_F(BatchRunTest, AUsersOwnFilesBesideTheTablesSurviveRecreateAndBackup) {
  OpenDictionary();
  AddShopTables();
  CreateT(shop_, "Beta");
  const std::string bak = dir_.file("bak");
  fs::create_directories(bak);
  for (const std::string& d : {shop_, bak}) {
    WriteFile(d + "/notes.txt", "notes in " + d);
    WriteFile(d + "/Beta.TXT", "about Beta in " + d);
    WriteFile(d + "/README", "read me in " + d);
  }
  const auto user_files = [&](const std::string& d) {
    return std::vector<std::string>{ReadFile(d + "/notes.txt"), ReadFile(d + "/Beta.TXT"),
                                    ReadFile(d + "/README")};
  };
  const auto shop_before = user_files(shop_);
  const auto bak_before = user_files(bak);
  EXPECT_EQ(RunBatch(Start({"-p", dict_, "-a", "SHOP", "-b", bak}), *dm_, ui_),
            BatchRunStatus::kDone);
  EXPECT_TRUE(Exists(bak + "/Beta.DB"));
  EXPECT_EQ(RunBatch(Start({"-p", dict_, "-a", "SHOP", "-c"}), *dm_, ui_), BatchRunStatus::kDone);
  EXPECT_EQ(user_files(shop_), shop_before);
  EXPECT_EQ(user_files(bak), bak_before);
  EXPECT_EQ(Table::Open(shop_, "Beta")->recordCount(), 0u);
}

TEST_F(BatchRunTest, TheDictionaryInTheWorkDirectoryIsNeverRebuiltOrRemoved) {
  OpenDictionary();
  AddShopTables();
  test::AddTableRow(*dm_, "SHOP", "DDTABLES");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  const auto dictionary = Snapshot(dict_);
  for (const char* recreate : {"", "-c"}) {
    SCOPED_TRACE(recreate);
    std::vector<std::string> args = {"-p", dict_, "-a", "SHOP", "-d", dict_};
    if (*recreate) args.push_back(recreate);
    try {
      RunBatch(Start(args), *dm_, ui_);
      ADD_FAILURE() << "the run succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()),
                "Table \"DDTABLES\" is a table of the data dictionary in \"" + dict_ +
                    "\"; it cannot be rebuilt there");
    }
    EXPECT_EQ(Snapshot(dict_), dictionary);
  }
  // Its PerNome index is whole: the dictionary still finds its rows.
  EXPECT_TRUE(dm_->tblTables.findKey({std::string("SHOP"), std::string("beta")}));
}

TEST_F(BatchRunTest, TwoNamesOfOneTableFileAreAClearErrorAndOneNameWithItsExtensionIsThatTable) {
  OpenDictionary();
  test::AddTableRow(*dm_, "SHOP", "T.db");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  test::AddFieldRow(*dm_, {"NAME", "String", 30});
  test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
  CreateT(shop_);
  EXPECT_EQ(RunBatch(Start({"-p", dict_, "-a", "SHOP"}), *dm_, ui_), BatchRunStatus::kDone);
  auto t = Table::Open(shop_, "T");
  EXPECT_EQ(t->recordCount(), 2u);
  EXPECT_EQ(t->structure().fields[1].size, 30);
  t.reset();

  OpenDictionary();  // the run opened it for reading only
  test::AddTableRow(*dm_, "SHOP", "t");
  test::AddFieldRow(*dm_, {"ID", "Integer", {}});
  const auto before = Snapshot(shop_);
  try {
    RunBatch(Start({"-p", dict_, "-a", "SHOP", "-c"}), *dm_, ui_);
    ADD_FAILURE() << "the run succeeded";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("are one table file"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Snapshot(shop_), before);
}

TEST_F(BatchRunTest, AKillOrPowerLossAnywhereInARunLeavesTheOldOrTheNewTable) {
  // T has a single-field and a composite index and a validity file; the
  // dictionary drops all three, so the run's swap deletes their files.
  OpenDictionary();
  AddDictionaryT(30);
  dm_.reset();
  const std::string pristine = dir_.file("pristine");
  fs::create_directories(pristine);
  fs::copy(dict_, pristine + "/dict", fs::copy_options::recursive);
  {
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"NAME", {"NAME"}},
                   IndexDef{"ByName", {"NAME"}, false, false, false, true}};
    engine::paradox::ValidityCheck required;
    required.field_number = 2;
    required.required = true;
    def.checks = {required};
    fs::create_directories(pristine + "/out");
    Table::Create(pristine + "/out", "T", def);
    auto t = Table::Open(pristine + "/out", "T", {.writable = true});
    for (int i = 1; i <= 40; ++i) t->insert({int64_t{i}, "name " + std::to_string(i)});
  }
  auto run = [this](const std::string& root, engine::FileSystem& fs) {
    engine::Session session(conf_, fs);
    test::ScriptedUi ui;
    TdmDataDictionary dm(session, ui);
    const BatchStart start = StartBatch(
        ParseBatchOptions({"-p", root + "/dict", "-t", "SHOP.T", "-d", root + "/out"}), dm, ui);
    if (start.status != BatchStartStatus::kReady) throw Error("not ready");
    RunBatch(start.job, dm, ui);
  };
  // How many numbered operations a whole run takes, and what it leaves.
  const std::string counted = dir_.file("counted");
  fs::copy(pristine, counted, fs::copy_options::recursive);
  engine::FaultFileSystem counter(engine::FileSystem::Default());
  run(counted, counter);
  ASSERT_EQ(FileNames(counted + "/out"), (std::set<std::string>{"T.DB", "T.PX"}));
  test::Sweep sweep;
  sweep.scratch = dir_.path();
  sweep.pristine = pristine;
  sweep.table = "out/T";
  sweep.total = counter.operations();
  sweep.build = run;
  sweep.which = [](const std::string& root) {
    auto t = Table::Open(root + "/out", "T");
    const auto files = FileNames(root + "/out");
    if (t->recordCount() != 40) return 0;
    if (t->structure().fields[1].size == 20 && files.size() == 7) return -1;
    if (t->structure().fields[1].size == 30 && files == std::set<std::string>{"T.DB", "T.PX"}) {
      return 1;
    }
    return 0;
  };
  for (test::Crash crash : {test::Crash::kKill, test::Crash::kPowerLoss}) {
    SCOPED_TRACE(test::CrashName(crash));
    test::ExpectWholeTables(test::SweepKillPoints(sweep, crash));
  }
}

// ---------------------------------------------------------------------------
// The regenerator's dry runs, which the plan of a rebuild rests on

class DryRunTest : public BatchRunTest {
 protected:
  // SHOP.T as the dictionary now describes it: NAME narrowed, a composite
  // index and a single-field index.
  void SetUp() override {
    BatchRunTest::SetUp();
    OpenDictionary();
    test::AddTableRow(*dm_, "SHOP", "T");
    test::AddFieldRow(*dm_, {"ID", "Integer", {}});
    test::AddFieldRow(*dm_, {"NAME", "String", 10});
    test::AddFieldRow(*dm_, {"PRICE", "Currency", {}});
    test::AddIndexRow(*dm_, {"*PRIMARY*", "ID", true, true});
    test::AddIndexRow(*dm_, {"NAME", "NAME"});
    test::AddIndexRow(*dm_, {"ByNamePrice", "NAME;PRICE"});
  }

  static void CreateExisting(const std::string& directory) {
    fs::create_directories(directory);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20},
                  FieldDef{"PRICE", FieldType::kCurrency, 0}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"NAME", {"NAME"}},
                   IndexDef{"ByNamePrice", {"NAME", "PRICE"}}};
    Table::Create(directory, "T", def);
    auto t = Table::Open(directory, "T", {.writable = true});
    t->insert({int64_t{1}, std::string("Apple"), 1.5});
  }

  TableDescriptor Descriptor(TTableRegenerator::RunMode mode, const std::string& directory) {
    TTableRegenerator regenerator(*dm_, ui_);
    regenerator.run_mode = mode;
    std::vector<TableDescriptor> seen;
    regenerator.before_build = [&seen](const TableDescriptor& d) {
      seen.push_back(d);
      throw StopBeforeBuild{};
    };
    EXPECT_THROW(regenerator.RegenerateTable("SHOP", "T", directory), StopBeforeBuild);
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? TableDescriptor{} : seen[0];
  }

  struct StopBeforeBuild {};
};

TEST_F(DryRunTest, GivesTheOperationsOfARebuildAndChangesNothing) {
  const std::string planned = dir_.file("planned");
  const std::string rebuilt = dir_.file("rebuilt");
  CreateExisting(planned);
  fs::create_directories(rebuilt);
  for (const auto& entry : fs::directory_iterator(planned)) {
    fs::copy_file(entry.path(), rebuilt + "/" + entry.path().filename().string());
  }
  const auto before = Snapshot(planned);

  const TableDescriptor dry = Descriptor(TTableRegenerator::RunMode::kDryRun, planned);
  const TableDescriptor real = Descriptor(TTableRegenerator::RunMode::kRebuild, rebuilt);
  EXPECT_EQ(Snapshot(planned), before);
  // Up to the engine call the real run changed nothing either.
  EXPECT_EQ(Snapshot(rebuilt), before);

  EXPECT_EQ(dry.field_operations, real.field_operations);
  EXPECT_EQ(dry.field_operations,
            (std::vector<Operation>{Operation::kCopy, Operation::kModify, Operation::kCopy}));
  EXPECT_EQ(dry.index_operations, real.index_operations);
  // Index rows in name order: *PRIMARY*, ByNamePrice (its .XG0 goes), NAME.
  EXPECT_EQ(dry.index_operations,
            (std::vector<Operation>{Operation::kRedo, Operation::kAdd, Operation::kRedo}));
  ASSERT_EQ(dry.fields.size(), real.fields.size());
  for (size_t i = 0; i < dry.fields.size(); ++i) {
    EXPECT_EQ(dry.fields[i].field_number, real.fields[i].field_number) << i;
  }
}

TEST_F(DryRunTest, DryRunNeverCallsTheEngine) {
  const std::string planned = dir_.file("planned");
  CreateExisting(planned);
  const auto before = Snapshot(planned);
  TTableRegenerator regenerator(*dm_, ui_);
  regenerator.run_mode = TTableRegenerator::RunMode::kDryRun;
  int seen = 0;
  regenerator.before_build = [&seen](const TableDescriptor&) { ++seen; };
  regenerator.RegenerateTable("SHOP", "T", planned);
  regenerator.RegenerateAlias("SHOP", planned);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(Snapshot(planned), before);
}

TEST_F(DryRunTest, MissingDirectoryIsNotCreatedAndEverythingIsAdded) {
  const std::string missing = dir_.file("missing/deeper");
  const TableDescriptor d = Descriptor(TTableRegenerator::RunMode::kDryRun, missing);
  EXPECT_FALSE(Exists(dir_.file("missing")));
  EXPECT_EQ(d.field_operations, std::vector<Operation>(3, Operation::kAdd));
  EXPECT_EQ(d.index_operations, std::vector<Operation>(3, Operation::kAdd));
}

TEST_F(DryRunTest, AsAbsentAddsEverythingOfAPresentTable) {
  const std::string planned = dir_.file("planned");
  CreateExisting(planned);
  const auto before = Snapshot(planned);
  const TableDescriptor d = Descriptor(TTableRegenerator::RunMode::kDryRunAsAbsent, planned);
  EXPECT_EQ(d.field_operations, std::vector<Operation>(3, Operation::kAdd));
  EXPECT_EQ(d.index_operations, std::vector<Operation>(3, Operation::kAdd));
  for (const auto& f : d.fields) EXPECT_EQ(f.field_number, 0) << f.name;
  EXPECT_EQ(Snapshot(planned), before);
}

TEST_F(DryRunTest, DirectoryBelowAFileFailsAsARebuildWould) {
  WriteFile(dir_.file("blocker"), "a file");
  TTableRegenerator regenerator(*dm_, ui_);
  regenerator.run_mode = TTableRegenerator::RunMode::kDryRun;
  const std::string below = dir_.file("blocker") + "/out";
  try {
    regenerator.RegenerateTable("SHOP", "T", below);
    ADD_FAILURE() << "the dry run succeeded";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create directory \"" + below + "\"");
  }
}

}  // namespace
}  // namespace vellum::rebuild
