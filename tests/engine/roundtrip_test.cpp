// Round trips through the table files: every field type at every level that
// allows it, with NULLs, extreme values and blob sizes on both sides of the
// leader length and of the 2048-byte limit between sub-allocated and
// single-value .MB blocks, written, read back after reopening, changed and
// read back again; and a large keyed table built in random key order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::TempDir;

// Leader lengths of the blob fields below.
constexpr int kMemoLeader = 10;
constexpr int kBinaryLeader = 0;
constexpr int kFmtLeader = 20;
constexpr int kOleLeader = 5;
constexpr int kGraphicLeader = 30;
// Graphic and OLE values are stored behind an 8-byte prefix, which counts
// toward the 2048-byte limit.
constexpr int kPrefix = 8;

bool LevelAllows(int level, FieldType t) {
  switch (t) {
    case FieldType::kInteger:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kBoolean:
    case FieldType::kAutoInc:
    case FieldType::kBCD:
    case FieldType::kBytes:
      return level >= 5;
    default:
      return true;
  }
}

std::vector<FieldDef> AllFields(int level) {
  const std::vector<FieldDef> all = {
      {"Alpha", FieldType::kString, 12, false},
      {"Short", FieldType::kSmallint, 0, false},
      {"Long", FieldType::kInteger, 0, false},
      {"Number", FieldType::kFloat, 0, false},
      {"Money", FieldType::kCurrency, 0, false},
      {"Logical", FieldType::kBoolean, 0, false},
      {"Date", FieldType::kDate, 0, false},
      {"Time", FieldType::kTime, 0, false},
      {"Stamp", FieldType::kDateTime, 0, false},
      {"Auto", FieldType::kAutoInc, 0, false},
      {"Bcd", FieldType::kBCD, 3, false},
      {"Bytes", FieldType::kBytes, 5, false},
      {"Memo", FieldType::kMemo, kMemoLeader, false},
      {"Binary", FieldType::kBlob, kBinaryLeader, false},
      {"FmtMemo", FieldType::kFmtMemo, kFmtLeader, false},
      {"Ole", FieldType::kParadoxOle, kOleLeader, false},
      {"Graphic", FieldType::kGraphic, kGraphicLeader, false},
  };
  std::vector<FieldDef> out;
  for (const auto& f : all) {
    if (LevelAllows(level, f.type)) out.push_back(f);
  }
  return out;
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

std::string Text(size_t n, uint32_t seed) {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  if (n > 3) s[n / 2] = '\n';
  return s;
}

// Blob lengths around the leader, around 2048 and well past one 4 KB unit.
std::vector<size_t> BlobSizes(int leader, bool prefixed) {
  const size_t limit = 2048 - (prefixed ? kPrefix : 0);
  std::set<size_t> sizes = {1,     2047,  2049,      4087,  4088,     4096,
                            10000, 70000, limit - 1, limit, limit + 1};
  if (leader > 1) sizes.insert(static_cast<size_t>(leader - 1));
  sizes.insert(static_cast<size_t>(leader));
  sizes.insert(static_cast<size_t>(leader + 1));
  sizes.erase(0);
  return std::vector<size_t>(sizes.begin(), sizes.end());
}

// Values for field `f` in row variant `k`: 0 is all NULL, 1 and 2 hold the
// extremes of each type, and later variants walk through the blob sizes.
Value ValueFor(const FieldDef& f, size_t k) {
  if (k == 0 && f.type != FieldType::kAutoInc) return Value{};
  const bool low = k % 2 == 1;
  switch (f.type) {
    case FieldType::kString:
      // Twelve characters fill the field; U+00E9 and U+20AC are one byte
      // each in code page 1252. Every variant's text differs (it is the
      // key of the keyed tables).
      return low ? Value{"abcdefghi" + std::string(k < 100 ? "0" : "") + (k < 10 ? "0" : "") +
                         std::to_string(k)}
                 : Value{std::string("caf\xC3\xA9 \xE2\x82\xAC") + std::to_string(k)};
    case FieldType::kSmallint:
      return int64_t{low ? -32767 : 32767 - static_cast<int64_t>(k)};
    case FieldType::kInteger:
      return int64_t{low ? -2147483647LL : 2147483647LL - static_cast<int64_t>(k)};
    case FieldType::kFloat:
      return low ? -1.7976931348623157e308 : 1e-300 * static_cast<double>(k);
    case FieldType::kCurrency:
      return low ? -0.01 : 1234567.89 + static_cast<double>(k);
    case FieldType::kBoolean:
      return low;
    case FieldType::kDate:
      return low ? DateFromYmd(1, 1, 1) : DateFromYmd(9999, 12, 31 - static_cast<int>(k % 20));
    case FieldType::kTime:
      return TimeOfDay{low ? 0 : 86399999 - static_cast<int32_t>(k)};
    case FieldType::kDateTime:
      return Timestamp{(low ? DateFromYmd(100, 1, 1).day : DateFromYmd(9999, 12, 31).day) *
                           86400000.0 +
                       (low ? 0 : 86399999)};
    case FieldType::kAutoInc:
      return k == 0 ? Value{} : Value{int64_t{1000 + static_cast<int64_t>(k)}};
    case FieldType::kBCD:
      return Decimal{low ? "-99999999999999999999999999999.999" : std::to_string(k) + ".125"};
    case FieldType::kBytes:
      return Bytes{static_cast<uint8_t>(k), 0, 0xFF, 0x80, static_cast<uint8_t>(low ? 0 : 1)};
    default:
      break;
  }
  // Blob fields: variants 1 and 2 are short, later ones take the sizes in
  // turn.
  const bool prefixed = f.type == FieldType::kGraphic || f.type == FieldType::kParadoxOle;
  const auto sizes = BlobSizes(f.size, prefixed);
  const size_t n = k < 3 ? k : sizes[(k - 3) % sizes.size()];
  if (f.type == FieldType::kMemo) return Text(n, static_cast<uint32_t>(k));
  return Pattern(n, static_cast<uint32_t>(k));
}

size_t VariantCount(int level) {
  size_t most = 0;
  for (const auto& f : AllFields(level)) {
    if (f.type == FieldType::kMemo || f.type == FieldType::kBlob || f.type == FieldType::kFmtMemo ||
        f.type == FieldType::kParadoxOle || f.type == FieldType::kGraphic) {
      const bool prefixed = f.type == FieldType::kGraphic || f.type == FieldType::kParadoxOle;
      most = std::max(most, BlobSizes(f.size, prefixed).size());
    }
  }
  return 3 + most;
}

Row RowFor(const std::vector<FieldDef>& fields, size_t k) {
  Row r;
  for (const auto& f : fields) r.push_back(ValueFor(f, k));
  return r;
}

std::vector<Row> ReadAll(Table& t) {
  std::vector<Row> rows;
  Table::Scanner scan(t);
  Row row;
  while (scan.next(row)) rows.push_back(row);
  return rows;
}

std::string Describe(const Value& v) {
  std::string s = ValueToText(v);
  return s.size() > 80 ? s.substr(0, 80) + "... (" + std::to_string(s.size()) + ")" : s;
}

void ExpectRowsEqual(const std::vector<Row>& got, const std::vector<Row>& want,
                     const std::vector<FieldDef>& fields) {
  ASSERT_EQ(got.size(), want.size());
  int reported = 0;
  for (size_t r = 0; r < got.size(); ++r) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (got[r][i] != want[r][i] && reported++ < 10) {
        ADD_FAILURE() << "row " << r << ", field " << fields[i].name << ": got "
                      << Describe(got[r][i]) << ", want " << Describe(want[r][i]);
      }
    }
  }
}

class TypeRoundTripTest : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(TypeRoundTripTest, EveryTypeSurvivesWriteReopenChangeAndReopen) {
  const int level = std::get<0>(GetParam());
  const bool keyed = std::get<1>(GetParam());
  TempDir dir;
  TableDefinition def;
  def.level = level;
  def.fields = AllFields(level);
  if (keyed) {
    // A key on the first field (Alpha): the rows' Alpha values differ.
    def.indexes = {{"", {"Alpha"}, true, true, false, false}};
  }
  Table::Create(dir.path(), "TYPES", def);
  const size_t variants = VariantCount(level);
  std::vector<Row> want;
  {
    auto t = Table::Open(dir.path(), "TYPES", {true, true});
    EXPECT_EQ(t->structure().level, std::to_string(level));
    for (size_t k = 0; k < variants; ++k) {
      Row r = RowFor(def.fields, k);
      if (keyed && k == 0) r[0] = std::string("(null row)");  // a key needs a value
      t->insert(r);
      want.push_back(r);
    }
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
  }
  // An Autoincrement field left NULL takes the next number after the
  // highest one so far; none was given before the first row.
  for (size_t i = 0; i < def.fields.size(); ++i) {
    if (def.fields[i].type == FieldType::kAutoInc) want[0][i] = int64_t{1};
  }
  auto order = [&](std::vector<Row> rows) {
    if (keyed) {
      std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::get<std::string>(a[0]) < std::get<std::string>(b[0]);
      });
    }
    return rows;
  };
  {
    auto t = Table::Open(dir.path(), "TYPES");
    ExpectRowsEqual(ReadAll(*t), order(want), def.fields);
  }

  // Change: every row gets the blob sizes of another variant (so values
  // move between leader, slots and blocks in both directions), one row is
  // deleted, and every non-key value of another becomes NULL.
  {
    auto t = Table::Open(dir.path(), "TYPES", {true, true});
    std::vector<Row> rows = order(want);
    for (size_t p = 0; p < rows.size(); ++p) {
      Row r = rows[p];
      Row other = RowFor(def.fields, (p * 5 + 3) % variants);
      for (size_t i = 0; i < def.fields.size(); ++i) {
        FieldType t2 = def.fields[i].type;
        if (t2 == FieldType::kMemo || t2 == FieldType::kBlob || t2 == FieldType::kFmtMemo ||
            t2 == FieldType::kParadoxOle || t2 == FieldType::kGraphic) {
          r[i] = other[i];
        }
      }
      if (p == 2) {
        for (size_t i = 1; i < r.size(); ++i) {
          if (def.fields[i].type != FieldType::kAutoInc) r[i] = Value{};
        }
      }
      uint32_t pos = t->update(static_cast<uint32_t>(p), r);
      EXPECT_EQ(pos, p);  // keys unchanged
      rows[p] = r;
    }
    t->remove(4);
    rows.erase(rows.begin() + 4);
    want = rows;
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
  }
  auto t = Table::Open(dir.path(), "TYPES");
  ExpectRowsEqual(ReadAll(*t), want, def.fields);
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Levels, TypeRoundTripTest,
                         testing::Combine(testing::Values(4, 5, 7), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<int, bool>>& info) {
                           return "Level" + std::to_string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "Keyed" : "Unkeyed");
                         });

// Each level refuses nothing it allows and the engine raises the level for
// types that need a higher one.
TEST(TableRoundTripTest, LevelFollowsTheTypes) {
  TempDir dir;
  for (const auto& f : AllFields(7)) {
    TableDefinition def;
    def.level = 4;
    def.fields = {f};
    Table::Create(dir.path(), "ONE", def);
    auto t = Table::Open(dir.path(), "ONE");
    EXPECT_EQ(t->structure().level, LevelAllows(4, f.type) ? "4" : "5") << f.name;
  }
}

// A keyed table of more than 100,000 rows inserted in random key order,
// then thinned out: it reads back in key order and checks clean.
TEST(TableRoundTripTest, LargeKeyedTableInRandomOrder) {
  constexpr int kRows = 120000;
  TempDir dir;
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Part", FieldType::kString, 6, false},
                {"Name", FieldType::kString, 20, false},
                {"Amount", FieldType::kCurrency, 0, false}};
  def.indexes = {{"", {"Id", "Part"}, true, true, false, false}};
  Table::Create(dir.path(), "BIG", def);
  auto make = [](int id) {
    return Row{int64_t{id / 3}, std::string(1, static_cast<char>('a' + id % 3)),
               "name " + std::to_string(id % 9973), id * 0.25};
  };
  std::vector<int> ids(kRows);
  for (int i = 0; i < kRows; ++i) ids[static_cast<size_t>(i)] = i;
  std::mt19937 rng(7);
  std::shuffle(ids.begin(), ids.end(), rng);
  {
    auto t = Table::Open(dir.path(), "BIG", {true, true});
    t->beginBulk();
    for (int id : ids) t->insert(make(id));
    t->endBulk();
    ASSERT_EQ(t->recordCount(), static_cast<uint32_t>(kRows));
    // Delete a contiguous range (emptying whole blocks) and every 4th of
    // the rest, by key lookup.
    t->beginBulk();
    for (int id = 0; id < kRows; ++id) {
      if (!((id >= 30000 && id < 45000) || id % 4 == 1)) continue;
      uint32_t pos =
          t->lowerBound({int64_t{id / 3}, std::string(1, static_cast<char>('a' + id % 3))});
      ASSERT_LT(pos, t->recordCount());
      ASSERT_EQ(t->read(pos), make(id));
      t->remove(pos);
    }
    t->endBulk();
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
  }
  auto t = Table::Open(dir.path(), "BIG");
  Table::Scanner scan(*t);
  Row row;
  int id = 0;
  size_t n = 0;
  while (scan.next(row)) {
    while ((id >= 30000 && id < 45000) || id % 4 == 1) ++id;
    ASSERT_EQ(row, make(id)) << "at row " << n;
    ++id;
    ++n;
  }
  size_t kept = 0;
  for (int i = 0; i < kRows; ++i) kept += !((i >= 30000 && i < 45000) || i % 4 == 1);
  EXPECT_EQ(n, kept);
  EXPECT_EQ(t->recordCount(), kept);
  EXPECT_GT(t->header().first_free_block, 0);  // emptied blocks went to the free list
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
}

// Random inserts, key-changing updates and deletes on a keyed table with a
// secondary index, a memo and an Autoincrement field, checked against a
// plain ordered map after every phase and after reopening.
TEST(TableRoundTripTest, KeyChangingUpdatesFollowAModel) {
  TempDir dir;
  TableDefinition def;
  def.level = 7;
  def.fields = {{"Key", FieldType::kString, 10, false},
                {"Serial", FieldType::kAutoInc, 0, false},
                {"Group", FieldType::kSmallint, 0, false},
                {"Note", FieldType::kMemo, 12, false}};
  def.indexes = {{"", {"Key"}, true, true, false, false},
                 {"ByGroup", {"Group"}, false, false, false, false}};
  Table::Create(dir.path(), "MODEL", def);
  std::map<std::string, Row> model;
  std::mt19937 rng(11);
  auto key_of = [](uint32_t n) {
    std::string k = std::to_string(n);
    return std::string(8 - std::min<size_t>(k.size(), 8), '0') + k;
  };
  auto note_of = [](uint32_t n) -> Value {
    if (n % 4 == 0) return Value{};
    return std::string(static_cast<size_t>(n % 3000), static_cast<char>('a' + n % 26));
  };
  auto check = [&](Table& t) {
    std::vector<Row> want;
    for (const auto& [k, r] : model) want.push_back(r);
    std::vector<Row> got = ReadAll(t);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << "row " << i;
    EXPECT_EQ(t.verify(), std::vector<std::string>{});
  };
  int64_t serial = 0;
  {
    auto t = Table::Open(dir.path(), "MODEL", {true, true});
    for (int i = 0; i < 4000; ++i) {
      uint32_t n = rng() % 1000000;
      if (model.count(key_of(n))) continue;
      Row r{key_of(n), Value{}, int64_t{static_cast<int>(n % 50)}, note_of(n)};
      t->insert(r);
      r[1] = ++serial;  // NULL takes the next number
      model[key_of(n)] = r;
    }
    check(*t);
    // Move a thousand records to new keys, changing their other values too.
    for (int i = 0; i < 1000; ++i) {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      uint32_t n = rng() % 1000000;
      if (model.count(key_of(n))) continue;
      uint32_t pos = t->lowerBound({it->first});
      ASSERT_EQ(t->read(pos), it->second);
      Row r{key_of(n), it->second[1], int64_t{static_cast<int>(n % 50)}, note_of(n + 1)};
      model.erase(it);
      uint32_t moved = t->update(pos, r);
      model[key_of(n)] = r;
      EXPECT_EQ(moved, static_cast<uint32_t>(std::distance(model.begin(), model.find(key_of(n)))));
    }
    check(*t);
    for (int i = 0; i < 1500; ++i) {
      auto it = model.begin();
      std::advance(it, static_cast<long>(rng() % model.size()));
      t->remove(t->lowerBound({it->first}));
      model.erase(it);
    }
    check(*t);
  }
  {
    auto t = Table::Open(dir.path(), "MODEL", {true, true});
    check(*t);
    // After reopening, Autoincrement continues from the highest number.
    Row r{std::string("zzzzzzzz"), Value{}, int64_t{1}, Value{}};
    t->insert(r);
    r[1] = ++serial;
    model[std::string("zzzzzzzz")] = r;
  }
  auto t = Table::Open(dir.path(), "MODEL");
  check(*t);
}

}  // namespace
}  // namespace vellum::engine::paradox
