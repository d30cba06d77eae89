// Runs vellum-cli in-process for tests and keeps its exit status and output.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace vellum::test {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
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
