#include <filesystem>

#include "cli/commands.h"
#include "engine/errors.h"

namespace vellum::cli {

TableLocation LocateTable(const std::string& path) {
  const std::filesystem::path p(path);
  if (!p.has_filename()) throw Error("\"" + path + "\" names a directory, not a table");
  TableLocation location;
  location.directory = p.has_parent_path() ? p.parent_path().string() : ".";
  location.name = p.filename().string();
  return location;
}

}  // namespace vellum::cli
