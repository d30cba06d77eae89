// The grid and its model as a user meets them: a change of one row repaints
// that row only, a refused post keeps the row and its message is shown, a
// check box toggles with one click, the grid and the dataset keep the same
// current row, the type drop-down opens by itself and takes free text, new
// rows get the rules' values, and a bulk change ends in one reset.
#include "widgets/dataset_grid.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QSignalSpy>
#include <QTest>

#include "tests/widgets/dictionary_fixture.h"
#include "widgets/dataset_model.h"

namespace vellum::widgets {
namespace {

using engine::DatasetState;

const char* const kNullNameMessage = "The alias and the table name cannot be null!";

std::vector<GridColumn> FieldColumns() {
  std::vector<GridColumn> c;
  c.push_back({.field = "Posizione", .width = 4});
  c.push_back({.field = "Nome", .width = 28});
  c.push_back({.field = "Tipo",
               .width = 8,
               .alignment = Qt::AlignCenter,
               .kind = CellKind::kPickList,
               .pick_list = {"String", "Smallint", "Integer", "AutoInc", "Word", "Boolean", "Float",
                             "Currency", "BCD", "Date"}});
  c.push_back({.field = "Obbligatorio", .width = 5, .kind = CellKind::kCheckBox});
  c.push_back({.field = "Descrizione", .width = 50, .kind = CellKind::kMemo});
  c.push_back({.field = "CodTabella", .width = 5, .visible = false});
  return c;
}

std::vector<GridColumn> TableColumns() {
  return {{.field = "Alias", .width = 20}, {.field = "Nome", .width = 30}};
}

class DatasetGridTest : public test::DictionaryFixture {
 protected:
  void SetUp() override {
    DictionaryFixture::SetUp();
    AddTable("DB", "ORDERS");
    AddField("Id", "Integer", true);
    AddField("Customer", "String");
    AddField("Total", "Float");
  }

  // A grid over `model`, shown and active, as in a window.
  std::unique_ptr<DatasetGrid> Show(DatasetTableModel& model) {
    auto grid = std::make_unique<DatasetGrid>();
    grid->resize(900, 300);
    grid->setDatasetModel(&model);
    grid->show();
    grid->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(grid.get()));
    return grid;
  }
  // Clicks the cell (row, column) of `grid` once.
  static void Click(DatasetGrid& grid, int row, int column) {
    const QRect cell = grid.visualRect(grid.model()->index(row, column));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QApplication::processEvents();
  }
  // Another view of DDFields, changing the row at `position` of tblFields.
  void EditElsewhere(uint32_t position, const std::string& type) {
    engine::Dataset other(session_);
    other.setDatabaseName("DataDict");
    other.setTableName(dictionary::kFieldsTable);
    other.open();
    ASSERT_TRUE(other.gotoBookmark(dm_.tblFields.bookmarkAt(position)));
    other.edit();
    other.fieldByName("Tipo").setAsString(type);
    other.post();
  }
  static QString Cell(const QAbstractItemModel& model, int row, int column,
                      int role = Qt::DisplayRole) {
    return model.index(row, column).data(role).toString();
  }
};

TEST_F(DatasetGridTest, AChangeOfOneRowRepaintsThatRowOnlyWithoutAReset) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  QAbstractItemModelTester tester(&model);
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&model, &QAbstractItemModel::modelAboutToBeReset);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  EditElsewhere(1, "Smallint");
  ASSERT_EQ(changed.count(), 1);
  const auto top = changed[0][0].value<QModelIndex>();
  const auto bottom = changed[0][1].value<QModelIndex>();
  EXPECT_EQ(top.row(), 1);
  EXPECT_EQ(bottom.row(), 1);
  EXPECT_EQ(Cell(model, 1, 2), "Smallint");
  EXPECT_EQ(reset.count(), 0);
  EXPECT_EQ(inserted.count(), 0);
  EXPECT_EQ(removed.count(), 0);

  // A new row posted by another view comes as that one row inserted.
  engine::Dataset other(session_);
  other.setDatabaseName("DataDict");
  other.setTableName(dictionary::kFieldsTable);
  other.open();
  other.insert();
  other.fieldByName("CodTabella").setValue(dm_.tblTables.fieldByName("Codice").value());
  other.fieldByName("Posizione").setAsInteger(9);
  other.fieldByName("Nome").setAsString("Notes");
  other.post();
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(inserted[0][1].toInt(), 3);
  EXPECT_EQ(inserted[0][2].toInt(), 3);
  EXPECT_EQ(reset.count(), 0);
  EXPECT_EQ(model.rowCount(), 4);
}

TEST_F(DatasetGridTest, ARefusedPostKeepsTheRowAsTheUserLeftItAndShowsTheRulesMessage) {
  AddTable("DB", "PARTS");
  DatasetTableModel model(dm_.tblTables, TableColumns());
  auto grid = Show(model);
  ASSERT_TRUE(model.makeCurrent(0));
  ASSERT_TRUE(model.setData(model.index(0, 1), QString()));  // no name
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kEdit);

  Click(*grid, 1, 1);  // leaving the row posts it: refused
  EXPECT_EQ(Shown(), std::vector<std::string>{kNullNameMessage});
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kEdit);
  EXPECT_EQ(dm_.tblTables.currentPosition(), 0u);
  EXPECT_EQ(grid->currentIndex().row(), 0);
  EXPECT_EQ(Cell(model, 0, 1), "");  // what the user left
  EXPECT_TRUE(errors_.empty()) << errors_.front();

  // Named again, the row posts when the user leaves it.
  ASSERT_TRUE(model.setData(model.index(0, 1), QString("ORDERS2")));
  Click(*grid, 1, 1);
  EXPECT_EQ(dm_.tblTables.state(), DatasetState::kBrowse);
  EXPECT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Cell(model, 0, 1), "ORDERS2");
  EXPECT_EQ(grid->currentIndex().row(), 1);
  EXPECT_EQ(dm_.tblTables.fieldByName("Nome").asString(), "PARTS");
}

TEST_F(DatasetGridTest, ACheckBoxTogglesWithOneClickOnAnyRow) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  const int required = model.columnOf("Obbligatorio");
  ASSERT_EQ(Cell(model, 2, required, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  Click(*grid, 2, required);  // not the current row
  EXPECT_EQ(Cell(model, 2, required, Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(dm_.tblFields.currentPosition(), 2u);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kEdit);
  Click(*grid, 2, required);
  EXPECT_EQ(Cell(model, 2, required, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  QTest::keyClick(grid->viewport(), Qt::Key_Space);
  EXPECT_EQ(Cell(model, 2, required, Qt::CheckStateRole).toInt(), Qt::Checked);

  Click(*grid, 0, 1);  // leaving the row posts it
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_TRUE(
      std::get<bool>(dm_.tblFields.valueAt(2, dm_.tblFields.fieldByName("Obbligatorio").index())));
}

TEST_F(DatasetGridTest, TheGridAndTheDatasetFollowEachOthersCurrentRow) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  EXPECT_EQ(grid->currentIndex().row(), 2);  // the last field added
  dm_.tblFields.first();
  EXPECT_EQ(grid->currentIndex().row(), 0);
  dm_.tblFields.last();
  EXPECT_EQ(grid->currentIndex().row(), 2);
  Click(*grid, 1, 1);
  EXPECT_EQ(dm_.tblFields.currentPosition(), 1u);
  EXPECT_EQ(dm_.tblFields.fieldByName("Nome").asString(), "Customer");
  QTest::keyClick(grid->viewport(), Qt::Key_Up);
  EXPECT_EQ(dm_.tblFields.currentPosition(), 0u);

  // Another table made current: the grid shows its rows, none of them.
  AddTable("DB", "EMPTY");
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_FALSE(grid->currentIndex().isValid());
}

TEST_F(DatasetGridTest, ARowClickedWhileAnotherRowsPostMovesItIsTheOneMadeCurrent) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  QAbstractItemModelTester tester(&model);
  auto grid = Show(model);
  ASSERT_TRUE(model.makeCurrent(0));
  ASSERT_TRUE(model.setData(model.index(0, 0), QString("10")));  // Id goes last
  Click(*grid, 1, 1);  // Customer, which the post moves up to row 0
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_EQ(dm_.tblFields.fieldByName("Nome").asString(), "Customer");
  EXPECT_EQ(grid->currentIndex().row(), 0);
  EXPECT_EQ(Cell(model, 0, 1), "Customer");
  EXPECT_EQ(Cell(model, 2, 1), "Id");
}

TEST_F(DatasetGridTest, TheTypeDropDownOpensByItselfAndTakesTextNotInItsList) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  const QModelIndex type = model.index(1, model.columnOf("Tipo"));
  grid->setCurrentIndex(type);
  grid->edit(type);
  auto* combo = grid->findChild<QComboBox*>("pickList");
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->maxVisibleItems(), 8);
  EXPECT_EQ(combo->currentText(), "String");
  ASSERT_TRUE(test::WaitFor([&] { return combo->view()->isVisible(); }, 3000))
      << "the list did not open";
  // Typed while the list is open: the text takes it.
  QTest::keyClicks(combo->view(), "Xyz");
  EXPECT_FALSE(combo->view()->isVisible());
  EXPECT_EQ(combo->currentText(), "StringXyz");
  combo->setEditText("Money");
  QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_EQ(Cell(model, 1, type.column()), "Money");
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kEdit);

  // An item chosen from the list ends the edit with it.
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the closed editor goes
  ASSERT_EQ(grid->findChild<QComboBox*>("pickList"), nullptr);
  grid->edit(type);
  combo = grid->findChild<QComboBox*>("pickList");
  ASSERT_NE(combo, nullptr);
  ASSERT_TRUE(test::WaitFor([&] { return combo->view()->isVisible(); }, 3000));
  combo->view()->setCurrentIndex(combo->model()->index(2, 0));
  QTest::keyClick(combo->view(), Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_EQ(Cell(model, 1, type.column()), "Integer");
}

TEST_F(DatasetGridTest, InsertStartsARowWithTheRulesValuesAndLeavingItPostsIt) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  const int code = static_cast<int>(dm_.tblTables.fieldByName("Codice").asInteger());
  QTest::keyClick(grid->viewport(), Qt::Key_Insert);
  ASSERT_EQ(model.rowCount(), 4);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kInsert);
  EXPECT_EQ(grid->currentIndex().row(), 3);
  EXPECT_EQ(Cell(model, 3, 0), "4");  // the position the rule proposes
  EXPECT_EQ(Cell(model, 3, model.columnOf("CodTabella")), QString::number(code));
  ASSERT_TRUE(model.setData(model.index(3, 1), QString("Notes")));
  Click(*grid, 0, 1);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  ASSERT_EQ(model.rowCount(), 4);
  EXPECT_EQ(Cell(model, 3, 1), "Notes");
  EXPECT_EQ(grid->currentIndex().row(), 0);

  // A new row left untouched goes away; Escape cancels an edit.
  QTest::keyClick(grid->viewport(), Qt::Key_Insert);
  ASSERT_EQ(model.rowCount(), 5);
  Click(*grid, 1, 1);
  EXPECT_EQ(model.rowCount(), 4);
  EXPECT_EQ(dm_.tblFields.recordCount(), 4u);
  ASSERT_TRUE(model.setData(model.index(1, 1), QString("Buyer")));
  QTest::keyClick(grid->viewport(), Qt::Key_Escape);
  EXPECT_EQ(dm_.tblFields.state(), DatasetState::kBrowse);
  EXPECT_EQ(Cell(model, 1, 1), "Customer");
}

TEST_F(DatasetGridTest, ColumnsTakeTheirWidthsAndTheFieldsDisplayLabels) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  QSignalSpy titles(&model, &QAbstractItemModel::headerDataChanged);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Posizione");
  dm_.tblFields.setDisplayLabel("Posizione", "Pos.");
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Pos.");
  ASSERT_EQ(titles.count(), 1);
  EXPECT_EQ(titles[0][1].toInt(), 0);
  // Labels outlive a reopening of the dictionary.
  dm_.OpenDictionary(dir_.path());
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Pos.");

  const int zero = grid->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  EXPECT_GT(grid->columnWidth(1), 28 * zero);
  EXPECT_LT(grid->columnWidth(1), 29 * zero + 10);
  EXPECT_GT(grid->columnWidth(4), grid->columnWidth(1));
  EXPECT_TRUE(grid->isColumnHidden(model.columnOf("CodTabella")));
  EXPECT_EQ(model.index(0, 2).data(Qt::TextAlignmentRole).value<Qt::Alignment>(), Qt::AlignCenter);
}

TEST_F(DatasetGridTest, ABulkChangeStopsRepaintsAndEndsInOneReset) {
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  auto grid = Show(model);
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  dm_.tblFields.disableControls();
  for (const char* name : {"A", "B", "C"}) AddField(name, "String");
  EXPECT_FALSE(grid->updatesEnabled());
  EXPECT_TRUE(model.repaintsSuspended());
  dm_.tblFields.enableControls();
  EXPECT_TRUE(grid->updatesEnabled());
  EXPECT_EQ(resets.count(), 1);
  EXPECT_EQ(inserted.count(), 0);
  EXPECT_EQ(model.rowCount(), 6);
  EXPECT_EQ(Cell(model, 5, 1), "C");
}

}  // namespace
}  // namespace vellum::widgets
