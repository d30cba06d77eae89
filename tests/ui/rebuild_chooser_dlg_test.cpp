// The rebuild chooser as a user sees it: captions, the alias list, the moves
// between the lists and which buttons are enabled.
#include "shell/ui/rebuild_chooser_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "dictionary/schema.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::shell {
namespace {

namespace fs = std::filesystem;

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

QStringList Selected(const QListWidget* list) {
  QStringList selected;
  for (int i = 0; i < list->count(); ++i) {
    if (list->item(i)->isSelected()) selected << list->item(i)->text();
  }
  return selected;
}

QStringList ComboItems(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

// A dictionary describing SHOP's tables c_items, A_orders, b_parts, D_stock
// (and the same alias spelt "Shop" on one more row) and DEMO.films; the
// alias SHOP names the existing directory <temp>/shop.
class RebuildChooserDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    fs::create_directories(shop_);
    std::ofstream(dir_.file("aliases.conf")) << "SHOP STANDARD " << shop_ << "\n";
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    for (const char* name : {"c_items", "A_orders", "b_parts"})
      test::AddTableRow(*dm_, "SHOP", name);
    test::AddTableRow(*dm_, "Shop", "D_stock");
    test::AddTableRow(*dm_, "DEMO", "films");
  }

  // Shows the dialog (not modally) in the mode its label's caption gives.
  void Show(const QString& caption = "Directory out") {
    dlg_.lblDirectory->setText(caption);
    dlg_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg_));
  }

  void ChooseAlias(const QString& alias) {
    dlg_.cbAliases->setFocus();
    dlg_.cbAliases->lineEdit()->selectAll();
    QTest::keyClicks(dlg_.cbAliases->lineEdit(), alias);
  }

  void Select(QListWidget* list, const QStringList& texts) {
    list->clearSelection();
    for (const QString& text : texts) list->findItems(text, Qt::MatchExactly)[0]->setSelected(true);
  }

  void Click(QPushButton* button) {
    ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string shop_ = dir_.file("shop");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
  TSceltaTabelleRegenDlg dlg_{session_};
};

TEST_F(RebuildChooserDlgTest, CaptionsAtDesignAndAfterShowing) {
  EXPECT_EQ(dlg_.windowTitle(), "Scelta tabelle");
  EXPECT_EQ(dlg_.pSrcTitle->text(), "Tabelle Disponibili");
  EXPECT_EQ(dlg_.pDstTitle->text(), "Tabelle selezionate");
  EXPECT_EQ(dlg_.CancelBtn->text(), "Annulla");
  EXPECT_EQ(dlg_.cbAliases->toolTip(), "Scelta dell'Alias, oppure Pathname del DB");
  EXPECT_EQ(dlg_.edtDirectory->toolTip(), "Destinazione");
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
  EXPECT_TRUE(dlg_.OKBtn->isDefault());
  Show();
  EXPECT_EQ(dlg_.windowTitle(), "Choose tables");
  EXPECT_EQ(dlg_.Label1->text(), "Alias");
  EXPECT_EQ(dlg_.lblDirectory->text(), "Out directory");
  EXPECT_EQ(dlg_.pSrcTitle->text(), "Tables available");
  EXPECT_EQ(dlg_.pDstTitle->text(), "Selected tables");
  EXPECT_EQ(dlg_.CancelBtn->text(), "Cancel");
  EXPECT_EQ(QStringList({">", ">>", "<", "<<"}),
            QStringList({dlg_.IncludeBtn->text(), dlg_.IncAllBtn->text(), dlg_.ExcludeBtn->text(),
                         dlg_.ExAllBtn->text()}));
}

TEST_F(RebuildChooserDlgTest, AliasesDifferingOnlyInCaseAppearOnce) {
  Show();
  EXPECT_EQ(ComboItems(dlg_.cbAliases), QStringList({"DEMO", "SHOP"}));
  EXPECT_EQ(dlg_.cbAliases->currentText(), "");
}

TEST_F(RebuildChooserDlgTest, PickingAnAliasListsItsTablesAndFillsItsDirectory) {
  Show();
  dlg_.cbAliases->setCurrentIndex(1);  // SHOP
  EXPECT_EQ(Items(dlg_.SrcList), QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
  EXPECT_EQ(dlg_.edtDirectory->text().toStdString(), shop_);
  EXPECT_TRUE(dlg_.IncludeBtn->isEnabled());
  EXPECT_TRUE(dlg_.IncAllBtn->isEnabled());
  EXPECT_FALSE(dlg_.ExcludeBtn->isEnabled());
  EXPECT_FALSE(dlg_.ExAllBtn->isEnabled());
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
}

TEST_F(RebuildChooserDlgTest, ThreeSelectedTablesArriveReversedAndOkEnables) {
  Show();
  ChooseAlias("shop");
  Select(dlg_.SrcList, {"A_orders", "b_parts", "D_stock"});
  Click(dlg_.IncludeBtn);
  EXPECT_EQ(Items(dlg_.DstList), QStringList({"D_stock", "b_parts", "A_orders"}));
  EXPECT_EQ(Items(dlg_.SrcList), QStringList({"c_items"}));
  // The item now where the first selected one was is selected, with focus.
  EXPECT_EQ(Selected(dlg_.SrcList), QStringList({"c_items"}));
  EXPECT_TRUE(dlg_.SrcList->hasFocus());
  EXPECT_TRUE(dlg_.ExcludeBtn->isEnabled());
  EXPECT_TRUE(dlg_.OKBtn->isEnabled());
  EXPECT_EQ(dlg_.choice().tables, (std::vector<std::string>{"D_stock", "b_parts", "A_orders"}));
  EXPECT_EQ(dlg_.choice().alias, "shop");
  EXPECT_EQ(dlg_.choice().output_directory, shop_);
}

TEST_F(RebuildChooserDlgTest, AllAndBackRestoresTheAlphabeticalOrder) {
  Show();
  ChooseAlias("SHOP");
  Select(dlg_.SrcList, {"c_items"});
  Click(dlg_.IncludeBtn);
  Click(dlg_.IncAllBtn);
  EXPECT_EQ(Items(dlg_.DstList), QStringList({"c_items", "A_orders", "b_parts", "D_stock"}));
  EXPECT_TRUE(Items(dlg_.SrcList).isEmpty());
  // The emptied list selects nothing and cannot move.
  EXPECT_TRUE(Selected(dlg_.SrcList).isEmpty());
  EXPECT_FALSE(dlg_.IncludeBtn->isEnabled());
  EXPECT_FALSE(dlg_.IncAllBtn->isEnabled());
  Click(dlg_.ExAllBtn);
  EXPECT_EQ(Items(dlg_.SrcList), QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
  EXPECT_TRUE(Items(dlg_.DstList).isEmpty());
  EXPECT_FALSE(dlg_.ExcludeBtn->isEnabled());
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
}

TEST_F(RebuildChooserDlgTest, MovingTheLastTableSelectsNothingAndDisablesTheIncludeButtons) {
  Show();
  ChooseAlias("DEMO");
  Select(dlg_.SrcList, {"films"});
  Click(dlg_.IncludeBtn);
  EXPECT_TRUE(Items(dlg_.SrcList).isEmpty());
  EXPECT_TRUE(Selected(dlg_.SrcList).isEmpty());
  EXPECT_FALSE(dlg_.IncludeBtn->isEnabled());
  EXPECT_FALSE(dlg_.IncAllBtn->isEnabled());
  // A double click on the empty list changes nothing.
  QTest::mouseDClick(dlg_.SrcList->viewport(), Qt::LeftButton);
  EXPECT_EQ(Items(dlg_.DstList), QStringList({"films"}));
}

TEST_F(RebuildChooserDlgTest, DoubleClicksMoveTheClickedTable) {
  Show();
  ChooseAlias("SHOP");
  QListWidgetItem* item = dlg_.SrcList->findItems("c_items", Qt::MatchExactly)[0];
  const QPoint at = dlg_.SrcList->visualItemRect(item).center();
  QTest::mouseClick(dlg_.SrcList->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(dlg_.SrcList->viewport(), Qt::LeftButton, {}, at);
  EXPECT_EQ(Items(dlg_.DstList), QStringList({"c_items"}));
  QListWidgetItem* back = dlg_.DstList->item(0);
  const QPoint back_at = dlg_.DstList->visualItemRect(back).center();
  QTest::mouseClick(dlg_.DstList->viewport(), Qt::LeftButton, {}, back_at);
  QTest::mouseDClick(dlg_.DstList->viewport(), Qt::LeftButton, {}, back_at);
  EXPECT_EQ(Items(dlg_.SrcList), QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
}

TEST_F(RebuildChooserDlgTest, TypingADirectoryThatDoesNotExistDisablesOk) {
  Show();
  ChooseAlias("SHOP");
  Click(dlg_.IncAllBtn);
  ASSERT_TRUE(dlg_.OKBtn->isEnabled());
  dlg_.edtDirectory->setFocus();
  QTest::keyClicks(dlg_.edtDirectory, "/nowhere");
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
  dlg_.edtDirectory->setText(QString::fromStdString(dir_.path()));
  EXPECT_TRUE(dlg_.OKBtn->isEnabled());
}

TEST_F(RebuildChooserDlgTest, TypingAnAliasRefillsAtEveryKeyAndEmptiesTheChosenList) {
  Show();
  ChooseAlias("SHOP");
  Click(dlg_.IncAllBtn);
  QTest::keyClick(dlg_.cbAliases->lineEdit(), Qt::Key_Backspace);  // "SHO"
  EXPECT_TRUE(Items(dlg_.SrcList).isEmpty());
  EXPECT_TRUE(Items(dlg_.DstList).isEmpty());
  EXPECT_EQ(dlg_.edtDirectory->text(), "");
  QTest::keyClicks(dlg_.cbAliases->lineEdit(), "p");
  EXPECT_EQ(Items(dlg_.SrcList).size(), 4);
}

TEST_F(RebuildChooserDlgTest, FileNameModeEnablesOkForANewFileName) {
  Show("Filename");
  EXPECT_EQ(dlg_.lblDirectory->text(), "Filename");
  ChooseAlias("SHOP");
  EXPECT_EQ(dlg_.edtDirectory->text(), "");  // not filled from the alias
  Select(dlg_.SrcList, {"b_parts"});
  Click(dlg_.IncludeBtn);
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
  dlg_.edtDirectory->setFocus();
  QTest::keyClicks(dlg_.edtDirectory, QString::fromStdString(dir_.file("listing.txt")));
  EXPECT_TRUE(dlg_.OKBtn->isEnabled());
  Click(dlg_.OKBtn);
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(dlg_.choice().output_directory, dir_.file("listing.txt"));
}

TEST_F(RebuildChooserDlgTest, EveryShowingStartsEmpty) {
  Show();
  ChooseAlias("SHOP");
  Click(dlg_.IncAllBtn);
  dlg_.reject();
  test::AddTableRow(*dm_, "ARCHIVE", "old");
  Show();
  EXPECT_EQ(ComboItems(dlg_.cbAliases), QStringList({"ARCHIVE", "DEMO", "SHOP"}));
  EXPECT_EQ(dlg_.cbAliases->currentText(), "");
  EXPECT_EQ(dlg_.edtDirectory->text(), "");
  EXPECT_TRUE(Items(dlg_.SrcList).isEmpty());
  EXPECT_TRUE(Items(dlg_.DstList).isEmpty());
  EXPECT_FALSE(dlg_.OKBtn->isEnabled());
  EXPECT_FALSE(dlg_.IncAllBtn->isEnabled());
}

}  // namespace
}  // namespace vellum::shell
