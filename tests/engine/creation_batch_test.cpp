#include "engine/creation_batch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "engine/fs/forwarding_file_system.h"
#include "engine/paradox/table.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

namespace stdfs = std::filesystem;
using paradox::Table;
using test::Crash;
using test::TempDir;

// A keyed table with a secondary index and a validity check: five files.
paradox::TableDefinition Definition(int name_size) {
  paradox::TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false},
                {"NAME", FieldType::kString, name_size, false},
                {"AMOUNT", FieldType::kCurrency, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false},
                 {"NAME", {"NAME"}, false, false, false, false}};
  paradox::ValidityCheck check;
  check.field_number = 3;
  check.has_min = true;
  def.checks = {check};
  return def;
}

std::string Name(int i) { return "T" + std::to_string(i); }

// Counts the syncs that reach the disk.
class SyncCounter final : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    return std::make_unique<Counted>(*this, base().open(path, mode));
  }
  void syncDirectory(const std::string& path) override {
    ++directory_syncs;
    base().syncDirectory(path);
  }
  void syncTogether(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) override {
    ++together;
    base().syncTogether(files, directories);
  }
  int file_syncs = 0;
  int directory_syncs = 0;
  int together = 0;

 private:
  class Counted final : public ForwardingFile {
   public:
    Counted(SyncCounter& fs, std::unique_ptr<File> f) : ForwardingFile(std::move(f)), fs_(fs) {}
    void sync() override {
      ++fs_.file_syncs;
      base().sync();
    }

   private:
    SyncCounter& fs_;
  };
};

// The tables of `directory`: the field size of NAME by table name, for the
// tables that open; a table that is there but does not open or verify
// clean is a failure.
std::map<std::string, int> WholeTables(const std::string& directory, int count) {
  std::map<std::string, int> whole;
  for (int i = 0; i < count; ++i) {
    if (!stdfs::exists(directory + "/" + Name(i) + ".DB")) continue;
    try {
      auto t = Table::Open(directory, Name(i));
      for (const auto& p : t->verify()) ADD_FAILURE() << Name(i) << ": " << p;
      EXPECT_EQ(t->structure().indexes.size(), 2u) << Name(i);
      EXPECT_EQ(t->structure().checks.size(), 1u) << Name(i);
      whole[Name(i)] = t->structure().fields[1].size;
    } catch (const std::exception& e) {
      ADD_FAILURE() << Name(i) << ": " << e.what();
    }
  }
  return whole;
}

TEST(CreationBatchTest, TablesAppearTogetherAtTheCommitWithOneFlushForAll) {
  TempDir dir;
  SyncCounter counter(FileSystem::Default());
  {
    CreationBatch batch(counter, dir.path());
    for (int i = 0; i < 20; ++i) batch.create(Name(i), Definition(20));
    EXPECT_EQ(batch.pending(), 20u);
    EXPECT_TRUE(WholeTables(dir.path(), 20).empty()) << "a table appeared before the commit";
    batch.commit();
    EXPECT_EQ(batch.pending(), 0u);
  }
  EXPECT_EQ(WholeTables(dir.path(), 20).size(), 20u);
  EXPECT_EQ(counter.file_syncs, 0);
  EXPECT_EQ(counter.together, 1);
  EXPECT_EQ(counter.directory_syncs, 2);
  // Nothing of the batch is left beside the tables.
  EXPECT_FALSE(stdfs::exists(dir.file(CreationBatch::WorkDirectoryName())));
  EXPECT_EQ(std::distance(stdfs::directory_iterator(dir.path()), stdfs::directory_iterator()), 100);
}

TEST(CreationBatchTest, ReplacesWhatWasThereAndDiscardsWhatWasNotCommitted) {
  TempDir dir;
  Table::Create(dir.path(), "T0", Definition(10));
  Table::Create(dir.path(), "T1", Definition(10));
  {
    CreationBatch batch(FileSystem::Default(), dir.path());
    batch.create("T0", Definition(30));
    batch.commit();
    batch.create("T1", Definition(30));  // never committed
  }
  const auto whole = WholeTables(dir.path(), 2);
  EXPECT_EQ(whole.at("T0"), 30);
  EXPECT_EQ(whole.at("T1"), 10);
  EXPECT_FALSE(stdfs::exists(dir.file(CreationBatch::WorkDirectoryName())));

  // A table in use is not replaced, at the create or at the commit.
  auto in_use = Table::Open(dir.path(), "T0");
  CreationBatch batch(FileSystem::Default(), dir.path());
  EXPECT_THROW(batch.create("T0", Definition(40)), EDBEngineError);
  EXPECT_EQ(WholeTables(dir.path(), 1).at("T0"), 30);
}

TEST(CreationBatchTest, AWorkDirectoryOfAnotherProcessIsLeftAloneAndALinkIsRefused) {
  TempDir dir;
  const std::string work = dir.file(CreationBatch::WorkDirectoryName());
  {
    // Another batch holds the work directory: its files are left alone,
    // and the table is published at the commit all the same.
    stdfs::create_directories(work + "/discarded");
    std::ofstream(work + "/discarded/T0.DB") << "theirs";
    auto lock = FileSystem::Default().open(work + "/LOCK", OpenMode::kCreate);
    ASSERT_TRUE(lock->tryLock(true));
    CreationBatch batch(FileSystem::Default(), dir.path());
    batch.create("T0", Definition(20));
    EXPECT_EQ(batch.pending(), 1u);
    batch.commit();
    EXPECT_EQ(WholeTables(dir.path(), 1).size(), 1u);
    EXPECT_EQ(test::ReadFile(work + "/discarded/T0.DB"), "theirs");
  }
  stdfs::remove_all(work);
  const std::string elsewhere = dir.file("elsewhere");
  stdfs::create_directories(elsewhere);
  stdfs::create_directory_symlink(elsewhere, work);
  {
    CreationBatch batch(FileSystem::Default(), dir.path());
    EXPECT_THROW(batch.create("T1", Definition(20)), EDBEngineError);
    EXPECT_EQ(batch.pending(), 0u);
  }
  EXPECT_EQ(WholeTables(dir.path(), 1).size(), 1u);
  EXPECT_TRUE(stdfs::is_empty(elsewhere));
}

// The files of `directory` but for the batch's work directory, by name.
std::vector<std::string> FilesIn(const std::string& directory) {
  std::vector<std::string> files;
  for (const auto& entry : stdfs::directory_iterator(directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path().filename().string());
  }
  return files;
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(CreationBatchTest, DiscardedFilesStayUntilTheirTableIsReplacedAndTheOthersGoAtTheEnd) {
  TempDir dir;
  for (int i = 0; i < 4; ++i) {
    Table::Create(dir.path(), Name(i), Definition(10));
    auto t = Table::Open(dir.path(), Name(i), {true, true});
    for (int id = 1; id <= 50; ++id) t->insert({int64_t{id}, "old row", 1.5});
  }
  std::vector<std::string> discarded = FilesIn(dir.path());
  ASSERT_EQ(discarded.size(), 20u);
  const ino_t old_data = Inode(dir.file("T0.DB"));
  {
    std::ofstream(dir.file("notes.txt")) << "mine";
    CreationBatch batch(FileSystem::Default(), dir.path());
    batch.discard(discarded);
    EXPECT_TRUE(batch.discarded("t2"));
    EXPECT_FALSE(batch.discarded("notes2"));
    EXPECT_EQ(FilesIn(dir.path()).size(), 21u) << "an old file went before the commit";
    // T1 comes back under another letter case.
    batch.create("T0", Definition(30));
    batch.create("t1", Definition(30));
    // The old tables are held until the commit replaces them.
    EXPECT_THROW(Table::Open(dir.path(), "T0"), EDBEngineError);
    EXPECT_EQ(Table::Open(dir.path(), "T2")->recordCount(), 50u);
    EXPECT_EQ(FilesIn(dir.path()).size(), 21u);
    batch.commit();
    // Committed; the tables not made anew are still there until the end.
    EXPECT_EQ(WholeTables(dir.path(), 4).size(), 4u);
    batch.finishDiscarded();
  }
  EXPECT_NE(Inode(dir.file("T0.DB")), old_data) << "an old file was reused before the commit";
  for (const char* name : {"T0", "t1"}) {
    auto t = Table::Open(dir.path(), name);
    EXPECT_TRUE(t->verify().empty()) << name;
    EXPECT_EQ(t->recordCount(), 0u) << name << " kept rows of the old table";
    EXPECT_EQ(t->structure().fields[1].size, 30) << name;
  }
  // The tables not made anew are gone; the user's file stays.
  EXPECT_EQ(FilesIn(dir.path()).size(), 11u);
  EXPECT_FALSE(stdfs::exists(dir.file("T2.DB")));
  EXPECT_FALSE(stdfs::exists(dir.file("T3.PX")));
  EXPECT_TRUE(stdfs::exists(dir.file("notes.txt")));
  EXPECT_FALSE(stdfs::exists(dir.file(CreationBatch::WorkDirectoryName())));
}

// A table that takes over the files of an old one holds exactly the bytes
// a table created anew holds: nothing of the old files shows through,
// neither where the new table wrote nothing nor past its end.
TEST(CreationBatchTest, ATableThatReusesFilesHoldsTheBytesOfANewTable) {
  paradox::TableDefinition with_memo = Definition(30);
  with_memo.fields.push_back({"NOTES", FieldType::kMemo, 20, false});
  with_memo.checks.clear();  // no .VAL: the old one goes with the batch
  TempDir dir, fresh;
  for (int i = 0; i < 2; ++i) {
    Table::Create(dir.path(), Name(i), with_memo);
    auto t = Table::Open(dir.path(), Name(i), {true, true});
    for (int id = 1; id <= 50; ++id) {
      t->insert({int64_t{id}, "old row", 1.5, std::string(300, 'm')});
    }
  }
  std::ofstream(dir.file("T0.VAL")) << "stale";
  // Every old byte is one no new file has, and every old file is longer
  // than its new one.
  for (const std::string& f : FilesIn(dir.path())) {
    std::fstream(dir.file(f), std::ios::in | std::ios::out | std::ios::binary)
        << std::string(64 * 1024, '\xAB');
  }
  const ino_t old_index = Inode(dir.file("T0.PX"));
  {
    CreationBatch batch(FileSystem::Default(), dir.path());
    batch.discard(FilesIn(dir.path()));
    // The first commit hands the old files over; the tables created again
    // after it take them.
    batch.create("T0", Definition(40));
    batch.create("T1", Definition(40));
    batch.commit();
    batch.create("T0", Definition(12));
    batch.create("T1", with_memo);
    batch.commit();
    batch.finishDiscarded();
  }
  EXPECT_EQ(Inode(dir.file("T0.PX")), old_index) << "the old primary index was not reused";
  Table::Create(fresh.path(), "T0", Definition(12));
  Table::Create(fresh.path(), "T1", with_memo);
  const std::vector<std::string> files = FilesIn(fresh.path());
  ASSERT_EQ(files.size(), 10u);
  EXPECT_EQ(FilesIn(dir.path()), files);
  // The headers' update times (0x60) may fall in different seconds.
  const auto bytes = [](const std::string& path) {
    std::string content = test::ReadFile(path);
    if (ExtensionOf(path) != ".VAL" && content.size() >= 0x64) content.replace(0x60, 4, 4, '\0');
    return content;
  };
  for (const std::string& f : files) {
    EXPECT_TRUE(bytes(dir.file(f)) == bytes(fresh.file(f))) << f << " differs";
  }
}

// A crash at any numbered operation of a batch that discards three old
// tables and creates them again leaves each table whole, old or new, and
// never absent; the next open of a table, or the next batch, finishes or
// undoes what the dead one left.
TEST(CreationBatchTest, ACrashWhileReplacingOldTablesLeavesEachTableOldOrNew) {
  TempDir scratch;
  auto old_tables = [](const std::string& directory) {
    stdfs::create_directories(directory);
    for (int i = 0; i < 3; ++i) Table::Create(directory, Name(i), Definition(10));
  };
  auto run = [](const std::string& directory, FileSystem& fs) {
    CreationBatch batch(fs, directory);
    std::vector<std::string> data_files_first;  // as -c finds them
    for (const std::string& f : FilesIn(directory)) {
      if (stdfs::exists(directory + "/" + StripExtension(f) + ".DB")) data_files_first.push_back(f);
    }
    batch.discard(data_files_first);
    for (int i = 0; i < 3; ++i) batch.create(Name(i), Definition(20));
    batch.commit();
    batch.finishDiscarded();
  };
  FaultFileSystem counter(FileSystem::Default());
  old_tables(scratch.file("count"));
  run(scratch.file("count"), counter);
  const uint64_t total = counter.operations();
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(test::CrashName(crash));
    int saw_old = 0, saw_new = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("dying at " + std::to_string(n));
      const std::string root = scratch.file("run" + std::to_string(n));
      old_tables(root);
      ASSERT_TRUE(test::RunDyingAt(crash, n, [&](FileSystem& fs) { run(root, fs); }));
      const auto whole = WholeTables(root, 3);
      EXPECT_EQ(whole.size(), 3u) << "a table is absent";
      for (const auto& [name, size] : whole) {
        (size == 10 ? saw_old : saw_new) += 1;
        EXPECT_TRUE(size == 10 || size == 20) << name;
      }
      run(root, FileSystem::Default());
      const auto after = WholeTables(root, 3);
      EXPECT_EQ(after.size(), 3u);
      for (const auto& [name, size] : after) EXPECT_EQ(size, 20) << name;
      EXPECT_FALSE(stdfs::exists(root + "/" + CreationBatch::WorkDirectoryName()));
      stdfs::remove_all(root);
    }
    EXPECT_GT(saw_old, 0);
    EXPECT_GT(saw_new, 0);
  }
}

// A crash at any numbered operation of a batch of three tables (killed, or
// losing power) leaves each table whole or absent; the next batch in the
// directory clears what the dead one left and creates all three.
TEST(CreationBatchTest, ACrashAnywhereLeavesEachTableWholeOrAbsent) {
  TempDir scratch;
  auto run = [](const std::string& directory, FileSystem& fs) {
    CreationBatch batch(fs, directory);
    for (int i = 0; i < 3; ++i) batch.create(Name(i), Definition(20));
    batch.commit();
  };
  FaultFileSystem counter(FileSystem::Default());
  stdfs::create_directories(scratch.file("count"));
  run(scratch.file("count"), counter);
  const uint64_t total = counter.operations();
  ASSERT_GT(total, 15u);
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(test::CrashName(crash));
    int saw_none = 0, saw_all = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("dying at " + std::to_string(n));
      const std::string root = scratch.file("run" + std::to_string(n));
      stdfs::create_directories(root);
      ASSERT_TRUE(test::RunDyingAt(crash, n, [&](FileSystem& fs) { run(root, fs); }));
      const size_t whole = WholeTables(root, 3).size();
      saw_none += whole == 0;
      saw_all += whole == 3;
      run(root, FileSystem::Default());
      EXPECT_EQ(WholeTables(root, 3).size(), 3u);
      EXPECT_FALSE(stdfs::exists(root + "/" + CreationBatch::WorkDirectoryName()));
      stdfs::remove_all(root);
    }
    EXPECT_GT(saw_none, 0);
    EXPECT_GT(saw_all, 0);
  }
}

}  // namespace
}  // namespace vellum::engine
