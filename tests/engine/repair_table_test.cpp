// Repair of damaged tables: tables written through the engine, then damaged
// by hand in the ways other programs and older crashes leave them, are
// repaired. Every row the repaired table holds must be one that was written,
// byte for byte in its values; the rows the damage did not reach must all be
// there; the report must count what was lost; and the repaired table must
// pass the integrity check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "engine/repair_table.h"
#include "engine/restructure_journal.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::Row;
using paradox::Table;
using paradox::TableDefinition;
using test::TempDir;

constexpr int kRows = 300;

// Byte offsets of the data file's header and of a block's header.
constexpr size_t kHeaderSize = 0x02;
constexpr size_t kFileBlocks = 0x0C;

uint32_t Le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
void PutLe16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}

// The long memo of row `i`, when it has one: every seventh row's lives in
// the blob file.
std::string MemoOf(int i) {
  if (i % 7 != 0) return "short " + std::to_string(i);
  return std::string(300, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

// The row written with key `i`.
Row RowOf(int i) {
  return {int64_t{i}, "name " + std::to_string(i % 50), int64_t{i * 3}, MemoOf(i)};
}

// A keyed table ORDERS of kRows rows in 1 KB blocks (many blocks) with a
// blob file, a plain secondary index (.X02) and a composite one (.XG0).
void CreateOrders(const std::string& dir) {
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Name", FieldType::kString, 20, false},
                {"Amount", FieldType::kInteger, 0, false},
                {"Memo", FieldType::kMemo, 10, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"Name", {"Name"}, false, false, false, false},
                 {"ByAmount", {"Amount", "Name"}, false, false, true, false}};
  paradox::ValidityCheck named;
  named.field_number = 2;
  named.required = true;
  named.picture = "*&";
  def.checks = {named};
  def.block_kb = 1;
  Table::Create(dir, "ORDERS", def);
  auto t = Table::Open(dir, "ORDERS", {.writable = true, .exclusive = true});
  for (int i = 0; i < kRows; ++i) t->insert(RowOf(i));
}

std::string TextOf(const Row& r) {
  std::string line;
  for (const auto& v : r) line += ValueToText(v) + "|";
  return line;
}

// Every row of a table, by key, as text.
std::map<int64_t, std::string> RowsOf(const std::string& dir) {
  std::map<int64_t, std::string> rows;
  auto t = Table::Open(dir, "ORDERS");
  Table::Scanner scan(*t);
  Row r;
  while (scan.next(r)) rows[std::get<int64_t>(r[0])] = TextOf(r);
  return rows;
}

class RepairTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateOrders(dir_.path());
    written_ = RowsOf(dir_.path());
    ASSERT_EQ(written_.size(), static_cast<size_t>(kRows));
    db_ = test::ReadFile(dir_.file("ORDERS.DB"));
  }

  size_t blockOffset(int block) const {
    return Le(db_, kHeaderSize, 2) + static_cast<size_t>(block - 1) * 1024;
  }
  int blockCount(int block) const {
    const auto last = static_cast<int16_t>(Le(db_, blockOffset(block) + 4, 2));
    return last < 0 ? 0 : last / static_cast<int>(Le(db_, 0, 2)) + 1;
  }
  int fileBlocks() const { return static_cast<int>(Le(db_, kFileBlocks, 2)); }
  void setNext(int block, uint16_t next) { PutLe16(db_, blockOffset(block), next); }
  void saveDb() { test::WriteFile(dir_.file("ORDERS.DB"), db_); }

  RepairReport repair() { return RepairTable(dir_.path(), "ORDERS", {}); }

  // The repaired table passes the check, and each of its rows is the row
  // written with its key; returns how many rows it holds.
  size_t expectSoundAndTrue() {
    auto t = Table::Open(dir_.path(), "ORDERS");
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
    const auto rows = RowsOf(dir_.path());
    for (const auto& [key, text] : rows) {
      auto it = written_.find(key);
      if (it == written_.end()) {
        ADD_FAILURE() << "a row that was never written: " << text;
      } else {
        EXPECT_EQ(text, it->second);
      }
    }
    return rows.size();
  }

  TempDir dir_;
  std::map<int64_t, std::string> written_;
  std::string db_;
};

TEST_F(RepairTableTest, ASoundTableKeepsEveryRowAsItWasAndLosesNothing) {
  std::vector<std::string> before;
  {
    auto t = Table::Open(dir_.path(), "ORDERS");
    Table::Scanner scan(*t);
    Row r;
    while (scan.next(r)) before.push_back(TextOf(r));
  }
  const RepairReport report = repair();
  EXPECT_FALSE(report.lost());
  EXPECT_EQ(report.rows_kept, static_cast<uint64_t>(kRows));
  EXPECT_EQ(report.salvage.chain_problems, std::vector<std::string>{});
  EXPECT_EQ(report.indexes_kept, (std::vector<std::string>{"primary key", "Name", "ByAmount"}));
  std::vector<std::string> after;
  {
    auto t = Table::Open(dir_.path(), "ORDERS");
    ASSERT_EQ(t->structure().checks.size(), 1u);
    EXPECT_TRUE(t->structure().checks[0].required);
    EXPECT_EQ(t->structure().checks[0].picture, "*&");
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
    Table::Scanner scan(*t);
    Row r;
    while (scan.next(r)) after.push_back(TextOf(r));
  }
  EXPECT_EQ(after, before);
}

TEST_F(RepairTableTest, ABrokenChainLosesNoRowThatItsBlocksStillHold) {
  ASSERT_GT(fileBlocks(), 10);
  struct Damage {
    const char* what;
    uint16_t next_of_block_3;
  };
  const std::vector<Damage> cases = {
      {"a link out of range", 999},
      {"a cycle", 1},
      {"a link to a block past the file's end", static_cast<uint16_t>(fileBlocks() + 4)}};
  const std::string pristine = db_;
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    db_ = pristine;
    setNext(3, d.next_of_block_3);
    saveDb();
    ASSERT_FALSE(Table::Open(dir_.path(), "ORDERS")->verify().empty());
    const RepairReport report = repair();
    EXPECT_FALSE(report.salvage.chain_problems.empty());
    EXPECT_GT(report.salvage.orphan_blocks, 0u);
    EXPECT_EQ(report.rows_kept, static_cast<uint64_t>(kRows));
    EXPECT_FALSE(report.lost());
    EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
    db_ = test::ReadFile(dir_.file("ORDERS.DB"));
  }
}

TEST_F(RepairTableTest, ABlockCutShortByTheFilesEndIsReportedAndTheOthersKept) {
  const int last = fileBlocks();
  const int lost = blockCount(last);
  ASSERT_GT(lost, 1);
  db_.resize(blockOffset(last) + 6 + 10);  // the last block's records are cut off
  saveDb();
  const RepairReport report = repair();
  EXPECT_TRUE(report.lost());
  EXPECT_EQ(report.salvage.unreadable_blocks, 1u);
  EXPECT_EQ(report.header_records, static_cast<uint32_t>(kRows));
  EXPECT_EQ(report.rows_kept, static_cast<uint64_t>(kRows - lost));
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows - lost));
}

TEST_F(RepairTableTest, ABlockWithAnImpossibleCountLosesItsRecordsAlone) {
  const int lost = blockCount(5);
  PutLe16(db_, blockOffset(5) + 4, 3);  // not a multiple of the record size
  saveDb();
  const RepairReport report = repair();
  EXPECT_TRUE(report.lost());
  EXPECT_EQ(report.salvage.unreadable_blocks, 1u);
  ASSERT_FALSE(report.salvage.chain_problems.empty());
  EXPECT_EQ(report.salvage.chain_problems[0],
            "block 5 of the block chain cannot be read: its last-record offset is not a multiple "
            "of the record size");
  EXPECT_EQ(report.rows_kept, static_cast<uint64_t>(kRows - lost));
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows - lost));
}

TEST_F(RepairTableTest, AnOutOfPlaceCopyOfABlockAddsNoRowAndCountsTheRepeats) {
  // A block written twice, as a crash in the middle of a split leaves it:
  // its copy past the header's last block repeats its keys.
  const int first_count = blockCount(1);
  db_ += db_.substr(blockOffset(1), 1024);
  saveDb();
  const RepairReport report = repair();
  EXPECT_EQ(report.repeated_keys.count, static_cast<uint64_t>(first_count));
  ASSERT_FALSE(report.repeated_keys.first.empty());
  EXPECT_NE(report.repeated_keys.first[0].find("already exists"), std::string::npos);
  EXPECT_TRUE(report.lost());
  EXPECT_EQ(report.rows_kept, static_cast<uint64_t>(kRows));
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
}

TEST_F(RepairTableTest, DamagedOrMissingIndexFilesAreMadeAnewFromTheRows) {
  const std::string px = test::ReadFile(dir_.file("ORDERS.PX"));
  const std::string x02 = test::ReadFile(dir_.file("ORDERS.X02"));
  struct Damage {
    const char* what;
    std::function<void()> apply;
  };
  const std::vector<Damage> cases = {
      {"a truncated .PX", [&] { test::WriteFile(dir_.file("ORDERS.PX"), px.substr(0, 2048 + 7)); }},
      {"a deleted .PX", [&] { std::filesystem::remove(dir_.file("ORDERS.PX")); }},
      {"a .X02 whose entries are garbage", [&] {
         std::string x = x02;
         for (size_t i = Le(x, kHeaderSize, 2) + 6; i < x.size(); ++i) x[i] = '\x5A';
         test::WriteFile(dir_.file("ORDERS.X02"), x);
       }}};
  for (const Damage& d : cases) {
    SCOPED_TRACE(d.what);
    d.apply();
    ASSERT_FALSE(Table::Open(dir_.path(), "ORDERS")->verify().empty());
    const RepairReport report = repair();
    EXPECT_FALSE(report.lost());
    EXPECT_EQ(report.indexes_kept, (std::vector<std::string>{"primary key", "Name", "ByAmount"}));
    EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
  }
}

TEST_F(RepairTableTest, AnIndexWhoseHeaderCannotBeReadIsDroppedAndReported) {
  std::string x = test::ReadFile(dir_.file("ORDERS.XG0"));
  for (size_t i = 0; i < 0x58; ++i) x[i] = '\xFF';
  test::WriteFile(dir_.file("ORDERS.XG0"), x);
  const RepairReport report = repair();
  EXPECT_TRUE(report.lost());
  ASSERT_EQ(report.indexes_dropped.size(), 1u);
  EXPECT_NE(report.indexes_dropped[0].find("ORDERS.XG0"), std::string::npos);
  EXPECT_EQ(report.indexes_kept, (std::vector<std::string>{"primary key", "Name"}));
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("ORDERS.XG0")));
}

TEST_F(RepairTableTest, AValidityFileThatCannotBeReadIsDroppedAndReported) {
  std::string val = test::ReadFile(dir_.file("ORDERS.VAL"));
  ASSERT_FALSE(val.empty());
  val.resize(val.size() / 2);
  test::WriteFile(dir_.file("ORDERS.VAL"), val);
  ASSERT_THROW(Table::Open(dir_.path(), "ORDERS"), EDBEngineError);
  const RepairReport report = repair();
  EXPECT_TRUE(report.checks_dropped);
  EXPECT_NE(report.salvage.unreadable_checks.find("ORDERS.VAL"), std::string::npos)
      << report.salvage.unreadable_checks;
  EXPECT_TRUE(report.lost());
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("ORDERS.VAL")));
}

TEST_F(RepairTableTest, BlobValuesThatCannotBeReadBecomeNullAndAreCounted) {
  // The blob file's blocks after its header block are overwritten: every
  // long memo is lost, the short ones live in the records.
  std::string mb = test::ReadFile(dir_.file("ORDERS.MB"));
  ASSERT_GT(mb.size(), 4096u);
  for (size_t i = 4096; i < mb.size(); ++i) mb[i] = '\x01';
  test::WriteFile(dir_.file("ORDERS.MB"), mb);
  const RepairReport report = repair();
  int long_memos = 0;
  for (int i = 0; i < kRows; ++i) long_memos += i % 7 == 0 ? 1 : 0;
  EXPECT_EQ(report.salvage.blob_values_lost, static_cast<uint64_t>(long_memos));
  EXPECT_TRUE(report.lost());
  // The rows are kept, the lost memos NULL.
  for (auto& [key, text] : written_) {
    if (key % 7 != 0) continue;
    Row r = RowOf(static_cast<int>(key));
    r[3] = Value{};
    text = TextOf(r);
  }
  EXPECT_EQ(expectSoundAndTrue(), static_cast<size_t>(kRows));
}

TEST_F(RepairTableTest, ATableInUseIsRefusedAndLeftAsItWas) {
  setNext(3, 999);
  saveDb();
  const auto before = test::SnapshotFiles(dir_.path());
  auto reader = Table::Open(dir_.path(), "ORDERS");
  EXPECT_THROW(RepairTable(dir_.path(), "ORDERS", {}, FileSystem::Default()), EDBEngineError);
  reader.reset();
  EXPECT_EQ(test::SnapshotFiles(dir_.path()), before);
}

// Sets the next link of block `block` of the data file of table `name`.
void BreakLink(const std::string& dir, const std::string& name, int block, uint16_t next) {
  std::string db = test::ReadFile(dir + "/" + name + ".DB");
  const size_t at = Le(db, kHeaderSize, 2) + static_cast<size_t>(block - 1) * 1024;
  PutLe16(db, at, next);
  test::WriteFile(dir + "/" + name + ".DB", db);
}

std::vector<std::string> Scan(Table& t) {
  std::vector<std::string> rows;
  Table::Scanner scan(t);
  Row r;
  while (scan.next(r)) rows.push_back(TextOf(r));
  return rows;
}

TEST(RepairOtherTablesTest, AnUnkeyedTableKeepsItsRowsInTheirOrder) {
  TempDir dir;
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false}, {"Name", FieldType::kString, 40, false}};
  def.block_kb = 1;
  Table::Create(dir.path(), "LOG", def);
  std::vector<std::string> written;
  {
    auto t = Table::Open(dir.path(), "LOG", {.writable = true, .exclusive = true});
    for (int i = 0; i < 200; ++i)
      t->insert({int64_t{(i * 37) % 101}, "entry " + std::to_string(i)});
    written = Scan(*t);
  }
  BreakLink(dir.path(), "LOG", 2, 2);  // a block that links to itself
  const RepairReport report = RepairTable(dir.path(), "LOG", {});
  EXPECT_FALSE(report.lost());
  EXPECT_FALSE(report.salvage.chain_problems.empty());
  auto t = Table::Open(dir.path(), "LOG");
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
  EXPECT_EQ(Scan(*t), written);
}

TEST(RepairOtherTablesTest, AnEncryptedTableNeedsItsPasswordAndStaysEncrypted) {
  TempDir dir;
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false}, {"Name", FieldType::kString, 40, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false}};
  def.block_kb = 1;
  def.password_checksum = paradox::TablePasswordChecksum("secret", def.code_page);
  Table::Create(dir.path(), "SAFE", def);
  std::vector<std::string> written;
  const paradox::OpenOptions with_password{.passwords = {"secret"}};
  {
    auto t = Table::Open(dir.path(), "SAFE",
                         {.writable = true, .exclusive = true, .passwords = {"secret"}});
    for (int i = 0; i < 200; ++i) t->insert({int64_t{i}, "secret " + std::to_string(i)});
    written = Scan(*t);
  }
  // The blocks are scrambled on disk: the damage is the file's end cut
  // into its last block.
  std::string db = test::ReadFile(dir.file("SAFE.DB"));
  const uint32_t blocks = Le(db, kFileBlocks, 2);
  db.resize(Le(db, kHeaderSize, 2) + (blocks - 1) * size_t{1024} + 100);
  test::WriteFile(dir.file("SAFE.DB"), db);
  const auto before = test::SnapshotFiles(dir.path());
  EXPECT_THROW(RepairTable(dir.path(), "SAFE", {}), EDBEngineError);
  EXPECT_THROW(RepairTable(dir.path(), "SAFE", {"wrong"}), EDBEngineError);
  EXPECT_EQ(test::SnapshotFiles(dir.path()), before);

  const RepairReport report = RepairTable(dir.path(), "SAFE", {"wrong", "secret"});
  auto t = Table::Open(dir.path(), "SAFE", with_password);
  EXPECT_EQ(t->structure().password_checksum, def.password_checksum);
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
  const std::vector<std::string> kept = Scan(*t);
  EXPECT_EQ(report.rows_kept, kept.size());
  for (const auto& row : kept) {
    EXPECT_TRUE(std::find(written.begin(), written.end(), row) != written.end()) << row;
  }
  // What the damage did not reach is kept: all but the last block's rows.
  EXPECT_TRUE(report.lost());
  EXPECT_EQ(report.salvage.unreadable_blocks, 1u);
  EXPECT_GE(kept.size() + 1024 / 44, written.size());
  EXPECT_LT(kept.size(), written.size());
}

// A row a repair leaves out for its repeated key had its blob values
// written already: they are given back, not left taking room in the file.
TEST(RepairRowsLeftOutTest, ARecordRefusedForItsKeyGivesItsBlobValuesBack) {
  TempDir dir;
  CreateOrders(dir.path());
  auto t = Table::Open(dir.path(), "ORDERS", {.writable = true, .exclusive = true});
  const std::string mb = dir.file("ORDERS.MB");
  std::vector<uint8_t> record;
  t->readRecordBytes(0, &record);
  const std::string memo(3000, 'q');  // a block of the blob file of its own
  t->setFieldValue(3, memo, record.data());
  EXPECT_THROW(t->insertRecordBytes(record.data()), EDBEngineError);
  const auto size = std::filesystem::file_size(mb);
  // The next value of that size takes the room the refused one had.
  t->insert({int64_t{kRows + 1}, "new", int64_t{1}, memo});
  t->flush();
  EXPECT_EQ(std::filesystem::file_size(mb), size);
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

// A salvage read of this process is a handle like any other: an exclusive
// open of the table (a repair's) fails at once instead of waiting for it.
TEST_F(RepairTableTest, AnExclusiveOpenFailsAtOnceOnATableItsProcessSalvages) {
  auto salvaging = Table::Open(dir_.path(), "ORDERS", {.salvage = true});
  paradox::OpenOptions exclusive{.writable = true, .exclusive = true};
  exclusive.lock_wait_ms = 60000;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Table::Open(dir_.path(), "ORDERS", exclusive), EDBEngineError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// A repair killed at any file operation (or the machine losing power
// there) leaves the damaged table as it was, or the repaired one.
TEST_F(RepairTableTest, ACrashAnywhereInARepairLeavesTheDamagedOrTheRepairedTable) {
  setNext(3, 999);
  saveDb();
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  test::CopyFolderFiles(dir_.path(), pristine);
  const auto damaged = test::SnapshotFiles(pristine);
  // A whole repair, counting its file operations.
  const std::string whole = scratch.file("whole");
  test::CopyFolderFiles(pristine, whole);
  FaultFileSystem counter(FileSystem::Default());
  RepairTable(whole, "ORDERS", {}, counter);
  const uint64_t total = counter.operations();
  ASSERT_GT(total, 20u);
  const auto repaired = RowsOf(whole);
  ASSERT_EQ(repaired.size(), static_cast<size_t>(kRows));
  for (test::Crash crash : {test::Crash::kKill, test::Crash::kPowerLoss}) {
    SCOPED_TRACE(test::CrashName(crash));
    int saw_old = 0;
    int saw_new = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      const std::string copy = scratch.file("run");
      std::filesystem::remove_all(copy);
      test::CopyFolderFiles(pristine, copy);
      ASSERT_TRUE(
          test::RunDyingAt(crash, n, [&](FileSystem& fs) { RepairTable(copy, "ORDERS", {}, fs); }));
      RecoverTable(copy, "ORDERS", FileSystem::Default());
      if (test::SnapshotFiles(copy) == damaged) {
        ++saw_old;
        continue;
      }
      auto t = Table::Open(copy, "ORDERS");
      EXPECT_EQ(t->verify(), std::vector<std::string>{}) << "at operation " << n;
      t.reset();
      EXPECT_EQ(RowsOf(copy), repaired) << "at operation " << n;
      ++saw_new;
    }
    EXPECT_GT(saw_old, 0);
    EXPECT_GT(saw_new, 0);
  }
}

}  // namespace
}  // namespace vellum::engine
