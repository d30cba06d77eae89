// The commands of vellum-cli. Describe, dump and verify work over one table
// opened read-only and raise the engine's errors (EDBEngineError,
// vellum::Error) to the caller, which reports them; output already written
// stays written. Dump and verify read an encrypted table's rows with the
// password among `passwords` that is its own; describe needs none. The alias, create-dictionary,
// rebuild, load and list commands report their own failures and return the exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vellum::cli {

// Where a table's files are: its directory and its name (with or without the
// .DB extension, in any letter case).
struct TableLocation {
  std::string directory;
  std::string name;
};

// Splits a path as given on the command line ("data/customer.db",
// "CUSTOMER") into directory and name; the directory is "." when the path has
// none. Raises vellum::Error when the path ends in a separator (no name).
TableLocation LocateTable(const std::string& path);

// Writes the table's structure as a pretty-printed JSON object.
void Describe(const TableLocation& table, std::ostream& out);

enum class DumpFormat { kCsv, kJson };

// Streams every record in table order: CSV with a header line of field names
// and CRLF line ends, or a JSON array with one object per record, one record
// per line. Memory use does not grow with the table. A table that could not
// be read whole (a block that cannot be read, a header record count other
// than the rows its blocks hold, values that live in a missing blob file)
// raises an engine error naming the problem after the rows that were read.
void Dump(const TableLocation& table, DumpFormat format, const std::vector<std::string>& passwords,
          std::ostream& out);

enum class VerifyFormat { kText, kJson };

// Runs the engine's integrity check and returns the number of errors found
// (kinds of problem, per file). Text: one line per error, then one line per
// piece of information prefixed "note: ", then "OK" when there is no error.
// JSON: one object with the table, whether it is clean, the error count and
// every finding (severity, file, kind, detail, count, of, keys).
size_t Verify(const TableLocation& table, VerifyFormat format,
              const std::vector<std::string>& passwords, std::ostream& out);

// The alias command, which changes no table but the alias configuration
// file: `args` are the arguments after "alias" (list, add or remove and their
// options). Reports its own failures on `err` and returns the exit status.
int RunAlias(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The create-dictionary command: `args` are the arguments after its name.
// Creates a new, empty data dictionary in a directory; reports its own
// failures on `err` and returns the exit status.
int RunCreateDictionary(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The rebuild command: `args` are the arguments after its name, the batch
// options -p -b -d -t -a -c and --plan, --config, --password, --help. Rebuilds tables
// from the dictionary at once (or, with --plan, prints what it would do and
// changes nothing), printing progress texts on `out` and messages and errors
// on `err`; returns the exit status.
int RunRebuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The load command: `args` are the arguments after its name. Loads the
// structures of tables of a source (an alias or a directory) into a data
// dictionary, asking on the terminal before upgrading a table loaded before;
// reports its own failures on `err` and returns the exit status.
int RunLoad(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The list command: `args` are the arguments after its name. Writes the text
// listing of tables of one alias of a data dictionary into a file; reports
// its own failures on `err` and returns the exit status.
int RunList(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The repair command: `args` are the arguments after its name. Writes a
// damaged table anew from the records that can be read, with fresh indexes,
// all or nothing (engine/repair_table.h); reports what it could not keep on
// `out` and its failures on `err`; returns the exit status.
int RunRepair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vellum::cli
