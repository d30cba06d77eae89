#include "cli/command_options.h"

#include <cstdlib>
#include <ostream>

#include "cli/cli.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/fs/file_system.h"

namespace vellum::cli {

bool OptionReader::done() {
  if (!error_.empty()) return true;
  if (!options_done_ && next_ < args_.size() && args_[next_] == "--") {
    options_done_ = true;
    ++next_;
  }
  return next_ >= args_.size();
}

bool OptionReader::positional() const {
  const std::string& arg = args_[next_];
  return options_done_ || arg.size() < 2 || arg[0] != '-';
}

bool OptionReader::flag(std::string_view name) {
  if (positional() || current() != name) return false;
  ++next_;
  return true;
}

bool OptionReader::value(std::string_view name, std::string* value) {
  if (positional()) return false;
  const std::string& arg = current();
  // Long options take "=VALUE", a one-letter option the rest of the argument.
  const bool long_option = name.starts_with("--");
  const std::string joined = long_option ? std::string(name) + "=" : std::string(name);
  if (arg == name) {
    if (next_ + 1 >= args_.size()) {
      error_ = std::string(name) + " needs a value";
      ++next_;
      return true;
    }
    *value = args_[next_ + 1];
    next_ += 2;
  } else if (arg.starts_with(joined)) {
    *value = arg.substr(joined.size());
    ++next_;
  } else {
    return false;
  }
  if (value->empty()) error_ = std::string(name) + " needs a value";
  return true;
}

int CommandUsage(std::ostream& err, std::string_view command, const std::string& message) {
  err << "vellum-cli: " << command << ": " << message << "\n"
      << "Try 'vellum-cli " << command << " --help'.\n";
  return kExitUsage;
}

int CommandFailure(std::ostream& err, std::string_view command, const std::exception& e) {
  err << "vellum-cli: " << command << ": " << e.what() << "\n";
  if (const auto* engine_error = dynamic_cast<const engine::EDBEngineError*>(&e)) {
    for (size_t i = 1; i < engine_error->entries().size(); ++i) {
      const std::string& detail = engine_error->entries()[i].message;
      if (detail != e.what()) err << "  " << detail << "\n";
    }
  }
  err.flush();
  return kExitFailure;
}

int FinishOutput(std::ostream& out, std::ostream& err, std::string_view command, int status) {
  out.flush();
  if (!out) {
    err << "vellum-cli: " << command << ": cannot write the output\n";
    return kExitFailure;
  }
  return status;
}

std::vector<std::string> CommandPasswords(std::vector<std::string> options) {
  const char* environment = std::getenv("VELLUM_PASSWORD");
  if (environment != nullptr && *environment != '\0') options.emplace_back(environment);
  return options;
}

bool CheckProjectDirectory(const std::string& directory, std::string_view command,
                           std::ostream& err) {
  engine::FileSystem& fs = engine::FileSystem::Default();
  if (!fs.isDirectory(directory)) {
    err << "vellum-cli: " << command << ": \"" << directory << "\" is not a directory\n";
    return false;
  }
  if (!dictionary::IsProjectDirectory(directory, fs)) {
    err << "vellum-cli: " << command << ": \"" << directory
        << "\" is not a project directory: DDTables.DB is missing\n";
    return false;
  }
  return true;
}

}  // namespace vellum::cli
