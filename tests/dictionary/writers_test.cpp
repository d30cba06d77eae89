// Several programs writing one dictionary through the data module at once,
// some in batches, some row by row: every row each program reported written
// is there, with the rules applied, and the three tables are sound.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/paradox/table.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace vellum::dictionary {
namespace {

using engine::paradox::Table;

TEST(DictionaryWritersTest, ProgramsDescribingTablesAtOnceLoseNoRow) {
  test::TempDir dir;
  CreateDictionaryTables(dir.path());
  constexpr int kTables = 12, kFields = 5;
  struct Writer {
    std::string alias;
    bool batch;
    std::unique_ptr<test::ChildProcess> process;
  };
  std::vector<Writer> writers(4);
  writers[0] = {"BATCH1", true, nullptr};
  writers[1] = {"BATCH2", true, nullptr};
  writers[2] = {"ROWS1", false, nullptr};
  writers[3] = {"ROWS2", false, nullptr};
  for (Writer& w : writers) {
    w.process = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"describe", dir.path(), w.alias, "0", std::to_string(kTables),
                                 std::to_string(kFields), w.batch ? "1" : "0"});
  }
  for (Writer& w : writers) {
    ASSERT_EQ(w.process->wait(), 0) << w.alias;
    EXPECT_EQ(w.process->output(), std::to_string(kTables) + "\n") << w.alias;
  }

  // Table rows: one per (alias, name) each program reported, codes unique.
  auto tables = Table::Open(dir.path(), kTablesTable);
  EXPECT_TRUE(tables->verify().empty());
  std::map<int64_t, std::string> code_of;  // Codice -> alias.name
  std::map<std::string, int> per_alias;
  for (uint32_t i = 0; i < tables->recordCount(); ++i) {
    const auto row = tables->read(i);
    const std::string alias = std::get<std::string>(row[1]);
    EXPECT_TRUE(
        code_of.emplace(std::get<int64_t>(row[0]), alias + "." + std::get<std::string>(row[2]))
            .second);
    ++per_alias[alias];
  }
  for (const Writer& w : writers) EXPECT_EQ(per_alias[w.alias], kTables) << w.alias;

  // Field rows: positions 1..kFields under each table's code, no others.
  auto fields = Table::Open(dir.path(), kFieldsTable);
  EXPECT_TRUE(fields->verify().empty());
  std::map<int64_t, std::set<int64_t>> positions;
  for (uint32_t i = 0; i < fields->recordCount(); ++i) {
    const auto row = fields->read(i);
    const int64_t code = std::get<int64_t>(row[0]);
    EXPECT_TRUE(code_of.count(code)) << "a field row of no table: " << code;
    positions[code].insert(std::get<int64_t>(row[1]));
  }
  const std::set<int64_t> want = {1, 2, 3, 4, 5};
  for (const auto& [code, name] : code_of) EXPECT_EQ(positions[code], want) << name;
}

}  // namespace
}  // namespace vellum::dictionary
