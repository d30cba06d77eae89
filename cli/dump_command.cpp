// dump: every record of a table as CSV or JSON, streamed.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/value_text.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"

namespace vellum::cli {

namespace {

using engine::paradox::Row;
using engine::paradox::TableStructure;

constexpr const char* kCsvLineEnd = "\r\n";

// Streams the rows; returns how many were read.
uint64_t DumpCsv(engine::paradox::Table& table, std::ostream& out) {
  const TableStructure& st = table.structure();
  std::string line;
  for (size_t i = 0; i < st.fields.size(); ++i) {
    if (i > 0) line.push_back(',');
    AppendCsvText(line, st.fields[i].name);
  }
  line += kCsvLineEnd;
  out << line;
  engine::paradox::Table::Scanner scanner(table);
  Row row;
  uint64_t rows = 0;
  while (scanner.next(row)) {
    ++rows;
    line.clear();
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line.push_back(',');
      AppendCsvField(line, row[i]);
    }
    line += kCsvLineEnd;
    out << line;
  }
  return rows;
}

uint64_t DumpJson(engine::paradox::Table& table, std::ostream& out) {
  const TableStructure& st = table.structure();
  // Member names with their quotes and colon, escaped once.
  std::vector<std::string> keys;
  for (const auto& field : st.fields) {
    std::string key;
    AppendJsonString(key, field.name);
    key.push_back(':');
    keys.push_back(std::move(key));
  }
  out << '[';
  engine::paradox::Table::Scanner scanner(table);
  Row row;
  std::string line;
  bool first = true;
  uint64_t rows = 0;
  while (scanner.next(row)) {
    ++rows;
    line.assign(first ? "\n{" : ",\n{");
    first = false;
    for (size_t i = 0; i < row.size() && i < keys.size(); ++i) {
      if (i > 0) line.push_back(',');
      line += keys[i];
      AppendJsonValue(line, row[i]);
    }
    line.push_back('}');
    out << line;
  }
  out << "\n]\n";
  return rows;
}

// After the rows: what made the output less than the table. Raises data
// corruption naming the file when the header's record count differs from
// the rows the blocks hold, or when values that live in the blob file were
// read as their leaders because the file is missing.
void CheckWhole(engine::paradox::Table& table, uint64_t rows, uint64_t cut_short) {
  const uint32_t counted = table.header().num_records;
  if (rows != counted) {
    engine::ThrowCorrupt(table.structure().file, "the header counts " + std::to_string(counted) +
                                                     " records, its blocks hold " +
                                                     std::to_string(rows));
  }
  if (cut_short > 0) {
    throw engine::EDBEngineError(engine::ErrorCategory::kNotFound, engine::subcode::kFileNotFound,
                                 table.structure().name + ".MB: the blob file is missing; " +
                                     std::to_string(cut_short) +
                                     " values were printed only as far as the table holds them");
  }
}

}  // namespace

void Dump(const TableLocation& location, DumpFormat format,
          const std::vector<std::string>& passwords, std::ostream& out) {
  auto table =
      engine::paradox::Table::Open(location.directory, location.name, {.passwords = passwords});
  table->checkRowsReadable();  // before a line is written
  const uint64_t cut_before = table->valuesReadWithoutBlobFile();
  const uint64_t rows = format == DumpFormat::kJson ? DumpJson(*table, out) : DumpCsv(*table, out);
  CheckWhole(*table, rows, table->valuesReadWithoutBlobFile() - cut_before);
}

}  // namespace vellum::cli
