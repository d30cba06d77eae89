// vellum-cli: reads Paradox tables from the command line (see cli/cli.h).
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  // The output is written with iostreams only; unsynchronised streams are
  // much faster for large dumps.
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return vellum::cli::RunCli(args, std::cout, std::cerr);
}
