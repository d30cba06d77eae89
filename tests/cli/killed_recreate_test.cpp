// `vellum-cli rebuild -a ALIAS -c` that dies at any numbered file operation,
// killed or losing power, leaves every table of the alias whole: the old one
// (its rows) or the new one (empty, the new structure), never absent. And a
// real run killed at random moments leaves the same.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_module.h"
#include "engine/fs/fault_file_system.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::test {
namespace {

namespace stdfs = std::filesystem;
using engine::FieldType;
using engine::FileSystem;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

constexpr int kOldRows = 30;

std::string Name(int i) { return "T" + std::to_string(i); }

// In `root`: the dictionary "dict" describing `tables` tables of alias SHOP
// (NAME String(20)), and the old tables in "shop" (NAME String(10), rows).
void MakeRoot(const std::string& root, int tables) {
  stdfs::create_directories(root + "/shop");
  ASSERT_EQ(InvokeCli({"create-dictionary", root + "/dict"}).status, 0);
  WriteFile(root + "/aliases.conf", "SHOP STANDARD " + root + "/shop\n");
  {
    engine::Session session(root + "/aliases.conf");
    ScriptedUi ui;
    dictionary::TdmDataDictionary dm(session, ui);
    dm.OpenDictionary(root + "/dict");
    for (int i = 0; i < tables; ++i) {
      AddTableRow(dm, "SHOP", Name(i));
      AddFieldRow(dm, {"ID", "Integer", {}});
      AddFieldRow(dm, {"NAME", "String", 20});
      AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
      AddIndexRow(dm, {"NAME", "NAME"});
    }
  }
  for (int i = 0; i < tables; ++i) {
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0}, FieldDef{"NAME", FieldType::kString, 10}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"NAME", {"NAME"}}};
    Table::Create(root + "/shop", Name(i), def);
    auto t = Table::Open(root + "/shop", Name(i), {.writable = true});
    for (int id = 1; id <= kOldRows; ++id) t->insert({int64_t{id}, std::string("old")});
  }
}

std::vector<std::string> RecreateArgs(const std::string& root) {
  return {"rebuild", "--config", root + "/aliases.conf", "-p", root + "/dict", "-a", "SHOP", "-c"};
}

// Each table of `root`: -1 old, +1 new, 0 absent or not whole.
int WhichTable(const std::string& root, const std::string& name) {
  try {
    auto t = Table::Open(root + "/shop", name);  // recovers what a death left
    for (const std::string& p : t->verify()) ADD_FAILURE() << name << ": " << p;
    const int size = t->structure().fields[1].size;
    if (size == 10 && t->recordCount() == kOldRows) return -1;
    if (size == 20 && t->recordCount() == 0) return 1;
    ADD_FAILURE() << name << ": NAME(" << size << "), " << t->recordCount() << " rows";
  } catch (const std::exception& e) {
    ADD_FAILURE() << name << ": " << e.what();
  }
  return 0;
}

TEST(KilledRecreateTest, ARecreationDyingAtAnyWriteLeavesEachTableOldOrNewNeverAbsent) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  MakeRoot(pristine, 3);
  const std::string whole = scratch.file("whole");
  stdfs::copy(pristine, whole, stdfs::copy_options::recursive);
  WriteFile(whole + "/aliases.conf", "SHOP STANDARD " + whole + "/shop\n");
  engine::FaultFileSystem counter(FileSystem::Default());
  FileSystem::SetDefault(&counter);
  const CliResult done = InvokeCli(RecreateArgs(whole));
  FileSystem::SetDefault(nullptr);
  ASSERT_EQ(done.status, 0) << done.err;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WhichTable(whole, Name(i)), 1);

  Sweep sweep;
  sweep.scratch = scratch.path();
  sweep.pristine = pristine;
  sweep.table = "shop/T0";
  sweep.total = counter.operations();
  sweep.build = [](const std::string& root, FileSystem& fs) {
    WriteFile(root + "/aliases.conf", "SHOP STANDARD " + root + "/shop\n");
    FileSystem::SetDefault(&fs);
    InvokeCli(RecreateArgs(root));
  };
  sweep.which = [](const std::string& root) {
    int olds = 0, news = 0;
    for (int i = 0; i < 3; ++i) {
      const int which = WhichTable(root, Name(i));
      if (which == 0) return 0;
      (which < 0 ? olds : news) += 1;
    }
    // Some made anew, the others old: each whole, as it may be.
    return news == 3 ? 1 : -1;
  };
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    ExpectWholeTables(SweepKillPoints(sweep, crash));
  }
}

TEST(KilledRecreateTest, ARealRecreationKilledAtRandomMomentsLeavesEveryTableOldOrNew) {
  TempDir scratch;
  constexpr int kTables = 30;
  const std::string pristine = scratch.file("pristine");
  MakeRoot(pristine, kTables);
  std::minstd_rand random(20261209);
  int saw_old = 0, saw_new = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string root = scratch.file("run" + std::to_string(attempt));
    stdfs::copy(pristine, root, stdfs::copy_options::recursive);
    WriteFile(root + "/aliases.conf", "SHOP STANDARD " + root + "/shop\n");
    const int delay_ms = 10 + static_cast<int>(random() % 80);
    SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::vector<std::string> args = RecreateArgs(root);
      std::vector<char*> argv;
      const std::string cli = CliPath();
      argv.push_back(const_cast<char*>(cli.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
      execv(cli.c_str(), argv.data());
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    for (int i = 0; i < kTables; ++i) {
      const int which = WhichTable(root, Name(i));
      EXPECT_NE(which, 0) << Name(i);
      (which < 0 ? saw_old : saw_new) += which != 0;
    }
    // The next run makes every table anew.
    const CliResult again = InvokeCli(RecreateArgs(root));
    EXPECT_EQ(again.status, 0) << again.err;
    for (int i = 0; i < kTables; ++i) EXPECT_EQ(WhichTable(root, Name(i)), 1) << Name(i);
    stdfs::remove_all(root);
  }
  EXPECT_GT(saw_old, 0);
}

}  // namespace
}  // namespace vellum::test
