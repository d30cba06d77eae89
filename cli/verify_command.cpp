// verify: the engine's integrity check of a table's files.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "engine/paradox/table.h"

namespace vellum::cli {

namespace {

using engine::paradox::Finding;
using engine::paradox::Severity;
using engine::paradox::VerifyReport;

void WriteText(const VerifyReport& report, std::ostream& out) {
  for (const auto& line : report.lines(Severity::kError)) out << line << '\n';
  for (const auto& line : report.lines(Severity::kInformation)) out << "note: " << line << '\n';
  if (report.clean()) out << "OK\n";
}

void WriteFinding(JsonWriter& json, const Finding& f) {
  json.beginObject();
  json.member("severity", f.severity == Severity::kError ? "error" : "information");
  json.member("file", f.file);
  json.member("kind", f.kind);
  json.member("detail", f.detail);
  json.member("count", static_cast<int64_t>(f.count));
  json.key("of");
  if (f.of > 0) {
    json.number(static_cast<int64_t>(f.of));
  } else {
    json.null();
  }
  json.key("keys");
  json.beginArray();
  for (const auto& key : f.keys) json.string(key);
  json.endArray();
  json.endObject();
}

void WriteJson(const engine::paradox::Table& table, const VerifyReport& report, std::ostream& out) {
  JsonWriter json(out, /*pretty=*/true);
  json.beginObject();
  json.member("table", table.structure().name);
  json.member("file", table.structure().file);
  json.member("clean", report.clean());
  json.member("errors", static_cast<int64_t>(report.errorCount()));
  json.key("findings");
  json.beginArray();
  for (const Finding& f : report.findings()) {
    if (f.count > 0) WriteFinding(json, f);
  }
  json.endArray();
  json.endObject();
  out << '\n';
}

}  // namespace

size_t Verify(const TableLocation& location, VerifyFormat format,
              const std::vector<std::string>& passwords, std::ostream& out) {
  auto table =
      engine::paradox::Table::Open(location.directory, location.name, {.passwords = passwords});
  const VerifyReport report = table->verifyReport();
  if (format == VerifyFormat::kJson) {
    WriteJson(*table, report, out);
  } else {
    WriteText(report, out);
  }
  return report.errorCount();
}

}  // namespace vellum::cli
