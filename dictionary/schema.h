// The dictionary's three tables: DDTables (one row per described table),
// DDFields (one per field) and DDIndex (one per index), kept together in the
// project directory. A directory is a project directory when "DDTables.DB"
// exists in it.
#pragma once

#include <string>

#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"

namespace vellum::dictionary {

inline constexpr const char* kTablesTable = "Ddtables.DB";
inline constexpr const char* kFieldsTable = "Ddfields.DB";
inline constexpr const char* kIndexTable = "Ddindex.DB";

// Definitions of the three tables, in creation order.
engine::paradox::TableDefinition DDTablesDefinition();
engine::paradox::TableDefinition DDFieldsDefinition();
engine::paradox::TableDefinition DDIndexDefinition();

// Creates the three tables, empty, in `directory`, replacing tables of the
// same names. Engine errors are not caught: tables created before a failing
// step stay on disk, but DDTables is created last, so the directory counts as
// a dictionary only once all three exist.
void CreateDictionaryTables(const std::string& directory,
                            engine::FileSystem& fs = engine::FileSystem::Default());

// Makes `directory` a new, empty data dictionary: creates the directory with
// its missing parents when it does not exist, then the three tables
// (CreateDictionaryTables). Throws Error, having created no table, when
// `directory` is empty, names a file, cannot be created, or already holds a
// Data Dictionary (which is never replaced); engine errors of the tables'
// creation pass through. DDFields or DDIndex tables found without DDTables
// are replaced by empty ones.
void CreateDictionary(const std::string& directory,
                      engine::FileSystem& fs = engine::FileSystem::Default());

// True when `directory` holds "DDTables.DB" (any letter case).
bool IsProjectDirectory(const std::string& directory,
                        engine::FileSystem& fs = engine::FileSystem::Default());

}  // namespace vellum::dictionary
