// The table definition builder: turns one table's rows in the dictionary
// (its DDFields and DDIndex rows) into the table descriptor that the engine's
// BuildTable creates or restructures a table from.
//
// The descriptor carries no logical field types but storage type and subtype
// codes, unit counts, lengths and offsets, all derived from the logical type
// by one fixed table (LayoutOf). Indexes name their key fields by position in
// the descriptor's field list; a primary key must lead the table. Validity
// checks carry their minimum, maximum and default values in the engine's
// native little-endian form.
//
// What the dictionary keeps of a table beyond its rows (table_properties.h)
// goes into the descriptor too: the file properties, the pictures and table
// lookups of its fields, and its referential-integrity links.
//
// The descriptor owns everything it holds; the caller fills its operation
// codes (the regenerator does) and releases it after the engine call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/table_properties.h"
#include "engine/dataset.h"
#include "engine/field_type.h"
#include "engine/table_descriptor.h"

namespace vellum::rebuild {

// How a logical field type is stored: the engine's storage type and subtype
// codes, the two unit counts and the length in bytes of the field in a record.
struct FieldLayout {
  uint16_t storage_type = 0;
  uint16_t storage_subtype = 0;
  int16_t units1 = 0;
  int16_t units2 = 0;
  uint16_t length = 0;
};

// The layout of a field of logical type `type` and size `size` (the
// dictionary's Lunghezza: characters for String, bytes for Bytes, decimals for
// BCD, the part kept in the record for large objects). A value above the last
// logical type is laid out like Unknown.
FieldLayout LayoutOf(engine::FieldType type, int size);

// Length in bytes of a field of logical type `type` and size `size`; 0 for a
// value above the last logical type.
uint16_t FieldLength(engine::FieldType type, int size);

// Largest number of fields, indexes or validity checks a descriptor holds, and
// of key fields per index. Definitions beyond them are refused.
inline constexpr size_t kMaxTableElements = engine::kMaxDescriptorEntries;
inline constexpr size_t kMaxIndexKeyFields = engine::kMaxKeyFields;

// Builds the descriptor of table `table_name` in `output_directory`.
//
// `fields` is a cursor on DDFields limited to the table's rows and ordered by
// position; `indexes` a cursor on DDIndex limited likewise and ordered by
// index name. Both are read from their first row to their end and left there.
// When `level` is above 0 the descriptor carries the optional parameter
// "LEVEL" with the level as decimal text. Operation codes are left at kNone,
// one per element.
//
// A field gets a validity check when its row has a minimum, maximum or
// default, is required (a required field with no value gets a check with the
// required flag alone, so that it stays required), or has a picture or a
// table lookup in `properties`. With `properties` the descriptor also asks
// for their code page, block size and referential-integrity links, and for
// their sort order where the engine keeps it at `level`: a collation the
// engine does not implement gives way, when an index orders a String field,
// to the binary order of the code page. Each such change, and each item of
// `properties` whose field the rows no longer have (left out), is told in a
// sentence appended to `notes` (when given).
//
// Raises vellum::Error with the message of the first failure: an unknown type
// name, a key field the table lacks, a primary key that does not lead the
// table, a validity value of an unsupported type or one that is not a valid
// number, or more elements than a descriptor holds.
engine::TableDescriptor BuildTableDescriptor(
    const std::string& output_directory, const std::string& table_name, engine::Dataset& fields,
    engine::Dataset& indexes, int level, const dictionary::TableProperties* properties = nullptr,
    std::vector<std::string>* notes = nullptr);

// The table level that `level_text` ("3", "3.5", "4", "5", "7") names, as
// the engine writes it: 3.5 is written as 3; 0 when the text names none.
int LevelOf(const std::string& level_text);

// Frees the descriptor's field, index and validity-check lists and its
// optional parameters, leaving it empty.
void ReleaseTableDescriptor(engine::TableDescriptor& descriptor);

}  // namespace vellum::rebuild
