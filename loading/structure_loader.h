// The structure loader: reads the fields, indexes and validity checks of
// existing tables and writes them into the open dictionary.
//
// A table not yet in the dictionary gets a new DDTables row; a table loaded
// before is upgraded in place after a question: its field and index rows are
// replaced by the current structure, and the descriptions of fields and
// indexes whose names are unchanged are kept, as is the DDTables row itself.
// Every write goes through the data module's views, so their rules (table
// code and position of new field rows, mandatory alias and name, date of last
// modification) apply.
//
// While one table is upgraded, its old rows are kept beside the new ones
// under a mark: old field rows move to positions above kOldRowOffset and old
// field and index rows get kOldRowMark in front of their names. When the
// table's steps are done no marked row is left.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/table_properties.h"
#include "dictionary/ui.h"
#include "engine/field_type.h"
#include "engine/paradox/table.h"

namespace vellum::loading {

// Old field rows live at their position plus this offset during an upgrade.
inline constexpr int kOldRowOffset = 15000;
// Put in front of the names of old field and index rows during an upgrade.
inline constexpr char kOldRowMark = '~';

// What a load did with one table.
struct TableLoad {
  enum class Result {
    kAdded,        // not in the dictionary before: a new DDTables row with its rows
    kUpgraded,     // loaded before: its field and index rows replaced
    kKept,         // loaded before, the upgrade answered No: left as it was
    kNotOpened,    // could not be opened; an error box said so
    kNotStorable,  // a name or text of it the dictionary cannot hold; an error box said so
    kNotLoaded,    // the run ended at it: Cancel, or a rule refused its row
  };
  std::string name;           // as given
  std::string recorded_name;  // its own name, under which it is recorded (once opened)
  Result result = Result::kNotLoaded;
  // Why it could not be opened (the engine's message for its own name), or
  // why the dictionary cannot hold it.
  std::string reason;
  // The answer to the upgrade question, when it was asked.
  std::optional<Answer> answer;
  // Validity-check values that could not be converted, as shown
  // ("<message> on field <name>"); the table is loaded without them.
  std::vector<std::string> messages;
  // Why a rebuild of the loaded table in place could not keep its rows (a
  // missing blob file holds values of it), as shown; empty when it can.
  std::string not_rebuildable;
};

// What a Load command did, for the window or the command line to present.
struct LoadReport {
  enum class End {
    kFinished,   // every table was reached
    kCancelled,  // the upgrade question was answered Cancel (or its box closed)
    kStopped,    // the user asked to stop (Progress::stopRequested)
    kRefused,    // a rule refused a row, and said why
  };
  std::vector<TableLoad> tables;         // the tables reached, in order
  std::vector<std::string> not_reached;  // the names after the end, in order
  // The names given that are the dictionary's own tables (the source being
  // the dictionary's directory), in order: never loaded.
  std::vector<std::string> skipped;
  End end = End::kFinished;

  // How many of `tables` had `result`.
  size_t count(TableLoad::Result result) const;
};

// The work of the Load command once the load table chooser has closed with
// OK: loads the tables `table_names`, in that order, from `source` (an alias
// or a directory path) into the dictionary of `data_module`, recording them
// under the alias `load_as_alias`, each under its own name (its data file's,
// without the extension, whatever the case or extension it was named with),
// records what DDProps keeps of each (table_properties.h), and says what it
// did with each.
//
// A dictionary that cannot be changed (TdmDataDictionary::CheckWritable) is
// refused with its error before anything is read or asked. When `source` is
// the dictionary's own directory, the names of the dictionary's own tables
// are left out with one information box, "The data dictionary's own tables
// are not loaded: <names>", shown once the load is about to begin.
//
// Nothing is cut or replaced: an alias the dictionary cannot hold (longer
// than its column, or with characters its code page lacks) is refused by an
// error box before anything is loaded (kRefused); a table with such a name
// or text is refused by an error box naming the table and the name, and
// skipped (kNotStorable).
//
// Through `ui`: the busy cursor for the whole run; before each table, unless
// the user has asked to stop (the run then ends there, kStopped), the
// progress text "Loading "<name>" with the tables done and their total,
// followed by one round of pending window events; at the end an empty
// progress text, which tells the window to show its own caption again. A
// table that cannot be opened, neither under its name nor with ".DBF"
// appended, is reported by an error box and skipped. A table already in the
// dictionary is upgraded after a question answered Yes, No, Cancel (ends the
// run before that table) or All (Yes for it and every later table). Row
// changes pending in the three views are posted first; when a rule refuses
// one, nothing is loaded (kRefused). Every table is written whole or not at
// all. Engine errors while writing the dictionary end the run and go to the
// caller; rows written before stay. The display updates of tblFields and
// tblIndex are suspended for the run; they, the cursor and the progress text
// are put back also when an error ends it. The run holds the data module's
// RunGuard; while another run holds it, it is refused (vellum::Error) before
// anything is done.
LoadReport LoadStructures(dictionary::TdmDataDictionary& data_module, Ui& ui,
                          const std::string& source, const std::string& load_as_alias,
                          const std::vector<std::string>& table_names);

// The three steps of one table. Each writes the rows of the current
// tblTables row from the structure of the source table.

// Replaces the table's field rows by `source.fields` at positions 1 to n,
// carrying descriptions over from old rows of the same name (letter case
// ignored). Leaves tblFields on its primary order.
void LoadFields(dictionary::TdmDataDictionary& data_module,
                const engine::paradox::TableStructure& source);

// Replaces the table's index rows by `source.indexes` (the primary index
// named "*PRIMARY*"), carrying descriptions over from old rows of exactly the
// same name.
void LoadIndexes(dictionary::TdmDataDictionary& data_module,
                 const engine::paradox::TableStructure& source);

// Writes the minimum, maximum and default of every validity check of
// `source` into the field rows written by LoadFields. A value of a type that
// cannot be converted is reported through `questions` as "<message> on field
// <name>" and leaves that check's three values empty; the messages shown are
// returned.
std::vector<std::string> LoadValidityChecks(dictionary::TdmDataDictionary& data_module,
                                            Questions& questions,
                                            const engine::paradox::TableStructure& source);

// Records what `properties` (the source table's) holds in the table's
// DDProps rows, replacing those it had; gives the dictionary DDProps first
// when it has none.
void LoadTableProperties(dictionary::TdmDataDictionary& data_module,
                         const dictionary::TableProperties& properties);

// The text of one validity-check value of a field of logical type `type`,
// from its native form (little-endian, at the start of `buffer`): String up
// to the first zero byte; Smallint from 2 bytes; Integer and Word from 4
// bytes; Boolean from 2 bytes as "-1" (non-zero) or "0"; Float and Currency
// from an 8-byte double in general number format with up to 15 significant
// digits and Locale::DecimalSeparator(). Any other type raises vellum::Error
// "Defaults: not supported type "<type name>"".
std::string CheckValueToText(engine::FieldType type, const std::array<uint8_t, 256>& buffer);

}  // namespace vellum::loading
