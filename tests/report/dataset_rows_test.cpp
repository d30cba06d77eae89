#include "report/dataset_rows.h"

#include <gtest/gtest.h>

#include "dictionary/locale_helper.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "tests/support/temp_dir.h"

namespace vellum::report {
namespace {

using engine::FieldType;
using engine::paradox::Table;
using engine::paradox::TableDefinition;

class DatasetRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Locale::SetShortDateFormatForTesting("%d/%m/%Y");
    Locale::SetDecimalSeparatorForTesting(',');
    TableDefinition definition;
    definition.fields = {{"Nome", FieldType::kString, 20, false},
                         {"Primario", FieldType::kBoolean, 0, false},
                         {"Data", FieldType::kDate, 0, false},
                         {"Valore", FieldType::kFloat, 0, false},
                         {"Lunghezza", FieldType::kSmallint, 0, false},
                         {"Descrizione", FieldType::kMemo, 10, false}};
    Table::Create(dir_.path(), "ROWS", definition);
    dataset_.setDatabaseName(dir_.path());
    dataset_.setTableName("ROWS");
    dataset_.open();
  }
  void TearDown() override {
    Locale::SetShortDateFormatForTesting(std::nullopt);
    Locale::SetDecimalSeparatorForTesting(std::nullopt);
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("none.conf")};
  engine::Dataset dataset_{session_};
};

TEST_F(DatasetRowsTest, ColumnsPrintAsTheirDisplayTextRowAfterRow) {
  DatasetRows rows(dataset_);
  EXPECT_FALSE(rows.First());

  dataset_.insert();
  dataset_.fieldByName("Nome").setAsString("Città");
  dataset_.fieldByName("Primario").setAsBoolean(true);
  dataset_.fieldByName("Data").setAsDate(engine::DateFromYmd(2024, 3, 7));
  dataset_.fieldByName("Valore").setAsFloat(1.5);
  dataset_.fieldByName("Lunghezza").setAsInteger(40);
  dataset_.fieldByName("Descrizione").setAsString("first line\nsecond line");
  dataset_.post();
  dataset_.insert();
  dataset_.fieldByName("Nome").setAsString("Zeta");
  dataset_.fieldByName("Primario").setAsBoolean(false);
  dataset_.post();

  ASSERT_TRUE(rows.First());
  EXPECT_EQ(rows.Text("Nome"), QStringLiteral("Città"));
  EXPECT_EQ(rows.Text("Primario"), QStringLiteral("True"));
  EXPECT_EQ(rows.Text("Data"), QStringLiteral("07/03/2024"));
  EXPECT_EQ(rows.Text("Valore"), QStringLiteral("1,5"));
  EXPECT_EQ(rows.Text("Lunghezza"), QStringLiteral("40"));
  EXPECT_EQ(rows.Text("Descrizione"), QStringLiteral("first line\nsecond line"));
  ASSERT_TRUE(rows.Next());
  EXPECT_EQ(rows.Text("Nome"), QStringLiteral("Zeta"));
  EXPECT_EQ(rows.Text("Primario"), QStringLiteral("False"));
  EXPECT_EQ(rows.Text("Data"), QString());  // empty values print nothing
  EXPECT_EQ(rows.Text("Valore"), QString());
  EXPECT_EQ(rows.Text("Descrizione"), QString());
  EXPECT_FALSE(rows.Next());
  EXPECT_ANY_THROW(rows.Text("Missing"));
  // First() starts again from the top.
  ASSERT_TRUE(rows.First());
  EXPECT_EQ(rows.Text("Nome"), QStringLiteral("Città"));
}

}  // namespace
}  // namespace vellum::report
