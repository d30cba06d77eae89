// The rebuild chooser's logic over a real dictionary: the aliases it offers,
// the tables of an alias, the directory of an alias and when OK is allowed.
#include "shell/rebuild_chooser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::shell {
namespace {

namespace fs = std::filesystem;

using Mode = RebuildChooser::Mode;
using Side = RebuildChooser::Side;
using Names = std::vector<std::string>;

// A dictionary in <temp>/dict whose rows carry the aliases "shop", "Demo",
// "SHOP" and "demo"; the alias SHOP names the existing directory
// <temp>/shop.
class RebuildChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    std::ofstream(dir_.file("aliases.conf")) << "SHOP STANDARD " << shop_ << "\n";
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    test::AddTableRow(*dm_, "shop", "orders");
    test::AddTableRow(*dm_, "Demo", "films");
    test::AddTableRow(*dm_, "SHOP", "Customer");
    test::AddTableRow(*dm_, "demo", "Store");
    test::AddTableRow(*dm_, "shop", "ITEMS");
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string shop_ = dir_.file("shop");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
};

TEST_F(RebuildChooserTest, AliasesDifferingOnlyInCaseAreOfferedOnce) {
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kOutDirectory);
  // In alias order, bytes compared ("Demo" < "SHOP" < "demo" < "shop"); the
  // first of each spelling stays.
  EXPECT_EQ(chooser.aliases(), (Names{"Demo", "SHOP"}));
  EXPECT_FALSE(chooser.Query1.active());
}

TEST_F(RebuildChooserTest, TheTablesOfAnAliasAreFoundWithoutRegardToCaseAndSorted) {
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kOutDirectory);
  chooser.AliasChanged("Shop");
  EXPECT_EQ(chooser.lists.texts(Side::kAvailable), (Names{"Customer", "ITEMS", "orders"}));
  EXPECT_FALSE(chooser.tblTables.active());
  chooser.AliasChanged("Sho");  // typed in part: no such alias
  EXPECT_TRUE(chooser.lists.empty(Side::kAvailable));
}

TEST_F(RebuildChooserTest, ActivationReadsTheAliasesAfreshAndStartsEmpty) {
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kOutDirectory);
  chooser.AliasChanged("SHOP");
  chooser.lists.MoveAll(Side::kAvailable);
  test::AddTableRow(*dm_, "ARCHIVE", "old");
  chooser.Activate(Mode::kOutDirectory);
  EXPECT_EQ(chooser.aliases(), (Names{"ARCHIVE", "Demo", "SHOP"}));
  EXPECT_EQ(chooser.alias(), "");
  EXPECT_EQ(chooser.directory(), "");
  EXPECT_TRUE(chooser.lists.empty(Side::kAvailable));
  EXPECT_TRUE(chooser.lists.empty(Side::kChosen));
}

TEST_F(RebuildChooserTest, OutDirectoryModeFillsTheAliasDirectoryAndWantsItToExist) {
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kOutDirectory);
  chooser.AliasChanged("shop");
  EXPECT_EQ(chooser.directory(), shop_);
  EXPECT_FALSE(chooser.okEnabled());  // nothing chosen
  chooser.lists.setSelected(Side::kAvailable, 0, true);
  chooser.lists.Move(Side::kAvailable);
  EXPECT_TRUE(chooser.okEnabled());
  chooser.DirectoryChanged(dir_.file("missing"));
  EXPECT_FALSE(chooser.okEnabled());
  chooser.DirectoryChanged("");
  EXPECT_FALSE(chooser.okEnabled());
  // A change of alias empties the chosen list; an alias the engine does not
  // know empties the directory.
  chooser.DirectoryChanged(shop_);
  chooser.AliasChanged("Demo");
  EXPECT_TRUE(chooser.lists.empty(Side::kChosen));
  EXPECT_EQ(chooser.directory(), "");
  EXPECT_EQ(chooser.lists.texts(Side::kAvailable), (Names{"films", "Store"}));
}

TEST_F(RebuildChooserTest, AMalformedAliasFileIsReportedRatherThanTakenForAnUnknownAlias) {
  std::ofstream(dir_.file("aliases.conf"), std::ios::app) << "BADLINE\n";
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kOutDirectory);
  try {
    chooser.AliasChanged("shop");
    ADD_FAILURE() << "the malformed file was taken for one without the alias";
  } catch (const engine::EDBEngineError& e) {
    EXPECT_EQ(std::string(e.what()), "Alias configuration \"" + dir_.file("aliases.conf") +
                                         "\", line 2: expected NAME DRIVER DIRECTORY");
  }
  // The file-name mode looks no alias up.
  chooser.Activate(Mode::kFileName);
  chooser.AliasChanged("shop");
  EXPECT_EQ(chooser.lists.texts(Side::kAvailable), (Names{"Customer", "ITEMS", "orders"}));
}

TEST_F(RebuildChooserTest, FileNameModeTakesAnyNameAndLeavesItAlone) {
  RebuildChooser chooser(session_);
  chooser.Activate(Mode::kFileName);
  chooser.AliasChanged("SHOP");
  EXPECT_EQ(chooser.directory(), "");
  chooser.lists.MoveAll(Side::kAvailable);
  EXPECT_FALSE(chooser.okEnabled());  // no name yet
  chooser.DirectoryChanged(dir_.file("new listing.txt"));
  EXPECT_TRUE(chooser.okEnabled());
  chooser.AliasChanged("demo");
  EXPECT_EQ(chooser.directory(), dir_.file("new listing.txt"));
  EXPECT_FALSE(chooser.okEnabled());  // the chosen list was emptied
}

}  // namespace
}  // namespace vellum::shell
