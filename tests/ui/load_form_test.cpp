// The management window as a user works it: texts set on activation, Delete
// all, the note dialogs, and the posts made when the user moves on (to the
// fields grid, to another window).
#include "loading/ui/load_form.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QTest>

#include "tests/widgets/dictionary_fixture.h"
#include "widgets/dataset_grid.h"
#include "widgets/dataset_model.h"
#include "widgets/dataset_navigator.h"
#include "widgets/field_controls.h"
#include "widgets/memo_dialog.h"

namespace vellum::loading {
namespace {

using engine::DatasetState;

class LoadFormTest : public test::DictionaryFixture {
 protected:
  void SetUp() override {
    DictionaryFixture::SetUp();
    AddTable("SALES", "ORDERS");
    AddField("OrderNo", "AutoInc", true);
    AddField("Customer", "Integer");
    auto& i = dm_.tblIndex;
    i.insert();
    i.fieldByName("Nome").setAsString("ByCustomer");
    i.fieldByName("CampiChiave").setAsString("Customer");
    i.post();
    AddTable("SALES", "CUSTOMERS");
    AddField("Code", "Integer", true);
    form_ = std::make_unique<TLoadForm>(dm_, ui_);
  }
  void TearDown() override {
    form_.reset();
    DictionaryFixture::TearDown();
  }

  void Activate(QWidget& window) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }
  uint32_t Rows(const char* table) {
    engine::Dataset d(session_);
    d.setDatabaseName("DataDict");
    d.setTableName(table);
    d.open();
    return d.recordCount();
  }
  // The names of every field row on disk, sorted.
  std::vector<std::string> FieldNames() {
    engine::Dataset d(session_);
    d.setDatabaseName("DataDict");
    d.setTableName("Ddfields.DB");
    d.open();
    std::vector<std::string> names;
    for (d.first(); !d.eof(); d.next()) names.push_back(d.fieldByName("Nome").asString());
    std::sort(names.begin(), names.end());
    return names;
  }
  widgets::DatasetGrid* Grid(const char* name) {
    return test::Child<widgets::DatasetGrid>(form_.get(), name);
  }
  // Runs the modal dialog `dialog` opens from `open`, keeping its caption
  // and closing it with Cancel.
  QString CaptionOf(QDialog* dialog, const std::function<void()>& open) {
    QString caption;
    test::WhenVisible(dialog, [&] {
      caption = dialog->windowTitle();
      dialog->reject();
    });
    open();
    return caption;
  }

  std::unique_ptr<TLoadForm> form_;
};

TEST_F(LoadFormTest, ActivationSetsTheTextsAndTheColumnTitles) {
  Activate(*form_);
  EXPECT_EQ(form_->windowTitle(), "Data dictionary manager");
  std::vector<QString> menu;
  for (QAction* a : test::Child<QMenuBar>(form_.get(), "MainMenu")->actions()) {
    menu.push_back(a->text());
  }
  EXPECT_EQ(menu, (std::vector<QString>{"&Exit", "&Load", "&Delete all", "&Print"}));
  EXPECT_FALSE(test::Child<QAction>(form_.get(), "Stampa1")->isEnabled());
  EXPECT_EQ(test::Child<QLabel>(form_.get(), "Label1")->text(), "Alias");
  EXPECT_EQ(test::Child<QLabel>(form_.get(), "Label3")->text(), "Insert");
  EXPECT_EQ(test::Child<QLabel>(form_.get(), "Label4")->text(), "Modified");
  EXPECT_FALSE(test::Child<widgets::FieldEdit>(form_.get(), "editPassword")->isEnabled());
  EXPECT_EQ(Grid("grIndexes")->toolTip(), "Double-click to insert the index description");
  EXPECT_EQ(dm_.tblFields.displayLabel("CodTabella"), "Table code");
  EXPECT_EQ(dm_.tblIndex.displayLabel("IgnoraMaiuscMinusc"), "No UPPER/lower");
  auto* fields = Grid("grFields");
  std::vector<QString> titles;
  for (int c = 0; c < fields->model()->columnCount(); ++c) {
    if (!fields->isColumnHidden(c)) {
      titles.push_back(fields->model()->headerData(c, Qt::Horizontal).toString());
    }
  }
  EXPECT_EQ(titles, (std::vector<QString>{"Pos.", "Name", "Type", "Len", "Obbl.", "Min", "Max",
                                          "Default", "Description"}));
  EXPECT_EQ(fields->columnWidth(1), fields->columnWidthFor(28));
}

TEST_F(LoadFormTest, DeleteAllAnsweredNoKeepsEverythingAndYesEmptiesTheDictionary) {
  Activate(*form_);
  ui_.answers = {Answer::kNo};
  test::Child<QAction>(form_.get(), "CancellaTutto1")->trigger();
  ASSERT_EQ(Shown(), (std::vector<std::string>{"Do you want to empty ALL the datadictionary?"}));
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kYesNo);
  EXPECT_EQ(Rows("Ddtables.DB"), 2U);
  EXPECT_EQ(Rows("Ddfields.DB"), 3U);
  EXPECT_EQ(Rows("Ddindex.DB"), 1U);

  ui_.answers = {Answer::kYes};
  QString caption_during;
  // The caption while emptying is seen from the deletions themselves.
  dm_.tblTables.beforeDelete = [&, previous = dm_.tblTables.beforeDelete](engine::Dataset& d) {
    caption_during = form_->windowTitle();
    if (previous) previous(d);
  };
  test::Child<QAction>(form_.get(), "CancellaTutto1")->trigger();
  EXPECT_EQ(caption_during, "Empting the Data Dictionary...");
  EXPECT_EQ(form_->windowTitle(), "Data dictionary manager");
  EXPECT_EQ(Rows("Ddtables.DB"), 0U);
  EXPECT_EQ(Rows("Ddfields.DB"), 0U);
  EXPECT_EQ(Rows("Ddindex.DB"), 0U);
  EXPECT_EQ(Grid("grFields")->model()->rowCount(), 0);
}

TEST_F(LoadFormTest, NoteDialogsNameTheRowAndThenTheTable) {
  Activate(*form_);
  ASSERT_TRUE(dm_.tblTables.findKey(
      {engine::Value{std::string("SALES")}, engine::Value{std::string("ORDERS")}}));
  auto* fields = Grid("grFields");
  fields->setCurrentIndex(fields->model()->index(1, 1));
  EXPECT_EQ(CaptionOf(form_->fieldsNotes(),
                      [&] { emit fields->doubleClicked(fields->model()->index(1, 1)); }),
            "Note on the field \"Customer\" of the table \"ORDERS\"");
  auto* indexes = Grid("grIndexes");
  indexes->setCurrentIndex(indexes->model()->index(0, 0));
  EXPECT_EQ(CaptionOf(form_->indexNotes(),
                      [&] { emit indexes->doubleClicked(indexes->model()->index(0, 0)); }),
            "Note on index \"ByCustomer\" of the table \"ORDERS\"");
  EXPECT_EQ(form_->fieldsNotes()->size(),
            QSize(widgets::MemoDialog::kWidth, widgets::MemoDialog::kHeight));
}

TEST_F(LoadFormTest, SwitchingToAnotherWindowPostsThePendingEdit) {
  Activate(*form_);
  auto* fields = Grid("grFields");
  auto* model = fields->datasetModel();
  const int name = model->columnOf("Nome");
  ASSERT_TRUE(model->setData(model->index(0, name), "Code2"));
  ASSERT_EQ(dm_.tblFields.state(), DatasetState::kEdit);
  QWidget other;
  Activate(other);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_EQ(FieldNames(), (std::vector<std::string>{"Code2", "Customer", "OrderNo"}));
}

TEST_F(LoadFormTest, ANewTableRowIsPostedWhenTheFieldsGridIsEnteredSoItsFieldsCarryItsCode) {
  Activate(*form_);
  auto* navigator = test::Child<widgets::DatasetNavigator>(form_.get(), "DBNavigator1");
  navigator->press(widgets::DatasetNavigator::Button::kInsert);
  ASSERT_EQ(dm_.tblTables.state(), DatasetState::kInsert);
  auto* alias = test::Child<widgets::FieldEdit>(form_.get(), "editAlias");
  auto* name = test::Child<widgets::FieldEdit>(form_.get(), "editNome");
  alias->setFocus();
  QTest::keyClicks(alias, "STOCK");
  name->setFocus();
  QTest::keyClicks(name, "ITEMS");
  auto* fields = Grid("grFields");
  fields->setFocus();
  ASSERT_TRUE(test::WaitFor([&] { return fields->hasFocus(); }));
  ASSERT_EQ(dm_.tblTables.state(), DatasetState::kBrowse);
  const engine::Value code = dm_.tblTables.fieldByName("Codice").value();
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "ITEMS");

  auto* model = fields->datasetModel();
  ASSERT_EQ(model->rowCount(), 0);
  ASSERT_TRUE(model->insertRow());
  ASSERT_TRUE(model->setData(model->index(0, model->columnOf("Nome")), "Sku"));
  ASSERT_TRUE(model->postPending());
  EXPECT_EQ(dm_.tblFields.fieldByName("CodTabella").value(), code);
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace vellum::loading
