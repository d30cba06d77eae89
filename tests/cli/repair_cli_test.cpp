// Tests of `vellum-cli repair`: its arguments, its report and exit status,
// and the repair of a data dictionary left damaged by a killed load, after
// which the dictionary serves the other commands again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "engine/paradox/table.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;
using engine::paradox::Row;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using test::InvokeCli;

uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// A keyed table T of `rows` rows in 1 KB blocks, with a secondary index.
void CreateTable(const std::string& dir, int rows) {
  TableDefinition def;
  def.fields = {{"Id", engine::FieldType::kInteger, 0, false},
                {"Name", engine::FieldType::kString, 30, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"Name", {"Name"}, false, false, false, false}};
  def.block_kb = 1;
  Table::Create(dir, "T", def);
  auto t = Table::Open(dir, "T", {.writable = true, .exclusive = true});
  for (int i = 0; i < rows; ++i) t->insert(Row{int64_t{i}, "row " + std::to_string(i)});
}

// The lines of a CSV dump, header first.
size_t DumpLines(const std::string& table) {
  const test::CliResult dump = InvokeCli({"dump", table});
  EXPECT_EQ(dump.status, kExitOk) << dump.err;
  return static_cast<size_t>(std::count(dump.out.begin(), dump.out.end(), '\n'));
}

TEST(RepairCliTest, BadArgumentsAreUsageErrors) {
  EXPECT_EQ(InvokeCli({"repair"}).status, kExitUsage);
  EXPECT_EQ(InvokeCli({"repair", "A", "B"}).status, kExitUsage);
  const test::CliResult unknown = InvokeCli({"repair", "A", "--json"});
  EXPECT_EQ(unknown.status, kExitUsage);
  EXPECT_EQ(unknown.err,
            "vellum-cli: repair: unknown option --json\nTry 'vellum-cli repair --help'.\n");
  const test::CliResult help = InvokeCli({"repair", "--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_EQ(help.out.rfind("Usage: vellum-cli repair TABLE", 0), 0u);
}

TEST(RepairCliTest, AMissingTableFailsNamingIt) {
  test::TempDir dir;
  const test::CliResult r = InvokeCli({"repair", dir.file("NOPE")});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_NE(r.err.find("NOPE.DB\" does not exist"), std::string::npos) << r.err;
}

TEST(RepairCliTest, ASoundTableIsRepairedIntoTheSameRowsWithExitZero) {
  test::TempDir dir;
  CreateTable(dir.path(), 120);
  const std::string table = dir.file("T");
  const std::string before = InvokeCli({"dump", table}).out;
  const test::CliResult r = InvokeCli({"repair", table});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Table \"T\" repaired: 120 rows kept; indexes made anew: primary key, Name.\n");
  EXPECT_EQ(InvokeCli({"dump", table}).out, before);
}

TEST(RepairCliTest, LostRecordsAreReportedWithExitOneAndTheRestKept) {
  test::TempDir dir;
  CreateTable(dir.path(), 200);
  const std::string table = dir.file("T");
  std::string db = test::ReadFile(dir.file("T.DB"));
  const size_t header = Le16(db, 2);
  const uint16_t blocks = Le16(db, 0x0C);
  const size_t record = Le16(db, 0);
  // The last block is cut off the file; the index is deleted.
  const size_t last = header + (blocks - 1) * size_t{1024};
  const size_t lost = static_cast<int16_t>(Le16(db, last + 4)) / record + 1;
  db.resize(last + 3);
  test::WriteFile(dir.file("T.DB"), db);
  fs::remove(dir.file("T.PX"));
  ASSERT_EQ(InvokeCli({"verify", table}).status, kExitFailure);

  const test::CliResult r = InvokeCli({"repair", table});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_NE(r.out.find("1 block of the data file could not be read: the records in it are lost.\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find(std::to_string(lost) + " records that the header counts could not be found."),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Table \"T\" repaired: " + std::to_string(200 - lost) + " rows kept"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("not everything could be kept"), std::string::npos) << r.err;
  EXPECT_EQ(InvokeCli({"verify", table}).status, kExitOk);
  EXPECT_EQ(DumpLines(table), 1 + 200 - lost);
}

// A load killed in the middle leaves DDFields with blocks its header and its
// primary index do not know: the header of an earlier moment over the data
// of a later one. Repair makes the dictionary usable again, every field row
// kept.
TEST(RepairCliTest, ADictionaryDamagedAsAKilledLoadLeavesItIsUsableAgain) {
  test::TempDir dir;
  const std::string src = dir.file("src");
  const std::string dict = dir.file("dict");
  test::CopyFolderFiles(test::CorpusDir() + "/WarrenPinnacle_AQUATOX3.1plus", src);
  ASSERT_EQ(InvokeCli({"create-dictionary", dict}).status, kExitOk);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(src)) {
    const std::string ext = e.path().extension().string();
    if (ext == ".DB" || ext == ".db") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  ASSERT_GT(names.size(), 10u);
  std::vector<std::string> first = {"load", "-p", dict, "--source", src, "--as", "A", "--yes-all"};
  first.insert(first.end(), names.begin(), names.begin() + 3);
  ASSERT_EQ(InvokeCli(first).status, kExitOk);
  const std::string early_db = test::ReadFile(dict + "/DDFields.DB");
  const std::string early_px = test::ReadFile(dict + "/DDFields.PX");
  std::vector<std::string> rest = {"load", "-p", dict, "--source", src, "--as", "A", "--yes-all"};
  rest.insert(rest.end(), names.begin() + 3, names.end());
  ASSERT_EQ(InvokeCli(rest).status, kExitOk);
  const size_t field_rows = DumpLines(dict + "/DDFields");
  const std::string listing = dir.file("before.txt");
  ASSERT_EQ(InvokeCli({"list", "-p", dict, "--alias", "A", "-o", listing}).status, kExitOk);

  // The header and primary index of the earlier moment.
  std::string db = test::ReadFile(dict + "/DDFields.DB");
  ASSERT_GT(db.size(), early_db.size());
  const size_t header = Le16(db, 2);
  db.replace(0, header, early_db.substr(0, header));
  test::WriteFile(dict + "/DDFields.DB", db);
  test::WriteFile(dict + "/DDFields.PX", early_px);
  ASSERT_EQ(InvokeCli({"verify", dict + "/DDFields"}).status, kExitFailure);

  const test::CliResult r = InvokeCli({"repair", dict + "/DDFields"});
  EXPECT_EQ(r.status, kExitOk) << r.out << r.err;
  EXPECT_NE(r.out.find("Damage found in the data file:"), std::string::npos) << r.out;
  EXPECT_EQ(InvokeCli({"verify", dict + "/DDFields"}).status, kExitOk);
  EXPECT_EQ(DumpLines(dict + "/DDFields"), field_rows);
  const std::string after = dir.file("after.txt");
  ASSERT_EQ(InvokeCli({"list", "-p", dict, "--alias", "A", "-o", after}).status, kExitOk);
  EXPECT_EQ(test::ReadFile(after), test::ReadFile(listing));
}

// Every table of the corpus of real tables is repaired into the rows it
// held, byte for byte as dump prints them, and passes the integrity check
// after; a table whose blob file is missing loses the values that lived
// there, and says so.
TEST(RepairCliTest, EveryCorpusTableIsRepairedIntoTheRowsItHeld) {
  test::TempDir dir;
  std::map<std::string, std::vector<std::string>> folders;
  for (const auto& e : fs::recursive_directory_iterator(test::CorpusDir())) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!e.is_regular_file() || ext != ".DB") continue;
    folders[fs::relative(e.path().parent_path(), test::CorpusDir()).generic_string()].push_back(
        e.path().stem().string());
  }
  size_t tables = 0;
  int number = 0;
  for (const auto& [folder, names] : folders) {
    const std::string work = dir.file("c" + std::to_string(++number));
    test::CopyFolderFiles(test::CorpusDir() + "/" + folder, work);
    for (const std::string& name : names) {
      SCOPED_TRACE(folder + "/" + name);
      ++tables;
      const std::string table = work + "/" + name;
      const test::CliResult before =
          InvokeCli({"dump", table, "--format", "json", "--password", "123"});
      const test::CliResult r = InvokeCli({"repair", table, "--password", "123"});
      EXPECT_EQ(InvokeCli({"verify", table, "--password", "123"}).status, kExitOk);
      const test::CliResult after =
          InvokeCli({"dump", table, "--format", "json", "--password", "123"});
      if (name == "MEMBRE") {
        EXPECT_EQ(r.status, kExitFailure);
        EXPECT_NE(r.out.find("blob values could not be read and are kept empty:\n  a value of "
                             "field \"Memo\": the blob file MEMBRE.MB is missing"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(after.status, kExitOk);
        continue;
      }
      EXPECT_EQ(r.status, kExitOk) << r.out << r.err;
      ASSERT_EQ(before.status, kExitOk) << before.err;
      EXPECT_EQ(after.out, before.out);
    }
  }
  EXPECT_GT(tables, 80u);
}

}  // namespace
}  // namespace vellum::cli
