// The dictionary's tables: DDTables (one row per described table), DDFields
// (one per field) and DDIndex (one per index), kept together in the project
// directory, and beside them DDProps, which keeps what a table has beyond
// its fields and indexes (table_properties.h). DDProps is optional: a
// dictionary without it works as before and gets it at its next load. A
// directory is a project directory when "DDTables.DB" exists in it.
//
// The tables are created in one code page, which every name and text they
// hold must fit (1252 unless asked otherwise).
#pragma once

#include <string>

#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"

namespace vellum::dictionary {

inline constexpr const char* kTablesTable = "Ddtables.DB";
inline constexpr const char* kFieldsTable = "Ddfields.DB";
inline constexpr const char* kIndexTable = "Ddindex.DB";
inline constexpr const char* kPropertiesTable = "Ddprops.DB";
// All four, for whatever must know the dictionary's own tables by name (a
// rebuild never deletes or rebuilds them in the dictionary's directory, a
// load does not take them for tables to describe).
inline constexpr const char* kDictionaryTables[] = {kTablesTable, kFieldsTable, kIndexTable,
                                                    kPropertiesTable};

// Whether `name` (a table name, with or without ".DB", in any letter case of
// A to Z) is one of kDictionaryTables.
bool IsDictionaryTable(const std::string& name);

// The code page of a new dictionary unless another is asked for.
inline constexpr int kDefaultDictionaryCodePage = 1252;

// Definitions of the four tables.
engine::paradox::TableDefinition DDTablesDefinition();
engine::paradox::TableDefinition DDFieldsDefinition();
engine::paradox::TableDefinition DDIndexDefinition();
engine::paradox::TableDefinition DDPropsDefinition();

// Creates the tables, empty, in `directory`, in code page `code_page`,
// replacing tables of the same names. Engine errors are not caught: tables
// created before a failing step stay on disk, but DDTables is created last,
// so the directory counts as a dictionary only once all exist. A code page
// the engine cannot convert is refused (invalid request) before anything is
// created.
void CreateDictionaryTables(const std::string& directory,
                            engine::FileSystem& fs = engine::FileSystem::Default(),
                            int code_page = kDefaultDictionaryCodePage);

// Creates DDProps, empty, in the dictionary in `directory` when it has none,
// in `code_page`, which is to be the dictionary's (that of its DDTables).
void CreatePropertiesTable(const std::string& directory, engine::FileSystem& fs, int code_page);

// Makes `directory` a new, empty data dictionary: creates the directory with
// its missing parents when it does not exist, then the four tables
// (CreateDictionaryTables). Throws Error, having created no table, when
// `directory` is empty, names a file, cannot be created, already holds a
// Data Dictionary (which is never replaced) or may only be read ("Cannot
// create a data dictionary in "<dir>": the directory may only be read");
// engine errors of the tables' creation pass through. DDFields, DDIndex or
// DDProps tables found without DDTables are replaced by empty ones. The
// tables are in code page `code_page`.
void CreateDictionary(const std::string& directory,
                      engine::FileSystem& fs = engine::FileSystem::Default(),
                      int code_page = kDefaultDictionaryCodePage);

// True when `directory` holds "DDTables.DB" (any letter case).
bool IsProjectDirectory(const std::string& directory,
                        engine::FileSystem& fs = engine::FileSystem::Default());

}  // namespace vellum::dictionary
