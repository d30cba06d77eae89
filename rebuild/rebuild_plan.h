// The plan of a batch rebuild: what a run will do and every failure it would
// meet, worked out by the code the run itself uses -- the run works out the
// same plan first and stops at its first failure before it deletes, copies
// or rebuilds anything. `vellum-cli rebuild --plan` and the windows present
// it. For every table it gives the operation each field, index and validity
// check would get (add, copy, modify, redo), the fields the rebuild drops,
// how many existing values would be cut or emptied (counted by reading the
// table as it is), and the failure the rebuild of that table would meet
// (the engine's checks of CheckBuildTable: a definition it refuses, a
// directory without write access or room, rows breaking a new unique key,
// a table in use or that cannot be opened). Working out the plan changes
// nothing on disk: no directory is created, no file deleted or copied and
// no table rebuilt (only the recovery every open of a table runs may
// finish what an interrupted restructure left).
//
// Values are predicted as a restructure carries them over: a field of the
// same type and size keeps its bytes; text, bytes and large objects move as
// their stored bytes, and those that no longer fit are cut to the new size
// (text on a character boundary); a value converted to another type that has no value
// of the new type (a text that is no number, a number out of range, a date
// into a number ...) becomes empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "engine/field_type.h"
#include "engine/table_descriptor.h"
#include "engine/value.h"
#include "rebuild/batch_rebuild.h"

namespace vellum::rebuild {

// What a restructure does to one value it converts to `type` of `size` (the
// size as the engine reports it: characters, bytes, decimals, or the part of
// a large object kept in the record).
enum class ValueLoss { kNone, kCut, kEmptied };
ValueLoss PredictValueLoss(const engine::Value& value, engine::FieldType type, int size);

struct FieldPlan {
  std::string name;
  engine::FieldType type = engine::FieldType::kUnknown;
  int size = 0;
  engine::Operation operation = engine::Operation::kNone;
  // Copy and modify: the type and size of the existing field the values come
  // from.
  engine::FieldType old_type = engine::FieldType::kUnknown;
  int old_size = 0;
  uint64_t cut = 0;      // values longer than the new size
  uint64_t emptied = 0;  // values that do not convert to the new type
};

// A field of the existing table that the new definition lacks.
struct DroppedFieldPlan {
  std::string name;
  engine::FieldType type = engine::FieldType::kUnknown;
  int size = 0;
  uint64_t values = 0;  // values that are not empty, lost with the field
};

struct IndexPlan {
  std::string name;  // empty for the primary index
  std::vector<std::string> key_fields;
  engine::Operation operation = engine::Operation::kNone;
};

struct CheckPlan {
  std::string field;
  engine::Operation operation = engine::Operation::kNone;
};

enum class TableAction {
  kCreate,       // absent: created empty
  kRecreate,     // deleted first (-c): created anew, empty
  kRestructure,  // present: restructured in place, keeping its rows
};

struct TablePlan {
  std::string alias;
  std::string table;
  std::string data_file;  // the table's data file in the work directory
  TableAction action = TableAction::kCreate;
  std::string failure;     // what the rebuild of the table would fail with; empty when nothing
  bool described = false;  // whether the table's definition was built (else only `failure`)
  std::optional<uint64_t> rows;  // rows of the table as it is, when present and readable
  std::vector<FieldPlan> fields;
  std::vector<DroppedFieldPlan> dropped;
  std::vector<IndexPlan> indexes;
  std::vector<CheckPlan> checks;
  // What the rebuild cannot keep as the table had it (the regenerator's
  // notes: a sort order or level it writes otherwise, items whose fields are
  // gone), one sentence each.
  std::vector<std::string> notes;
};

struct BatchPlan {
  // The missing directories a run makes once every check has passed.
  std::vector<std::string> created_directories;
  std::vector<std::string> deleted_files;                   // paths
  std::vector<std::pair<std::string, std::string>> copies;  // source path, target path
  std::vector<TablePlan> tables;
  // Every failure the run would meet, in the order it would meet them (the
  // backup first, then table by table); the run stops at the first.
  std::vector<std::string> failures;
  std::exception_ptr first_error;  // the first failure, as the run raises it
  // The progress text of the step of an alias run that meets the first
  // failure ("Regenerating "<alias>.<table>"..."); empty when it is the
  // backup's or the run's table mode shows no step of its own.
  std::string first_step;
  // Where that step stands in the alias run: the tables before it and the
  // tables of the run (both 0 without a step).
  size_t first_step_done = 0;
  size_t first_step_total = 0;

  bool failed() const { return !failures.empty(); }
};

enum class PlanDetail {
  kChecksOnly,  // what a run checks before it starts
  kFull,        // and the rows and the values each table would lose
};

// Works out the plan of `job` (which StartBatch made, so the dictionary is
// open). In table mode a -t text without "." shows the same error box as a
// run and gives nullopt. A missing directory that cannot be created, a
// backup directory that is the work directory, an alias the dictionary
// lacks and two dictionary names of one table file are raised as in a run;
// the failures of single tables and of the backup are gathered in the plan.
std::optional<BatchPlan> PlanBatch(const BatchJob& job, dictionary::TdmDataDictionary& data_module,
                                   Ui& ui, PlanDetail detail = PlanDetail::kFull);

}  // namespace vellum::rebuild
