// The table model over a dataset, on the dictionary's field rows: it passes
// Qt's model tester through random changes made by the model and by others,
// follows the dataset by row signals (a reset only where the dataset resets),
// posts through the dataset so that the rules run, and keeps a refused row
// as the user left it.
#include "widgets/dataset_model.h"

#include <gtest/gtest.h>

#include <random>

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include "tests/widgets/dictionary_fixture.h"

namespace vellum::widgets {
namespace {

using engine::DatasetState;

// The columns of the fields grid as the management window has them.
std::vector<GridColumn> FieldColumns() {
  std::vector<GridColumn> c;
  c.push_back({.field = "Posizione", .width = 4});
  c.push_back({.field = "Nome", .width = 28});
  c.push_back({.field = "Tipo",
               .width = 8,
               .alignment = Qt::AlignCenter,
               .kind = CellKind::kPickList,
               .pick_list = {"String", "Smallint", "Integer"}});
  c.push_back({.field = "Obbligatorio", .width = 5, .kind = CellKind::kCheckBox});
  c.push_back({.field = "Descrizione", .width = 50, .kind = CellKind::kMemo});
  c.push_back({.field = "CodTabella", .width = 5, .visible = false});
  return c;
}

// Collects what Qt's model tester reports, so that a test fails on it.
class TesterWarnings {
 public:
  TesterWarnings() { previous_ = qInstallMessageHandler(&TesterWarnings::Handle); }
  ~TesterWarnings() { qInstallMessageHandler(previous_); }
  TesterWarnings(const TesterWarnings&) = delete;
  TesterWarnings& operator=(const TesterWarnings&) = delete;
  static std::vector<std::string>& All() {
    static std::vector<std::string> all;
    return all;
  }

 private:
  static void Handle(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg) All().push_back(text.toStdString());
  }
  QtMessageHandler previous_ = nullptr;
};

class DatasetModelTest : public test::DictionaryFixture {
 protected:
  // The model's rows as the texts of its columns 0 to 3.
  std::vector<std::string> ModelRows(const DatasetTableModel& model) {
    std::vector<std::string> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
      std::string row;
      for (int c = 0; c < 3; ++c) row += model.index(r, c).data().toString().toStdString() + "|";
      row += model.index(r, 3).data(Qt::CheckStateRole).toInt() == Qt::Checked ? "x" : "-";
      rows.push_back(row);
    }
    return rows;
  }
  // The same from the dataset's posted rows.
  std::vector<std::string> DatasetRows(engine::Dataset& d) {
    std::vector<std::string> rows;
    for (uint32_t p = 0; p < d.rowCount(); ++p) {
      const engine::Row row = d.rowAt(p);
      const auto text = [&](const char* name) {
        return engine::ValueToText(row[d.fieldByName(name).index()]);
      };
      const engine::Value& required = row[d.fieldByName("Obbligatorio").index()];
      rows.push_back(
          text("Posizione") + "|" + text("Nome") + "|" + text("Tipo") + "|" +
          (std::holds_alternative<bool>(required) && std::get<bool>(required) ? "x" : "-"));
    }
    return rows;
  }
};

TEST_F(DatasetModelTest, PassesTheModelTesterThroughRandomChangesAndKeepsTheDatasetsRows) {
  TesterWarnings warnings;
  TesterWarnings::All().clear();
  AddTable("DB", "ORDERS");
  AddTable("DB", "CUSTOMERS");
  DatasetTableModel model(dm_.tblFields, FieldColumns());
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
  auto& fields = dm_.tblFields;
  std::mt19937 rng(20261209);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int code_column = model.columnOf("CodTabella");
  for (int step = 0; step < 300; ++step) {
    const int what = pick(100);
    const int rows = static_cast<int>(fields.rowCount());
    std::string done;
    if (what < 30) {
      ASSERT_TRUE(model.insertRow());
      const int row = model.rowCount() - 1;
      // Positions apart from the rule's count + 1, which collides after a
      // deletion.
      model.setData(model.index(row, 0), QString::number(2000 + step));
      model.setData(model.index(row, 1), QString("F%1").arg(step));
      ASSERT_TRUE(model.postPending()) << (errors_.empty() ? "" : errors_.back());
      done = "insert through the model";
    } else if (what < 45 && rows > 0) {
      const int row = pick(rows);
      model.setData(model.index(row, 1), QString("N%1").arg(step));
      if (pick(2)) model.setData(model.index(row, 3), Qt::Checked, Qt::CheckStateRole);
      ASSERT_TRUE(model.makeCurrent(pick(rows)));
      ASSERT_TRUE(model.postPending());
      done = "edit through the model";
    } else if (what < 55 && rows > 0) {
      // Another view of the table changes a row: Posizione is the key, so
      // the row may move.
      engine::Dataset other(session_);
      other.setDatabaseName("DataDict");
      other.setTableName(dictionary::kFieldsTable);
      other.open();
      other.gotoBookmark(fields.bookmarkAt(static_cast<uint32_t>(pick(rows))));
      other.edit();
      other.fieldByName("Tipo").setAsString(pick(2) ? "Integer" : "String");
      if (pick(2)) other.fieldByName("Posizione").setAsInteger(500 + step);
      other.post();
      done = "another view's edit";
    } else if (what < 65 && rows > 0) {
      ASSERT_TRUE(model.makeCurrent(pick(rows)));
      fields.remove();
      done = "delete";
    } else if (what < 75) {
      dm_.tblTables.first();
      if (pick(2)) dm_.tblTables.next();
      done = "another table";
    } else if (what < 80) {
      fields.disableControls();
      for (int i = 0; i < 3; ++i) {
        fields.insert();
        fields.fieldByName("Posizione").setAsInteger(3000 + step * 3 + i);
        fields.fieldByName("Nome").setAsString("B" + std::to_string(step * 3 + i));
        fields.post();
      }
      fields.enableControls();
      done = "bulk insert";
    } else if (what < 85) {
      fields.setDisplayLabel("Nome", pick(2) ? "Name" : "");
      done = "label";
    } else {
      continue;
    }
    ASSERT_TRUE(TesterWarnings::All().empty())
        << "step " << step << " (" << done << "): " << TesterWarnings::All().front();
    ASSERT_EQ(ModelRows(model), DatasetRows(fields)) << "step " << step << " (" << done << ")";
    for (int r = 0; r < model.rowCount(); ++r) {
      ASSERT_EQ(model.index(r, code_column).data().toString().toStdString(),
                dm_.tblTables.fieldByName("Codice").asString())
          << "step " << step << " (" << done << ")";
    }
  }
  EXPECT_GT(fields.table().recordCount(), 20u);
}

}  // namespace
}  // namespace vellum::widgets
