// Tables this user may only read (a read-only medium, files without write
// permission) and the locks a descriptor opened for reading can hold. The
// tests run as a user whom permission bits do not stop, so the refusals come
// from the file-system seam; the lock calls are the real ones.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/errors.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

// T: ID Integer, NAME String(10), primary key ID, a secondary index on NAME
// and three rows.
void CreateT(const std::string& directory) {
  TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false}, {"NAME", FieldType::kString, 10, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false},
                 {"NAME", {"NAME"}, false, false, false, true}};
  Table::Create(directory, "T", def);
  auto t = Table::Open(directory, "T", {.writable = true});
  for (int64_t id = 1; id <= 3; ++id) t->insert({id, "row " + std::to_string(id)});
}

TEST(ReadOnlyTableTest, ATableAskedForWritingWhoseFilesMayOnlyBeReadOpensForReading) {
  test::TempDir dir;
  CreateT(dir.path());
  const auto before = test::SnapshotFiles(dir.path());
  test::RefusingFileSystem medium(FileSystem::Default());
  medium.write_protected = [](const std::string&) { return true; };
  medium.read_only = [](const std::string&) { return true; };

  auto t = Table::Open(dir.path(), "T", {.writable = true}, medium);
  EXPECT_FALSE(t->writable());
  EXPECT_EQ(t->recordCount(), 3u);
  EXPECT_EQ(t->read(2)[1], Value{std::string("row 3")});
  {
    Table::ReadLock still(*t);  // a shared lock, through a descriptor opened for reading
    try {
      t->insert({int64_t{4}, std::string("row 4")});
      ADD_FAILURE() << "a table whose files may only be read took a row";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest);
      EXPECT_STREQ(e.what(), "Table \"T\" cannot be changed: its files may only be read");
    }
    // Another reader is not kept out.
    auto reader = Table::Open(dir.path(), "T", {}, FileSystem::Posix());
    EXPECT_EQ(reader->recordCount(), 3u);
  }
  t.reset();
  EXPECT_EQ(test::SnapshotFiles(dir.path()), before);

  // A restructure needs the table to itself and to write it: refused at
  // once, with the system's reason.
  try {
    Table::Open(dir.path(), "T", {.writable = true, .exclusive = true}, medium);
    ADD_FAILURE() << "an exclusive open for writing of a write-protected table succeeded";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.entries().front().native_code, EACCES) << e.what();
  }
  // Where the files may be written, the same open writes.
  auto writable = Table::Open(dir.path(), "T", {.writable = true});
  EXPECT_TRUE(writable->writable());
}

TEST(ReadOnlyTableTest, ADescriptorOpenedForReadingHoldsSharedLocksAndRefusesAnExclusiveOne) {
  test::TempDir dir;
  CreateT(dir.path());
  FileSystem& fs = FileSystem::Posix();
  const std::string path = dir.file("T.DB");
  std::unique_ptr<File> reading = fs.open(path, OpenMode::kRead);
  std::unique_ptr<File> writing = fs.open(path, OpenMode::kReadWrite);

  // The shared change lock is real: a writer's exclusive one waits for it.
  ASSERT_TRUE(reading->tryLockChanges(false));
  EXPECT_FALSE(writing->tryLockChanges(true));
  reading->unlockChanges();
  EXPECT_TRUE(writing->tryLockChanges(true));
  EXPECT_FALSE(reading->tryLockChanges(false));
  writing->unlockChanges();

  // The open lock in both modes.
  ASSERT_TRUE(reading->tryLock(false));
  EXPECT_FALSE(writing->tryLock(true));
  reading->unlock();
  ASSERT_TRUE(reading->tryLock(true));
  reading->unlock();

  // An exclusive change lock cannot be had through a descriptor opened for
  // reading; asking is a mistake said as such, not an I/O failure.
  try {
    reading->tryLockChanges(true);
    ADD_FAILURE() << "an exclusive change lock through a descriptor opened for reading";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest) << e.what();
  }
}

}  // namespace
}  // namespace vellum::engine::paradox
