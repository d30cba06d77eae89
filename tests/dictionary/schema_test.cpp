// Creating a dictionary: a creation that fails part-way must not leave a
// directory that counts as a dictionary (it could then never be created
// again from the project directory dialog, whose Create is offered only
// where there is none).
#include "dictionary/schema.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/errors.h"
#include "tests/support/temp_dir.h"

namespace vellum::dictionary {
namespace {

namespace fs = std::filesystem;

// A directory standing where a table's file would go, with a file in it, so
// that creating the table fails.
void BlockTableFile(const std::string& directory, const std::string& file) {
  fs::create_directories(directory + "/" + file);
  std::ofstream(directory + "/" + file + "/keep") << "x";
}

TEST(DictionaryCreationTest, AFailedCreationLeavesNoDictionaryAndCanBeRepeated) {
  for (const char* blocked : {"DDFields.DB", "DDIndex.DB"}) {
    SCOPED_TRACE(blocked);
    test::TempDir dir;
    const std::string dict = dir.file("dict");
    BlockTableFile(dict, blocked);
    EXPECT_ANY_THROW(CreateDictionary(dict));
    EXPECT_FALSE(IsProjectDirectory(dict));
    fs::remove_all(dict + "/" + blocked);
    CreateDictionary(dict);
    EXPECT_TRUE(IsProjectDirectory(dict));
  }
}

TEST(DictionaryCreationTest, RefusesAFileAndAnExistingDictionary) {
  test::TempDir dir;
  std::ofstream(dir.file("plain")) << "x";
  EXPECT_THROW(CreateDictionary(dir.file("plain")), Error);
  EXPECT_THROW(CreateDictionary(dir.file("plain/below")), Error);

  CreateDictionary(dir.file("a/b"));
  ASSERT_TRUE(IsProjectDirectory(dir.file("a/b")));
  const auto written = fs::last_write_time(dir.file("a/b/DDTables.DB"));
  EXPECT_THROW(CreateDictionary(dir.file("a/b")), Error);
  EXPECT_EQ(fs::last_write_time(dir.file("a/b/DDTables.DB")), written);
}

TEST(DictionaryCreationTest, EveryTableOfANewDictionaryIsOneOfItsOwnAndNoOtherIs) {
  test::TempDir dir;
  CreateDictionary(dir.path());
  size_t tables = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".DB") continue;
    ++tables;
    EXPECT_TRUE(IsDictionaryTable(name)) << name;
    EXPECT_TRUE(IsDictionaryTable(entry.path().stem().string())) << name;
  }
  EXPECT_EQ(tables, std::size(kDictionaryTables));
  EXPECT_TRUE(IsDictionaryTable("ddprops"));
  for (const char* other : {"DDTablesX", "DD", "DDProps.DB.DB", "Orders", ""}) {
    EXPECT_FALSE(IsDictionaryTable(other)) << other;
  }
}

}  // namespace
}  // namespace vellum::dictionary
