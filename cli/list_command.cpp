// list: writes the text listing of tables of one alias of a data
// dictionary, as the main window's print-to-file command does.
#include <exception>
#include <iostream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "dictionary/data_module.h"
#include "engine/dataset.h"
#include "engine/session.h"
#include "shell/text_listing.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kCommand = "list";

constexpr std::string_view kListHelp =
    "Usage: vellum-cli list -p DIR --alias ALIAS -o FILE [TABLE ...]\n"
    "\n"
    "Writes the data dictionary's description of tables of ALIAS to FILE as\n"
    "plain text: for each table a header (\"Table name: ALIAS.TABLE\", the\n"
    "dates of insertion and last change, the description), a line per field\n"
    "with its description, and a block per index; every table ends with a\n"
    "form feed, and long tables are broken into pages of 60 lines. Lines end\n"
    "with CR LF. Without TABLE, every table the dictionary holds under ALIAS\n"
    "is listed, in name order. An existing FILE is replaced. The dictionary\n"
    "is only read: it may be on a read-only medium.\n"
    "\n"
    "Options:\n"
    "  -p DIR          required: the directory of the data dictionary\n"
    "  --alias ALIAS   required: the alias of the tables in the dictionary\n"
    "                  (letter case does not matter)\n"
    "  -o FILE         required: the file to write\n"
    "  -h, --help      show this help\n"
    "\n"
    "Exit status: 0 when the listing was written; 1 when the dictionary cannot\n"
    "be opened, holds no table under ALIAS or not a TABLE named, or FILE\n"
    "cannot be written; 2 for bad options.\n";

// The dictionary's tables of `alias`, in name order (its index on alias and
// name, which ignores letter case).
std::vector<std::string> TablesOfAlias(engine::Dataset& tables, const std::string& alias) {
  std::vector<std::string> names;
  tables.setRange(engine::Row{engine::Value{alias}}, engine::Row{engine::Value{alias}});
  try {
    for (tables.first(); !tables.eof(); tables.next()) {
      names.push_back(tables.fieldByName("Nome").asString());
    }
  } catch (...) {
    tables.cancelRange();
    throw;
  }
  tables.cancelRange();
  return names;
}

}  // namespace

int RunList(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string project_directory;
  std::string alias;
  std::string file_name;
  std::vector<std::string> table_names;

  OptionReader reader(args);
  while (!reader.done()) {
    if (reader.positional()) {
      table_names.push_back(reader.take());
    } else if (reader.flag("-h") || reader.flag("--help")) {
      out << kListHelp;
      return kExitOk;
    } else if (reader.value("-p", &project_directory) || reader.value("--alias", &alias) ||
               reader.value("-o", &file_name)) {
      // Taken with its value.
    } else {
      return CommandUsage(err, kCommand, "unknown option " + reader.current());
    }
  }
  if (!reader.error().empty()) return CommandUsage(err, kCommand, reader.error());
  if (project_directory.empty()) return CommandUsage(err, kCommand, "missing -p DIR");
  if (alias.empty()) return CommandUsage(err, kCommand, "missing --alias ALIAS");
  if (file_name.empty()) return CommandUsage(err, kCommand, "missing -o FILE");

  const std::string prefix = "vellum-cli: " + std::string(kCommand) + ": ";
  ConsoleUi ui(std::cin, out, err, /*interactive=*/false, prefix);
  try {
    if (!CheckProjectDirectory(project_directory, kCommand, err)) return kExitFailure;
    engine::Session session;
    dictionary::TdmDataDictionary data_module(session, ui);
    data_module.OpenDictionary(project_directory, dictionary::TdmDataDictionary::Access::kReadOnly);
    engine::Dataset& tables = data_module.tblTables;
    if (table_names.empty()) {
      table_names = TablesOfAlias(tables, alias);
      if (table_names.empty()) {
        err << prefix << "the data dictionary holds no table under the alias \"" << alias << "\"\n";
        return kExitFailure;
      }
    } else {
      // Every table is looked up before the file is written, so a wrong
      // name leaves no partial listing behind.
      for (const std::string& name : table_names) {
        if (!tables.findKey(engine::Row{engine::Value{alias}, engine::Value{name}})) {
          err << prefix << "Table \"" << alias << "." << name
              << "\" is not present in the datadictionary\n";
          return kExitFailure;
        }
      }
    }
    shell::WriteTextListing(data_module, alias, table_names, file_name);
  } catch (const std::exception& e) {
    out.flush();
    return CommandFailure(err, kCommand, e);
  } catch (...) {
    out.flush();
    err << prefix << "unexpected failure\n";
    return kExitFailure;
  }
  out << "Listed " << table_names.size() << (table_names.size() == 1 ? " table" : " tables")
      << " of \"" << alias << "\" in \"" << file_name << "\"\n";
  return FinishOutput(out, err, kCommand, kExitOk);
}

}  // namespace vellum::cli
