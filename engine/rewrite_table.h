// Writing a table anew in place from a table definition, through the
// all-or-nothing path of a restructure (build_table.cpp): new files in a
// work directory, committed by the restructure journal.
#pragma once

#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"

namespace vellum::engine {

// Replaces the files of `old_table` (open exclusively, on `fs`, in
// `directory`) by a table of `definition` holding its rows: new field i
// takes old field `source[i]` (-1: none); `password` opens the new table
// when the definition is encrypted. Checks the definition and the room for
// the new files first; a failure before the commit leaves every old file as
// it was. The caller keeps `old_table` open until this returns and closes
// it then.
void RewriteTable(FileSystem& fs, paradox::Table& old_table, const std::string& directory,
                  const paradox::TableDefinition& definition, const std::vector<int>& source,
                  const std::string& password, const BuildTableOptions& options);

}  // namespace vellum::engine
