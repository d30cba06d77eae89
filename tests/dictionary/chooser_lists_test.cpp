// The moves of a table chooser's two lists, as a user makes them.
#include "dictionary/chooser_lists.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dictionary/schema.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::dictionary {
namespace {

using Side = ChooserLists::Side;
using Texts = std::vector<std::string>;

std::vector<int> SelectedIndexes(const ChooserLists& lists, Side side) {
  std::vector<int> selected;
  const auto& items = lists.items(side);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].selected) selected.push_back(static_cast<int>(i));
  }
  return selected;
}

ChooserLists WithAvailable(const Texts& texts) {
  ChooserLists lists;
  lists.setAvailable(texts);
  return lists;
}

TEST(ChooserListsTest, TheAvailableListSortsWithoutRegardToLetterCase) {
  const ChooserLists lists = WithAvailable({"beta", "Gamma", "alpha2", "Alpha", "DELTA"});
  EXPECT_EQ(lists.texts(Side::kAvailable), (Texts{"Alpha", "alpha2", "beta", "DELTA", "Gamma"}));
  EXPECT_TRUE(SelectedIndexes(lists, Side::kAvailable).empty());
}

TEST(ChooserListsTest, ThreeSelectedItemsArriveInReverseOrderAndTheNextItemIsSelected) {
  ChooserLists lists = WithAvailable({"A", "B", "C", "D"});
  for (size_t i : {0, 1, 2}) lists.setSelected(Side::kAvailable, i, true);
  EXPECT_EQ(lists.Move(Side::kAvailable), 0);
  EXPECT_EQ(lists.texts(Side::kChosen), (Texts{"C", "B", "A"}));
  EXPECT_EQ(lists.texts(Side::kAvailable), (Texts{"D"}));
  // The item now at the first selection's place is selected; the arrivals
  // are not.
  EXPECT_EQ(SelectedIndexes(lists, Side::kAvailable), (std::vector<int>{0}));
  EXPECT_TRUE(SelectedIndexes(lists, Side::kChosen).empty());
}

TEST(ChooserListsTest, AMoveAppendsAfterWhatWasChosenBefore) {
  ChooserLists lists = WithAvailable({"A", "B", "C"});
  lists.setSelected(Side::kAvailable, 1, true);
  lists.Move(Side::kAvailable);  // B
  lists.setSelection(Side::kAvailable, {true, true});
  lists.Move(Side::kAvailable);  // A and C, reversed
  EXPECT_EQ(lists.texts(Side::kChosen), (Texts{"B", "C", "A"}));
}

TEST(ChooserListsTest, MovingAllAndBackRestoresTheAlphabeticalOrder) {
  ChooserLists lists = WithAvailable({"orders", "Customer", "items", "Parts"});
  const Texts sorted = lists.texts(Side::kAvailable);
  EXPECT_EQ(lists.MoveAll(Side::kAvailable), -1);
  EXPECT_EQ(lists.texts(Side::kChosen), sorted);  // in list order
  EXPECT_TRUE(lists.empty(Side::kAvailable));
  // Scrambled on the chosen side first, so that the way back must sort.
  lists.setSelection(Side::kChosen, {true, false, true, false});
  lists.Move(Side::kChosen);
  lists.setSelection(Side::kAvailable, {true, true});
  lists.Move(Side::kAvailable);
  ASSERT_NE(lists.texts(Side::kChosen), sorted);
  EXPECT_EQ(lists.MoveAll(Side::kChosen), -1);
  EXPECT_EQ(lists.texts(Side::kAvailable), (Texts{"Customer", "items", "orders", "Parts"}));
  EXPECT_TRUE(lists.empty(Side::kChosen));
}

TEST(ChooserListsTest, ItemsMovedBackTakeTheirSortedPlaces) {
  ChooserLists lists = WithAvailable({"b", "D", "f"});
  lists.MoveAll(Side::kAvailable);
  lists.setAvailable({"a", "C", "e"});
  lists.setSelection(Side::kChosen, {true, false, true});  // b and f
  lists.Move(Side::kChosen);
  EXPECT_EQ(lists.texts(Side::kAvailable), (Texts{"a", "b", "C", "e", "f"}));
  EXPECT_EQ(lists.texts(Side::kChosen), (Texts{"D"}));
}

TEST(ChooserListsTest, AMoveWithNothingSelectedSelectsTheFirstItemForTheNextMove) {
  ChooserLists lists = WithAvailable({"A", "B"});
  EXPECT_EQ(lists.Move(Side::kAvailable), 0);
  EXPECT_TRUE(lists.empty(Side::kChosen));
  EXPECT_EQ(SelectedIndexes(lists, Side::kAvailable), (std::vector<int>{0}));
  lists.Move(Side::kAvailable);
  EXPECT_EQ(lists.texts(Side::kChosen), (Texts{"A"}));
}

TEST(ChooserListsTest, MovingTheLastItemLeavesNothingSelected) {
  ChooserLists lists = WithAvailable({"A"});
  lists.setSelected(Side::kAvailable, 0, true);
  EXPECT_EQ(lists.Move(Side::kAvailable), -1);
  EXPECT_TRUE(lists.empty(Side::kAvailable));
  // A move from the empty list changes nothing.
  EXPECT_EQ(lists.Move(Side::kAvailable), -1);
  EXPECT_EQ(lists.texts(Side::kChosen), (Texts{"A"}));
}

struct SetItemCase {
  const char* name;
  size_t size;
  int index;
  int selected;  // -1: nothing
};

void PrintTo(const SetItemCase& c, std::ostream* os) { *os << c.name; }

class SetItemTest : public ::testing::TestWithParam<SetItemCase> {};

TEST_P(SetItemTest, SelectsTheItemTheIndexComesTo) {
  const SetItemCase& c = GetParam();
  Texts texts;
  for (size_t i = 0; i < c.size; ++i) texts.push_back(std::string(1, static_cast<char>('A' + i)));
  ChooserLists lists = WithAvailable(texts);
  EXPECT_EQ(lists.SetItem(Side::kAvailable, c.index), c.selected);
  const std::vector<int> expected =
      c.selected < 0 ? std::vector<int>{} : std::vector<int>{c.selected};
  EXPECT_EQ(SelectedIndexes(lists, Side::kAvailable), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Indexes, SetItemTest,
    ::testing::Values(SetItemCase{"NoneBecomesTheFirst", 3, -1, 0},
                      SetItemCase{"InsideStays", 3, 1, 1}, SetItemCase{"LastStays", 3, 2, 2},
                      SetItemCase{"PastTheEndBecomesTheLast", 3, 3, 2},
                      SetItemCase{"FarPastTheEndBecomesTheLast", 3, 7, 2},
                      SetItemCase{"AnEmptyListSelectsNothing", 0, 0, -1},
                      SetItemCase{"AnEmptyListSelectsNothingForNone", 0, -1, -1}),
    [](const ::testing::TestParamInfo<SetItemCase>& info) { return info.param.name; });

TEST(LoadableTablesTest, TheDictionarysOwnTablesAreOfferedOnlyOutsideItsDirectory) {
  test::TempDir dir;
  const std::string dict = dir.file("dict");
  const std::string copy = dir.file("copy");
  CreateDictionary(dict);
  engine::paradox::TableDefinition def;
  def.fields = {{"ID", engine::FieldType::kInteger, 0, false}};
  engine::paradox::Table::Create(dict, "Orders", def);
  test::CopyFolderFiles(dict, copy);
  std::set<std::string> all;  // the tables of either directory, from its files
  for (const auto& entry : std::filesystem::directory_iterator(copy)) {
    if (entry.path().extension() == ".DB") all.insert(entry.path().stem().string());
  }
  ASSERT_EQ(all.size(), 5u);

  test::WriteFile(dir.file("aliases.conf"), "DICT STANDARD " + dict + "\n");
  engine::Session session(dir.file("aliases.conf"));
  EXPECT_EQ(LoadableTables(session, dict, dict), Texts{"Orders"});
  EXPECT_EQ(LoadableTables(session, "dict", dict), Texts{"Orders"});  // by its alias
  EXPECT_EQ(LoadableTables(session, dict + "/", dict), Texts{"Orders"});
  const Texts elsewhere = LoadableTables(session, copy, dict);
  EXPECT_EQ(std::set<std::string>(elsewhere.begin(), elsewhere.end()), all);
}

}  // namespace
}  // namespace vellum::dictionary
