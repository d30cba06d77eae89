#include "dictionary/table_properties.h"

#include <charconv>
#include <functional>

#include "engine/errors.h"
#include "engine/text.h"

namespace vellum::dictionary {

namespace {

using engine::Dataset;
using engine::JoinWithSemicolons;
using engine::SplitAtSemicolons;
using engine::Value;

// Kinds of row (DDProps.Voce).
constexpr const char* kCodePage = "CodePage";
constexpr const char* kSortOrder = "SortOrder";
constexpr const char* kLevel = "Level";
constexpr const char* kBlockSize = "BlockSize";
constexpr const char* kIntegrityFlag = "IntegrityFlag";
constexpr const char* kPicture = "Picture";
constexpr const char* kLookup = "Lookup";
constexpr const char* kLink = "Link";
constexpr const char* kMasterPart = "MasterPart";

// Sizes of DDProps' text columns (schema.cpp).
constexpr int kNameSize = 64;
constexpr int kFieldsSize = 255;
constexpr int kValueSize = 255;
constexpr int kMasterFieldsSize = 100;

std::string JoinNumbers(const std::vector<uint16_t>& numbers) {
  std::vector<std::string> parts;
  parts.reserve(numbers.size());
  for (uint16_t n : numbers) parts.push_back(std::to_string(n));
  return JoinWithSemicolons(parts);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 0xF];
  }
  return text;
}

// What row `number` of kind `item` holds that cannot be made out.
[[noreturn]] void ThrowBadRow(const std::string& item, int64_t number, const std::string& what) {
  throw Error("The DDProps row \"" + item + "\" " + std::to_string(number) + " holds " + what);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<uint8_t> FromHex(const std::string& text, const std::string& item, int64_t number) {
  if (text.size() % 2 != 0) ThrowBadRow(item, number, "bytes that are not hexadecimal");
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) ThrowBadRow(item, number, "bytes that are not hexadecimal");
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return bytes;
}

int64_t ToNumber(const std::string& text, const std::string& item, int64_t number) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end) {
    ThrowBadRow(item, number, "\"" + text + "\" where a number belongs");
  }
  return value;
}

std::vector<uint16_t> ToNumbers(const std::string& text, const std::string& item, int64_t number) {
  std::vector<uint16_t> numbers;
  for (const std::string& part : SplitAtSemicolons(text)) {
    const int64_t n = ToNumber(part, item, number);
    if (n < 1 || n > 0xFFFF) ThrowBadRow(item, number, "the field number " + part);
    numbers.push_back(static_cast<uint16_t>(n));
  }
  return numbers;
}

// One row to write: its kind and what its columns hold (empty text and
// a missing option leave a column empty).
struct Row {
  const char* item;
  std::string name, fields, value;
  std::optional<int64_t> options;
  std::string master_fields, data;
};

std::vector<Row> RowsOf(const TableProperties& p) {
  std::vector<Row> rows;
  rows.push_back({kCodePage, "", "", std::to_string(p.code_page), {}, "", ""});
  rows.push_back({kSortOrder, "", "", p.sort_order, p.sort_order_byte, "", ""});
  rows.push_back({kLevel, "", "", p.level, {}, "", ""});
  rows.push_back({kBlockSize, "", "", std::to_string(p.block_size), {}, "", ""});
  if (p.integrity_flag != 0) rows.push_back({kIntegrityFlag, "", "", "", p.integrity_flag, "", ""});
  for (const FieldPicture& picture : p.pictures) {
    rows.push_back({kPicture, "", picture.field, picture.picture, {}, "", ""});
  }
  for (const FieldLookup& lookup : p.lookups) {
    rows.push_back({kLookup, "", lookup.field, lookup.table, lookup.options, "", ""});
  }
  for (const LinkProperties& link : p.links) {
    rows.push_back({kLink, link.name, JoinWithSemicolons(link.fields), link.master_table,
                    link.cascade ? 1 : 0, JoinNumbers(link.master_fields), Hex(link.stored)});
  }
  if (!p.master_part.empty()) rows.push_back({kMasterPart, "", "", "", {}, "", Hex(p.master_part)});
  return rows;
}

// Reads one row of `rows` into `p`.
void ReadRow(Dataset& rows, TableProperties& p) {
  const std::string item = rows.fieldByName("Voce").asString();
  const int64_t number = rows.fieldByName("Numero").asInteger();
  const std::string value = rows.fieldByName("Valore").asString();
  const std::string fields = rows.fieldByName("Campi").asString();
  const int64_t options = rows.fieldByName("Opzioni").asInteger();
  if (item == kCodePage) {
    p.code_page = static_cast<int>(ToNumber(value, item, number));
  } else if (item == kSortOrder) {
    p.sort_order = value;
    p.sort_order_byte = static_cast<int>(options);
  } else if (item == kLevel) {
    p.level = value;
  } else if (item == kBlockSize) {
    p.block_size = static_cast<uint32_t>(ToNumber(value, item, number));
  } else if (item == kIntegrityFlag) {
    p.integrity_flag = static_cast<uint8_t>(options);
  } else if (item == kPicture) {
    p.pictures.push_back({fields, value});
  } else if (item == kLookup) {
    p.lookups.push_back({fields, value, static_cast<uint8_t>(options)});
  } else if (item == kLink) {
    LinkProperties link;
    link.name = rows.fieldByName("Nome").asString();
    link.fields = SplitAtSemicolons(fields);
    link.master_table = value;
    link.master_fields = ToNumbers(rows.fieldByName("CampiMaster").asString(), item, number);
    link.cascade = options == 1;
    link.stored = FromHex(rows.fieldByName("Dati").asString(), item, number);
    p.links.push_back(std::move(link));
  } else if (item == kMasterPart) {
    p.master_part = FromHex(rows.fieldByName("Dati").asString(), item, number);
  }
}

}  // namespace

TableProperties PropertiesOf(const engine::paradox::TableStructure& table) {
  TableProperties p;
  p.code_page = table.code_page;
  p.sort_order = table.sort_order;
  p.sort_order_byte = table.sort_order_byte;
  p.level = table.level;
  p.block_size = table.block_size;
  p.integrity_flag = table.integrity_flag;
  auto field_name = [&table](uint16_t number) {
    return number >= 1 && number <= table.fields.size() ? table.fields[number - 1].name
                                                        : std::string();
  };
  for (const auto& check : table.checks) {
    const std::string field = field_name(check.field_number);
    if (field.empty()) continue;
    if (!check.picture.empty()) p.pictures.push_back({field, check.picture});
    if (!check.lookup_table.empty()) {
      p.lookups.push_back({field, check.lookup_table, check.lookup_options});
    }
  }
  for (const auto& link : table.integrity.links) {
    LinkProperties lp;
    lp.name = link.name;
    for (uint16_t number : link.fields) lp.fields.push_back(field_name(number));
    lp.master_table = link.master_table;
    lp.master_fields = link.master_fields;
    lp.cascade = link.cascade;
    lp.stored = link.stored;
    p.links.push_back(std::move(lp));
  }
  p.master_part = table.integrity.master_part;
  return p;
}

std::vector<PropertyText> PropertyTexts(const TableProperties& properties) {
  std::vector<PropertyText> texts;
  for (const Row& row : RowsOf(properties)) {
    const std::string what = std::string("the ") + row.item + " item";
    texts.push_back({row.name, kNameSize, what + "'s name"});
    texts.push_back({row.fields, kFieldsSize, what + "'s fields"});
    texts.push_back({row.value, kValueSize, what});
    texts.push_back({row.master_fields, kMasterFieldsSize, what + "'s master fields"});
  }
  return texts;
}

void WriteTableProperties(Dataset& view, const Value& code, const TableProperties& properties) {
  for (view.first(); !view.eof();) view.remove();
  int number = 0;
  std::string previous;
  for (const Row& row : RowsOf(properties)) {
    number = row.item == previous ? number + 1 : 1;
    previous = row.item;
    view.insert();
    view.fieldByName("CodTabella").setValue(code);
    view.fieldByName("Voce").setAsString(row.item);
    view.fieldByName("Numero").setAsInteger(number);
    view.fieldByName("Nome").setAsString(row.name);
    view.fieldByName("Campi").setAsString(row.fields);
    view.fieldByName("Valore").setAsString(row.value);
    if (row.options) view.fieldByName("Opzioni").setAsInteger(*row.options);
    view.fieldByName("CampiMaster").setAsString(row.master_fields);
    view.fieldByName("Dati").setAsString(row.data);
    view.post();
  }
}

std::optional<TableProperties> ReadTableProperties(Dataset& rows) {
  rows.first();
  if (rows.eof()) return std::nullopt;
  TableProperties properties;
  for (; !rows.eof(); rows.next()) ReadRow(rows, properties);
  return properties;
}

}  // namespace vellum::dictionary
