// The rebuild chooser as a user sees it: captions, the alias list, the moves
// between the lists and which buttons are enabled.
#include "shell/ui/rebuild_chooser_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

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

  // Shows the dialog (not modally) in `mode`.
  void Show(RebuildChooser::Mode mode = RebuildChooser::Mode::kOutDirectory) {
    dlg_.setMode(mode);
    dlg_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg_));
  }

  void ChooseAlias(const QString& alias) {
    test::Child<QComboBox>(&dlg_, "cbAliases")->setFocus();
    test::Child<QComboBox>(&dlg_, "cbAliases")->lineEdit()->selectAll();
    QTest::keyClicks(test::Child<QComboBox>(&dlg_, "cbAliases")->lineEdit(), alias);
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
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "pSrcTitle")->text(), "Tabelle Disponibili");
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "pDstTitle")->text(), "Tabelle selezionate");
  EXPECT_EQ(test::Child<QPushButton>(&dlg_, "CancelBtn")->text(), "Annulla");
  EXPECT_EQ(test::Child<QComboBox>(&dlg_, "cbAliases")->toolTip(),
            "Scelta dell'Alias, oppure Pathname del DB");
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->toolTip(), "Destinazione");
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "OKBtn")->isDefault());
  Show();
  EXPECT_EQ(dlg_.windowTitle(), "Choose tables");
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "Label1")->text(), "Alias");
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "lblDirectory")->text(), "Out directory");
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "pSrcTitle")->text(), "Tables available");
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "pDstTitle")->text(), "Selected tables");
  EXPECT_EQ(test::Child<QPushButton>(&dlg_, "CancelBtn")->text(), "Cancel");
  EXPECT_EQ(QStringList({">", ">>", "<", "<<"}),
            QStringList({test::Child<QPushButton>(&dlg_, "IncludeBtn")->text(),
                         test::Child<QPushButton>(&dlg_, "IncAllBtn")->text(),
                         test::Child<QPushButton>(&dlg_, "ExcludeBtn")->text(),
                         test::Child<QPushButton>(&dlg_, "ExAllBtn")->text()}));
}

TEST_F(RebuildChooserDlgTest, AliasesDifferingOnlyInCaseAppearOnce) {
  Show();
  EXPECT_EQ(ComboItems(test::Child<QComboBox>(&dlg_, "cbAliases")), QStringList({"DEMO", "SHOP"}));
  EXPECT_EQ(test::Child<QComboBox>(&dlg_, "cbAliases")->currentText(), "");
}

TEST_F(RebuildChooserDlgTest, PickingAnAliasListsItsTablesAndFillsItsDirectory) {
  Show();
  test::Child<QComboBox>(&dlg_, "cbAliases")->setCurrentIndex(1);  // SHOP
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "SrcList")),
            QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text().toStdString(), shop_);
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "IncludeBtn")->isEnabled());
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "IncAllBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "ExcludeBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "ExAllBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
}

TEST_F(RebuildChooserDlgTest, ThreeSelectedTablesArriveReversedAndOkEnables) {
  Show();
  ChooseAlias("shop");
  Select(test::Child<QListWidget>(&dlg_, "SrcList"), {"A_orders", "b_parts", "D_stock"});
  Click(test::Child<QPushButton>(&dlg_, "IncludeBtn"));
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "DstList")),
            QStringList({"D_stock", "b_parts", "A_orders"}));
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "SrcList")), QStringList({"c_items"}));
  // The item now where the first selected one was is selected, with focus.
  EXPECT_EQ(Selected(test::Child<QListWidget>(&dlg_, "SrcList")), QStringList({"c_items"}));
  EXPECT_TRUE(test::Child<QListWidget>(&dlg_, "SrcList")->hasFocus());
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "ExcludeBtn")->isEnabled());
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  EXPECT_EQ(dlg_.choice().tables, (std::vector<std::string>{"D_stock", "b_parts", "A_orders"}));
  EXPECT_EQ(dlg_.choice().alias, "shop");
  EXPECT_EQ(dlg_.choice().output_directory, shop_);
}

TEST_F(RebuildChooserDlgTest, AllAndBackRestoresTheAlphabeticalOrder) {
  Show();
  ChooseAlias("SHOP");
  Select(test::Child<QListWidget>(&dlg_, "SrcList"), {"c_items"});
  Click(test::Child<QPushButton>(&dlg_, "IncludeBtn"));
  Click(test::Child<QPushButton>(&dlg_, "IncAllBtn"));
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "DstList")),
            QStringList({"c_items", "A_orders", "b_parts", "D_stock"}));
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  // The emptied list selects nothing and cannot move.
  EXPECT_TRUE(Selected(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "IncludeBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "IncAllBtn")->isEnabled());
  Click(test::Child<QPushButton>(&dlg_, "ExAllBtn"));
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "SrcList")),
            QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "DstList")).isEmpty());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "ExcludeBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
}

TEST_F(RebuildChooserDlgTest, MovingTheLastTableSelectsNothingAndDisablesTheIncludeButtons) {
  Show();
  ChooseAlias("DEMO");
  Select(test::Child<QListWidget>(&dlg_, "SrcList"), {"films"});
  Click(test::Child<QPushButton>(&dlg_, "IncludeBtn"));
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  EXPECT_TRUE(Selected(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "IncludeBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "IncAllBtn")->isEnabled());
  // A double click on the empty list changes nothing.
  QTest::mouseDClick(test::Child<QListWidget>(&dlg_, "SrcList")->viewport(), Qt::LeftButton);
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "DstList")), QStringList({"films"}));
}

TEST_F(RebuildChooserDlgTest, DoubleClicksMoveTheClickedTable) {
  Show();
  ChooseAlias("SHOP");
  QListWidgetItem* item =
      test::Child<QListWidget>(&dlg_, "SrcList")->findItems("c_items", Qt::MatchExactly)[0];
  const QPoint at = test::Child<QListWidget>(&dlg_, "SrcList")->visualItemRect(item).center();
  QTest::mouseClick(test::Child<QListWidget>(&dlg_, "SrcList")->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(test::Child<QListWidget>(&dlg_, "SrcList")->viewport(), Qt::LeftButton, {},
                     at);
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "DstList")), QStringList({"c_items"}));
  QListWidgetItem* back = test::Child<QListWidget>(&dlg_, "DstList")->item(0);
  const QPoint back_at = test::Child<QListWidget>(&dlg_, "DstList")->visualItemRect(back).center();
  QTest::mouseClick(test::Child<QListWidget>(&dlg_, "DstList")->viewport(), Qt::LeftButton, {},
                    back_at);
  QTest::mouseDClick(test::Child<QListWidget>(&dlg_, "DstList")->viewport(), Qt::LeftButton, {},
                     back_at);
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "SrcList")),
            QStringList({"A_orders", "b_parts", "c_items", "D_stock"}));
}

TEST_F(RebuildChooserDlgTest, TypingADirectoryThatDoesNotExistDisablesOk) {
  Show();
  ChooseAlias("SHOP");
  Click(test::Child<QPushButton>(&dlg_, "IncAllBtn"));
  ASSERT_TRUE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  test::Child<QLineEdit>(&dlg_, "edtDirectory")->setFocus();
  QTest::keyClicks(test::Child<QLineEdit>(&dlg_, "edtDirectory"), "/nowhere");
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  test::Child<QLineEdit>(&dlg_, "edtDirectory")->setText(QString::fromStdString(dir_.path()));
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
}

TEST_F(RebuildChooserDlgTest, TypingAnAliasRefillsAtEveryKeyAndEmptiesTheChosenList) {
  Show();
  ChooseAlias("SHOP");
  Click(test::Child<QPushButton>(&dlg_, "IncAllBtn"));
  QTest::keyClick(test::Child<QComboBox>(&dlg_, "cbAliases")->lineEdit(),
                  Qt::Key_Backspace);  // "SHO"
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "DstList")).isEmpty());
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text(), "");
  QTest::keyClicks(test::Child<QComboBox>(&dlg_, "cbAliases")->lineEdit(), "p");
  EXPECT_EQ(Items(test::Child<QListWidget>(&dlg_, "SrcList")).size(), 4);
}

TEST_F(RebuildChooserDlgTest, FileNameModeEnablesOkForANewFileName) {
  Show(RebuildChooser::Mode::kFileName);
  EXPECT_EQ(test::Child<QLabel>(&dlg_, "lblDirectory")->text(), "Filename");
  ChooseAlias("SHOP");
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text(),
            "");  // not filled from the alias
  Select(test::Child<QListWidget>(&dlg_, "SrcList"), {"b_parts"});
  Click(test::Child<QPushButton>(&dlg_, "IncludeBtn"));
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  test::Child<QLineEdit>(&dlg_, "edtDirectory")->setFocus();
  QTest::keyClicks(test::Child<QLineEdit>(&dlg_, "edtDirectory"),
                   QString::fromStdString(dir_.file("listing.txt")));
  EXPECT_TRUE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  Click(test::Child<QPushButton>(&dlg_, "OKBtn"));
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(dlg_.choice().output_directory, dir_.file("listing.txt"));
}

TEST_F(RebuildChooserDlgTest, EveryShowingStartsEmpty) {
  Show();
  ChooseAlias("SHOP");
  Click(test::Child<QPushButton>(&dlg_, "IncAllBtn"));
  dlg_.reject();
  test::AddTableRow(*dm_, "ARCHIVE", "old");
  Show();
  EXPECT_EQ(ComboItems(test::Child<QComboBox>(&dlg_, "cbAliases")),
            QStringList({"ARCHIVE", "DEMO", "SHOP"}));
  EXPECT_EQ(test::Child<QComboBox>(&dlg_, "cbAliases")->currentText(), "");
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text(), "");
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "SrcList")).isEmpty());
  EXPECT_TRUE(Items(test::Child<QListWidget>(&dlg_, "DstList")).isEmpty());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "OKBtn")->isEnabled());
  EXPECT_FALSE(test::Child<QPushButton>(&dlg_, "IncAllBtn")->isEnabled());
}

TEST_F(RebuildChooserDlgTest, ACaptionChangedDoesNotChangeTheMode) {
  // A caption set as a translation might set it leaves the mode as given.
  auto* label = test::Child<QLabel>(&dlg_, "lblDirectory");
  label->setText("Filename");
  Show(RebuildChooser::Mode::kOutDirectory);
  EXPECT_EQ(label->text(), "Out directory");
  ChooseAlias("SHOP");
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text().toStdString(), shop_);
  dlg_.reject();
  label->setText("Out directory");
  Show(RebuildChooser::Mode::kFileName);
  EXPECT_EQ(label->text(), "Filename");
  ChooseAlias("SHOP");
  EXPECT_EQ(test::Child<QLineEdit>(&dlg_, "edtDirectory")->text(), "");
}

TEST_F(RebuildChooserDlgTest, TheMoveButtonsSayWhatTheyDo) {
  std::set<QString> names;
  for (const char* name : {"IncludeBtn", "IncAllBtn", "ExcludeBtn", "ExAllBtn"}) {
    const auto* button = test::Child<QPushButton>(&dlg_, name);
    EXPECT_FALSE(button->accessibleName().isEmpty()) << name;
    EXPECT_EQ(button->toolTip(), button->accessibleName()) << name;
    names.insert(button->accessibleName());
  }
  EXPECT_EQ(names.size(), 4u);
}

TEST_F(RebuildChooserDlgTest, TheDialogComesBackWhereTheUserLeftIt) {
  Show();
  dlg_.move(dlg_.pos() + QPoint(37, 23));
  const QPoint left_at = dlg_.pos();
  dlg_.hide();
  TSceltaTabelleRegenDlg again(session_);
  again.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
  EXPECT_EQ(again.pos(), left_at);
}

}  // namespace
}  // namespace vellum::shell
