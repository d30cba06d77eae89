// Runs vellum-cli in-process for tests and keeps its exit status and output.
#pragma once

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"

namespace vellum::test {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Sets an environment variable (or, with nullopt, removes it) for the life
// of a scope, then puts back what it was.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline CliResult InvokeCli(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  CliResult r;
  r.status = cli::RunCli(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace vellum::test
