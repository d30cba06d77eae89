// Changes of a table are all or nothing: kill-point and power-loss sweeps
// over one insert, update and delete and over a bulk change, and the
// journals an open must not act on.
#include "engine/rollback_journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/fs/fault_file_system.h"
#include "engine/paradox/table.h"
#include "tests/support/child_process.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::FieldDef;
using paradox::IndexDef;
using paradox::OpenOptions;
using paradox::Row;
using paradox::Table;
using paradox::TableDefinition;
using test::Crash;
using test::CrashName;
using test::TempDir;

// T: ID (key), NAME A20 (secondary index), NOTE memo: a change writes the
// .DB, the .PX, the index files and the .MB.
TableDefinition Definition() {
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 20},
                FieldDef{"NOTE", FieldType::kMemo, 10}};
  def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"ByName", {"NAME"}}};
  return def;
}

Row MakeRow(int64_t id) {
  const std::string note = id % 2 == 0 ? std::string(static_cast<size_t>(40 + id % 300), 'm') : "";
  return Row{id, "name " + std::to_string(id * 7 % 1000),
             note.empty() ? Value{} : Value{note + std::to_string(id)}};
}

// Every row of table T in `dir`, as text, in table order (the open
// recovers).
std::vector<std::string> Rows(const std::string& dir) {
  std::vector<std::string> rows;
  auto t = Table::Open(dir, "T");
  Table::Scanner scan(*t);
  Row row;
  while (scan.next(row)) {
    std::string line;
    for (const Value& v : row) line += ValueToText(v) + "|";
    rows.push_back(line);
  }
  return rows;
}

void MakePristine(const std::string& dir, int rows) {
  std::filesystem::create_directories(dir);
  Table::Create(dir, "T", Definition());
  auto t = Table::Open(dir, "T", OpenOptions{true, true});
  t->beginBulk();
  for (int64_t id = 1; id <= rows; ++id) t->insert(MakeRow(id * 10));
  t->endBulk();
  t->flush();
}

using Change = std::function<void(Table&)>;

// Sweeps a change of T, made through a shared writable open as a window's
// post is, over every numbered file operation, killed and losing power.
void SweepChange(const Change& change, int rows) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  MakePristine(pristine, rows);
  const std::vector<std::string> old_rows = Rows(pristine);

  auto build = [change](const std::string& root, FileSystem& fs) {
    auto t = Table::Open(root, "T", OpenOptions{true, false}, fs);
    change(*t);
  };
  const std::string whole = scratch.file("whole");
  std::filesystem::copy(pristine, whole);
  FaultFileSystem counter(FileSystem::Default());
  build(whole, counter);
  const std::vector<std::string> new_rows = Rows(whole);
  ASSERT_NE(old_rows, new_rows);
  ASSERT_GT(counter.operations(), 5u);

  test::Sweep sweep;
  sweep.scratch = scratch.path();
  sweep.pristine = pristine;
  sweep.table = "T";
  sweep.total = counter.operations();
  sweep.build = build;
  sweep.which = [&](const std::string& root) {
    const auto now = Rows(root);
    return now == old_rows ? -1 : now == new_rows ? 1 : 0;
  };
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    test::ExpectWholeTables(test::SweepKillPoints(sweep, crash));
  }
}

TEST(RollbackJournalTest, ACrashAtAnyWriteOfAnInsertLeavesTheTableBeforeOrAfterIt) {
  // Into the middle: a block splits, the indexes and the memo file change.
  SweepChange([](Table& t) { t.insert(MakeRow(155)); }, 400);
}

TEST(RollbackJournalTest, ACrashAtAnyWriteOfAnUpdateOrADeleteLeavesTheTableBeforeOrAfterIt) {
  SweepChange(
      [](Table& t) {
        Row row = MakeRow(999);
        row[0] = int64_t{20};  // the key stays; name and memo change
        t.update(1, row);
      },
      400);
  SweepChange([](Table& t) { t.remove(3); }, 400);
}

TEST(RollbackJournalTest, ACrashAtAnyWriteOfABulkChangeLeavesTheTableBeforeOrAfterIt) {
  // Rows between and beyond those there, more than the block cache holds.
  SweepChange(
      [](Table& t) {
        t.beginBulk();
        for (int64_t id = 3; id < 6000; id += 4) t.insert(MakeRow(id));
        t.endBulk();
        t.flush();
      },
      300);
}

// Rows of an open table as a reader reads them now.
std::vector<std::string> ReadRows(Table& t) {
  std::vector<std::string> rows;
  Table::Scanner scan(t);
  Row row;
  while (scan.next(row)) rows.push_back(ValueToText(row[0]) + "|" + ValueToText(row[1]));
  return rows;
}

TEST(RollbackJournalTest, AReaderOpenWhileAWriterDiesInAChangeReadsTheTableBeforeOrAfterIt) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  Table::Create(pristine, "T", test::RowCommandTable());
  {
    auto t = Table::Open(pristine, "T", OpenOptions{true, true});
    for (int64_t id = 1; id <= 300; ++id)
      t->insert({Value{id * 10}, Value{"old " + std::to_string(id)}});
  }
  auto insert_many = [](const std::string& dir, uint64_t die_at, std::string* out) {
    return test::RunChild({"insert-many", dir, "T", "3001", "2000", std::to_string(die_at)}, out);
  };
  const std::string whole = scratch.file("whole");
  std::filesystem::copy(pristine, whole);
  std::string out;
  ASSERT_EQ(insert_many(whole, 0, &out), 0);
  const uint64_t total = std::stoull(out);
  ASSERT_GT(total, 5u);
  std::vector<std::string> old_rows, new_rows;
  {
    auto t = Table::Open(pristine, "T");
    old_rows = ReadRows(*t);
    new_rows = ReadRows(*Table::Open(whole, "T"));
  }
  int saw_old = 0, saw_new = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("the writer died at " + std::to_string(n));
    const std::string dir = scratch.file("run" + std::to_string(n));
    std::filesystem::copy(pristine, dir);
    auto reader = Table::Open(dir, "T");
    ASSERT_EQ(ReadRows(*reader), old_rows);
    insert_many(dir, n, nullptr);
    const std::vector<std::string> now = ReadRows(*reader);
    EXPECT_TRUE(now == old_rows || now == new_rows) << now.size() << " rows";
    saw_old += now == old_rows ? 1 : 0;
    saw_new += now == new_rows ? 1 : 0;
    EXPECT_EQ(reader->verify(), std::vector<std::string>{});
    reader.reset();
    std::filesystem::remove_all(dir);
  }
  EXPECT_GT(saw_old, 0);
  EXPECT_GT(saw_new, 0);
}

// --- journals an open must not act on ----------------------------------

uint32_t Fnv(uint32_t h, const std::string& bytes) {
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

std::string Le(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// A journal of table `owner` in the documented format, whose one file
// record names `file` (old length `length`) and whose one page puts `page`
// at offset 0.
std::string CraftJournal(const std::string& owner, const std::string& file, uint64_t length,
                         const std::string& page) {
  const uint32_t salt = 77;
  std::string header =
      std::string("VELLUM-ROLLBACK\n") + Le(1, 4) + Le(salt, 4) + Le(owner.size(), 2) + owner;
  header += Le(Fnv(2166136261u, header), 4);
  auto record = [&](const std::string& body) {
    return body + Le(Fnv(Fnv(2166136261u, Le(salt, 4)), body), 4);
  };
  return header + record("F" + Le(file.size(), 2) + file + Le(length, 8) + Le(1, 1)) +
         record("P" + Le(0, 4) + Le(0, 8) + Le(page.size(), 4) + page);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(RollbackJournalTest, AJournalOfThisTablePutsItsPagesBackAndGoes) {
  // The oracle for the format above: a crafted journal of T's own data
  // file is acted on.
  TempDir dir;
  MakePristine(dir.path(), 50);
  const std::string db = dir.file("T.DB");
  const std::string before = ReadAll(db);
  std::string changed = before;
  changed[0x60] = static_cast<char>(changed[0x60] ^ 0x55);
  WriteAll(db, changed + "tail");
  WriteAll(dir.file(RollbackJournalName("T")),
           CraftJournal("T", "T.DB", before.size(), before.substr(0, 4096)));
  auto t = Table::Open(dir.path(), "T");
  EXPECT_EQ(ReadAll(db), before);
  EXPECT_FALSE(std::filesystem::exists(dir.file(RollbackJournalName("T"))));
  EXPECT_EQ(t->structure().recovery_note, "");
}

TEST(RollbackJournalTest, AJournalNotOfThisTableOrDamagedIsLeftAloneAndReported) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string& other_db)> journal;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"another table's file",
       [](const std::string& other) { return CraftJournal("T", "OTHER.DB", 4096, other); },
       "it names \"OTHER.DB\", which is no file of the table"},
      {"another table's journal",
       [](const std::string& other) { return CraftJournal("OTHER", "OTHER.DB", 4096, other); },
       "it belongs to table \"OTHER\""},
      {"a damaged header",
       [](const std::string& other) {
         std::string j = CraftJournal("T", "T.DB", 4096, other);
         j[20] = 9;
         return j;
       },
       "its header is damaged"},
      {"a user's file", [](const std::string&) { return std::string("my notes\n"); },
       "it is not a rollback journal of this program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MakePristine(dir.path(), 50);
    Table::Create(dir.path(), "OTHER", Definition());
    const std::string other = ReadAll(dir.file("OTHER.DB")).substr(0, 4096);
    const std::string t_db = ReadAll(dir.file("T.DB"));
    const std::string journal = c.journal(std::string(4096, 'X'));
    WriteAll(dir.file(RollbackJournalName("T")), journal);

    auto t = Table::Open(dir.path(), "T");
    EXPECT_EQ(ReadAll(dir.file("T.DB")), t_db);
    EXPECT_EQ(ReadAll(dir.file("OTHER.DB")).substr(0, 4096), other);
    EXPECT_EQ(ReadAll(dir.file(RollbackJournalName("T"))), journal);
    EXPECT_NE(t->structure().recovery_note.find(c.reason), std::string::npos)
        << t->structure().recovery_note;
    // A change would build on what the journal may hold: it is refused.
    t.reset();
    auto w = Table::Open(dir.path(), "T", OpenOptions{true, false});
    EXPECT_THROW(w->insert(MakeRow(1)), EDBEngineError);
    EXPECT_EQ(ReadAll(dir.file("T.DB")), t_db);
  }
}

TEST(RollbackJournalTest, AJournalWhoseCreationWasCutShortIsRemoved) {
  for (const std::string& bytes : {std::string(), std::string(512, '\0')}) {
    TempDir dir;
    MakePristine(dir.path(), 20);
    const std::string t_db = ReadAll(dir.file("T.DB"));
    WriteAll(dir.file(RollbackJournalName("T")), bytes);
    auto t = Table::Open(dir.path(), "T");
    EXPECT_FALSE(std::filesystem::exists(dir.file(RollbackJournalName("T"))));
    EXPECT_EQ(ReadAll(dir.file("T.DB")), t_db);
    EXPECT_EQ(t->structure().recovery_note, "");
  }
}

TEST(RollbackJournalTest, AChangeThatFailsIsUndoneAtOnce) {
  TempDir dir;
  MakePristine(dir.path(), 200);
  const std::vector<std::string> before = Rows(dir.path());
  // The change fails at each of its writes in turn (a full disk); the
  // table is as it was each time, and takes the next change.
  FaultFileSystem counter(FileSystem::Default());
  TempDir whole;
  std::filesystem::copy(dir.path(), whole.path());
  Table::Open(whole.path(), "T", OpenOptions{true, false}, counter)->insert(MakeRow(155));
  const uint64_t total = counter.operations();
  const std::vector<std::string> after = Rows(whole.path());
  int failed = 0, undone = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("failing at " + std::to_string(n));
    TempDir copy;
    std::filesystem::copy(dir.path(), copy.path());
    FaultFileSystem fs(FileSystem::Default());
    fs.arm(n, FaultFileSystem::Mode::kFail);
    auto t = Table::Open(copy.path(), "T", OpenOptions{true, false}, fs);
    try {
      t->insert(MakeRow(155));
    } catch (const EDBEngineError&) {
      ++failed;
      fs.arm(0, FaultFileSystem::Mode::kCount);
      t.reset();
      // Before the journal goes the change is undone; after, a failure
      // (the directory's sync) cannot undo it.
      const std::vector<std::string> now = Rows(copy.path());
      EXPECT_TRUE(now == before || now == after);
      if (now != before) continue;
      ++undone;
      auto again = Table::Open(copy.path(), "T", OpenOptions{true, false});
      EXPECT_EQ(again->verify(), std::vector<std::string>{});
      again->insert(MakeRow(155));
      EXPECT_EQ(again->recordCount(), before.size() + 1);
    }
  }
  EXPECT_GT(failed, 0);
  EXPECT_GE(undone, failed - 1);
}

}  // namespace
}  // namespace vellum::engine
