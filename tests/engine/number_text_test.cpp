// Numbers as text must not follow the C library's locale: every test here
// runs under a locale with a decimal comma, where printf and strtod would
// write "1,5" and read "1.5" as 1 — the conversions themselves, a dataset's
// Float field as text, and a restructure from String to Float and back.
#include "engine/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/dataset.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "engine/session.h"
#include "engine/table_descriptor.h"
#include "tests/support/comma_locale.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

class NumberTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(locale_.active())
        << "no locale with a decimal comma; scripts/setup.sh installs it_IT.UTF-8";
  }
  test::CommaLocale locale_;
};

struct FormatCase {
  const char* name;
  double value;
  int digits;
  const char* general;  // what "%.*g" writes in the C locale
};

TEST_F(NumberTextTest, GeneralFormatIsTheCLocalesWhateverTheLocale) {
  const double inf = std::numeric_limits<double>::infinity();
  const FormatCase cases[] = {
      {"a plain fraction", 1.5, 15, "1.5"},
      {"a negative fraction", -2.25, 15, "-2.25"},
      {"a third rounded to 15 digits", 1.0 / 3, 15, "0.333333333333333"},
      {"a whole number", 100, 15, "100"},
      {"a large number in scientific notation", 1e20, 15, "1e+20"},
      {"a small number in scientific notation", 1.5e-7, 15, "1.5e-07"},
      {"the smallest fixed exponent", 0.0001, 15, "0.0001"},
      {"17 digits for a round trip", 0.1, 17, "0.10000000000000001"},
      {"infinity", -inf, 15, "-inf"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(FormatGeneral(c.value, c.digits), c.general) << c.name;
  }
}

TEST_F(NumberTextTest, FixedFormatUsesAPoint) {
  EXPECT_EQ(FormatFixed(2.5, 2), "2.50");
  EXPECT_EQ(FormatFixed(-0.125, 0), "-0");
  EXPECT_EQ(FormatFixed(1234.5678, 3), "1234.568");
}

TEST_F(NumberTextTest, RoundedDigitsGiveTheDigitsAndTheExponent) {
  const RoundedDigits r = RoundToDigits(-1234.5678, 6);
  EXPECT_TRUE(r.negative);
  EXPECT_EQ(r.digits, "123457");
  EXPECT_EQ(r.exponent, 3);
  const RoundedDigits small = RoundToDigits(0.00015, 2);
  EXPECT_FALSE(small.negative);
  EXPECT_EQ(small.digits, "15");
  EXPECT_EQ(small.exponent, -4);
}

struct ParseCase {
  const char* text;
  std::optional<double> value;
};

TEST_F(NumberTextTest, DoublesAreReadWithAPointOnly) {
  const ParseCase cases[] = {
      {"1.5", 1.5},           {"  -2.25", -2.25}, {"+3", 3.0},           {"1e3", 1000.0},
      {"1.5E-2", 0.015},      {".5", 0.5},        {"5.", 5.0},           {"1,5", std::nullopt},
      {"1.5 ", std::nullopt}, {"", std::nullopt}, {"+-1", std::nullopt}, {"1e400", std::nullopt},
      {"abc", std::nullopt},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(ParseDouble(c.text), c.value) << "\"" << c.text << "\"";
  }
  EXPECT_TRUE(std::isinf(ParseDouble("-INF").value_or(0)));
}

TEST_F(NumberTextTest, IntegersAreReadWholeAndInRange) {
  EXPECT_EQ(ParseInteger(" 42"), 42);
  EXPECT_EQ(ParseInteger("+7"), 7);
  EXPECT_EQ(ParseInteger("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ParseInteger("9223372036854775808"), std::nullopt);
  EXPECT_EQ(ParseInteger("12 "), std::nullopt);
  EXPECT_EQ(ParseInteger("1.0"), std::nullopt);
  EXPECT_EQ(ParseInteger("-"), std::nullopt);
}

TEST_F(NumberTextTest, AFloatFieldIsTextWithAPoint) {
  test::TempDir dir;
  paradox::TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false}, {"AMOUNT", FieldType::kFloat, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};
  paradox::Table::Create(dir.path(), "T", def);
  Session session(dir.file("none.conf"));
  Dataset data(session);
  data.setDatabaseName(dir.path());
  data.setTableName("T");
  data.open();
  data.insert();
  data.fieldByName("ID").setAsString("1");
  data.fieldByName("AMOUNT").setAsString("1.5");
  data.post();
  EXPECT_EQ(data.fieldByName("AMOUNT").asFloat(), 1.5);
  EXPECT_EQ(data.fieldByName("AMOUNT").asString(), "1.5");
  data.edit();
  EXPECT_THROW(data.fieldByName("AMOUNT").setAsString("2,5"), Error);
  data.cancel();
}

// AMOUNT holds number texts and becomes a Float; PRICE is a Float and becomes
// text.
TEST_F(NumberTextTest, ARestructureConvertsNumberTextsTheSameWay) {
  test::TempDir dir;
  paradox::TableDefinition def;
  def.fields = {{"ID", FieldType::kInteger, 0, false},
                {"AMOUNT", FieldType::kString, 12, false},
                {"PRICE", FieldType::kFloat, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};
  paradox::Table::Create(dir.path(), "T", def);
  const std::vector<std::string> texts = {"1.5", "-2.25e2", " 3,75 ", "abc"};
  const std::vector<Value> amounts = {1.5, -225.0, 3.75, Value{}};
  const std::vector<double> prices = {0.1, -1e20, 2.5, 1.0 / 3};
  const std::vector<std::string> price_texts = {"0.1", "-1e+20", "2.5", "0.333333333333333"};
  {
    auto t = paradox::Table::Open(dir.path(), "T", {.writable = true});
    for (size_t i = 0; i < texts.size(); ++i) {
      t->insert({int64_t(i + 1), texts[i], prices[i]});
    }
  }
  TableDescriptor d;
  d.table_path = dir.file("T");
  const auto field = [](uint16_t from, const char* name, uint16_t type, int16_t units) {
    FieldDescriptor f;
    f.field_number = from;
    f.name = name;
    f.storage_type = type;
    f.units1 = units;
    return f;
  };
  d.fields = {field(1, "ID", storage::kInt32, 1), field(2, "AMOUNT", storage::kFloat, 1),
              field(3, "PRICE", storage::kZString, 20)};
  d.field_operations = {Operation::kCopy, Operation::kModify, Operation::kModify};
  IndexDescriptor primary;
  primary.primary = primary.unique = true;
  primary.key_field_count = 1;
  primary.key_fields[0] = 1;
  d.indexes = {primary};
  d.index_operations = {Operation::kRedo};
  BuildTable(d);

  auto t = paradox::Table::Open(dir.path(), "T");
  ASSERT_EQ(t->recordCount(), texts.size());
  for (uint32_t i = 0; i < texts.size(); ++i) {
    const paradox::Row row = t->read(i);
    EXPECT_EQ(row[1], amounts[i]) << texts[i];
    EXPECT_EQ(row[2], Value{price_texts[i]}) << price_texts[i];
  }
}

}  // namespace
}  // namespace vellum::engine
