// Tests of vellum-cli, run in-process through RunCli with string streams.
//
// Expected values come from the files themselves (header bytes read here, or
// checked with a hex dump when the test was written) or from tables the tests
// create, never from the program's own output. Outputs are read back with the
// small strict JSON and CSV parsers below, so a syntax error fails the test.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "cli/json_writer.h"
#include "cli/value_text.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/table.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/original_shapes.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

using engine::paradox::FieldDef;
using engine::paradox::Row;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using engine::paradox::ValidityCheck;
using test::TempDir;

// ---------------------------------------------------------------------------
// Running the program.

using Result = test::CliResult;
const auto Invoke = &test::InvokeCli;

std::string Leonhad(const std::string& rest) {
  return test::CorpusDir() + "/leonhad_paradoxdriver/" + rest;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
  return d.at(at) | d.at(at + 1) << 8 | d.at(at + 2) << 16 |
         static_cast<uint32_t>(d.at(at + 3)) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d.at(at) | d.at(at + 1) << 8);
}

// ---------------------------------------------------------------------------
// A strict JSON reader (RFC 8259): any syntax error throws.

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;               // string value, or a number's source text
  std::vector<Json> items;        // array elements, or object member values
  std::vector<std::string> keys;  // object member names, parallel to items

  bool isNull() const { return kind == Kind::kNull; }
  const Json& operator[](size_t i) const {
    if (kind != Kind::kArray) throw std::runtime_error("not an array");
    return items.at(i);
  }
  const Json& operator[](const std::string& key) const {
    if (kind != Kind::kObject) throw std::runtime_error("not an object (looking for " + key + ")");
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return items[i];
    }
    throw std::runtime_error("no member " + key);
  }
  size_t size() const { return items.size(); }
  const std::string& str() const {
    if (kind != Kind::kString) throw std::runtime_error("not a string");
    return text;
  }
  int64_t integer() const {
    if (kind != Kind::kNumber) throw std::runtime_error("not a number");
    return static_cast<int64_t>(number);
  }
  bool flag() const {
    if (kind != Kind::kBool) throw std::runtime_error("not a boolean");
    return boolean;
  }
};

class JsonReader {
 public:
  static Json Parse(const std::string& text) {
    JsonReader r(text);
    r.space();
    Json v = r.value(0);
    r.space();
    if (r.pos_ != text.size()) r.fail("text after the value");
    return v;
  }

 private:
  explicit JsonReader(const std::string& text) : s_(text) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON error at " + std::to_string(pos_) + ": " + what);
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++pos_;
  }
  void space() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }
  void literal(const char* word) {
    if (s_.compare(pos_, std::strlen(word), word) != 0) fail(std::string("expected ") + word);
    pos_ += std::strlen(word);
  }

  Json value(int depth) {
    if (depth > 64) fail("nesting too deep");
    Json v;
    switch (peek()) {
      case '{': {
        v.kind = Json::Kind::kObject;
        ++pos_;
        space();
        if (peek() == '}') {
          ++pos_;
          return v;
        }
        while (true) {
          space();
          if (peek() != '"') fail("expected a member name");
          std::string key = string();
          space();
          expect(':');
          space();
          v.keys.push_back(std::move(key));
          v.items.push_back(value(depth + 1));
          space();
          if (peek() == ',') {
            ++pos_;
            continue;
          }
          expect('}');
          return v;
        }
      }
      case '[': {
        v.kind = Json::Kind::kArray;
        ++pos_;
        space();
        if (peek() == ']') {
          ++pos_;
          return v;
        }
        while (true) {
          space();
          v.items.push_back(value(depth + 1));
          space();
          if (peek() == ',') {
            ++pos_;
            continue;
          }
          expect(']');
          return v;
        }
      }
      case '"':
        v.kind = Json::Kind::kString;
        v.text = string();
        return v;
      case 't':
        literal("true");
        v.kind = Json::Kind::kBool;
        v.boolean = true;
        return v;
      case 'f':
        literal("false");
        v.kind = Json::Kind::kBool;
        return v;
      case 'n':
        literal("null");
        return v;
      default:
        return number();
    }
  }

  Json number() {
    const size_t start = pos_;
    auto digits = [&] {
      size_t n = 0;
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_, ++n;
      return n;
    };
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (digits() == 0) {
      fail("expected a value");
    }
    if (peek() == '.') {
      ++pos_;
      if (digits() == 0) fail("digits expected after '.'");
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (digits() == 0) fail("digits expected in exponent");
    }
    Json v;
    v.kind = Json::Kind::kNumber;
    v.text = s_.substr(start, pos_ - start);
    v.number = std::stod(v.text);
    return v;
  }

  static void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  uint32_t hex4() {
    if (pos_ + 4 > s_.size()) fail("short \\u escape");
    uint32_t c = 0;
    for (int i = 0; i < 4; ++i) {
      char h = s_[pos_++];
      c <<= 4;
      if (h >= '0' && h <= '9') {
        c |= static_cast<uint32_t>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        c |= static_cast<uint32_t>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        c |= static_cast<uint32_t>(h - 'A' + 10);
      } else {
        fail("bad hex digit");
      }
    }
    return c;
  }

  std::string string() {
    expect('"');
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) fail("unterminated string");
      const auto c = static_cast<unsigned char>(s_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) fail("raw control character in a string");
      if (c >= 0x80) {
        // Raw UTF-8: check the sequence is well formed.
        size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (n == 0 || c > 0xF4 || pos_ + n > s_.size()) fail("invalid UTF-8");
        for (size_t k = 1; k < n; ++k) {
          if ((static_cast<unsigned char>(s_[pos_ + k]) & 0xC0) != 0x80) fail("invalid UTF-8");
        }
        out.append(s_, pos_, n);
        pos_ += n;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        continue;
      }
      const char e = peek();
      ++pos_;
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            literal("\\u");
            uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            fail("lone low surrogate");
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
};

TEST(CliJsonReaderTest, RejectsMalformedText) {
  // The reader is the oracle of the tests below, so it must itself fail on
  // bad input.
  for (const char* bad : {"", "{", "[1,]", "{\"a\":1,}", "{'a':1}", "\"a\nb\"", "01", "[1 2]",
                          "{\"a\" 1}", "nul", "\"\\x\"", "[1]x", "\"\xC3\""}) {
    EXPECT_THROW(JsonReader::Parse(bad), std::runtime_error) << bad;
  }
  Json v = JsonReader::Parse(R"({"a":[1,-2.5e3,true,null],"b":"\u00e9\"\\"})");
  EXPECT_EQ(v["a"].size(), 4u);
  EXPECT_EQ(v["a"][1].number, -2500);
  EXPECT_EQ(v["b"].str(), "\xC3\xA9\"\\");
}

// ---------------------------------------------------------------------------
// A strict RFC 4180 reader: records end in CRLF; a field is quoted or holds
// no quote, comma, CR or LF.

struct CsvField {
  std::string text;
  bool quoted = false;
  bool operator==(const CsvField&) const = default;
};
using CsvRecord = std::vector<CsvField>;

std::vector<CsvRecord> ParseCsv(const std::string& s) {
  std::vector<CsvRecord> records;
  size_t i = 0;
  while (i < s.size()) {
    CsvRecord record;
    while (true) {
      CsvField field;
      if (i < s.size() && s[i] == '"') {
        field.quoted = true;
        ++i;
        while (true) {
          if (i >= s.size()) throw std::runtime_error("unterminated quoted field");
          if (s[i] == '"') {
            if (i + 1 < s.size() && s[i + 1] == '"') {
              field.text.push_back('"');
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          field.text.push_back(s[i++]);
        }
      } else {
        while (i < s.size() && s[i] != ',' && s[i] != '\r') {
          if (s[i] == '"' || s[i] == '\n') {
            throw std::runtime_error("bad character in an unquoted field at " + std::to_string(i));
          }
          field.text.push_back(s[i++]);
        }
      }
      record.push_back(std::move(field));
      if (i < s.size() && s[i] == ',') {
        ++i;
        continue;
      }
      if (s.compare(i, 2, "\r\n") != 0) {
        throw std::runtime_error("record does not end in CRLF at " + std::to_string(i));
      }
      i += 2;
      break;
    }
    records.push_back(std::move(record));
  }
  return records;
}

CsvField Text(const std::string& s) { return CsvField{s, false}; }

TEST(CliCsvReaderTest, RejectsMalformedText) {
  for (const char* bad : {"a,b\n", "a\"b\r\n", "\"ab\r\n", "\"a\"b\r\n", "a,b"}) {
    EXPECT_THROW(ParseCsv(bad), std::runtime_error) << bad;
  }
  auto rows = ParseCsv("a,\"b,\"\"c\"\"\"\r\n\"\"\r\n,\r\n");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1].text, "b,\"c\"");
  EXPECT_TRUE(rows[1][0].quoted);
  ASSERT_EQ(rows[2].size(), 2u);
}

// ---------------------------------------------------------------------------
// Command line handling.

TEST(CliTest, ProgramHelpListsCommandsAndExitsZero) {
  for (const char* flag : {"--help", "-h"}) {
    Result r = Invoke({flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_NE(r.out.find("Usage: vellum-cli"), std::string::npos);
    for (const char* command : {"describe", "dump", "verify"}) {
      EXPECT_NE(r.out.find(command), std::string::npos) << command;
    }
    EXPECT_EQ(r.err, "");
  }
}

TEST(CliTest, EveryCommandHasItsOwnHelp) {
  for (const char* command : {"describe", "dump", "verify"}) {
    for (const char* flag : {"--help", "-h"}) {
      Result r = Invoke({command, flag});
      EXPECT_EQ(r.status, 0) << command;
      EXPECT_NE(r.out.find(std::string("Usage: vellum-cli ") + command), std::string::npos)
          << r.out;
      EXPECT_EQ(r.err, "");
    }
  }
  // The dump help documents the encoding of bytes.
  EXPECT_NE(Invoke({"dump", "--help"}).out.find("hexadecimal"), std::string::npos);
}

TEST(CliTest, UsageErrorsExitTwoWithAMessage) {
  const std::string table = Leonhad("db/CUSTOMER");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", table},
      {"--bogus"},
      {"describe"},
      {"describe", table, "extra"},
      {"describe", "--bogus", table},
      {"verify", "-x", table},
      {"dump", table, "--format"},
      {"dump", table, "--format", "xml"},
      {"dump", table, "--format=yaml"},
      {"describe", table, "--format", "json"},
  };
  for (const auto& args : bad) {
    Result r = Invoke(args);
    std::string line;
    for (const auto& a : args) line += a + " ";
    EXPECT_EQ(r.status, 2) << line;
    EXPECT_FALSE(r.err.empty()) << line;
    EXPECT_EQ(r.out, "") << line;
  }
  EXPECT_NE(Invoke({"frobnicate", table}).err.find("frobnicate"), std::string::npos);
  EXPECT_NE(Invoke({"dump", table, "--format", "xml"}).err.find("xml"), std::string::npos);
}

// ---------------------------------------------------------------------------
// describe

TEST(CliDescribeTest, CustomerMatchesItsFileHeader) {
  const std::string path = Leonhad("db/CUSTOMER.DB");
  const std::vector<uint8_t> header = ReadFile(path);
  // Any letter case and no extension: the engine finds CUSTOMER.DB.
  Result r = Invoke({"describe", Leonhad("db/customer")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Json d = JsonReader::Parse(r.out);

  EXPECT_EQ(d["name"].str(), "CUSTOMER");
  EXPECT_EQ(d["file"].str(), "CUSTOMER.DB");
  // Header: 0x39 version 0x0C is level 7; 0x6A code page 0x04E4; block size
  // byte 0x05 in KB; records at 0x06; fields at 0x21; key fields at 0x23.
  ASSERT_EQ(header.at(0x39), 0x0C);
  EXPECT_EQ(d["level"].str(), "7");
  EXPECT_EQ(d["code_page"].integer(), Le16(header, 0x6A));
  EXPECT_EQ(d["code_page"].integer(), 1252);
  EXPECT_EQ(d["block_size"].integer(), header.at(0x05) * 1024);
  EXPECT_EQ(d["record_count"].integer(), Le32(header, 0x06));
  EXPECT_EQ(d["record_count"].integer(), 20);
  EXPECT_EQ(d["key_fields"].integer(), Le16(header, 0x23));
  EXPECT_EQ(d["sort_order"].str(), "ANSII850");

  const Json& fields = d["fields"];
  ASSERT_EQ(fields.size(), Le16(header, 0x21));
  ASSERT_EQ(fields.size(), 10u);
  const char* names[] = {"CustNo", "FirstName",  "LastName",        "EMail",    "Street",
                         "City",   "State/Prov", "Zip/Postal Code", "Comments", "DateEntered"};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(fields[i]["name"].str(), names[i]);
  // Type bytes from 0x78: 16 04 (autoincrement), 01 33 (alpha 51), ...,
  // 0C 6E (memo with a 100-byte leader), 02 04 (date).
  EXPECT_EQ(fields[0]["type"].str(), "AutoInc");
  EXPECT_EQ(fields[0]["px_type"].str(), "+");
  EXPECT_EQ(fields[1]["type"].str(), "String");
  EXPECT_EQ(fields[1]["px_type"].str(), "A");
  EXPECT_EQ(fields[1]["size"].integer(), 51);
  EXPECT_EQ(fields[3]["size"].integer(), 100);
  EXPECT_EQ(fields[8]["type"].str(), "Memo");
  EXPECT_EQ(fields[8]["px_type"].str(), "M");
  EXPECT_EQ(fields[8]["size"].integer(), 100);
  EXPECT_EQ(fields[9]["type"].str(), "Date");
  EXPECT_EQ(fields[9]["px_type"].str(), "D");
  EXPECT_FALSE(fields[0]["required"].flag());

  const Json& indexes = d["indexes"];
  ASSERT_EQ(indexes.size(), 2u);
  EXPECT_TRUE(indexes[0]["primary"].flag());
  EXPECT_TRUE(indexes[0]["unique"].flag());
  EXPECT_EQ(indexes[0]["key_fields"].str(), "CustNo");
  EXPECT_EQ(indexes[0]["file"].str(), "CUSTOMER.PX");
  // CUSTOMER.X06 indexes field 6, City.
  EXPECT_FALSE(indexes[1]["primary"].flag());
  EXPECT_EQ(indexes[1]["name"].str(), "City");
  EXPECT_EQ(indexes[1]["key_fields"].str(), "City");
  EXPECT_EQ(indexes[1]["file"].str(), "CUSTOMER.X06");
  EXPECT_TRUE(indexes[1]["maintained"].flag());
  EXPECT_FALSE(indexes[1]["descending"].flag());
  EXPECT_FALSE(indexes[1]["case_insensitive"].flag());
  EXPECT_EQ(d["validity_checks"].size(), 0u);
}

TEST(CliDescribeTest, Fk1WithValidityFileAndSecondaryIndex) {
  const std::vector<uint8_t> header = ReadFile(Leonhad("joins/fk1.db"));
  const std::vector<uint8_t> val = ReadFile(Leonhad("joins/fk1.val"));
  Result r = Invoke({"describe", Leonhad("joins/FK1.DB")});
  ASSERT_EQ(r.status, 0) << r.err;
  Json d = JsonReader::Parse(r.out);
  EXPECT_EQ(d["name"].str(), "fk1");
  EXPECT_EQ(d["file"].str(), "fk1.db");
  ASSERT_EQ(header.at(0x39), 0x0B);  // level 5
  EXPECT_EQ(d["level"].str(), "5");
  EXPECT_EQ(d["code_page"].integer(), 850);
  EXPECT_EQ(d["record_count"].integer(), 0);
  EXPECT_EQ(d["key_fields"].integer(), 1);
  ASSERT_EQ(d["fields"].size(), 2u);
  EXPECT_EQ(d["fields"][0]["name"].str(), "ID");
  EXPECT_EQ(d["fields"][0]["type"].str(), "AutoInc");
  EXPECT_EQ(d["fields"][1]["name"].str(), "FK");
  EXPECT_EQ(d["fields"][1]["type"].str(), "Integer");
  EXPECT_EQ(d["fields"][1]["px_type"].str(), "I");
  ASSERT_EQ(d["indexes"].size(), 2u);
  EXPECT_EQ(d["indexes"][0]["file"].str(), "fk1.px");
  EXPECT_EQ(d["indexes"][1]["file"].str(), "fk1.x02");
  EXPECT_EQ(d["indexes"][1]["key_fields"].str(), "FK");
  // The .VAL holds only a referential-integrity link: byte 2 (the number of
  // field checks) is 0.
  ASSERT_EQ(val.at(2), 0);
  EXPECT_EQ(d["validity_checks"].size(), 0u);
}

TEST(CliDescribeTest, LogicalDefaultFromValidityFile) {
  // logical.val: one check entry at 0x35 on field 0 with the required byte
  // at 0x37 and the default value at 0x51, 0x81 being true in record form.
  const std::vector<uint8_t> val = ReadFile(Leonhad("fields/logical.val"));
  ASSERT_EQ(val.at(2), 1);
  ASSERT_EQ(val.at(0x37), 1);
  ASSERT_EQ(val.at(0x51), 0x81);
  Result r = Invoke({"describe", Leonhad("fields/LOGICAL")});
  ASSERT_EQ(r.status, 0) << r.err;
  Json d = JsonReader::Parse(r.out);
  ASSERT_EQ(d["validity_checks"].size(), 1u);
  const Json& c = d["validity_checks"][0];
  EXPECT_EQ(c["field_number"].integer(), 1);
  EXPECT_EQ(c["field"].str(), "BOOL");
  EXPECT_TRUE(c["required"].flag());
  EXPECT_FALSE(c["has_min"].flag());
  EXPECT_FALSE(c["has_max"].flag());
  EXPECT_TRUE(c["has_default"].flag());
  EXPECT_TRUE(c["min"].isNull());
  EXPECT_TRUE(c["max"].isNull());
  EXPECT_EQ(c["default"].str(), "true");
  EXPECT_TRUE(d["fields"][0]["required"].flag());
  EXPECT_EQ(d["fields"][0]["type"].str(), "Boolean");
  EXPECT_EQ(d["indexes"].size(), 0u);
}

// Native form of validity values (see engine/paradox/val_file.h).
std::array<uint8_t, 256> NativeInt(int64_t v, int bytes) {
  std::array<uint8_t, 256> n{};
  for (int i = 0; i < bytes; ++i) n[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
  return n;
}
std::array<uint8_t, 256> NativeDouble(double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, 8);
  return NativeInt(static_cast<int64_t>(bits), 8);
}
std::array<uint8_t, 256> NativeText(const std::string& s) {
  std::array<uint8_t, 256> n{};
  std::memcpy(n.data(), s.data(), s.size());
  return n;
}

ValidityCheck Check(uint16_t field, bool required) {
  ValidityCheck c;
  c.field_number = field;
  c.required = required;
  return c;
}

TEST(CliDescribeTest, ValidityValuesAreShownByFieldType) {
  TempDir dir;
  TableDefinition def;
  // A field name with a quote, a backslash, a tab and a non-ASCII letter
  // checks the JSON escaping of names.
  const std::string odd_name = "Say \"hi\"\\\tcaf\xC3\xA9";
  def.fields = {{"ID", engine::FieldType::kInteger, 0, true},
                {"NAME", engine::FieldType::kString, 20, false},
                {"QTY", engine::FieldType::kSmallint, 0, false},
                {"PRICE", engine::FieldType::kCurrency, 0, false},
                {"DAY", engine::FieldType::kDate, 0, false},
                {"AT", engine::FieldType::kTime, 0, false},
                {"STAMP", engine::FieldType::kDateTime, 0, false},
                {"OK", engine::FieldType::kBoolean, 0, false},
                {"AMOUNT", engine::FieldType::kBCD, 2, false},
                {odd_name, engine::FieldType::kFloat, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};

  ValidityCheck id = Check(1, true);
  id.has_min = id.has_max = true;
  id.min = NativeInt(-100000, 4);
  id.max = NativeInt(2000000, 4);
  ValidityCheck name = Check(2, false);
  name.has_default = true;
  name.def = NativeText("caf\xC3\xA9 \"x\"");
  name.picture = "&*?";
  ValidityCheck qty = Check(3, false);
  qty.has_min = true;
  qty.min = NativeInt(-5, 2);
  ValidityCheck price = Check(4, false);
  price.has_max = true;
  price.max = NativeDouble(1234.5);
  ValidityCheck day = Check(5, false);
  day.has_min = true;
  day.min = NativeInt(engine::DateFromYmd(2020, 2, 29).day, 4);
  ValidityCheck at = Check(6, false);
  at.has_default = true;
  at.def = NativeInt((12 * 3600 + 34 * 60 + 56) * 1000 + 789, 4);
  ValidityCheck stamp = Check(7, false);
  stamp.has_max = true;
  stamp.max = NativeDouble(engine::DateFromYmd(1999, 12, 31).day * 86400000.0 + 3723004);
  ValidityCheck ok = Check(8, false);
  ok.has_default = true;
  ok.def = NativeInt(0, 2);
  ValidityCheck amount = Check(9, false);
  amount.has_max = true;
  ASSERT_TRUE(engine::paradox::EncodeBcd(amount.max.data(), 2, "-12.50"));
  ValidityCheck odd = Check(10, true);
  def.checks = {id, name, qty, price, day, at, stamp, ok, amount, odd};
  Table::Create(dir.path(), "CHECKS", def);

  Result r = Invoke({"describe", dir.file("checks.db")});
  ASSERT_EQ(r.status, 0) << r.err;
  Json d = JsonReader::Parse(r.out);
  const Json& checks = d["validity_checks"];
  ASSERT_EQ(checks.size(), 10u);
  auto find = [&](int field) -> const Json& {
    for (const auto& c : checks.items) {
      if (c["field_number"].integer() == field) return c;
    }
    throw std::runtime_error("no check on field " + std::to_string(field));
  };
  EXPECT_EQ(find(1)["field"].str(), "ID");
  EXPECT_TRUE(find(1)["required"].flag());
  EXPECT_EQ(find(1)["min"].str(), "-100000");
  EXPECT_EQ(find(1)["max"].str(), "2000000");
  EXPECT_TRUE(find(1)["default"].isNull());
  EXPECT_EQ(find(2)["default"].str(), "caf\xC3\xA9 \"x\"");
  EXPECT_EQ(find(2)["picture"].str(), "&*?");
  EXPECT_EQ(find(3)["min"].str(), "-5");
  EXPECT_EQ(find(4)["max"].str(), "1234.5");
  EXPECT_EQ(find(5)["min"].str(), "2020-02-29");
  EXPECT_EQ(find(6)["default"].str(), "12:34:56.789");
  EXPECT_EQ(find(7)["max"].str(), "1999-12-31 01:02:03.004");
  EXPECT_EQ(find(8)["default"].str(), "false");
  EXPECT_EQ(find(9)["max"].str(), "-12.50");
  EXPECT_EQ(find(10)["field"].str(), odd_name);
  EXPECT_TRUE(find(10)["required"].flag());
  EXPECT_EQ(d["fields"][9]["name"].str(), odd_name);
  EXPECT_TRUE(d["fields"][9]["required"].flag());
  EXPECT_EQ(d["fields"][8]["type"].str(), "BCD");
  EXPECT_EQ(d["fields"][8]["px_type"].str(), "#");
  EXPECT_EQ(d["fields"][6]["px_type"].str(), "@");
  // The escapes themselves, as written.
  EXPECT_NE(r.out.find(R"("Say \"hi\"\\\tcafé")"), std::string::npos) << r.out;
}

// ---------------------------------------------------------------------------
// dump

TEST(CliDumpTest, CsvOfCustomerHasOneRecordPerRow) {
  Result r = Invoke({"dump", Leonhad("db/Customer.db")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<CsvRecord> rows = ParseCsv(r.out);
  const std::vector<uint8_t> header = ReadFile(Leonhad("db/CUSTOMER.DB"));
  ASSERT_EQ(rows.size(), Le32(header, 0x06) + 1);
  ASSERT_EQ(rows.size(), 21u);
  ASSERT_EQ(rows[0].size(), 10u);
  EXPECT_EQ(rows[0][0], Text("CustNo"));
  EXPECT_EQ(rows[0][7], Text("Zip/Postal Code"));
  for (const auto& row : rows) ASSERT_EQ(row.size(), 10u);
  // The first record in the first data block (0x806): CustNo 80000001,
  // "Luke", "Justice", and in its last 4 bytes the date 800B1E73, day
  // 0xB1E73 = 728691.
  EXPECT_EQ(rows[1][0], Text("1"));
  EXPECT_EQ(rows[1][1], Text("Luke"));
  EXPECT_EQ(rows[1][2], Text("Justice"));
  EXPECT_EQ(rows[1][9], Text("1996-02-02"));
  // The second record's memo holds tabs and CR line breaks, so it is quoted.
  EXPECT_TRUE(rows[2][8].quoted);
  EXPECT_NE(rows[2][8].text.find("The length of the leader may be zero"), std::string::npos);
  EXPECT_NE(rows[2][8].text.find('\r'), std::string::npos);
  // CustNo is 1..20 in key order.
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i][0].text, std::to_string(i));
}

// Hebrew text (code page 1255) keeps its last letter in field names and
// values, in describe and in dump; the letters are those of the code chart.
TEST(CliDumpTest, HebrewTextKeepsItsLastLetter) {
  TempDir dir;
  const std::string name = "\xD7\xA9\xD7\x9D";                    // shin, final mem
  const std::string shalom = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";  // ends in final mem
  const std::string david = "\xD7\x93\xD7\x95\xD7\x93";           // ends in dalet
  TableDefinition def;
  def.fields = {FieldDef{"Id", engine::FieldType::kInteger, 0},
                FieldDef{name, engine::FieldType::kString, 20}};
  def.code_page = 1255;
  Table::Create(dir.path(), "HEB", def);
  {
    auto t = Table::Open(dir.path(), "HEB", {.writable = true});
    t->insert({int64_t{1}, shalom});
    t->insert({int64_t{2}, david});
  }
  // The bytes on disk are code page 1255: shin F9, final mem ED.
  const std::vector<uint8_t> db = ReadFile(dir.file("HEB.DB"));
  ASSERT_EQ(Le16(db, 0x6A), 1255);
  const std::string bytes(db.begin(), db.end());
  EXPECT_NE(bytes.find("\xF9\xEC\xE5\xED"), std::string::npos);

  const Result d = Invoke({"describe", dir.file("HEB")});
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(JsonReader::Parse(d.out)["fields"][1]["name"].str(), name);
  const Result r = Invoke({"dump", dir.file("HEB")});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = ParseCsv(r.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1].text, name);
  EXPECT_EQ(rows[1][1].text, shalom);
  EXPECT_EQ(rows[2][1].text, david);
}

// A dump that could not give the whole table prints what it read and
// fails, naming the problem: a header counting other records than the
// blocks hold, values of a missing blob file, a block that cannot be read.
TEST(CliDumpTest, ATableNotReadWholeFailsAfterItsRows) {
  TempDir dir;
  test::CopyTableFiles(Leonhad("db"), "CUSTOMER", dir.path());
  std::vector<uint8_t> db = ReadFile(dir.file("CUSTOMER.DB"));
  ASSERT_EQ(Le32(db, 0x06), 20u);
  auto write_db = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream out(dir.file("CUSTOMER.DB"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  };
  std::vector<uint8_t> counted = db;
  counted[0x06] = 21;
  write_db(counted);
  for (const char* format : {"csv", "json"}) {
    SCOPED_TRACE(format);
    const Result r = Invoke({"dump", dir.file("CUSTOMER"), "--format", format});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("CUSTOMER.DB"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("header counts 21 records, its blocks hold 20"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ParseCsv(Invoke({"dump", dir.file("CUSTOMER")}).out).size(), 21u);

  // The blocks: the header, then 2 KB blocks; block 3 cut after its header.
  std::vector<uint8_t> cut(db.begin(), db.begin() + 0x800 + 2 * 0x800 + 8);
  write_db(cut);
  const Result partial = Invoke({"dump", dir.file("CUSTOMER")});
  EXPECT_EQ(partial.status, 1);
  EXPECT_NE(partial.err.find("CUSTOMER.DB"), std::string::npos) << partial.err;
  EXPECT_GT(Lines(partial.out).size(), 1u);

  const Result membre =
      Invoke({"dump", test::CorpusDir() + "/teverett_paradoxReader/MEMBRE", "--format", "json"});
  EXPECT_EQ(membre.status, 1);
  EXPECT_NE(membre.err.find("MEMBRE.MB: the blob file is missing; 8 values"), std::string::npos)
      << membre.err;
  EXPECT_EQ(Lines(membre.out).size(), 8u);  // "[", six records, "]"
}

TEST(CliDumpTest, JsonOfMemoTableIncludesMemoText) {
  Result r = Invoke({"dump", Leonhad("fields/memo"), "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json rows = JsonReader::Parse(r.out);
  ASSERT_EQ(rows.kind, Json::Kind::kArray);
  ASSERT_EQ(rows.size(), 2u);
  // Record 1's memo is in memo.mb at 0x1150: five lines of "01234567890" ten
  // times; record 2's fits in its leader.
  std::string line;
  for (int i = 0; i < 10; ++i) line += "01234567890";
  std::string memo1;
  for (int i = 0; i < 5; ++i) memo1 += line + "\n";
  const std::vector<uint8_t> mb = ReadFile(Leonhad("fields/memo.mb"));
  ASSERT_EQ(std::string(mb.begin() + 0x1150, mb.begin() + 0x1150 + memo1.size()), memo1);
  EXPECT_EQ(rows[0]["Id"].integer(), 1);
  EXPECT_EQ(rows[0]["MEMO"].str(), memo1);
  EXPECT_EQ(rows[1]["Id"].integer(), 2);
  EXPECT_EQ(rows[1]["MEMO"].str(), "01234567890\n");
  // One record per line.
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4);
}

TEST(CliDumpTest, ValuesOfEveryKindInCsvAndJson) {
  TempDir dir;
  TableDefinition def;
  def.fields = {{"ID", engine::FieldType::kInteger, 0, false},
                {"NAME", engine::FieldType::kString, 30, false},
                {"RATE", engine::FieldType::kFloat, 0, false},
                {"OK", engine::FieldType::kBoolean, 0, false},
                {"DAY", engine::FieldType::kDate, 0, false},
                {"AT", engine::FieldType::kTime, 0, false},
                {"STAMP", engine::FieldType::kDateTime, 0, false},
                {"AMOUNT", engine::FieldType::kBCD, 2, false},
                {"RAW", engine::FieldType::kBytes, 3, false},
                {"NOTE", engine::FieldType::kMemo, 5, false},
                {"BLOB", engine::FieldType::kBlob, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};
  Table::Create(dir.path(), "KINDS", def);
  const std::string long_note =
      "line one, \"quoted\"\r\nline two \xC3\xA9 " + std::string(300, 'z');
  {
    auto t = Table::Open(dir.path(), "KINDS", {true, true});
    t->insert(Row{int64_t{1}, std::string("a,b \"c\""), 0.1, true, engine::DateFromYmd(2001, 9, 9),
                  engine::TimeOfDay{(1 * 3600 + 2 * 60 + 3) * 1000 + 4},
                  engine::Timestamp{engine::DateFromYmd(2024, 2, 29).day * 86400000.0 + 5000},
                  engine::Decimal{"-1234.50"}, engine::Bytes{0x00, 0xAB, 0x10}, long_note,
                  engine::Bytes{0xDE, 0xAD, 0xBE, 0xEF}});
    t->insert(Row{int64_t{2}, {}, {}, false, {}, {}, {}, {}, {}, {}, {}});
  }

  Result csv = Invoke({"dump", dir.file("KINDS")});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const std::string expected =
      "ID,NAME,RATE,OK,DAY,AT,STAMP,AMOUNT,RAW,NOTE,BLOB\r\n"
      "1,\"a,b \"\"c\"\"\",0.1,true,2001-09-09,01:02:03.004,2024-02-29 00:00:05.000,-1234.50,"
      "00AB10,\"line one, \"\"quoted\"\"\r\nline two \xC3\xA9 " +
      std::string(300, 'z') +
      "\",DEADBEEF\r\n"
      "2,,,false,,,,,,,\r\n";
  EXPECT_EQ(csv.out, expected);

  Result json = Invoke({"dump", dir.file("kinds.db"), "--format=json"});
  ASSERT_EQ(json.status, 0) << json.err;
  Json rows = JsonReader::Parse(json.out);
  ASSERT_EQ(rows.size(), 2u);
  const Json& a = rows[0];
  EXPECT_EQ(a["ID"].integer(), 1);
  EXPECT_EQ(a["NAME"].str(), "a,b \"c\"");
  EXPECT_EQ(a["RATE"].kind, Json::Kind::kNumber);
  EXPECT_EQ(a["RATE"].number, 0.1);
  EXPECT_EQ(a["OK"].kind, Json::Kind::kBool);
  EXPECT_TRUE(a["OK"].flag());
  EXPECT_EQ(a["DAY"].str(), "2001-09-09");
  EXPECT_EQ(a["AT"].str(), "01:02:03.004");
  EXPECT_EQ(a["STAMP"].str(), "2024-02-29 00:00:05.000");
  EXPECT_EQ(a["AMOUNT"].str(), "-1234.50");
  EXPECT_EQ(a["RAW"].str(), "00AB10");
  EXPECT_EQ(a["NOTE"].str(), long_note);
  EXPECT_EQ(a["BLOB"].str(), "DEADBEEF");
  const Json& b = rows[1];
  EXPECT_EQ(b["ID"].integer(), 2);
  EXPECT_FALSE(b["OK"].flag());
  for (const char* field :
       {"NAME", "RATE", "DAY", "AT", "STAMP", "AMOUNT", "RAW", "NOTE", "BLOB"}) {
    EXPECT_TRUE(b[field].isNull()) << field;
  }
  // Control characters are escaped, never written raw.
  EXPECT_NE(json.out.find(R"(\"quoted\"\r\nline two)"), std::string::npos);
}

TEST(CliDumpTest, EmptyTableGivesHeaderOrEmptyArray) {
  Result csv = Invoke({"dump", Leonhad("joins/fk1")});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, "ID,FK\r\n");
  Result json = Invoke({"dump", Leonhad("joins/fk1"), "-f", "json"});
  ASSERT_EQ(json.status, 0) << json.err;
  Json rows = JsonReader::Parse(json.out);
  EXPECT_EQ(rows.kind, Json::Kind::kArray);
  EXPECT_EQ(rows.size(), 0u);
}

// Counts what is written without keeping it, except the last line.
class CountingBuf : public std::streambuf {
 public:
  uint64_t chars = 0;
  uint64_t lines = 0;
  std::string current;
  std::string last_line;

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) put(static_cast<char>(c));
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) put(s[i]);
    return n;
  }

 private:
  void put(char c) {
    ++chars;
    current.push_back(c);
    if (c == '\n') {
      ++lines;
      last_line.swap(current);
      current.clear();
    }
  }
};

TEST(CliDumpTest, StreamsAGeneratedTableOf200000Rows) {
  constexpr int kRows = 200000;
  TempDir dir;
  TableDefinition def;
  def.fields = {{"ID", engine::FieldType::kInteger, 0, false},
                {"NAME", engine::FieldType::kString, 16, false},
                {"HALF", engine::FieldType::kFloat, 0, false}};
  def.indexes = {{"", {"ID"}, true, true, false, false}};
  Table::Create(dir.path(), "BIG", def);
  {
    auto t = Table::Open(dir.path(), "BIG", {true, true});
    t->beginBulk();
    for (int i = 1; i <= kRows; ++i) {
      t->insert(Row{int64_t{i}, "name" + std::to_string(i), i * 0.5});
    }
    t->endBulk();
  }
  // Bytes of the expected output: the header, then "i,namei,h\r\n" where h
  // is i/2 written as an integer or with ".5".
  uint64_t expected_chars = std::string("ID,NAME,HALF\r\n").size();
  for (int i = 1; i <= kRows; ++i) {
    const std::string id = std::to_string(i);
    const std::string half = std::to_string(i / 2) + (i % 2 ? ".5" : "");
    expected_chars += id.size() + 1 + 4 + id.size() + 1 + half.size() + 2;
  }

  CountingBuf buf;
  std::ostream out(&buf);
  std::ostringstream err;
  ASSERT_EQ(RunCli({"dump", dir.file("BIG")}, out, err), 0) << err.str();
  EXPECT_EQ(buf.lines, static_cast<uint64_t>(kRows) + 1);
  EXPECT_EQ(buf.chars, expected_chars);
  EXPECT_EQ(buf.last_line, "200000,name200000,100000\r\n");
  EXPECT_EQ(buf.current, "");
}

// ---------------------------------------------------------------------------
// verify

TEST(CliVerifyTest, CleanCorpusTablePrintsOk) {
  for (const char* table : {"db/CUSTOMER", "joins/fk1.db", "fields/memo"}) {
    Result r = Invoke({"verify", Leonhad(table)});
    EXPECT_EQ(r.status, 0) << table << ": " << r.out << r.err;
    EXPECT_EQ(r.out, "OK\n") << table;
    EXPECT_EQ(r.err, "") << table;
  }
}

TEST(CliVerifyTest, DamagedPrimaryIndexIsReported) {
  TempDir dir;
  test::CopyTableFiles(Leonhad("db"), "CUSTOMER", dir.path());
  ASSERT_EQ(Invoke({"verify", dir.file("CUSTOMER")}).status, 0);
  // CUSTOMER.PX's first leaf block starts at 0x800; its first entry (after
  // the 6-byte block header) is key 80000001, block 8001, count 8005. Make
  // the count say 4 records.
  const std::string px = dir.file("CUSTOMER.PX");
  std::vector<uint8_t> bytes = ReadFile(px);
  ASSERT_EQ(bytes.at(0x800 + 6 + 6), 0x80);
  ASSERT_EQ(bytes.at(0x800 + 6 + 7), 0x05);
  bytes[0x800 + 6 + 7] = 0x04;
  {
    std::ofstream out(px, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  Result r = Invoke({"verify", dir.file("customer.db")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("CUSTOMER.PX"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("OK"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("problem"), std::string::npos) << r.err;
}

// Every table of the corpus verifies clean, but for the two that lost files
// (a keyed table without its primary index; one without its primary index
// and its blob file) and the encrypted ones, which cannot be read without
// their password (encrypted_cli_test checks them with it).
TEST(CliVerifyTest, EveryCorpusTableVerifiesClean) {
  const std::map<std::string, std::string> damaged = {
      {"leonhad_paradoxdriver/areas/STATES.DB", "STATES.PX: the primary index is missing\n"},
      {"teverett_paradoxReader/MEMBRE.DB",
       "MEMBRE.MB: the blob file is missing; 8 values of the table need it\n"
       "MEMBRE.PX: the primary index is missing\n"}};
  const test::ScopedEnvironment no_password("VELLUM_PASSWORD", std::nullopt);
  int tables = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(test::CorpusDir())) {
    std::string ext = e.path().extension().string();
    for (auto& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!e.is_regular_file() || ext != ".DB") continue;
    ++tables;
    const std::string rel = std::filesystem::relative(e.path(), test::CorpusDir()).generic_string();
    SCOPED_TRACE(rel);
    const Result r = Invoke({"verify", e.path().string()});
    if (rel.starts_with("leonhad_paradoxdriver/encrypt/")) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("encrypted"), std::string::npos) << r.err;
    } else if (auto it = damaged.find(rel); it != damaged.end()) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, it->second);
    } else {
      EXPECT_EQ(r.status, 0) << r.out << r.err;
      EXPECT_EQ(r.out, "OK\n");
    }
  }
  EXPECT_EQ(tables, 93);
}

// Stale block hints are information: the table is clean, exit 0, and each
// index's count is one note line.
TEST(CliVerifyTest, StaleHintsAreNotesAndTheTableIsClean) {
  TempDir dir;
  test::OriginalShapeNamed("STALE").make(dir.path());
  const Result r = Invoke({"verify", dir.file("STALE")});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_TRUE(lines[0].starts_with("note: STALE.X03: entries whose block number is a stale hint ("))
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(" of 600)")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("note: STALE.XG0: entries whose block number is a stale hint ("))
      << lines[1];
  EXPECT_EQ(lines[2], "OK");

  const Result json = Invoke({"verify", dir.file("STALE"), "--json"});
  EXPECT_EQ(json.status, 0);
  const Json doc = JsonReader::Parse(json.out);
  EXPECT_EQ(doc["table"].str(), "STALE");
  EXPECT_TRUE(doc["clean"].flag());
  EXPECT_EQ(doc["errors"].integer(), 0);
  ASSERT_EQ(doc["findings"].size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(doc["findings"][i]["severity"].str(), "information");
    EXPECT_EQ(doc["findings"][i]["of"].integer(), 600);
    EXPECT_GT(doc["findings"][i]["count"].integer(), 0);
  }
}

// Many entries with one fault make one line with their count and the keys
// of the first three, in index order.
TEST(CliVerifyTest, OneLinePerKindOfProblemWithCountAndFirstKeys) {
  TempDir dir;
  test::OriginalShapeNamed("STALE").make(dir.path());
  test::SetBlockHints(dir.path(), "STALE.X03", [](int64_t) { return uint16_t{30000}; });
  // X03 orders by City, then Id: Id n has city (3n mod 7) of the cycle
  // Aptos, Kapaa Kauai, Freeport, Negril, Largo, Bogota, Kato Paphos, so
  // "Aptos" (n = 7, 14, 21, ...) comes first.
  const Result r = Invoke({"verify", dir.file("STALE")});
  EXPECT_EQ(r.status, 1);
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0],
            "STALE.X03: entries whose block number is outside the table's file "
            "(600, keys (7), (14), (21), ...)");
  EXPECT_TRUE(lines[1].starts_with("note: STALE.XG0: ")) << lines[1];
  EXPECT_EQ(r.err, "vellum-cli: " + dir.file("STALE") + ": 1 problem found\n");

  const Json doc = JsonReader::Parse(Invoke({"verify", dir.file("STALE"), "--json"}).out);
  EXPECT_FALSE(doc["clean"].flag());
  EXPECT_EQ(doc["errors"].integer(), 1);
  const Json& f = doc["findings"][0];
  EXPECT_EQ(f["severity"].str(), "error");
  EXPECT_EQ(f["file"].str(), "STALE.X03");
  EXPECT_EQ(f["count"].integer(), 600);
  ASSERT_EQ(f["keys"].size(), 3u);
  EXPECT_EQ(f["keys"][0].str(), "(7)");
}

// An out-of-date index: one problem naming its file; describe lists it,
// marked, under the table's current field names.
TEST(CliVerifyTest, AnOutOfDateIndexIsOneProblemAndDescribeListsIt) {
  TempDir dir;
  test::OriginalShapeNamed("INSERTED").make(dir.path());
  const Result r = Invoke({"verify", dir.file("INSERTED")});
  EXPECT_EQ(r.status, 1);
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_TRUE(lines[0].starts_with("INSERTED.X03: index out of date: ")) << lines[0];

  const Result d = Invoke({"describe", dir.file("INSERTED")});
  ASSERT_EQ(d.status, 0) << d.err;
  const Json described = JsonReader::Parse(d.out);
  const Json& indexes = described["indexes"];
  ASSERT_EQ(indexes.size(), 2u);
  EXPECT_FALSE(indexes[0]["out_of_date"].flag());
  EXPECT_TRUE(indexes[0]["out_of_date_reason"].isNull());
  EXPECT_EQ(indexes[1]["file"].str(), "INSERTED.X03");
  EXPECT_EQ(indexes[1]["name"].str(), "City");
  EXPECT_EQ(indexes[1]["key_fields"].str(), "City");
  EXPECT_TRUE(indexes[1]["out_of_date"].flag());
  EXPECT_EQ(lines[0], "INSERTED.X03: index out of date: " + indexes[1]["out_of_date_reason"].str());
}

// ---------------------------------------------------------------------------
// Failures: each names the file on stderr and exits 1.

TEST(CliErrorTest, MissingTable) {
  TempDir dir;
  for (const char* command : {"describe", "dump", "verify"}) {
    Result r = Invoke({command, dir.file("NOSUCH")});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("NOSUCH"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
}

TEST(CliErrorTest, ZeroLengthFile) {
  TempDir dir;
  { std::ofstream(dir.file("EMPTY.DB"), std::ios::binary); }
  ASSERT_EQ(std::filesystem::file_size(dir.file("EMPTY.DB")), 0u);
  for (const char* command : {"describe", "dump", "verify"}) {
    Result r = Invoke({command, dir.file("empty")});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("EMPTY.DB"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Corrupt"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
}

TEST(CliErrorTest, TableOpenedExclusivelyElsewhere) {
  TempDir dir;
  test::CopyTableFiles(Leonhad("fields"), "long", dir.path());
  // The engine's locks are per open file description, so a handle held here
  // conflicts with the program's own open like another process's would.
  auto holder = Table::Open(dir.path(), "long", {/*writable=*/true, /*exclusive=*/true});
  for (const char* command : {"describe", "dump", "verify"}) {
    Result r = Invoke({command, dir.file("long")});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("long.db"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("by another user or program"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << command;
  }
  holder.reset();
  EXPECT_EQ(Invoke({"verify", dir.file("long")}).status, 0);
}

TEST(CliErrorTest, DirectoryInsteadOfTable) {
  TempDir dir;
  Result r = Invoke({"describe", dir.path() + "/"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(dir.path()), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// Text forms.

TEST(CliTextTest, JsonStringEscapes) {
  std::string out;
  AppendJsonString(out, std::string("a\"b\\c\x01\x1f\n\r\t\b\f/\x7f", 14));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\u0001\\u001f\\n\\r\\t\\b\\f/\x7f\"");
  out.clear();
  // Valid UTF-8 (2, 3 and 4 bytes) passes through; stray bytes become U+FFFD.
  AppendJsonString(out, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|\xFF|\xC3|\xED\xA0\x80");
  EXPECT_EQ(out, "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80|\\ufffd|\\ufffd|\\ufffd\\ufffd\\ufffd\"");
}

TEST(CliTextTest, NumbersAndCsvQuoting) {
  EXPECT_EQ(DoubleText(0.1), "0.1");
  EXPECT_EQ(DoubleText(-2.5), "-2.5");
  EXPECT_EQ(DoubleText(1e21), "1e+21");
  EXPECT_EQ(DoubleText(100000), "100000");
  EXPECT_EQ(DoubleText(123456789012345680000.0), "1.2345678901234568e+20");
  EXPECT_EQ(DoubleText(1e15), "1000000000000000");
  EXPECT_EQ(DoubleText(-1234567.25), "-1234567.25");
  EXPECT_EQ(DoubleText(0.000001), "0.000001");
  EXPECT_EQ(DoubleText(1.5e-8), "1.5e-08");
  EXPECT_EQ(DoubleText(0), "0");
  EXPECT_EQ(DoubleText(std::nan("")), "NaN");
  std::string json;
  AppendJsonValue(json, engine::Value{std::numeric_limits<double>::infinity()});
  EXPECT_EQ(json, "\"Infinity\"");
  std::string csv;
  AppendCsvField(csv, engine::Value{std::string("plain")});
  csv += '|';
  AppendCsvField(csv, engine::Value{std::string("")});
  csv += '|';
  AppendCsvField(csv, engine::Value{});
  csv += '|';
  AppendCsvField(csv, engine::Value{std::string("x\ny")});
  csv += '|';
  AppendCsvField(csv, engine::Value{std::string("say \"no\"")});
  EXPECT_EQ(csv, "plain|\"\"||\"x\ny\"|\"say \"\"no\"\"\"");
}

TEST(CliTextTest, OutOfRangeDatesAndTimestampsStayNumbers) {
  // Only damaged files hold these; they must not become bogus dates.
  EXPECT_EQ(ValueText(engine::Value{engine::Date{-5}}), "-5");
  EXPECT_EQ(ValueText(engine::Value{engine::Timestamp{std::nan("")}}), "NaN");
  EXPECT_EQ(ValueText(engine::Value{engine::Timestamp{1e300}}), "1e+300");
  EXPECT_EQ(ValueText(engine::Value{engine::TimeOfDay{-1}}), "-1");
  EXPECT_EQ(ValueText(engine::Value{engine::Date{1}}), "0001-01-01");
}

}  // namespace
}  // namespace vellum::cli
