// vellum-cli: the headless command line over the engine.
//
// RunCli is the whole program apart from main(): it parses the arguments,
// runs one command and writes its results to `out` and its diagnostics to
// `err`, so tests can run it in-process with string streams. describe, dump
// and verify open tables read-only; only create-dictionary, rebuild and load
// write tables (rebuild --plan changes nothing; load writes only the
// dictionary's tables), and list writes the file it is given.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace vellum::cli {

// Exit statuses of the program.
inline constexpr int kExitOk = 0;
// The table could not be read, or verify found problems.
inline constexpr int kExitFailure = 1;
// Unknown command, bad option or missing argument.
inline constexpr int kExitUsage = 2;
// A load or rebuild stopped by SIGINT between tables (128 + SIGINT, as a
// shell reports a program ended by it).
inline constexpr int kExitInterrupted = 130;

// Runs the program with `args`, the command-line arguments after the program
// name. Returns the exit status. Never throws (failures to write to `out` are
// reported on `err` with kExitFailure).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace vellum::cli
