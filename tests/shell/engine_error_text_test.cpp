// The texts the engine error dialog shows for an entry.
#include "shell/engine_error_text.h"

#include <gtest/gtest.h>

namespace vellum::shell {
namespace {

struct EntryTexts {
  const char* name;
  engine::ErrorEntry entry;
  const char* code;
  const char* category_subcode;
  const char* native;
};

void PrintTo(const EntryTexts& texts, std::ostream* os) { *os << texts.name; }

class EngineErrorTextTest : public ::testing::TestWithParam<EntryTexts> {};

TEST_P(EngineErrorTextTest, ShowsCodeCategorySubcodeAndNativeCode) {
  const EntryTexts& want = GetParam();
  EXPECT_EQ(ErrorCodeText(want.entry), want.code);
  EXPECT_EQ(CategorySubcodeText(want.entry), want.category_subcode);
  EXPECT_EQ(NativeCodeText(want.entry), want.native);
}

// Decimal and hexadecimal worked out by hand: 0x2701 = 39 * 256 + 1.
INSTANTIATE_TEST_SUITE_P(
    Entries, EngineErrorTextTest,
    ::testing::Values(
        EntryTexts{"OneDigitSubcodeIsPaddedWithABlank", {0x2701, 0, ""}, "9985", "[$27] [$ 1]", ""},
        EntryTexts{"HexDigitsAreUpperCase", {0x2A0B, 13, ""}, "10763", "[$2A] [$ B]", "13"},
        EntryTexts{"TwoDigitSubcode", {0x28FF, -2, ""}, "10495", "[$28] [$FF]", "-2"},
        EntryTexts{
            "NativeCodeIsSigned", {0x0000, INT32_MIN, ""}, "0", "[$ 0] [$ 0]", "-2147483648"},
        EntryTexts{"LargestCode", {0xFFFF, 0, ""}, "65535", "[$FF] [$FF]", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vellum::shell
