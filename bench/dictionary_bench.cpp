// The dictionary written through the data module, side by side with SQLite,
// in one run:
//  - writing 1,000 described tables, each with 25 field rows and 3 index
//    rows: the engine through TdmDataDictionary's views with all their rules
//    (every post writes through to the table's files; the files are synced
//    once at the end), SQLite through prepared statements into three tables
//    with the same keys and indexes, once with one transaction per described
//    table (1,000 commits, each synced) and once with one transaction for
//    everything (one synced commit);
//  - the latency of one key search on PerNome (Alias, Nome): Dataset::findKey
//    on DDTables ordered by PerNome vs a prepared SELECT on the NOCASE unique
//    index.
// Google Benchmark prints its table; a summary with the ratios (engine time /
// SQLite time) and the targets follows.
//
// Environment: VELLUM_BENCH_DIR sets the directory for the databases
// (default: a new directory under the system's temporary directory, removed
// at the end).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "dictionary/data_module.h"
#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/dataset.h"
#include "engine/session.h"
#include "tests/support/scripted_ui.h"

namespace {

namespace fs = std::filesystem;
using vellum::bench::Check;
using vellum::bench::SummaryReporter;
using vellum::dictionary::TdmDataDictionary;
using vellum::engine::Dataset;
using vellum::engine::Date;
using vellum::engine::Row;
using vellum::engine::Session;

constexpr int kTables = 1000;
constexpr int kFieldsPerTable = 25;
constexpr int kIndexesPerTable = 3;
constexpr int kRepetitions = 3;
constexpr size_t kLookupKeys = 4096;

std::string g_dir;

// ---------------------------------------------------------------------------
// The rows, generated once so that neither side pays for making values.

struct FieldRow {
  std::string name;
  std::string type;
  int length;
};

struct IndexRow {
  std::string name;
  std::string key_fields;
  bool primary;
  bool unique;
};

struct TableRow {
  std::string alias;
  std::string name;
  std::vector<FieldRow> fields;
  std::vector<IndexRow> indexes;
};

const std::vector<TableRow>& Source() {
  static const std::vector<TableRow> rows = [] {
    static const char* kAliases[] = {"Sales", "Stock",   "Payroll", "Ledger",
                                     "Crm",   "Billing", "Archive", "Staff"};
    static const char* kTypes[] = {"A", "N", "I", "D", "L", "$", "S", "M"};
    std::vector<TableRow> out(kTables);
    char text[64];
    for (int t = 0; t < kTables; ++t) {
      TableRow& r = out[static_cast<size_t>(t)];
      r.alias = kAliases[t % 8];
      std::snprintf(text, sizeof text, "Table%04d", t);
      r.name = text;
      for (int f = 0; f < kFieldsPerTable; ++f) {
        std::snprintf(text, sizeof text, "Field%02d", f);
        const char* type = kTypes[(t + f) % 8];
        r.fields.push_back({text, type, type[0] == 'A' ? 10 + f : 0});
      }
      r.indexes = {{"Primario", "Field00", true, true},
                   {"PerNome", "Field01;Field02", false, true},
                   {"PerData", "Field03", false, false}};
    }
    return out;
  }();
  return rows;
}

// Lookup keys: existing (Alias, Nome) pairs in random order, written in
// lower case so that both sides compare without regard to letter case.
const std::vector<std::pair<std::string, std::string>>& LookupKeys() {
  static const std::vector<std::pair<std::string, std::string>> keys = [] {
    auto lower = [](std::string s) {
      for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return s;
    };
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> pick(0, kTables - 1);
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t i = 0; i < kLookupKeys; ++i) {
      const TableRow& r = Source()[static_cast<size_t>(pick(rng))];
      out.emplace_back(lower(r.alias), lower(r.name));
    }
    return out;
  }();
  return keys;
}

// ---------------------------------------------------------------------------
// The engine: the data module with its rules.

std::string EngineDirectory() { return g_dir + "/engine"; }

// A fresh, empty dictionary in `dir`.
void CreateEmptyDictionary(const std::string& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  vellum::dictionary::CreateDictionaryTables(dir);
}

// Writes every row through the module's views, as the dictionary's windows
// do, then syncs the three tables.
void EngineWrite(TdmDataDictionary& dm) {
  const Date today = vellum::Locale::Today();
  // As a load does: the rows of the whole run in one batch of the module.
  vellum::dictionary::DictionaryBatch batch(dm);
  for (const TableRow& t : Source()) {
    dm.tblTables.insert();
    dm.tblTables.fieldByName("Alias").setAsString(t.alias);
    dm.tblTables.fieldByName("Nome").setAsString(t.name);
    dm.tblTables.fieldByName("DataInserimento").setAsDate(today);
    dm.tblTables.post();
    for (const FieldRow& f : t.fields) {
      dm.tblFields.insert();  // the new-row rule sets CodTabella and Posizione
      dm.tblFields.fieldByName("Nome").setAsString(f.name);
      dm.tblFields.fieldByName("Tipo").setAsString(f.type);
      dm.tblFields.fieldByName("Lunghezza").setAsInteger(f.length);
      dm.tblFields.post();
    }
    for (const IndexRow& x : t.indexes) {
      dm.tblIndex.insert();
      dm.tblIndex.fieldByName("Nome").setAsString(x.name);
      dm.tblIndex.fieldByName("CampiChiave").setAsString(x.key_fields);
      dm.tblIndex.fieldByName("Primario").setAsBoolean(x.primary);
      dm.tblIndex.fieldByName("Unico").setAsBoolean(x.unique);
      dm.tblIndex.post();
    }
  }
  batch.commit();  // writes the rows and syncs the files
}

// The module opened on the dictionary in `dir`.
struct Module {
  explicit Module(const std::string& dir) : session(dir + "/aliases.conf") {
    dm = std::make_unique<TdmDataDictionary>(session, ui);
    dm->OpenDictionary(dir);
  }
  Session session;
  vellum::test::ScriptedUi ui;
  std::unique_ptr<TdmDataDictionary> dm;
};

// ---------------------------------------------------------------------------
// SQLite: the same three tables with the same keys and indexes.

std::string SqlitePath() { return g_dir + "/dictionary.sqlite"; }

void Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db, sql);
  return stmt;
}

// A new database with the three empty tables; default journal mode and
// synchronous setting, so every commit syncs.
sqlite3* SqliteCreate(const std::string& path) {
  fs::remove(path);
  fs::remove(path + "-journal");
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Exec(db,
       "CREATE TABLE DDTables (Codice INTEGER PRIMARY KEY AUTOINCREMENT, Alias TEXT, Nome TEXT, "
       "DataInserimento INTEGER, DataUltimaModifica INTEGER, Password TEXT, Descrizione TEXT, "
       "UNIQUE (Alias COLLATE NOCASE, Nome COLLATE NOCASE));"
       "CREATE INDEX PerTabella ON DDTables (Nome COLLATE NOCASE);"
       "CREATE TABLE DDFields (CodTabella INTEGER, Posizione INTEGER, Nome TEXT, Tipo TEXT, "
       "Lunghezza INTEGER, ValoreMinimo TEXT, ValoreMassimo TEXT, ValoreDefault TEXT, "
       "Obbligatorio INTEGER, Descrizione TEXT, PRIMARY KEY (CodTabella, Posizione), "
       "UNIQUE (CodTabella, Nome COLLATE NOCASE));"
       "CREATE TABLE DDIndex (CodTabella INTEGER, Nome TEXT, CampiChiave TEXT, Descrizione TEXT, "
       "Primario INTEGER, Unico INTEGER, Discendente INTEGER, IgnoraMaiuscMinusc INTEGER, "
       "PRIMARY KEY (CodTabella, Nome));");
  return db;
}

// Writes every row; with `commit_per_table` each described table's rows are
// one transaction, otherwise all rows are.
void SqliteWrite(sqlite3* db, bool commit_per_table) {
  const int32_t today = vellum::Locale::Today().day;
  sqlite3_stmt* table =
      Prepare(db, "INSERT INTO DDTables (Alias, Nome, DataInserimento) VALUES (?, ?, ?)");
  sqlite3_stmt* field =
      Prepare(db,
              "INSERT INTO DDFields (CodTabella, Posizione, Nome, Tipo, Lunghezza) "
              "VALUES (?, ?, ?, ?, ?)");
  sqlite3_stmt* index =
      Prepare(db,
              "INSERT INTO DDIndex (CodTabella, Nome, CampiChiave, Primario, Unico) "
              "VALUES (?, ?, ?, ?, ?)");
  if (!commit_per_table) Exec(db, "BEGIN");
  for (const TableRow& t : Source()) {
    if (commit_per_table) Exec(db, "BEGIN");
    sqlite3_bind_text(table, 1, t.alias.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(table, 2, t.name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(table, 3, today);
    Check(sqlite3_step(table), db, "insert DDTables");
    sqlite3_reset(table);
    const sqlite3_int64 code = sqlite3_last_insert_rowid(db);
    int position = 0;
    for (const FieldRow& f : t.fields) {
      sqlite3_bind_int64(field, 1, code);
      sqlite3_bind_int(field, 2, ++position);
      sqlite3_bind_text(field, 3, f.name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(field, 4, f.type.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(field, 5, f.length);
      Check(sqlite3_step(field), db, "insert DDFields");
      sqlite3_reset(field);
    }
    for (const IndexRow& x : t.indexes) {
      sqlite3_bind_int64(index, 1, code);
      sqlite3_bind_text(index, 2, x.name.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_text(index, 3, x.key_fields.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int(index, 4, x.primary ? 1 : 0);
      sqlite3_bind_int(index, 5, x.unique ? 1 : 0);
      Check(sqlite3_step(index), db, "insert DDIndex");
      sqlite3_reset(index);
    }
    if (commit_per_table) Exec(db, "COMMIT");
  }
  if (!commit_per_table) Exec(db, "COMMIT");
  sqlite3_finalize(table);
  sqlite3_finalize(field);
  sqlite3_finalize(index);
}

int64_t SqliteCount(sqlite3* db, const char* table) {
  sqlite3_stmt* stmt = Prepare(db, (std::string("SELECT COUNT(*) FROM ") + table).c_str());
  Check(sqlite3_step(stmt), db, "count");
  const int64_t n = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return n;
}

// ---------------------------------------------------------------------------
// Benchmarks

constexpr int64_t kRowsWritten =
    static_cast<int64_t>(kTables) * (1 + kFieldsPerTable + kIndexesPerTable);

void BM_Write_Vellum(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    CreateEmptyDictionary(EngineDirectory());
    Module module(EngineDirectory());
    ::sync();
    state.ResumeTiming();
    EngineWrite(*module.dm);
    state.PauseTiming();
    const uint32_t fields = module.dm->tblFields.table().recordCount();
    const uint32_t indexes = module.dm->tblIndex.table().recordCount();
    if (module.dm->tblTables.table().recordCount() != kTables ||
        fields != kTables * kFieldsPerTable || indexes != kTables * kIndexesPerTable) {
      state.SkipWithError("the engine's dictionary misses rows");
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRowsWritten);
}

void SqliteWriteBenchmark(benchmark::State& state, bool commit_per_table) {
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* db = SqliteCreate(SqlitePath());
    ::sync();
    state.ResumeTiming();
    SqliteWrite(db, commit_per_table);
    state.PauseTiming();
    if (SqliteCount(db, "DDTables") != kTables ||
        SqliteCount(db, "DDFields") != kTables * kFieldsPerTable ||
        SqliteCount(db, "DDIndex") != kTables * kIndexesPerTable) {
      state.SkipWithError("SQLite's dictionary misses rows");
    }
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRowsWritten);
}

void BM_Write_SQLite_CommitPerTable(benchmark::State& state) { SqliteWriteBenchmark(state, true); }

void BM_Write_SQLite_OneTransaction(benchmark::State& state) { SqliteWriteBenchmark(state, false); }

// Fills both dictionaries when no write benchmark left them behind.
void PrepareSearch() {
  if (!fs::exists(EngineDirectory() + "/DDTables.DB")) {
    CreateEmptyDictionary(EngineDirectory());
    Module module(EngineDirectory());
    EngineWrite(*module.dm);
  }
  if (!fs::exists(SqlitePath())) {
    sqlite3* db = SqliteCreate(SqlitePath());
    SqliteWrite(db, false);
    sqlite3_close(db);
  }
}

// One findKey on PerNome per iteration, on a dataset of its own.
void BM_Search_Vellum(benchmark::State& state) {
  PrepareSearch();
  Session session(EngineDirectory() + "/aliases.conf");
  Dataset tables(session);
  tables.setDatabaseName(EngineDirectory());
  tables.setTableName(vellum::dictionary::kTablesTable);
  tables.setIndexName("PerNome");
  tables.open();
  const auto& keys = LookupKeys();
  size_t i = 0, misses = 0;
  int64_t checksum = 0;
  for (auto _ : state) {
    const auto& key = keys[i++ % keys.size()];
    if (tables.findKey(Row{key.first, key.second})) {
      checksum += tables.field(0).asInteger();
    } else {
      ++misses;
    }
  }
  benchmark::DoNotOptimize(checksum);
  if (misses > 0) state.SkipWithError("findKey missed keys that exist");
}

// The same search on the module's tblTables, whose detail views (tblFields,
// tblIndex) follow every move.
void BM_Search_Vellum_Module(benchmark::State& state) {
  PrepareSearch();
  Module module(EngineDirectory());
  Dataset& tables = module.dm->tblTables;
  const auto& keys = LookupKeys();
  size_t i = 0, misses = 0;
  int64_t checksum = 0;
  for (auto _ : state) {
    const auto& key = keys[i++ % keys.size()];
    if (tables.findKey(Row{key.first, key.second})) {
      checksum += tables.field(0).asInteger();
    } else {
      ++misses;
    }
  }
  benchmark::DoNotOptimize(checksum);
  if (misses > 0) state.SkipWithError("findKey missed keys that exist");
}

// One execution of a prepared SELECT per iteration, reading every column of
// the row found, as findKey reads the whole record.
void BM_Search_SQLite(benchmark::State& state) {
  PrepareSearch();
  sqlite3* db = nullptr;
  Check(sqlite3_open(SqlitePath().c_str(), &db), db, "open");
  sqlite3_stmt* select = Prepare(
      db,
      "SELECT Codice, Alias, Nome, DataInserimento, DataUltimaModifica, Password, "
      "Descrizione FROM DDTables WHERE Alias = ? COLLATE NOCASE AND Nome = ? COLLATE NOCASE");
  const auto& keys = LookupKeys();
  size_t i = 0, misses = 0;
  int64_t checksum = 0;
  for (auto _ : state) {
    const auto& key = keys[i++ % keys.size()];
    sqlite3_bind_text(select, 1, key.first.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(select, 2, key.second.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(select) == SQLITE_ROW) {
      checksum += sqlite3_column_int64(select, 0);
      for (int c = 1; c < 7; ++c) checksum += sqlite3_column_bytes(select, c);
    } else {
      ++misses;
    }
    sqlite3_reset(select);
  }
  benchmark::DoNotOptimize(checksum);
  sqlite3_finalize(select);
  sqlite3_close(db);
  if (misses > 0) state.SkipWithError("the SELECT missed keys that exist");
}

void PrintSummary(const SummaryReporter& r) {
  const double engine = r.median("BM_Write_Vellum");
  const double per_table = r.median("BM_Write_SQLite_CommitPerTable");
  const double one = r.median("BM_Write_SQLite_OneTransaction");
  const double search = r.median("BM_Search_Vellum");
  const double search_module = r.median("BM_Search_Vellum_Module");
  const double search_sqlite = r.median("BM_Search_SQLite");
  std::printf(
      "\nSummary: %d tables x (1 + %d field rows + %d index rows) = %lld rows; medians; "
      "ratio = engine time / SQLite time\n",
      kTables, kFieldsPerTable, kIndexesPerTable, static_cast<long long>(kRowsWritten));
  std::printf("  write, engine (data module, rules, synced at the end): %8.0f ms\n", engine);
  std::printf("  write, SQLite one transaction per table (%d commits):  %8.0f ms   ratio %.3f\n",
              kTables, per_table, per_table > 0 ? engine / per_table : 0);
  std::printf("  write, SQLite one transaction overall:                   %8.0f ms   ratio %.3f\n",
              one, one > 0 ? engine / one : 0);
  std::printf("  key search on PerNome, engine findKey:                   %8.2f us\n",
              search / 1000);
  std::printf("  key search on PerNome, SQLite prepared SELECT:           %8.2f us   ratio %.3f\n",
              search_sqlite / 1000, search_sqlite > 0 ? search / search_sqlite : 0);
  std::printf("  key search on the module's tblTables (details follow):  %8.2f us   ratio %.3f\n",
              search_module / 1000, search_sqlite > 0 ? search_module / search_sqlite : 0);
  std::printf("Targets\n");
  std::printf("  write no slower than SQLite, commit per table:  %s\n",
              engine > 0 && engine <= per_table ? "met" : "MISSED");
  std::printf("  write no slower than SQLite, one transaction:   %s\n",
              engine > 0 && engine <= one ? "met" : "MISSED");
  std::printf("  key search no slower than SQLite:               %s\n",
              search > 0 && search <= search_sqlite ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  vellum::bench::ScratchDirectory scratch("vellum-dictionary-bench");
  g_dir = scratch.path();
  Source();
  LookupKeys();

  for (auto* b : {benchmark::RegisterBenchmark("BM_Write_Vellum", BM_Write_Vellum),
                  benchmark::RegisterBenchmark("BM_Write_SQLite_CommitPerTable",
                                               BM_Write_SQLite_CommitPerTable),
                  benchmark::RegisterBenchmark("BM_Write_SQLite_OneTransaction",
                                               BM_Write_SQLite_OneTransaction)}) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(kRepetitions);
  }
  for (auto* b : {benchmark::RegisterBenchmark("BM_Search_Vellum", BM_Search_Vellum),
                  benchmark::RegisterBenchmark("BM_Search_Vellum_Module", BM_Search_Vellum_Module),
                  benchmark::RegisterBenchmark("BM_Search_SQLite", BM_Search_SQLite)}) {
    b->Unit(benchmark::kNanosecond)->UseRealTime()->Repetitions(kRepetitions);
  }

  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
