// What the dictionary keeps of a table beyond its fields, indexes and the
// values of its validity checks: the properties of its files (code page,
// sort order, level, block size), the pictures and table lookups of its
// fields, and its referential-integrity links. The loader records them from
// the table; a rebuild gives them back, so a table rebuilt in place, into
// another directory or anew keeps what it had.
//
// They live in DDProps, one row per item, owned by the DDTables row whose
// Codice is the row's CodTabella:
//
//   Voce            Numero  Nome   Campi           Valore           Opzioni      CampiMaster  Dati
//   "CodePage"      1              -               the number       -            -            -
//   "SortOrder"     1              -               its name         its id byte  -            -
//   "Level"         1              -               "3" ... "7"      -            -            -
//   "BlockSize"     1              -               bytes            -            -            -
//   "IntegrityFlag" 1              -               -                header 0x55  -            -
//   "Picture"       1..n           field name      the picture      -            -            -
//   "Lookup"        1..n           field name      lookup table     its options  -            -
//   "Link"          1..n    name   field names     master table     1 cascade    master field the
//   link's
//                                  (";"-joined)                     0 prohibit   numbers stored
//                                  bytes
//   "MasterPart"    1              -               -                -            -            bytes
//
// Bytes are written as hexadecimal text. Fields are named, not numbered, so
// an item follows its field when the dictionary's field rows are reordered.
// A table without rows in DDProps was loaded before DDProps existed: it has
// no recorded properties (ReadTableProperties gives nothing).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/dataset.h"
#include "engine/paradox/table.h"
#include "engine/value.h"

namespace vellum::dictionary {

struct FieldPicture {
  std::string field;
  std::string picture;
  bool operator==(const FieldPicture&) const = default;
};

struct FieldLookup {
  std::string field;
  std::string table;    // file name of the lookup table
  uint8_t options = 0;  // engine::paradox::kLookupAllFields | kLookupHelpAndFill
  bool operator==(const FieldLookup&) const = default;
};

struct LinkProperties {
  std::string name;
  std::vector<std::string> fields;  // this table's fields, by name
  std::string master_table;
  std::vector<uint16_t> master_fields;  // 1-based positions in the master table
  bool cascade = false;
  std::vector<uint8_t> stored;  // the link as the table's file held it
  bool operator==(const LinkProperties&) const = default;
};

struct TableProperties {
  int code_page = 0;
  std::string sort_order;  // name; empty for a level-3 table
  int sort_order_byte = 0;
  std::string level;        // "3", "3.5", "4", "5" or "7"
  uint32_t block_size = 0;  // bytes
  uint8_t integrity_flag = 0;
  std::vector<FieldPicture> pictures;
  std::vector<FieldLookup> lookups;
  std::vector<LinkProperties> links;
  std::vector<uint8_t> master_part;

  bool operator==(const TableProperties&) const = default;
};

// The properties of an open table, as its structure reports them.
TableProperties PropertiesOf(const engine::paradox::TableStructure& table);

// The texts that DDProps rows would hold for `properties`, each with the
// size of its column in characters and what it is (for messages): every one
// must fit its column in the dictionary's code page.
struct PropertyText {
  std::string text;
  int column_size = 0;
  std::string what;
};
std::vector<PropertyText> PropertyTexts(const TableProperties& properties);

// Replaces the DDProps rows of the table whose code is `code` by rows for
// `properties`. `view` is a DDProps view showing exactly that table's rows
// (the data module's tblProps on the table's DDTables row).
void WriteTableProperties(engine::Dataset& view, const engine::Value& code,
                          const TableProperties& properties);

// The properties recorded in the rows of `rows`, a DDProps cursor limited to
// one table's rows; nothing when there are none. Rows of an unknown kind are
// passed over; a row that cannot be made out (a number that is none, bytes
// that are not hexadecimal) raises vellum::Error naming it.
std::optional<TableProperties> ReadTableProperties(engine::Dataset& rows);

}  // namespace vellum::dictionary
