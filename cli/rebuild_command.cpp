// create-dictionary and rebuild: the commands that write tables. They make
// a new, empty data dictionary, and rebuild tables from a dictionary as the
// program's batch mode does, without a window.
#include <exception>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/console_ui.h"
#include "cli/interrupt.h"
#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/session.h"
#include "rebuild/batch_rebuild.h"
#include "rebuild/plan_text.h"
#include "rebuild/rebuild_plan.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kCreateDictionaryHelp =
    "Usage: vellum-cli create-dictionary [--code-page N] DIR\n"
    "\n"
    "Creates a new, empty data dictionary in DIR: the tables DDTables, DDFields\n"
    "and DDIndex, and DDProps, which keeps what a table has beyond its fields\n"
    "and indexes. DIR is created, with its missing parents, when it does not\n"
    "exist. When DIR already holds a data dictionary (a DDTables.DB file in any\n"
    "letter case) nothing is changed and the command fails; DDFields, DDIndex\n"
    "or DDProps tables found there without DDTables are replaced by empty ones.\n"
    "\n"
    "Every name the dictionary records must fit its code page: a table whose\n"
    "names it cannot hold is not loaded. Names in Hebrew, for example, need a\n"
    "dictionary in code page 1255.\n"
    "\n"
    "Options:\n"
    "  --code-page N  the code page of the dictionary's tables (default 1252)\n"
    "  -h, --help     show this help\n"
    "\n"
    "Exit status: 0 when the dictionary was created; 1 when DIR is not a\n"
    "directory, already holds a dictionary or the tables cannot be created; 2\n"
    "for a bad option or argument.\n";

constexpr std::string_view kRebuildHelp =
    "Usage: vellum-cli rebuild -p DIR (-t ALIAS.TABLE | -a ALIAS) [-d DIR] [-b DIR] [-c]\n"
    "                          [--plan] [--config FILE] [--password PW ...]\n"
    "\n"
    "Rebuilds tables from their definitions in a data dictionary, at once and\n"
    "without a window, taking the options of the program's batch mode. A table\n"
    "absent from the work directory is created empty; a table present there is\n"
    "restructured in place, keeping its rows.\n"
    "\n"
    "A rebuilt table keeps what the dictionary recorded of it when it was loaded\n"
    "(code page, sort order, level, block size, pictures, table lookups and\n"
    "referential integrity); one restructured in place keeps its own code page.\n"
    "What cannot be kept (a sort order whose collation the engine does not\n"
    "write, for a table with text keys: the binary order of its code page\n"
    "replaces it) is said in a line before the table is rebuilt.\n"
    "\n"
    "An encrypted (password protected) table stays encrypted under the same\n"
    "password, also when -c makes it anew. Restructuring one in place reads its\n"
    "rows, which needs its password: one of those given with --password, or the\n"
    "one the environment variable VELLUM_PASSWORD holds. Without it the plan\n"
    "fails for that table and nothing is rebuilt; the command never asks.\n"
    "\n"
    "Options (the letter after \"-\" counts in either case; the value may follow\n"
    "it directly, as in -pDIR):\n"
    "  -p Dir         required: the directory containing the data dictionary\n"
    "                 (tables DDTables, DDFields and DDIndex), which is only\n"
    "                 read: it may be on a read-only medium\n"
    "  -b Dir         optional: a backup copy of the work directory is made in\n"
    "                 Dir first (the files of every table in alias mode, of the\n"
    "                 table in table mode); not made with -c. A backup that\n"
    "                 cannot be completed stops the run before anything is rebuilt\n"
    "  -d Dir         optional: the work directory, where the tables are created\n"
    "                 or rebuilt; created when missing. -d :ALIAS: is the\n"
    "                 directory of the alias ALIAS. Otherwise the directory of the\n"
    "                 -a alias is used; rebuilding a single table needs -d\n"
    "  -t ALIAS.TABLE rebuild a single table, named AliasName.TableName\n"
    "  -a ALIAS       rebuild every table of the alias\n"
    "  -c             recreate the EMPTY tables, DELETING those existing (the\n"
    "                 files of every table of the work directory in alias mode);\n"
    "                 files that belong to no table are never deleted\n"
    "  The options -a and -t cannot be used together.\n"
    "\n"
    "  --plan         change nothing; print per table the operation each field,\n"
    "                 index and validity check would get (add, copy, modify,\n"
    "                 redo), the fields dropped, how many existing values would\n"
    "                 be cut (text or bytes longer than the new size) or emptied\n"
    "                 (values that do not convert to the new type), a \"note:\"\n"
    "                 line for what a rebuild cannot keep, and every failure the\n"
    "                 run would meet (exit status 1 when there is one)\n"
    "  --config FILE  the alias file (see 'vellum-cli alias --help')\n"
    "  --password PW  a password to try on encrypted tables (may be repeated)\n"
    "  -h, -?, --help show this help\n"
    "\n"
    "Each progress text is printed as a line on the standard output; messages and\n"
    "errors go to the standard error.\n"
    "\n"
    "Ctrl-C (SIGINT) stops the rebuild before the next table; every table is\n"
    "left whole, rebuilt or as it was. A second Ctrl-C ends it at once.\n"
    "\n"
    "A run checks everything the plan checks before it changes anything, and\n"
    "stops at the first failure; each table is rebuilt all or nothing.\n"
    "\n"
    "Exit status: 0 when every table was rebuilt (or planned without a\n"
    "failure); 1 when the dictionary cannot be opened, the plan has a failure\n"
    "or a rebuild fails (tables rebuilt before a failure in the middle of a run\n"
    "stay rebuilt); 2 for bad options; 130 when stopped by Ctrl-C.\n";

// The batch options that take a value; given alone, the next argument is the
// value whatever it looks like.
bool TakesNextArgument(const std::string& arg) {
  if (arg.size() != 2 || arg[0] != '-') return false;
  switch (arg[1]) {
    case 'p':
    case 'P':
    case 'b':
    case 'B':
    case 'd':
    case 'D':
    case 't':
    case 'T':
    case 'a':
    case 'A':
      return true;
    default:
      return false;
  }
}

// A code page number the engine can convert, from its decimal text.
std::optional<int> ParseCodePage(const std::string& text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int number = std::stoi(text);
  if (!engine::paradox::CodePage(number).supported()) return std::nullopt;
  return number;
}

}  // namespace

int RunCreateDictionary(const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
  constexpr std::string_view kCommand = "create-dictionary";
  std::vector<std::string> positional;
  std::string code_page_text;
  bool code_page_given = false;
  OptionReader reader(args);
  while (!reader.done()) {
    if (reader.positional()) {
      positional.push_back(reader.take());
    } else if (reader.flag("-h") || reader.flag("--help")) {
      out << kCreateDictionaryHelp;
      return kExitOk;
    } else if (reader.value("--code-page", &code_page_text)) {
      code_page_given = true;
    } else {
      return CommandUsage(err, kCommand, "unknown option " + reader.current());
    }
  }
  if (!reader.error().empty()) return CommandUsage(err, kCommand, reader.error());
  int code_page = dictionary::kDefaultDictionaryCodePage;
  if (code_page_given) {
    const std::optional<int> parsed = ParseCodePage(code_page_text);
    if (!parsed) {
      return CommandUsage(err, kCommand,
                          "--code-page \"" + code_page_text +
                              "\" is not a code page this "
                              "program can convert");
    }
    code_page = *parsed;
  }
  if (positional.empty()) return CommandUsage(err, kCommand, "missing DIR");
  if (positional.size() > 1) {
    return CommandUsage(err, kCommand, "unexpected argument \"" + positional[1] + "\"");
  }
  const std::string& directory = positional[0];
  if (directory.empty()) return CommandUsage(err, kCommand, "DIR is empty");

  try {
    dictionary::CreateDictionary(directory, engine::FileSystem::Default(), code_page);
  } catch (const std::exception& e) {
    return CommandFailure(err, kCommand, e);
  }
  out << "Created a new Data Dictionary in \"" << directory << "\"\n";
  return FinishOutput(out, err, kCommand, kExitOk);
}

int RunRebuild(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  constexpr std::string_view kCommand = "rebuild";

  // The command line's own options (--plan, --config, --help) are taken out;
  // the rest are the batch options, read as the batch mode reads them.
  std::vector<std::string> batch_args;
  std::optional<std::string> config_option;
  std::vector<std::string> passwords;
  bool plan = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (TakesNextArgument(arg)) {
      batch_args.push_back(arg);
      if (i + 1 < args.size()) batch_args.push_back(args[++i]);
    } else if (arg == "--help") {
      out << kRebuildHelp;
      return kExitOk;
    } else if (arg == "--plan") {
      plan = true;
    } else if (arg == "--config") {
      if (i + 1 >= args.size()) return CommandUsage(err, kCommand, "--config needs a value");
      config_option = args[++i];
    } else if (arg.starts_with("--config=")) {
      config_option = arg.substr(9);
    } else if (arg == "--password") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return CommandUsage(err, kCommand, "--password needs a value");
      }
      passwords.push_back(args[++i]);
    } else if (arg.starts_with("--password=")) {
      if (arg.size() == 11) return CommandUsage(err, kCommand, "--password needs a value");
      passwords.push_back(arg.substr(11));
    } else if (arg.starts_with("--")) {
      return CommandUsage(err, kCommand, "unknown option " + arg);
    } else {
      batch_args.push_back(arg);
    }
  }
  if (config_option && config_option->empty()) {
    return CommandUsage(err, kCommand, "--config needs a file name");
  }

  const rebuild::BatchOptions options = rebuild::ParseBatchOptions(batch_args);
  if (!options.unknown_option.empty()) {
    return CommandUsage(err, kCommand, "unknown option " + options.unknown_option);
  }
  if (options.show_help) {
    out << kRebuildHelp;
    return kExitOk;
  }

  const std::string prefix = "vellum-cli: " + std::string(kCommand) + ": ";
  ConsoleUi ui(std::cin, out, err, ConsoleUi::StdinIsTerminal(), prefix);
  try {
    engine::Session session(config_option ? *config_option : engine::AliasConfig::DefaultPath());
    for (const std::string& password : CommandPasswords(passwords)) session.addPassword(password);
    dictionary::TdmDataDictionary data_module(session, ui);
    const rebuild::BatchStart start = rebuild::StartBatch(options, data_module, ui);
    if (start.status != rebuild::BatchStartStatus::kReady) {
      return start.status == rebuild::BatchStartStatus::kHelp ? kExitOk : kExitUsage;
    }
    if (plan) {
      const std::optional<rebuild::BatchPlan> batch_plan =
          rebuild::PlanBatch(start.job, data_module, ui);
      if (!batch_plan) return kExitUsage;
      rebuild::WritePlan(*batch_plan, out);
      if (batch_plan->failed()) {
        out.flush();
        for (const std::string& failure : batch_plan->failures) err << prefix << failure << '\n';
        return FinishOutput(out, err, kCommand, kExitFailure);
      }
    } else {
      ui.progress(start.job.operationText());
      // Ctrl-C stops the run between tables; the plan above changes nothing
      // and is simply ended by it.
      const InterruptStop interrupt;
      switch (rebuild::RunBatch(start.job, data_module, ui)) {
        case rebuild::BatchRunStatus::kDone:
          break;
        case rebuild::BatchRunStatus::kStopped:
          return kExitUsage;
        case rebuild::BatchRunStatus::kInterrupted:
          out.flush();
          err << prefix << "interrupted; the tables not rebuilt yet were left as they were\n";
          return kExitInterrupted;
      }
    }
  } catch (const std::exception& e) {
    out.flush();
    return CommandFailure(err, kCommand, e);
  } catch (...) {
    out.flush();
    err << prefix << "unexpected failure\n";
    return kExitFailure;
  }
  return FinishOutput(out, err, kCommand, kExitOk);
}

}  // namespace vellum::cli
