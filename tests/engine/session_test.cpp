#include "engine/session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using test::TempDir;

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(SessionTest, AliasesComeFromTheConfigurationFileInItsOrder) {
  TempDir dir;
  const std::string conf = dir.file("aliases.conf");
  WriteText(conf, "# test\nZeta STANDARD " + dir.path() + "/z dir\n\nalpha STANDARD /nowhere\n");
  Session s(conf);
  auto list = s.databaseList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "Zeta");
  EXPECT_EQ(list[0].type, "STANDARD");
  EXPECT_EQ(list[0].path, dir.path() + "/z dir");
  EXPECT_EQ(list[1].name, "alpha");
  EXPECT_TRUE(s.isAlias("ZETA"));
  EXPECT_FALSE(s.isAlias("beta"));
  EXPECT_EQ(s.aliasPath("Alpha"), "/nowhere");
  EXPECT_EQ(s.aliasPath("beta"), "");
}

TEST(SessionTest, MissingFileMeansNoAliasesAndABadLineIsReportedByNumber) {
  TempDir dir;
  Session none(dir.file("absent.conf"));
  EXPECT_TRUE(none.databaseList().empty());
  EXPECT_EQ(none.aliasPath("x"), "");

  const std::string conf = dir.file("bad.conf");
  WriteText(conf, "good STANDARD /a\n# comment\nbroken\n");
  try {
    AliasConfig::Load(conf);
    FAIL() << "malformed line accepted";
  } catch (const EDBEngineError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  // Every lookup through a session reports the bad line too, rather than
  // taking the file for one without aliases.
  Session bad(conf);
  for (const auto& lookup : std::vector<std::function<void()>>{
           [&] { bad.databaseList(); }, [&] { bad.isAlias("good"); },
           [&] { bad.aliasPath("good"); }, [&] { bad.resolveDirectory("good"); }}) {
    try {
      lookup();
      ADD_FAILURE() << "a lookup took the malformed file for a good one";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Alias configuration \"" + conf + "\", line 3: expected NAME DRIVER DIRECTORY");
    }
  }

  // A control character would not survive a save: the line is refused.
  using namespace std::string_literals;
  for (const std::string& line :
       {"na\0me STANDARD /a\n"s, "x STAN\rDARD /a\n"s, "x STANDARD /a\x01b\n"s}) {
    WriteText(conf, "good STANDARD /a\n" + line);
    EXPECT_THROW(AliasConfig::Load(conf), EDBEngineError) << line;
  }
}

TEST(SessionTest, AddRemoveAndTableNames) {
  TempDir dir;
  const std::string conf = dir.file("sub/aliases.conf");
  AliasConfig config = AliasConfig::Load(conf);
  config.add({"Data", "STANDARD", dir.path()});
  EXPECT_THROW(config.add({"DATA", "STANDARD", "/x"}), EDBEngineError);
  config.save(conf);
  Session s(conf);
  paradox::TableDefinition def;
  def.fields = {{"A", FieldType::kString, 5, false}};
  paradox::Table::Create(dir.path(), "Second", def);
  paradox::Table::Create(dir.path(), "FIRST", def);
  EXPECT_EQ(s.tableNames("data"), (std::vector<std::string>{"FIRST", "Second"}));
  EXPECT_EQ(s.tableNames(dir.path()), (std::vector<std::string>{"FIRST", "Second"}));
  EXPECT_THROW(s.tableNames(dir.file("nothing-here")), EDBEngineError);

  config = AliasConfig::Load(conf);
  EXPECT_TRUE(config.remove("data"));
  EXPECT_FALSE(config.remove("data"));
}

TEST(SessionTest, ProgramDatabaseChangesPathOnlyWhileDisconnected) {
  TempDir dir;
  Session s(dir.file("none.conf"));
  Database& db = s.addDatabase("DataDict");
  db.setParam("PATH", ".");
  db.connect();
  EXPECT_THROW(db.setParam("PATH", dir.path()), EDBEngineError);
  db.disconnect();
  db.setParam("PATH", dir.path());
  db.connect();
  EXPECT_EQ(db.param("PATH"), dir.path());
  EXPECT_EQ(s.resolveDirectory("datadict"), dir.path());
  db.disconnect();
  db.setParam("PATH", dir.file("missing"));
  EXPECT_THROW(db.connect(), EDBEngineError);
}

}  // namespace
}  // namespace vellum::engine
