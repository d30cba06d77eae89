// The navigator over the dictionary's tables: which buttons a user can press
// in each state, delete asking first, and moves that post before they move.
#include "widgets/dataset_navigator.h"

#include <gtest/gtest.h>

#include <QTest>

#include "tests/widgets/dictionary_fixture.h"

namespace vellum::widgets {
namespace {

using B = DatasetNavigator::Button;
using engine::DatasetState;

class NavigatorTest : public test::DictionaryFixture {
 protected:
  // The buttons enabled, as a string of their initials in button order
  // ("FPNLIDEPC"), '-' for each disabled one.
  std::string Enabled() const {
    const char* initials = "FPNLIDEPC";
    std::string out;
    for (size_t i = 0; i < DatasetNavigator::kButtons; ++i) {
      out += nav_.button(static_cast<B>(i))->isEnabled() ? initials[i] : '-';
    }
    return out;
  }
  void Click(B which) { QTest::mouseClick(nav_.button(which), Qt::LeftButton); }

  DatasetNavigator nav_{ui_};
};

TEST_F(NavigatorTest, ButtonsFollowTheStateAndTheCurrentRecord) {
  EXPECT_EQ(Enabled(), "---------");  // no dataset
  nav_.setDataset(&dm_.tblTables);
  EXPECT_EQ(Enabled(), "----I----");  // empty: only insert
  AddTable("DB", "A");
  AddTable("DB", "B");
  AddTable("DB", "C");
  dm_.tblTables.first();
  EXPECT_EQ(Enabled(), "--NLIDE--");
  Click(B::kNext);
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "B");
  EXPECT_EQ(Enabled(), "FPNLIDE--");
  Click(B::kLast);
  EXPECT_EQ(Enabled(), "FP--IDE--");
  Click(B::kEdit);
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kEdit);
  EXPECT_EQ(Enabled(), "FP--ID-PC");
  Click(B::kCancel);
  EXPECT_EQ(Enabled(), "FP--IDE--");
  Click(B::kInsert);
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kInsert);
  EXPECT_EQ(Enabled(), "FPNLID-PC");

  // Read-only: moves only.
  Click(B::kCancel);
  dm_.OpenDictionary(dir_.path(), dictionary::TdmDataDictionary::Access::kReadOnly);
  EXPECT_EQ(Enabled(), "--NL-----");
}

TEST_F(NavigatorTest, DeleteAsksFirstAndTakesTheTablesFieldsWithIt) {
  nav_.setDataset(&dm_.tblTables);
  AddTable("DB", "A");
  AddField("Id", "Integer");
  AddTable("DB", "B");
  dm_.tblTables.first();
  Click(B::kDelete);  // the scripted user cancels
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "Delete record?");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kConfirmation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOkCancel);
  EXPECT_EQ(dm_.tblTables.recordCount(), 2u);

  ui_.answers.push_back(Answer::kOk);
  Click(B::kDelete);
  EXPECT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(dm_.tblTables.recordCount(), 1u);
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "B");
  EXPECT_EQ(dm_.tblFields.table().recordCount(), 0u);
}

TEST_F(NavigatorTest, MovingPostsFirstAndARefusedPostStaysOnTheRecord) {
  nav_.setDataset(&dm_.tblTables);
  AddTable("DB", "A");
  AddTable("DB", "B");
  dm_.tblTables.first();
  Click(B::kEdit);
  dm_.tblTables.fieldByName("Nome").setAsString("AA");
  Click(B::kNext);
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kBrowse);
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "B");
  EXPECT_EQ(dm_.tblTables.valueAt(0, 2), engine::Value{std::string("AA")});

  Click(B::kInsert);
  dm_.tblTables.fieldByName("Alias").setAsString("DB");  // no name
  Click(B::kFirst);
  EXPECT_EQ(Shown(), std::vector<std::string>{"The alias and the table name cannot be null!"});
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kInsert);
  EXPECT_EQ(dm_.tblTables.fieldByName("Alias").asString(), "DB");
  Click(B::kPost);
  EXPECT_EQ(Shown().size(), 2u);
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kInsert);
}

}  // namespace
}  // namespace vellum::widgets
