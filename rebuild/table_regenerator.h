// The table regenerator: rebuilds tables in an output directory from their
// definitions in the dictionary, one table by alias and name or every table
// of an alias. A table absent from the output directory is created empty; a
// table present there is restructured in place, keeping its rows.
//
// A TTableRegenerator is made for one rebuild run. It owns cursors of its
// own on the dictionary's tables (DDTables ordered by alias and name,
// DDFields, DDIndex and, when the dictionary has it, DDProps by their primary
// keys); the views it is made from are neither moved nor changed. Per table
// it has the definition builder turn the dictionary rows into a table
// descriptor, marks every element of it as added, copied, modified or redone
// by comparing it with the table already there, and hands it to the engine's
// BuildTable. The rebuild of one table is all or nothing: the engine replaces
// the table's files in one crash-safe swap, and the old index and validity
// files that the new table does not have go in that swap, after its commit.
// In an alias run, tables rebuilt before a failure stay rebuilt. The
// dictionary's own tables are never rebuilt in the dictionary's directory.
//
// A rebuilt table keeps what it had: the properties DDProps recorded for it
// (table_properties.h: code page, sort order, level, block size, pictures,
// lookups, referential integrity); for a table without recorded properties
// that is already in the output directory, those it has there; otherwise
// the defaults (level 7, code page 1252). A table restructured in place keeps
// its own code page in any case. What cannot be kept is told, as progress
// text, before the table is rebuilt.
//
// A rebuild never strips a table's protection: an encrypted table is
// restructured into an encrypted one under the same password, and one made
// anew empty after its files were deleted (deleted_protections) is
// encrypted as it was. The rows of an encrypted table restructured in place
// need its password: one the session holds, else the regenerator asks the
// user for it (Questions::askPassword), again after a wrong one, and keeps
// the answer in the session; without it (Cancel, or no one to ask) the
// engine refuses the restructure before anything is written.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/table_properties.h"
#include "dictionary/ui.h"
#include "engine/dataset.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "engine/table_descriptor.h"

namespace vellum::rebuild {

// Whether file `name` of a table is one a rebuild makes anew whatever the
// table held: the primary index (.PX), the validity file (.VAL) and the
// composite secondary indexes (extensions whose 2nd and 3rd characters are
// "XG" or "YG"), without regard to letter case. The data file, the memo file
// and single-field secondary indexes (.Xnn, .Ynn) are carried over. An
// existing index whose file is made anew counts as missing when a rebuild
// works out its operation codes.
bool IsRebuiltIndexFile(const std::string& name);

// Operation for a field of the existing table that the new field descriptor
// replaces: copy when both are stored alike (same storage type, subtype and
// length), modify otherwise.
engine::Operation FieldOperation(const engine::paradox::FieldInfo& existing,
                                 const engine::FieldDescriptor& descriptor);

// Operation for the index described by the current row of `index_row` (a
// DDIndex cursor), given the existing table's indexes: add when none has its
// name (the primary index is known by its empty name), redo when the one that
// has it agrees in key fields (exactly, letter case included) and in the
// primary, unique, descending and case-insensitive options, modify otherwise.
engine::Operation IndexOperation(engine::Dataset& index_row,
                                 const std::vector<engine::paradox::IndexInfo>& existing);

// A rebuild the user stopped while the engine copied the table's rows; the
// table is as it was before.
class TableStopped : public Error {
 public:
  explicit TableStopped(const std::string& table);
};

// The progress text of an alias run's table: "Regenerating "<alias>.<table>"...".
std::string RegeneratingText(const std::string& alias, const std::string& table);

class TTableRegenerator {
 public:
  // Opens the regenerator's own cursors on the tables of `tables`, `fields`
  // and `indexes` (the data module's tblTables, tblFields and tblIndex),
  // taking over only their database and table names. Messages and progress
  // go through `ui`. Engine errors while opening go to the caller.
  TTableRegenerator(engine::Session& session, Ui& ui, const engine::Dataset& tables,
                    const engine::Dataset& fields, const engine::Dataset& indexes);
  // The same over the data module's three views and its session.
  TTableRegenerator(dictionary::TdmDataDictionary& data_module, Ui& ui);
  ~TTableRegenerator();
  TTableRegenerator(const TTableRegenerator&) = delete;
  TTableRegenerator& operator=(const TTableRegenerator&) = delete;

  // Rebuilds table `table` of alias `alias` in `output_directory`, creating
  // the directory with its parents when it is missing, once every check of
  // the table has passed (a table that fails leaves no directory behind; a
  // directory that cannot be made fails before anything else of the table
  // is worked out). The table is the file
  // `table`.DB (a name given with ".DB" is the same table). Every failure is
  // an error that goes to the caller: vellum::Error for the regenerator's and
  // the definition builder's own failures (among them a table of the
  // dictionary itself in the dictionary's directory), EDBEngineError for the
  // engine's.
  // Given `batch` (one for `output_directory` whose discarded files are the
  // table's old ones), the table is created through it and committed.
  void RegenerateTable(const std::string& alias, const std::string& table,
                       const std::string& output_directory, engine::CreationBatch* batch = nullptr);

  // Rebuilds every table the dictionary lists under `alias`, in table-name
  // order. Two names of the alias that are one table file (such as "ORDERS"
  // and "ORDERS.DB") fail the run before any table is rebuilt. Before each
  // table it stops when the user has asked to stop, then shows, when
  // `show_progress` is set, "Regenerating "<alias>.<table>"..." as progress
  // text with the tables done and their total, and lets pending window
  // events run. The first failure ends the walk; tables rebuilt before it
  // stay rebuilt. True when every table was rebuilt, false when it stopped
  // on request (the tables not reached are untouched). The tables it creates
  // are made durable together, every few hundred tables and at the end of
  // the walk however it ends; each is whole or absent after a crash.
  // The tables are created through `batch` when given (one for
  // `output_directory`, which may hold files discarded for reuse), else
  // through one of its own.
  bool RegenerateAlias(const std::string& alias, const std::string& output_directory,
                       bool show_progress = true, engine::CreationBatch* batch = nullptr);

  // When set, a table of an alias run that fails goes here with its error,
  // and the walk goes on with the next table (for plans that gather every
  // failure); unset, the first failure ends the walk.
  std::function<void(const std::string& table, std::exception_ptr error)> on_table_failure;

  // Called with the finished descriptor, operation codes included, right
  // before it goes to the engine (for tests and diagnostics). An exception it
  // raises ends the rebuild of that table like an engine failure.
  std::function<void(const engine::TableDescriptor&)> before_build;

  // What the rebuild of the table at hand cannot keep as it was (a sort
  // order the engine cannot write, a level it writes otherwise, items whose
  // fields are gone), one sentence each; set before before_build is called.
  std::vector<std::string> notes;

  // What RegenerateTable does with the disk. The dry runs change nothing:
  // the output directory is not created and the engine is not called, but
  // the descriptor still reaches before_build with the operation codes a
  // rebuild would give it. A directory that could not be created and a
  // present table that cannot be opened fail as in a rebuild. A present
  // table is opened as in a rebuild, and like every open that finishes or
  // discards what a restructure interrupted by a crash left.
  enum class RunMode {
    kRebuild,
    // Compares with the tables as they are.
    kDryRun,
    // Takes every table as absent from the output directory, as it is after
    // its files were deleted, so everything is added.
    kDryRunAsAbsent,
  };
  RunMode run_mode = RunMode::kRebuild;

  // When set, a restructure reports the rows it copies (Progress::rowProgress)
  // and a stop the user asks for while it copies them ends it at once: the
  // table stays as it was and RegenerateTable raises TableStopped. Unset, a
  // stop waits for the end of the table (an alias run stops between tables).
  bool stop_within_table = false;

  // Tables of the output directory whose files were deleted before the run
  // (-c) and that were encrypted: the password checksum each data file's
  // header held, by table name in upper case and without ".DB". A table
  // made anew here is encrypted under it.
  std::map<std::string, uint32_t> deleted_protections;

 private:
  // The password that opens the rows of the encrypted table `existing`
  // (named `table` in the dictionary): one the session holds, else the
  // user's answer. When the user cancels: a wrong one given before (typed,
  // or the session's), else empty, so that the engine's refusal tells a
  // wrong password from a missing one.
  std::string passwordFor(const engine::paradox::Table& existing, const std::string& table);
  // Fails when `table` in `output_directory` is a table of the dictionary.
  void checkNotDictionary(const std::string& table, const std::string& output_directory);
  // Fails when two tables of the alias (the tables cursor's range) are one
  // table file.
  // The names of the alias's tables in the dictionary's order, read at one
  // moment (another program's load may change the dictionary during the run).
  std::vector<std::string> aliasTables(const std::string& alias);
  // Raises when two of the names are one table file.
  static void checkOneFileEach(const std::string& alias, const std::vector<std::string>& names,
                               const std::string& output_directory);

  engine::Session& session_;
  Ui& ui_;
  // During an alias run, the tables it creates are created through this
  // batch, made durable together.
  engine::CreationBatch* creation_batch_ = nullptr;
  engine::Dataset tables_;   // DDTables on PerNome (alias, name)
  engine::Dataset fields_;   // DDFields on its primary key (table code, position)
  engine::Dataset indexes_;  // DDIndex on its primary key (table code, name)
  // DDProps on its primary key (table code, kind, number); open only when
  // the dictionary has DDProps.
  engine::Dataset properties_;

  // The properties DDProps records for the table `code`, if any.
  std::optional<dictionary::TableProperties> recordedProperties(const engine::Value& code);
};

}  // namespace vellum::rebuild
