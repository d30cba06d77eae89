#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <regex>

#include "engine/creation_batch.h"
#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "engine/fs/forwarding_file_system.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/header.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/temp_dir.h"

extern "C" {
#include <paradox.h>
}

namespace vellum::engine {
namespace {

using paradox::Row;
using paradox::Table;
using test::TempDir;

struct F {
  std::string name;
  FieldType type;
  int size;
  uint16_t from;  // 1-based field of the old table, 0 for a new field
  Operation op;
};

struct X {
  std::string name;
  std::vector<uint16_t> keys;
  bool primary, unique, descending, case_insensitive;
  Operation op;
};

FieldDescriptor Describe(const F& f) {
  FieldDescriptor d;
  d.name = f.name;
  d.field_number = f.from;
  d.units1 = 1;
  switch (f.type) {
    case FieldType::kString:
      d.storage_type = storage::kZString;
      d.units1 = static_cast<int16_t>(f.size);
      break;
    case FieldType::kSmallint:
      d.storage_type = storage::kInt16;
      break;
    case FieldType::kInteger:
      d.storage_type = storage::kInt32;
      break;
    case FieldType::kAutoInc:
      d.storage_type = storage::kInt32;
      d.storage_subtype = subtype::kAutoInc;
      break;
    case FieldType::kFloat:
      d.storage_type = storage::kFloat;
      break;
    case FieldType::kCurrency:
      d.storage_type = storage::kFloat;
      d.storage_subtype = subtype::kMoney;
      break;
    case FieldType::kBCD:
      d.storage_type = storage::kBcd;
      d.units1 = 32;
      d.units2 = static_cast<int16_t>(f.size);
      break;
    case FieldType::kDate:
      d.storage_type = storage::kDate;
      break;
    case FieldType::kBoolean:
      d.storage_type = storage::kBool;
      break;
    case FieldType::kMemo:
      d.storage_type = storage::kBlob;
      d.storage_subtype = subtype::kMemo;
      d.units1 = static_cast<int16_t>(f.size);
      break;
    default:
      ADD_FAILURE() << "type not used in these tests";
  }
  return d;
}

TableDescriptor MakeDescriptor(const std::string& path, const std::vector<F>& fields,
                               const std::vector<X>& indexes) {
  TableDescriptor d;
  d.table_path = path;
  for (const auto& f : fields) {
    d.fields.push_back(Describe(f));
    d.field_operations.push_back(f.op);
  }
  uint16_t id = 0;
  for (const auto& x : indexes) {
    IndexDescriptor i;
    i.name = x.name;
    i.index_id = id++;
    i.primary = x.primary;
    i.unique = x.unique;
    i.descending = x.descending;
    i.case_insensitive = x.case_insensitive;
    i.key_field_count = static_cast<uint16_t>(x.keys.size());
    for (size_t k = 0; k < x.keys.size(); ++k) {
      i.key_fields[k] = x.keys[k];
      i.descending_fields[k] = x.descending;
    }
    d.indexes.push_back(i);
    d.index_operations.push_back(x.op);
  }
  d.optional_parameters.push_back({"LEVEL", "", 1, 0, "7"});
  return d;
}

// The original table: ID (key), CODE A10, NAME A30, QTY I, NOTE M20, OLD S;
// encrypted under `password` when one is given.
void CreateOriginal(const std::string& dir, int rows, const std::string& password = "") {
  auto d = MakeDescriptor(dir + "/ORDERS",
                          {{"ID", FieldType::kInteger, 0, 0, Operation::kAdd},
                           {"CODE", FieldType::kString, 10, 0, Operation::kAdd},
                           {"NAME", FieldType::kString, 30, 0, Operation::kAdd},
                           {"QTY", FieldType::kInteger, 0, 0, Operation::kAdd},
                           {"NOTE", FieldType::kMemo, 20, 0, Operation::kAdd},
                           {"OLD", FieldType::kSmallint, 0, 0, Operation::kAdd}},
                          {{"", {1}, true, true, false, false, Operation::kAdd},
                           {"ByName", {3}, false, false, false, true, Operation::kAdd},
                           {"ByCode", {2, 4}, false, false, true, false, Operation::kAdd}});
  d.protected_table = !password.empty();
  d.password = password;
  BuildTable(d);
  paradox::OpenOptions writing{.writable = true, .exclusive = true};
  if (!password.empty()) writing.passwords.push_back(password);
  auto t = Table::Open(dir, "ORDERS", writing);
  t->beginBulk();
  std::mt19937 rng(11);
  for (int i = 0; i < rows; ++i) {
    int id = i + 1;
    std::string note = id % 5 == 0 ? std::string(static_cast<size_t>(30 + id % 2500), 'm') : "";
    t->insert({int64_t{id}, "C" + std::to_string(id % 97), "Name number " + std::to_string(id),
               int64_t{static_cast<int>(rng() % 100000) - 50000},
               note.empty() ? Value{} : Value{note}, int64_t{id % 1000}});
  }
  t->endBulk();
}

// The new definition: ID copied; CODE narrowed to 2; NAME widened to 40;
// QTY to Float; NOTE copied; OLD dropped; EXTRA added; ByCode redone on CODE
// alone, ByName dropped, ByQty added.
TableDescriptor NewDefinition(const std::string& dir) {
  return MakeDescriptor(dir + "/ORDERS",
                        {{"ID", FieldType::kInteger, 0, 1, Operation::kCopy},
                         {"CODE", FieldType::kString, 2, 2, Operation::kModify},
                         {"NAME", FieldType::kString, 40, 3, Operation::kModify},
                         {"QTY", FieldType::kFloat, 0, 4, Operation::kModify},
                         {"NOTE", FieldType::kMemo, 20, 5, Operation::kCopy},
                         {"EXTRA", FieldType::kDate, 0, 0, Operation::kAdd}},
                        {{"", {1}, true, true, false, false, Operation::kRedo},
                         {"ByCode", {2}, false, false, false, false, Operation::kModify},
                         {"ByQty", {4}, false, false, false, false, Operation::kAdd}});
}

TEST(BuildTableTest, RestructureKeepsEveryRowWithConvertedValues) {
  TempDir dir;
  const int rows = 100000;
  CreateOriginal(dir.path(), rows);
  std::vector<Row> before;
  {
    auto t = Table::Open(dir.path(), "ORDERS");
    Table::Scanner s(*t);
    Row r;
    while (s.next(r)) before.push_back(r);
  }
  ASSERT_EQ(before.size(), static_cast<size_t>(rows));
  BuildTable(NewDefinition(dir.path()));

  auto t = Table::Open(dir.path(), "orders");
  const auto& st = t->structure();
  ASSERT_EQ(st.fields.size(), 6u);
  EXPECT_EQ(st.fields[1].size, 2);
  EXPECT_EQ(st.fields[2].size, 40);
  EXPECT_EQ(st.fields[3].type, FieldType::kFloat);
  EXPECT_EQ(st.fields[5].name, "EXTRA");
  EXPECT_EQ(st.level, "7");
  ASSERT_EQ(st.indexes.size(), 3u);
  EXPECT_EQ(st.indexes[1].name, "ByCode");
  EXPECT_EQ(st.indexes[1].key_fields, std::vector<std::string>{"CODE"});
  EXPECT_EQ(st.indexes[2].key_fields, std::vector<std::string>{"QTY"});
  Table::Scanner s(*t);
  Row r;
  size_t i = 0;
  while (s.next(r)) {
    ASSERT_LT(i, before.size());
    const Row& b = before[i];
    ASSERT_EQ(r[0], b[0]);
    EXPECT_EQ(r[1], Value{std::get<std::string>(b[1]).substr(0, 2)});
    EXPECT_EQ(r[2], b[2]);
    EXPECT_EQ(r[3], Value{static_cast<double>(std::get<int64_t>(b[3]))});
    EXPECT_EQ(r[4], b[4]);
    EXPECT_TRUE(IsNull(r[5]));
    ++i;
  }
  EXPECT_EQ(i, before.size());
  auto problems = t->verify();
  for (const auto& p : problems) ADD_FAILURE() << p;
  // No work files are left, and the old index files are gone.
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    std::string n = e.path().filename().string();
    EXPECT_EQ(n.find("restructure"), std::string::npos) << n;
    EXPECT_NE(n, "ORDERS.JNL");
  }

  pxdoc_t* doc = PX_new();
  ASSERT_EQ(PX_open_file(doc, dir.file("ORDERS.DB").c_str()), 0);
  EXPECT_EQ(PX_get_num_records(doc), rows);
  EXPECT_EQ(PX_get_num_fields(doc), 6);
  EXPECT_EQ(PX_get_field(doc, 3)->px_ftype, pxfNumber);
  EXPECT_EQ(PX_get_field(doc, 2)->px_flen, 40);
  PX_close(doc);
  PX_delete(doc);
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(BuildTableTest, ADuplicateInANewUniqueKeyFailsAndChangesNothing) {
  TempDir dir;
  CreateOriginal(dir.path(), 500);
  std::map<std::string, std::string> before;
  for (const auto& f : ListFiles(dir.path())) before[f] = FileBytes(dir.file(f));
  auto d = NewDefinition(dir.path());
  d.indexes[1].unique = true;  // CODE cut to 2 characters repeats
  try {
    BuildTable(d);
    FAIL() << "a restructure that breaks a unique key succeeded";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kIntegrity);
    std::string msg = e.what();
    EXPECT_NE(msg.find("ORDERS"), std::string::npos) << msg;
    EXPECT_NE(msg.find("(\"C1\")"), std::string::npos) << msg;  // the first repeated key
  }
  std::map<std::string, std::string> after;
  for (const auto& f : ListFiles(dir.path())) after[f] = FileBytes(dir.file(f));
  EXPECT_TRUE(before == after);
}

TEST(BuildTableTest, ATableOpenedFromItsDataFileAloneRestructures) {
  TempDir dir;
  CreateOriginal(dir.path(), 300);
  for (const char* f : {"ORDERS.PX", "ORDERS.XG0", "ORDERS.YG0", "ORDERS.XG1", "ORDERS.YG1"}) {
    std::filesystem::remove(dir.file(f));
  }
  {
    auto t = Table::Open(dir.path(), "ORDERS", {false, true});
    EXPECT_EQ(t->structure().fields.size(), 6u);
    EXPECT_EQ(t->recordCount(), 300u);
    ASSERT_EQ(t->structure().indexes.size(), 1u);  // the primary key, from the header
    EXPECT_TRUE(t->structure().indexes[0].primary);
  }
  BuildTable(NewDefinition(dir.path()));
  auto t = Table::Open(dir.path(), "ORDERS");
  EXPECT_EQ(t->recordCount(), 300u);
  EXPECT_TRUE(t->verify().empty());
}

TEST(BuildTableTest, AbsentTablesAreCreatedAndLimitsAreRefused) {
  TempDir dir;
  auto d = NewDefinition(dir.path());
  for (auto& op : d.field_operations) op = Operation::kAdd;
  BuildTable(d);
  EXPECT_EQ(Table::Open(dir.path(), "ORDERS")->recordCount(), 0u);

  auto many = d;
  many.fields.resize(1025, many.fields[0]);
  EXPECT_THROW(BuildTable(many), EDBEngineError);
  auto wide = d;
  wide.indexes[1].key_field_count = 17;
  try {
    BuildTable(wide);
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kLimit);
    EXPECT_NE(std::string(e.what()).find("16 key fields"), std::string::npos);
  }
}

// Rows of a table in order, as text.
std::vector<std::string> Snapshot(const std::string& dir) {
  std::vector<std::string> out;
  auto t = Table::Open(dir, "ORDERS");
  Table::Scanner s(*t);
  Row r;
  while (s.next(r)) {
    std::string line;
    for (const auto& v : r) line += ValueToText(v) + "|";
    out.push_back(line);
  }
  return out;
}

using test::Crash;
using test::CrashName;
using test::ExpectWholeTables;
using test::Sweep;
using test::SweepKillPoints;

// Runs a restructure of ORDERS on a copy (the directory given) through a
// file system.
using Build = std::function<void(const std::string& dir, FileSystem& fs)>;

// What a sweep starts from: the pristine ORDERS, its rows, the rows a whole
// restructure of a copy leaves and the number of file operations it takes.
struct SweepSetup {
  std::string pristine;
  std::vector<std::string> old_rows, new_rows;
  uint64_t total = 0;
};

// Runs `build` once on a copy of `pristine` in <scratch>/new, counting its
// file operations.
SweepSetup MeasureRestructure(const TempDir& scratch, const std::string& pristine,
                              const Build& build) {
  SweepSetup s;
  s.pristine = pristine;
  const std::string expected_new = scratch.file("new");
  std::filesystem::create_directories(expected_new);
  std::filesystem::copy(pristine, expected_new, std::filesystem::copy_options::recursive);
  s.old_rows = Snapshot(pristine);
  FaultFileSystem counter(FileSystem::Default());
  build(expected_new, counter);
  s.new_rows = Snapshot(expected_new);
  s.total = counter.operations();
  return s;
}

// A pristine ORDERS of 120 rows in <scratch>/pristine, measured for a
// restructure to `def`.
SweepSetup PrepareSweep(const TempDir& scratch,
                        const std::function<TableDescriptor(const std::string&)>& def) {
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  CreateOriginal(pristine, 120);
  return MeasureRestructure(
      scratch, pristine, [&](const std::string& dir, FileSystem& fs) { BuildTable(def(dir), fs); });
}

// Tells a copy holding the old rows (-1) from one holding the new (1) and
// from anything else (0).
std::function<int(const std::string&)> OldOrNewRows(const SweepSetup& setup) {
  return [&setup](const std::string& dir) {
    const auto rows = Snapshot(dir);
    return rows == setup.old_rows ? -1 : rows == setup.new_rows ? 1 : 0;
  };
}

// A sweep of `build` over copies of the setup's pristine ORDERS.
Sweep OrdersSweep(const TempDir& scratch, const SweepSetup& setup, Build build,
                  std::function<int(const std::string&)> which) {
  Sweep sweep;
  sweep.scratch = scratch.path();
  sweep.pristine = setup.pristine;
  sweep.table = "ORDERS";
  sweep.total = setup.total;
  sweep.build = std::move(build);
  sweep.which = std::move(which);
  return sweep;
}

TEST(BuildTableTest, ACrashAtAnyWriteSyncOrRenameLeavesTheOldOrTheNewTable) {
  TempDir scratch;
  const SweepSetup setup = PrepareSweep(scratch, NewDefinition);
  ASSERT_GT(setup.total, 20u);
  ASSERT_NE(setup.old_rows, setup.new_rows);
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    ExpectWholeTables(SweepKillPoints(
        OrdersSweep(
            scratch, setup,
            [](const std::string& dir, FileSystem& fs) { BuildTable(NewDefinition(dir), fs); },
            OldOrNewRows(setup)),
        crash));
  }
}

// --- Front-to-back restructure ------------------------------------------

// Forwards to the real file system and records, for files inside a
// restructure's work directory, how the data file was created, read and
// written.
class WatchingFileSystem : public FileSystem {
 public:
  struct Stats {
    int creates = 0;
    int reads_past_header = 0;  // reads of anything but the header
    int writes = 0;
    int hints = 0;
  };
  explicit WatchingFileSystem(FileSystem& base) : base_(base) {}
  Stats& work(const std::string& path) {
    static Stats none;
    if (path.find(".restructure") == std::string::npos) return none = Stats{};
    return stats_[FileNameOf(path)];
  }
  const Stats& of(const std::string& name) { return stats_[name]; }

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    if (CreatesFile(mode)) ++work(path).creates;
    return std::make_unique<Watched>(*this, base_.open(path, mode));
  }
  bool exists(const std::string& p) override { return base_.exists(p); }
  bool isDirectory(const std::string& p) override { return base_.isDirectory(p); }
  void remove(const std::string& p) override { base_.remove(p); }
  void rename(const std::string& a, const std::string& b) override { base_.rename(a, b); }
  std::vector<std::string> list(const std::string& d) override { return base_.list(d); }
  void makeDirectories(const std::string& p) override { base_.makeDirectories(p); }
  void syncDirectory(const std::string& p) override { base_.syncDirectory(p); }
  void removeDirectory(const std::string& p) override { base_.removeDirectory(p); }

 private:
  class Watched : public File {
   public:
    Watched(WatchingFileSystem& fs, std::unique_ptr<File> f) : fs_(fs), f_(std::move(f)) {}
    const std::string& path() const override { return f_->path(); }
    uint64_t size() override { return f_->size(); }
    size_t read(uint64_t off, void* b, size_t n) override {
      if (off > 0) ++fs_.work(path()).reads_past_header;
      return f_->read(off, b, n);
    }
    void write(uint64_t off, const void* d, size_t n) override {
      ++fs_.work(path()).writes;
      f_->write(off, d, n);
    }
    void truncate(uint64_t n) override { f_->truncate(n); }
    void sync() override { f_->sync(); }
    void hintWriteback(uint64_t off, uint64_t n) override {
      ++fs_.work(path()).hints;
      f_->hintWriteback(off, n);
    }
    bool tryLock(bool e) override { return f_->tryLock(e); }
    void unlock() override { f_->unlock(); }

   private:
    WatchingFileSystem& fs_;
    std::unique_ptr<File> f_;
  };
  FileSystem& base_;
  std::map<std::string, Stats> stats_;
};

paradox::TableHeader HeaderOf(const std::string& path) {
  std::string bytes = FileBytes(path);
  return paradox::ParseHeader(reinterpret_cast<const uint8_t*>(bytes.data()),
                              std::min<size_t>(bytes.size(), 0x10000), bytes.size(),
                              FileNameOf(path));
}

std::string Key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "K%07d", i);
  return buf;
}

// Old table: KEY A200 (primary key), N Integer. New table: KEY A255 (the
// key widened: seven keys to an index block, so that 20,000 rows give five
// index levels), N copied, ADDED Integer.
TableDescriptor WideKeyTable(const std::string& dir, bool after) {
  if (!after) {
    return MakeDescriptor(dir + "/WIDE",
                          {{"KEY", FieldType::kString, 200, 0, Operation::kAdd},
                           {"N", FieldType::kInteger, 0, 0, Operation::kAdd}},
                          {{"", {1}, true, true, false, false, Operation::kAdd}});
  }
  return MakeDescriptor(dir + "/WIDE",
                        {{"KEY", FieldType::kString, 255, 1, Operation::kModify},
                         {"N", FieldType::kInteger, 0, 2, Operation::kCopy},
                         {"ADDED", FieldType::kInteger, 0, 0, Operation::kAdd}},
                        {{"", {1}, true, true, false, false, Operation::kRedo}});
}

TEST(BuildTableTest, AStreamedRestructureWritesWhatRowByRowInsertsWrite) {
  TempDir dir;
  const int rows = 20000;
  BuildTable(WideKeyTable(dir.path(), false));
  {
    auto t = Table::Open(dir.path(), "WIDE", {true, true});
    t->beginBulk();
    for (int i = 0; i < rows; ++i) t->insert({Key(i), int64_t{i * 3 - 7000}});
    t->endBulk();
  }
  WatchingFileSystem watch(FileSystem::Default());
  BuildTable(WideKeyTable(dir.path(), true), watch);

  // The same rows inserted one by one into a table created with the new
  // definition.
  const std::string ref = dir.file("ref");
  std::filesystem::create_directories(ref);
  auto rd = WideKeyTable(ref, true);
  for (auto& op : rd.field_operations) op = Operation::kAdd;
  BuildTable(rd);
  {
    auto t = Table::Open(ref, "WIDE", {true, true});
    t->beginBulk();
    for (int i = 0; i < rows; ++i) t->insert({Key(i), int64_t{i * 3 - 7000}, Value{}});
    t->endBulk();
  }

  // Written front to back: created once, never read past its header, in
  // few large writes, with writeback started along the way.
  const auto& db = watch.of("WIDE.DB");
  EXPECT_EQ(db.creates, 1);
  EXPECT_EQ(db.reads_past_header, 0);
  const auto h = HeaderOf(dir.file("WIDE.DB"));
  const auto rh = HeaderOf(ref + "/WIDE.DB");
  EXPECT_LT(db.writes, h.file_blocks / 64 + 4);
  EXPECT_GE(db.hints, 1);
  EXPECT_EQ(watch.of("WIDE.PX").reads_past_header, 0);

  EXPECT_EQ(h.num_records, static_cast<uint32_t>(rows));
  EXPECT_EQ(h.num_records, rh.num_records);
  EXPECT_EQ(h.file_blocks, rh.file_blocks);
  EXPECT_EQ(h.used_blocks, rh.used_blocks);
  EXPECT_EQ(h.max_blocks, rh.max_blocks);
  EXPECT_EQ(h.first_block, rh.first_block);
  EXPECT_EQ(h.last_block, rh.last_block);
  EXPECT_EQ(h.first_free_block, rh.first_free_block);
  EXPECT_EQ(h.auto_inc, rh.auto_inc);
  EXPECT_EQ(h.header_size, rh.header_size);
  std::string a = FileBytes(dir.file("WIDE.DB"));
  std::string b = FileBytes(ref + "/WIDE.DB");
  ASSERT_EQ(a.size(), b.size());
  EXPECT_TRUE(a.compare(h.header_size, std::string::npos, b, h.header_size, std::string::npos) == 0)
      << "the data blocks differ";

  const auto px = HeaderOf(dir.file("WIDE.PX"));
  EXPECT_GE(px.index_levels, 3);
  EXPECT_EQ(FileBytes(dir.file("WIDE.PX")), FileBytes(ref + "/WIDE.PX"));

  auto t = Table::Open(dir.path(), "WIDE");
  auto problems = t->verify();
  for (const auto& p : problems) ADD_FAILURE() << p;
  EXPECT_EQ(t->lowerBound({Key(12345)}), 12345u);
  EXPECT_EQ(t->read(19999)[1], Value{int64_t{19999 * 3 - 7000}});

  pxdoc_t* doc = PX_new();
  ASSERT_EQ(PX_open_file(doc, dir.file("WIDE.DB").c_str()), 0);
  EXPECT_EQ(PX_get_num_records(doc), rows);
  std::vector<char> rec(static_cast<size_t>(PX_get_recordsize(doc)));
  ASSERT_NE(PX_get_record(doc, rows - 1, rec.data()), nullptr);
  EXPECT_EQ(std::string(rec.data()), Key(rows - 1));
  PX_close(doc);
  PX_delete(doc);
  doc = PX_new();
  ASSERT_EQ(PX_open_file(doc, dir.file("WIDE.PX").c_str()), 0);
  EXPECT_EQ(PX_get_num_records(doc), static_cast<int>(px.num_records));
  PX_close(doc);
  PX_delete(doc);
}

TEST(BuildTableTest, ARestructureThatReordersTheRowsFallsBackToSorting) {
  TempDir dir;
  const int rows = 3000;
  BuildTable(MakeDescriptor(dir.path() + "/T",
                            {{"ID", FieldType::kInteger, 0, 0, Operation::kAdd},
                             {"NAME", FieldType::kString, 20, 0, Operation::kAdd}},
                            {{"", {1}, true, true, false, false, Operation::kAdd}}));
  std::vector<std::string> names;
  {
    auto t = Table::Open(dir.path(), "T", {true, true});
    t->beginBulk();
    // Ascending at first, so that the front-to-back copy is well under way
    // when a row first sorts before its predecessor.
    for (int i = 0; i < rows; ++i) {
      names.push_back(i < 2000 ? Key(i) : Key((i * 7919) % 100000 + 200000) + "x");
      if (i >= 2000 && i % 2) names.back() = "A" + names.back();
      t->insert({int64_t{i}, names.back()});
    }
    t->endBulk();
  }
  // NAME becomes the key.
  WatchingFileSystem watch(FileSystem::Default());
  BuildTable(MakeDescriptor(dir.path() + "/T",
                            {{"NAME", FieldType::kString, 20, 2, Operation::kCopy},
                             {"ID", FieldType::kInteger, 0, 1, Operation::kCopy}},
                            {{"", {1}, true, true, false, false, Operation::kRedo}}),
             watch);
  EXPECT_EQ(watch.of("T.DB").creates, 2);  // streamed, then sorted
  std::sort(names.begin(), names.end());
  auto t = Table::Open(dir.path(), "T");
  ASSERT_EQ(t->recordCount(), static_cast<uint32_t>(rows));
  Table::Scanner s(*t);
  Row r;
  size_t i = 0;
  while (s.next(r)) {
    ASSERT_EQ(r[0], Value{names[i]}) << "row " << i;
    ++i;
  }
  EXPECT_EQ(i, names.size());
  auto problems = t->verify();
  for (const auto& p : problems) ADD_FAILURE() << p;
  for (const auto& f : ListFiles(dir.path()))
    EXPECT_EQ(f.find("restructure"), std::string::npos) << f;
}

TEST(BuildTableTest, AKeyShortenedIntoADuplicateFailsWhileStreaming) {
  TempDir dir;
  BuildTable(MakeDescriptor(dir.path() + "/T",
                            {{"CODE", FieldType::kString, 10, 0, Operation::kAdd},
                             {"N", FieldType::kInteger, 0, 0, Operation::kAdd}},
                            {{"", {1}, true, true, false, false, Operation::kAdd}}));
  {
    auto t = Table::Open(dir.path(), "T", {true, true});
    for (int i = 0; i < 1500; ++i) {
      t->insert({std::string(i < 1000 ? "AA" : "AB") + std::to_string(1000 + i), int64_t{i}});
    }
  }
  std::map<std::string, std::string> before;
  for (const auto& f : ListFiles(dir.path())) before[f] = FileBytes(dir.file(f));
  WatchingFileSystem watch(FileSystem::Default());
  try {
    BuildTable(MakeDescriptor(dir.path() + "/T",
                              {{"CODE", FieldType::kString, 2, 1, Operation::kModify},
                               {"N", FieldType::kInteger, 0, 2, Operation::kCopy}},
                              {{"", {1}, true, true, false, false, Operation::kRedo}}),
               watch);
    FAIL() << "a restructure that repeats a primary key succeeded";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kIntegrity);
    std::string msg = e.what();
    EXPECT_EQ(msg.rfind("Cannot restructure table \"T\": Key violation", 0), 0u) << msg;
    EXPECT_NE(msg.find("the primary key (\"AA\") already exists"), std::string::npos) << msg;
    EXPECT_NE(msg.find("the table is unchanged"), std::string::npos) << msg;
  }
  EXPECT_EQ(watch.of("T.DB").creates, 1);  // found while streaming
  std::map<std::string, std::string> after;
  for (const auto& f : ListFiles(dir.path())) after[f] = FileBytes(dir.file(f));
  EXPECT_TRUE(before == after);
}

TEST(BuildTableTest, AnUnkeyedRestructureStreamsRowsInTheirOrderWithBlobs) {
  TempDir dir;
  const int rows = 4000;
  CreateOriginal(dir.path(), 0);
  {
    auto t = Table::Open(dir.path(), "ORDERS", {true, true});
    t->beginBulk();
    for (int i = 0; i < rows; ++i) {
      int id = i + 1;
      std::string note = id % 3 == 0 ? std::string(static_cast<size_t>(25 + id % 700),
                                                   static_cast<char>('a' + id % 26))
                                     : "";
      t->insert({int64_t{id}, "C" + std::to_string(id), "Name " + std::to_string(id),
                 int64_t{id * 2}, note.empty() ? Value{} : Value{note}, int64_t{id % 7}});
    }
    t->endBulk();
  }
  std::vector<Row> before;
  {
    auto t = Table::Open(dir.path(), "ORDERS");
    Table::Scanner s(*t);
    Row r;
    while (s.next(r)) before.push_back(r);
  }
  // No key any more; NAME first, the memo kept, the rest dropped.
  WatchingFileSystem watch(FileSystem::Default());
  BuildTable(MakeDescriptor(dir.path() + "/ORDERS",
                            {{"NAME", FieldType::kString, 12, 3, Operation::kModify},
                             {"NOTE", FieldType::kMemo, 20, 5, Operation::kCopy},
                             {"ID", FieldType::kInteger, 0, 1, Operation::kCopy}},
                            {}),
             watch);
  EXPECT_EQ(watch.of("ORDERS.DB").creates, 1);
  EXPECT_EQ(watch.of("ORDERS.DB").reads_past_header, 0);
  auto files = ListFiles(dir.path());
  EXPECT_EQ(files, (std::vector<std::string>{"ORDERS.DB", "ORDERS.MB"}));
  auto t = Table::Open(dir.path(), "ORDERS");
  EXPECT_FALSE(t->keyed());
  Table::Scanner s(*t);
  Row r;
  size_t i = 0;
  while (s.next(r)) {
    ASSERT_LT(i, before.size());
    EXPECT_EQ(r[0], Value{std::get<std::string>(before[i][2]).substr(0, 12)});
    EXPECT_EQ(r[1], before[i][4]) << "row " << i;
    EXPECT_EQ(r[2], before[i][0]);
    ++i;
  }
  EXPECT_EQ(i, before.size());
  auto problems = t->verify();
  for (const auto& p : problems) ADD_FAILURE() << p;
  pxdoc_t* doc = PX_new();
  ASSERT_EQ(PX_open_file(doc, dir.file("ORDERS.DB").c_str()), 0);
  EXPECT_EQ(PX_get_num_records(doc), rows);
  PX_close(doc);
  PX_delete(doc);
}

TEST(BuildTableTest, ACrashAnywhereInAStreamedRestructureLeavesTheOldOrTheNewTable) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  auto old_def = WideKeyTable(pristine, false);
  old_def.table_path = pristine + "/ORDERS";
  BuildTable(old_def);
  {
    auto t = Table::Open(pristine, "ORDERS", {true, true});
    t->beginBulk();
    for (int i = 0; i < 400; ++i) t->insert({Key(i), int64_t{i}});
    t->endBulk();
  }
  const Build build = [](const std::string& dir, FileSystem& fs) {
    auto d = WideKeyTable(dir, true);
    d.table_path = dir + "/ORDERS";
    BuildTable(d, fs);
  };
  const SweepSetup setup = MeasureRestructure(scratch, pristine, build);
  ASSERT_GT(setup.total, 10u);
  ASSERT_NE(setup.old_rows, setup.new_rows);
  ExpectWholeTables(
      SweepKillPoints(OrdersSweep(scratch, setup, build, OldOrNewRows(setup)), Crash::kKill));
}

// --- Front-to-back restructure with secondary indexes ---------------------

// Source table T: ID (key), NAME A20, CODE A6, QTY Integer, REF A12.
TableDescriptor SecondarySource(const std::string& dir) {
  return MakeDescriptor(dir + "/T",
                        {{"ID", FieldType::kInteger, 0, 0, Operation::kAdd},
                         {"NAME", FieldType::kString, 20, 0, Operation::kAdd},
                         {"CODE", FieldType::kString, 6, 0, Operation::kAdd},
                         {"QTY", FieldType::kInteger, 0, 0, Operation::kAdd},
                         {"REF", FieldType::kString, 12, 0, Operation::kAdd}},
                        {{"", {1}, true, true, false, false, Operation::kAdd}});
}

// The same fields (NAME widened) with five secondary indexes: NAME case
// insensitive, QTY descending, CODE+QTY composite, CODE alone (a single-field
// index file) and REF unique and case insensitive.
TableDescriptor SecondaryTarget(const std::string& dir) {
  return MakeDescriptor(dir + "/T",
                        {{"ID", FieldType::kInteger, 0, 1, Operation::kCopy},
                         {"NAME", FieldType::kString, 24, 2, Operation::kModify},
                         {"CODE", FieldType::kString, 6, 3, Operation::kCopy},
                         {"QTY", FieldType::kInteger, 0, 4, Operation::kCopy},
                         {"REF", FieldType::kString, 12, 5, Operation::kCopy}},
                        {{"", {1}, true, true, false, false, Operation::kRedo},
                         {"NameCI", {2}, false, false, false, true, Operation::kAdd},
                         {"QtyDown", {4}, false, false, true, false, Operation::kAdd},
                         {"CodeQty", {3, 4}, false, false, false, false, Operation::kAdd},
                         {"CODE", {3}, false, false, false, false, Operation::kAdd},
                         {"RefU", {5}, false, true, false, true, Operation::kAdd}});
}

struct SourceRow {
  int id;
  std::optional<std::string> name;
  std::string code;
  std::optional<int> qty;
  std::string ref;
};

std::vector<SourceRow> SecondaryRows(int rows) {
  static const char* names[] = {"smith", "Smith", "SMITH", "jones", "Jonas", "adams", "Zed", "b"};
  std::mt19937 rng(7);
  std::vector<SourceRow> out;
  for (int i = 0; i < rows; ++i) {
    SourceRow r;
    r.id = i * 3 + 1;
    if (rng() % 11 != 0) r.name = std::string(names[rng() % 8]) + std::to_string(rng() % 40);
    r.code = "C" + std::to_string(rng() % 23);
    if (rng() % 13 != 0) r.qty = static_cast<int>(rng() % 2000) - 1000;
    r.ref = "R" + std::to_string(r.id);
    out.push_back(r);
  }
  return out;
}

void FillSecondarySource(const std::string& dir, const std::vector<SourceRow>& rows) {
  BuildTable(SecondarySource(dir));
  auto t = Table::Open(dir, "T", {true, true});
  t->beginBulk();
  for (const auto& r : rows) {
    t->insert({int64_t{r.id}, r.name ? Value{*r.name} : Value{}, r.code,
               r.qty ? Value{int64_t{*r.qty}} : Value{}, r.ref});
  }
  t->endBulk();
}

// The records of a table-format file in chain order.
std::vector<std::string> ChainRecords(const std::string& path) {
  const auto h = HeaderOf(path);
  auto f = FileSystem::Default().open(path, OpenMode::kRead);
  paradox::ChainWalker w(*f, h, FileNameOf(path));
  std::vector<std::string> out;
  while (w.next()) {
    for (uint32_t i = 0; i < w.count(); ++i) {
      out.emplace_back(reinterpret_cast<const char*>(w.record(i)), h.record_size);
    }
  }
  return out;
}

std::string UpperText(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Restructures in a batch take over the small files the earlier ones
// replaced instead of freeing them and allocating new ones, and still write
// byte for byte what a restructure on its own writes.
TEST(BuildTableTest, RestructuresInABatchReuseReplacedFilesAndWriteTheSameBytes) {
  TempDir scratch;
  const std::string batched = scratch.file("batched");
  const std::string alone = scratch.file("alone");
  const std::vector<std::string> names = {"A", "B", "C"};
  const auto named = [](TableDescriptor d, const std::string& dir, const std::string& name) {
    d.table_path = dir + "/" + name;
    return d;
  };
  std::map<ino_t, std::string> old_inodes;
  for (const std::string& dir : {batched, alone}) {
    std::filesystem::create_directories(dir);
    for (size_t n = 0; n < names.size(); ++n) {
      BuildTable(named(SecondarySource(dir), dir, names[n]));
      auto t = Table::Open(dir, names[n], {true, true});
      for (const auto& r : SecondaryRows(static_cast<int>(700 - 200 * n))) {
        t->insert({int64_t{r.id}, r.name ? Value{*r.name} : Value{}, r.code,
                   r.qty ? Value{int64_t{*r.qty}} : Value{}, r.ref});
      }
    }
  }
  const auto inode = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
  };
  for (const std::string& f : ListFiles(batched)) old_inodes[inode(batched + "/" + f)] = f;
  BuildTableOptions options;
  options.sort_buffer_bytes = 5 * 4 * 1024;  // sorted in runs, in files of their own
  {
    CreationBatch batch(FileSystem::Default(), batched);
    options.creation_batch = &batch;
    for (const std::string& name : names) {
      BuildTable(named(SecondaryTarget(batched), batched, name), FileSystem::Default(), options);
    }
  }
  options.creation_batch = nullptr;
  for (const std::string& name : names) {
    BuildTable(named(SecondaryTarget(alone), alone, name), FileSystem::Default(), options);
  }
  const auto files = ListFiles(alone);
  ASSERT_EQ(files.size(), 36u);
  EXPECT_EQ(ListFiles(batched), files) << "the batch left files behind";
  int reused = 0;
  for (const std::string& f : files) {
    // The headers' update times (0x60) may fall in different seconds.
    const auto bytes = [&](const std::string& dir) {
      std::string content = test::ReadFile(dir + "/" + f);
      if (content.size() >= 0x64) content.replace(0x60, 4, 4, '\0');
      return content;
    };
    const std::string a = bytes(batched), b = bytes(alone);
    const auto differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    EXPECT_TRUE(a == b) << f << ": " << a.size() << " bytes against " << b.size()
                        << ", first difference at " << (differ.first - a.begin());
    reused += old_inodes.count(inode(batched + "/" + f)) != 0 ? 1 : 0;
  }
  // B and C take over at least the two files of the table before them,
  // each larger than the file it becomes.
  EXPECT_GE(reused, 4);
  for (const std::string& name : names) {
    EXPECT_TRUE(Table::Open(batched, name)->verify().empty()) << name;
  }
}

TEST(BuildTableTest, AStreamedRestructureWritesTheSecondaryIndexesRowByRowInsertsWrite) {
  TempDir scratch;
  const int rows = 5000;
  const auto source = SecondaryRows(rows);
  const std::string streamed = scratch.file("streamed");
  const std::string inserted = scratch.file("inserted");
  std::filesystem::create_directories(streamed);
  std::filesystem::create_directories(inserted);
  FillSecondarySource(streamed, source);
  FillSecondarySource(inserted, source);

  // A small sort buffer: every index is sorted in several runs.
  WatchingFileSystem watch(FileSystem::Default());
  BuildTableOptions small;
  small.sort_buffer_bytes = 5 * 16 * 1024;  // 16 KB for each of five indexes
  BuildTable(SecondaryTarget(streamed), watch, small);
  EXPECT_EQ(watch.of("T.DB").creates, 1);
  EXPECT_EQ(watch.of("T.XG0.run1").creates, 1);
  EXPECT_EQ(watch.of("T.XG0.run4").creates, 1);
  EXPECT_EQ(watch.of("T.X03.run4").creates, 1);
  BuildTableOptions one_by_one;
  one_by_one.allow_streaming = false;
  WatchingFileSystem watch_inserted(FileSystem::Default());
  BuildTable(SecondaryTarget(inserted), watch_inserted, one_by_one);
  EXPECT_EQ(watch_inserted.of("T.XG0.run1").creates, 0);

  const auto files = ListFiles(streamed);
  EXPECT_EQ(files, ListFiles(inserted));
  EXPECT_EQ(files,
            (std::vector<std::string>{"T.DB", "T.PX", "T.X03", "T.XG0", "T.XG1", "T.XG2", "T.XG3",
                                      "T.Y03", "T.YG0", "T.YG1", "T.YG2", "T.YG3"}));
  // The same data blocks, so the same block numbers in the index entries.
  EXPECT_EQ(ChainRecords(streamed + "/T.DB"), ChainRecords(inserted + "/T.DB"));
  for (const char* x : {"T.X03", "T.XG0", "T.XG1", "T.XG2", "T.XG3"}) {
    const auto a = ChainRecords(streamed + "/" + x);
    const auto b = ChainRecords(inserted + "/" + x);
    EXPECT_EQ(a.size(), static_cast<size_t>(rows)) << x;
    EXPECT_TRUE(a == b) << x << ": the entries differ";
    const auto ha = HeaderOf(streamed + "/" + x);
    const auto hb = HeaderOf(inserted + "/" + x);
    EXPECT_EQ(ha.num_records, hb.num_records) << x;
    EXPECT_EQ(ha.record_size, hb.record_size) << x;
    EXPECT_EQ(ha.key_fields, hb.key_fields) << x;
    EXPECT_EQ(ha.index_flags, hb.index_flags) << x;
    EXPECT_EQ(ha.file_type, hb.file_type) << x;
    EXPECT_EQ(ha.block_kb, hb.block_kb) << x;
    // Filled front to back: no more blocks than the entries need.
    EXPECT_LE(ha.file_blocks, hb.file_blocks) << x;
  }
  for (const char* y : {"T.Y03", "T.YG0", "T.YG1", "T.YG2", "T.YG3"}) {
    const auto ha = HeaderOf(streamed + "/" + y);
    const auto hb = HeaderOf(inserted + "/" + y);
    EXPECT_EQ(ha.file_type, hb.file_type) << y;
    EXPECT_EQ(ha.record_size, hb.record_size) << y;
    EXPECT_EQ(ha.index_stamp, hb.index_stamp) << y;
    EXPECT_EQ(ha.table_name, hb.table_name) << y;
  }

  auto a = Table::Open(streamed, "T");
  auto b = Table::Open(inserted, "T");
  for (const auto& p : a->verify()) ADD_FAILURE() << "streamed: " << p;
  for (const auto& p : b->verify()) ADD_FAILURE() << "inserted: " << p;
  ASSERT_EQ(a->secondaryCount(), 5u);
  ASSERT_EQ(b->secondaryCount(), 5u);
  for (size_t k = 0; k < a->secondaryCount(); ++k) {
    ASSERT_EQ(a->indexEntries(k), static_cast<uint32_t>(rows));
    ASSERT_EQ(b->indexEntries(k), static_cast<uint32_t>(rows));
    for (uint32_t e = 0; e < static_cast<uint32_t>(rows); ++e) {
      ASSERT_EQ(a->read(a->indexEntryRecord(k, e)), b->read(b->indexEntryRecord(k, e)))
          << "index " << k << " entry " << e;
    }
  }
  // The case-insensitive order, worked out here: NULL first, then by the
  // upper-cased name, equal names by ID.
  size_t name_index = SIZE_MAX;
  for (size_t k = 0; k < a->structure().indexes.size(); ++k) {
    if (a->structure().indexes[k].name == "NameCI") name_index = k - 1;
  }
  ASSERT_NE(name_index, SIZE_MAX);
  auto expected = source;
  std::sort(expected.begin(), expected.end(), [](const SourceRow& x, const SourceRow& y) {
    const std::string ux = UpperText(x.name.value_or("")), uy = UpperText(y.name.value_or(""));
    return ux != uy ? ux < uy : x.id < y.id;
  });
  for (uint32_t e = 0; e < static_cast<uint32_t>(rows); ++e) {
    ASSERT_EQ(a->read(a->indexEntryRecord(name_index, e))[0], Value{int64_t{expected[e].id}})
        << "entry " << e;
  }
  for (const auto& f : ListFiles(streamed)) EXPECT_EQ(f.find("run"), std::string::npos) << f;

  pxdoc_t* doc = PX_new();
  ASSERT_EQ(PX_open_file(doc, (streamed + "/T.DB").c_str()), 0);
  EXPECT_EQ(PX_get_num_records(doc), rows);
  std::vector<char> rec(static_cast<size_t>(PX_get_recordsize(doc)));
  ASSERT_NE(PX_get_record(doc, rows - 1, rec.data()), nullptr);
  PX_close(doc);
  PX_delete(doc);
}

// The failure CheckBuildTable predicts for `def` on a copy of `pristine`,
// its key check sorting through run files in `scratch`; empty when none.
std::string CheckedFailure(const std::string& scratch, const std::string& pristine,
                           const std::function<TableDescriptor(const std::string&)>& def) {
  const std::string dir = scratch + "/checked";
  std::filesystem::create_directories(dir);
  std::filesystem::copy(pristine, dir, std::filesystem::copy_options::recursive);
  const auto before = test::SnapshotFiles(dir);
  std::string message;
  BuildCheckOptions options;
  options.scratch_directory = scratch;
  options.sort_buffer_bytes = 4096;
  try {
    CheckBuildTable(def(dir), FileSystem::Default(), options);
  } catch (const EDBEngineError& e) {
    message = e.what();
  }
  EXPECT_EQ(test::SnapshotFiles(dir), before);
  std::filesystem::remove_all(dir);
  for (const auto& f : ListFiles(scratch)) EXPECT_EQ(f.find(".run"), std::string::npos) << f;
  return message;
}

// Restructures a copy of `dir` into `def` streamed and another row by row
// and returns both failures' messages (empty when one succeeded), after
// checking that CheckBuildTable predicts the same failure.
std::pair<std::string, std::string> FailBothWays(
    const std::string& scratch, const std::string& pristine,
    const std::function<TableDescriptor(const std::string&)>& def) {
  const std::string predicted = CheckedFailure(scratch, pristine, def);
  std::string messages[2];
  for (int way = 0; way < 2; ++way) {
    const std::string dir = scratch + "/way" + std::to_string(way);
    std::filesystem::create_directories(dir);
    std::filesystem::copy(pristine, dir, std::filesystem::copy_options::recursive);
    std::map<std::string, std::string> before;
    for (const auto& f : ListFiles(dir)) before[f] = FileBytes(dir + "/" + f);
    BuildTableOptions options;
    options.sort_buffer_bytes = 4096;
    options.allow_streaming = way == 0;
    try {
      BuildTable(def(dir), FileSystem::Default(), options);
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kIntegrity);
      messages[way] = e.what();
    }
    std::map<std::string, std::string> after;
    for (const auto& f : ListFiles(dir)) after[f] = FileBytes(dir + "/" + f);
    EXPECT_TRUE(before == after) << "way " << way;
    std::filesystem::remove_all(dir);
  }
  EXPECT_EQ(predicted, messages[0]);
  return {messages[0], messages[1]};
}

TEST(BuildTableTest, ARepeatedKeyOfANewUniqueIndexFailsAsRowByRowInsertsFail) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  auto rows = SecondaryRows(2000);
  // Under case-insensitive REF, "A-1" repeats at IDs 301 and 4501 and "B-7"
  // at 601 and 1201: the first row, in key order, that repeats a value is
  // ID 1201, though "A-1" sorts first.
  rows[100].ref = "a-1";
  rows[1500].ref = "A-1";
  rows[200].ref = "b-7";
  rows[400].ref = "B-7";
  FillSecondarySource(pristine, rows);
  auto [streamed, inserted] = FailBothWays(scratch.path(), pristine, SecondaryTarget);
  EXPECT_EQ(streamed, inserted);
  EXPECT_EQ(streamed.rfind("Cannot restructure table \"T\": Key violation in table \"T\"", 0), 0u)
      << streamed;
  EXPECT_NE(streamed.find("the key (\"B-7\") already exists in the unique index \"RefU\""),
            std::string::npos)
      << streamed;
  EXPECT_NE(streamed.find("the table is unchanged"), std::string::npos) << streamed;
}

TEST(BuildTableTest, ARepeatedPrimaryKeyAndARepeatedUniqueKeyFailOnTheEarlierRow) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  // Key CODE A8 cut to 3 characters: "999" repeats at row 1000. N repeats
  // at rows 300 and 700, M at rows 1200 and 1400.
  BuildTable(MakeDescriptor(pristine + "/T",
                            {{"CODE", FieldType::kString, 8, 0, Operation::kAdd},
                             {"N", FieldType::kInteger, 0, 0, Operation::kAdd},
                             {"M", FieldType::kInteger, 0, 0, Operation::kAdd}},
                            {{"", {1}, true, true, false, false, Operation::kAdd}}));
  {
    auto t = Table::Open(pristine, "T", {true, true});
    t->beginBulk();
    for (int i = 0; i < 1500; ++i) {
      char code[16];
      std::snprintf(code, sizeof code, i < 1000 ? "%03dQ%d" : "999Z%d", i, i);
      t->insert({std::string(code), int64_t{i == 700 ? 300 : i}, int64_t{i == 1400 ? 1200 : i}});
    }
    t->endBulk();
  }
  auto def = [](int code_size, uint16_t unique_field) {
    return [=](const std::string& dir) {
      return MakeDescriptor(dir + "/T",
                            {{"CODE", FieldType::kString, code_size, 1, Operation::kModify},
                             {"N", FieldType::kInteger, 0, 2, Operation::kCopy},
                             {"M", FieldType::kInteger, 0, 3, Operation::kCopy}},
                            {{"", {1}, true, true, false, false, Operation::kRedo},
                             {"U", {unique_field}, false, true, false, false, Operation::kAdd}});
    };
  };
  // The repeated N at row 700 comes before the repeated key at row 1000.
  auto [s1, i1] = FailBothWays(scratch.path(), pristine, def(3, 2));
  EXPECT_EQ(s1, i1);
  EXPECT_NE(s1.find("the key (300) already exists in the unique index \"U\""), std::string::npos)
      << s1;
  // The repeated key at row 1000 comes before the repeated M at row 1400.
  auto [s2, i2] = FailBothWays(scratch.path(), pristine, def(3, 3));
  EXPECT_EQ(s2, i2);
  EXPECT_NE(s2.find("the primary key (\"999\") already exists"), std::string::npos) << s2;
  // Without the cut only M repeats.
  auto [s3, i3] = FailBothWays(scratch.path(), pristine, def(8, 3));
  EXPECT_EQ(s3, i3);
  EXPECT_NE(s3.find("the key (1200) already exists in the unique index \"U\""), std::string::npos)
      << s3;
}

TEST(BuildTableTest, ACrashAnywhereInAStreamedRestructureWithSecondaryIndexesLeavesOldOrNew) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  auto named = [](TableDescriptor d, const std::string& dir) {
    d.table_path = dir + "/ORDERS";
    return d;
  };
  BuildTable(named(SecondarySource(pristine), pristine));
  {
    auto t = Table::Open(pristine, "ORDERS", {true, true});
    t->beginBulk();
    for (const auto& r : SecondaryRows(300)) {
      t->insert({int64_t{r.id}, r.name ? Value{*r.name} : Value{}, r.code,
                 r.qty ? Value{int64_t{*r.qty}} : Value{}, r.ref});
    }
    t->endBulk();
  }
  // Runs of a few dozen entries: every index is merged from run files.
  BuildTableOptions options;
  options.sort_buffer_bytes = 5 * 2048;  // 2 KB for each of five indexes
  const Build build = [&](const std::string& dir, FileSystem& fs) {
    BuildTable(named(SecondaryTarget(dir), dir), fs, options);
  };
  const SweepSetup setup = MeasureRestructure(scratch, pristine, build);
  ASSERT_GT(setup.total, 40u);
  // The rows keep their values; the old table has no secondary index, the
  // new one five.
  ASSERT_EQ(setup.old_rows, setup.new_rows);
  ASSERT_EQ(Table::Open(pristine, "ORDERS")->secondaryCount(), 0u);
  ASSERT_EQ(Table::Open(scratch.file("new"), "ORDERS")->secondaryCount(), 5u);
  auto which = [&](const std::string& dir) {
    const auto rows = Snapshot(dir);
    auto t = Table::Open(dir, "ORDERS");
    if (rows == setup.old_rows && t->secondaryCount() == 0) return -1;
    if (rows == setup.new_rows && t->secondaryCount() == 5 && t->indexEntries(0) == rows.size()) {
      return 1;
    }
    return 0;
  };
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    ExpectWholeTables(SweepKillPoints(OrdersSweep(scratch, setup, build, which), crash));
  }
}

// --- All or nothing ---------------------------------------------------------

// NewDefinition without its secondary indexes: the old index files go.
TableDescriptor DroppingIndexes(const std::string& dir) {
  auto d = NewDefinition(dir);
  d.indexes.resize(1);
  d.index_operations.resize(1);
  return d;
}

TEST(BuildTableTest, ACrashWhileTheOldIndexFilesAreRemovedLeavesTheOldOrTheNewTable) {
  TempDir scratch;
  const SweepSetup setup = PrepareSweep(scratch, DroppingIndexes);
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    ExpectWholeTables(SweepKillPoints(
        OrdersSweep(
            scratch, setup,
            [](const std::string& dir, FileSystem& fs) { BuildTable(DroppingIndexes(dir), fs); },
            [&](const std::string& dir) {
              const auto rows = Snapshot(dir);
              const auto files = ListFiles(dir);
              const bool has_old_indexes =
                  std::find(files.begin(), files.end(), "ORDERS.XG1") != files.end();
              if (rows == setup.old_rows && has_old_indexes) return -1;
              if (rows == setup.new_rows &&
                  files == std::vector<std::string>{"ORDERS.DB", "ORDERS.MB", "ORDERS.PX"}) {
                return 1;
              }
              return 0;
            }),
        crash));
  }
}

// Forwards to another file system, but the new data file of a restructure
// is never synced: the fault the power-loss sweep must catch.
class UnsyncedNewDataFile : public FileSystem {
 public:
  explicit UnsyncedNewDataFile(FileSystem& base) : base_(base) {}
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    auto file = base_.open(path, mode);
    if (path.find(".restructure/") == std::string::npos || !path.ends_with(".DB")) return file;
    return std::make_unique<NoSync>(std::move(file));
  }
  bool exists(const std::string& p) override { return base_.exists(p); }
  bool isDirectory(const std::string& p) override { return base_.isDirectory(p); }
  void remove(const std::string& p) override { base_.remove(p); }
  void rename(const std::string& a, const std::string& b) override { base_.rename(a, b); }
  std::vector<std::string> list(const std::string& d) override { return base_.list(d); }
  void makeDirectories(const std::string& p) override { base_.makeDirectories(p); }
  void syncDirectory(const std::string& p) override { base_.syncDirectory(p); }
  void removeDirectory(const std::string& p) override { base_.removeDirectory(p); }

 private:
  class NoSync : public File {
   public:
    explicit NoSync(std::unique_ptr<File> f) : f_(std::move(f)) {}
    const std::string& path() const override { return f_->path(); }
    uint64_t size() override { return f_->size(); }
    size_t read(uint64_t o, void* b, size_t n) override { return f_->read(o, b, n); }
    void write(uint64_t o, const void* d, size_t n) override { f_->write(o, d, n); }
    void truncate(uint64_t size) override { f_->truncate(size); }
    void sync() override {}
    bool tryLock(bool exclusive) override { return f_->tryLock(exclusive); }
    void unlock() override { f_->unlock(); }

   private:
    std::unique_ptr<File> f_;
  };
  FileSystem& base_;
};

TEST(BuildTableTest, APowerLossSweepCatchesAMissingSyncThatAKillSweepCannot) {
  TempDir scratch;
  const SweepSetup setup = PrepareSweep(scratch, NewDefinition);
  Sweep sweep = OrdersSweep(
      scratch, setup,
      [](const std::string& dir, FileSystem& fs) { BuildTable(NewDefinition(dir), fs); },
      OldOrNewRows(setup));
  sweep.wrap = [](FileSystem& base) { return std::make_unique<UnsyncedNewDataFile>(base); };
  // The page cache keeps the unsynced data file when only the process dies.
  EXPECT_TRUE(SweepKillPoints(sweep, Crash::kKill).problems.empty());
  EXPECT_FALSE(SweepKillPoints(sweep, Crash::kPowerLoss).problems.empty());
}

TEST(BuildTableTest, AFailureAtAnyStepLeavesEveryFileAsItWasOrCommitsTheNewTable) {
  TempDir scratch;
  const SweepSetup setup = PrepareSweep(scratch, DroppingIndexes);
  int unchanged = 0, committed = 0;
  for (uint64_t n = 1; n <= setup.total; ++n) {
    const std::string dir = scratch.file("fail" + std::to_string(n));
    std::filesystem::create_directories(dir);
    std::filesystem::copy(setup.pristine, dir, std::filesystem::copy_options::recursive);
    const auto before = test::SnapshotFiles(dir);
    FaultFileSystem fs(FileSystem::Default());
    fs.arm(n, FaultFileSystem::Mode::kFail, n % 2 ? ENOSPC : EIO);
    std::string failure;
    try {
      BuildTable(DroppingIndexes(dir), fs);
    } catch (const EDBEngineError& e) {
      failure = e.what();
    }
    if (!failure.empty() && failure.find("is committed") == std::string::npos) {
      EXPECT_EQ(test::SnapshotFiles(dir), before) << "failure at " << n << ": " << failure;
      ++unchanged;
    } else {
      // Committed: the new table, whole, once the next open has finished it.
      EXPECT_EQ(Snapshot(dir), setup.new_rows) << "failure at " << n;
      EXPECT_TRUE(Table::Open(dir, "ORDERS")->verify().empty()) << "failure at " << n;
      EXPECT_EQ(ListFiles(dir), (std::vector<std::string>{"ORDERS.DB", "ORDERS.MB", "ORDERS.PX"}))
          << "failure at " << n;
      ++committed;
    }
    std::filesystem::remove_all(dir);
  }
  EXPECT_GT(unchanged, 0);
  EXPECT_GT(committed, 0);
}

// The failures CheckBuildTable and BuildTable meet for `def` on copies of
// `pristine` through `fs`: both must be the same, and neither the check nor
// a failing build may change a file.
std::string SameFailureBothWays(const TempDir& scratch, const std::string& pristine,
                                const std::function<TableDescriptor(const std::string&)>& def,
                                FileSystem& fs) {
  std::string messages[2];
  for (int way = 0; way < 2; ++way) {
    const std::string dir = scratch.file("way" + std::to_string(way));
    std::filesystem::create_directories(dir);
    std::filesystem::copy(pristine, dir, std::filesystem::copy_options::recursive);
    const auto before = test::SnapshotFiles(dir);
    try {
      if (way == 0) CheckBuildTable(def(dir), fs);
      if (way == 1) BuildTable(def(dir), fs);
    } catch (const EDBEngineError& e) {
      messages[way] = std::regex_replace(e.what(), std::regex("way[01]"), "way");
    }
    if (way == 0 || !messages[way].empty()) {
      EXPECT_EQ(test::SnapshotFiles(dir), before);
    }
    std::filesystem::remove_all(dir);
  }
  EXPECT_EQ(messages[0], messages[1]);
  return messages[1];
}

TEST(BuildTableTest, ADirectoryWithoutRoomOrWriteAccessIsRefusedBeforeAnythingIsWritten) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  CreateOriginal(pristine, 300);

  test::RefusingFileSystem full(FileSystem::Default());
  full.available = 40 << 10;  // less than the new data file alone
  const std::string no_room = SameFailureBothWays(scratch, pristine, NewDefinition, full);
  EXPECT_NE(no_room.find("not enough room"), std::string::npos) << no_room;

  test::RefusingFileSystem read_only(FileSystem::Default());
  read_only.read_only = [](const std::string&) { return true; };
  const std::string no_access = SameFailureBothWays(scratch, pristine, NewDefinition, read_only);
  EXPECT_NE(no_access.find("Cannot write the new files of table \"ORDERS\""), std::string::npos)
      << no_access;

  // With room, the same restructure goes through.
  test::RefusingFileSystem roomy(FileSystem::Default());
  roomy.available = uint64_t{1} << 30;
  EXPECT_EQ(SameFailureBothWays(scratch, pristine, NewDefinition, roomy), "");
}

// A table whose blob file is gone holds only the first bytes of its longer
// memo values. Restructuring it would make that cut permanent, so it is
// refused (the same by the check and the run, nothing touched) unless the
// new definition drops the memo fields.
TEST(BuildTableTest, ATableWithoutItsBlobFileIsRefusedUnlessItsMemosAreDropped) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  CreateOriginal(pristine, 50);  // ids 5, 10 ... 50 have notes longer than the leader
  std::filesystem::remove(pristine + "/ORDERS.MB");
  const std::string message =
      SameFailureBothWays(scratch, pristine, NewDefinition, FileSystem::Default());
  EXPECT_NE(message.find("Table \"ORDERS\" cannot be restructured: its blob file ORDERS.MB is "
                         "missing: 10 values of its memo and blob fields would be cut"),
            std::string::npos)
      << message;

  auto without_notes = [](const std::string& dir) {
    auto d = NewDefinition(dir);
    d.fields.erase(d.fields.begin() + 4);
    d.field_operations.erase(d.field_operations.begin() + 4);
    return d;
  };
  BuildTable(without_notes(pristine));
  auto t = Table::Open(pristine, "ORDERS");
  EXPECT_EQ(t->recordCount(), 50u);
  EXPECT_EQ(t->structure().fields.size(), 5u);
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

// The room a restructure asks for is what it writes, give or take: a
// restructure that keeps the rows' order writes full blocks, and a
// secondary index holds small entries, not records.
TEST(BuildTableTest, TheRoomAskedForARestructureIsAboutWhatItWrites) {
  TempDir dir;
  CreateOriginal(dir.path(), 60000);
  const auto same =
      MakeDescriptor(dir.file("ORDERS"),
                     {{"ID", FieldType::kInteger, 0, 1, Operation::kCopy},
                      {"CODE", FieldType::kString, 10, 2, Operation::kCopy},
                      {"NAME", FieldType::kString, 30, 3, Operation::kCopy},
                      {"QTY", FieldType::kInteger, 0, 4, Operation::kCopy},
                      {"NOTE", FieldType::kMemo, 20, 5, Operation::kCopy},
                      {"OLD", FieldType::kSmallint, 0, 6, Operation::kCopy}},
                     {{"", {1}, true, true, false, false, Operation::kCopy},
                      {"ByName", {3}, false, false, false, true, Operation::kCopy},
                      {"ByCode", {2, 4}, false, false, true, false, Operation::kCopy}});
  auto asked_megabytes = [&] {
    test::RefusingFileSystem full(FileSystem::Default());
    full.available = 1;
    try {
      CheckBuildTable(same, full);
    } catch (const EDBEngineError& e) {
      std::smatch m;
      const std::string message = e.what();
      if (std::regex_search(message, m, std::regex("about ([0-9]+) MB are needed"))) {
        return std::stod(m[1]);
      }
      ADD_FAILURE() << message;
    }
    return 0.0;
  };
  const double asked = asked_megabytes();
  BuildTable(same);
  double written = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    written += static_cast<double>(e.file_size());
  }
  written /= 1 << 20;
  EXPECT_GE(asked, written);
  EXPECT_LE(asked, written * 1.3 + 1) << "asked " << asked << " MB for " << written << " MB";
}

struct RefusedDefinition {
  const char* name;
  std::function<void(TableDescriptor&)> spoil;
  const char* message;  // part of the engine's message
};

std::string RefusedName(const testing::TestParamInfo<RefusedDefinition>& info) {
  return info.param.name;
}
void PrintTo(const RefusedDefinition& d, std::ostream* os) { *os << d.name; }

class RefusedDefinitionTest : public testing::TestWithParam<RefusedDefinition> {};

TEST_P(RefusedDefinitionTest, IsFoundBeforeAnythingIsWritten) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  std::filesystem::create_directories(pristine);
  CreateOriginal(pristine, 50);
  auto spoiled = [](const std::string& dir) {
    auto d = NewDefinition(dir);
    GetParam().spoil(d);
    return d;
  };
  const std::string message =
      SameFailureBothWays(scratch, pristine, spoiled, FileSystem::Default());
  EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Definitions, RefusedDefinitionTest,
    testing::Values(RefusedDefinition{"MemoAsIndexedField",
                                      [](TableDescriptor& d) { d.indexes[2].key_fields[0] = 5; },
                                      "cannot be indexed"},
                    RefusedDefinition{"TwoFieldsOfOneName",
                                      [](TableDescriptor& d) { d.fields[5].name = "code"; },
                                      "has two fields named"},
                    RefusedDefinition{"IndexOfAFieldThatDoesNotExist",
                                      [](TableDescriptor& d) { d.indexes[1].key_fields[0] = 9; },
                                      "which does not exist"},
                    RefusedDefinition{
                        "UnsupportedLevel",
                        [](TableDescriptor& d) { d.optional_parameters[0].value = "6"; },
                        "is not supported"}),
    RefusedName);

TEST(BuildTableTest, ANameWithTheDataFileExtensionIsTheSameTable) {
  TempDir dir;
  CreateOriginal(dir.path(), 30);
  auto d = NewDefinition(dir.path());
  d.table_path = dir.file("orders.db");
  BuildTable(d);
  auto t = Table::Open(dir.path(), "ORDERS");
  EXPECT_EQ(t->recordCount(), 30u);
  EXPECT_EQ(t->structure().fields[5].name, "EXTRA");
  EXPECT_EQ(ListFiles(dir.path()),
            (std::vector<std::string>{"ORDERS.DB", "ORDERS.MB", "ORDERS.PX", "ORDERS.XG0",
                                      "ORDERS.XG1", "ORDERS.YG0", "ORDERS.YG1"}));
}

// ---------------------------------------------------------------------------
// Encrypted tables

constexpr const char* kSecret = "s3cret";

uint32_t HeaderWord(const std::string& path, size_t at) {
  const std::string bytes = FileBytes(path);
  return paradox::LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

// Every row's values, read with the password.
std::vector<Row> RowsOf(const std::string& dir, const std::string& password) {
  auto t = Table::Open(dir, "ORDERS", {.passwords = {password}});
  std::vector<Row> rows;
  Table::Scanner s(*t);
  Row r;
  while (s.next(r)) rows.push_back(r);
  return rows;
}

// Bytes written to the sort runs of a restructure.
class RunWrites final : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::string written;
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    auto file = base().open(path, mode);
    if (path.find(".run") == std::string::npos) return file;
    return std::make_unique<Capture>(*this, std::move(file));
  }

 private:
  class Capture final : public ForwardingFile {
   public:
    Capture(RunWrites& fs, std::unique_ptr<File> base) : ForwardingFile(std::move(base)), fs_(fs) {}
    void write(uint64_t offset, const void* data, size_t n) override {
      fs_.written.append(static_cast<const char*>(data), n);
      ForwardingFile::write(offset, data, n);
    }

   private:
    RunWrites& fs_;
  };
};

// Restructured in place, front to back or row by row (NAME made the key,
// out of the old order), an encrypted table stays encrypted under the same
// password: its rows and memos are kept, no file and no sort run holds a
// value in the clear, and pxlib reads the new files.
TEST(BuildTableTest, AnEncryptedTableRestructuredInPlaceStaysEncryptedWithItsRows) {
  for (const bool name_key : {false, true}) {
    SCOPED_TRACE(name_key ? "NAME made the key: row by row" : "front to back");
    TempDir dir;
    CreateOriginal(dir.path(), 3000, kSecret);
    const uint32_t checksum = HeaderWord(dir.file("ORDERS.DB"), 0x5C);
    ASSERT_EQ(checksum, paradox::PasswordChecksum(kSecret));
    const std::vector<Row> before = RowsOf(dir.path(), kSecret);
    TableDescriptor d;
    if (name_key) {
      d = MakeDescriptor(dir.path() + "/ORDERS",
                         {{"NAME", FieldType::kString, 30, 3, Operation::kCopy},
                          {"ID", FieldType::kInteger, 0, 1, Operation::kCopy},
                          {"NOTE", FieldType::kMemo, 20, 5, Operation::kCopy}},
                         {{"", {1}, true, true, false, false, Operation::kModify},
                          {"ById", {2}, false, false, false, false, Operation::kAdd}});
    } else {
      d = NewDefinition(dir.path());
      // NAME indexed, so that its values go through the sort runs.
      IndexDescriptor by_name = d.indexes[2];
      by_name.name = "ByName";
      by_name.key_fields[0] = 3;
      d.indexes.push_back(by_name);
      d.index_operations.push_back(Operation::kAdd);
    }
    d.password = kSecret;
    RunWrites runs(FileSystem::Default());
    BuildTableOptions options;
    options.sort_buffer_bytes = 16 * 1024;  // sort runs on disk
    BuildTable(d, runs, options);

    if (!name_key) {
      EXPECT_GT(runs.written.size(), 16u * 1024);
    }
    EXPECT_EQ(runs.written.find("Name number"), std::string::npos);
    EXPECT_EQ(HeaderWord(dir.file("ORDERS.DB"), 0x5C), checksum);
    EXPECT_EQ(HeaderWord(dir.file("ORDERS.PX"), 0x25), checksum);
    for (const auto& f : ListFiles(dir.path())) {
      EXPECT_EQ(FileBytes(dir.file(f)).find("Name number"), std::string::npos) << f;
    }
    EXPECT_FALSE(Table::Open(dir.path(), "ORDERS")->rowsReadable());
    // Every row by its ID, with its name and memo.
    auto t = Table::Open(dir.path(), "ORDERS", {.passwords = {kSecret}});
    const size_t id = name_key ? 1 : 0, name = name_key ? 0 : 2, note = name_key ? 2 : 4;
    std::map<int64_t, Row> after;
    {
      Table::Scanner s(*t);
      Row r;
      while (s.next(r)) after[std::get<int64_t>(r[id])] = r;
    }
    ASSERT_EQ(after.size(), before.size());
    for (const Row& b : before) {
      const Row& r = after.at(std::get<int64_t>(b[0]));
      EXPECT_EQ(r[name], b[2]);
      EXPECT_EQ(r[note], b[4]);
    }
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
    pxdoc_t* doc = PX_new();
    ASSERT_EQ(PX_open_file(doc, dir.file("ORDERS.DB").c_str()), 0);
    EXPECT_EQ(static_cast<uint32_t>(doc->px_head->px_encryption), checksum);
    ASSERT_EQ(PX_get_num_records(doc), static_cast<int>(before.size()));
    std::vector<char> record(static_cast<size_t>(PX_get_recordsize(doc)));
    std::vector<uint8_t> ours;
    for (int r = 0; r < PX_get_num_records(doc); r += 97) {
      ASSERT_NE(PX_get_record(doc, r, record.data()), nullptr);
      t->readRecordBytes(static_cast<uint32_t>(r), &ours);
      EXPECT_EQ(std::string(record.data(), record.size()), std::string(ours.begin(), ours.end()));
    }
    PX_close(doc);
    PX_delete(doc);
  }
}

// Without its password (none, or a wrong one) an encrypted table is not
// restructured: the check and the build refuse it alike, before anything is
// written.
TEST(BuildTableTest, AnEncryptedTableWithoutItsPasswordIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  CreateOriginal(dir.path(), 200, kSecret);
  std::map<std::string, std::string> before;
  for (const auto& f : ListFiles(dir.path())) before[f] = FileBytes(dir.file(f));
  const std::string data_file = JoinPath(dir.path(), "ORDERS.DB");
  for (const char* password : {"", "S3CRET"}) {
    SCOPED_TRACE(password);
    auto d = NewDefinition(dir.path());
    d.password = password;
    const std::string expected =
        std::string("Cannot restructure table \"ORDERS\" keeping its rows: Table \"") + data_file +
        (*password ? "\" is encrypted and the password given is not its password; its rows cannot "
                     "be read"
                   : "\" is encrypted; its rows cannot be read without its password");
    for (const std::function<void()>& attempt :
         std::vector<std::function<void()>>{[&] { CheckBuildTable(d); }, [&] { BuildTable(d); }}) {
      try {
        attempt();
        ADD_FAILURE() << "restructured without its password";
      } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kInvalidRequest, subcode::kEncrypted));
        EXPECT_EQ(std::string(e.what()), expected);
      }
    }
  }
  std::map<std::string, std::string> after;
  for (const auto& f : ListFiles(dir.path())) after[f] = FileBytes(dir.file(f));
  EXPECT_TRUE(before == after);
}

// A new table is encrypted under the checksum the descriptor gives (a table
// made anew in place of an encrypted one), or under its password when it
// asks for a protected table.
TEST(BuildTableTest, ANewTableIsEncryptedUnderTheChecksumOrPasswordGiven) {
  for (const bool by_checksum : {true, false}) {
    TempDir dir;
    auto d = NewDefinition(dir.path());
    for (auto& op : d.field_operations) op = Operation::kAdd;
    for (auto& op : d.index_operations) op = Operation::kAdd;
    if (by_checksum) {
      d.password_checksum = paradox::PasswordChecksum(kSecret);
    } else {
      d.protected_table = true;
      d.password = kSecret;
    }
    BuildTable(d);
    EXPECT_EQ(HeaderWord(dir.file("ORDERS.DB"), 0x5C), paradox::PasswordChecksum(kSecret));
    EXPECT_EQ(HeaderWord(dir.file("ORDERS.PX"), 0x25), paradox::PasswordChecksum(kSecret));
    EXPECT_FALSE(Table::Open(dir.path(), "ORDERS")->rowsReadable());
    {
      auto t = Table::Open(dir.path(), "ORDERS",
                           {.writable = true, .exclusive = true, .passwords = {kSecret}});
      t->insert({int64_t{1}, "AB", "a name", 2.5, "a note", Value{}});
    }
    pxdoc_t* doc = PX_new();
    ASSERT_EQ(PX_open_file(doc, dir.file("ORDERS.DB").c_str()), 0);
    EXPECT_EQ(PX_get_num_records(doc), 1);
    std::vector<char> record(static_cast<size_t>(PX_get_recordsize(doc)));
    ASSERT_NE(PX_get_record(doc, 0, record.data()), nullptr);
    char* name = nullptr;
    PX_get_data_alpha(doc, record.data() + 4 + 2, 40, &name);
    EXPECT_STREQ(name, "a name");
    if (name) doc->free(doc, name);
    PX_close(doc);
    PX_delete(doc);
  }
}

}  // namespace
}  // namespace vellum::engine
