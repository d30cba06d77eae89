// alias: lists and edits the engine's alias configuration file.
#include <cctype>
#include <exception>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string_view>

#include "cli/cli.h"
#include "cli/commands.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "engine/text.h"

namespace vellum::cli {

namespace {

constexpr std::string_view kAliasHelp =
    "Usage: vellum-cli alias list [--config FILE]\n"
    "       vellum-cli alias add NAME DIRECTORY [--driver STANDARD] [--config FILE]\n"
    "       vellum-cli alias remove NAME [--config FILE]\n"
    "\n"
    "Shows or edits the engine's aliases: names for directories of tables.\n"
    "\n"
    "  list    print each alias on a line of its own: NAME TYPE DIRECTORY\n"
    "  add     add an alias for an existing directory\n"
    "  remove  remove an alias\n"
    "\n"
    "The aliases are kept in a text file: FILE when --config is given, else the\n"
    "file the environment variable VELLUM_CONFIG names, else\n"
    "$XDG_CONFIG_HOME/vellum/aliases.conf, else ~/.config/vellum/aliases.conf.\n"
    "Alias names are compared without regard to letter case.\n"
    "\n"
    "Options:\n"
    "  --config FILE    the alias file to read or change\n"
    "  -h, --help       show this help; after list, add or remove, its help\n"
    "\n"
    "Exit status: 0 on success; 1 when the file cannot be read or written or\n"
    "the change cannot be made; 2 for a bad option or argument.\n";

constexpr std::string_view kListHelp =
    "Usage: vellum-cli alias list [--config FILE]\n"
    "\n"
    "Prints each alias of the alias file, in the file's order, on a line of its\n"
    "own: the name, the driver type and the directory, separated by one blank\n"
    "(the directory is the rest of the line and may hold blanks). Prints\n"
    "nothing when there are no aliases or no file.\n"
    "\n"
    "Options:\n"
    "  --config FILE    the alias file (see 'vellum-cli alias --help')\n"
    "  -h, --help       show this help\n";

constexpr std::string_view kAddHelp =
    "Usage: vellum-cli alias add NAME DIRECTORY [--driver STANDARD] [--config FILE]\n"
    "\n"
    "Adds the alias NAME for DIRECTORY, which must exist, and stores the\n"
    "directory as an absolute path. NAME may not hold blanks or '#', nor name\n"
    "an alias that already exists (in any letter case). The file and its\n"
    "directory are created when missing; the file is rewritten, so comment\n"
    "lines in it are not kept.\n"
    "\n"
    "Options:\n"
    "  --driver DRIVER  the alias's driver type: STANDARD (Paradox tables in a\n"
    "                   directory), the default and the only one\n"
    "  --config FILE    the alias file (see 'vellum-cli alias --help')\n"
    "  -h, --help       show this help\n";

constexpr std::string_view kRemoveHelp =
    "Usage: vellum-cli alias remove NAME [--config FILE]\n"
    "\n"
    "Removes the alias NAME (in any letter case) from the alias file, which is\n"
    "rewritten, so comment lines in it are not kept. Exits 1 when there is no\n"
    "such alias.\n"
    "\n"
    "Options:\n"
    "  --config FILE    the alias file (see 'vellum-cli alias --help')\n"
    "  -h, --help       show this help\n";

constexpr std::string_view kStandardDriver = "STANDARD";

enum class Action { kList, kAdd, kRemove };

struct ActionSpec {
  std::string_view name;
  Action action;
  std::string_view help;
  size_t arguments;  // positional arguments after the action's name
  std::string_view argument_names[2];
};

constexpr ActionSpec kActions[] = {
    {"list", Action::kList, kListHelp, 0, {}},
    {"add", Action::kAdd, kAddHelp, 2, {"NAME", "DIRECTORY"}},
    {"remove", Action::kRemove, kRemoveHelp, 1, {"NAME"}},
};

const ActionSpec* FindAction(std::string_view name) {
  for (const auto& spec : kActions) {
    if (spec.name == name) return &spec;
  }
  return nullptr;
}

int Usage(std::ostream& err, const ActionSpec* spec, const std::string& message) {
  const std::string command = spec ? "alias " + std::string(spec->name) : std::string("alias");
  err << "vellum-cli: " << command << ": " << message << "\n"
      << "Try 'vellum-cli " << command << " --help'.\n";
  return kExitUsage;
}

int Failure(std::ostream& err, const ActionSpec& spec, const std::string& message) {
  err << "vellum-cli: alias " << spec.name << ": " << message << "\n";
  return kExitFailure;
}

using engine::Upper;
void List(const engine::AliasConfig& config, std::ostream& out) {
  for (const auto& alias : config.aliases()) {
    out << alias.name << ' ' << alias.type << ' ' << alias.path << '\n';
  }
}

int Add(const ActionSpec& spec, const std::string& config_path, const std::string& name,
        const std::string& directory, const std::string& driver, std::ostream& out,
        std::ostream& err) {
  namespace fs = std::filesystem;
  engine::AliasConfig config = engine::AliasConfig::Load(config_path);
  if (const engine::DatabaseDesc* existing = config.find(name)) {
    return Failure(err, spec,
                   "alias \"" + existing->name + "\" already exists in \"" + config_path + "\"");
  }
  std::error_code ec;
  if (directory.empty() || !fs::is_directory(directory, ec)) {
    return Failure(err, spec, "directory \"" + directory + "\" does not exist");
  }
  fs::path absolute = fs::absolute(directory).lexically_normal();
  // "/data/tables/" and "/data/tables" name the same directory; keep the
  // shorter form (the root keeps its separator).
  if (!absolute.has_filename() && absolute != absolute.root_path()) {
    absolute = absolute.parent_path();
  }
  const std::string path = absolute.string();
  // The file format trims each line, so a trailing blank would be lost.
  if (std::isspace(static_cast<unsigned char>(path.back()))) {
    return Failure(
        err, spec,
        "directory \"" + path + "\" ends with a blank, which the alias file cannot keep");
  }
  config.add(engine::DatabaseDesc{name, driver, path});
  config.save(config_path);
  out << "Added alias " << name << ' ' << driver << ' ' << path << '\n';
  return kExitOk;
}

int Remove(const ActionSpec& spec, const std::string& config_path, const std::string& name,
           std::ostream& out, std::ostream& err) {
  engine::AliasConfig config = engine::AliasConfig::Load(config_path);
  const engine::DatabaseDesc* existing = config.find(name);
  if (!existing) {
    return Failure(err, spec, "no alias \"" + name + "\" in \"" + config_path + "\"");
  }
  const std::string removed = existing->name;
  config.remove(name);
  config.save(config_path);
  out << "Removed alias " << removed << '\n';
  return kExitOk;
}

}  // namespace

int RunAlias(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const ActionSpec* spec = nullptr;
  std::vector<std::string> positional;
  std::optional<std::string> config_option;
  std::optional<std::string> driver_option;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (spec == nullptr) {
        spec = FindAction(arg);
        if (spec == nullptr) {
          return Usage(err, nullptr, "unknown action \"" + arg + "\" (list, add or remove)");
        }
      } else {
        positional.push_back(arg);
      }
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      out << (spec ? spec->help : kAliasHelp);
      return kExitOk;
    } else if (arg == "--config" || arg == "--driver") {
      if (i + 1 >= args.size()) return Usage(err, spec, arg + " needs a value");
      if (arg == "--config") {
        config_option = args[++i];
      } else {
        driver_option = args[++i];
      }
    } else if (arg.starts_with("--config=")) {
      config_option = arg.substr(9);
    } else if (arg.starts_with("--driver=")) {
      driver_option = arg.substr(9);
    } else {
      return Usage(err, spec, "unknown option " + arg);
    }
  }
  if (spec == nullptr) return Usage(err, nullptr, "missing action (list, add or remove)");
  if (positional.size() < spec->arguments) {
    return Usage(err, spec, "missing " + std::string(spec->argument_names[positional.size()]));
  }
  if (positional.size() > spec->arguments) {
    return Usage(err, spec, "unexpected argument \"" + positional[spec->arguments] + "\"");
  }
  if (config_option && config_option->empty()) {
    return Usage(err, spec, "--config needs a file name");
  }
  if (driver_option && spec->action != Action::kAdd) {
    return Usage(err, spec, "--driver applies only to alias add");
  }
  const std::string driver = Upper(driver_option.value_or(std::string(kStandardDriver)));
  if (driver != kStandardDriver) {
    return Usage(err, spec, "unknown driver \"" + *driver_option + "\" (only STANDARD)");
  }
  const std::string config_path =
      config_option ? *config_option : engine::AliasConfig::DefaultPath();

  try {
    int status = kExitOk;
    switch (spec->action) {
      case Action::kList:
        List(engine::AliasConfig::Load(config_path), out);
        break;
      case Action::kAdd:
        status = Add(*spec, config_path, positional[0], positional[1], driver, out, err);
        break;
      case Action::kRemove:
        status = Remove(*spec, config_path, positional[0], out, err);
        break;
    }
    out.flush();
    if (!out) return Failure(err, *spec, "cannot write the output");
    return status;
  } catch (const std::exception& e) {
    return Failure(err, *spec, e.what());
  } catch (...) {
    return Failure(err, *spec, "unexpected failure");
  }
}

}  // namespace vellum::cli
