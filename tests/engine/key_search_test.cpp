// Key searches (lower and upper bounds on the primary key and on secondary
// indexes) checked against a plain walk over the rows, on tables of many
// blocks, in an order that jumps around and in one that moves steadily, so
// that the remembered block of the last search is sometimes right and
// sometimes wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::TempDir;

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Grp Integer + Seq Smallint key; Name indexed without regard to case.
TableDefinition Definition() {
  TableDefinition def;
  def.fields = {{"Grp", FieldType::kInteger, 0, false},
                {"Seq", FieldType::kSmallint, 0, false},
                {"Name", FieldType::kString, 30, false},
                {"Filler", FieldType::kString, 120, false}};
  def.indexes = {{"", {"Grp", "Seq"}, true, true, false, false},
                 {"ByName", {"Name"}, false, false, false, true}};
  return def;
}

struct Probe {
  int64_t grp;
  std::optional<int64_t> seq;  // none: a search on the leading field only
};

class KeySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Table::Create(dir_.path(), "T", Definition());
    table_ = Table::Open(dir_.path(), "T", {true, true});
    std::vector<std::pair<int, int>> keys;
    for (int g = 0; g < 400; g += 2) {  // odd groups stay missing
      for (int s = 1; s <= 1 + g % 13; ++s) keys.emplace_back(g, s * 3);
    }
    std::mt19937 rng(11);
    std::shuffle(keys.begin(), keys.end(), rng);
    const char* names[] = {"alpha", "Alpha", "BETA", "beta", "Gamma", "delta", "DELTA", "eps"};
    for (size_t i = 0; i < keys.size(); ++i) {
      table_->insert(Row{int64_t{keys[i].first}, int64_t{keys[i].second},
                         std::string(names[i % 8]) + std::to_string(i % 37),
                         std::string(100, 'f')});
    }
    // Some deletes, so that blocks are not all full.
    for (uint32_t pos = 0; pos < table_->recordCount(); pos += 7) table_->remove(pos);
    for (uint32_t i = 0; i < table_->recordCount(); ++i) rows_.push_back(table_->read(i));
  }

  // Positions by walking every row.
  uint32_t WalkLower(const Probe& p) const {
    uint32_t i = 0;
    while (i < rows_.size() && Less(rows_[i], p)) ++i;
    return i;
  }
  uint32_t WalkUpper(const Probe& p) const {
    uint32_t i = 0;
    while (i < rows_.size() && !Greater(rows_[i], p)) ++i;
    return i;
  }
  static bool Less(const Row& r, const Probe& p) {
    const int64_t g = std::get<int64_t>(r[0]);
    if (g != p.grp) return g < p.grp;
    return p.seq && std::get<int64_t>(r[1]) < *p.seq;
  }
  static bool Greater(const Row& r, const Probe& p) {
    const int64_t g = std::get<int64_t>(r[0]);
    if (g != p.grp) return g > p.grp;
    return p.seq && std::get<int64_t>(r[1]) > *p.seq;
  }
  static Row KeyOf(const Probe& p) { return p.seq ? Row{p.grp, *p.seq} : Row{p.grp}; }

  TempDir dir_;
  std::unique_ptr<Table> table_;
  std::vector<Row> rows_;
};

TEST_F(KeySearchTest, PrimaryKeyBoundsMatchAWalkInAnyProbeOrder) {
  ASSERT_GT(table_->header().used_blocks, 40u);  // many blocks to search
  std::vector<Probe> probes;
  for (int64_t g = -1; g <= 401; ++g) {
    probes.push_back({g, std::nullopt});
    for (int64_t s : {0, 3, 4, 6, 39, 40}) probes.push_back({g, s});
  }
  std::vector<Probe> shuffled = probes;
  std::mt19937 rng(5);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  for (const auto* order : {&probes, &shuffled}) {
    for (const Probe& p : *order) {
      const std::string what = "grp " + std::to_string(p.grp) +
                               (p.seq ? " seq " + std::to_string(*p.seq) : std::string());
      ASSERT_EQ(table_->lowerBound(KeyOf(p)), WalkLower(p)) << what;
      ASSERT_EQ(table_->upperBound(KeyOf(p)), WalkUpper(p)) << what;
    }
  }
}

TEST_F(KeySearchTest, SecondaryBoundsIgnoreCaseAndMatchAWalk) {
  // The index lists every row; its entries in order, by name without case.
  const uint32_t n = table_->indexEntries(0);
  ASSERT_EQ(n, rows_.size());
  std::vector<std::string> names;
  for (uint32_t e = 0; e < n; ++e) {
    names.push_back(Upper(std::get<std::string>(table_->read(table_->indexEntryRecord(0, e))[2])));
  }
  ASSERT_TRUE(std::is_sorted(names.begin(), names.end()));
  for (const std::string probe : {"alpha3", "ALPHA3", "Beta10", "beta", "delta36", "zzz", "a",
                                  "gamma0", "EPS7", "alpha3", "eps36"}) {
    const std::string u = Upper(probe);
    const auto lower =
        static_cast<uint32_t>(std::lower_bound(names.begin(), names.end(), u) - names.begin());
    const auto upper =
        static_cast<uint32_t>(std::upper_bound(names.begin(), names.end(), u) - names.begin());
    EXPECT_EQ(table_->indexLowerBound(0, {probe}), lower) << probe;
    EXPECT_EQ(table_->indexUpperBound(0, {probe}), upper) << probe;
  }
}

TEST_F(KeySearchTest, SearchesAndIndexOrdersSeeChangesMadeInABulkChange) {
  table_->beginBulk();
  table_->insert(Row{int64_t{1}, int64_t{1}, std::string("Zulu"), std::string("x")});
  table_->insert(Row{int64_t{401}, int64_t{1}, std::string("zulu"), std::string("x")});
  EXPECT_EQ(table_->lowerBound({int64_t{1}}), WalkLower({1, std::nullopt}));
  EXPECT_EQ(table_->upperBound({int64_t{401}}), table_->recordCount());
  const uint32_t first_zulu = table_->indexLowerBound(0, {std::string("ZULU")});
  EXPECT_EQ(table_->indexEntries(0) - first_zulu, 2u);
  EXPECT_EQ(table_->indexUpperBound(0, {std::string("zulu")}), table_->indexEntries(0));
  table_->endBulk();
  EXPECT_EQ(table_->verify(), std::vector<std::string>{});
}

TEST(UniqueIndexTest, DuplicatesAreRefusedAndEveryOtherRowLandsInOrder) {
  // A unique index without regard to case over (Grp, Name): each insert's
  // check and its entry share one search.
  TempDir dir;
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Grp", FieldType::kInteger, 0, false},
                {"Name", FieldType::kString, 12, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"ByGrpName", {"Grp", "Name"}, false, true, false, true}};
  Table::Create(dir.path(), "U", def);
  auto t = Table::Open(dir.path(), "U", {true, true});
  std::mt19937 rng(3);
  std::vector<std::string> taken;  // "grp/NAME" already in the table
  int refused = 0;
  for (int id = 1; id <= 3000; ++id) {
    const int grp = static_cast<int>(rng() % 40);
    std::string name = "n" + std::to_string(rng() % 60);
    if (rng() % 2) name = Upper(name);
    const std::string key = std::to_string(grp) + "/" + Upper(name);
    const bool duplicate = std::find(taken.begin(), taken.end(), key) != taken.end();
    const uint32_t before = t->recordCount();
    try {
      t->insert(Row{int64_t{id}, int64_t{grp}, name});
      ASSERT_FALSE(duplicate) << key;
      taken.push_back(key);
    } catch (const EDBEngineError& e) {
      ASSERT_TRUE(duplicate) << key << ": " << e.what();
      ASSERT_EQ(t->recordCount(), before);
      ++refused;
    }
  }
  EXPECT_GT(refused, 100);
  EXPECT_EQ(t->indexEntries(0), taken.size());
  std::vector<std::string> in_order;
  for (uint32_t e = 0; e < t->indexEntries(0); ++e) {
    Row r = t->read(t->indexEntryRecord(0, e));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%03d/", static_cast<int>(std::get<int64_t>(r[1])));
    in_order.push_back(buffer + Upper(std::get<std::string>(r[2])));
  }
  EXPECT_TRUE(std::is_sorted(in_order.begin(), in_order.end()));
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vellum::engine::paradox
