// The engine side by side with its peers, in one run:
//  - bulk load of a keyed table of ten mixed fields: the engine (insert in
//    key order between beginBulk and endBulk, then flush) vs SQLite (one
//    transaction, one prepared statement, default journal and synchronous
//    settings) vs pxlib (PX_put_record);
//  - full scan of that table: the engine's Table::Scanner vs pxlib's
//    PX_get_record with every field decoded by PX_get_data_*;
//  - peak memory of a scan of a small and of a large table, each scan in a
//    fresh child process (this program run again), which reports the high
//    water mark of its resident memory (VmHWM).
// Google Benchmark prints its table; a summary with the ratios (engine time /
// peer time) and the targets follows.
//
// Environment: VELLUM_BENCH_ROWS (default 1000000) sets the size of the
// large table; VELLUM_BENCH_DIR the directory for the tables (default: a new
// directory under the system's temporary directory, removed at the end).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/paradox/table.h"
#include "engine/value.h"

// pxlib's header does not declare C linkage itself.
extern "C" {
#include <paradox.h>
}

namespace {

namespace fs = std::filesystem;
using vellum::bench::Check;
using vellum::bench::PeakRssKb;
using vellum::bench::SummaryReporter;
using vellum::engine::Date;
using vellum::engine::FieldType;
using vellum::engine::Value;
using vellum::engine::paradox::FieldDef;
using vellum::engine::paradox::IndexDef;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;

constexpr size_t kSmallRows = 100000;
constexpr int kRepetitions = 3;
constexpr char kChildFlag[] = "--scan-child=";

size_t g_rows = 1000000;
std::string g_dir;

// One source row, generated once so that no engine pays for making values.
struct SourceRow {
  int32_t id;
  char name[31];
  char city[21];
  double price;
  double amount;
  int32_t day;  // day number, 1 = 1 January 0001
  int16_t qty;
  bool active;
  char code[9];
  int32_t score;
};

const std::vector<SourceRow>& Source() {
  static const std::vector<SourceRow> rows = [] {
    static const char* kCities[] = {"Amsterdam", "Berlin",   "Copenhagen", "Dublin",
                                    "Edinburgh", "Florence", "Geneva",     "Helsinki"};
    const int32_t first_day = vellum::engine::DateFromYmd(1950, 1, 1).day;
    std::vector<SourceRow> out(g_rows);
    for (size_t i = 0; i < g_rows; ++i) {
      SourceRow& r = out[i];
      r.id = static_cast<int32_t>(i + 1);
      std::snprintf(r.name, sizeof r.name, "Customer %07zu", i + 1);
      std::snprintf(r.city, sizeof r.city, "%s", kCities[i % 8]);
      r.price = static_cast<double>(i % 1000) * 0.25 + 0.5;
      r.amount = static_cast<double>(i % 100000) / 100.0;
      r.day = first_day + static_cast<int32_t>(i % 20000);
      r.qty = static_cast<int16_t>(i % 30000);
      r.active = i % 3 == 0;
      std::snprintf(r.code, sizeof r.code, "K%06zX", (i * 2654435761u) & 0xFFFFFF);
      r.score = static_cast<int32_t>((i * 7919) % 1000003) - 500000;
    }
    return out;
  }();
  return rows;
}

std::string TableName(size_t rows) {
  std::string name = "T";
  name += std::to_string(rows);
  return name;
}

// ---------------------------------------------------------------------------
// The engine

TableDefinition Definition() {
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0, false},
                FieldDef{"NAME", FieldType::kString, 30, false},
                FieldDef{"CITY", FieldType::kString, 20, false},
                FieldDef{"PRICE", FieldType::kFloat, 0, false},
                FieldDef{"AMOUNT", FieldType::kCurrency, 0, false},
                FieldDef{"BORN", FieldType::kDate, 0, false},
                FieldDef{"QTY", FieldType::kSmallint, 0, false},
                FieldDef{"ACTIVE", FieldType::kBoolean, 0, false},
                FieldDef{"CODE", FieldType::kString, 8, false},
                FieldDef{"SCORE", FieldType::kInteger, 0, false}};
  def.indexes = {IndexDef{"", {"ID"}, true, true, false, false}};
  return def;
}

void VellumLoad(const std::string& name, size_t rows) {
  Table::Create(g_dir, name, Definition());
  auto table = Table::Open(g_dir, name, OpenOptions{true, true});
  table->beginBulk();
  Row row(10);
  const auto& source = Source();
  for (size_t i = 0; i < rows; ++i) {
    const SourceRow& s = source[i];
    row[0] = int64_t{s.id};
    row[1] = std::string(s.name);
    row[2] = std::string(s.city);
    row[3] = s.price;
    row[4] = s.amount;
    row[5] = Date{s.day};
    row[6] = int64_t{s.qty};
    row[7] = s.active;
    row[8] = std::string(s.code);
    row[9] = int64_t{s.score};
    table->insert(row);
  }
  table->endBulk();
  table->flush();
}

// Folds a value into a checksum, so that every decoded field is used.
struct Fold {
  uint64_t* sum;
  void operator()(std::monostate) const {}
  void operator()(bool b) const { *sum += b ? 1 : 0; }
  void operator()(int64_t i) const { *sum += static_cast<uint64_t>(i); }
  void operator()(double d) const { *sum += static_cast<uint64_t>(static_cast<int64_t>(d * 100)); }
  void operator()(const std::string& s) const { *sum += s.size() + static_cast<uint8_t>(s[0]); }
  void operator()(const vellum::engine::Bytes& b) const { *sum += b.size(); }
  void operator()(Date d) const { *sum += static_cast<uint64_t>(d.day); }
  void operator()(vellum::engine::TimeOfDay t) const { *sum += static_cast<uint64_t>(t.ms); }
  void operator()(vellum::engine::Timestamp t) const { *sum += static_cast<uint64_t>(t.ms); }
  void operator()(const vellum::engine::Decimal& d) const { *sum += d.text.size(); }
};

// Scans a table; returns the number of records and a checksum of the values.
size_t VellumScan(const std::string& name, uint64_t* checksum) {
  auto table = Table::Open(g_dir, name);
  Table::Scanner scanner(*table);
  Row row;
  size_t n = 0;
  while (scanner.next(row)) {
    for (const Value& v : row) std::visit(Fold{checksum}, v);
    ++n;
  }
  return n;
}

// ---------------------------------------------------------------------------
// SQLite

void SqliteLoad(const std::string& path, size_t rows) {
  fs::remove(path);
  fs::remove(path + "-journal");
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Check(sqlite3_exec(db,
                     "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, city TEXT, price REAL, "
                     "amount REAL, born INTEGER, qty INTEGER, active INTEGER, code TEXT, "
                     "score INTEGER)",
                     nullptr, nullptr, nullptr),
        db, "create");
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", -1, &insert,
                           nullptr),
        db, "prepare");
  const auto& source = Source();
  for (size_t i = 0; i < rows; ++i) {
    const SourceRow& s = source[i];
    sqlite3_bind_int(insert, 1, s.id);
    sqlite3_bind_text(insert, 2, s.name, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, s.city, -1, SQLITE_STATIC);
    sqlite3_bind_double(insert, 4, s.price);
    sqlite3_bind_double(insert, 5, s.amount);
    sqlite3_bind_int(insert, 6, s.day);
    sqlite3_bind_int(insert, 7, s.qty);
    sqlite3_bind_int(insert, 8, s.active ? 1 : 0);
    sqlite3_bind_text(insert, 9, s.code, -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 10, s.score);
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
}

// ---------------------------------------------------------------------------
// pxlib

void PxLoad(const std::string& path, size_t rows) {
  fs::remove(path);
  struct FieldLayout {
    const char* name;
    char type;
    int length;
  };
  static const FieldLayout kLayout[] = {{"ID", pxfLong, 4},         {"NAME", pxfAlpha, 30},
                                        {"CITY", pxfAlpha, 20},     {"PRICE", pxfNumber, 8},
                                        {"AMOUNT", pxfCurrency, 8}, {"BORN", pxfDate, 4},
                                        {"QTY", pxfShort, 2},       {"ACTIVE", pxfLogical, 1},
                                        {"CODE", pxfAlpha, 8},      {"SCORE", pxfLong, 4}};
  constexpr int kFields = 10;
  pxdoc_t* px = PX_new();
  // pxlib takes ownership of the field list and frees it with the document.
  auto* fields = static_cast<pxfield_t*>(std::malloc(kFields * sizeof(pxfield_t)));
  int offsets[kFields];
  int record_size = 0;
  for (int i = 0; i < kFields; ++i) {
    fields[i].px_fname = strdup(kLayout[i].name);
    fields[i].px_ftype = kLayout[i].type;
    fields[i].px_flen = kLayout[i].length;
    fields[i].px_fdc = 0;
    offsets[i] = record_size;
    record_size += kLayout[i].length;
  }
  if (PX_create_file(px, fields, kFields, path.c_str(), pxfFileTypIndexDB) < 0) {
    throw std::runtime_error("pxlib cannot create " + path);
  }
  PX_set_value(px, "numprimkeys", 1);
  std::vector<char> record(static_cast<size_t>(record_size));
  const auto& source = Source();
  for (size_t i = 0; i < rows; ++i) {
    const SourceRow& s = source[i];
    char* r = record.data();
    PX_put_data_long(px, r + offsets[0], 4, s.id);
    PX_put_data_alpha(px, r + offsets[1], 30, const_cast<char*>(s.name));
    PX_put_data_alpha(px, r + offsets[2], 20, const_cast<char*>(s.city));
    PX_put_data_double(px, r + offsets[3], 8, s.price);
    PX_put_data_double(px, r + offsets[4], 8, s.amount);
    PX_put_data_long(px, r + offsets[5], 4, s.day);
    PX_put_data_short(px, r + offsets[6], 2, s.qty);
    PX_put_data_byte(px, r + offsets[7], 1, s.active ? 1 : 0);
    PX_put_data_alpha(px, r + offsets[8], 8, const_cast<char*>(s.code));
    PX_put_data_long(px, r + offsets[9], 4, s.score);
    if (PX_put_record(px, r) < 0) throw std::runtime_error("pxlib cannot write a record");
  }
  PX_close(px);
  PX_delete(px);
}

// Reads every record of a table with pxlib, decoding each field by its type;
// returns the number of records and a checksum of the values.
size_t PxScan(const std::string& path, uint64_t* checksum) {
  pxdoc_t* px = PX_new();
  if (PX_open_file(px, path.c_str()) < 0) throw std::runtime_error("pxlib cannot open " + path);
  const int nfields = PX_get_num_fields(px);
  pxfield_t* fields = PX_get_fields(px);
  std::vector<char> record(static_cast<size_t>(PX_get_recordsize(px)));
  const int records = PX_get_num_records(px);
  size_t n = 0;
  for (int i = 0; i < records; ++i) {
    if (PX_get_record(px, i, record.data()) == nullptr) continue;
    char* p = record.data();
    for (int f = 0; f < nfields; ++f) {
      const int len = fields[f].px_flen;
      switch (fields[f].px_ftype) {
        case pxfAlpha: {
          char* text = nullptr;
          if (PX_get_data_alpha(px, p, len, &text) > 0 && text != nullptr) {
            *checksum += std::strlen(text) + static_cast<uint8_t>(text[0]);
            px->free(px, text);
          }
          break;
        }
        case pxfDate:
        case pxfLong: {
          long v = 0;
          if (PX_get_data_long(px, p, len, &v) > 0) *checksum += static_cast<uint64_t>(v);
          break;
        }
        case pxfShort: {
          short v = 0;
          if (PX_get_data_short(px, p, len, &v) > 0) *checksum += static_cast<uint64_t>(v);
          break;
        }
        case pxfNumber:
        case pxfCurrency: {
          double v = 0;
          if (PX_get_data_double(px, p, len, &v) > 0) {
            *checksum += static_cast<uint64_t>(static_cast<int64_t>(v * 100));
          }
          break;
        }
        case pxfLogical: {
          char v = 0;
          if (PX_get_data_byte(px, p, len, &v) > 0) *checksum += v ? 1 : 0;
          break;
        }
        default:
          break;
      }
      p += len;
    }
    ++n;
  }
  PX_close(px);
  PX_delete(px);
  return n;
}

// ---------------------------------------------------------------------------
// Peak memory of a scan in a fresh process

struct ChildResult {
  long max_rss_kb = 0;
  size_t records = 0;
};

// Runs this program again as "--scan-child=<table>" (or "-" to only start
// and stop) and returns what the child reports: records scanned and its
// peak resident memory.
ChildResult MeasureScanInChild(const std::string& table) {
  setenv("VELLUM_BENCH_DIR", g_dir.c_str(), 1);
  const std::string output =
      vellum::bench::RunSelf("vellum_bench", std::string(kChildFlag) + table, "the scan child");
  ChildResult r;
  if (std::sscanf(output.c_str(), "%zu %ld", &r.records, &r.max_rss_kb) != 2) {
    throw std::runtime_error("the scan child failed: " + output);
  }
  return r;
}

int RunScanChild(const std::string& table) {
  const char* dir = std::getenv("VELLUM_BENCH_DIR");
  if (dir == nullptr) return 2;
  g_dir = dir;
  size_t n = 0;
  if (table != "-") {
    uint64_t checksum = 0;
    n = VellumScan(table, &checksum);
  }
  std::printf("%zu %ld\n", n, PeakRssKb());
  return 0;
}

// ---------------------------------------------------------------------------
// Benchmarks

// Writes back what earlier benchmarks left in the page cache, so that the
// disk is idle when the next measurement starts.
void SettleDisk(benchmark::State& state) {
  state.PauseTiming();
  ::sync();
  state.ResumeTiming();
}

void PrepareTables() {
  static bool done = false;
  if (done) return;
  VellumLoad(TableName(g_rows), g_rows);
  VellumLoad(TableName(kSmallRows), std::min(kSmallRows, g_rows));
  ::sync();
  done = true;
}

void BM_Load_Vellum(benchmark::State& state) {
  for (auto _ : state) {
    SettleDisk(state);
    VellumLoad("LOAD", g_rows);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_rows));
}

void BM_Load_SQLite(benchmark::State& state) {
  for (auto _ : state) {
    SettleDisk(state);
    SqliteLoad(g_dir + "/load.sqlite", g_rows);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_rows));
}

void BM_Load_Pxlib(benchmark::State& state) {
  for (auto _ : state) {
    SettleDisk(state);
    PxLoad(g_dir + "/PXLOAD.DB", g_rows);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_rows));
}

// Rows of the table a benchmark with argument state.range(0) reads.
size_t RowsOf(const benchmark::State& state) {
  return std::min<size_t>(static_cast<size_t>(state.range(0)), g_rows);
}

void BM_Scan_Vellum(benchmark::State& state) {
  PrepareTables();
  const size_t rows = RowsOf(state);
  uint64_t checksum = 0;
  size_t n = 0;
  for (auto _ : state) n = VellumScan(TableName(rows), &checksum);
  if (n != rows) state.SkipWithError("the scan missed records");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
}

void BM_Scan_Pxlib(benchmark::State& state) {
  PrepareTables();
  const size_t rows = RowsOf(state);
  uint64_t checksum = 0;
  size_t n = 0;
  for (auto _ : state) n = PxScan(g_dir + "/" + TableName(rows) + ".DB", &checksum);
  if (n != rows) state.SkipWithError("the scan missed records");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
}

// Peak resident memory of a process that scans a table of state.range(0)
// rows, next to that of a process that only starts.
void BM_ScanPeakMemory(benchmark::State& state) {
  PrepareTables();
  const size_t rows = RowsOf(state);
  ChildResult scan, idle;
  for (auto _ : state) {
    scan = MeasureScanInChild(TableName(rows));
    idle = MeasureScanInChild("-");
  }
  if (scan.records != rows) state.SkipWithError("the scan missed records");
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["peak_rss_kb"] = static_cast<double>(scan.max_rss_kb);
  state.counters["idle_rss_kb"] = static_cast<double>(idle.max_rss_kb);
}

void PrintSummary(const SummaryReporter& r) {
  auto runs = [&](const std::string& name) { return static_cast<int>(r.runs(name)); };
  // One comparison line; false when either side did not run (filtered out).
  auto compare = [&](const char* what, const std::string& rows, const std::string& ours,
                     const char* peer_label, const std::string& peer, double* ratio) {
    if (runs(ours) == 0 || runs(peer) == 0) return false;
    const double a = r.median(ours), b = r.median(peer);
    *ratio = a / b;
    std::printf(
        "  %-9s %8s rows: engine %8.0f ms [%d]   %-6s %8.0f ms [%d]   ratio %.3f (%.1fx "
        "faster)\n",
        what, rows.c_str(), a, runs(ours), peer_label, b, runs(peer), *ratio, b / a);
    return true;
  };
  const std::string large = std::to_string(g_rows), small = std::to_string(kSmallRows);
  std::printf("\nSummary: median times, runs in brackets; ratio = engine time / peer time\n");
  double ratio = 0;
  const bool load_measured =
      compare("bulk load", large, "BM_Load_Vellum", "SQLite", "BM_Load_SQLite", &ratio);
  const bool load_met = load_measured && ratio <= 1.0;
  compare("bulk load", large, "BM_Load_Vellum", "pxlib", "BM_Load_Pxlib", &ratio);
  bool scan_measured = false, scan_met = true;
  for (const std::string& arg : {small, large}) {
    // The argument names the table; a small run may cap both at g_rows.
    const std::string rows = std::to_string(std::min<size_t>(std::stoul(arg), g_rows));
    if (compare("full scan", rows, "BM_Scan_Vellum/" + arg, "pxlib", "BM_Scan_Pxlib/" + arg,
                &ratio)) {
      scan_measured = true;
      scan_met = scan_met && ratio <= 0.5;
    }
  }
  std::vector<std::pair<double, double>> memory;  // rows, peak KB
  for (const auto& [name, values] : r.counters) {
    if (name.rfind("BM_ScanPeakMemory", 0) != 0) continue;
    memory.emplace_back(values.at("rows"), values.at("peak_rss_kb"));
    std::printf("  scan peak RSS  %9.0f rows: %7.1f MB  (a process that only starts: %.1f MB)\n",
                values.at("rows"), values.at("peak_rss_kb") / 1024,
                values.at("idle_rss_kb") / 1024);
  }
  std::sort(memory.begin(), memory.end());
  const bool memory_measured = memory.size() >= 2;
  // Constant memory: the large scan may not need noticeably more than the
  // small one (1 MB of slack for allocator noise).
  const bool memory_met = memory_measured && memory.back().second - memory.front().second <= 1024;
  auto verdict = [](bool measured, bool met) {
    return !measured ? "not measured" : met ? "met" : "MISSED";
  };
  std::printf("Targets\n");
  std::printf("  scan at least 2x faster than pxlib:        %s\n",
              verdict(scan_measured, scan_met));
  std::printf("  bulk load no slower than SQLite:           %s\n",
              verdict(load_measured, load_met));
  std::printf("  scan memory independent of table size:     %s\n",
              verdict(memory_measured, memory_met));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], kChildFlag, std::strlen(kChildFlag)) == 0) {
    return RunScanChild(argv[1] + std::strlen(kChildFlag));
  }
  if (const char* rows = std::getenv("VELLUM_BENCH_ROWS"))
    g_rows = std::strtoull(rows, nullptr, 10);
  vellum::bench::ScratchDirectory scratch("vellum-bench");
  g_dir = scratch.path();
  PX_boot();
  Source();

  auto timed = [](benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(kRepetitions);
  };
  timed(benchmark::RegisterBenchmark("BM_Load_Vellum", BM_Load_Vellum));
  timed(benchmark::RegisterBenchmark("BM_Load_SQLite", BM_Load_SQLite));
  // pxlib needs over a minute per million rows (it seeks and reads back
  // block headers for every record it writes): one run is enough to compare.
  benchmark::RegisterBenchmark("BM_Load_Pxlib", BM_Load_Pxlib)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(1);
  for (auto* scan : {benchmark::RegisterBenchmark("BM_Scan_Vellum", BM_Scan_Vellum),
                     benchmark::RegisterBenchmark("BM_Scan_Pxlib", BM_Scan_Pxlib)}) {
    scan->Arg(static_cast<int64_t>(kSmallRows))->Arg(static_cast<int64_t>(g_rows));
    timed(scan);
  }
  benchmark::RegisterBenchmark("BM_ScanPeakMemory", BM_ScanPeakMemory)
      ->Arg(static_cast<int64_t>(kSmallRows))
      ->Arg(static_cast<int64_t>(g_rows))
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  PX_shutdown();
  return 0;
}
