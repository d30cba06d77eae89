#include "tests/support/kill_point_sweep.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>

#include "engine/fs/fault_file_system.h"
#include "engine/fs/power_loss_file_system.h"
#include "engine/paradox/table.h"
#include "engine/rollback_journal.h"

namespace vellum::test {

namespace {

namespace stdfs = std::filesystem;
using engine::FaultFileSystem;
using engine::FileSystem;
using engine::PowerLossFileSystem;

// Runs the build in a child that dies at operation `n`.
bool RunChild(const Sweep& sweep, Crash crash, uint64_t n, const std::string& root) {
  return RunDyingAt(
      crash, n, [&](FileSystem& fs) { sweep.build(root, fs); }, sweep.wrap);
}

// What the reopened table is after a death in a copy.
void Inspect(const Sweep& sweep, const std::string& root, const std::string& at,
             SweepResult* result) {
  const std::string path = root + "/" + sweep.table;
  const std::string directory = engine::DirectoryOf(path);
  try {
    switch (sweep.which(root)) {  // the open recovers
      case -1:
        ++result->saw_old;
        break;
      case 1:
        ++result->saw_new;
        break;
      default:
        result->problems.push_back(at + "a table that is neither old nor new");
    }
    auto t = engine::paradox::Table::Open(directory, engine::FileNameOf(path));
    for (const auto& p : t->verify()) result->problems.push_back(at + p);
  } catch (const std::exception& e) {
    result->problems.push_back(at + e.what());
  }
  for (const auto& entry : stdfs::directory_iterator(directory)) {
    const std::string f = entry.path().filename().string();
    if (f.find("restructure") != std::string::npos || f.find(".JNL") != std::string::npos ||
        f.ends_with(engine::RollbackJournalName(""))) {
      result->problems.push_back(at + "left " + f);
    }
  }
}

}  // namespace

bool RunDyingAt(Crash crash, uint64_t n, const std::function<void(FileSystem&)>& build,
                const std::function<std::unique_ptr<FileSystem>(FileSystem&)>& wrap) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    PowerLossFileSystem power(FileSystem::Default());
    FileSystem& disk = crash == Crash::kPowerLoss ? power : FileSystem::Default();
    std::unique_ptr<FileSystem> wrapped = wrap ? wrap(disk) : nullptr;
    FaultFileSystem fs(wrapped ? *wrapped : disk);
    if (crash == Crash::kPowerLoss) fs.on_crash = [&power] { power.dropUnsynced(); };
    fs.arm(n, FaultFileSystem::Mode::kCrash);
    try {
      build(fs);
    } catch (...) {
      std::_Exit(3);
    }
    std::_Exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status);
}

SweepResult SweepKillPoints(const Sweep& sweep, Crash crash) {
  SweepResult result;
  for (uint64_t n = 1; n <= sweep.total; ++n) {
    const std::string root = sweep.scratch + "/run" + std::to_string(n);
    stdfs::create_directories(root);
    stdfs::copy(sweep.pristine, root, stdfs::copy_options::recursive);
    const std::string at = std::string(CrashName(crash)) + " at " + std::to_string(n) + ": ";
    if (!RunChild(sweep, crash, n, root)) {
      result.problems.push_back(at + "the child did not exit");
    } else {
      Inspect(sweep, root, at, &result);
    }
    stdfs::remove_all(root);
  }
  return result;
}

void ExpectWholeTables(const SweepResult& result) {
  for (const auto& p : result.problems) ADD_FAILURE() << p;
  EXPECT_GT(result.saw_old, 0);
  EXPECT_GT(result.saw_new, 0);
}

const char* CrashName(Crash crash) { return crash == Crash::kKill ? "killed" : "power lost"; }

}  // namespace vellum::test
