// verify: the engine's integrity check of a table's files.
#include "cli/commands.h"
#include "engine/paradox/table.h"

namespace vellum::cli {

size_t Verify(const TableLocation& location, std::ostream& out) {
  auto table = engine::paradox::Table::Open(location.directory, location.name);
  const std::vector<std::string> problems = table->verify();
  if (problems.empty()) {
    out << "OK\n";
  } else {
    for (const auto& problem : problems) out << problem << '\n';
  }
  return problems.size();
}

}  // namespace vellum::cli
