#include "rebuild/table_definition_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

#include "dictionary/data_module.h"
#include "dictionary/locale_helper.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "tests/rebuild/dictionary_rows.h"
#include "tests/support/param_name.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::rebuild {
namespace {

using dictionary::TdmDataDictionary;
using engine::FieldType;
using engine::Operation;
using engine::TableDescriptor;

using test::FieldRow;
using test::IndexRow;

// A dictionary in a temporary directory with one table, SHOP.T, whose field
// and index rows each test writes through the data module's views.
class TableDefinitionBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dictionary::CreateDictionaryTables(dir_.path());
    dm_ = std::make_unique<TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dir_.path());
    test::AddTableRow(*dm_, "SHOP", "T");
  }
  void TearDown() override { Locale::SetDecimalSeparatorForTesting(std::nullopt); }

  void AddField(const FieldRow& row) { test::AddFieldRow(*dm_, row); }
  void AddIndex(const IndexRow& row) { test::AddIndexRow(*dm_, row); }

  // ID Integer, NAME String 20, PRICE Currency.
  void AddIdNamePrice() {
    AddField({"ID", "Integer", {}});
    AddField({"NAME", "String", 20});
    AddField({"PRICE", "Currency", {}});
  }

  TableDescriptor Build(int level = 7) {
    return BuildTableDescriptor(out_, "T", dm_->tblFields, dm_->tblIndex, level);
  }

  // The message of the error the build fails with.
  std::string BuildError() {
    try {
      Build();
    } catch (const Error& e) {
      return e.what();
    }
    return "(the build succeeded)";
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<TdmDataDictionary> dm_;
  std::string out_ = dir_.path() + "/out";
};

uint16_t Le16(const std::array<uint8_t, 256>& slot) {
  return static_cast<uint16_t>(slot[0] | slot[1] << 8);
}

uint32_t Le32(const std::array<uint8_t, 256>& slot) {
  return static_cast<uint32_t>(slot[0]) | static_cast<uint32_t>(slot[1]) << 8 |
         static_cast<uint32_t>(slot[2]) << 16 | static_cast<uint32_t>(slot[3]) << 24;
}

double Double(const std::array<uint8_t, 256>& slot) {
  double d = 0;
  std::memcpy(&d, slot.data(), sizeof d);
  return d;
}

bool ZeroFrom(const std::array<uint8_t, 256>& slot, size_t from) {
  for (size_t i = from; i < slot.size(); ++i) {
    if (slot[i] != 0) return false;
  }
  return true;
}

TEST_F(TableDefinitionBuilderTest, FieldsGetStorageCodesLengthsAndOffsets) {
  AddIdNamePrice();
  TableDescriptor d = Build();

  EXPECT_EQ(d.table_path, out_ + "/T");
  EXPECT_EQ(d.driver_type, "PARADOX");
  EXPECT_EQ(d.password, "");
  EXPECT_EQ(d.user_name, "");
  EXPECT_EQ(d.error_table, "");
  EXPECT_FALSE(d.protected_table);
  EXPECT_FALSE(d.pack);
  EXPECT_EQ(d.security_count, 0);
  EXPECT_EQ(d.referential_integrity_count, 0);

  ASSERT_EQ(d.fields.size(), 3u);
  EXPECT_EQ(d.fields[0].name, "ID");
  EXPECT_EQ(d.fields[1].name, "NAME");
  EXPECT_EQ(d.fields[2].name, "PRICE");
  EXPECT_EQ(d.fields[0].length, 4);
  EXPECT_EQ(d.fields[1].length, 21);
  EXPECT_EQ(d.fields[2].length, 8);
  EXPECT_EQ(d.fields[0].offset, 0);
  EXPECT_EQ(d.fields[1].offset, 4);
  EXPECT_EQ(d.fields[2].offset, 25);
  EXPECT_EQ(d.fields[0].storage_type, 6);
  EXPECT_EQ(d.fields[0].storage_subtype, 0);
  EXPECT_EQ(d.fields[1].storage_type, 1);
  EXPECT_EQ(d.fields[1].units1, 20);
  EXPECT_EQ(d.fields[1].units2, 0);
  EXPECT_EQ(d.fields[2].storage_type, 7);
  EXPECT_EQ(d.fields[2].storage_subtype, 21);
  for (const auto& f : d.fields) EXPECT_EQ(f.field_number, 0) << f.name;

  // Operation codes are the regenerator's to fill: one per element, unset.
  EXPECT_EQ(d.field_operations, std::vector<Operation>(3, Operation::kNone));
  EXPECT_TRUE(d.index_operations.empty());
  EXPECT_TRUE(d.checks.empty());
  EXPECT_TRUE(d.check_operations.empty());
  // Both cursors are left at their end.
  EXPECT_TRUE(dm_->tblFields.eof());
  EXPECT_TRUE(dm_->tblIndex.eof());
}

TEST_F(TableDefinitionBuilderTest, BcdAndMemoUnits) {
  AddField({"AMOUNT", "BCD", 2});
  AddField({"NOTES", "Memo", 240});
  AddField({"AFTER", "Smallint", {}});
  TableDescriptor d = Build();
  ASSERT_EQ(d.fields.size(), 3u);
  EXPECT_EQ(d.fields[0].storage_type, 8);
  EXPECT_EQ(d.fields[0].units1, 32);
  EXPECT_EQ(d.fields[0].units2, 2);
  EXPECT_EQ(d.fields[0].length, 34);
  EXPECT_EQ(d.fields[1].storage_type, 3);
  EXPECT_EQ(d.fields[1].storage_subtype, 22);
  EXPECT_EQ(d.fields[1].units1, 240);
  EXPECT_EQ(d.fields[1].length, 0);
  // A large object takes no room before the next field.
  EXPECT_EQ(d.fields[2].offset, 34);
}

TEST(FieldLayoutTest, EveryLogicalTypeMapsByTheFixedTable) {
  struct Expected {
    FieldType type;
    uint16_t storage, subtype;
    int16_t units1, units2;
    uint16_t length;
  };
  // Size 10 throughout.
  const Expected table[] = {
      {FieldType::kUnknown, 0, 0, 1, 0, 0},    {FieldType::kString, 1, 0, 10, 0, 11},
      {FieldType::kSmallint, 5, 0, 1, 0, 2},   {FieldType::kInteger, 6, 0, 1, 0, 4},
      {FieldType::kWord, 12, 0, 1, 0, 2},      {FieldType::kBoolean, 4, 0, 1, 0, 2},
      {FieldType::kFloat, 7, 0, 1, 0, 8},      {FieldType::kCurrency, 7, 21, 1, 0, 8},
      {FieldType::kBCD, 8, 0, 32, 10, 34},     {FieldType::kDate, 2, 0, 1, 0, 4},
      {FieldType::kTime, 10, 0, 1, 0, 4},      {FieldType::kDateTime, 11, 0, 1, 0, 8},
      {FieldType::kBytes, 9, 0, 10, 0, 10},    {FieldType::kVarBytes, 15, 0, 10, 0, 12},
      {FieldType::kAutoInc, 6, 29, 1, 0, 4},   {FieldType::kBlob, 3, 23, 10, 0, 0},
      {FieldType::kMemo, 3, 22, 10, 0, 0},     {FieldType::kGraphic, 3, 26, 10, 0, 0},
      {FieldType::kFmtMemo, 3, 24, 10, 0, 0},  {FieldType::kParadoxOle, 3, 25, 10, 0, 0},
      {FieldType::kDBaseOle, 3, 27, 10, 0, 0}, {FieldType::kTypedBinary, 3, 28, 10, 0, 0},
      {FieldType::kCursor, 17, 0, 1, 0, 0},
  };
  for (const auto& e : table) {
    const FieldLayout l = LayoutOf(e.type, 10);
    const int t = static_cast<int>(e.type);
    EXPECT_EQ(l.storage_type, e.storage) << t;
    EXPECT_EQ(l.storage_subtype, e.subtype) << t;
    EXPECT_EQ(l.units1, e.units1) << t;
    EXPECT_EQ(l.units2, e.units2) << t;
    EXPECT_EQ(l.length, e.length) << t;
    EXPECT_EQ(FieldLength(e.type, 10), e.length) << t;
  }
  EXPECT_EQ(FieldLength(static_cast<FieldType>(23), 10), 0);
  EXPECT_EQ(FieldLength(static_cast<FieldType>(1000), 10), 0);
}

TEST_F(TableDefinitionBuilderTest, FieldNamesAreCutTo31Characters) {
  AddField({"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "Integer", {}});
  TableDescriptor d = Build();
  ASSERT_EQ(d.fields.size(), 1u);
  EXPECT_EQ(d.fields[0].name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
}

TEST_F(TableDefinitionBuilderTest, TablePathIsCutTo260Characters) {
  AddField({"ID", "Integer", {}});
  const std::string long_dir = dir_.path() + "/" + std::string(300, 'd');
  TableDescriptor d = BuildTableDescriptor(long_dir, "T", dm_->tblFields, dm_->tblIndex, 7);
  EXPECT_EQ(d.table_path, (long_dir + "/T").substr(0, 260));
}

TEST_F(TableDefinitionBuilderTest, LevelBecomesTheOnlyOptionalParameter) {
  AddIdNamePrice();
  TableDescriptor d = Build(7);
  ASSERT_EQ(d.optional_parameters.size(), 1u);
  EXPECT_EQ(d.optional_parameters[0].name, "LEVEL");
  EXPECT_EQ(d.optional_parameters[0].value, "7");
  EXPECT_EQ(d.optional_parameters[0].length, 1);
  EXPECT_EQ(d.optional_parameters[0].offset, 0);

  TableDescriptor d12 = Build(12);
  ASSERT_EQ(d12.optional_parameters.size(), 1u);
  EXPECT_EQ(d12.optional_parameters[0].value, "12");
  EXPECT_EQ(d12.optional_parameters[0].length, 2);

  EXPECT_TRUE(Build(0).optional_parameters.empty());
}

TEST_F(TableDefinitionBuilderTest, UnknownTypeNameFailsBeforeAnyIndexIsLookedAt) {
  AddField({"ID", "Integer", {}});
  AddField({"NAME", "string", 20});
  // This index would fail on its own; the type name must fail first.
  AddIndex({"ByCity", "CITY"});
  EXPECT_EQ(BuildError(), "Unknown data type \"string\"");
}

TEST_F(TableDefinitionBuilderTest, NoIndexRowsGiveNoIndexes) {
  AddIdNamePrice();
  TableDescriptor d = Build();
  EXPECT_TRUE(d.indexes.empty());
}

TEST_F(TableDefinitionBuilderTest, IndexesInNameOrderWithTheirIdsAndFlags) {
  AddIdNamePrice();
  AddIndex({"ByPrice", "PRICE", false, true, false, false});
  AddIndex({"*PRIMARY*", "ID", true, true});
  AddIndex({"ByName", "NAME", false, false, false, true});
  TableDescriptor d = Build();
  ASSERT_EQ(d.indexes.size(), 3u);
  // "*PRIMARY*" sorts first, then "ByName", then "ByPrice".
  EXPECT_EQ(d.indexes[0].name, "");
  EXPECT_TRUE(d.indexes[0].primary);
  EXPECT_TRUE(d.indexes[0].unique);
  EXPECT_EQ(d.indexes[0].key_field_count, 1);
  EXPECT_EQ(d.indexes[0].key_fields[0], 1);
  EXPECT_EQ(d.indexes[1].name, "ByName");
  EXPECT_FALSE(d.indexes[1].primary);
  EXPECT_FALSE(d.indexes[1].unique);
  EXPECT_TRUE(d.indexes[1].case_insensitive);
  EXPECT_EQ(d.indexes[1].key_fields[0], 2);
  EXPECT_EQ(d.indexes[2].name, "ByPrice");
  EXPECT_TRUE(d.indexes[2].unique);
  EXPECT_FALSE(d.indexes[2].case_insensitive);
  EXPECT_EQ(d.indexes[2].key_fields[0], 3);
  for (uint16_t k = 0; k < 3; ++k) {
    EXPECT_EQ(d.indexes[k].index_id, k);
    EXPECT_TRUE(d.indexes[k].maintained);
    EXPECT_FALSE(d.indexes[k].descending);
    EXPECT_FALSE(d.indexes[k].descending_fields[0]);
    EXPECT_EQ(d.indexes[k].key_fields[1], 0);
  }
  EXPECT_EQ(d.index_operations, std::vector<Operation>(3, Operation::kNone));
}

struct PrimaryCase {
  const char* keys;
  bool accepted;
};

// "ID_NAME_Accepted": the key fields and the outcome.
std::string CaseName(const PrimaryCase& c) {
  return test::ParamName(c.keys) + (c.accepted ? "_Accepted" : "_Refused");
}

void PrintTo(const PrimaryCase& c, std::ostream* os) { *os << CaseName(c); }

class PrimaryKeyRuleTest : public TableDefinitionBuilderTest,
                           public ::testing::WithParamInterface<PrimaryCase> {};

TEST_P(PrimaryKeyRuleTest, PrimaryKeyMustLeadTheTable) {
  AddIdNamePrice();
  AddIndex({"*PRIMARY*", GetParam().keys, true, true});
  if (GetParam().accepted) {
    TableDescriptor d = Build();
    ASSERT_EQ(d.indexes.size(), 1u);
    EXPECT_TRUE(d.indexes[0].primary);
  } else {
    EXPECT_EQ(BuildError(), "Primary key fields must be at the beginning of the table!");
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, PrimaryKeyRuleTest,
                         ::testing::Values(PrimaryCase{"ID", true}, PrimaryCase{"NAME", false},
                                           PrimaryCase{"ID;NAME", true},
                                           PrimaryCase{"NAME;ID", false},
                                           PrimaryCase{"ID;PRICE", false}, PrimaryCase{"", false},
                                           PrimaryCase{"ID;", false}),
                         [](const ::testing::TestParamInfo<PrimaryCase>& info) {
                           return CaseName(info.param);
                         });

TEST_F(TableDefinitionBuilderTest, PrimaryKeyOfTwoLeadingFieldsGetsBothNumbers) {
  AddIdNamePrice();
  AddIndex({"*PRIMARY*", "ID;NAME", true, true});
  TableDescriptor d = Build();
  ASSERT_EQ(d.indexes.size(), 1u);
  EXPECT_EQ(d.indexes[0].key_field_count, 2);
  EXPECT_EQ(d.indexes[0].key_fields[0], 1);
  EXPECT_EQ(d.indexes[0].key_fields[1], 2);
}

TEST_F(TableDefinitionBuilderTest, KeyFieldsAreFoundWithoutRegardToLetterCase) {
  AddField({"ID", "Integer", {}});
  AddField({"NAME", "String", 20});
  AddField({"X", "Smallint", {}});
  AddIndex({"ByIdX", "id;X"});
  AddIndex({"ByName", "name"});
  TableDescriptor d = Build();
  ASSERT_EQ(d.indexes.size(), 2u);
  EXPECT_EQ(d.indexes[0].name, "ByIdX");
  EXPECT_EQ(d.indexes[0].key_field_count, 2);
  EXPECT_EQ(d.indexes[0].key_fields[0], 1);
  EXPECT_EQ(d.indexes[0].key_fields[1], 3);  // the one-character last piece
  EXPECT_EQ(d.indexes[1].key_field_count, 1);
  EXPECT_EQ(d.indexes[1].key_fields[0], 2);
}

TEST_F(TableDefinitionBuilderTest, OnlyLettersAToZIgnoreCase) {
  AddField({"ID", "Integer", {}});
  AddField({"ÀREA", "String", 10});
  AddIndex({"ByArea", "àREA"});
  EXPECT_EQ(BuildError(), "Keyfield \"àREA\" does not exist in the table \"" + out_ + "/T\"");
}

TEST_F(TableDefinitionBuilderTest, KeyFieldsAreNotTrimmed) {
  AddIdNamePrice();
  AddIndex({"ByName", "ID; NAME"});
  EXPECT_EQ(BuildError(), "Keyfield \" NAME\" does not exist in the table \"" + out_ + "/T\"");
}

TEST_F(TableDefinitionBuilderTest, DescendingIndexMarksEveryKeyField) {
  AddIdNamePrice();
  AddIndex({"ByNameDesc", "NAME;ID", false, false, true});
  TableDescriptor d = Build();
  ASSERT_EQ(d.indexes.size(), 1u);
  const auto& ix = d.indexes[0];
  EXPECT_TRUE(ix.descending);
  EXPECT_EQ(ix.key_field_count, 2);
  EXPECT_EQ(ix.key_fields[0], 2);
  EXPECT_EQ(ix.key_fields[1], 1);
  EXPECT_TRUE(ix.descending_fields[0]);
  EXPECT_TRUE(ix.descending_fields[1]);
  EXPECT_FALSE(ix.descending_fields[2]);
  EXPECT_EQ(ix.key_fields[2], 0);
}

TEST_F(TableDefinitionBuilderTest, MissingKeyFieldNamesTheTablePath) {
  AddIdNamePrice();
  AddIndex({"ByCity", "NAME;CITY"});
  EXPECT_EQ(BuildError(), "Keyfield \"CITY\" does not exist in the table \"" + out_ + "/T\"");
}

TEST_F(TableDefinitionBuilderTest, SecondaryIndexWithEmptyKeyTextIsRefused) {
  AddIdNamePrice();
  AddIndex({"ByNothing", ""});
  EXPECT_EQ(BuildError(), "Keyfield \"\" does not exist in the table \"" + out_ + "/T\"");
}

TEST_F(TableDefinitionBuilderTest, SixteenKeyFieldsAreTheMost) {
  std::string keys;
  for (int i = 1; i <= 16; ++i) {
    const std::string name = "F" + std::to_string(i);
    AddField({name, "Integer", {}});
    keys += (i > 1 ? ";" : "") + name;
  }
  AddField({"F17", "Integer", {}});
  AddIndex({"BySixteen", keys});
  TableDescriptor d = Build();
  ASSERT_EQ(d.indexes.size(), 1u);
  EXPECT_EQ(d.indexes[0].key_field_count, 16);
  EXPECT_EQ(d.indexes[0].key_fields[15], 16);

  AddIndex({"BySeventeen", keys + ";F17"});
  EXPECT_EQ(BuildError(), "Index \"BySeventeen\" has more than 16 key fields");
}

TEST_F(TableDefinitionBuilderTest, BooleanDefaultIsAllBitsSetOrZero) {
  AddField({"ID", "Integer", {}});
  AddField({"ACTIVE", "Boolean", {}, "", "", "1"});
  AddField({"DELETED", "Boolean", {}, "", "", "0"});
  TableDescriptor d = Build();
  ASSERT_EQ(d.checks.size(), 2u);
  EXPECT_EQ(d.checks[0].field_number, 2);
  EXPECT_FALSE(d.checks[0].has_min);
  EXPECT_FALSE(d.checks[0].has_max);
  EXPECT_TRUE(d.checks[0].has_default);
  EXPECT_EQ(Le16(d.checks[0].def), 0xFFFF);
  EXPECT_TRUE(ZeroFrom(d.checks[0].def, 2));
  EXPECT_TRUE(ZeroFrom(d.checks[0].min, 0));
  EXPECT_EQ(d.checks[1].field_number, 3);
  EXPECT_TRUE(d.checks[1].has_default);
  EXPECT_TRUE(ZeroFrom(d.checks[1].def, 0));
  EXPECT_EQ(d.check_operations, std::vector<Operation>(2, Operation::kNone));
}

TEST_F(TableDefinitionBuilderTest, RequiredWithoutValuesStaysRequired) {
  // A required field with no minimum, maximum or default keeps a check with
  // the required flag alone; a field neither required nor with values has
  // none.
  AddField({"ID", "Integer", {}, "", "", "", true});
  AddField({"FREE", "String", 5, "", "", "", false});
  AddField({"NAME", "String", 20, "", "", "", true});
  TableDescriptor d = Build();
  ASSERT_EQ(d.checks.size(), 2u);
  EXPECT_EQ(d.check_operations.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(d.checks[i].field_number, i == 0 ? 1 : 3);
    EXPECT_TRUE(d.checks[i].required);
    EXPECT_FALSE(d.checks[i].has_min || d.checks[i].has_max || d.checks[i].has_default);
    EXPECT_TRUE(ZeroFrom(d.checks[i].min, 0) && ZeroFrom(d.checks[i].def, 0));
  }
}

TEST_F(TableDefinitionBuilderTest, CheckCarriesRequiredAndItsThreeValues) {
  AddField({"ID", "Integer", {}, "-2147483648", "+7", "-2", true});
  AddField({"CODE", "String", 5, "abc", "", ""});
  AddField({"QTY", "Smallint", {}, "-1", "70000", ""});
  AddField({"W", "Word", {}, "", "65535", ""});
  TableDescriptor d = Build();
  ASSERT_EQ(d.checks.size(), 4u);

  const auto& id = d.checks[0];
  EXPECT_EQ(id.field_number, 1);
  EXPECT_TRUE(id.required);
  EXPECT_TRUE(id.has_min && id.has_max && id.has_default);
  EXPECT_EQ(Le32(id.min), 0x80000000u);
  EXPECT_EQ(Le32(id.max), 7u);
  EXPECT_EQ(Le32(id.def), 0xFFFFFFFEu);
  EXPECT_TRUE(ZeroFrom(id.def, 4));

  const auto& code = d.checks[1];
  EXPECT_EQ(code.field_number, 2);
  EXPECT_FALSE(code.required);
  EXPECT_TRUE(code.has_min);
  EXPECT_FALSE(code.has_max);
  EXPECT_FALSE(code.has_default);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(code.min.data())), "abc");
  EXPECT_TRUE(ZeroFrom(code.min, 3));
  EXPECT_TRUE(ZeroFrom(code.max, 0));

  // A Smallint keeps the low 16 bits of the 32-bit value.
  const auto& qty = d.checks[2];
  EXPECT_EQ(Le16(qty.min), 0xFFFF);
  EXPECT_TRUE(ZeroFrom(qty.min, 2));
  EXPECT_EQ(Le16(qty.max), 70000 & 0xFFFF);
  EXPECT_TRUE(ZeroFrom(qty.max, 2));

  const auto& w = d.checks[3];
  EXPECT_EQ(w.field_number, 4);
  EXPECT_EQ(Le32(w.max), 65535u);
}

TEST_F(TableDefinitionBuilderTest, CheckFieldNumberIsTheFieldsPlaceEvenAfterAGap) {
  AddField({"ID", "Integer", {}});
  AddField({"GONE", "Integer", {}});
  AddField({"QTY", "Integer", {}, "1"});
  // Delete the second row: the rows left hold positions 1 and 3.
  auto& f = dm_->tblFields;
  f.first();
  f.next();
  ASSERT_EQ(f.fieldByName("Nome").asString(), "GONE");
  f.remove();
  TableDescriptor d = Build();
  ASSERT_EQ(d.fields.size(), 2u);
  ASSERT_EQ(d.checks.size(), 1u);
  EXPECT_EQ(d.checks[0].field_number, 2);  // QTY is the second field of the table
  EXPECT_EQ(d.fields[1].name, "QTY");
}

TEST_F(TableDefinitionBuilderTest, FloatValuesUseTheLocaleDecimalSeparator) {
  Locale::SetDecimalSeparatorForTesting(',');
  AddField({"PRICE", "Currency", {}, "0,01", "-2,25E2", "3"});
  AddField({"RATE", "Float", {}, "1,5", "", ""});
  TableDescriptor d = Build();
  ASSERT_EQ(d.checks.size(), 2u);
  EXPECT_EQ(Double(d.checks[0].min), 0.01);
  EXPECT_EQ(Double(d.checks[0].max), -225.0);
  EXPECT_EQ(Double(d.checks[0].def), 3.0);
  EXPECT_EQ(Double(d.checks[1].min), 1.5);
  EXPECT_TRUE(ZeroFrom(d.checks[1].min, 8));
}

TEST_F(TableDefinitionBuilderTest, PointIsNoSeparatorWhereTheLocaleUsesAComma) {
  Locale::SetDecimalSeparatorForTesting(',');
  AddField({"RATE", "Float", {}, "1.5"});
  EXPECT_EQ(BuildError(),
            "'1.5' is not a valid floating point value (DDFields.ValoreMinimo of field \"RATE\" "
            "of table \"T\")");
}

TEST_F(TableDefinitionBuilderTest, PointSeparatorWhereTheLocaleUsesIt) {
  Locale::SetDecimalSeparatorForTesting('.');
  AddField({"RATE", "Float", {}, "1.5"});
  TableDescriptor d = Build();
  ASSERT_EQ(d.checks.size(), 1u);
  EXPECT_EQ(Double(d.checks[0].min), 1.5);
}

struct BadValue {
  const char* type;
  const char* text;
  const char* message;
};

// "Float_1e999": the field's type and the text.
std::string CaseName(const BadValue& c) {
  return std::string(c.type) + "_" + test::ParamName(c.text);
}

void PrintTo(const BadValue& c, std::ostream* os) { *os << CaseName(c); }

class BadValueTest : public TableDefinitionBuilderTest,
                     public ::testing::WithParamInterface<BadValue> {};

// The message names the value's column, field and table: a damaged
// dictionary row is found by it.
TEST_P(BadValueTest, FailsWithTheConversionMessageNamingWhereTheValueIs) {
  Locale::SetDecimalSeparatorForTesting('.');
  AddField({"ID", "Integer", {}});
  AddField({"V", GetParam().type, 10, "", GetParam().text});
  EXPECT_EQ(BuildError(), std::string(GetParam().message) +
                              " (DDFields.ValoreMassimo of field \"V\" of table \"T\")");
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadValueTest,
    ::testing::Values(BadValue{"Integer", "12a", "'12a' is not a valid integer value"},
                      BadValue{"Integer", "3000000000",
                               "'3000000000' is not a valid integer value"},
                      BadValue{"Smallint", "1.5", "'1.5' is not a valid integer value"},
                      BadValue{"Word", "-", "'-' is not a valid integer value"},
                      BadValue{"Boolean", "True", "'True' is not a valid integer value"},
                      BadValue{"Float", "abc", "'abc' is not a valid floating point value"},
                      BadValue{"Currency", "1.5x", "'1.5x' is not a valid floating point value"},
                      BadValue{"Float", "1e", "'1e' is not a valid floating point value"},
                      BadValue{"Float", "1e999", "'1e999' is not a valid floating point value"},
                      BadValue{"Date", "2020-01-01", "Defaults: unsupported data type \"Date\""},
                      BadValue{"BCD", "1", "Defaults: unsupported data type \"BCD\""},
                      BadValue{"AutoInc", "1", "Defaults: unsupported data type \"AutoInc\""}),
    [](const ::testing::TestParamInfo<BadValue>& info) { return CaseName(info.param); });

TEST_F(TableDefinitionBuilderTest, DateMinimumIsUnsupported) {
  AddField({"ID", "Integer", {}});
  AddField({"BORN", "Date", {}, "01/01/2000"});
  EXPECT_EQ(BuildError(),
            "Defaults: unsupported data type \"Date\" (DDFields.ValoreMinimo of field \"BORN\" "
            "of table \"T\")");
}

TEST_F(TableDefinitionBuilderTest, ReleaseEmptiesTheDescriptor) {
  AddIdNamePrice();
  AddField({"QTY", "Integer", {}, "1"});
  AddIndex({"*PRIMARY*", "ID", true, true});
  TableDescriptor d = Build();
  ASSERT_FALSE(d.fields.empty());
  ASSERT_FALSE(d.indexes.empty());
  ASSERT_FALSE(d.checks.empty());
  ReleaseTableDescriptor(d);
  EXPECT_TRUE(d.fields.empty());
  EXPECT_TRUE(d.field_operations.empty());
  EXPECT_TRUE(d.indexes.empty());
  EXPECT_TRUE(d.index_operations.empty());
  EXPECT_TRUE(d.checks.empty());
  EXPECT_TRUE(d.check_operations.empty());
  EXPECT_TRUE(d.optional_parameters.empty());
}

// Definitions beyond what a descriptor holds are refused. The rows are
// written straight into dictionary-shaped tables (no view rules needed).
class DescriptorLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::paradox::Table::Create(dir_.path(), "FLD", dictionary::DDFieldsDefinition());
    engine::paradox::Table::Create(dir_.path(), "IDX", dictionary::DDIndexDefinition());
  }

  void AddFieldRows(int first_position, int count) {
    auto t = engine::paradox::Table::Open(dir_.path(), "FLD", {.writable = true});
    t->beginBulk();
    for (int p = first_position; p < first_position + count; ++p) {
      t->insert({int64_t{1}, int64_t{p}, "F" + std::to_string(p), std::string("Integer"),
                 std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, false,
                 std::monostate{}});
    }
    t->endBulk();
  }

  void AddIndexRows(int first, int count) {
    auto t = engine::paradox::Table::Open(dir_.path(), "IDX", {.writable = true});
    t->beginBulk();
    for (int i = first; i < first + count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "I%05d", i);
      t->insert({int64_t{1}, std::string(name), std::string("F1"), std::monostate{}, false, false,
                 false, false});
    }
    t->endBulk();
  }

  std::string BuildError() {
    engine::Dataset fields(session_);
    fields.setDatabaseName(dir_.path());
    fields.setTableName("FLD");
    fields.open();
    engine::Dataset indexes(session_);
    indexes.setDatabaseName(dir_.path());
    indexes.setTableName("IDX");
    indexes.open();
    try {
      BuildTableDescriptor(dir_.path(), "BIG", fields, indexes, 7);
    } catch (const Error& e) {
      return e.what();
    }
    return "(the build succeeded)";
  }

  test::TempDir dir_;
  engine::Session session_{dir_.file("aliases.conf")};
};

TEST_F(DescriptorLimitTest, MoreThan1024FieldsAreRefused) {
  AddFieldRows(1, 1024);
  EXPECT_EQ(BuildError(), "(the build succeeded)");
  AddFieldRows(1025, 1);
  EXPECT_EQ(BuildError(), "Table \"BIG\" has more than 1024 fields");
}

TEST_F(DescriptorLimitTest, MoreThan1024IndexesAreRefused) {
  AddFieldRows(1, 1);
  AddIndexRows(0, 1024);
  EXPECT_EQ(BuildError(), "(the build succeeded)");
  AddIndexRows(1024, 1);
  EXPECT_EQ(BuildError(), "Table \"BIG\" has more than 1024 indexes");
}

}  // namespace
}  // namespace vellum::rebuild
