// dump: every record of a table as CSV or JSON, streamed.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/value_text.h"
#include "engine/paradox/table.h"

namespace vellum::cli {

namespace {

using engine::paradox::Row;
using engine::paradox::TableStructure;

constexpr const char* kCsvLineEnd = "\r\n";

void DumpCsv(engine::paradox::Table& table, std::ostream& out) {
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
  while (scanner.next(row)) {
    line.clear();
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line.push_back(',');
      AppendCsvField(line, row[i]);
    }
    line += kCsvLineEnd;
    out << line;
  }
}

void DumpJson(engine::paradox::Table& table, std::ostream& out) {
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
  while (scanner.next(row)) {
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
}

}  // namespace

void Dump(const TableLocation& location, DumpFormat format, std::ostream& out) {
  auto table = engine::paradox::Table::Open(location.directory, location.name);
  if (format == DumpFormat::kJson) {
    DumpJson(*table, out);
  } else {
    DumpCsv(*table, out);
  }
}

}  // namespace vellum::cli
