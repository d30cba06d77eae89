// The load chooser as a user sees it: captions, the aliases offered, what
// choosing a source does to the lists and the load-as name, what a reopened
// dialog keeps, and its layout.
#include "loading/ui/load_chooser_dlg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "app/translation.h"
#include "dictionary/schema.h"
#include "dictionary/ui/application_errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_test_support.h"

namespace vellum::loading {
namespace {

namespace fs = std::filesystem;

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

QStringList ComboItems(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

// SHOP (STANDARD) holds the tables A, B and C; REMOTE, of another type,
// holds films. Every error the dialog hands to the application is kept.
class LoadChooserDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dict_);
    for (const std::string& dir : {shop_, remote_}) fs::create_directories(dir);
    for (const char* name : {"C", "A", "B"}) MakeTable(shop_, name);
    MakeTable(remote_, "films");
    test::WriteFile(dir_.file("aliases.conf"),
                    "SHOP STANDARD " + shop_ + "\nREMOTE POSTGRES " + remote_ + "\n");
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    dlg_ = std::make_unique<TSceltaTabelleDlg>(*dm_);
    previous_handler_ =
        ui::SetApplicationErrorHandler([this](QObject*, const std::exception_ptr& error) {
          errors_ << QString::fromStdString(ui::ErrorText(error));
        });
  }
  void TearDown() override { ui::SetApplicationErrorHandler(previous_handler_); }

  static void MakeTable(const std::string& dir, const std::string& name) {
    engine::paradox::TableDefinition def;
    def.fields = {{"ID", engine::FieldType::kInteger, 0, false}};
    engine::paradox::Table::Create(dir, name, def);
  }

  void Show() {
    dlg_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
  }

  template <typename Control>
  Control* Get(const char* name) {
    return test::Child<Control>(dlg_.get(), name);
  }

  // Types `text` into the source box in place of what it holds.
  void TypeSource(const QString& text) {
    QLineEdit* edit = Get<QComboBox>("cbAliases")->lineEdit();
    edit->setFocus();
    edit->selectAll();
    if (text.isEmpty()) {
      QTest::keyClick(edit, Qt::Key_Backspace);
    } else {
      QTest::keyClicks(edit, text);
    }
  }

  void Click(const char* name) {
    auto* button = Get<QPushButton>(name);
    ASSERT_TRUE(button->isEnabled()) << name;
    QTest::mouseClick(button, Qt::LeftButton);
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string shop_ = dir_.file("shop");
  std::string remote_ = dir_.file("remote");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
  std::unique_ptr<TSceltaTabelleDlg> dlg_;
  ui::ApplicationErrorHandler previous_handler_;
  QStringList errors_;
};

TEST_F(LoadChooserDlgTest, CaptionsAtDesignAndAfterShowing) {
  EXPECT_EQ(dlg_->windowTitle(), "Scelta tabelle");
  EXPECT_EQ(Get<QLabel>("Label1")->text(), "Sorgente");
  EXPECT_EQ(Get<QLabel>("Label2")->text(), "Carica come");
  EXPECT_EQ(Get<QLabel>("pSrcTitle")->text(), "Tabelle Disponibili");
  EXPECT_EQ(Get<QLabel>("pDstTitle")->text(), "Tabelle da Caricare");
  EXPECT_EQ(Get<QPushButton>("CancelBtn")->text(), "Annulla");
  EXPECT_EQ(Get<QComboBox>("cbAliases")->toolTip(), "Scelta dell'Alias, oppure Pathname del DB");
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->toolTip(), "Nome Alias di caricamento.");
  EXPECT_TRUE(Get<QPushButton>("OKBtn")->isDefault());
  EXPECT_FALSE(Get<QPushButton>("OKBtn")->isEnabled());
  Show();
  EXPECT_EQ(dlg_->windowTitle(), "Choose tables");
  EXPECT_EQ(Get<QLabel>("Label1")->text(), "Source");
  EXPECT_EQ(Get<QLabel>("Label2")->text(), "Load as");
  EXPECT_EQ(Get<QLabel>("pSrcTitle")->text(), "Tables available");
  EXPECT_EQ(Get<QLabel>("pDstTitle")->text(), "Tables to load");
  EXPECT_EQ(Get<QPushButton>("CancelBtn")->text(), "Cancel");
  EXPECT_EQ(
      QStringList({">", ">>", "<", "<<"}),
      QStringList({Get<QPushButton>("IncludeBtn")->text(), Get<QPushButton>("IncAllBtn")->text(),
                   Get<QPushButton>("ExcludeBtn")->text(), Get<QPushButton>("ExAllBtn")->text()}));
}

TEST_F(LoadChooserDlgTest, OnlyStandardAliasesAreOfferedButAnotherMayBeTyped) {
  Show();
  EXPECT_EQ(ComboItems(Get<QComboBox>("cbAliases")), QStringList({"SHOP"}));
  EXPECT_EQ(Get<QComboBox>("cbAliases")->currentText(), "");
  TypeSource("REMOTE");
  EXPECT_EQ(Items(Get<QListWidget>("SrcList")), QStringList({"films"}));
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->text(), "REMOTE");
}

TEST_F(LoadChooserDlgTest, PickingAnAliasListsItsTablesAndFillsTheLoadAsName) {
  Show();
  Get<QComboBox>("cbAliases")->setCurrentIndex(0);
  EXPECT_EQ(Items(Get<QListWidget>("SrcList")), QStringList({"A", "B", "C"}));
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->text(), "SHOP");
  EXPECT_TRUE(Get<QPushButton>("IncludeBtn")->isEnabled());
  EXPECT_FALSE(Get<QPushButton>("ExcludeBtn")->isEnabled());
  EXPECT_FALSE(Get<QPushButton>("OKBtn")->isEnabled());
}

TEST_F(LoadChooserDlgTest, ThreeSelectedTablesArriveReversedAndAllArriveInOrder) {
  Show();
  TypeSource("SHOP");
  Get<QListWidget>("SrcList")->selectAll();
  Click("IncludeBtn");
  EXPECT_EQ(Items(Get<QListWidget>("DstList")), QStringList({"C", "B", "A"}));
  EXPECT_TRUE(Get<QPushButton>("OKBtn")->isEnabled());
  EXPECT_FALSE(Get<QPushButton>("IncludeBtn")->isEnabled());
  Click("ExAllBtn");
  EXPECT_EQ(Items(Get<QListWidget>("SrcList")), QStringList({"A", "B", "C"}));
  Click("IncAllBtn");
  EXPECT_EQ(Items(Get<QListWidget>("DstList")), QStringList({"A", "B", "C"}));
  Click("OKBtn");
  EXPECT_EQ(dlg_->result(), QDialog::Accepted);
  const LoadChoice choice = dlg_->choice();
  EXPECT_EQ(choice.source, "SHOP");
  EXPECT_EQ(choice.load_as, "SHOP");
  EXPECT_EQ(choice.tables, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(LoadChooserDlgTest, ATypedPathListsItsTablesAndEmptiesTheLoadAsName) {
  Show();
  TypeSource("SHOP");
  Click("IncAllBtn");
  TypeSource(QString::fromStdString(shop_));
  EXPECT_EQ(Items(Get<QListWidget>("SrcList")), QStringList({"A", "B", "C"}));
  EXPECT_TRUE(Items(Get<QListWidget>("DstList")).isEmpty());
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->text(), "");
  Click("IncAllBtn");
  EXPECT_FALSE(Get<QPushButton>("OKBtn")->isEnabled());  // no load-as name yet
  Get<QLineEdit>("edtAlias")->setFocus();
  QTest::keyClicks(Get<QLineEdit>("edtAlias"), "COPY");
  EXPECT_TRUE(Get<QPushButton>("OKBtn")->isEnabled());
  EXPECT_EQ(dlg_->choice().source, shop_);
  EXPECT_EQ(dlg_->choice().load_as, "COPY");
}

TEST_F(LoadChooserDlgTest, ASourceTheEngineCannotListEmptiesTheListSilently) {
  Show();
  TypeSource("SHOP");
  Click("IncAllBtn");
  // One key more: "SHOPX" is neither an alias nor a directory.
  QTest::keyClick(Get<QComboBox>("cbAliases")->lineEdit(), Qt::Key_X);
  EXPECT_TRUE(Items(Get<QListWidget>("SrcList")).isEmpty());
  EXPECT_TRUE(Items(Get<QListWidget>("DstList")).isEmpty());
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->text(), "");
  EXPECT_FALSE(Get<QPushButton>("IncAllBtn")->isEnabled());
  EXPECT_TRUE(errors_.isEmpty()) << errors_.join("\n").toStdString();
  EXPECT_TRUE(ui_.shown.empty());
}

TEST_F(LoadChooserDlgTest, AReopenedDialogKeepsItsChoiceButCannotConfirmWithoutASource) {
  Show();
  TypeSource("SHOP");
  Get<QListWidget>("SrcList")->item(1)->setSelected(true);  // B
  Click("IncludeBtn");
  Get<QLineEdit>("edtAlias")->setText("SHOP2");
  Click("OKBtn");
  ASSERT_EQ(dlg_->result(), QDialog::Accepted);

  Show();
  EXPECT_EQ(Get<QComboBox>("cbAliases")->currentText(), "");
  EXPECT_EQ(ComboItems(Get<QComboBox>("cbAliases")), QStringList({"SHOP"}));
  EXPECT_TRUE(Items(Get<QListWidget>("SrcList")).isEmpty());
  EXPECT_EQ(Items(Get<QListWidget>("DstList")), QStringList({"B"}));
  EXPECT_EQ(Get<QLineEdit>("edtAlias")->text(), "SHOP2");
  // With the source gone, OK would hand the loader an empty source.
  EXPECT_FALSE(Get<QPushButton>("OKBtn")->isEnabled());
  EXPECT_FALSE(Get<QPushButton>("IncludeBtn")->isEnabled());
  EXPECT_TRUE(Get<QPushButton>("ExcludeBtn")->isEnabled());
  // Enter, the default button's key, does not confirm either.
  QTest::keyClick(dlg_.get(), Qt::Key_Return);
  EXPECT_TRUE(dlg_->isVisible());
}

TEST_F(LoadChooserDlgTest, IncludeWithNothingSelectedSelectsTheFirstTableForTheNextInclude) {
  Show();
  TypeSource("SHOP");
  Click("IncludeBtn");
  EXPECT_TRUE(Items(Get<QListWidget>("DstList")).isEmpty());
  ASSERT_EQ(Get<QListWidget>("SrcList")->selectedItems().size(), 1);
  EXPECT_EQ(Get<QListWidget>("SrcList")->selectedItems()[0]->text(), "A");
  EXPECT_TRUE(Get<QListWidget>("SrcList")->hasFocus());
  Click("IncludeBtn");
  EXPECT_EQ(Items(Get<QListWidget>("DstList")), QStringList({"A"}));
  EXPECT_EQ(Get<QListWidget>("SrcList")->selectedItems()[0]->text(), "B");
}

TEST_F(LoadChooserDlgTest, DoubleClicksMoveAndOnAnEmptyListDoNothing) {
  Show();
  QTest::mouseDClick(Get<QListWidget>("SrcList")->viewport(), Qt::LeftButton);
  EXPECT_TRUE(Items(Get<QListWidget>("DstList")).isEmpty());
  TypeSource("SHOP");
  auto* src = Get<QListWidget>("SrcList");
  const QPoint at = src->visualItemRect(src->item(2)).center();  // C
  QTest::mouseClick(src->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(src->viewport(), Qt::LeftButton, {}, at);
  EXPECT_EQ(Items(Get<QListWidget>("DstList")), QStringList({"C"}));
  EXPECT_TRUE(errors_.isEmpty());
}

// The layout of the design: the source above the load-as name in a band at
// the top, each box with its label on its left; the available list, the
// column of move buttons and the chosen list side by side below it; OK and
// Cancel at the bottom right. With VELLUM_TEST_SCREENSHOTS set, a picture of
// the dialog is saved there.
TEST_F(LoadChooserDlgTest, LaidOutAsDesigned) {
  // Pictures are taken in the language of the environment (LANG).
  const QString shots = qEnvironmentVariable("VELLUM_TEST_SCREENSHOTS");
  if (!shots.isEmpty()) app::InstallTranslation(QLocale());
  Show();
  TypeSource("SHOP");
  Get<QListWidget>("SrcList")->item(0)->setSelected(true);
  Click("IncludeBtn");
  auto rect = [this](const char* name) {
    auto* widget = Get<QWidget>(name);
    return QRect(widget->mapTo(dlg_.get(), QPoint(0, 0)), widget->size());
  };
  const QRect band = rect("pTop");
  for (const char* name : {"Label1", "cbAliases", "Label2", "edtAlias"}) {
    EXPECT_TRUE(band.contains(rect(name))) << name;
  }
  EXPECT_LT(rect("Label1").right(), rect("cbAliases").left());
  EXPECT_LT(rect("Label2").right(), rect("edtAlias").left());
  EXPECT_LT(rect("cbAliases").bottom(), rect("edtAlias").top());
  EXPECT_LT(band.bottom(), rect("pSrcTitle").top());
  EXPECT_LT(rect("pSrcTitle").bottom(), rect("SrcList").top() + 1);
  EXPECT_LT(rect("SrcList").right(), rect("IncludeBtn").left());
  EXPECT_LT(rect("IncludeBtn").right(), rect("DstList").left());
  EXPECT_EQ(rect("SrcList").top(), rect("DstList").top());
  const char* column[] = {"IncludeBtn", "IncAllBtn", "ExcludeBtn", "ExAllBtn"};
  for (int i = 0; i + 1 < 4; ++i) {
    EXPECT_LT(rect(column[i]).bottom(), rect(column[i + 1]).top()) << column[i];
  }
  EXPECT_LT(rect("SrcList").bottom(), rect("OKBtn").top());
  EXPECT_LT(rect("OKBtn").right(), rect("CancelBtn").left());
  EXPECT_GT(rect("CancelBtn").right(), dlg_->width() * 3 / 4);
  EXPECT_TRUE(dlg_->rect().contains(rect("CancelBtn")));

  if (!shots.isEmpty()) {
    QTest::qWait(50);
    EXPECT_TRUE(dlg_->grab().save(shots + "/load_chooser_" + QLocale().name() + ".png"));
    app::InstallTranslation(QLocale(QLocale::English));
  }
}

}  // namespace
}  // namespace vellum::loading
