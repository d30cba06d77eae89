#include "cli/cli.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>
#include <ostream>
#include <string_view>

#include "cli/command_options.h"
#include "cli/commands.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/restructure_journal.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kProgramHelp =
    "Usage: vellum-cli COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Reads Paradox tables (describe, dump, verify), keeps the engine's aliases,\n"
    "creates data dictionaries and rebuilds tables from them. Reading a table\n"
    "changes none of its files, but for one thing: a restructure that a crash\n"
    "or a kill interrupted is finished (or, not yet committed, undone) first,\n"
    "when the table's directory can be written.\n"
    "\n"
    "Commands:\n"
    "  describe TABLE                 print the table's structure as JSON\n"
    "  dump TABLE [--format csv|json] [--password PW]\n"
    "                                 print every record (CSV by default)\n"
    "  verify TABLE [--json] [--password PW]\n"
    "                                 check the table's files against each other\n"
    "  alias list|add|remove ...      list, add or remove the engine's aliases\n"
    "  create-dictionary DIR          create a new, empty data dictionary in DIR\n"
    "  rebuild -p DIR -t|-a ... [--plan] [--password PW]\n"
    "                                 rebuild tables from a data dictionary\n"
    "  load -p DIR --source SRC --as ALIAS [TABLE ...]\n"
    "                                 load table structures into a data dictionary\n"
    "  list -p DIR --alias ALIAS -o FILE [TABLE ...]\n"
    "                                 write a data dictionary's text listing\n"
    "  repair TABLE [--password PW]   write a damaged table anew from the rows\n"
    "                                 that can be read, with fresh indexes\n"
    "\n"
    "TABLE is the path of the table's data file, with or without the .DB\n"
    "extension; letter case in file names does not matter. The rows of an\n"
    "encrypted table need its password (--password PW, or the environment\n"
    "variable VELLUM_PASSWORD); its structure does not.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help; after a command, that command's help\n"
    "  --version      show the program's version\n"
    "\n"
    "Exit status: 0 on success; 1 when the table cannot be read, verify\n"
    "finds problems or a command fails; 2 for an unknown command or a bad\n"
    "option.\n";

constexpr std::string_view kDescribeHelp =
    "Usage: vellum-cli describe TABLE\n"
    "\n"
    "Prints the structure of TABLE as a JSON object: name, file, level, code\n"
    "page, sort order, block size, record count, number of key fields, whether\n"
    "it is encrypted, the fields (name, logical type, Paradox type letter, size,\n"
    "required), the indexes (name, key fields, primary, unique, descending,\n"
    "case-insensitive, maintained, file, out of date and why) and the validity\n"
    "checks (field, required, minimum, maximum and default as text, picture,\n"
    "lookup table). An index whose file no longer matches the table is listed,\n"
    "marked out of date, under the table's current field names. An encrypted\n"
    "(password protected) table is described without its password: only its\n"
    "rows need it, and the record count is the one its header holds.\n";

constexpr std::string_view kDescribeOptions =
    "Options:\n"
    "  -h, --help     show this help\n";

constexpr std::string_view kDumpHelp =
    "Usage: vellum-cli dump TABLE [--format csv|json] [--password PW ...]\n"
    "\n"
    "Prints every record of TABLE in table order, memo and blob fields included.\n"
    "\n"
    "  csv   (default) RFC 4180: a header line of field names, then one line per\n"
    "        record, lines ending in CRLF; fields holding a comma, a quote or a\n"
    "        line break are quoted with quotes doubled; NULL is an empty field\n"
    "        and an empty text is \"\".\n"
    "  json  an array with one object per record (field name: value), one\n"
    "        record per line; NULL is null.\n"
    "\n"
    "Values: text and memos as text; logical fields as true/false; numbers in\n"
    "their shortest exact form (JSON numbers); BCD values as exact decimal text\n"
    "(JSON strings); dates as YYYY-MM-DD, times as HH:MM:SS.mmm, timestamps as\n"
    "YYYY-MM-DD HH:MM:SS.mmm; bytes, binary blobs, graphics, OLE objects and\n"
    "formatted memos as upper-case hexadecimal, two digits per byte, in both\n"
    "formats.\n"
    "\n"
    "The rows of an encrypted (password protected) table are read with its\n"
    "password: one of those given with --password, or the one the environment\n"
    "variable VELLUM_PASSWORD holds. Without it nothing is printed and the\n"
    "command fails, saying whether no password or a wrong one was given.\n";

constexpr std::string_view kDumpOptions =
    "Options:\n"
    "  -f, --format FORMAT   csv or json\n"
    "  --password PW         a password to try on an encrypted table (may be\n"
    "                        repeated)\n"
    "  -h, --help            show this help\n";

constexpr std::string_view kVerifyHelp =
    "Usage: vellum-cli verify TABLE [--json] [--password PW ...]\n"
    "\n"
    "Checks the files of TABLE against each other: header counts against the\n"
    "block chain, the file lengths, key order, blob references, the\n"
    "autoincrement counter, the primary index and every secondary index,\n"
    "entry by entry.\n"
    "\n"
    "Prints one line per kind of problem and file, with how many cases there\n"
    "are and the keys of the first few records concerned. An index that no\n"
    "longer matches its table is reported as \"index out of date\"; a\n"
    "restructure makes it anew. Information that is no problem (secondary\n"
    "index entries whose block number is an old hint, as other programs leave\n"
    "them) follows on lines beginning \"note: \". Prints OK when there is no\n"
    "problem.\n"
    "\n"
    "Exit status: 0 when there is no problem (information alone is clean),\n"
    "1 otherwise.\n"
    "\n"
    "An encrypted (password protected) table is checked with its password:\n"
    "one of those given with --password, or the one the environment variable\n"
    "VELLUM_PASSWORD holds. Without it the check fails before it starts.\n";

constexpr std::string_view kVerifyOptions =
    "Options:\n"
    "  --json         print the findings as one JSON object for scripts:\n"
    "                 table, file, clean, errors and findings (severity,\n"
    "                 file, kind, detail, count, of, keys)\n"
    "  --password PW  a password to try on an encrypted table (may be repeated)\n"
    "  -h, --help     show this help\n";

// What the three readers do with what an interrupted restructure left:
// every open of a table does it (engine/restructure_journal.h).
constexpr std::string_view kRecoveryHelp =
    "\n"
    "A restructure that a crash or a kill interrupted leaves the table's journal\n"
    "(NAME.JNL) or its work directory (.NAME.restructure) beside it. Like every\n"
    "open of the table, this command first finishes a committed restructure\n"
    "(the table is then the new one) or undoes one that was not committed (the\n"
    "old one), when it can write the table's directory; that is the only change\n"
    "it makes. When it cannot write there:\n"
    "  - a restructure that was not committed: the table is read as its own\n"
    "    files hold it, whole, and a warning on the standard error says that\n"
    "    recovery is pending (verify then exits 1);\n"
    "  - a committed one: the old files may be partly replaced, so the table\n"
    "    is not read; the command fails saying that recovery is pending until\n"
    "    the table is opened once with write access to its directory.\n"
    "A journal naming anything but the table's own files, and a file named\n"
    "NAME.JNL that is no journal of this program, are reported and left alone.\n"
    "\n";

enum class Command { kDescribe, kDump, kVerify };

struct CommandSpec {
  std::string_view name;
  Command command;
  std::string_view help;
  std::string_view options;
};

constexpr CommandSpec kCommands[] = {
    {"describe", Command::kDescribe, kDescribeHelp, kDescribeOptions},
    {"dump", Command::kDump, kDumpHelp, kDumpOptions},
    {"verify", Command::kVerify, kVerifyHelp, kVerifyOptions},
};

// A parsed command line of one command.
struct Invocation {
  std::string table;
  DumpFormat format = DumpFormat::kCsv;
  VerifyFormat verify_format = VerifyFormat::kText;
  std::vector<std::string> passwords;  // of --password options
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int UsageError(std::ostream& err, std::string_view command, const std::string& message) {
  err << "vellum-cli: ";
  if (!command.empty()) err << command << ": ";
  err << message << "\n";
  err << "Try 'vellum-cli " << command << (command.empty() ? "" : " ") << "--help'.\n";
  return kExitUsage;
}

bool ParseFormat(const std::string& text, DumpFormat* format) {
  if (text == "csv") {
    *format = DumpFormat::kCsv;
  } else if (text == "json") {
    *format = DumpFormat::kJson;
  } else {
    return false;
  }
  return true;
}

// Reports a failure of a command on `table_path`. The engine's messages name
// the file concerned; when one does not, the table's path is added so the
// user always knows which table failed.
void ReportFailure(std::ostream& err, const std::string& table_path, const std::string& message,
                   const std::vector<std::string>& details) {
  const std::string stem = Lower(std::filesystem::path(table_path).stem().string());
  err << "vellum-cli: " << message;
  const std::string lower = Lower(message);
  if (lower.find(Lower(table_path)) == std::string::npos &&
      (stem.empty() || lower.find(stem) == std::string::npos)) {
    err << " (table \"" << table_path << "\")";
  }
  err << "\n";
  for (const auto& detail : details) err << "  " << detail << "\n";
}

int RunCommand(const CommandSpec& spec, const Invocation& call, std::ostream& out,
               std::ostream& err) {
  int status = kExitOk;
  try {
    const TableLocation location = LocateTable(call.table);
    switch (spec.command) {
      case Command::kDescribe:
        Describe(location, out);
        break;
      case Command::kDump:
        Dump(location, call.format, CommandPasswords(call.passwords), out);
        break;
      case Command::kVerify:
        if (size_t problems =
                Verify(location, call.verify_format, CommandPasswords(call.passwords), out);
            problems > 0) {
          out.flush();
          err << "vellum-cli: " << call.table << ": " << problems
              << (problems == 1 ? " problem" : " problems") << " found\n";
          status = kExitFailure;
        }
        break;
    }
    // A restructure's leftover that the open could not clean up (a
    // directory this user may not write, an invalid journal): the table was
    // read as its own files hold it, but it is not clean.
    const std::string pending =
        engine::PendingRecovery(location.directory, engine::paradox::TableBaseName(location.name));
    if (!pending.empty()) {
      out.flush();
      err << "vellum-cli: warning: " << pending << "\n";
      if (spec.command == Command::kVerify) status = kExitFailure;
    }
  } catch (const engine::EDBEngineError& e) {
    out.flush();
    // Further entries carry the context the error passed through.
    std::vector<std::string> details;
    for (size_t i = 1; i < e.entries().size(); ++i) {
      if (e.entries()[i].message != e.what()) details.push_back(e.entries()[i].message);
    }
    ReportFailure(err, call.table, e.what(), details);
    return kExitFailure;
  } catch (const std::exception& e) {
    out.flush();
    ReportFailure(err, call.table, e.what(), {});
    return kExitFailure;
  } catch (...) {
    out.flush();
    ReportFailure(err, call.table, "unexpected failure", {});
    return kExitFailure;
  }
  out.flush();
  if (!out) {
    err << "vellum-cli: " << spec.name << ": cannot write the output\n";
    return kExitFailure;
  }
  return status;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kProgramHelp;
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (name == "-h" || name == "--help") {
    out << kProgramHelp;
    return kExitOk;
  }
  if (name == "--version") {
    out << "vellum-cli " << VELLUM_VERSION << "\n";
    return kExitOk;
  }
  if (name == "alias") return RunAlias({args.begin() + 1, args.end()}, out, err);
  if (name == "create-dictionary") {
    return RunCreateDictionary({args.begin() + 1, args.end()}, out, err);
  }
  if (name == "rebuild") return RunRebuild({args.begin() + 1, args.end()}, out, err);
  if (name == "load") return RunLoad({args.begin() + 1, args.end()}, out, err);
  if (name == "list") return RunList({args.begin() + 1, args.end()}, out, err);
  if (name == "repair") return RunRepair({args.begin() + 1, args.end()}, out, err);
  const auto* spec = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const CommandSpec& c) { return c.name == name; });
  if (spec == std::end(kCommands)) {
    if (!name.empty() && name[0] == '-') return UsageError(err, "", "unknown option " + name);
    return UsageError(err, "", "unknown command \"" + name + "\"");
  }

  Invocation call;
  std::vector<std::string> positional;
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      out << spec->help << kRecoveryHelp << spec->options;
      return kExitOk;
    } else if (spec->command == Command::kDump && (arg == "--format" || arg == "-f")) {
      if (i + 1 >= args.size()) return UsageError(err, spec->name, arg + " needs a value");
      if (!ParseFormat(args[++i], &call.format)) {
        return UsageError(err, spec->name, "unknown format \"" + args[i] + "\" (csv or json)");
      }
    } else if (spec->command == Command::kDump && arg.starts_with("--format=")) {
      const std::string value = arg.substr(9);
      if (!ParseFormat(value, &call.format)) {
        return UsageError(err, spec->name, "unknown format \"" + value + "\" (csv or json)");
      }
    } else if (spec->command == Command::kVerify && arg == "--json") {
      call.verify_format = VerifyFormat::kJson;
    } else if (spec->command != Command::kDescribe && arg == "--password") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return UsageError(err, spec->name, arg + " needs a value");
      }
      call.passwords.push_back(args[++i]);
    } else if (spec->command != Command::kDescribe && arg.starts_with("--password=")) {
      if (arg.size() == 11) return UsageError(err, spec->name, "--password needs a value");
      call.passwords.push_back(arg.substr(11));
    } else {
      return UsageError(err, spec->name, "unknown option " + arg);
    }
  }
  if (positional.empty()) return UsageError(err, spec->name, "missing TABLE");
  if (positional.size() > 1) {
    return UsageError(err, spec->name, "unexpected argument \"" + positional[1] + "\"");
  }
  call.table = positional[0];
  return RunCommand(*spec, call, out, err);
}

}  // namespace vellum::cli
