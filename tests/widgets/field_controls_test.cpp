// Edit boxes and the memo editor bound to a field, the memo dialog, the
// search dialog, and the dates a user types.
#include "widgets/field_controls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTest>

#include "dictionary/locale_helper.h"
#include "tests/widgets/dictionary_fixture.h"
#include "widgets/dataset_grid.h"
#include "widgets/field_text.h"
#include "widgets/memo_dialog.h"
#include "widgets/search_dialog.h"

namespace vellum::widgets {
namespace {

using engine::DatasetState;
using engine::DateFromYmd;

class FieldControlsTest : public test::DictionaryFixture {
 protected:
  void SetUp() override {
    DictionaryFixture::SetUp();
    Locale::SetShortDateFormatForTesting("%d/%m/%Y");
  }
  void TearDown() override {
    Locale::SetShortDateFormatForTesting(std::nullopt);
    DictionaryFixture::TearDown();
  }
};

TEST(ShortDateTest, ReadsDatesInTheOrderOfTheShortDateFormat) {
  Locale::SetShortDateFormatForTesting("%d/%m/%Y");
  EXPECT_EQ(ParseShortDate("9/12/2026"), DateFromYmd(2026, 12, 9));
  EXPECT_EQ(ParseShortDate("09-12-26"), DateFromYmd(2026, 12, 9));
  EXPECT_EQ(ParseShortDate("1.1.75"), DateFromYmd(1975, 1, 1));
  EXPECT_EQ(ParseShortDate("29/02/2024"), DateFromYmd(2024, 2, 29));
  for (const char* wrong : {"29/02/2023", "31/04/2026", "12/13/2026", "1/2", "", "1//2026",
                            "a/1/2026", "1/1/2026x", "0/1/2026"}) {
    EXPECT_FALSE(ParseShortDate(wrong)) << wrong;
  }
  Locale::SetShortDateFormatForTesting("%m/%d/%Y");
  EXPECT_EQ(ParseShortDate("12/9/2026"), DateFromYmd(2026, 12, 9));
  Locale::SetShortDateFormatForTesting("%Y-%m-%d");
  EXPECT_EQ(ParseShortDate("2026-12-09"), DateFromYmd(2026, 12, 9));
  Locale::SetShortDateFormatForTesting(std::nullopt);
}

TEST_F(FieldControlsTest, AnEditBoxShowsTheCurrentRecordAndTypingEditsIt) {
  AddTable("DB", "ORDERS");
  AddTable("DB", "PARTS");
  dm_.tblTables.first();
  FieldEdit name;
  name.bind(&dm_.tblTables, "Nome");
  FieldEdit inserted;
  inserted.bind(&dm_.tblTables, "DataInserimento");
  EXPECT_EQ(name.text(), "ORDERS");
  EXPECT_EQ(name.maxLength(), 50);
  dm_.tblTables.next();
  EXPECT_EQ(name.text(), "PARTS");

  name.show();
  name.setFocus();
  name.selectAll();
  QTest::keyClicks(&name, "LINES");
  EXPECT_EQ(name.text(), "LINES");
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kEdit);
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "LINES");
  inserted.setText("");
  QTest::keyClicks(&inserted, "3/2/2025");
  EXPECT_EQ(dm_.tblTables.fieldByName("DataInserimento").asDate(), DateFromYmd(2025, 2, 3));
  dm_.tblTables.post();
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "LINES");
  EXPECT_EQ(inserted.text(), "03/02/2025");
  EXPECT_TRUE(errors_.empty());

  // Text that is no date is said when the user leaves the box.
  inserted.setFocus();
  inserted.selectAll();
  QTest::keyClicks(&inserted, "31/02/2025");
  EXPECT_TRUE(errors_.empty());
  emit inserted.editingFinished();
  EXPECT_EQ(errors_, std::vector<std::string>{"'31/02/2025' is not a valid date"});
  EXPECT_EQ(inserted.text(), "03/02/2025");
}

TEST_F(FieldControlsTest, TheMemoDialogPostsOnOkAndUndoesOnCancel) {
  AddTable("DB", "ORDERS");
  AddField("Id", "Integer");
  AddField("Customer", "String");
  dm_.tblFields.first();
  MemoDialog dialog;
  dialog.setDataset(&dm_.tblFields, "Descrizione");
  EXPECT_EQ(dialog.size(), QSize(561, 396));
  auto* memo = test::Child<FieldMemo>(&dialog, "memo");

  test::WhenVisible(&dialog, [&] {
    memo->setFocus();
    QTest::keyClicks(memo, "The key");
    QTest::keyClick(memo, Qt::Key_Return);
    QTest::keyClicks(memo, "of orders");
    dialog.accept();
  });
  EXPECT_EQ(dialog.execute("Note on the field \"Id\""), QDialog::Accepted);
  EXPECT_EQ(dialog.windowTitle(), "Note on the field \"Id\"");
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_EQ(dm_.tblFields.fieldByName("Nome").asString(), "Id");
  EXPECT_EQ(dm_.tblFields.fieldByName("Descrizione").asString(), "The key\r\nof orders");

  dm_.tblFields.next();
  test::WhenVisible(&dialog, [&] {
    EXPECT_EQ(memo->toPlainText(), "");
    QTest::keyClicks(memo, "draft");
    dialog.reject();
  });
  EXPECT_EQ(dialog.execute("Note"), QDialog::Rejected);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_EQ(dm_.tblFields.fieldByName("Descrizione").asString(), "");
}

TEST_F(FieldControlsTest, AMemoDialogWhosePostIsRefusedStaysOpenAndCancelKeepsTheEarlierEdit) {
  AddTable("DB", "ORDERS");
  dm_.tblTables.edit();
  dm_.tblTables.fieldByName("Nome").clear();  // an edit under way before the dialog
  MemoDialog dialog;
  dialog.setDataset(&dm_.tblTables, "Descrizione");
  auto* memo = test::Child<FieldMemo>(&dialog, "memo");
  bool open_after_ok = false;
  test::WhenVisible(&dialog, [&] {
    QTest::keyClicks(memo, "Orders");
    dialog.accept();  // the post is refused: the rule says why
    open_after_ok = dialog.isVisible();
    dialog.reject();
  });
  EXPECT_EQ(dialog.execute("Note"), QDialog::Rejected);
  EXPECT_TRUE(open_after_ok);
  EXPECT_EQ(Shown(), std::vector<std::string>{"The alias and the table name cannot be null!"});
  // Cancel takes back the memo only: the edit begun before goes on.
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kEdit);
  EXPECT_EQ(dm_.tblTables.fieldByName("Descrizione").asString(), "");
  EXPECT_TRUE(dm_.tblTables.fieldByName("Nome").isNull());
}

TEST_F(FieldControlsTest, TheSearchDialogFindsByNameAndMakesTheRowCurrentInTheTarget) {
  AddTable("SALES", "Orders");
  AddTable("STOCK", "customers");
  AddTable("STOCK", "Parts");
  dm_.tblTables.first();
  engine::Dataset search(session_);
  search.setDatabaseName("DataDict");
  search.setTableName(dictionary::kTablesTable);
  search.setIndexName("PerTabella");
  search.setDisplayLabel("Nome", "Table name");
  SearchDialog dialog;
  dialog.setSearchView(&search, {{.field = "Nome", .width = 50}, {.field = "Alias", .width = 20}});
  dialog.setTarget(&dm_.tblTables, "Alias;Nome");
  auto* grid = test::Child<DatasetGrid>(&dialog, "grSearch");
  EXPECT_LE(grid->maximumHeight(), 209);

  test::WhenVisible(&dialog, [&] {
    EXPECT_TRUE(search.active());  // opened for the showing
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), "Table name");
    EXPECT_EQ(grid->model()->rowCount(), 3);
    QTest::keyClicks(test::Child<QLineEdit>(&dialog, "edtSearch"), "p");
    EXPECT_EQ(grid->currentIndex().row(), 2);
    QTest::keyClick(test::Child<QLineEdit>(&dialog, "edtSearch"), Qt::Key_Backspace);
    QTest::keyClicks(test::Child<QLineEdit>(&dialog, "edtSearch"), "CU");
    EXPECT_EQ(grid->currentIndex().row(), 0);  // case-insensitive order
    QTest::keyClick(test::Child<QLineEdit>(&dialog, "edtSearch"), Qt::Key_Return);
  });
  EXPECT_TRUE(dialog.execute());
  EXPECT_EQ(dialog.windowTitle(), "Search");
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "customers");
  EXPECT_EQ(dm_.tblTables.fieldByName("Alias").asString(), "STOCK");
  EXPECT_FALSE(search.active());  // closed again

  test::WhenVisible(&dialog, [&] { dialog.reject(); });
  EXPECT_FALSE(dialog.execute());
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "customers");
}

}  // namespace
}  // namespace vellum::widgets
