// Lists of names written as one text, and names compared without letter case.
#include "engine/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellum::engine {
namespace {

using Names = std::vector<std::string>;

TEST(SplitAtSemicolonsTest, EmptyTextIsTheEmptyListAndEveryOtherTextOneNameMoreThanItsSemicolons) {
  EXPECT_EQ(SplitAtSemicolons(""), Names{});
  EXPECT_EQ(SplitAtSemicolons("ID"), Names{"ID"});
  EXPECT_EQ(SplitAtSemicolons("ID;Name;X"), (Names{"ID", "Name", "X"}));
  EXPECT_EQ(SplitAtSemicolons(";"), (Names{"", ""}));
  EXPECT_EQ(SplitAtSemicolons("A;;B"), (Names{"A", "", "B"}));
  EXPECT_EQ(SplitAtSemicolons("A;"), (Names{"A", ""}));
  EXPECT_EQ(SplitAtSemicolons(" A ; B"), (Names{" A ", " B"}));  // nothing is trimmed
}

TEST(JoinWithSemicolonsTest, JoinsInOrderAndIsReadBackBySplit) {
  EXPECT_EQ(JoinWithSemicolons({}), "");
  EXPECT_EQ(JoinWithSemicolons({"ID"}), "ID");
  EXPECT_EQ(JoinWithSemicolons({"ID", "", "Name"}), "ID;;Name");
  for (const Names& names : {Names{}, Names{"a"}, Names{"a", "b", "c"}, Names{"", "x"}}) {
    EXPECT_EQ(SplitAtSemicolons(JoinWithSemicolons(names)), names);
  }
}

TEST(SameNameIgnoringCaseTest, FoldsOnlyTheLettersAToZ) {
  EXPECT_TRUE(SameNameIgnoringCase("Name", "nAME"));
  EXPECT_FALSE(SameNameIgnoringCase("Name", "Names"));
  EXPECT_FALSE(SameNameIgnoringCase("[", "{"));                // 0x5B and 0x7B: not letters
  EXPECT_FALSE(SameNameIgnoringCase("\xC3\xA8", "\xC3\x88"));  // è and È stay apart
}

}  // namespace
}  // namespace vellum::engine
