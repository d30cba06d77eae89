// The commands over a data dictionary this user may only read (on a
// read-only medium, or files without write permission): those that only
// read it work, those that must write it say so in one sentence naming the
// directory, and nothing of it changes. The tests run as a user whom
// permission bits do not stop, so the medium is the file-system seam put in
// place of the engine's default.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/refusing_file_system.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;

using engine::FileSystem;
using engine::paradox::Table;

// A dictionary in <temp>/ro/dict describing SHOP.alpha and SHOP.beta; the
// alias SHOP names <temp>/shop. <temp>/ro is the read-only medium.
class ReadOnlyDictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(empty_);
    fs::create_directories(shop_);
    fs::create_directories(out_);
    test::WriteFile(conf_, "SHOP STANDARD " + shop_ + "\n");
    dictionary::CreateDictionaryTables(dict_);
    engine::Session session(conf_);
    test::ScriptedUi ui;
    dictionary::TdmDataDictionary dm(session, ui);
    dm.OpenDictionary(dict_);
    for (const char* name : {"beta", "alpha"}) {
      test::AddTableRow(dm, "SHOP", name);
      test::AddFieldRow(dm, {"ID", "Integer", {}});
      test::AddIndexRow(dm, {"*PRIMARY*", "ID", true, true});
    }
  }

  // The command, with the alias file for those that read it.
  test::CliResult Run(std::vector<std::string> args) {
    if (args[0] == "rebuild" || args[0] == "load") args.insert(args.end(), {"--config", conf_});
    return test::InvokeCli(args);
  }

  test::TempDir dir_;
  std::string medium_ = dir_.file("ro");
  std::string dict_ = dir_.file("ro/dict");
  std::string empty_ = dir_.file("ro/empty");
  std::string shop_ = dir_.file("shop");
  std::string out_ = dir_.file("out");
  std::string conf_ = dir_.file("aliases.conf");
};

TEST_F(ReadOnlyDictionaryTest, CommandsThatReadItWorkAndThoseThatWriteItSayWhy) {
  const auto before = test::SnapshotFiles(medium_);
  {
    test::ReadOnlyMediumScope medium(medium_);
    const test::CliResult list =
        Run({"list", "-p", dict_, "--alias", "SHOP", "-o", out_ + "/listing.txt"});
    EXPECT_EQ(list.status, kExitOk) << list.err;
    const test::CliResult plan = Run({"rebuild", "-p", dict_, "-a", "SHOP", "-d", out_, "--plan"});
    EXPECT_EQ(plan.status, kExitOk) << plan.err;
    const test::CliResult rebuild = Run({"rebuild", "-p", dict_, "-a", "SHOP", "-d", out_});
    EXPECT_EQ(rebuild.status, kExitOk) << rebuild.err;

    const test::CliResult load =
        Run({"load", "-p", dict_, "--source", out_, "--as", "OUT", "--yes-all"});
    EXPECT_EQ(load.status, kExitFailure);
    EXPECT_EQ(load.out, "");
    EXPECT_EQ(load.err, "vellum-cli: load: The data dictionary in \"" + dict_ +
                            "\" cannot be changed: its directory or its tables may only be "
                            "read\n");
    const test::CliResult create = Run({"create-dictionary", empty_});
    EXPECT_EQ(create.status, kExitFailure);
    EXPECT_EQ(create.err, "vellum-cli: create-dictionary: Cannot create a data dictionary in \"" +
                              empty_ + "\": the directory may only be read\n");
  }
  EXPECT_EQ(test::SnapshotFiles(medium_), before);
  EXPECT_TRUE(fs::exists(out_ + "/listing.txt"));
  for (const char* name : {"alpha", "beta"}) {
    EXPECT_EQ(Table::Open(out_, name)->recordCount(), 0u) << name;
  }
}

TEST_F(ReadOnlyDictionaryTest, TablesThatMayOnlyBeReadInAWritableDirectoryAreReadOnlyToo) {
  test::RefusingFileSystem files(FileSystem::Default());
  files.write_protected = [this](const std::string& path) { return path.starts_with(dict_); };
  engine::Session session(conf_, files);
  test::ScriptedUi ui;
  dictionary::TdmDataDictionary dm(session, ui);
  dm.OpenDictionary(dict_);
  EXPECT_FALSE(dm.writable());
  EXPECT_TRUE(dm.tblTables.findKey({std::string("SHOP"), std::string("alpha")}));
  try {
    dm.CheckWritable();
    ADD_FAILURE() << "a dictionary whose tables may only be read passed as writable";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "The data dictionary in \"" + dict_ +
                                         "\" cannot be changed: its directory or its tables "
                                         "may only be read");
  }
  // Opened for reading only, nothing is asked of the files but reading.
  dm.OpenDictionary(dict_, dictionary::TdmDataDictionary::Access::kReadOnly);
  EXPECT_EQ(dm.tblTables.recordCount(), 2u);
  EXPECT_FALSE(dm.tblTables.table().writable());

  // The same dictionary where it may be written.
  engine::Session free_session(conf_);
  dictionary::TdmDataDictionary free(free_session, ui);
  free.OpenDictionary(dict_);
  EXPECT_TRUE(free.writable());
  EXPECT_NO_THROW(free.CheckWritable());
}

}  // namespace
}  // namespace vellum::cli
