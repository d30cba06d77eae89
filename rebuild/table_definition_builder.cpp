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
#include "engine/paradox/table.h"
#include "engine/text.h"
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
    field.name = engine::CutToCharacters(name, kMaxFieldNameChars);
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

const dictionary::FieldPicture* PictureOf(const dictionary::TableProperties* properties,
                                          const std::string& field) {
  if (properties == nullptr) return nullptr;
  for (const auto& picture : properties->pictures) {
    if (SameNameIgnoringCase(picture.field, field)) return &picture;
  }
  return nullptr;
}

const dictionary::FieldLookup* LookupOf(const dictionary::TableProperties* properties,
                                        const std::string& field) {
  if (properties == nullptr) return nullptr;
  for (const auto& lookup : properties->lookups) {
    if (SameNameIgnoringCase(lookup.field, field)) return &lookup;
  }
  return nullptr;
}

void BuildCheckList(const std::string& table_name, Dataset& fields, TableDescriptor& descriptor,
                    const dictionary::TableProperties* properties) {
  auto has_value = [&fields] {
    return !fields.fieldByName("ValoreMinimo").asString().empty() ||
           !fields.fieldByName("ValoreMassimo").asString().empty() ||
           !fields.fieldByName("ValoreDefault").asString().empty();
  };
  // A required field with no value keeps a check of its own: without one the
  // rebuilt field would no longer be required.
  auto has_check = [&] {
    const std::string name = fields.fieldByName("Nome").asString();
    return has_value() || fields.fieldByName("Obbligatorio").asBoolean() ||
           PictureOf(properties, name) != nullptr || LookupOf(properties, name) != nullptr;
  };
  size_t count = 0;
  for (fields.first(); !fields.eof(); fields.next()) {
    if (has_check()) ++count;
  }
  if (count == 0) return;
  if (count > kMaxTableElements) throw Error(MoreThanMessage(table_name, "validity checks"));

  descriptor.checks.reserve(count);
  uint16_t row = 0;
  for (fields.first(); !fields.eof(); fields.next()) {
    ++row;
    if (!has_check()) continue;
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
    const std::string name = fields.fieldByName("Nome").asString();
    // A value that is no number of the field's type names where it is, so
    // that a damaged dictionary row can be found.
    auto convert = [&](const std::string& text, const char* column, Slot& slot) {
      try {
        ConvertCheckValue(type, type_name, text, slot);
      } catch (const engine::EDBEngineError&) {
        throw;
      } catch (const Error& e) {
        std::string message = e.what();
        message += " (DDFields.";
        message += column;
        message += " of field \"";
        message += name;
        message += "\" of table \"";
        message += table_name;
        message += "\")";
        throw Error(message);
      }
    };
    check.has_min = !min.empty();
    if (check.has_min) convert(min, "ValoreMinimo", check.min);
    check.has_max = !max.empty();
    if (check.has_max) convert(max, "ValoreMassimo", check.max);
    check.has_default = !def.empty();
    if (check.has_default) convert(def, "ValoreDefault", check.def);
    if (const auto* picture = PictureOf(properties, name)) check.picture = picture->picture;
    if (const auto* lookup = LookupOf(properties, name)) {
      check.lookup_table = lookup->table;
      check.lookup_options = lookup->options;
    }
    descriptor.checks.push_back(check);
  }
  descriptor.check_operations.assign(descriptor.checks.size(), Operation::kNone);
}

// True when an index of the descriptor orders a String field.
bool HasStringKeys(const TableDescriptor& descriptor) {
  for (const auto& index : descriptor.indexes) {
    for (uint16_t k = 0; k < index.key_field_count; ++k) {
      const uint16_t n = index.key_fields[k];
      if (n >= 1 && n <= descriptor.fields.size() &&
          descriptor.fields[n - 1].storage_type == engine::storage::kZString) {
        return true;
      }
    }
  }
  return false;
}

void Note(std::vector<std::string>* notes, std::string text) {
  if (notes != nullptr) notes->push_back(std::move(text));
}

// The sort order to ask for: the recorded one where the engine keeps the
// order it implies, else the binary order of the code page.
void SetSortOrder(const std::string& table_name, const dictionary::TableProperties& p, int level,
                  TableDescriptor& descriptor, std::vector<std::string>* notes) {
  const int written_level = level > 0 ? level : 4;
  std::string name = p.sort_order;
  if (name.empty())
    name = engine::paradox::SortOrderNameFor(static_cast<uint8_t>(p.sort_order_byte), p.code_page);
  if (engine::paradox::IsBinarySortOrder(name, p.sort_order_byte, written_level) ||
      !HasStringKeys(descriptor)) {
    descriptor.sort_order = name;
    descriptor.sort_order_byte = p.sort_order_byte;
    return;
  }
  descriptor.sort_order = engine::paradox::BinarySortOrderFor(p.code_page, written_level);
  descriptor.sort_order_byte = -1;
  Note(notes, "Table \"" + table_name + "\": its sort order \"" +
                  (name.empty() ? "#" + std::to_string(p.sort_order_byte) : name) +
                  "\" is not kept, as the engine does not implement its collation; its "
                  "indexes are written in \"" +
                  descriptor.sort_order + "\", the binary order of code page " +
                  std::to_string(p.code_page));
}

// The links of `p` whose fields the descriptor has, with their fields
// numbered by the descriptor's field list.
void SetLinks(const std::string& table_name, const dictionary::TableProperties& p,
              TableDescriptor& descriptor, std::vector<std::string>* notes) {
  for (const auto& link : p.links) {
    engine::RefIntegrityDescriptor r;
    r.name = link.name;
    r.master_table = link.master_table;
    r.master_fields = link.master_fields;
    r.cascade = link.cascade;
    r.stored = link.stored;
    std::string missing;
    for (const std::string& field : link.fields) {
      const uint16_t number = FieldNumberOf(descriptor, field);
      if (number == 0 && missing.empty()) missing = field;
      r.fields.push_back(number);
    }
    if (!missing.empty()) {
      // NOLINTBEGIN(performance-inefficient-string-concatenation): one note per link left out
      Note(notes, "Table \"" + table_name + "\": the referential integrity \"" + link.name +
                      "\" is left out, as the table no longer has its field \"" + missing + "\"");
      // NOLINTEND(performance-inefficient-string-concatenation)
      continue;
    }
    descriptor.referential_integrity.push_back(std::move(r));
  }
  descriptor.referential_integrity_count =
      static_cast<uint16_t>(descriptor.referential_integrity.size());
  descriptor.referential_integrity_master = p.master_part;
  descriptor.referential_integrity_flag = p.integrity_flag;
}

// Tells of the pictures and lookups whose fields the descriptor lacks.
void NoteLostFieldItems(const std::string& table_name, const dictionary::TableProperties& p,
                        const TableDescriptor& descriptor, std::vector<std::string>* notes) {
  for (const auto& picture : p.pictures) {
    if (FieldNumberOf(descriptor, picture.field) == 0) {
      Note(notes, "Table \"" + table_name + "\": the picture \"" + picture.picture +
                      "\" is left out, as the table no longer has its field \"" + picture.field +
                      "\"");
    }
  }
  for (const auto& lookup : p.lookups) {
    if (FieldNumberOf(descriptor, lookup.field) == 0) {
      Note(notes, "Table \"" + table_name + "\": the lookup of \"" + lookup.table +
                      "\" is left out, as the table no longer has its field \"" + lookup.field +
                      "\"");
    }
  }
}

void ApplyProperties(const std::string& table_name, const dictionary::TableProperties& p, int level,
                     TableDescriptor& descriptor, std::vector<std::string>* notes) {
  descriptor.code_page = p.code_page;
  descriptor.block_size = p.block_size;
  SetSortOrder(table_name, p, level, descriptor, notes);
  SetLinks(table_name, p, descriptor, notes);
  NoteLostFieldItems(table_name, p, descriptor, notes);
}

}  // namespace

int LevelOf(const std::string& level_text) {
  if (level_text == "3" || level_text == "3.5") return 3;
  if (level_text == "4") return 4;
  if (level_text == "5") return 5;
  if (level_text == "7") return 7;
  return 0;
}

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
                                     Dataset& indexes, int level,
                                     const dictionary::TableProperties* properties,
                                     std::vector<std::string>* notes) {
  TableDescriptor descriptor;
  descriptor.table_path =
      engine::CutToCharacters(engine::JoinPath(output_directory, table_name), kMaxTablePathChars);
  descriptor.driver_type = "PARADOX";
  BuildFieldList(table_name, fields, descriptor);
  BuildIndexList(table_name, indexes, descriptor);
  BuildCheckList(table_name, fields, descriptor, properties);
  descriptor.security_count = 0;
  descriptor.referential_integrity_count = 0;
  if (properties != nullptr) ApplyProperties(table_name, *properties, level, descriptor, notes);
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
  descriptor.referential_integrity.clear();
  descriptor.referential_integrity.shrink_to_fit();
  descriptor.referential_integrity_master.clear();
  descriptor.referential_integrity_master.shrink_to_fit();
}

}  // namespace vellum::rebuild
