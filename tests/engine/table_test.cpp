#include "engine/paradox/table.h"
#include "engine/rollback_journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/errors.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::TempDir;

TableDefinition KeyedDefinition() {
  TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false},
                {"NAME", FieldType::kString, 20, false},
                {"PRICE", FieldType::kCurrency, 0, false},
                {"QTY", FieldType::kSmallint, 0, false},
                {"NOTE", FieldType::kMemo, 10, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false},
                 {"ByName", {"NAME"}, false, false, false, true},
                 {"QTY", {"QTY"}, false, false, false, false}};
  return def;
}

Row MakeRow(int id) {
  std::string note = id % 3 == 0 ? std::string(static_cast<size_t>(id % 3000), 'n') + "!" : "";
  return Row{int64_t{id}, "name" + std::to_string(id % 977), id * 1.25, int64_t{id % 300},
             note.empty() ? Value{} : Value{note}};
}

TEST(TableTest, KeyedRandomInsertsAndDeletesStayOrderedAndVerifyClean) {
  TempDir dir;
  Table::Create(dir.path(), "ITEMS", KeyedDefinition());
  std::vector<int> ids(20000);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(i) + 1;
  std::mt19937 rng(42);
  std::shuffle(ids.begin(), ids.end(), rng);
  {
    auto t = Table::Open(dir.path(), "items", {true, true});
    t->beginBulk();
    for (int id : ids) t->insert(MakeRow(id));
    t->endBulk();
    EXPECT_EQ(t->recordCount(), ids.size());
    // Delete every id divisible by 7, by key lookup.
    t->beginBulk();
    for (int id = 7; id <= 20000; id += 7) {
      uint32_t pos = t->lowerBound({int64_t{id}});
      ASSERT_LT(pos, t->recordCount());
      ASSERT_EQ(std::get<int64_t>(t->read(pos)[0]), id);
      t->remove(pos);
    }
    t->endBulk();
    auto problems = t->verify();
    for (const auto& p : problems) ADD_FAILURE() << p;
  }
  auto t = Table::Open(dir.path(), "ITEMS.db");
  Table::Scanner scan(*t);
  Row row;
  int expected = 1;
  size_t n = 0;
  while (scan.next(row)) {
    if (expected % 7 == 0) ++expected;
    ASSERT_EQ(std::get<int64_t>(row[0]), expected);
    EXPECT_EQ(row, MakeRow(expected));
    ++expected;
    ++n;
  }
  EXPECT_EQ(n, 20000u - 20000u / 7);
  EXPECT_TRUE(t->verify().empty());
  ASSERT_EQ(t->structure().indexes.size(), 3u);
}

TEST(TableTest, DuplicateKeysAreRefusedAndChangeNothing) {
  TempDir dir;
  auto def = KeyedDefinition();
  def.indexes[1].unique = true;
  Table::Create(dir.path(), "ITEMS", def);
  auto t = Table::Open(dir.path(), "ITEMS", {true, true});
  t->insert(MakeRow(1));
  t->insert(MakeRow(2));
  try {
    t->insert(MakeRow(1));
    FAIL() << "duplicate primary key accepted";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kIntegrity);
  }
  Row same_name = MakeRow(3);
  same_name[1] = std::string("NAME1");  // case-insensitive unique index
  EXPECT_THROW(t->insert(same_name), EDBEngineError);
  EXPECT_EQ(t->recordCount(), 2u);
  EXPECT_TRUE(t->verify().empty());
}

// Records the rows a change is about to replace or take away, as the
// listener is told them.
class OldRowsSeen : public TableListener {
 public:
  void tableAboutToChange(Table& table, const TableChange& change) override {
    if (change.old_record) rows.push_back(table.decodeRecordBytes(change.old_record));
  }
  void tableChanged(Table&, const TableChange&) override {}
  std::vector<Row> rows;
};

TEST(TableTest, UpdatesAndRemovalsOfARecordThatIsNotThereAreRefusedAndChangeNothing) {
  TempDir dir;
  Table::Create(dir.path(), "ITEMS", KeyedDefinition());
  auto t = Table::Open(dir.path(), "ITEMS", {true, true});
  for (int id : {3, 6, 9}) t->insert(MakeRow(id));
  OldRowsSeen seen;
  t->addListener(&seen);
  const auto refusal = [](const std::function<void()>& change) -> std::string {
    try {
      change();
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest);
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refusal([&] { t->update(3, MakeRow(12)); }), "Record 4 does not exist");
  EXPECT_EQ(refusal([&] { t->remove(3); }), "Record 4 does not exist");
  EXPECT_EQ(refusal([&] { t->remove(UINT32_MAX - 1); }), "Record 4294967295 does not exist");
  EXPECT_TRUE(seen.rows.empty());
  EXPECT_EQ(t->changeCount(), 3u);

  // The record a change starts from is the one at the ordinal, as it was.
  t->update(1, MakeRow(7));
  t->remove(0);
  EXPECT_EQ(seen.rows, (std::vector<Row>{MakeRow(6), MakeRow(3)}));
  t->removeListener(&seen);
  std::vector<Row> rows;
  for (uint32_t i = 0; i < t->recordCount(); ++i) rows.push_back(t->read(i));
  EXPECT_EQ(rows, (std::vector<Row>{MakeRow(7), MakeRow(9)}));
  EXPECT_TRUE(t->verify().empty());
}

TEST(TableTest, UnsupportedTypesAreRefusedNamingTheField) {
  TempDir dir;
  for (FieldType t : {FieldType::kWord, FieldType::kVarBytes, FieldType::kDBaseOle,
                      FieldType::kTypedBinary, FieldType::kCursor, FieldType::kUnknown}) {
    TableDefinition def;
    def.fields = {{"ID", FieldType::kInteger, 0, false}, {"ODD", t, 4, false}};
    try {
      Table::Create(dir.path(), "BAD", def);
      ADD_FAILURE() << "type " << static_cast<int>(t) << " accepted";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest);
      EXPECT_NE(std::string(e.what()).find("\"ODD\""), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(ListTables(dir.path()).empty());
}

TEST(TableTest, ADefinitionRefusedLeavesTheTableItWouldReplaceAsItWas) {
  struct Case {
    const char* name;
    void (*spoil)(TableDefinition&);
  };
  const Case cases[] = {
      {"IndexOnAMissingField", [](TableDefinition& d) { d.indexes[1].key_fields = {"GONE"}; }},
      {"IndexOnAMemo", [](TableDefinition& d) { d.indexes[1].key_fields = {"NOTE"}; }},
      {"IndexWithoutKeyFields", [](TableDefinition& d) { d.indexes[1].key_fields.clear(); }},
      {"PrimaryIndexWithoutKeyFields", [](TableDefinition& d) { d.indexes[0].key_fields.clear(); }},
      {"IndexOnAnEmptyName",
       [](TableDefinition& d) {
         d.indexes[1].key_fields = {"NAME", ""};
       }},
      {"TwoIndexesOfOneName", [](TableDefinition& d) { d.indexes[2].name = "ByName"; }},
      {"IndexWithoutAName", [](TableDefinition& d) { d.indexes[1].name.clear(); }},
      {"CheckOnAMissingField",
       [](TableDefinition& d) {
         d.checks.emplace_back();
         d.checks.back().field_number = 9;
         d.checks.back().required = true;
       }},
  };
  TempDir dir;
  Table::Create(dir.path(), "KEPT", KeyedDefinition());
  Table::Open(dir.path(), "KEPT", {true, false})->insert(MakeRow(7));
  const auto before = test::SnapshotFiles(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableDefinition def = KeyedDefinition();
    c.spoil(def);
    try {
      Table::Create(dir.path(), "KEPT", def);
      ADD_FAILURE() << "definition accepted";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest) << e.what();
    }
    EXPECT_EQ(test::SnapshotFiles(dir.path()), before);
  }
}

TEST(TableTest, LevelIsRaisedToWhatTheDefinitionNeeds) {
  TempDir dir;
  auto level_of = [&](TableDefinition def) {
    Table::Create(dir.path(), "LVL", def);
    return Table::Open(dir.path(), "LVL")->structure().level;
  };
  TableDefinition def;
  def.fields = {{"ID", FieldType::kSmallint, 0, false}, {"NAME", FieldType::kString, 10, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};
  EXPECT_EQ(level_of(def), "4");
  def.fields.push_back({"WHEN", FieldType::kDateTime, 0, false});
  EXPECT_EQ(level_of(def), "5");
  def.indexes.push_back({"ByName", {"NAME"}, false, false, true, false});
  EXPECT_EQ(level_of(def), "7");
  def.indexes.pop_back();
  def.level = 7;
  EXPECT_EQ(level_of(def), "7");
  def.level = 3;
  def.fields.pop_back();
  EXPECT_EQ(level_of(def), "3");
}

// Unkeyed tables have secondary indexes that are not maintained: their
// entries name a record by number and place and are made anew when used.
// Such a table is created with empty index files of that shape (as the
// corpus's unkeyed joins/case.db holds them: type 3, the indexed field then
// Tup No, Blk Num and Tup Offset, every field but the last the key), and
// its rows change without touching them.
TEST(TableTest, AnUnkeyedTableHasIndexesThatAreNotMaintained) {
  TempDir dir;
  TableDefinition def;
  def.level = 4;
  def.fields = {{"NAME", FieldType::kString, 10, false},
                {"CITY", FieldType::kString, 12, false},
                {"N", FieldType::kInteger, 0, false}};
  def.indexes = {{"NAME", {"NAME"}, false, false, false, false},
                 {"ByCity", {"CITY", "N"}, false, false, false, false}};
  Table::Create(dir.path(), "PEOPLE", def);
  struct Expected {
    const char* file;
    uint8_t file_type;
    uint16_t record_size, fields, key_fields;
  };
  for (const Expected& e : {Expected{"PEOPLE.X01", 3, 10 + 4 + 2 + 2, 4, 3},
                            Expected{"PEOPLE.Y01", 4, 10 + 4 + 2 + 6, 3, 3},
                            Expected{"PEOPLE.XG0", 6, 12 + 4 + 4 + 2 + 2, 5, 4},
                            Expected{"PEOPLE.YG0", 7, 12 + 4 + 4 + 2 + 6, 4, 4}}) {
    SCOPED_TRACE(e.file);
    const std::string s = test::ReadFile(dir.file(e.file));
    ASSERT_GE(s.size(), 0x58u);
    auto byte = [&s](size_t at) { return static_cast<uint8_t>(s[at]); };
    auto le16 = [&byte](size_t at) { return byte(at) | byte(at + 1) << 8; };
    EXPECT_EQ(byte(0x04), e.file_type);
    EXPECT_EQ(le16(0x00), e.record_size);
    EXPECT_EQ(le16(0x06), 0);  // no entries
    if (e.file[8] == 'X') {
      EXPECT_EQ(le16(0x21), e.fields);
      EXPECT_EQ(le16(0x23), e.key_fields);
    }
  }
  auto t = Table::Open(dir.path(), "PEOPLE", {true, true});
  ASSERT_EQ(t->structure().indexes.size(), 2u);
  for (const IndexInfo& index : t->structure().indexes) {
    EXPECT_FALSE(index.maintained) << index.name;
    EXPECT_FALSE(index.out_of_date) << index.name;
  }
  EXPECT_EQ(t->structure().indexes[1].key_fields, (std::vector<std::string>{"CITY", "N"}));
  t->insert({std::string("Ada"), std::string("Turin"), int64_t{2}});
  t->insert({std::string("Bea"), std::string("Milan"), int64_t{1}});
  EXPECT_EQ(t->recordCount(), 2u);
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

TEST(TableTest, LocksAreSharedOrExclusivePerHandle) {
  TempDir dir;
  Table::Create(dir.path(), "LOCKED", KeyedDefinition());
  auto a = Table::Open(dir.path(), "LOCKED", {false, false});
  auto b = Table::Open(dir.path(), "LOCKED", {false, false});
  try {
    Table::Open(dir.path(), "LOCKED", {true, true});
    ADD_FAILURE() << "exclusive open of a table open elsewhere";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kLockConflict);
  }
  a.reset();  // closing one handle must not drop the other's lock
  EXPECT_THROW(Table::Open(dir.path(), "LOCKED", {true, true}), EDBEngineError);
  b.reset();
  auto c = Table::Open(dir.path(), "LOCKED", {true, true});
  EXPECT_THROW(Table::Open(dir.path(), "LOCKED"), EDBEngineError);
  EXPECT_THROW(Table::Create(dir.path(), "LOCKED", KeyedDefinition()), EDBEngineError);
}

TEST(TableTest, AReaderOfATableItsOwnProcessIsChangingNeverWaitsForThatChange) {
  TempDir dir;
  Table::Create(dir.path(), "BUSY", KeyedDefinition());
  auto writer = Table::Open(dir.path(), "BUSY", {.writable = true});
  writer->beginBulk();  // holds the change lock until endBulk
  writer->insert(MakeRow(1));
  // Another process would wait for the change to end; this process's own
  // reader shares what the writer holds and sees the row not yet written.
  auto reader = Table::Open(dir.path(), "BUSY", {.lock_wait_ms = 1000});
  EXPECT_EQ(reader->recordCount(), 1u);
  EXPECT_EQ(reader->read(0)[0], Value{int64_t{1}});
  EXPECT_FALSE(reader->writable());
  try {
    reader->insert(MakeRow(2));
    ADD_FAILURE() << "a handle opened for reading changed the table";
  } catch (const EDBEngineError& e) {
    EXPECT_STREQ(e.what(), "Table \"BUSY\" is open read-only");
  }
  EXPECT_THROW(reader->lockChanges(), EDBEngineError);
  reader->beginBulk();  // takes nothing a reader cannot hold
  reader->endBulk();
  writer->insert(MakeRow(3));
  writer->endBulk();
  EXPECT_EQ(reader->recordCount(), 2u);
  reader.reset();
  writer.reset();
  EXPECT_EQ(Table::Open(dir.path(), "BUSY")->recordCount(), 2u);
}

TEST(TableTest, ExclusiveOpenInAnotherProcessBlocksUntilItDies) {
  TempDir dir;
  Table::Create(dir.path(), "SHARED", KeyedDefinition());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto t = Table::Open(dir.path(), "SHARED", {true, true});
    char c = 'x';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  try {
    Table::Open(dir.path(), "SHARED");
    ADD_FAILURE() << "opened a table held exclusively by another process";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kLockConflict);
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_NO_THROW(Table::Open(dir.path(), "SHARED", {true, true}));
}

// Two readers that open and read a table in a loop, overlapping, always
// have it open: a writer that waited for it to be free never got its turn.
// Opens take turns: a waiting writer holds back new readers until it has had
// its turn, within its lock wait; the readers then go on.
TEST(TableTest, AWriterWaitingForItsTurnGetsItAgainstReadersThatNeverStop) {
  TempDir dir;
  Table::Create(dir.path(), "BUSY", KeyedDefinition());
  {
    auto t = Table::Open(dir.path(), "BUSY", {true, true});
    for (int id = 1; id <= 2000; ++id) t->insert(MakeRow(id));
  }
  std::vector<pid_t> readers;
  int started[2];
  ASSERT_EQ(pipe(started), 0);
  for (int r = 0; r < 2; ++r) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool told = false;
      for (;;) {
        try {
          auto t = Table::Open(dir.path(), "BUSY");
          Table::Scanner scan(*t);
          Row row;
          while (scan.next(row)) {
          }
          if (!told) {
            told = true;
            char c = 'r';
            (void)!write(started[1], &c, 1);
          }
        } catch (const EDBEngineError&) {
          // Held by the writer: try again.
        }
      }
    }
    readers.push_back(child);
  }
  char c = 0;
  ASSERT_EQ(read(started[0], &c, 1), 1);
  ASSERT_EQ(read(started[0], &c, 1), 1);
  int granted = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    OpenOptions exclusive{true, true};
    exclusive.lock_wait_ms = 3000;
    try {
      Table::Open(dir.path(), "BUSY", exclusive);
      ++granted;
    } catch (const EDBEngineError& e) {
      ADD_FAILURE() << e.what();
    }
  }
  for (pid_t child : readers) {
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
  }
  close(started[0]);
  close(started[1]);
  EXPECT_EQ(granted, 5);
}

// A table this process has open is never waited for: it cannot close while
// the exclusive open waits.
TEST(TableTest, AnExclusiveOpenFailsAtOnceOnATableItsOwnProcessHasOpen) {
  TempDir dir;
  Table::Create(dir.path(), "MINE", KeyedDefinition());
  auto reader = Table::Open(dir.path(), "MINE");
  OpenOptions exclusive{true, true};
  exclusive.lock_wait_ms = 60000;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Table::Open(dir.path(), "MINE", exclusive), EDBEngineError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace vellum::engine::paradox

namespace vellum::engine::paradox {
namespace {

TEST(TableDamageTest, ADamagedSecondaryIndexFileIsReportedByVerify) {
  test::TempDir dir;
  test::CopyTableFiles(test::CorpusDir() + "/leonhad_paradoxdriver/db", "CUSTOMER", dir.path());
  ASSERT_TRUE(Table::Open(dir.path(), "CUSTOMER")->verify().empty());
  {
    std::FILE* f = std::fopen(dir.file("CUSTOMER.X06").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    unsigned char ff[16];
    std::memset(ff, 0xFF, sizeof ff);
    std::fwrite(ff, 1, sizeof ff, f);
    std::fclose(f);
  }
  auto t = Table::Open(dir.path(), "CUSTOMER");
  auto problems = t->verify();
  ASSERT_FALSE(problems.empty());
  bool named = false;
  for (const auto& p : problems) named = named || p.find("CUSTOMER.X06") != std::string::npos;
  EXPECT_TRUE(named);
}

TEST(TableDamageTest, AProgramThatDiesInABulkChangeLeavesTheTableAsBeforeIt) {
  TempDir dir;
  Table::Create(dir.path(), "ITEMS", KeyedDefinition());
  constexpr int kBefore = 300;  // committed before the bulk change
  {
    auto t = Table::Open(dir.path(), "ITEMS", {true, true});
    for (int id = 1; id <= kBefore; ++id) t->insert(MakeRow(id * 100));
  }
  constexpr int kRows = 9000;  // several times the block cache
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto t = Table::Open(dir.path(), "ITEMS", {true, true});
    t->beginBulk();
    // Between and after the rows there: blocks are split, rewritten and
    // written out when the cache fills.
    for (int id = kRows * 10; id >= 1; id -= 10) t->insert(MakeRow(id + 1));
    _exit(0);  // no destructors: whatever the caches held is lost
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_TRUE(std::filesystem::exists(dir.file(RollbackJournalName("ITEMS"))));

  auto t = Table::Open(dir.path(), "ITEMS", {true, true});
  EXPECT_FALSE(std::filesystem::exists(dir.file(RollbackJournalName("ITEMS"))));
  ASSERT_EQ(t->recordCount(), static_cast<uint32_t>(kBefore));
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
  size_t by_name_index = 0;
  for (size_t k = 0; k < t->secondaryCount(); ++k) {
    if (t->structure().indexes[k + 1].name == "ByName") by_name_index = k;
  }
  for (uint32_t i = 0; i < static_cast<uint32_t>(kBefore); ++i) {
    const Row row = t->read(i);
    ASSERT_EQ(row, MakeRow(static_cast<int>(i + 1) * 100));
    const uint32_t by_name = t->indexLowerBound(by_name_index, {row[1]});
    ASSERT_LT(by_name, t->indexEntries(by_name_index));
    ASSERT_EQ(t->read(t->indexEntryRecord(by_name_index, by_name))[1], row[1]);
  }
  EXPECT_EQ(t->indexEntries(0), static_cast<uint32_t>(kBefore));
  EXPECT_EQ(t->indexEntries(1), static_cast<uint32_t>(kBefore));
  // The table takes changes again.
  t->insert(MakeRow(7));
  EXPECT_EQ(t->recordCount(), static_cast<uint32_t>(kBefore + 1));
}

TEST(ValueTextTest, DamagedDatesAndTimestampsPrintAsNumbers) {
  EXPECT_EQ(DateToIso(Date{736695}), "2018-01-01");
  EXPECT_EQ(DateToIso(Date{-5}), "-5");
  EXPECT_EQ(TimestampToIso(Timestamp{63716202001000.0}), "2020-02-01 01:00:01.000");
  EXPECT_EQ(TimestampToIso(Timestamp{1e300}), "1.0000000000000001e+300");
}

}  // namespace
}  // namespace vellum::engine::paradox
