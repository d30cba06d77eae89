// describe: the structure of a table as JSON.
#include "cli/commands.h"
#include "cli/json_writer.h"
#include "cli/value_text.h"
#include "dictionary/field_type_names.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/table.h"
#include "engine/text.h"

namespace vellum::cli {

namespace {

using engine::paradox::FieldInfo;
using engine::paradox::IndexInfo;
using engine::paradox::TableStructure;
using engine::paradox::ValidityCheck;

void WriteField(JsonWriter& json, const FieldInfo& field) {
  json.beginObject();
  json.member("name", field.name);
  json.member("type", dictionary::FieldTypeName(field.type));
  json.member("px_type", engine::paradox::PxTypeLetter(field.px_type));
  json.member("size", static_cast<int64_t>(field.size));
  json.member("required", field.required);
  json.endObject();
}

void WriteIndex(JsonWriter& json, const IndexInfo& index) {
  json.beginObject();
  json.member("name", index.name);
  json.member("key_fields", engine::JoinWithSemicolons(index.key_fields));
  json.member("primary", index.primary);
  json.member("unique", index.unique);
  json.member("descending", index.descending);
  json.member("case_insensitive", index.case_insensitive);
  json.member("maintained", index.maintained);
  json.member("file", index.file);
  json.member("out_of_date", index.out_of_date);
  json.key("out_of_date_reason");
  if (index.out_of_date) {
    json.string(index.why_out_of_date);
  } else {
    json.null();
  }
  json.endObject();
}

// One of a check's three values: its text, or null when the check has none.
void WriteCheckValue(JsonWriter& json, std::string_view name, bool present, const FieldInfo* field,
                     const std::array<uint8_t, 256>& native) {
  json.key(name);
  if (!present) {
    json.null();
  } else if (field == nullptr) {
    json.string(HexText(native.data(), native.size()));
  } else {
    json.string(CheckValueText(*field, native));
  }
}

void WriteCheck(JsonWriter& json, const TableStructure& st, const ValidityCheck& check) {
  // The engine only reports checks of fields the table has; a number out of
  // range is still shown rather than dropped.
  const FieldInfo* field = check.field_number >= 1 && check.field_number <= st.fields.size()
                               ? &st.fields[check.field_number - 1]
                               : nullptr;
  json.beginObject();
  json.member("field_number", static_cast<int64_t>(check.field_number));
  json.key("field");
  if (field != nullptr) {
    json.string(field->name);
  } else {
    json.null();
  }
  json.member("required", check.required);
  json.member("has_min", check.has_min);
  json.member("has_max", check.has_max);
  json.member("has_default", check.has_default);
  WriteCheckValue(json, "min", check.has_min, field, check.min);
  WriteCheckValue(json, "max", check.has_max, field, check.max);
  WriteCheckValue(json, "default", check.has_default, field, check.def);
  json.member("picture", check.picture);
  json.member("lookup_table", check.lookup_table);
  json.member("lookup_all_fields", (check.lookup_options & engine::paradox::kLookupAllFields) != 0);
  json.member("lookup_help", (check.lookup_options & engine::paradox::kLookupHelpAndFill) != 0);
  json.endObject();
}

void WriteLink(JsonWriter& json, const TableStructure& st,
               const engine::paradox::RefIntegrityLink& link) {
  json.beginObject();
  json.member("name", link.name);
  json.key("fields");
  json.beginArray();
  for (uint16_t number : link.fields) {
    json.string(number >= 1 && number <= st.fields.size() ? st.fields[number - 1].name : "");
  }
  json.endArray();
  json.member("master_table", link.master_table);
  json.key("master_fields");
  json.beginArray();
  for (uint16_t number : link.master_fields) json.number(static_cast<int64_t>(number));
  json.endArray();
  json.member("update", link.cascade ? "cascade" : "prohibit");
  json.endObject();
}

}  // namespace

void Describe(const TableLocation& location, std::ostream& out) {
  auto table = engine::paradox::Table::Open(location.directory, location.name);
  const TableStructure& st = table->structure();
  JsonWriter json(out, /*pretty=*/true);
  json.beginObject();
  json.member("name", st.name);
  json.member("file", st.file);
  json.member("level", st.level);
  json.member("code_page", static_cast<int64_t>(st.code_page));
  json.member("sort_order", st.sort_order);
  json.member("block_size", static_cast<int64_t>(st.block_size));
  json.member("record_count", static_cast<int64_t>(table->recordCount()));
  json.member("key_fields", static_cast<int64_t>(st.key_fields));
  json.member("encrypted", st.encrypted());
  json.key("fields");
  json.beginArray();
  for (const auto& field : st.fields) WriteField(json, field);
  json.endArray();
  json.key("indexes");
  json.beginArray();
  for (const auto& index : st.indexes) WriteIndex(json, index);
  json.endArray();
  json.key("validity_checks");
  json.beginArray();
  for (const auto& check : st.checks) WriteCheck(json, st, check);
  json.endArray();
  json.key("referential_integrity");
  json.beginArray();
  for (const auto& link : st.integrity.links) WriteLink(json, st, link);
  json.endArray();
  json.member("integrity_master", !st.integrity.master_part.empty());
  json.endObject();
}

}  // namespace vellum::cli
