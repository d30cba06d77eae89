// The names of the logical field types, as the dictionary stores them in
// DDFields.Tipo. A name's position in FieldTypeNames is the numeric value of
// the engine's logical field type, so the order is part of the stored format.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/field_type.h"

namespace vellum::dictionary {

inline constexpr std::array<std::string_view, engine::kFieldTypeCount> FieldTypeNames = {
    "Unknown", "String",     "Smallint", "Integer",     "Word",  "Boolean",
    "Float",   "Currency",   "BCD",      "Date",        "Time",  "DateTime",
    "Bytes",   "VarBytes",   "AutoInc",  "Blob",        "Memo",  "Graphic",
    "FmtMemo", "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor"};

// The 17 names offered where a user edits a field's type by hand, in order.
inline constexpr std::array<std::string_view, 17> FieldTypeChoices = {
    "String", "Smallint", "Integer",  "AutoInc", "Word",     "Boolean", "Float", "Currency", "BCD",
    "Date",   "Time",     "DateTime", "Bytes",   "VarBytes", "Blob",    "Memo",  "Graphic"};

// Name of a logical field type (values 0..22 as the engine reports them).
std::string FieldTypeName(engine::FieldType type);

// Width of DDFields.Tipo: longer names ("ParadoxOle", "TypedBinary") are
// stored cut to it.
inline constexpr size_t kStoredTypeNameWidth = 8;

// The logical type whose name equals `text` exactly (case-sensitive, no
// trimming), or whose name, cut to the width DDFields.Tipo stores, does:
// "ParadoxO" is the ParadoxOle the loader stored. Raises vellum::Error
// "Unknown data type "<text>"" otherwise.
engine::FieldType FieldTypeFromName(const std::string& text);

}  // namespace vellum::dictionary
