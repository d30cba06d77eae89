#include "rebuild/table_definition_builder.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <string_view>

#include "dictionary/field_type_names.h"
#include "dictionary/locale_helper.h"
#include "engine/errors.h"
#include "engine/fs/file_system.h"
#include "engine/number_text.h"
#include "rebuild/name_compare.h"

namespace vellum::rebuild {

using engine::Dataset;
using engine::FieldType;
using engine::Operation;
using engine::TableDescriptor;

namespace {

// Longest field name and table path the engine takes, in characters.
constexpr size_t kMaxFieldNameChars = 31;
constexpr size_t kMaxTablePathChars = 260;
// A validity value slot holds at most this many bytes of text before its
// terminating zero.
constexpr size_t kMaxCheckTextBytes = 255;

using Slot = std::array<uint8_t, 256>;

// The first `max_chars` characters of UTF-8 `text` (the engine converts names
// to the table's single-byte code page, where a character is one byte).
std::string CutToCharacters(const std::string& text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == max_chars) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

std::string MoreThanMessage(const std::string& table_name, const char* what) {
  return "Table \"" + table_name + "\" has more than " + std::to_string(kMaxTableElements) + " " +
         what;
}

[[noreturn]] void ThrowNotInteger(const std::string& text) {
  throw Error("'" + text + "' is not a valid integer value");
}

[[noreturn]] void ThrowNotFloat(const std::string& text) {
  throw Error("'" + text + "' is not a valid floating point value");
}

// A decimal integer text: an optional sign and at least one digit, nothing
// else (no blanks), within the range of a 32-bit signed integer.
int32_t ParseInteger(const std::string& text) {
  const bool blank_first =
      !text.empty() && std::string_view(" \t\n\v\f\r").find(text[0]) != std::string_view::npos;
  const std::optional<int64_t> value = blank_first ? std::nullopt : engine::ParseInteger(text);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max()) {
    ThrowNotInteger(text);
  }
  return static_cast<int32_t>(*value);
}

// A decimal number text written with the user's decimal separator (see
// Locale::TextToFloat); a value beyond the range of a double is not valid.
double ParseFloat(const std::string& text) {
  const std::optional<double> value = Locale::TextToFloat(text);
  if (!value) ThrowNotFloat(text);
  return *value;
}

// Stores the low `bytes` bytes of `value` at the start of `slot`, least
// significant first.
void StoreLittleEndian(uint64_t value, size_t bytes, Slot& slot) {
  for (size_t i = 0; i < bytes; ++i) slot[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Converts a validity value text of a field of logical type `type` (named
// `type_name` in the dictionary) into its native binary form in `slot`.
void ConvertCheckValue(FieldType type, const std::string& type_name, const std::string& text,
                       Slot& slot) {
  switch (type) {
    case FieldType::kString: {
      size_t n = std::min(text.size(), kMaxCheckTextBytes);
      // Never leave half a UTF-8 character at the end.
      while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
      std::copy_n(text.begin(), n, slot.begin());
      slot[n] = 0;
      return;
    }
    case FieldType::kSmallint:
      StoreLittleEndian(static_cast<uint32_t>(ParseInteger(text)) & 0xFFFFu, 2, slot);
      return;
    case FieldType::kInteger:
    case FieldType::kWord:
      StoreLittleEndian(static_cast<uint32_t>(ParseInteger(text)), 4, slot);
      return;
    case FieldType::kBoolean:
      StoreLittleEndian(ParseInteger(text) != 0 ? 0xFFFFu : 0u, 2, slot);
      return;
    case FieldType::kFloat:
    case FieldType::kCurrency:
      StoreLittleEndian(std::bit_cast<uint64_t>(ParseFloat(text)), 8, slot);
      return;
    default:
      throw Error("Defaults: unsupported data type \"" + type_name + "\"");
  }
}

void BuildFieldList(const std::string& table_name, Dataset& fields, TableDescriptor& descriptor) {
  fields.first();
  const size_t count = fields.recordCount();
  if (count > kMaxTableElements) throw Error(MoreThanMessage(table_name, "fields"));
  descriptor.fields.reserve(count);
  uint16_t offset = 0;
  for (; !fields.eof(); fields.next()) {
    const int size = static_cast<int>(fields.fieldByName("Lunghezza").asInteger());
    const std::string type_name = fields.fieldByName("Tipo").asString();
    const std::string name = fields.fieldByName("Nome").asString();
    const FieldType type = dictionary::FieldTypeFromName(type_name);
    const FieldLayout layout = LayoutOf(type, size);
    engine::FieldDescriptor field;
    field.name = CutToCharacters(name, kMaxFieldNameChars);
    field.storage_type = layout.storage_type;
    field.storage_subtype = layout.storage_subtype;
    field.units1 = layout.units1;
    field.units2 = layout.units2;
    field.offset = offset;
    field.length = layout.length;
    offset = static_cast<uint16_t>(offset + layout.length);
    descriptor.fields.push_back(std::move(field));
  }
  descriptor.field_operations.assign(descriptor.fields.size(), Operation::kNone);
}

// 1-based position of the field named `name` in the descriptor's field list,
// or 0 when there is none.
uint16_t FieldNumberOf(const TableDescriptor& descriptor, const std::string& name) {
  for (size_t i = 0; i < descriptor.fields.size(); ++i) {
    if (SameNameIgnoringCase(descriptor.fields[i].name, name)) return static_cast<uint16_t>(i + 1);
  }
  return 0;
}

[[noreturn]] void ThrowMissingKeyField(const std::string& key_field,
                                       const TableDescriptor& descriptor) {
  throw Error("Keyfield \"" + key_field + "\" does not exist in the table \"" +
              descriptor.table_path + "\"");
}

void BuildIndexList(const std::string& table_name, Dataset& indexes, TableDescriptor& descriptor) {
  indexes.first();
  const size_t count = indexes.recordCount();
  if (count > kMaxTableElements) throw Error(MoreThanMessage(table_name, "indexes"));
  descriptor.indexes.reserve(count);
  for (uint16_t k = 0; !indexes.eof(); indexes.next(), ++k) {
    const std::string key_text = indexes.fieldByName("CampiChiave").asString();
    engine::IndexDescriptor index;
    index.primary = indexes.fieldByName("Primario").asBoolean();
    index.unique = indexes.fieldByName("Unico").asBoolean();
    index.descending = indexes.fieldByName("Discendente").asBoolean();
    index.case_insensitive = indexes.fieldByName("IgnoraMaiuscMinusc").asBoolean();
    const std::string name = indexes.fieldByName("Nome").asString();
    // The engine knows the primary index by its flag; the dictionary's row
    // name for it is not passed on.
    if (!index.primary) index.name = name;
    index.maintained = true;

    const size_t key_count =
        1 + static_cast<size_t>(std::count(key_text.begin(), key_text.end(), ';'));
    if (key_count > kMaxIndexKeyFields) {
      throw Error("Index \"" + name + "\" has more than " + std::to_string(kMaxIndexKeyFields) +
                  " key fields");
    }
    index.key_field_count = static_cast<uint16_t>(key_count);

    // The i-th piece between the ";" fills key slot i. Names are matched
    // without regard to the case of A to Z and are not trimmed. An empty
    // piece names no field: its slot stays 0, which the primary-key rule
    // below reports for a primary index.
    size_t start = 0;
    for (size_t slot = 0; slot < key_count; ++slot) {
      const size_t semicolon = key_text.find(';', start);
      const std::string piece = key_text.substr(
          start, semicolon == std::string::npos ? std::string::npos : semicolon - start);
      start = semicolon == std::string::npos ? key_text.size() : semicolon + 1;
      if (piece.empty() && index.primary) continue;
      const uint16_t number = FieldNumberOf(descriptor, piece);
      if (number == 0) ThrowMissingKeyField(piece, descriptor);
      index.key_fields[slot] = number;
      if (index.descending) index.descending_fields[slot] = true;
    }

    // A primary key must be the first fields of the table, in key order.
    if (index.primary) {
      for (size_t j = 1; j <= key_count; ++j) {
        if (index.key_fields[j - 1] != j) {
          throw Error("Primary key fields must be at the beginning of the table!");
        }
      }
    }
    index.index_id = k;
    descriptor.indexes.push_back(std::move(index));
  }
  descriptor.index_operations.assign(descriptor.indexes.size(), Operation::kNone);
}

void BuildCheckList(const std::string& table_name, Dataset& fields, TableDescriptor& descriptor) {
  auto has_value = [&fields] {
    return !fields.fieldByName("ValoreMinimo").asString().empty() ||
           !fields.fieldByName("ValoreMassimo").asString().empty() ||
           !fields.fieldByName("ValoreDefault").asString().empty();
  };
  size_t count = 0;
  for (fields.first(); !fields.eof(); fields.next()) {
    if (has_value()) ++count;
  }
  if (count == 0) return;
  if (count > kMaxTableElements) throw Error(MoreThanMessage(table_name, "validity checks"));

  descriptor.checks.reserve(count);
  uint16_t row = 0;
  for (fields.first(); !fields.eof(); fields.next()) {
    ++row;
    if (!has_value()) continue;
    const std::string type_name = fields.fieldByName("Tipo").asString();
    const FieldType type = dictionary::FieldTypeFromName(type_name);
    engine::ValidityCheckDescriptor check;
    // The check belongs to the field this row becomes: its place in the
    // field list. Positions can have gaps after a row was deleted, and a
    // gap must not move the check onto another field.
    check.field_number = row;
    check.required = fields.fieldByName("Obbligatorio").asBoolean();
    const std::string min = fields.fieldByName("ValoreMinimo").asString();
    const std::string max = fields.fieldByName("ValoreMassimo").asString();
    const std::string def = fields.fieldByName("ValoreDefault").asString();
    check.has_min = !min.empty();
    if (check.has_min) ConvertCheckValue(type, type_name, min, check.min);
    check.has_max = !max.empty();
    if (check.has_max) ConvertCheckValue(type, type_name, max, check.max);
    check.has_default = !def.empty();
    if (check.has_default) ConvertCheckValue(type, type_name, def, check.def);
    descriptor.checks.push_back(check);
  }
  descriptor.check_operations.assign(descriptor.checks.size(), Operation::kNone);
}

}  // namespace

FieldLayout LayoutOf(FieldType type, int size) {
  namespace st = engine::storage;
  namespace sub = engine::subtype;
  const auto units = static_cast<int16_t>(size);
  const auto bytes = static_cast<uint16_t>(size);
  switch (type) {
    case FieldType::kUnknown:
      return {st::kUnknown, sub::kNone, 1, 0, 0};
    case FieldType::kString:
      return {st::kZString, sub::kNone, units, 0, static_cast<uint16_t>(bytes + 1)};
    case FieldType::kSmallint:
      return {st::kInt16, sub::kNone, 1, 0, 2};
    case FieldType::kInteger:
      return {st::kInt32, sub::kNone, 1, 0, 4};
    case FieldType::kWord:
      return {st::kUInt16, sub::kNone, 1, 0, 2};
    case FieldType::kBoolean:
      return {st::kBool, sub::kNone, 1, 0, 2};
    case FieldType::kFloat:
      return {st::kFloat, sub::kNone, 1, 0, 8};
    case FieldType::kCurrency:
      return {st::kFloat, sub::kMoney, 1, 0, 8};
    case FieldType::kBCD:  // precision 32, `size` decimals
      return {st::kBcd, sub::kNone, 32, units, 34};
    case FieldType::kDate:
      return {st::kDate, sub::kNone, 1, 0, 4};
    case FieldType::kTime:
      return {st::kTime, sub::kNone, 1, 0, 4};
    case FieldType::kDateTime:
      return {st::kTimestamp, sub::kNone, 1, 0, 8};
    case FieldType::kBytes:
      return {st::kBytes, sub::kNone, units, 0, bytes};
    case FieldType::kVarBytes:
      return {st::kVarBytes, sub::kNone, units, 0, static_cast<uint16_t>(bytes + 2)};
    case FieldType::kAutoInc:
      return {st::kInt32, sub::kAutoInc, 1, 0, 4};
    case FieldType::kBlob:
      return {st::kBlob, sub::kBinary, units, 0, 0};
    case FieldType::kMemo:
      return {st::kBlob, sub::kMemo, units, 0, 0};
    case FieldType::kGraphic:
      return {st::kBlob, sub::kGraphic, units, 0, 0};
    case FieldType::kFmtMemo:
      return {st::kBlob, sub::kFmtMemo, units, 0, 0};
    case FieldType::kParadoxOle:
      return {st::kBlob, sub::kOle, units, 0, 0};
    case FieldType::kDBaseOle:
      return {st::kBlob, sub::kDBaseOle, units, 0, 0};
    case FieldType::kTypedBinary:
      return {st::kBlob, sub::kTypedBinary, units, 0, 0};
    case FieldType::kCursor:
      return {st::kCursor, sub::kNone, 1, 0, 0};
  }
  return {st::kUnknown, sub::kNone, 1, 0, 0};
}

uint16_t FieldLength(FieldType type, int size) { return LayoutOf(type, size).length; }

TableDescriptor BuildTableDescriptor(const std::string& output_directory,
                                     const std::string& table_name, Dataset& fields,
                                     Dataset& indexes, int level) {
  TableDescriptor descriptor;
  descriptor.table_path =
      CutToCharacters(engine::JoinPath(output_directory, table_name), kMaxTablePathChars);
  descriptor.driver_type = "PARADOX";
  BuildFieldList(table_name, fields, descriptor);
  BuildIndexList(table_name, indexes, descriptor);
  BuildCheckList(table_name, fields, descriptor);
  descriptor.security_count = 0;
  descriptor.referential_integrity_count = 0;
  if (level > 0) {
    engine::OptionalParameter parameter;
    parameter.name = "LEVEL";
    parameter.value = std::to_string(level);
    parameter.length = static_cast<uint16_t>(parameter.value.size());
    parameter.offset = 0;
    descriptor.optional_parameters.push_back(std::move(parameter));
  }
  return descriptor;
}

void ReleaseTableDescriptor(TableDescriptor& descriptor) {
  descriptor.fields.clear();
  descriptor.fields.shrink_to_fit();
  descriptor.field_operations.clear();
  descriptor.field_operations.shrink_to_fit();
  descriptor.indexes.clear();
  descriptor.indexes.shrink_to_fit();
  descriptor.index_operations.clear();
  descriptor.index_operations.shrink_to_fit();
  descriptor.checks.clear();
  descriptor.checks.shrink_to_fit();
  descriptor.check_operations.clear();
  descriptor.check_operations.shrink_to_fit();
  descriptor.optional_parameters.clear();
  descriptor.optional_parameters.shrink_to_fit();
}

}  // namespace vellum::rebuild
