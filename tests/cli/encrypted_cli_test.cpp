// vellum-cli on encrypted tables: describe needs no password; dump and verify
// take theirs from --password (repeatable) and VELLUM_PASSWORD, and refuse a
// missing or a wrong one before they print anything. Expected rows come from
// pxlib, which reads the corpus's encrypted tables by itself.
extern "C" {
#include <paradox.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/cli_invoke.h"
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

}  // namespace
}  // namespace vellum::cli
