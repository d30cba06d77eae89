// A table directory others can write: links planted where the engine writes,
// files that are not the table's, tables whose names differ only in letter
// case, and files under a journal's name that are not journals. Each case
// checks what lies outside the table (or beside it) byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "engine/creation_batch.h"
#include "engine/errors.h"
#include "engine/fs/file_system.h"
#include "engine/fs/forwarding_file_system.h"
#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/restructure_journal.h"
#include "engine/session.h"
#include "engine/table_descriptor.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

namespace stdfs = std::filesystem;
using paradox::FieldDef;
using paradox::IndexDef;
using paradox::Table;
using paradox::TableDefinition;
using test::ReadFile;
using test::SnapshotFiles;
using test::WriteFile;

// ID Integer (the key), NAME String(20).
TableDefinition Def() {
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}};
  return def;
}

void CreateWithRows(const std::string& directory, const std::string& name, int rows) {
  Table::Create(directory, name, Def());
  auto t = Table::Open(directory, name, {.writable = true});
  for (int i = 1; i <= rows; ++i) t->insert({int64_t{i}, std::string("row ") + std::to_string(i)});
}

// The message of what `f` raises; empty when it raises nothing.
template <typename F>
std::string FailureOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// A victim directory outside the table directory, with files a link
// planted in the table directory points at.
class LinksTest : public testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(db_);
    stdfs::create_directories(victim_);
    WriteFile(victim_ + "/A.DB", "someone else's table");
    WriteFile(victim_ + "/notes.txt", "someone else's notes");
    before_ = SnapshotFiles(victim_);
  }

  test::TempDir dir_;
  std::string db_ = dir_.path() + "/db";
  std::string victim_ = dir_.path() + "/victim";
  std::map<std::string, std::string> before_;
};

// ---------------------------------------------------------------------------
// The file system

struct WriteMode {
  const char* name;
  OpenMode mode;
};

void PrintTo(const WriteMode& m, std::ostream* os) { *os << m.name; }

class WriteModeTest : public LinksTest, public testing::WithParamInterface<WriteMode> {};

TEST_P(WriteModeTest, NeverWritesThroughALink) {
  const std::string link = db_ + "/A.DB";
  stdfs::create_symlink(victim_ + "/A.DB", link);
  const std::string dangling = db_ + "/B.DB";
  stdfs::create_symlink(victim_ + "/B.DB", dangling);
  for (FileSystem* fs : {&FileSystem::Default(), &FileSystem::Posix()}) {
    for (const std::string& path : {link, dangling}) {
      EXPECT_THROW(fs->open(path, GetParam().mode)->write(0, "x", 1), EDBEngineError) << path;
    }
  }
  EXPECT_EQ(SnapshotFiles(victim_), before_);
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteModeTest,
                         testing::Values(WriteMode{"ReadWrite", OpenMode::kReadWrite},
                                         WriteMode{"Create", OpenMode::kCreate},
                                         WriteMode{"CreateNew", OpenMode::kCreateNew}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinksTest, CreateNewRefusesAnyExistingFileAndOutputFollowsTheUsersLink) {
  WriteFile(db_ + "/old", "kept");
  EXPECT_THROW(FileSystem::Default().open(db_ + "/old", OpenMode::kCreateNew), EDBEngineError);
  EXPECT_EQ(ReadFile(db_ + "/old"), "kept");
  MemoryFileSystem memory;
  memory.addFile("/d/old", reinterpret_cast<const uint8_t*>("kept"), 4);
  EXPECT_THROW(memory.open("/d/old", OpenMode::kCreateNew), EDBEngineError);
  // A file the user names for output may be a link the user made.
  stdfs::create_symlink(victim_ + "/notes.txt", db_ + "/out.txt");
  FileSystem::Default().open(db_ + "/out.txt", OpenMode::kCreateOutput)->write(0, "new", 3);
  EXPECT_EQ(ReadFile(victim_ + "/notes.txt"), "new");
}

TEST_F(LinksTest, CreateDirectoryRefusesALinkOrAFileNamingIt) {
  FileSystem& fs = FileSystem::Default();
  EXPECT_TRUE(fs.createDirectory(db_ + "/work"));
  EXPECT_FALSE(fs.createDirectory(db_ + "/work"));
  stdfs::create_directory_symlink(victim_, db_ + "/linked");
  EXPECT_EQ(
      FailureOf([&] { fs.createDirectory(db_ + "/linked"); }),
      "Cannot use \"" + db_ +
          "/linked\" for this program's work: it is a symbolic link, which is never followed; "
          "remove it and try again");
  WriteFile(db_ + "/plain", "x");
  EXPECT_EQ(FailureOf([&] { fs.createDirectory(db_ + "/plain"); }),
            "Cannot use \"" + db_ +
                "/plain\" for this program's work: it is not a directory; remove it and try "
                "again");
}

TEST_F(LinksTest, RemoveTreeRemovesLinksAndNeverWhatTheyPointTo) {
  for (FileSystem* fs : {&FileSystem::Default(), &FileSystem::Posix()}) {
    const std::string tree = db_ + "/tree";
    stdfs::create_directories(tree + "/sub");
    WriteFile(tree + "/own", "x");
    WriteFile(tree + "/sub/own", "x");
    stdfs::create_directory_symlink(victim_, tree + "/dir-link");
    stdfs::create_symlink(victim_ + "/notes.txt", tree + "/sub/file-link");
    fs->removeTree(tree);
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(tree)));
    // A link at the tree's own path goes itself.
    stdfs::create_directory_symlink(victim_, tree);
    fs->removeTree(tree);
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(tree)));
    EXPECT_EQ(SnapshotFiles(victim_), before_);
  }
}

// ---------------------------------------------------------------------------
// The creation batch's work directory

TEST_F(LinksTest, ABatchNeverDeletesThroughALinkedDirectoryOfDiscardedFiles) {
  CreateWithRows(db_, "A", 2);
  stdfs::create_directories(db_ + "/.new-tables");
  stdfs::create_directory_symlink(victim_, db_ + "/.new-tables/discarded");
  {
    CreationBatch batch(FileSystem::Default(), db_);
    batch.create("N", Def());
    batch.commit();
  }
  EXPECT_EQ(SnapshotFiles(victim_), before_);
  EXPECT_EQ(Table::Open(db_, "N")->recordCount(), 0u);
}

TEST_F(LinksTest, ABatchNeverEmptiesAFileLinkedAsItsLock) {
  stdfs::create_directories(db_ + "/.new-tables");
  stdfs::create_symlink(victim_ + "/notes.txt", db_ + "/.new-tables/LOCK");
  CreationBatch batch(FileSystem::Default(), db_);
  EXPECT_EQ(
      FailureOf([&] { batch.create("N", Def()); }),
      "Cannot use \"" + db_ +
          "/.new-tables/LOCK\" for this program's work: it is a symbolic link, which is never "
          "followed; remove it and try again");
  EXPECT_EQ(SnapshotFiles(victim_), before_);
}

TEST_F(LinksTest, ABatchWhoseWorkDirectoryIsALinkIsRefusedBeforeAFileGoes) {
  CreateWithRows(db_, "A", 2);
  stdfs::create_directory_symlink(victim_, db_ + "/.new-tables");
  CreationBatch batch(FileSystem::Default(), db_);
  const std::string refusal = "Cannot use \"" + db_ +
                              "/.new-tables\" for this program's work: it is a symbolic link, "
                              "which is never followed; remove it and try again";
  EXPECT_EQ(FailureOf([&] { batch.discard({"A.DB", "A.PX"}); }), refusal);
  EXPECT_EQ(FailureOf([&] { batch.create("N", Def()); }), refusal);
  EXPECT_EQ(Table::Open(db_, "A")->recordCount(), 2u);
  EXPECT_EQ(SnapshotFiles(victim_), before_);
}

// ---------------------------------------------------------------------------
// Tables whose files are links, and the restructure's journal

// Table `name` of `directory` as ID Integer (the key) and NAME String(40):
// a restructure of a table made by Def(), whose NAME grows.
TableDescriptor DescriptorOf(const std::string& directory, const std::string& name) {
  TableDescriptor d;
  d.table_path = JoinPath(directory, name);
  FieldDescriptor id;
  id.name = "ID";
  id.field_number = 1;
  id.storage_type = storage::kInt32;
  id.units1 = 1;
  FieldDescriptor text;
  text.name = "NAME";
  text.field_number = 2;
  text.storage_type = storage::kZString;
  text.units1 = 40;
  d.fields = {id, text};
  d.field_operations = {Operation::kCopy, Operation::kModify};
  IndexDescriptor key;
  key.primary = true;
  key.unique = true;
  key.key_field_count = 1;
  key.key_fields[0] = 1;
  d.indexes = {key};
  d.index_operations = {Operation::kCopy};
  return d;
}

TEST_F(LinksTest, ATableWhoseFileIsALinkIsRefusedByTheCheckAndTheBuildNamingTheLink) {
  CreateWithRows(victim_, "V", 3);
  for (const char* ext : {".DB", ".PX"}) {
    stdfs::create_symlink(victim_ + "/V" + ext, db_ + "/A" + ext);
  }
  const auto victim = SnapshotFiles(victim_);
  const std::string refusal =
      "Cannot rebuild table \"A\": its file \"" + db_ +
      "/A.DB\" is a symbolic link, and nothing is written through a link; put the table's own "
      "files in its place";
  const TableDescriptor d = DescriptorOf(db_, "A");
  EXPECT_EQ(FailureOf([&] { CheckBuildTable(d); }), refusal);
  BuildCheckOptions as_new;
  as_new.as_new = true;
  EXPECT_EQ(FailureOf([&] { CheckBuildTable(d, FileSystem::Default(), as_new); }), refusal);
  EXPECT_EQ(FailureOf([&] { BuildTable(d); }), refusal);
  EXPECT_EQ(SnapshotFiles(victim_), victim);
}

TEST_F(LinksTest, AFileUnderTheJournalsNameThatIsNoJournalIsLeftAloneAndReported) {
  CreateWithRows(db_, "SALES", 3);
  WriteFile(db_ + "/SALES.JNL", "the user's own journal of sales calls\n");
  // A reader and a writer open the table and keep the file.
  EXPECT_EQ(Table::Open(db_, "SALES")->recordCount(), 3u);
  EXPECT_EQ(Table::Open(db_, "SALES", {.writable = true})->recordCount(), 3u);
  EXPECT_EQ(ReadFile(db_ + "/SALES.JNL"), "the user's own journal of sales calls\n");
  EXPECT_EQ(PendingRecovery(db_, "SALES"),
            "\"" + db_ +
                "/SALES.JNL\" is not a restructure journal of this program; it was left "
                "alone");
  // A restructure would replace it: refused, the table unchanged.
  const std::string refusal = "Cannot rebuild table \"SALES\": \"" + db_ +
                              "/SALES.JNL\" is not a restructure journal of this program, and a "
                              "rebuild would replace it; move it away";
  const TableDescriptor d = DescriptorOf(db_, "SALES");
  EXPECT_EQ(FailureOf([&] { CheckBuildTable(d); }), refusal);
  EXPECT_EQ(FailureOf([&] { BuildTable(d); }), refusal);
  EXPECT_EQ(ReadFile(db_ + "/SALES.JNL"), "the user's own journal of sales calls\n");
  EXPECT_EQ(Table::Open(db_, "SALES")->structure().fields[1].size, 20);
}

// Records every file created under the journal's name and every rename.
class JournalWatch : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    if (CreatesFile(mode)) created.push_back(FileNameOf(path));
    return ForwardingFileSystem::open(path, mode);
  }
  void rename(const std::string& from, const std::string& to) override {
    if (FileNameOf(to) == "T.JNL") journal_from = from;
    ForwardingFileSystem::rename(from, to);
  }
  std::vector<std::string> created;
  std::string journal_from;
};

TEST_F(LinksTest, TheJournalIsWrittenWholeInTheWorkDirectoryAndRenamedIntoPlace) {
  CreateWithRows(db_, "T", 3);
  JournalWatch watch(FileSystem::Default());
  BuildTable(DescriptorOf(db_, "T"), watch);
  EXPECT_EQ(watch.journal_from, db_ + "/.T.restructure/T.JNL");
  EXPECT_EQ(std::count(watch.created.begin(), watch.created.end(), "T.JNL"), 1);
  EXPECT_FALSE(stdfs::exists(db_ + "/T.JNL"));
  EXPECT_EQ(Table::Open(db_, "T")->recordCount(), 3u);
}

// ---------------------------------------------------------------------------
// Files that are not the table's, and tables told apart by letter case only

TEST_F(LinksTest, CreatingATableKeepsEveryFileThatIsNotItsOwn) {
  const std::vector<std::string> users = {"SALES.XLS", "SALES.XML", "SALES.YML", "SALES.TV",
                                          "SALES.FAM", "SALES.LCK", "SALES.JNL", "SALES.XG",
                                          "SALES.X1Z", "SALES.YGZZ"};
  for (const std::string& f : users) WriteFile(db_ + "/" + f, "user's " + f);
  for (const char* f : {"SALES.X0A", "SALES.Y0A", "SALES.XG1", "SALES.YGf", "SALES.VAL"}) {
    WriteFile(db_ + "/" + f, "an old index or validity file");
  }
  Table::Create(db_, "SALES", Def());
  for (const std::string& f : users) EXPECT_EQ(ReadFile(db_ + "/" + f), "user's " + f);
  for (const char* f : {"SALES.X0A", "SALES.Y0A", "SALES.XG1", "SALES.YGf", "SALES.VAL"}) {
    EXPECT_FALSE(stdfs::exists(db_ + "/" + f)) << f;
  }
  Table::Delete(db_, "SALES");
  EXPECT_FALSE(stdfs::exists(db_ + "/SALES.DB"));
  for (const std::string& f : users) EXPECT_EQ(ReadFile(db_ + "/" + f), "user's " + f);
}

struct Twins {
  const char* name;
  std::string upper;  // both spellings of one table name
  std::string lower;
};

void PrintTo(const Twins& t, std::ostream* os) { *os << t.name; }

class LetterCaseTwinsTest : public LinksTest, public testing::WithParamInterface<Twins> {};

TEST_P(LetterCaseTwinsTest, EveryCommandRefusesNamingBothFiles) {
  const Twins& t = GetParam();
  CreateWithRows(db_, t.upper, 2);
  stdfs::create_directories(victim_ + "/other");
  CreateWithRows(victim_ + "/other", t.lower, 5);
  for (const auto& entry : stdfs::directory_iterator(victim_ + "/other")) {
    stdfs::copy_file(entry.path(), db_ + "/" + entry.path().filename().string());
  }
  const auto before = SnapshotFiles(db_);
  // Listed in byte order, the upper-case spelling first.
  const std::string refusal = "Table \"" + t.upper + "\" cannot be told apart from another: \"" +
                              db_ + "/" + t.upper + ".DB\" and \"" + db_ + "/" + t.lower +
                              ".DB\" differ only in letter case; rename or move one of them";
  EXPECT_EQ(FailureOf([&] { Table::Open(db_, t.upper); }), refusal);
  EXPECT_EQ(FailureOf([&] { Table::Create(db_, t.upper, Def()); }), refusal);
  EXPECT_EQ(FailureOf([&] { Table::Delete(db_, t.upper); }), refusal);
  EXPECT_EQ(FailureOf([&] { BuildTable(DescriptorOf(db_, t.upper)); }), refusal);
  EXPECT_EQ(FailureOf([&] { CheckBuildTable(DescriptorOf(db_, t.upper)); }), refusal);
  EXPECT_EQ(SnapshotFiles(db_), before);
}

TEST_P(LetterCaseTwinsTest, AJournalBesideTwinsIsNeverActedOn) {
  const Twins& t = GetParam();
  CreateWithRows(db_, t.upper, 2);
  stdfs::create_directories(victim_ + "/other");
  CreateWithRows(victim_ + "/other", t.lower, 5);
  for (const char* ext : {".DB", ".PX"}) {
    stdfs::copy_file(victim_ + "/other/" + t.lower + ext, db_ + "/" + t.lower + ext);
  }
  // A whole journal of ours that deletes the other table's files.
  stdfs::create_directories(db_ + "/." + t.upper + ".restructure");
  std::string body = "VELLUM-RESTRUCTURE 1\nWORK ." + t.upper + ".restructure\nDELETE " + t.lower +
                     ".DB\nDELETE " + t.lower + ".PX\nRENAME " + t.upper + ".DB\t" + t.upper +
                     ".DB\n";
  uint32_t h = 2166136261u;  // FNV-1a, as the journal's end line has it
  for (unsigned char c : body) {
    h ^= c;
    h *= 16777619u;
  }
  WriteFile(db_ + "/" + t.upper + ".JNL", body + "END " + std::to_string(h) + "\n");
  ASSERT_EQ(ParseJournal(ReadFile(db_ + "/" + t.upper + ".JNL"), t.upper).state,
            ParsedJournal::State::kCommitted);
  const auto before = SnapshotFiles(db_);
  const RecoveryOutcome outcome = RecoverTable(db_, t.upper);
  EXPECT_EQ(outcome.state, RecoveryOutcome::State::kInvalid);
  EXPECT_NE(outcome.message.find("differ only in letter case"), std::string::npos)
      << outcome.message;
  EXPECT_EQ(SnapshotFiles(db_), before);
}

INSTANTIATE_TEST_SUITE_P(Names, LetterCaseTwinsTest,
                         testing::Values(Twins{"Ascii", "ORDERS", "Orders"},
                                         Twins{"NonAscii", "ÜBERSICHT", "Übersicht"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Temporary files: the alias file's and the key check's

TEST_F(LinksTest, SavingAliasesNeverWritesThroughAPlantedTemporaryFile) {
  const std::string conf = db_ + "/aliases.conf";
  stdfs::create_symlink(victim_ + "/notes.txt", conf + ".tmp");
  AliasConfig config;
  config.add(DatabaseDesc{"SHOP", "STANDARD", "/srv/shop"});
  config.save(conf);
  EXPECT_EQ(SnapshotFiles(victim_), before_);
  EXPECT_NE(ReadFile(conf).find("SHOP STANDARD /srv/shop"), std::string::npos);
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(conf + ".tmp")));
}

// Records how every file in the scratch directory is created and whether
// it still has a name there when it is written.
class ScratchWatch : public ForwardingFileSystem {
 public:
  ScratchWatch(FileSystem& base, std::string scratch)
      : ForwardingFileSystem(base), scratch_(std::move(scratch)) {}

  class Watched final : public ForwardingFile {
   public:
    Watched(ScratchWatch& fs, std::unique_ptr<File> base)
        : ForwardingFile(std::move(base)), fs_(fs) {}
    void write(uint64_t offset, const void* data, size_t n) override {
      if (fs_.exists(path())) ++fs_.named_writes;
      ForwardingFile::write(offset, data, n);
    }

   private:
    ScratchWatch& fs_;
  };

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    auto file = ForwardingFileSystem::open(path, mode);
    if (DirectoryOf(path) != scratch_) return file;
    if (CreatesFile(mode)) modes.push_back(mode);
    return std::make_unique<Watched>(*this, std::move(file));
  }

  std::vector<OpenMode> modes;
  int named_writes = 0;

 private:
  std::string scratch_;
};

TEST_F(LinksTest, TheKeyChecksRunFilesAreCreatedExclusivelyAndHaveNoNameWhileWritten) {
  CreateWithRows(db_, "T", 400);
  TableDescriptor d = DescriptorOf(db_, "T");
  d.fields[1].units1 = 20;
  IndexDescriptor unique_name;  // a new unique index: its keys are checked
  unique_name.name = "UName";
  unique_name.index_id = 1;
  unique_name.unique = true;
  unique_name.key_field_count = 1;
  unique_name.key_fields[0] = 2;
  d.indexes.push_back(unique_name);
  d.index_operations.push_back(Operation::kAdd);
  d.optional_parameters.push_back({"LEVEL", "", 1, 0, "7"});
  const std::string scratch = dir_.path() + "/scratch";
  stdfs::create_directories(scratch);
  ScratchWatch watch(FileSystem::Default(), scratch);
  CheckBuildTable(d, watch, {.scratch_directory = scratch, .sort_buffer_bytes = 2048});
  ASSERT_GE(watch.modes.size(), 2u);
  for (OpenMode mode : watch.modes) EXPECT_EQ(mode, OpenMode::kCreateNew);
  EXPECT_EQ(watch.named_writes, 0);
  EXPECT_TRUE(SnapshotFiles(scratch).empty());
}

}  // namespace
}  // namespace vellum::engine
