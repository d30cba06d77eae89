// The load chooser without its window: which aliases it offers, what a
// change of the source does to the lists and the load-as name, what it
// keeps from one showing to the next, and when OK can be pressed.
#include "loading/load_chooser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/schema.h"
#include "engine/paradox/table.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::loading {
namespace {

namespace fs = std::filesystem;
using Side = LoadChooser::Side;
using Texts = std::vector<std::string>;

// SHOP (STANDARD) holds the tables C_items, a_orders and B_parts; REMOTE
// (another type) holds films; ARCHIVE (STANDARD) holds nothing. The
// dictionary is open in a directory of its own, which holds one table of
// its users beside its own.
class LoadChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& dir : {shop_, remote_, archive_, dict_}) fs::create_directories(dir);
    for (const char* name : {"C_items", "a_orders", "B_parts"}) MakeTable(shop_, name);
    MakeTable(remote_, "films");
    WriteAliases("SHOP STANDARD " + shop_ + "\nREMOTE POSTGRES " + remote_ + "\nARCHIVE STANDARD " +
                 archive_ + "\n");
    dictionary::CreateDictionaryTables(dict_);
    MakeTable(dict_, "Notes");
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    chooser_ = std::make_unique<LoadChooser>(*dm_);
  }

  static void MakeTable(const std::string& dir, const std::string& name) {
    engine::paradox::TableDefinition def;
    def.fields = {{"ID", engine::FieldType::kInteger, 0, false}};
    engine::paradox::Table::Create(dir, name, def);
  }
  void WriteAliases(const std::string& text) { test::WriteFile(dir_.file("aliases.conf"), text); }

  // Selects every available table and presses ">".
  void IncludeAll() {
    chooser_->lists.setSelection(
        Side::kAvailable, std::vector<bool>(chooser_->lists.items(Side::kAvailable).size(), true));
    chooser_->lists.Move(Side::kAvailable);
  }

  test::TempDir dir_;
  std::string shop_ = dir_.file("shop");
  std::string remote_ = dir_.file("remote");
  std::string archive_ = dir_.file("archive");
  std::string dict_ = dir_.file("dict");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
  std::unique_ptr<LoadChooser> chooser_;
};

TEST_F(LoadChooserTest, OnlyStandardAliasesAreOfferedInTheEnginesOrder) {
  chooser_->Activate();
  EXPECT_EQ(chooser_->aliases(), (Texts{"SHOP", "ARCHIVE"}));
  // An alias of another type may still be typed: it lists its tables and is
  // the load-as name.
  chooser_->SourceChanged("REMOTE");
  EXPECT_EQ(chooser_->lists.texts(Side::kAvailable), Texts{"films"});
  EXPECT_EQ(chooser_->loadAs(), "REMOTE");
}

TEST_F(LoadChooserTest, AnAliasFileThatCannotBeReadOffersNoAliasAndListsNothing) {
  WriteAliases("SHOP STANDARD " + shop_ + "\nBROKEN\n");
  chooser_->Activate();
  EXPECT_TRUE(chooser_->aliases().empty());
  chooser_->SourceChanged(shop_);
  EXPECT_TRUE(chooser_->lists.empty(Side::kAvailable));
  EXPECT_EQ(chooser_->loadAs(), "");
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(LoadChooserTest, PickingAnAliasListsItsTablesSortedAndNamesTheLoadAfterIt) {
  chooser_->Activate();
  chooser_->SourceChanged("shop");
  EXPECT_EQ(chooser_->lists.texts(Side::kAvailable), (Texts{"a_orders", "B_parts", "C_items"}));
  EXPECT_EQ(chooser_->loadAs(), "shop");
  EXPECT_TRUE(chooser_->includeEnabled());
  EXPECT_FALSE(chooser_->excludeEnabled());
  EXPECT_FALSE(chooser_->okEnabled());
  IncludeAll();
  EXPECT_TRUE(chooser_->okEnabled());
  const LoadChoice choice = chooser_->choice();
  EXPECT_EQ(choice.source, "shop");
  EXPECT_EQ(choice.load_as, "shop");
  EXPECT_EQ(choice.tables, (Texts{"C_items", "B_parts", "a_orders"}));
}

TEST_F(LoadChooserTest, ATypedPathListsItsTablesAndEmptiesTheLoadAsNameAndTheChosenList) {
  chooser_->Activate();
  chooser_->SourceChanged("SHOP");
  IncludeAll();
  chooser_->SourceChanged(shop_);
  EXPECT_EQ(chooser_->lists.texts(Side::kAvailable), (Texts{"a_orders", "B_parts", "C_items"}));
  EXPECT_TRUE(chooser_->lists.empty(Side::kChosen));
  EXPECT_EQ(chooser_->loadAs(), "");
  // OK waits for a table and a load-as name.
  IncludeAll();
  EXPECT_FALSE(chooser_->okEnabled());
  chooser_->LoadAsChanged("SHOP2");
  EXPECT_TRUE(chooser_->okEnabled());
  EXPECT_EQ(chooser_->choice().source, shop_);
}

TEST_F(LoadChooserTest, ASourceTheEngineCannotListEmptiesTheListsSilently) {
  chooser_->Activate();
  for (const std::string& source :
       {std::string("SH"), dir_.file("nowhere"), std::string("ARCHIVE")}) {
    chooser_->SourceChanged("SHOP");
    IncludeAll();
    chooser_->SourceChanged(source);
    EXPECT_TRUE(chooser_->lists.empty(Side::kAvailable)) << source;
    EXPECT_TRUE(chooser_->lists.empty(Side::kChosen)) << source;
    EXPECT_FALSE(chooser_->includeEnabled()) << source;
    EXPECT_FALSE(chooser_->okEnabled()) << source;
  }
  EXPECT_EQ(chooser_->loadAs(), "ARCHIVE");  // an alias, though empty
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(LoadChooserTest, TheDictionarysOwnTablesAreNotOffered) {
  chooser_->Activate();
  chooser_->SourceChanged(dict_);
  EXPECT_EQ(chooser_->lists.texts(Side::kAvailable), Texts{"Notes"});
}

TEST_F(LoadChooserTest, SelectedTablesArriveReversedAndAllArriveInOrder) {
  chooser_->Activate();
  chooser_->SourceChanged("SHOP");
  IncludeAll();
  EXPECT_EQ(chooser_->lists.texts(Side::kChosen), (Texts{"C_items", "B_parts", "a_orders"}));
  chooser_->SourceChanged("SHOP");
  chooser_->lists.MoveAll(Side::kAvailable);
  EXPECT_EQ(chooser_->lists.texts(Side::kChosen), (Texts{"a_orders", "B_parts", "C_items"}));
  EXPECT_FALSE(chooser_->includeEnabled());
  EXPECT_TRUE(chooser_->excludeEnabled());
}

TEST_F(LoadChooserTest, AReopenedChooserKeepsItsChoiceButNotItsSourceAndCannotConfirm) {
  chooser_->Activate();
  chooser_->SourceChanged("SHOP");
  IncludeAll();
  chooser_->LoadAsChanged("SHOP_OLD");
  ASSERT_TRUE(chooser_->okEnabled());

  chooser_->Activate();
  EXPECT_EQ(chooser_->source(), "");
  EXPECT_TRUE(chooser_->lists.empty(Side::kAvailable));
  EXPECT_EQ(chooser_->lists.texts(Side::kChosen), (Texts{"C_items", "B_parts", "a_orders"}));
  EXPECT_EQ(chooser_->loadAs(), "SHOP_OLD");
  // Confirming now would hand the loader an empty source.
  EXPECT_FALSE(chooser_->okEnabled());
  EXPECT_TRUE(chooser_->excludeEnabled());
  EXPECT_FALSE(chooser_->includeEnabled());
}

}  // namespace
}  // namespace vellum::loading
