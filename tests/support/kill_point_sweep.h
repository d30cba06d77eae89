// Kill-point sweeps: a build run again and again on fresh copies of the same
// files, the process dying at each numbered file operation in turn, once as
// a killed process (what it wrote stays in the page cache) or as a machine
// that loses power (what was not synced is lost). After each death the
// table must be whole: the old one or the new one, clean, with nothing of
// the interrupted restructure left beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"

namespace vellum::test {

enum class Crash { kKill, kPowerLoss };

struct SweepResult {
  int saw_old = 0;
  int saw_new = 0;
  std::vector<std::string> problems;  // kill points that left anything else
};

struct Sweep {
  std::string scratch;   // where the copies are made
  std::string pristine;  // the files each run starts from (a directory)
  std::string table;     // the table's path inside a copy, e.g. "ORDERS" or "out/T"
  uint64_t total = 0;    // numbered operations of a full run
  // Runs the build on a copy (its root directory) through a file system.
  std::function<void(const std::string& root, engine::FileSystem& fs)> build;
  // Reopens the table in a copy: -1 the old table, +1 the new one, else 0.
  std::function<int(const std::string& root)> which;
  // Optionally puts a file system of its own over the one the build is
  // given (to take a sync away, say).
  std::function<std::unique_ptr<engine::FileSystem>(engine::FileSystem&)> wrap;
};

SweepResult SweepKillPoints(const Sweep& sweep, Crash crash);

// Runs `build` in a child process through a file system that dies at its
// numbered operation `n` (killed, or losing power: what was not synced is
// gone), over `wrap`'s file system when given. False when the child did not
// exit (it exits when the build ends, fails or dies at `n`).
bool RunDyingAt(
    Crash crash, uint64_t n, const std::function<void(engine::FileSystem&)>& build,
    const std::function<std::unique_ptr<engine::FileSystem>(engine::FileSystem&)>& wrap = nullptr);

// Fails the test for each problem, and unless both tables were seen.
void ExpectWholeTables(const SweepResult& result);

const char* CrashName(Crash crash);

}  // namespace vellum::test
