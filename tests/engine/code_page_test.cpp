// Text conversion between the code pages of tables and UTF-8. The expected
// characters come from the published code charts of each page, not from the
// converter.
#include "engine/paradox/code_page.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vellum::engine::paradox {
namespace {

// One letter of a code page: its bytes there and its UTF-8 form.
struct Letter {
  int code_page;
  std::string bytes;
  std::string utf8;
};

void PrintTo(const Letter& l, std::ostream* os) { *os << "a letter of code page " << l.code_page; }

std::string CaseName(const testing::TestParamInfo<Letter>& info) {
  return "CodePage" + std::to_string(info.param.code_page);
}

class CodePageLetterTest : public testing::TestWithParam<Letter> {};

// A value that ends in a letter keeps it, alone and after other letters.
TEST_P(CodePageLetterTest, ValueEndingInALetterKeepsIt) {
  const Letter& l = GetParam();
  CodePage cp(l.code_page);
  ASSERT_TRUE(cp.supported());
  EXPECT_EQ(cp.toUtf8(l.bytes), l.utf8);
  EXPECT_EQ(cp.toUtf8("ab" + l.bytes), "ab" + l.utf8);
  EXPECT_EQ(cp.toUtf8(l.bytes + l.bytes), l.utf8 + l.utf8);
  EXPECT_EQ(cp.fromUtf8("ab" + l.utf8), "ab" + l.bytes);
  // The converter is fresh for every value: nothing of one leaks into the next.
  EXPECT_EQ(cp.toUtf8(std::string("x")), "x");
}

// One letter of each code page the engine knows.
const Letter kLetters[] = {
    {0, "\xC5", "\xC3\xA9"},            // Roman-8: e acute
    {437, "\x82", "\xC3\xA9"},          // e acute
    {850, "\x82", "\xC3\xA9"},          // e acute
    {852, "\x82", "\xC3\xA9"},          // e acute
    {857, "\x82", "\xC3\xA9"},          // e acute
    {860, "\x82", "\xC3\xA9"},          // e acute
    {861, "\x82", "\xC3\xA9"},          // e acute
    {863, "\x82", "\xC3\xA9"},          // e acute
    {865, "\x82", "\xC3\xA9"},          // e acute
    {866, "\x80", "\xD0\x90"},          // Cyrillic capital A
    {936, "\xC4\xE3", "\xE4\xBD\xA0"},  // U+4F60
    {1250, "\xE9", "\xC3\xA9"},         // e acute
    {1251, "\xE0", "\xD0\xB0"},         // Cyrillic small a
    {1252, "\xE9", "\xC3\xA9"},         // e acute
    {1253, "\xE1", "\xCE\xB1"},         // Greek small alpha
    {1254, "\xE9", "\xC3\xA9"},         // e acute
    {1255, "\xED", "\xD7\x9D"},         // Hebrew final mem
    {1256, "\xC7", "\xD8\xA7"},         // Arabic alef
    {1257, "\xE9", "\xC3\xA9"},         // e acute
};

INSTANTIATE_TEST_SUITE_P(KnownCodePages, CodePageLetterTest, testing::ValuesIn(kLetters), CaseName);

TEST(CodePageTest, EveryKnownCodePageHasALetterCase) {
  std::vector<int> covered;
  for (const Letter& l : kLetters) covered.push_back(l.code_page);
  EXPECT_EQ(KnownCodePages(), covered);
}

TEST(CodePageTest, HebrewWordsKeepTheirLastLetter) {
  CodePage cp(1255);
  // "shalom" and "david": the last letters are final mem and dalet.
  EXPECT_EQ(cp.toUtf8("\xF9\xEC\xE5\xED"), "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D");
  EXPECT_EQ(cp.toUtf8("\xE3\xE5\xE3"), "\xD7\x93\xD7\x95\xD7\x93");
  // A letter followed by its point stays two characters on the way back.
  const std::string pointed = "\xF9\xD1";  // shin, shin dot
  EXPECT_EQ(cp.fromUtf8(cp.toUtf8(pointed)), pointed);
}

// Every character of each code page survives the way to UTF-8 and back.
class CodePageRoundTripTest : public testing::TestWithParam<int> {};

std::string PageName(const testing::TestParamInfo<int>& info) {
  return "CodePage" + std::to_string(info.param);
}

TEST_P(CodePageRoundTripTest, EveryCharacterComesBack) {
  CodePage cp(GetParam());
  ASSERT_TRUE(cp.supported());
  const std::string replacement = "\xEF\xBF\xBD";
  std::vector<std::string> characters;
  if (GetParam() == 936) {
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail != 0x7F)
          characters.push_back({static_cast<char>(lead), static_cast<char>(trail)});
      }
    }
  } else {
    for (int b = 1; b <= 0xFF; ++b) characters.push_back(std::string(1, static_cast<char>(b)));
  }
  size_t decoded = 0;
  for (const auto& c : characters) {
    const std::string utf8 = cp.toUtf8(c);
    ASSERT_FALSE(utf8.empty()) << "byte " << static_cast<int>(static_cast<unsigned char>(c[0]));
    if (utf8.find(replacement) != std::string::npos) continue;  // undefined in the page
    ++decoded;
    EXPECT_EQ(cp.fromUtf8(utf8), c)
        << "byte " << static_cast<int>(static_cast<unsigned char>(c[0]));
  }
  // Most of each page is defined (all of it but a few gaps).
  EXPECT_GT(decoded, characters.size() * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(KnownCodePages, CodePageRoundTripTest, testing::ValuesIn(KnownCodePages()),
                         PageName);

}  // namespace
}  // namespace vellum::engine::paradox
