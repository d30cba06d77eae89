// The plan of a batch rebuild: what it predicts a restructure does to values,
// and the failures it gathers, which a run meets before it changes anything.
#include "rebuild/rebuild_plan.h"

#include <gtest/gtest.h>

#include <string>

namespace vellum::rebuild {
namespace {

using engine::FieldType;
using engine::Value;

// ---------------------------------------------------------------------------
// What a restructure does to values

TEST(PredictValueLossTest, TextIsCutByCharacters) {
  EXPECT_EQ(PredictValueLoss(Value{std::string("abcde")}, FieldType::kString, 5), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{std::string("abcdef")}, FieldType::kString, 5), ValueLoss::kCut);
  // Five characters, ten bytes in UTF-8.
  EXPECT_EQ(PredictValueLoss(Value{std::string("\xC3\xA0\xC3\xA0\xC3\xA0\xC3\xA0\xC3\xA0")},
                             FieldType::kString, 5),
            ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{123456.0}, FieldType::kString, 3), ValueLoss::kCut);
  EXPECT_EQ(PredictValueLoss(Value{}, FieldType::kString, 1), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{std::string(500, 'x')}, FieldType::kMemo, 10), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{engine::Bytes(6, 1)}, FieldType::kBytes, 4), ValueLoss::kCut);
}

TEST(PredictValueLossTest, ValuesWithoutAValueOfTheNewTypeAreEmptied) {
  EXPECT_EQ(PredictValueLoss(Value{std::string(" 42 ")}, FieldType::kInteger, 0), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{std::string("4,5")}, FieldType::kFloat, 0), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{std::string("4x")}, FieldType::kFloat, 0), ValueLoss::kEmptied);
  EXPECT_EQ(PredictValueLoss(Value{int64_t{32767}}, FieldType::kSmallint, 0), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{int64_t{32768}}, FieldType::kSmallint, 0), ValueLoss::kEmptied);
  EXPECT_EQ(PredictValueLoss(Value{engine::Date{700000}}, FieldType::kInteger, 0),
            ValueLoss::kEmptied);
  EXPECT_EQ(PredictValueLoss(Value{std::string("yes")}, FieldType::kBoolean, 0), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{std::string("maybe")}, FieldType::kBoolean, 0),
            ValueLoss::kEmptied);
  EXPECT_EQ(PredictValueLoss(Value{std::string("2024-01-01")}, FieldType::kDate, 0),
            ValueLoss::kEmptied);
  EXPECT_EQ(PredictValueLoss(Value{engine::Timestamp{1e9}}, FieldType::kDate, 0), ValueLoss::kNone);
  EXPECT_EQ(PredictValueLoss(Value{engine::Decimal{"12.5"}}, FieldType::kBCD, 2), ValueLoss::kNone);
  // 32 digits in all: 31 decimals leave room for one before the point.
  EXPECT_EQ(PredictValueLoss(Value{engine::Decimal{"123.5"}}, FieldType::kBCD, 31),
            ValueLoss::kEmptied);
}

}  // namespace
}  // namespace vellum::rebuild
