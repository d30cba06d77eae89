// A restructure moves text as the bytes it is stored in. Real tables often
// name a code page their bytes do not follow (a Cyrillic table whose header
// says 936); decoding such bytes and encoding them again would turn what the
// header's code page cannot read into "?". The tables here are written in
// code page 1251 and then made to claim 936 by patching the header; after
// the restructure the header is patched back and the values read as the
// 1251 text they were, so the expected values never pass through the code
// under test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "engine/paradox/code_page.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine {
namespace {

using paradox::Table;
using test::TempDir;

void PatchCodePage(const std::string& path, uint16_t code_page) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(f);
  f.seekp(0x6A);
  const char bytes[2] = {static_cast<char>(code_page & 0xFF), static_cast<char>(code_page >> 8)};
  f.write(bytes, 2);
  ASSERT_TRUE(f);
}

FieldDescriptor Field(const std::string& name, uint16_t storage, uint16_t subtype, int16_t units,
                      uint16_t from) {
  FieldDescriptor d;
  d.name = name;
  d.storage_type = storage;
  d.storage_subtype = subtype;
  d.units1 = units;
  d.field_number = from;
  return d;
}

// "Привет, мир" and a longer Cyrillic note: every letter is one byte in
// code page 1251, and most of those bytes are lead bytes in code page 936.
const std::string kTitle = "Привет, мир";
const std::string kNote =
    "Спецификация универсального описания, обнаружения и интеграции: придерживаться стандарта";

class RestructureBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paradox::TableDefinition def;
    def.code_page = 1251;
    def.level = 7;
    def.fields = {{"ID", FieldType::kInteger, 0, false},
                  {"TITLE", FieldType::kString, 20, false},
                  {"NOTE", FieldType::kMemo, 10, false},
                  {"CODE", FieldType::kString, 6, false}};
    def.indexes = {{"", {"ID"}, true, true, false, false}};
    Table::Create(dir_.path(), "NOTES", def);
    auto t = Table::Open(dir_.path(), "NOTES", {true, true});
    t->insert({int64_t{1}, kTitle, kNote, std::string("Анкета")});
    t->insert({int64_t{2}, std::string("мир"), std::string("короткая"), std::string("ab")});
    t.reset();
    PatchCodePage(dir_.file("NOTES.DB"), 936);
  }

  // Reads the table back as code page 1251.
  std::vector<paradox::Row> ReadAs1251() {
    PatchCodePage(dir_.file("NOTES.DB"), 1251);
    auto t = Table::Open(dir_.path(), "NOTES");
    std::vector<paradox::Row> rows;
    Table::Scanner scan(*t);
    paradox::Row row;
    while (scan.next(row)) rows.push_back(row);
    EXPECT_TRUE(t->verify().empty());
    return rows;
  }

  TableDescriptor Descriptor(std::vector<FieldDescriptor> fields, std::vector<Operation> ops) {
    TableDescriptor d;
    d.table_path = dir_.file("NOTES");
    d.fields = std::move(fields);
    d.field_operations = std::move(ops);
    IndexDescriptor primary;
    primary.primary = true;
    primary.unique = true;
    primary.key_field_count = 1;
    primary.key_fields[0] = 1;
    d.indexes = {primary};
    d.index_operations = {Operation::kCopy};
    return d;
  }

  TempDir dir_;
};

TEST_F(RestructureBytesTest, CopiedTextAndMemosKeepBytesTheirCodePageCannotRead) {
  // Every field copied as it is, and a new field added after them.
  BuildTable(Descriptor(
      {Field("ID", storage::kInt32, 0, 1, 1), Field("TITLE", storage::kZString, 0, 20, 2),
       Field("NOTE", storage::kBlob, subtype::kMemo, 10, 3),
       Field("CODE", storage::kZString, 0, 6, 4), Field("MORE", storage::kInt16, 0, 1, 0)},
      {Operation::kCopy, Operation::kCopy, Operation::kCopy, Operation::kCopy, Operation::kAdd}));
  const auto rows = ReadAs1251();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1], Value{kTitle});
  EXPECT_EQ(rows[0][2], Value{kNote});
  EXPECT_EQ(rows[0][3], Value{std::string("Анкета")});
  EXPECT_EQ(rows[1][2], Value{std::string("короткая")});
}

TEST_F(RestructureBytesTest, ModifiedTextFieldsMoveTheirBytesAndCutOnCharacterBoundaries) {
  // TITLE shrinks to 5 bytes, NOTE becomes text of 30 bytes, CODE becomes a
  // memo with a leader of 4. In code page 936 a lead byte and its follower
  // are one character: cutting "Привет" (six lead bytes) to 5 bytes keeps
  // four, and never half a character.
  BuildTable(
      Descriptor({Field("ID", storage::kInt32, 0, 1, 1), Field("TITLE", storage::kZString, 0, 5, 2),
                  Field("NOTE", storage::kZString, 0, 30, 3),
                  Field("CODE", storage::kBlob, subtype::kMemo, 4, 4)},
                 {Operation::kCopy, Operation::kModify, Operation::kModify, Operation::kModify}));
  const auto rows = ReadAs1251();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][1], Value{std::string("Прив")});
  // Two words of 12 and 14 letters (13 and 7 two-byte characters with the
  // blanks) take 28 bytes; one more pair of letters fills the 30.
  EXPECT_EQ(rows[0][2], Value{std::string("Спецификация универсального оп")});
  EXPECT_EQ(rows[0][3], Value{std::string("Анкета")});
  // "мир" is three lead bytes: the third has no follower inside the value
  // and stands alone, so all three fit in five bytes.
  EXPECT_EQ(rows[1][1], Value{std::string("мир")});
  EXPECT_EQ(rows[1][2], Value{std::string("короткая")});
  EXPECT_EQ(rows[1][3], Value{std::string("ab")});
}

TEST(FitToCharactersTest, CutsOnlyBetweenCharactersOfDoubleByteCodePages) {
  struct Case {
    std::string bytes;
    size_t limit;
    int code_page;
    size_t kept;
  };
  const Case cases[] = {
      {"abcdef", 4, 1252, 4},            // single-byte: any byte
      {"\xC8\xE7\xE1\xF0", 3, 1251, 3},  // Cyrillic in its own code page
      {"\xC8\xE7\xE1\xF0", 3, 936, 2},   // the same bytes as two GBK characters
      {"a\xC8\xE7", 2, 936, 1},          // a lead byte is not split from its follower
      {"ab\xC8", 3, 936, 3},             // fits whole: nothing is cut
      {"\x81\x40\x41", 2, 932, 2},       // Shift-JIS lead 0x81
      {"\xA1\x41\x42", 1, 932, 1},       // 0xA1 is a one-byte kana in Shift-JIS
      {"\xA1\x41\x42", 1, 950, 0},       // and a lead byte in Big5
      {"\xA1\x41\xA1\x42", 3, 950, 2},   // the second character does not fit whole
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.code_page << " limit " << c.limit);
    EXPECT_EQ(paradox::FitToCharacters(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                       c.bytes.size(), c.limit, c.code_page),
              c.kept);
  }
}

}  // namespace
}  // namespace vellum::engine
