// Tests of the data file's block bookkeeping at its limits.
#include "engine/paradox/record_store.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

// A table whose 65,535 blocks are full refuses the next record and still
// counts exactly the records it holds.
TEST(RecordStoreLimitTest, FullTableRefusesARecordAndKeepsItsCount) {
  test::TempDir dir;
  TableDefinition def;
  def.fields = {FieldDef{"ID", FieldType::kInteger, 0, false},
                FieldDef{"PAD", FieldType::kString, 255, false},
                FieldDef{"MORE", FieldType::kString, 80, false}};
  def.block_kb = 1;  // three records of 339 bytes to a block
  Table::Create(dir.path(), "FULL", def);
  auto table = Table::Open(dir.path(), "FULL", OpenOptions{true, true});
  table->beginBulk();
  const int64_t capacity = 65535 * 3;
  for (int64_t i = 0; i < capacity; ++i) table->insert(Row{i, std::string("x"), std::string("y")});
  try {
    table->insert(Row{capacity, std::string("x"), std::string("y")});
    FAIL() << "a record was added to a full table";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kLimit);
  }
  table->endBulk();
  table->flush();
  EXPECT_EQ(table->recordCount(), capacity);
  EXPECT_EQ(table->header().num_records, capacity);
  EXPECT_TRUE(table->verify().empty());
}

}  // namespace
}  // namespace vellum::engine::paradox
