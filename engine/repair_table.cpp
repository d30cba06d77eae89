#include "engine/repair_table.h"

#include "engine/errors.h"
#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/rewrite_table.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

using paradox::IndexDef;
using paradox::Table;
using paradox::TableDefinition;

// The table's own definition as its data file's header and its other files
// tell it, without its secondary indexes.
TableDefinition OwnDefinition(const Table& table) {
  const paradox::TableStructure& st = table.structure();
  TableDefinition def;
  def.level = table.header().level();
  for (const auto& f : st.fields) def.fields.push_back({f.name, f.type, f.size, f.required});
  def.checks = st.checks;
  def.code_page = st.code_page;
  def.block_kb = static_cast<int>(st.block_size / 1024);
  def.sort_order = st.sort_order;
  def.sort_order_byte = st.sort_order_byte;
  def.integrity = st.integrity;
  def.integrity_flag = st.integrity_flag;
  def.password_checksum = st.password_checksum;
  return def;
}

IndexDef IndexDefOf(const paradox::IndexInfo& info) {
  IndexDef x;
  x.name = info.name;
  x.key_fields = info.key_fields;
  x.primary = info.primary;
  x.unique = info.unique || info.primary;
  x.descending = info.descending;
  x.case_insensitive = info.case_insensitive;
  return x;
}

// Keeps the table's sort order where the engine keeps the order it implies
// (as a restructure does), else takes the binary order of the code page.
void ChooseSortOrder(const Table& table, TableDefinition& def) {
  const std::string& name = def.sort_order;
  if (!paradox::IsBinarySortOrder(name, def.sort_order_byte, table.header().level()) &&
      paradox::HasAlphaKeys(def)) {
    def.sort_order.clear();
    def.sort_order_byte = -1;
  }
}

// Why the engine refuses `def`; empty when it takes it.
std::string Refusal(const TableDefinition& def, const std::string& base) {
  TableDefinition trial = def;
  trial.password_checksum = 0;
  trial.sort_order.clear();
  trial.sort_order_byte = -1;
  MemoryFileSystem memory;
  try {
    Table::Create("", base, trial, memory);
  } catch (const EDBEngineError& e) {
    return e.what();
  }
  return "";
}

// Adds the table's indexes to `def`: the primary key, then every secondary
// index the engine can make again from its description; the others are
// reported as dropped.
void AddIndexes(const Table& table, TableDefinition& def, RepairReport& report) {
  const std::string& base = table.structure().name;
  for (const auto& info : table.structure().indexes) {
    if (!info.primary) continue;
    def.indexes.push_back(IndexDefOf(info));
    report.indexes_kept.emplace_back("primary key");
  }
  for (const auto& info : table.structure().indexes) {
    if (info.primary) continue;
    def.indexes.push_back(IndexDefOf(info));
    const std::string why = Refusal(def, base);
    if (why.empty()) {
      report.indexes_kept.push_back(info.name);
      continue;
    }
    def.indexes.pop_back();
    report.indexes_dropped.push_back(info.file + ": " + why);
  }
  for (const auto& why : report.salvage.unreadable_indexes) report.indexes_dropped.push_back(why);
}

// The password among `passwords` that opens the table's rows; empty when
// the table is not encrypted.
std::string PasswordOf(const Table& table, const std::vector<std::string>& passwords) {
  for (const auto& p : passwords) {
    if (table.isPassword(p)) return p;
  }
  return "";
}

}  // namespace

bool RepairReport::lost() const {
  return salvage.unreadable_blocks > 0 || rows_read < header_records || rows_kept < rows_read ||
         repeated_keys.count > 0 || salvage.blob_values_lost > 0 || !indexes_dropped.empty() ||
         checks_dropped;
}

RepairReport RepairTable(const std::string& directory, const std::string& name,
                         const std::vector<std::string>& passwords, FileSystem& fs) {
  const std::string base = paradox::TableBaseName(name);
  paradox::OpenOptions options{.writable = false, .exclusive = true, .read_checks = true};
  options.passwords = passwords;
  options.salvage = true;
  auto table = Table::Open(directory, base + ".DB", options, fs);
  const paradox::TableStructure& st = table->structure();
  if (!st.recovery_note.empty()) {
    throw EDBEngineError(ErrorCategory::kInvalidRequest, subcode::kGeneric,
                         "Cannot repair table \"" + st.name + "\": " + st.recovery_note);
  }
  table->checkRowsReadable();
  RepairReport report;
  report.table = st.name;
  report.header_records = table->header().num_records;
  report.rows_read = table->recordCount();
  // The salvage log so far: the blocks, the index and validity files.
  report.salvage = *table->salvageLog();
  report.checks_dropped = !report.salvage.unreadable_checks.empty();

  TableDefinition def = OwnDefinition(*table);
  AddIndexes(*table, def, report);
  ChooseSortOrder(*table, def);
  std::vector<int> source(def.fields.size());
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<int>(i);
  BuildTableOptions build;
  build.rows_left_out = &report.repeated_keys;
  RewriteTable(fs, *table, directory, def, source, PasswordOf(*table, passwords), build);
  // The blob values lost came to light while the rows were copied.
  const paradox::SalvageLog& log = *table->salvageLog();
  report.salvage.blob_values_lost = log.blob_values_lost;
  report.salvage.blob_problems = log.blob_problems;
  report.rows_kept = report.rows_read - report.repeated_keys.count;
  table.reset();
  return report;
}

}  // namespace vellum::engine
