#include "cli/load_command.h"

#include <exception>
#include <iostream>
#include <ostream>
#include <string_view>
#include <utility>

#include "cli/cli.h"
#include "cli/command_options.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "dictionary/data_module.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "loading/structure_loader.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kCommand = "load";

constexpr std::string_view kLoadHelp =
    "Usage: vellum-cli load -p DIR --source ALIAS|DIRECTORY --as ALIAS [--yes-all]\n"
    "                       [--config FILE] [TABLE ...]\n"
    "\n"
    "Reads the structure of tables (fields, indexes, and the minimum, maximum\n"
    "and default values of their validity checks) into the data dictionary in\n"
    "DIR, recording them under the alias given with --as, together with what a\n"
    "rebuild gives back beside them (code page, sort order, level, block size,\n"
    "pictures, table lookups and referential integrity, kept in DDProps). A\n"
    "table not yet in the dictionary is added; a table already there is\n"
    "upgraded: its fields and indexes are replaced by the current ones, and the\n"
    "descriptions of fields and indexes whose names are unchanged are kept.\n"
    "Without TABLE, every table of the source (every .DB file) is loaded, in\n"
    "name order.\n"
    "\n"
    "Options:\n"
    "  -p DIR            required: the directory of the data dictionary\n"
    "                    (tables DDTables, DDFields and DDIndex)\n"
    "  --source SOURCE   required: the tables' alias, or their directory\n"
    "  --as ALIAS        required: the alias under which they are recorded\n"
    "  --yes-all         upgrade the tables already in the dictionary without\n"
    "                    asking\n"
    "  --config FILE     the alias file (see 'vellum-cli alias --help')\n"
    "  -h, --help        show this help\n"
    "\n"
    "TABLE is a table name of the source, without a directory and with or\n"
    "without its extension, in any letter case; the table is recorded under its\n"
    "own name (its data file's, without the extension). Names are never cut or\n"
    "changed: an alias or a table with a name the dictionary cannot hold\n"
    "(longer than its column, or in characters its code page lacks; see\n"
    "'vellum-cli create-dictionary --help') is refused.\n"
    "\n"
    "Before upgrading a table that is already in the dictionary the command\n"
    "asks on the terminal: yes, no (leave that table as it is), cancel (stop\n"
    "here) or all (yes to this and every later table). With no terminal to\n"
    "ask on and without --yes-all, the load stops at that table and fails. A\n"
    "table that cannot be read is reported and skipped, and the others are\n"
    "loaded. \"Loading \"TABLE\" is printed on the standard output before each\n"
    "table; messages go to the standard error. When SOURCE is the dictionary's\n"
    "own directory, its own tables (DDTables, DDFields, DDIndex, DDProps) are\n"
    "left out, with one note. A dictionary that cannot be changed (on a\n"
    "read-only medium, or tables this user may only read) is refused before\n"
    "anything is loaded.\n"
    "\n"
    "Ctrl-C (SIGINT) stops the load before the next table; every table is\n"
    "loaded whole or not at all, and what was loaded is kept.\n"
    "\n"
    "Exit status: 0 when every table was loaded (or left as it was on the\n"
    "answer no); 1 when a table could not be loaded, the load stopped at a\n"
    "question, or the dictionary or the source cannot be opened (what was\n"
    "loaded before stays in the dictionary); 2 for bad options or a table name\n"
    "that is not a plain name; 130 when stopped by Ctrl-C.\n";

// A table name reaches the engine joined to the source directory, so it may
// name nothing but a file in that directory.
bool IsPlainTableName(const std::string& name) {
  return !name.empty() && name != ".." && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

// Says on `err` what of `report` the user must know (the tables not loaded,
// how the load ended) and returns the exit status. An unanswered question
// has said already that the load stopped there.
int ReportLoad(const loading::LoadReport& report, bool question_unanswered,
               const std::string& prefix, std::ostream& err) {
  using End = loading::LoadReport::End;
  int status = kExitOk;
  const size_t not_opened = report.count(loading::TableLoad::Result::kNotOpened) +
                            report.count(loading::TableLoad::Result::kNotStorable);
  if (not_opened > 0) {
    err << prefix << not_opened << (not_opened == 1 ? " table" : " tables")
        << " could not be loaded\n";
    status = kExitFailure;
  }
  if (report.end == End::kCancelled && !question_unanswered) {
    err << prefix << "cancelled; the table asked about and those after it were not loaded\n";
  }
  if (report.end == End::kCancelled || report.end == End::kRefused) status = kExitFailure;
  if (report.end == End::kStopped) {
    err << prefix << "interrupted before \"" << report.not_reached.front() << "\"; it and the "
        << report.not_reached.size() - 1
        << " tables after it were not loaded; every table loaded before is complete\n";
    status = kExitInterrupted;
  }
  return status;
}

}  // namespace

LoadUi::LoadUi(std::istream& in, std::ostream& out, std::ostream& err, bool interactive,
               bool yes_all, std::string prefix)
    : console_(in, out, err, interactive, prefix),
      err_(err),
      interactive_(interactive),
      yes_all_(yes_all),
      prefix_(std::move(prefix)) {}

Answer LoadUi::ask(MessageKind kind, const std::string& text, Buttons buttons) {
  if (buttons == Buttons::kOk) return console_.ask(kind, text, buttons);
  if (yes_all_ && buttons == Buttons::kYesNoCancelAll) return Answer::kAll;
  if (!interactive_) {
    console_.ask(kind, text, Buttons::kOk);  // writes the question only
    err_ << prefix_
         << "no terminal to answer from; the load stops here (--yes-all upgrades the tables "
            "already in the dictionary without asking)\n";
    err_.flush();
    question_unanswered_ = true;
    return Answer::kCancel;
  }
  return console_.ask(kind, text, buttons);
}

void LoadUi::showProgress(const ProgressStep& step) {
  if (!step.text.empty()) console_.showProgress(step);
}

int RunLoad(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return RunLoad(args, std::cin, ConsoleUi::StdinIsTerminal(), out, err);
}

int RunLoad(const std::vector<std::string>& args, std::istream& in, bool interactive,
            std::ostream& out, std::ostream& err) {
  std::string project_directory;
  std::string source;
  std::string load_as;
  std::string config;
  bool yes_all = false;
  std::vector<std::string> table_names;

  OptionReader reader(args);
  while (!reader.done()) {
    if (reader.positional()) {
      table_names.push_back(reader.take());
    } else if (reader.flag("-h") || reader.flag("--help")) {
      out << kLoadHelp;
      return kExitOk;
    } else if (reader.flag("--yes-all")) {
      yes_all = true;
    } else if (reader.value("-p", &project_directory) || reader.value("--source", &source) ||
               reader.value("--as", &load_as) || reader.value("--config", &config)) {
      // Taken with its value.
    } else {
      return CommandUsage(err, kCommand, "unknown option " + reader.current());
    }
  }
  if (!reader.error().empty()) return CommandUsage(err, kCommand, reader.error());
  if (project_directory.empty()) return CommandUsage(err, kCommand, "missing -p DIR");
  if (source.empty()) return CommandUsage(err, kCommand, "missing --source ALIAS|DIRECTORY");
  if (load_as.empty()) return CommandUsage(err, kCommand, "missing --as ALIAS");
  for (const std::string& name : table_names) {
    if (!IsPlainTableName(name)) {
      return CommandUsage(err, kCommand,
                          "\"" + name +
                              "\" is not a table name: a name may not be empty or \"..\", nor "
                              "hold '/' or '\\'");
    }
  }

  const std::string prefix = "vellum-cli: " + std::string(kCommand) + ": ";
  LoadUi ui(in, out, err, interactive, yes_all, prefix);
  const InterruptStop interrupt;
  loading::LoadReport report;
  try {
    if (!CheckProjectDirectory(project_directory, kCommand, err)) return kExitFailure;
    engine::Session session(config.empty() ? engine::AliasConfig::DefaultPath() : config);
    // The source is looked up before anything is opened, so that a wrong
    // one is one clear error rather than one message per table.
    const std::string source_directory = session.resolveDirectory(source);
    if (!session.fs().isDirectory(source_directory)) {
      err << prefix << "the source \"" << source << "\" names the directory \"" << source_directory
          << "\", which does not exist\n";
      return kExitFailure;
    }
    if (table_names.empty()) {
      table_names = session.tableNames(source);
      if (table_names.empty()) {
        err << prefix << "the source \"" << source << "\" holds no tables; nothing was loaded\n";
        return kExitOk;
      }
    }

    dictionary::TdmDataDictionary data_module(session, ui);
    data_module.OpenDictionary(project_directory);
    report = loading::LoadStructures(data_module, ui, source, load_as, table_names);
  } catch (const std::exception& e) {
    out.flush();
    return CommandFailure(err, kCommand, e);
  } catch (...) {
    out.flush();
    err << prefix << "unexpected failure\n";
    return kExitFailure;
  }
  if (FinishOutput(out, err, kCommand, kExitOk) != kExitOk) return kExitFailure;
  return ReportLoad(report, ui.questionUnanswered(), prefix, err);
}

}  // namespace vellum::cli
