// repair: a damaged table's readable rows written anew with fresh indexes,
// all or nothing, and a report of what could not be kept.
#include <exception>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/commands.h"
#include "engine/paradox/table.h"
#include "engine/repair_table.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kCommand = "repair";

constexpr std::string_view kRepairHelp =
    "Usage: vellum-cli repair TABLE [--password PW ...]\n"
    "\n"
    "Repairs a table that another program or an older crash left damaged: a\n"
    "broken block chain in the data file, damaged or missing index files, a\n"
    "damaged blob file. Every record that can be read is kept: the block chain\n"
    "is followed as far as it is sound, then the records of every other block\n"
    "that looks like a data block are taken; no row is made up. The primary\n"
    "index and every secondary index whose definition can be read are made\n"
    "anew from the rows; the validity checks are kept.\n"
    "\n"
    "What could not be kept is reported: records in blocks that cannot be\n"
    "read, rows repeating a primary key or a unique index key (the first of\n"
    "each is kept), blob values that cannot be read (kept as empty values),\n"
    "indexes whose definition cannot be read (dropped). The repaired table is\n"
    "then checked as verify checks it.\n"
    "\n"
    "The new files are written beside the old ones and take their place all at\n"
    "once, as a restructure's do: a repair that is interrupted leaves the\n"
    "damaged table as it was, or the repaired one. The table must not be in\n"
    "use. An encrypted table needs its password (--password PW, or the\n"
    "environment variable VELLUM_PASSWORD).\n"
    "\n"
    "Options:\n"
    "  --password PW  a password to try on an encrypted table (may be repeated)\n"
    "  -h, --help     show this help\n"
    "\n"
    "Exit status: 0 when everything was kept; 1 when something was lost (the\n"
    "report says what), the table cannot be repaired or the repaired table\n"
    "fails the check; 2 for bad options.\n";

std::string Count(uint64_t n, std::string_view one, std::string_view many) {
  return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

void List(std::ostream& out, const std::vector<std::string>& lines) {
  for (const auto& line : lines) out << "  " << line << "\n";
}

// The report of a repair: what was read, what was kept, what was lost.
void WriteReport(const engine::RepairReport& r, std::ostream& out) {
  const auto& log = r.salvage;
  if (!log.chain_problems.empty()) {
    out << "Damage found in the data file:\n";
    List(out, log.chain_problems);
  }
  if (log.unreadable_blocks > 0) {
    out << Count(log.unreadable_blocks, "block", "blocks")
        << " of the data file could not be read: the records in "
        << (log.unreadable_blocks == 1 ? "it are" : "them are") << " lost.\n";
  }
  if (r.rows_read < r.header_records) {
    out << Count(r.header_records - r.rows_read, "record", "records")
        << " that the header counts could not be found.\n";
  }
  if (r.repeated_keys.count > 0) {
    out << Count(r.repeated_keys.count, "row repeating a key was", "rows repeating a key were")
        << " left out (the first row of each key is kept):\n";
    List(out, r.repeated_keys.first);
  }
  if (log.blob_values_lost > 0) {
    out << Count(log.blob_values_lost, "blob value", "blob values") << " could not be read and "
        << (log.blob_values_lost == 1 ? "is" : "are") << " kept empty:\n";
    List(out, log.blob_problems);
  } else if (!log.file_problems.empty()) {
    out << "The blob file could not be read; no value needed it:\n";
    List(out, log.file_problems);
  }
  for (const auto& why : r.indexes_dropped) out << "Index dropped: " << why << "\n";
  if (r.checks_dropped) out << "Validity checks dropped: " << log.unreadable_checks << "\n";
  out << "Table \"" << r.table << "\" repaired: " << Count(r.rows_kept, "row", "rows") << " kept";
  if (!r.indexes_kept.empty()) {
    out << "; indexes made anew: ";
    for (size_t i = 0; i < r.indexes_kept.size(); ++i) {
      out << (i ? ", " : "") << r.indexes_kept[i];
    }
  }
  out << ".\n";
}

}  // namespace

int RunRepair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> positional;
  std::vector<std::string> passwords;
  OptionReader reader(args);
  while (!reader.done()) {
    std::string password;
    if (reader.positional()) {
      positional.push_back(reader.take());
    } else if (reader.flag("-h") || reader.flag("--help")) {
      out << kRepairHelp;
      return kExitOk;
    } else if (reader.value("--password", &password)) {
      if (password.empty()) return CommandUsage(err, kCommand, "--password needs a value");
      passwords.push_back(password);
    } else {
      return CommandUsage(err, kCommand, "unknown option " + reader.current());
    }
  }
  if (!reader.error().empty()) return CommandUsage(err, kCommand, reader.error());
  if (positional.empty()) return CommandUsage(err, kCommand, "missing TABLE");
  if (positional.size() > 1) {
    return CommandUsage(err, kCommand, "unexpected argument \"" + positional[1] + "\"");
  }
  const std::string& path = positional[0];
  int status = kExitOk;
  try {
    const TableLocation location = LocateTable(path);
    const std::vector<std::string> all_passwords = CommandPasswords(passwords);
    const engine::RepairReport report =
        engine::RepairTable(location.directory, location.name, all_passwords);
    WriteReport(report, out);
    if (report.lost()) {
      out.flush();
      err << "vellum-cli: repair: " << path
          << ": not everything could be kept; the report above says what was lost\n";
      status = kExitFailure;
    }
    auto table = engine::paradox::Table::Open(location.directory, location.name,
                                              {.passwords = all_passwords});
    const std::vector<std::string> problems = table->verify();
    if (!problems.empty()) {
      out.flush();
      err << "vellum-cli: repair: " << path << ": the repaired table still fails the check:\n";
      for (const auto& p : problems) err << "  " << p << "\n";
      status = kExitFailure;
    }
  } catch (const std::exception& e) {
    out.flush();
    return CommandFailure(err, kCommand, e);
  }
  return FinishOutput(out, err, kCommand, status);
}

}  // namespace vellum::cli
