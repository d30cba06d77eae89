// A load that dies at any numbered file operation, killed or losing power,
// leaves every table of the dictionary whole: as before the load or after
// it, never between, and clean for the integrity check. And a real
// `vellum-cli load` killed at random moments leaves a dictionary that
// verifies clean.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/fs/fault_file_system.h"
#include "engine/paradox/table.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/kill_point_sweep.h"
#include "tests/support/temp_dir.h"

namespace vellum::test {
namespace {

namespace stdfs = std::filesystem;
using engine::FieldType;
using engine::FileSystem;
using engine::Value;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::OpenOptions;
using engine::paradox::Row;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

// Source tables of `fields` fields each, keyed, with a secondary index.
void MakeSource(const std::string& dir, int tables, int fields) {
  stdfs::create_directories(dir);
  for (int t = 0; t < tables; ++t) {
    TableDefinition def;
    def.fields.push_back(FieldDef{"ID", FieldType::kInteger, 0});
    for (int f = 1; f < fields; ++f) {
      def.fields.push_back(FieldDef{"FIELD" + std::to_string(f),
                                    f % 2 ? FieldType::kString : FieldType::kFloat, 10 + f});
    }
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"ByField1", {"FIELD1"}}};
    Table::Create(dir, "SRC" + std::to_string(t), def);
  }
}

// Every row of every table of the dictionary in `dict`, by table (the opens
// recover).
std::map<std::string, std::vector<std::string>> DictionaryRows(const std::string& dict) {
  std::map<std::string, std::vector<std::string>> rows;
  for (const std::string& name : engine::paradox::ListTables(dict)) {
    auto t = Table::Open(dict, name);
    Table::Scanner scan(*t);
    Row row;
    auto& lines = rows[name];
    while (scan.next(row)) {
      std::string line;
      for (const Value& v : row) line += engine::ValueToText(v) + "|";
      lines.push_back(line);
    }
  }
  return rows;
}

std::vector<std::string> LoadArgs(const std::string& root) {
  return {"load",        "--config",     root + "/aliases.conf",
          "-p",          root + "/dict", "--source",
          root + "/src", "--as",         "A",
          "--yes-all"};
}

TEST(KilledLoadTest, ALoadDyingAtAnyWriteLeavesEachDictionaryTableBeforeOrAfterIt) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  MakeSource(pristine + "/src", 3, 12);
  ASSERT_EQ(InvokeCli({"create-dictionary", pristine + "/dict"}).status, 0);
  // Loaded once before: the load adds to tables that hold rows.
  {
    const std::string first = scratch.file("first");
    MakeSource(first, 2, 6);
    std::vector<std::string> args = LoadArgs(pristine);
    args[6] = first;
    args[8] = "B";
    ASSERT_EQ(InvokeCli(args).status, 0);
  }
  const auto old_rows = DictionaryRows(pristine + "/dict");

  const std::string whole = scratch.file("whole");
  stdfs::copy(pristine, whole, stdfs::copy_options::recursive);
  engine::FaultFileSystem counter(FileSystem::Default());
  FileSystem::SetDefault(&counter);
  const int status = InvokeCli(LoadArgs(whole)).status;
  FileSystem::SetDefault(nullptr);
  ASSERT_EQ(status, 0);
  const auto new_rows = DictionaryRows(whole + "/dict");
  ASSERT_NE(old_rows, new_rows);

  Sweep sweep;
  sweep.scratch = scratch.path();
  sweep.pristine = pristine;
  sweep.table = "dict/DDFields";
  sweep.total = counter.operations();
  sweep.build = [](const std::string& root, FileSystem& fs) {
    FileSystem::SetDefault(&fs);
    InvokeCli(LoadArgs(root));
  };
  // Each table is its own transaction: each must be the old or the new.
  sweep.which = [&](const std::string& root) {
    const auto now = DictionaryRows(root + "/dict");
    if (now == old_rows) return -1;
    if (now == new_rows) return 1;
    for (const auto& [table, rows] : now) {
      if (rows != old_rows.at(table) && rows != new_rows.at(table)) return 0;
      for (const std::string& p : Table::Open(root + "/dict", table)->verify()) {
        ADD_FAILURE() << table << ": " << p;
      }
    }
    return -1;  // partly loaded, table by table
  };
  for (Crash crash : {Crash::kKill, Crash::kPowerLoss}) {
    SCOPED_TRACE(CrashName(crash));
    ExpectWholeTables(SweepKillPoints(sweep, crash));
  }
}

TEST(KilledLoadTest, ARealLoadKilledAtRandomMomentsLeavesADictionaryThatVerifiesClean) {
  TempDir scratch;
  const std::string pristine = scratch.file("pristine");
  MakeSource(pristine + "/src", 40, 30);
  ASSERT_EQ(InvokeCli({"create-dictionary", pristine + "/dict"}).status, 0);
  std::minstd_rand random(20261209);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string root = scratch.file("run" + std::to_string(attempt));
    stdfs::copy(pristine, root, stdfs::copy_options::recursive);
    const int delay_ms = 10 + static_cast<int>(random() % 80);
    SCOPED_TRACE("killed after " + std::to_string(delay_ms) + " ms");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::vector<std::string> args = LoadArgs(root);
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
    const CliResult verify = InvokeCli({"verify", root + "/dict/DDFields"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    for (const std::string& name : engine::paradox::ListTables(root + "/dict")) {
      auto t = Table::Open(root + "/dict", name);
      EXPECT_EQ(t->verify(), std::vector<std::string>{}) << name;
    }
    for (const auto& entry : stdfs::directory_iterator(root + "/dict")) {
      EXPECT_FALSE(entry.path().filename().string().ends_with("-journal"))
          << entry.path().filename();
    }
    stdfs::remove_all(root);
  }
}

}  // namespace
}  // namespace vellum::test
