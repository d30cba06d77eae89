#include "dictionary/field_type_names.h"

#include <gtest/gtest.h>

#include "engine/errors.h"

namespace vellum::dictionary {
namespace {

using engine::FieldType;

TEST(FieldTypeNamesTest, EveryNameConvertsBackToItsPosition) {
  ASSERT_EQ(FieldTypeNames.size(), 23u);
  for (size_t i = 0; i < FieldTypeNames.size(); ++i) {
    EXPECT_EQ(static_cast<size_t>(FieldTypeFromName(std::string(FieldTypeNames[i]))), i);
    EXPECT_EQ(FieldTypeName(static_cast<FieldType>(i)), FieldTypeNames[i]);
  }
  EXPECT_EQ(FieldTypeFromName("Unknown"), FieldType::kUnknown);
  EXPECT_EQ(FieldTypeFromName("AutoInc"), FieldType::kAutoInc);
  EXPECT_EQ(FieldTypeName(FieldType::kParadoxOle), "ParadoxOle");
  EXPECT_EQ(FieldTypeName(FieldType::kCursor), "Cursor");
}

void ExpectUnknown(const std::string& text) {
  try {
    FieldTypeFromName(text);
    ADD_FAILURE() << "accepted \"" << text << "\"";
  } catch (const engine::EDBEngineError&) {
    ADD_FAILURE() << "an engine error for \"" << text << "\"";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Unknown data type \"" + text + "\"");
  }
}

TEST(FieldTypeNamesTest, OtherCaseBlanksCutNamesAndEmptyTextFail) {
  ExpectUnknown("string");
  ExpectUnknown("String ");
  ExpectUnknown(" String");
  ExpectUnknown("");
  // Only a name cut at exactly the width of DDFields.Tipo stands for the
  // longer name; other prefixes do not.
  ExpectUnknown("ParadoxOl");
  ExpectUnknown("Paradox");
  ExpectUnknown("paradoxo");
}

TEST(FieldTypeNamesTest, NamesStoredCutToTheColumnWidthConvertBack) {
  size_t longer = 0;
  for (size_t i = 0; i < FieldTypeNames.size(); ++i) {
    if (FieldTypeNames[i].size() <= kStoredTypeNameWidth) continue;
    ++longer;
    const std::string cut(FieldTypeNames[i].substr(0, kStoredTypeNameWidth));
    EXPECT_EQ(static_cast<size_t>(FieldTypeFromName(cut)), i) << cut;
  }
  EXPECT_EQ(longer, 2u);  // ParadoxOle and TypedBinary
  EXPECT_EQ(FieldTypeFromName("ParadoxO"), FieldType::kParadoxOle);
  EXPECT_EQ(FieldTypeFromName("TypedBin"), FieldType::kTypedBinary);
}

TEST(FieldTypeNamesTest, ChoiceListHoldsOnlyKnownNames) {
  for (auto name : FieldTypeChoices) {
    EXPECT_NO_THROW(FieldTypeFromName(std::string(name))) << name;
  }
  EXPECT_EQ(FieldTypeChoices.front(), "String");
  EXPECT_EQ(FieldTypeChoices.back(), "Graphic");
}

}  // namespace
}  // namespace vellum::dictionary
