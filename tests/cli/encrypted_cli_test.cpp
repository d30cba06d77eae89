// vellum-cli on encrypted tables: describe needs no password; dump and verify
// take theirs from --password (repeatable) and VELLUM_PASSWORD, and refuse a
// missing or a wrong one before they print anything. Expected rows come from
// pxlib, which reads the corpus's encrypted tables by itself.
extern "C" {
#include <paradox.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

using test::InvokeCli;
using test::ScopedEnvironment;

std::string Encrypted(const std::string& table) {
  return test::CorpusDir() + "/leonhad_paradoxdriver/encrypt/" + table;
}

// The rows of the corpus table encrypted.db (Id +, Text A30) as pxlib reads
// them, as CSV lines with the header line of field names.
std::string PxlibCsvOfEncryptedDb() {
  pxdoc_t* doc = PX_new();
  EXPECT_EQ(PX_open_file(doc, Encrypted("encrypted.db").c_str()), 0);
  std::string csv = "Id,Text\r\n";
  std::vector<char> record(static_cast<size_t>(PX_get_recordsize(doc)));
  for (int r = 0; r < PX_get_num_records(doc); ++r) {
    EXPECT_NE(PX_get_record(doc, r, record.data()), nullptr);
    long id = 0;
    PX_get_data_long(doc, record.data(), 4, &id);
    char* text = nullptr;
    PX_get_data_alpha(doc, record.data() + 4, 30, &text);
    csv += std::to_string(id) + "," + (text ? text : "") + "\r\n";
    if (text) doc->free(doc, text);
  }
  PX_close(doc);
  PX_delete(doc);
  return csv;
}

std::string MissingText(const std::string& path) {
  return "vellum-cli: Table \"" + path +
         "\" is encrypted; its rows cannot be read without its password\n";
}
std::string WrongText(const std::string& path) {
  return "vellum-cli: Table \"" + path +
         "\" is encrypted and the password given is not its password; its rows cannot be read\n";
}

TEST(CliEncryptedTest, DescribeNeedsNoPassword) {
  const ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
  const test::CliResult r = InvokeCli({"describe", Encrypted("encrypted.db")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"encrypted\": true"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"record_count\": 4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"name\": \"Text\""), std::string::npos) << r.out;
  const test::CliResult plain =
      InvokeCli({"describe", test::CorpusDir() + "/leonhad_paradoxdriver/db/CUSTOMER"});
  EXPECT_NE(plain.out.find("\"encrypted\": false"), std::string::npos) << plain.out;
}

TEST(CliEncryptedTest, DumpReadsTheRowsWithThePasswordGivenEitherWay) {
  const std::string expected = PxlibCsvOfEncryptedDb();
  ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 5);
  const std::string table = Encrypted("encrypted.db");
  {
    const ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"dump", table, "--password", "123"},
          {"dump", "--password=123", table},
          {"dump", table, "--password", "nope", "--password", "123"}}) {
      const test::CliResult r = InvokeCli(args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, expected);
      EXPECT_EQ(r.err, "");
    }
  }
  const ScopedEnvironment given("VELLUM_PASSWORD", "123");
  const test::CliResult r = InvokeCli({"dump", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
  // A wrong --password does not hide the right one in the environment.
  EXPECT_EQ(InvokeCli({"dump", table, "--password", "nope"}).out, expected);
}

TEST(CliEncryptedTest, AMissingAndAWrongPasswordAreRefusedBeforeAnythingIsPrinted) {
  const ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
  for (const char* name : {"encrypted.db", "encrypted35.db", "encryptedmemo.db"}) {
    SCOPED_TRACE(name);
    const std::string table = Encrypted(name);
    for (const char* command : {"dump", "verify"}) {
      test::CliResult r = InvokeCli({command, table});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, MissingText(table));
      r = InvokeCli({command, table, "--password", "1234"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, WrongText(table));
    }
  }
  const ScopedEnvironment wrong("VELLUM_PASSWORD", "321");
  const test::CliResult r = InvokeCli({"dump", Encrypted("encrypted.db")});
  EXPECT_EQ(r.err, WrongText(Encrypted("encrypted.db")));
}

TEST(CliEncryptedTest, VerifyChecksTheEncryptedTablesWithTheirPassword) {
  const ScopedEnvironment given("VELLUM_PASSWORD", "123");
  for (const char* name : {"encrypted.db", "encrypted35.db", "encryptedmemo.db"}) {
    const test::CliResult r = InvokeCli({"verify", Encrypted(name)});
    EXPECT_EQ(r.status, 0) << name << ": " << r.out << r.err;
    EXPECT_EQ(r.out, "OK\n") << name;
  }
}

TEST(CliEncryptedTest, APasswordOptionNeedsAValueAndDescribeTakesNone) {
  const std::string table = Encrypted("encrypted.db");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"dump", table, "--password"},
        {"dump", table, "--password="},
        {"verify", table, "--password", ""},
        {"describe", table, "--password", "123"}}) {
    const test::CliResult r = InvokeCli(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.out, "");
  }
}

// ---------------------------------------------------------------------------
// rebuild

constexpr const char* kPassword = "pw of T";

// A dictionary in <temp>/dict describing SHOP.T (ID Integer key, NAME
// String 30), and T in <temp>/work as it was (NAME String 20) with one row,
// encrypted under kPassword.
class CliEncryptedRebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InvokeCli({"create-dictionary", dict_}).status, 0);
    {
      engine::Session session(dir_.file("aliases.conf"));
      test::ScriptedUi ui;
      dictionary::TdmDataDictionary dm(session, ui);
      dm.OpenDictionary(dict_);
      test::AddTableRow(dm, "SHOP", "T");
      test::AddFieldRow(dm, {"ID", "Integer", {}});
      test::AddFieldRow(dm, {"NAME", "String", 30});
      test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
    }
    std::filesystem::create_directories(work_);
    using engine::paradox::Table;
    engine::paradox::TableDefinition def;
    def.fields = {{"ID", engine::FieldType::kInteger, 0}, {"NAME", engine::FieldType::kString, 20}};
    def.indexes = {{"", {"ID"}, true, true}};
    def.password_checksum = engine::paradox::PasswordChecksum(kPassword);
    Table::Create(work_, "T", def);
    Table::Open(work_, "T", {.writable = true, .passwords = {kPassword}})
        ->insert({int64_t{7}, std::string("Plum")});
  }

  test::CliResult Rebuild(std::vector<std::string> extra) {
    std::vector<std::string> args = {
        "rebuild", "-p", dict_, "-t", "SHOP.T", "-d", work_, "--config", dir_.file("aliases.conf")};
    args.insert(args.end(), extra.begin(), extra.end());
    return InvokeCli(args);
  }

  uint32_t HeaderChecksum() const {
    const std::string bytes = test::ReadFile(work_ + "/T.DB");
    return engine::paradox::LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data()) + 0x5C);
  }

  // T's NAME size and rows, read with the password; the table must be
  // sealed without it.
  void ExpectRestructuredAndEncrypted() {
    using engine::paradox::Table;
    EXPECT_EQ(HeaderChecksum(), engine::paradox::PasswordChecksum(kPassword));
    EXPECT_FALSE(Table::Open(work_, "T")->rowsReadable());
    auto t = Table::Open(work_, "T", {.passwords = {kPassword}});
    EXPECT_EQ(t->structure().fields[1].size, 30);
    EXPECT_EQ(t->read(0), (engine::paradox::Row{int64_t{7}, std::string("Plum")}));
  }

  test::TempDir dir_;
  std::string dict_ = dir_.path() + "/dict";
  std::string work_ = dir_.path() + "/work";
};

TEST_F(CliEncryptedRebuildTest, WithoutItsPasswordThePlanRefusesTheTableAndTheRunChangesNothing) {
  const ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
  const auto before = test::SnapshotFiles(work_);
  const std::string data_file = work_ + "/T.DB";
  const std::string missing = "Cannot restructure table \"T\" keeping its rows: Table \"" +
                              data_file +
                              "\" is encrypted; its rows cannot be read without its password";
  const std::string wrong = "Cannot restructure table \"T\" keeping its rows: Table \"" +
                            data_file +
                            "\" is encrypted and the password given is not its password; its "
                            "rows cannot be read";
  for (const auto& [extra, refusal] :
       {std::pair{std::vector<std::string>{"--plan"}, missing},
        {std::vector<std::string>{"--plan", "--password", "nope"}, wrong},
        {std::vector<std::string>{}, missing}}) {
    SCOPED_TRACE(extra.size());
    const test::CliResult r = Rebuild(extra);
    EXPECT_EQ(r.status, 1);
    if (extra.empty()) {
      EXPECT_EQ(r.err, "vellum-cli: rebuild: " + refusal + "\n");
    } else {
      EXPECT_NE(r.out.find("fails: " + refusal + "\n"), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "vellum-cli: rebuild: SHOP.T: " + refusal + "\n");
    }
    EXPECT_EQ(r.out.find(kPassword), std::string::npos);
    EXPECT_EQ(r.err.find("nope"), std::string::npos);  // no password is ever printed
    EXPECT_EQ(test::SnapshotFiles(work_), before);
  }
}

TEST_F(CliEncryptedRebuildTest, ThePasswordOptionOrTheEnvironmentRestructuresTheTableEncrypted) {
  {
    const ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
    const test::CliResult plan = Rebuild({"--plan", "--password", kPassword});
    EXPECT_EQ(plan.status, 0) << plan.err;
    const test::CliResult r =
        Rebuild({"--password", "other", "--password=" + std::string(kPassword)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(kPassword), std::string::npos);
    ExpectRestructuredAndEncrypted();
  }
  // The whole alias again, with the password in the environment.
  {
    engine::Session session(dir_.file("aliases.conf"));
    test::ScriptedUi ui;
    dictionary::TdmDataDictionary dm(session, ui);
    dm.OpenDictionary(dict_);
    test::AddTableRow(dm, "SHOP", "U");  // an absent table: created, not encrypted
    test::AddFieldRow(dm, {"ID", "Integer", {}});
  }
  const ScopedEnvironment given("VELLUM_PASSWORD", kPassword);
  const test::CliResult r = InvokeCli(
      {"rebuild", "-p", dict_, "-a", "SHOP", "-d", work_, "--config", dir_.file("aliases.conf")});
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectRestructuredAndEncrypted();
  EXPECT_FALSE(
      engine::paradox::Table::Open(work_, "U")->structure().encrypted());  // nothing to keep
}

}  // namespace
}  // namespace vellum::cli
