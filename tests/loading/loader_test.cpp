// Tests of the structure loader: source tables made with the engine in one
// temporary directory, a dictionary in another, questions answered from a
// script and every text shown checked word for word.
#include "loading/structure_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/text.h"
#include "rebuild/table_regenerator.h"
#include "tests/support/comma_locale.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::loading {
namespace {

namespace fs = std::filesystem;

using dictionary::TdmDataDictionary;
using engine::Date;
using engine::DateFromYmd;
using engine::EDBEngineError;
using engine::FieldType;
using engine::Row;
using engine::Value;
using engine::paradox::FieldDef;
using engine::paradox::FieldInfo;
using engine::paradox::IndexDef;
using engine::paradox::IndexInfo;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using engine::paradox::TableStructure;
using engine::paradox::ValidityCheck;
using Native = std::array<uint8_t, 256>;

// --- native validity values ---------------------------------------------

Native NativeOf(std::initializer_list<uint8_t> bytes) {
  Native n{};
  std::copy(bytes.begin(), bytes.end(), n.begin());
  return n;
}
Native NativeText(const std::string& text) {
  Native n{};
  std::memcpy(n.data(), text.data(), std::min(text.size(), n.size()));
  return n;
}
Native NativeShort(int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  return NativeOf({static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
}
Native NativeLong(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return NativeOf({static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                   static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)});
}
Native NativeDouble(double d) {
  uint64_t u = 0;
  std::memcpy(&u, &d, sizeof u);
  Native n{};
  for (size_t i = 0; i < 8; ++i) n[i] = static_cast<uint8_t>(u >> (8 * i));
  return n;
}
Native NativeLogical(bool b) { return b ? NativeOf({0xFF, 0xFF}) : NativeOf({0, 0}); }
Native NativeDate(Date d) { return NativeLong(d.day); }

IndexInfo Index(const std::string& name, const std::string& keys, bool primary = false) {
  IndexInfo info;
  info.name = name;
  info.key_fields = engine::SplitAtSemicolons(keys);
  info.primary = primary;
  info.unique = primary;
  return info;
}

ValidityCheck Check(uint16_t field_number, std::optional<Native> min, std::optional<Native> max,
                    std::optional<Native> def, bool required = false) {
  ValidityCheck c;
  c.field_number = field_number;
  c.required = required;
  c.has_min = min.has_value();
  c.has_max = max.has_value();
  c.has_default = def.has_value();
  if (min) c.min = *min;
  if (max) c.max = *max;
  if (def) c.def = *def;
  return c;
}

// --- what the dictionary holds, read straight from its tables ------------

std::string Str(const Value& v) {
  const auto* s = std::get_if<std::string>(&v);
  return s ? *s : std::string();
}
int64_t Int(const Value& v) {
  const auto* i = std::get_if<int64_t>(&v);
  return i ? *i : -1;
}

struct StoredTable {
  int64_t code = 0;
  std::string alias;
  std::string name;
  std::optional<Date> inserted;
  std::optional<Date> modified;
  std::string description;
};

struct StoredField {
  int64_t position = 0;
  std::string name;
  std::string type;
  std::optional<int64_t> length;
  std::string min;
  std::string max;
  std::string def;
  bool required = false;
  std::string description;
};

struct StoredIndex {
  std::string keys;
  std::string description;
  bool primary = false;
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
};

std::optional<Date> DateOf(const Value& v) {
  if (const auto* d = std::get_if<Date>(&v)) return *d;
  return std::nullopt;
}

constexpr int64_t kNoCode = -1;

class StructureLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    fs::create_directories(dict_);
    dictionary::CreateDictionaryTables(dict_);
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
    Locale::SetTodayForTesting(day1_);
    Locale::SetDecimalSeparatorForTesting('.');
  }
  void TearDown() override {
    dm_.reset();
    Locale::SetTodayForTesting(std::nullopt);
    Locale::SetDecimalSeparatorForTesting(std::nullopt);
  }

  void CreateSource(const std::string& name, std::vector<FieldDef> fields,
                    std::vector<IndexDef> indexes = {}, std::vector<ValidityCheck> checks = {}) {
    TableDefinition def;
    def.fields = std::move(fields);
    def.indexes = std::move(indexes);
    def.checks = std::move(checks);
    Table::Create(src_, name, def);
  }

  // CUSTOMER as first loaded: six fields, three indexes, five checks.
  void CreateCustomerV1() {
    CreateSource("CUSTOMER",
                 {{"ID", FieldType::kInteger, 0},
                  {"NAME", FieldType::kString, 30},
                  {"BORN", FieldType::kDate, 0},
                  {"ACTIVE", FieldType::kBoolean, 0},
                  {"RATE", FieldType::kFloat, 0},
                  {"NOTES", FieldType::kMemo, 10}},
                 {{"", {"ID"}, true, true},
                  {"ByName", {"NAME", "RATE"}, false, false, false, true},
                  {"NAME", {"NAME"}}},
                 {Check(1, NativeLong(1), NativeLong(99999), std::nullopt, true),
                  Check(2, std::nullopt, std::nullopt, NativeText("Nobody")),
                  Check(4, std::nullopt, std::nullopt, NativeLogical(true)),
                  Check(5, NativeDouble(0.5), NativeDouble(99.75), NativeDouble(1.25))});
  }

  // CUSTOMER changed: NAME now "Name" (letter case only), RATE renamed
  // PRICE, BORN dropped, EMAIL added; index ByName now "BYNAME".
  void CreateCustomerV2() {
    CreateSource("CUSTOMER",
                 {{"ID", FieldType::kInteger, 0},
                  {"Name", FieldType::kString, 30},
                  {"ACTIVE", FieldType::kBoolean, 0},
                  {"PRICE", FieldType::kFloat, 0},
                  {"NOTES", FieldType::kMemo, 10},
                  {"EMAIL", FieldType::kString, 60}},
                 {{"", {"ID"}, true, true},
                  {"BYNAME", {"Name", "PRICE"}, false, false, false, true},
                  {"Name", {"Name"}}});
  }

  void CreateSimple(const std::string& name, const std::string& second_field = "LABEL") {
    CreateSource(name, {{"K", FieldType::kSmallint, 0}, {second_field, FieldType::kString, 12}},
                 {{"", {"K"}, true, true}});
  }

  LoadReport Load(const std::vector<std::string>& names, const std::string& alias = "SHOP") {
    return LoadStructures(*dm_, ui_, src_, alias, names);
  }

  std::vector<StoredTable> Tables() {
    auto t = Table::Open(dict_, dictionary::kTablesTable, {.writable = true});
    std::vector<StoredTable> out;
    for (uint32_t i = 0; i < t->recordCount(); ++i) {
      Row r = t->read(i);
      out.push_back({Int(r[0]), Str(r[1]), Str(r[2]), DateOf(r[3]), DateOf(r[4]), Str(r[6])});
    }
    return out;
  }

  std::optional<StoredTable> FindTable(const std::string& alias, const std::string& name) {
    for (const auto& t : Tables()) {
      if (t.alias == alias && t.name == name) return t;
    }
    return std::nullopt;
  }

  int64_t CodeOf(const std::string& name, const std::string& alias = "SHOP") {
    auto t = FindTable(alias, name);
    return t ? t->code : kNoCode;
  }

  // Field rows of a table in position order.
  std::vector<StoredField> FieldsOf(int64_t code) {
    auto t = Table::Open(dict_, dictionary::kFieldsTable, {.writable = true});
    std::vector<StoredField> out;
    for (uint32_t i = 0; i < t->recordCount(); ++i) {
      Row r = t->read(i);
      if (Int(r[0]) != code) continue;
      StoredField f;
      f.position = Int(r[1]);
      f.name = Str(r[2]);
      f.type = Str(r[3]);
      if (!engine::IsNull(r[4])) f.length = Int(r[4]);
      f.min = Str(r[5]);
      f.max = Str(r[6]);
      f.def = Str(r[7]);
      const auto* b = std::get_if<bool>(&r[8]);
      f.required = b && *b;
      f.description = Str(r[9]);
      out.push_back(f);
    }
    return out;
  }

  std::vector<std::string> FieldNames(int64_t code) {
    std::vector<std::string> names;
    for (const auto& f : FieldsOf(code)) names.push_back(f.name);
    return names;
  }

  std::map<std::string, StoredIndex> IndexesOf(int64_t code) {
    auto t = Table::Open(dict_, dictionary::kIndexTable, {.writable = true});
    std::map<std::string, StoredIndex> out;
    for (uint32_t i = 0; i < t->recordCount(); ++i) {
      Row r = t->read(i);
      if (Int(r[0]) != code) continue;
      auto flag = [&](size_t k) {
        const auto* b = std::get_if<bool>(&r[k]);
        return b && *b;
      };
      out[Str(r[1])] = {Str(r[2]), Str(r[3]), flag(4), flag(5), flag(6), flag(7)};
    }
    return out;
  }

  // Positions tblTables on a table row through the views.
  void SelectTable(const std::string& name, const std::string& alias = "SHOP") {
    ASSERT_TRUE(dm_->tblTables.findKey({Value{alias}, Value{name}})) << name;
  }

  void DescribeTable(const std::string& name, const std::string& text) {
    SelectTable(name);
    dm_->tblTables.edit();
    dm_->tblTables.fieldByName("Descrizione").setAsString(text);
    dm_->tblTables.post();
  }

  void DescribeField(const std::string& table, const std::string& field, const std::string& text) {
    SelectTable(table);
    auto& f = dm_->tblFields;
    for (f.first(); !f.eof(); f.next()) {
      if (f.fieldByName("Nome").asString() == field) {
        f.edit();
        f.fieldByName("Descrizione").setAsString(text);
        f.post();
        return;
      }
    }
    FAIL() << "no field row " << field;
  }

  void DescribeIndex(const std::string& table, const std::string& index, const std::string& text) {
    SelectTable(table);
    auto& ix = dm_->tblIndex;
    for (ix.first(); !ix.eof(); ix.next()) {
      if (ix.fieldByName("Nome").asString() == index) {
        ix.edit();
        ix.fieldByName("Descrizione").setAsString(text);
        ix.post();
        return;
      }
    }
    FAIL() << "no index row " << index;
  }

  std::vector<std::string> ShownTexts() const {
    std::vector<std::string> texts;
    for (const auto& s : ui_.shown) texts.push_back(s.text);
    return texts;
  }

  static std::string UpgradeQuestion(const std::string& alias, const std::string& name) {
    return "The table \"" + alias + "." + name +
           "\" has been already loaded. Do you confirm the upgrade?";
  }

  test::TempDir dir_;
  std::string src_ = dir_.path() + "/src";
  std::string dict_ = dir_.path() + "/dict";
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
  const Date day1_ = DateFromYmd(2024, 3, 14);
  const Date day2_ = DateFromYmd(2024, 3, 20);
};

// --- CheckValueToText ----------------------------------------------------

TEST(CheckValueToTextTest, StringStopsAtTheFirstZeroByte) {
  Native n = NativeText("abc");
  n[4] = 'z';  // after the terminating zero: not part of the value
  EXPECT_EQ(CheckValueToText(FieldType::kString, n), "abc");
  EXPECT_EQ(CheckValueToText(FieldType::kString, Native{}), "");
}

TEST(CheckValueToTextTest, StringWithoutZeroByteIsAtMost255Characters) {
  Native n;
  n.fill('x');
  EXPECT_EQ(CheckValueToText(FieldType::kString, n), std::string(255, 'x'));
}

TEST(CheckValueToTextTest, IntegersAreSignedLittleEndian) {
  EXPECT_EQ(CheckValueToText(FieldType::kSmallint, NativeShort(-2)), "-2");
  EXPECT_EQ(CheckValueToText(FieldType::kSmallint, NativeShort(32767)), "32767");
  // Only two bytes count for a Smallint.
  EXPECT_EQ(CheckValueToText(FieldType::kSmallint, NativeOf({0x01, 0x00, 0x01})), "1");
  EXPECT_EQ(CheckValueToText(FieldType::kInteger, NativeLong(-100000)), "-100000");
  EXPECT_EQ(CheckValueToText(FieldType::kInteger, NativeLong(2147483647)), "2147483647");
  EXPECT_EQ(CheckValueToText(FieldType::kWord, NativeLong(70000)), "70000");
  EXPECT_EQ(CheckValueToText(FieldType::kWord, NativeOf({0xFF, 0xFF, 0xFF, 0xFF})), "-1");
}

TEST(CheckValueToTextTest, BooleanIsMinusOneWhenAnyOfItsTwoBytesIsSet) {
  EXPECT_EQ(CheckValueToText(FieldType::kBoolean, NativeLogical(true)), "-1");
  EXPECT_EQ(CheckValueToText(FieldType::kBoolean, NativeOf({0x01, 0x00})), "-1");
  EXPECT_EQ(CheckValueToText(FieldType::kBoolean, NativeOf({0x00, 0x80})), "-1");
  EXPECT_EQ(CheckValueToText(FieldType::kBoolean, NativeLogical(false)), "0");
  EXPECT_EQ(CheckValueToText(FieldType::kBoolean, NativeOf({0x00, 0x00, 0x01})), "0");
}

TEST(CheckValueToTextTest, FloatsUseTheLocaleSeparatorAndFifteenDigits) {
  Locale::SetDecimalSeparatorForTesting(',');
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(1.5)), "1,5");
  EXPECT_EQ(CheckValueToText(FieldType::kCurrency, NativeDouble(-2.25)), "-2,25");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(0.1)), "0,1");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(100)), "100");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(0)), "0");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(1234567.125)), "1234567,125");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(1.0 / 3)), "0,333333333333333");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(2.0 / 3)), "0,666666666666667");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(999999999999999.0)),
            "999999999999999");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(1e15)), "1E15");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(123456789012345678.0)),
            "1,23456789012346E17");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(0.00001)), "0,00001");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(0.0000015)), "1,5E-6");
  Locale::SetDecimalSeparatorForTesting('.');
  EXPECT_EQ(CheckValueToText(FieldType::kCurrency, NativeDouble(19.99)), "19.99");
  Locale::SetDecimalSeparatorForTesting(std::nullopt);
}

TEST(CheckValueToTextTest, FloatsTooLongForTheColumnAreRoundedNotCut) {
  Locale::SetDecimalSeparatorForTesting(',');
  // Fifteen digits would need 22 and 21 characters: fewer digits, the same
  // magnitude.
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(-1.23456789012345e-100)),
            "-1,234567890123E-100");
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(-0.000123456789012345)),
            "-0,00012345678901234");
  // What fits keeps its fifteen digits.
  EXPECT_EQ(CheckValueToText(FieldType::kFloat, NativeDouble(-1.23456789012345e-9)),
            "-1,23456789012345E-9");
  Locale::SetDecimalSeparatorForTesting(std::nullopt);
}

TEST(CheckValueToTextTest, TheCLibraryLocaleDoesNotChangeTheText) {
  test::CommaLocale comma;
  ASSERT_TRUE(comma.active()) << "scripts/setup.sh installs it_IT.UTF-8";
  Locale::SetDecimalSeparatorForTesting('.');
  const std::string text = CheckValueToText(FieldType::kFloat, NativeDouble(1.5));
  Locale::SetDecimalSeparatorForTesting(std::nullopt);
  EXPECT_EQ(text, "1.5");
}

TEST(CheckValueToTextTest, OtherTypesAreNotSupported) {
  const std::pair<FieldType, const char*> cases[] = {{FieldType::kDate, "Date"},
                                                     {FieldType::kTime, "Time"},
                                                     {FieldType::kDateTime, "DateTime"},
                                                     {FieldType::kBCD, "BCD"},
                                                     {FieldType::kAutoInc, "AutoInc"},
                                                     {FieldType::kUnknown, "Unknown"},
                                                     {FieldType::kBytes, "Bytes"},
                                                     {FieldType::kMemo, "Memo"},
                                                     {FieldType::kParadoxOle, "ParadoxOle"}};
  for (const auto& [type, name] : cases) {
    try {
      CheckValueToText(type, NativeLong(1));
      ADD_FAILURE() << name << " converted";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Defaults: not supported type \"") + name + "\"");
    }
  }
}

// --- the Load command ----------------------------------------------------

TEST_F(StructureLoaderTest, FirstLoadWritesTableFieldAndIndexRows) {
  CreateCustomerV1();
  Load({"CUSTOMER"});

  EXPECT_TRUE(ui_.shown.empty()) << (ui_.shown.empty() ? "" : ui_.shown[0].text);
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Loading \"CUSTOMER", ""}));
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
  EXPECT_EQ(ui_.events_processed, 1);

  auto tables = Tables();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].alias, "SHOP");
  EXPECT_EQ(tables[0].name, "CUSTOMER");
  EXPECT_EQ(tables[0].inserted, day1_);
  EXPECT_EQ(tables[0].modified, std::nullopt);

  auto fields = FieldsOf(tables[0].code);
  ASSERT_EQ(fields.size(), 6u);
  const char* names[] = {"ID", "NAME", "BORN", "ACTIVE", "RATE", "NOTES"};
  const char* types[] = {"Integer", "String", "Date", "Boolean", "Float", "Memo"};
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].position, static_cast<int64_t>(i) + 1);
    EXPECT_EQ(fields[i].name, names[i]);
    EXPECT_EQ(fields[i].type, types[i]);
    EXPECT_TRUE(fields[i].description.empty());
  }
  // Lunghezza only where the size is above 0.
  EXPECT_EQ(fields[0].length, std::nullopt);
  EXPECT_EQ(fields[1].length, 30);
  EXPECT_EQ(fields[2].length, std::nullopt);
  EXPECT_EQ(fields[3].length, std::nullopt);
  EXPECT_EQ(fields[4].length, std::nullopt);
  EXPECT_EQ(fields[5].length, 10);
  EXPECT_TRUE(fields[0].required);
  EXPECT_FALSE(fields[1].required);
  // Validity checks as text.
  EXPECT_EQ(fields[0].min, "1");
  EXPECT_EQ(fields[0].max, "99999");
  EXPECT_EQ(fields[0].def, "");
  EXPECT_EQ(fields[1].def, "Nobody");
  EXPECT_EQ(fields[1].min, "");
  EXPECT_EQ(fields[3].def, "-1");
  EXPECT_EQ(fields[4].min, "0.5");
  EXPECT_EQ(fields[4].max, "99.75");
  EXPECT_EQ(fields[4].def, "1.25");
  EXPECT_EQ(fields[2].min + fields[2].max + fields[2].def, "");

  auto indexes = IndexesOf(tables[0].code);
  ASSERT_EQ(indexes.size(), 3u);
  ASSERT_TRUE(indexes.count("*PRIMARY*"));
  EXPECT_EQ(indexes["*PRIMARY*"].keys, "ID");
  EXPECT_TRUE(indexes["*PRIMARY*"].primary);
  EXPECT_TRUE(indexes["*PRIMARY*"].unique);
  ASSERT_TRUE(indexes.count("ByName"));
  EXPECT_EQ(indexes["ByName"].keys, "NAME;RATE");
  EXPECT_FALSE(indexes["ByName"].primary);
  EXPECT_FALSE(indexes["ByName"].unique);
  EXPECT_FALSE(indexes["ByName"].descending);
  EXPECT_TRUE(indexes["ByName"].case_insensitive);
  ASSERT_TRUE(indexes.count("NAME"));
  EXPECT_EQ(indexes["NAME"].keys, "NAME");
  EXPECT_FALSE(indexes["NAME"].case_insensitive);

  EXPECT_FALSE(dm_->tblFields.controlsDisabled());
  EXPECT_FALSE(dm_->tblIndex.controlsDisabled());
}

TEST_F(StructureLoaderTest, LoadsFromAnAliasAndRecordsUnderTheLoadAsAlias) {
  CreateSimple("ITEMS");
  std::ofstream(dir_.file("aliases.conf")) << "SOURCEDB STANDARD " << src_ << "\n";
  LoadStructures(*dm_, ui_, "SOURCEDB", "ARCHIVE", {"ITEMS"});
  EXPECT_TRUE(ui_.shown.empty());
  const int64_t code = CodeOf("ITEMS", "ARCHIVE");
  ASSERT_NE(code, kNoCode);
  EXPECT_EQ(FieldNames(code), (std::vector<std::string>{"K", "LABEL"}));
}

TEST_F(StructureLoaderTest, ReloadKeepsTheTableRowAndTheDescriptionsOfUnchangedNames) {
  CreateCustomerV1();
  Load({"CUSTOMER"});
  const StoredTable before = *FindTable("SHOP", "CUSTOMER");
  DescribeTable("CUSTOMER", "All our customers");
  DescribeField("CUSTOMER", "ID", "Customer number");
  DescribeField("CUSTOMER", "NAME", "Full name");
  DescribeField("CUSTOMER", "BORN", "Birth day");
  DescribeField("CUSTOMER", "RATE", "Discount rate");
  DescribeIndex("CUSTOMER", "*PRIMARY*", "By number");
  DescribeIndex("CUSTOMER", "ByName", "By name and rate");
  DescribeIndex("CUSTOMER", "NAME", "By name");

  CreateCustomerV2();
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kYes};
  Load({"CUSTOMER"});

  EXPECT_EQ(ShownTexts(), (std::vector<std::string>{UpgradeQuestion("SHOP", "CUSTOMER")}));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kConfirmation);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kYesNoCancelAll);

  auto tables = Tables();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].code, before.code);
  EXPECT_EQ(tables[0].inserted, day1_);
  EXPECT_EQ(tables[0].modified, day1_);
  EXPECT_EQ(tables[0].description, "All our customers");

  auto fields = FieldsOf(before.code);
  ASSERT_EQ(fields.size(), 6u);
  const char* names[] = {"ID", "Name", "ACTIVE", "PRICE", "NOTES", "EMAIL"};
  const char* descriptions[] = {"Customer number", "Full name", "", "", "", ""};
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].position, static_cast<int64_t>(i) + 1);
    EXPECT_EQ(fields[i].name, names[i]);
    EXPECT_EQ(fields[i].description, descriptions[i]) << names[i];
  }
  EXPECT_EQ(fields[5].length, 60);
  // V2 has no validity checks: the values written by the first load are gone.
  EXPECT_EQ(fields[0].min, "");
  EXPECT_EQ(fields[2].def, "");

  auto indexes = IndexesOf(before.code);
  ASSERT_EQ(indexes.size(), 3u);
  EXPECT_EQ(indexes["*PRIMARY*"].description, "By number");
  ASSERT_TRUE(indexes.count("BYNAME"));
  EXPECT_EQ(indexes["BYNAME"].description, "");
  EXPECT_EQ(indexes["BYNAME"].keys, "Name;PRICE");
  ASSERT_TRUE(indexes.count("Name"));
  EXPECT_EQ(indexes["Name"].description, "");
  EXPECT_EQ(indexes.count("ByName"), 0u);
  EXPECT_EQ(indexes.count("NAME"), 0u);
}

TEST_F(StructureLoaderTest, ReloadOnALaterDayStampsTheModificationDateOnly) {
  CreateSimple("ITEMS");
  Load({"ITEMS"});
  Locale::SetTodayForTesting(day2_);
  ui_.answers = {Answer::kYes};
  Load({"ITEMS"});
  auto t = FindTable("SHOP", "ITEMS");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->inserted, day1_);
  EXPECT_EQ(t->modified, day2_);
}

TEST_F(StructureLoaderTest, NoSkipsATableAndTheAliasMatchesInAnyLetterCase) {
  CreateSimple("A");
  CreateSimple("B");
  Load({"A", "B"});
  CreateSimple("A", "CHANGED");
  CreateSimple("B", "CHANGED");
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kNo, Answer::kYes};
  Load({"A", "B"}, "shop");

  EXPECT_EQ(ShownTexts(),
            (std::vector<std::string>{UpgradeQuestion("shop", "A"), UpgradeQuestion("shop", "B")}));
  EXPECT_EQ(Tables().size(), 2u);
  EXPECT_EQ(FieldNames(CodeOf("A")), (std::vector<std::string>{"K", "LABEL"}));
  EXPECT_EQ(FindTable("SHOP", "A")->modified, std::nullopt);
  EXPECT_EQ(FieldNames(CodeOf("B")), (std::vector<std::string>{"K", "CHANGED"}));
  EXPECT_EQ(FindTable("SHOP", "B")->modified, day1_);
}

TEST_F(StructureLoaderTest, AllUpgradesEveryLaterTableWithoutAsking) {
  for (const char* name : {"A", "B", "C"}) CreateSimple(name);
  Load({"A", "B", "C"});
  for (const char* name : {"A", "B", "C"}) CreateSimple(name, "NEWNAME");
  Locale::SetTodayForTesting(day2_);
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kAll, Answer::kNo, Answer::kNo};
  Load({"A", "B", "C"});

  EXPECT_EQ(ShownTexts(), (std::vector<std::string>{UpgradeQuestion("SHOP", "A")}));
  for (const char* name : {"A", "B", "C"}) {
    EXPECT_EQ(FieldNames(CodeOf(name)), (std::vector<std::string>{"K", "NEWNAME"})) << name;
    EXPECT_EQ(FindTable("SHOP", name)->modified, day2_) << name;
  }
}

TEST_F(StructureLoaderTest, CancelStopsBeforeTheCurrentTableKeepingEarlierOnes) {
  CreateSimple("OLD");
  Load({"OLD"});
  CreateSimple("OLD", "CHANGED");
  CreateSimple("FIRST");
  CreateSimple("LAST");
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kCancel};
  const LoadReport report = Load({"FIRST", "OLD", "LAST"});

  EXPECT_EQ(report.end, LoadReport::End::kCancelled);
  ASSERT_EQ(report.tables.size(), 2u);
  EXPECT_EQ(report.tables[1].name, "OLD");
  EXPECT_EQ(report.tables[1].result, TableLoad::Result::kNotLoaded);
  EXPECT_EQ(report.tables[1].answer, Answer::kCancel);
  EXPECT_EQ(report.not_reached, (std::vector<std::string>{"LAST"}));
  EXPECT_EQ(ShownTexts(), (std::vector<std::string>{UpgradeQuestion("SHOP", "OLD")}));
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{"Loading \"FIRST", "Loading \"OLD", ""}));
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
  EXPECT_EQ(FieldNames(CodeOf("FIRST")), (std::vector<std::string>{"K", "LABEL"}));
  EXPECT_EQ(FieldNames(CodeOf("OLD")), (std::vector<std::string>{"K", "LABEL"}));
  EXPECT_EQ(FindTable("SHOP", "OLD")->modified, std::nullopt);
  EXPECT_EQ(CodeOf("LAST"), kNoCode);
  EXPECT_FALSE(dm_->tblFields.controlsDisabled());
}

TEST_F(StructureLoaderTest, ATableThatOpensOnlyWithDbfIsRecordedWithoutTheExtension) {
  CreateSimple("LEGACY");
  fs::rename(src_ + "/LEGACY.DB", src_ + "/LEGACY.DBF");
  Load({"LEGACY"});
  EXPECT_TRUE(ui_.shown.empty());
  auto tables = Tables();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].name, "LEGACY");
  EXPECT_EQ(FieldNames(tables[0].code), (std::vector<std::string>{"K", "LABEL"}));
}

// What the engine says when it cannot open a table (what describe shows).
std::string OpenFailure(const std::string& directory, const std::string& name) {
  try {
    engine::paradox::Table::Open(directory, name);
  } catch (const EDBEngineError& e) {
    return e.what();
  }
  return "<it opened>";
}

TEST_F(StructureLoaderTest, AnUnreadableTableIsReportedAndSkipped) {
  CreateSimple("GOOD1");
  CreateSimple("GOOD2");
  std::ofstream(src_ + "/BROKEN.DB", std::ios::binary) << std::string(300, '\x5A');
  Load({"GOOD1", "BROKEN", "MISSING", "GOOD2"});

  ASSERT_EQ(ui_.shown.size(), 2u);
  // The system's message, then the engine's reason.
  EXPECT_EQ(ui_.shown[0].text, "Impossible to load the informations of the table \"BROKEN\": " +
                                   OpenFailure(src_, "BROKEN"));
  EXPECT_NE(ui_.shown[0].text.find("BROKEN.DB"), std::string::npos);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  EXPECT_EQ(ui_.shown[1].text, "Impossible to load the informations of the table \"MISSING\": " +
                                   OpenFailure(src_, "MISSING"));
  EXPECT_NE(ui_.shown[1].text.find("does not exist"), std::string::npos);
  auto tables = Tables();
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_NE(CodeOf("GOOD1"), kNoCode);
  EXPECT_NE(CodeOf("GOOD2"), kNoCode);
  EXPECT_EQ(ui_.progress_texts.size(), 5u);
}

// A table whose blob file is gone is loaded (its structure is whole), and
// the load says at once that a rebuild could not keep its rows: values of
// its memos live in the missing file. A table that is whole says nothing.
TEST_F(StructureLoaderTest, ATableWhoseRowsARebuildCannotKeepIsNamedAtLoadTime) {
  CreateSource("NOTES", {{"ID", FieldType::kInteger, 0}, {"TEXT", FieldType::kMemo, 10}},
               {{"", {"ID"}, true, true}});
  {
    auto t = Table::Open(src_, "NOTES", {.writable = true});
    t->insert({int64_t{1}, std::string("short")});
    t->insert({int64_t{2}, std::string(300, 'x')});
    t->insert({int64_t{3}, std::string(40, 'y')});
  }
  CreateSimple("WHOLE");
  fs::remove(src_ + "/NOTES.MB");
  const LoadReport report = Load({"WHOLE", "NOTES"});
  ASSERT_EQ(report.tables.size(), 2u);
  EXPECT_EQ(report.tables[0].not_rebuildable, "");
  EXPECT_EQ(report.tables[1].result, TableLoad::Result::kAdded);
  const std::string expected =
      "The table \"NOTES\" is loaded, but it cannot be rebuilt keeping its rows: its blob file "
      "NOTES.MB is missing, and 2 values of its memo and blob fields live there";
  EXPECT_EQ(report.tables[1].not_rebuildable, expected);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kWarning);
  EXPECT_EQ(ui_.shown[0].text, expected);
}

// The user's locale writes the dictionary's check values with a decimal
// comma; the rebuild reads them back in the same locale to the same doubles.
TEST_F(StructureLoaderTest, UnderACommaLocaleCheckValuesGoFromLoadToRebuildUnchanged) {
  test::CommaLocale comma;
  ASSERT_TRUE(comma.active()) << "scripts/setup.sh installs it_IT.UTF-8";
  Locale::SetDecimalSeparatorForTesting(std::nullopt);
  CreateCustomerV1();
  Load({"CUSTOMER"});
  const auto fields = FieldsOf(CodeOf("CUSTOMER"));
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[4].min, "0,5");
  EXPECT_EQ(fields[4].max, "99,75");
  EXPECT_EQ(fields[4].def, "1,25");

  const std::string out = dir_.file("out");
  rebuild::TTableRegenerator(*dm_, ui_).RegenerateTable("SHOP", "CUSTOMER", out);
  const auto source = Table::Open(src_, "CUSTOMER")->structure().checks;
  const auto rebuilt = Table::Open(out, "CUSTOMER")->structure().checks;
  ASSERT_EQ(rebuilt.size(), source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    EXPECT_EQ(rebuilt[i].min, source[i].min) << "check " << i;
    EXPECT_EQ(rebuilt[i].max, source[i].max) << "check " << i;
    EXPECT_EQ(rebuilt[i].def, source[i].def) << "check " << i;
  }
}

TEST_F(StructureLoaderTest, TheReportSaysWhatBecameOfEveryTable) {
  CreateSimple("ONE");
  CreateSimple("TWO");
  Load({"ONE", "TWO"});
  CreateSource("THREE", {{"K", FieldType::kSmallint, 0}, {"WHEN", FieldType::kDate, 0}}, {},
               {Check(2, NativeDate(day1_), std::nullopt, std::nullopt)});
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kYes, Answer::kNo};
  const LoadReport report = Load({"ONE", "TWO", "MISSING", "THREE"});

  using Result = TableLoad::Result;
  struct Expected {
    const char* name;
    Result result;
    std::optional<Answer> answer;
    size_t messages;
  };
  const Expected expected[] = {{"ONE", Result::kUpgraded, Answer::kYes, 0},
                               {"TWO", Result::kKept, Answer::kNo, 0},
                               {"MISSING", Result::kNotOpened, std::nullopt, 0},
                               {"THREE", Result::kAdded, std::nullopt, 1}};
  ASSERT_EQ(report.tables.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TableLoad& got = report.tables[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(got.name, expected[i].name);
    EXPECT_EQ(got.result, expected[i].result);
    EXPECT_EQ(got.answer, expected[i].answer);
    EXPECT_EQ(got.messages.size(), expected[i].messages);
    EXPECT_EQ(got.reason.empty(), got.result != Result::kNotOpened);
  }
  EXPECT_EQ(report.tables[3].messages[0], "Defaults: not supported type \"Date\" on field WHEN");
  EXPECT_NE(report.tables[2].reason.find("MISSING"), std::string::npos) << report.tables[2].reason;
  EXPECT_EQ(report.end, LoadReport::End::kFinished);
  EXPECT_TRUE(report.not_reached.empty());
  EXPECT_EQ(report.count(Result::kNotOpened), 1u);
}

TEST_F(StructureLoaderTest, AStopRequestEndsTheLoadBetweenTablesEachOneWhole) {
  CreateSimple("ONE");
  CreateSimple("TWO");
  CreateSimple("THREE");
  ui_.stop_after_steps = 2;
  const LoadReport report = Load({"ONE", "TWO", "THREE"});

  EXPECT_EQ(report.end, LoadReport::End::kStopped);
  ASSERT_EQ(report.tables.size(), 2u);
  EXPECT_EQ(report.tables[1].result, TableLoad::Result::kAdded);
  EXPECT_EQ(report.not_reached, (std::vector<std::string>{"THREE"}));
  EXPECT_EQ(FieldNames(CodeOf("ONE")), (std::vector<std::string>{"K", "LABEL"}));
  EXPECT_EQ(FieldNames(CodeOf("TWO")), (std::vector<std::string>{"K", "LABEL"}));
  EXPECT_EQ(IndexesOf(CodeOf("TWO")).size(), 1u);
  EXPECT_EQ(CodeOf("THREE"), kNoCode);
  // Progress counts the tables done out of all of them; the last, empty
  // step gives the window its caption back.
  ASSERT_EQ(ui_.progress_steps.size(), 3u);
  EXPECT_EQ(ui_.progress_steps[1].text, "Loading \"TWO");
  EXPECT_EQ(ui_.progress_steps[1].done, 1u);
  EXPECT_EQ(ui_.progress_steps[1].total, 3u);
  EXPECT_EQ(ui_.progress_steps[2].text, "");
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
  EXPECT_FALSE(dm_->runs().running());
}

TEST_F(StructureLoaderTest, AnUnknownSourceReportsEveryTable) {
  Load({"X", "Y"});
  EXPECT_EQ(
      ShownTexts(),
      (std::vector<std::string>{
          "Impossible to load the informations of the table \"X\": " + OpenFailure(src_, "X"),
          "Impossible to load the informations of the table \"Y\": " + OpenFailure(src_, "Y")}));
  EXPECT_TRUE(Tables().empty());
}

TEST_F(StructureLoaderTest, AnEmptyListChangesNothing) {
  CreateSimple("ITEMS");
  Load({"ITEMS"});
  const auto before_fields = FieldsOf(CodeOf("ITEMS"));
  ui_ = test::ScriptedUi{};
  Load({});
  EXPECT_TRUE(ui_.shown.empty());
  EXPECT_EQ(ui_.progress_texts, (std::vector<std::string>{""}));
  EXPECT_EQ(ui_.busy_states, (std::vector<bool>{true, false}));
  EXPECT_EQ(ui_.events_processed, 0);
  ASSERT_EQ(Tables().size(), 1u);
  EXPECT_EQ(Tables()[0].modified, std::nullopt);
  EXPECT_EQ(FieldsOf(CodeOf("ITEMS")).size(), before_fields.size());
}

TEST_F(StructureLoaderTest, AnUnsupportedCheckTypeIsReportedAndItsValuesStayEmpty) {
  CreateSource("EVENTS",
               {{"ID", FieldType::kSmallint, 0},
                {"WHEN", FieldType::kDate, 0},
                {"LEVEL", FieldType::kSmallint, 0}},
               {{"", {"ID"}, true, true}},
               {Check(2, NativeDate(DateFromYmd(2000, 1, 1)), std::nullopt, std::nullopt),
                Check(3, NativeShort(-5), NativeShort(5), NativeShort(0))});
  Load({"EVENTS"});

  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "Defaults: not supported type \"Date\" on field WHEN");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kPlain);
  EXPECT_EQ(ui_.shown[0].buttons, Buttons::kOk);
  auto fields = FieldsOf(CodeOf("EVENTS"));
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[1].min + fields[1].max + fields[1].def, "");
  EXPECT_EQ(fields[2].min, "-5");
  EXPECT_EQ(fields[2].max, "5");
  EXPECT_EQ(fields[2].def, "0");
}

TEST_F(StructureLoaderTest, TextsAreStoredCutToTheirColumns) {
  CreateSource(
      "WIDE",
      {{"ID", FieldType::kSmallint, 0},
       {"TEXT", FieldType::kString, 40},
       {"PICTURE", FieldType::kParadoxOle, 10}},
      {{"", {"ID"}, true, true}},
      {Check(2, std::nullopt, std::nullopt, NativeText("abcdefghijklmnopqrstuvwxyz0123"))});
  Load({"WIDE"});
  EXPECT_TRUE(ui_.shown.empty());
  auto fields = FieldsOf(CodeOf("WIDE"));
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[1].def, "abcdefghijklmnopqrst");
  EXPECT_EQ(fields[2].type, "ParadoxO");
}

TEST_F(StructureLoaderTest, AnIndexNamedWithTheMarkIsNotKept) {
  CreateSource("MARKED", {{"ID", FieldType::kSmallint, 0}, {"NAME", FieldType::kString, 10}},
               {{"", {"ID"}, true, true},
                {"~x", {"NAME"}, false, false, false, true},
                {"ByName", {"NAME"}, false, false, false, true}});
  Load({"MARKED"});
  auto indexes = IndexesOf(CodeOf("MARKED"));
  EXPECT_EQ(indexes.count("~x"), 0u);
  EXPECT_EQ(indexes.count("*PRIMARY*"), 1u);
  EXPECT_EQ(indexes.count("ByName"), 1u);
  EXPECT_EQ(indexes.size(), 2u);
}

// --- upgrades cut short --------------------------------------------------

TEST_F(StructureLoaderTest, AnUpgradeCutShortIsFinishedByTheNextLoad) {
  CreateCustomerV1();
  Load({"CUSTOMER"});
  const int64_t code = CodeOf("CUSTOMER");
  DescribeField("CUSTOMER", "NAME", "Full name");
  DescribeField("CUSTOMER", "BORN", "Birth day");
  DescribeField("CUSTOMER", "NOTES", "Remarks");
  DescribeIndex("CUSTOMER", "*PRIMARY*", "By number");
  DescribeIndex("CUSTOMER", "NAME", "By name");

  // Structures whose second-to-last element the dictionary refuses (names
  // equal but for letter case, names equal): the steps stop with a key
  // violation after marking the old rows and writing part of the new ones.
  TableStructure broken;
  broken.fields = {FieldInfo{"ID", FieldType::kInteger, 0},
                   FieldInfo{"NAME", FieldType::kString, 30},
                   FieldInfo{"name", FieldType::kString, 30}};
  broken.indexes = {Index("", "ID", true), Index("ByName", "NAME"), Index("ByName", "NAME")};
  SelectTable("CUSTOMER");
  EXPECT_THROW(LoadFields(*dm_, broken), EDBEngineError);
  dm_->tblFields.cancel();
  EXPECT_THROW(LoadIndexes(*dm_, broken), EDBEngineError);
  dm_->tblIndex.cancel();

  // The state the failure left: six marked old field rows, three marked old
  // index rows, beside the new rows written before it.
  int marked_fields = 0;
  for (const auto& f : FieldsOf(code)) {
    if (f.position > 15000 && f.name[0] == '~') ++marked_fields;
  }
  EXPECT_EQ(marked_fields, 6);
  int marked_indexes = 0;
  for (const auto& [name, index] : IndexesOf(code)) marked_indexes += name[0] == '~';
  EXPECT_EQ(marked_indexes, 3);

  CreateCustomerV1();
  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kYes};
  Load({"CUSTOMER"});

  EXPECT_EQ(ShownTexts(), (std::vector<std::string>{UpgradeQuestion("SHOP", "CUSTOMER")}));
  auto fields = FieldsOf(code);
  ASSERT_EQ(fields.size(), 6u);
  const char* names[] = {"ID", "NAME", "BORN", "ACTIVE", "RATE", "NOTES"};
  const char* descriptions[] = {"", "Full name", "Birth day", "", "", "Remarks"};
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].position, static_cast<int64_t>(i) + 1);
    EXPECT_EQ(fields[i].name, names[i]);
    EXPECT_EQ(fields[i].description, descriptions[i]) << names[i];
  }
  EXPECT_EQ(fields[3].def, "-1");
  auto indexes = IndexesOf(code);
  ASSERT_EQ(indexes.size(), 3u);
  EXPECT_EQ(indexes["*PRIMARY*"].description, "By number");
  EXPECT_EQ(indexes["ByName"].description, "");
  EXPECT_EQ(indexes["NAME"].description, "By name");
}

TEST_F(StructureLoaderTest, MarkedRowsLeftInTheDictionaryDoNotStopAnUpgrade) {
  CreateCustomerV1();
  Load({"CUSTOMER"});
  const int64_t code = CodeOf("CUSTOMER");
  DescribeField("CUSTOMER", "NAME", "Full name");
  DescribeIndex("CUSTOMER", "ByName", "By name and rate");

  // Marked rows as an interrupted upgrade leaves them: "~NAME" at 15002 and
  // "~ByName" are where marking NAME and ByName puts them; "~GONE" stands
  // for a field and an index the source no longer has.
  SelectTable("CUSTOMER");
  auto add_field = [&](int position, const std::string& name, const std::string& text) {
    auto& f = dm_->tblFields;
    f.insert();
    f.fieldByName("Posizione").setAsInteger(position);
    f.fieldByName("Nome").setAsString(name);
    f.fieldByName("Tipo").setAsString("String");
    f.fieldByName("Descrizione").setAsString(text);
    f.post();
  };
  add_field(15002, "~NAME", "Old name text");
  add_field(15040, "~GONE", "Gone field");
  auto add_index = [&](const std::string& name, const std::string& text) {
    auto& ix = dm_->tblIndex;
    ix.insert();
    ix.fieldByName("Nome").setAsString(name);
    ix.fieldByName("Descrizione").setAsString(text);
    ix.post();
  };
  add_index("~ByName", "Old index text");
  add_index("~GONE", "Gone index");
  add_index("~~x", "Marked twice");

  ui_ = test::ScriptedUi{};
  ui_.answers = {Answer::kYes};
  Load({"CUSTOMER"});

  auto fields = FieldsOf(code);
  ASSERT_EQ(fields.size(), 6u);
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(fields[i].position, static_cast<int64_t>(i) + 1);
    EXPECT_NE(fields[i].name[0], '~');
  }
  // NAME had a description of its own: the leftover's does not replace it.
  EXPECT_EQ(fields[1].name, "NAME");
  EXPECT_EQ(fields[1].description, "Full name");
  auto indexes = IndexesOf(code);
  EXPECT_EQ(indexes.size(), 3u);
  EXPECT_EQ(indexes["ByName"].description, "By name and rate");
  for (const auto& [name, index] : indexes) EXPECT_NE(name[0], '~') << name;
}

TEST_F(StructureLoaderTest, ALeftoverDescriptionGoesToARowWithoutOne) {
  CreateSimple("ITEMS");
  Load({"ITEMS"});
  const int64_t code = CodeOf("ITEMS");
  SelectTable("ITEMS");
  auto& f = dm_->tblFields;
  f.insert();
  f.fieldByName("Posizione").setAsInteger(15002);
  f.fieldByName("Nome").setAsString("~label");
  f.fieldByName("Descrizione").setAsString("What it says");
  f.post();

  ui_.answers = {Answer::kYes};
  Load({"ITEMS"});
  auto fields = FieldsOf(code);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[1].name, "LABEL");
  EXPECT_EQ(fields[1].description, "What it says");
}

// The three steps on their own, for a table already positioned.
TEST_F(StructureLoaderTest, StepsRunOnTheCurrentTableRowOnly) {
  CreateSimple("ONE");
  CreateSimple("TWO", "OTHER");
  Load({"ONE", "TWO"});
  SelectTable("ONE");
  TableStructure s;
  s.fields = {FieldInfo{"K", FieldType::kSmallint, 0}, FieldInfo{"EXTRA", FieldType::kBytes, 4}};
  s.indexes = {Index("", "K", true), Index("Extra", "EXTRA")};
  LoadFields(*dm_, s);
  LoadIndexes(*dm_, s);
  EXPECT_EQ(FieldNames(CodeOf("ONE")), (std::vector<std::string>{"K", "EXTRA"}));
  EXPECT_EQ(FieldsOf(CodeOf("ONE"))[1].type, "Bytes");
  EXPECT_EQ(FieldsOf(CodeOf("ONE"))[1].length, 4);
  EXPECT_EQ(IndexesOf(CodeOf("ONE")).size(), 2u);
  EXPECT_EQ(FieldNames(CodeOf("TWO")), (std::vector<std::string>{"K", "OTHER"}));
  EXPECT_EQ(IndexesOf(CodeOf("TWO")).size(), 1u);
}

// A click handled while the load lets pending events run must neither start
// a second load nor switch the dictionary under it.
TEST_F(StructureLoaderTest, ClicksDuringTheLoadCannotStartAnotherRunOrSwitchTheDictionary) {
  CreateSimple("ONE");
  CreateSimple("TWO");
  int refused = 0;
  ui_.on_events = [&] {
    EXPECT_TRUE(dm_->runs().running());
    try {
      LoadStructures(*dm_, ui_, src_, "OTHER", {"ONE"});
    } catch (const Error&) {
      ++refused;
    }
    try {
      dm_->OpenDictionary(src_);
    } catch (const Error&) {
      ++refused;
    }
  };
  Load({"ONE", "TWO"});
  EXPECT_EQ(refused, 4);
  EXPECT_FALSE(dm_->runs().running());
  EXPECT_EQ(dm_->projectDirectory(), dict_);
  ASSERT_EQ(Tables().size(), 2u);
  EXPECT_FALSE(FindTable("OTHER", "ONE"));
}

// --- one name per table, and names the dictionary cannot hold --------------

TEST_F(StructureLoaderTest, ATableIsRecordedUnderItsOwnNameHoweverItIsTyped) {
  CreateSimple("Orders");  // the data file is "Orders.DB"
  ui_.answers = {Answer::kAll};
  Load({"orders.db", "ORDERS", "Orders.DB", "orders"});
  auto tables = Tables();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].name, "Orders");
  // The later names found the same row, and the question names it so.
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, UpgradeQuestion("SHOP", "Orders"));
}

class HebrewNamesTest : public StructureLoaderTest {
 protected:
  // "שלום" (shin lamed vav final-mem) as a field name of a code page 1255
  // table; in that code page its bytes are F9 EC E5 ED.
  const std::string shalom_ = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";

  void CreateHebrewSource() {
    TableDefinition def;
    def.code_page = 1255;
    def.fields = {{"ID", FieldType::kSmallint, 0}, {shalom_, FieldType::kString, 10}};
    def.indexes = {{"", {"ID"}, true, true}};
    Table::Create(src_, "HEB", def);
  }
};

TEST_F(HebrewNamesTest, ADictionaryThatCannotHoldANameRefusesTheTable) {
  CreateHebrewSource();
  CreateSimple("PLAIN");
  Load({"HEB", "PLAIN"});
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].text,
            "The table \"HEB\" cannot be loaded: the name of field 2, \"" + shalom_ +
                "\", holds characters that the dictionary's code page 1252 cannot hold; a "
                "dictionary created in a code page that has them can");
  EXPECT_EQ(CodeOf("HEB"), kNoCode);
  EXPECT_NE(CodeOf("PLAIN"), kNoCode);
}

TEST_F(HebrewNamesTest, ADictionaryInTheirCodePageHoldsThemExactly) {
  CreateHebrewSource();
  dm_.reset();
  const std::string dict1255 = dir_.file("dict1255");
  fs::create_directories(dict1255);
  dictionary::CreateDictionaryTables(dict1255, engine::FileSystem::Default(), 1255);
  dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
  dm_->OpenDictionary(dict1255);
  Load({"HEB"});
  EXPECT_TRUE(ui_.shown.empty());
  auto fields = Table::Open(dict1255, dictionary::kFieldsTable);
  ASSERT_EQ(fields->recordCount(), 2u);
  EXPECT_EQ(Str(fields->read(1)[2]), shalom_);
  // On disk, in code page 1255.
  std::ifstream in(dict1255 + "/DDFields.DB", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find("\xF9\xEC\xE5\xED"), std::string::npos);
}

TEST_F(StructureLoaderTest, NamesLongerThanTheirColumnsAreRefusedNotCut) {
  CreateSimple("ITEMS");
  const std::string long_alias(51, 'A');
  Load({"ITEMS"}, long_alias);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kError);
  EXPECT_EQ(ui_.shown[0].text, "The alias \"" + long_alias +
                                   "\" is longer than the 50 characters the dictionary holds");
  EXPECT_TRUE(Tables().empty());

  // A table name of 51 characters, and one of exactly 50.
  const std::string long_name(51, 'T');
  CreateSimple(long_name);
  CreateSimple(std::string(50, 'F'));
  ui_ = test::ScriptedUi{};
  Load({long_name, std::string(50, 'F')});
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "The table \"" + long_name +
                                   "\" cannot be loaded: the table name, \"" + long_name +
                                   "\", is longer than the 50 characters the dictionary holds");
  ASSERT_EQ(Tables().size(), 1u);
  EXPECT_EQ(Tables()[0].name, std::string(50, 'F'));
}

// --- DDProps ----------------------------------------------------------------

// The DDProps rows of a table, read straight from the file: "Voce Numero"
// -> {Campi, Valore, Opzioni}.
struct PropsRow {
  std::string fields, value;
  int64_t options;
  bool operator==(const PropsRow&) const = default;
};
std::map<std::string, PropsRow> PropsRowsOf(const std::string& dict, int64_t code) {
  std::map<std::string, PropsRow> rows;
  auto t = Table::Open(dict, dictionary::kPropertiesTable);
  for (uint32_t i = 0; i < t->recordCount(); ++i) {
    Row r = t->read(i);
    if (Int(r[0]) != code) continue;
    rows[Str(r[1]) + " " + std::to_string(Int(r[2]))] = {Str(r[4]), Str(r[5]), Int(r[6])};
  }
  return rows;
}

TEST_F(StructureLoaderTest, PicturesLookupsAndFilePropertiesGoToDDProps) {
  ValidityCheck picture = Check(2, std::nullopt, std::nullopt, std::nullopt);
  picture.picture = "&*?";
  ValidityCheck lookup = Check(3, std::nullopt, std::nullopt, std::nullopt);
  lookup.lookup_table = "STATES.DB";
  lookup.lookup_options = engine::paradox::kLookupHelpAndFill;
  TableDefinition def;
  def.code_page = 850;
  def.block_kb = 4;
  def.fields = {{"ID", FieldType::kSmallint, 0},
                {"CODE", FieldType::kString, 5},
                {"STATE", FieldType::kString, 2}};
  def.indexes = {{"", {"ID"}, true, true}};
  def.checks = {picture, lookup};
  Table::Create(src_, "PLACES", def);
  Load({"PLACES"});
  EXPECT_TRUE(ui_.shown.empty());
  const auto rows = PropsRowsOf(dict_, CodeOf("PLACES"));
  EXPECT_EQ(rows.at("CodePage 1"), (PropsRow{"", "850", -1}));
  EXPECT_EQ(rows.at("SortOrder 1"), (PropsRow{"", "ascii", 0}));
  EXPECT_EQ(rows.at("Level 1"), (PropsRow{"", "4", -1}));
  EXPECT_EQ(rows.at("BlockSize 1"), (PropsRow{"", "4096", -1}));
  EXPECT_EQ(rows.at("Picture 1"), (PropsRow{"CODE", "&*?", -1}));
  EXPECT_EQ(rows.at("Lookup 1"), (PropsRow{"STATE", "STATES.DB", 2}));
  EXPECT_EQ(rows.size(), 6u);
}

TEST_F(StructureLoaderTest, ADictionaryWithoutDDPropsGetsItAtTheLoadAndDeletingATableEmptiesIt) {
  dm_.reset();
  for (const char* ext : {".DB", ".PX"}) fs::remove(dict_ + "/DDProps" + ext);
  dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
  dm_->OpenDictionary(dict_);
  EXPECT_FALSE(dm_->tblProps.active());
  CreateSimple("ONE");
  CreateSimple("TWO");
  Load({"ONE", "TWO"});
  ASSERT_TRUE(fs::exists(dict_ + "/DDProps.DB"));
  EXPECT_EQ(PropsRowsOf(dict_, CodeOf("ONE")).size(), 4u);
  const int64_t two = CodeOf("TWO");
  EXPECT_EQ(PropsRowsOf(dict_, two).size(), 4u);

  // Deleting a table's row deletes its DDProps rows with its other rows.
  SelectTable("TWO");
  dm_->tblTables.remove();
  EXPECT_TRUE(PropsRowsOf(dict_, two).empty());
  EXPECT_EQ(PropsRowsOf(dict_, CodeOf("ONE")).size(), 4u);
}

}  // namespace
}  // namespace vellum::loading
