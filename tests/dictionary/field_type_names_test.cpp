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
  // Names longer than the 8 characters of DDFields.Tipo are stored cut.
  ExpectUnknown("ParadoxO");
  ExpectUnknown("TypedBin");
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
