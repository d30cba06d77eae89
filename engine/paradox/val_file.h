// The .VAL file: validity checks (required, minimum, maximum, default,
// picture, table lookup) of a table's fields, and the table's part in
// referential-integrity links.
//
// Values in the file are in record encoding (big-endian with the sign
// transformation, text in the table's code page). At this API they are in the
// engine's native little-endian form, 256 bytes per value:
//   Alpha                     characters (UTF-8) then a zero byte, at most 255 bytes
//   Short                     2 bytes, signed
//   Long, AutoInc             4 bytes, signed
//   Logical                   2 bytes, 0xFFFF true, 0 false
//   Number, Money             8 bytes, IEEE 754 double
//   Date                      4 bytes, signed day number (1 = 1 January 0001)
//   Time                      4 bytes, signed milliseconds since midnight
//   Timestamp                 8 bytes, double: day number * 86,400,000 + ms
//   BCD, Bytes                the record bytes unchanged
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/field_type.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/px_types.h"
#include "engine/value.h"

namespace vellum::engine::paradox {

// Lookup options of a check (its entry's byte 3).
inline constexpr uint8_t kLookupAllFields = 0x01;    // fill all corresponding fields
inline constexpr uint8_t kLookupHelpAndFill = 0x02;  // help and fill (else fill, no help)

struct ValidityCheck {
  uint16_t field_number = 0;  // 1-based position in the table
  bool required = false;
  bool has_min = false;
  bool has_max = false;
  bool has_default = false;
  std::array<uint8_t, 256> min{};
  std::array<uint8_t, 256> max{};
  std::array<uint8_t, 256> def{};
  std::string picture;         // UTF-8, empty when none
  std::string lookup_table;    // UTF-8 file name of the lookup table, empty when none
  uint8_t lookup_options = 0;  // kLookupAllFields | kLookupHelpAndFill

  bool operator==(const ValidityCheck&) const = default;
};

// A referential-integrity link in which this table is the child: the values
// of `fields` must exist as the key `master_fields` of `master_table`.
struct RefIntegrityLink {
  std::string name;                     // UTF-8
  std::string master_table;             // UTF-8 file name as the link names it ("ORDERS.DB")
  std::vector<uint16_t> fields;         // 1-based positions in this table
  std::vector<uint16_t> master_fields;  // 1-based positions in the master table
  bool cascade = false;                 // updates of the master key cascade (else prohibited)
  // The link's entry as the file held it (empty for a new link). The parts
  // this API does not model are written back from it unchanged; the update
  // rule and both field lists always come from the members above.
  std::vector<uint8_t> stored;

  bool operator==(const RefIntegrityLink&) const = default;
};

struct RefIntegrity {
  std::vector<RefIntegrityLink> links;
  // The master's part (links of other tables to this one), kept as the file
  // held it; empty when the file has none. It names the other tables and this
  // table's primary key, which a rebuild does not renumber.
  std::vector<uint8_t> master_part;

  bool empty() const { return links.empty() && master_part.empty(); }
  bool operator==(const RefIntegrity&) const = default;
};

// What a .VAL header and footer repeat of their table. The table name and the
// field names are text as the table's header holds it (in its code page); the
// writer stores them unchanged and the reader matches the footer's names
// against them, ignoring ASCII letter case.
struct ValTableInfo {
  std::string table_name;          // file name of the table, e.g. "CUSTOMER.DB"
  uint8_t file_version_id = 0x09;  // the table's header byte 0x39
  uint8_t change_count2 = 1;       // the table's header byte 0x2E
  uint16_t hi_field_id = 0;        // the table's header 0x64 (numFields + 1 normally)
  int key_fields = 0;              // number of primary-key fields
  std::vector<PxField> fields;     // the table's fields in order
};

// Reads the checks of a .VAL file for a table with `info.fields` and, when
// `integrity` is given, its referential-integrity links. Damage is reported
// as data corruption naming the file.
// Level-3 tables (version byte 0x01) have an older layout without footer and
// without referential integrity, whose entries name the table's own fields.
// A later file's footer lists the fields the checks were written for; when it
// no longer matches the table (an outdated file), checks and links follow
// their fields by name (by position when a name is gone but the field counts
// agree and the type there is the same), checks and links of fields the table
// no longer has are left out, and the values of a field whose type changed
// are dropped while its required flag, picture and lookup are kept.
std::vector<ValidityCheck> ReadValFile(FileSystem& fs, const std::string& path,
                                       const ValTableInfo& info, const CodePage& code_page,
                                       RefIntegrity* integrity = nullptr);

// Writes a .VAL file holding `checks` (sorted by field number by the caller)
// and `integrity`, in the layout of the table's version (the old one for
// level 3). A zero `info.hi_field_id` is written as the field count + 1.
// Raises EDBEngineError (invalid request) for a check or link on a field the
// table lacks, checks out of order, a value on a blob field, text the code
// page cannot hold, referential integrity in a level-3 table, or an unknown
// table version.
void WriteValFile(FileSystem& fs, const std::string& path, const ValTableInfo& info,
                  const std::vector<ValidityCheck>& checks, const CodePage& code_page,
                  const RefIntegrity& integrity = {});

// Conversions of one value between record encoding (`record`, the field's
// length in bytes) and native form (`native`, 256 bytes).
void RecordToNative(const PxField& field, const uint8_t* record, uint8_t* native,
                    const CodePage& code_page);
void NativeToRecord(const PxField& field, const uint8_t* native, uint8_t* record,
                    const CodePage& code_page);

// The value a check holds in native form, for a field of logical type `type`
// and reported size `size` (the decimals of a BCD field, the length of a
// Bytes field): String text up to the first zero byte (at most 255 bytes);
// Smallint from 2 bytes and Integer, Word and AutoInc from 4, signed
// (int64_t); Boolean from 2 bytes, true when not zero; Float and Currency a
// double; Date, Time and DateTime as Date, TimeOfDay and Timestamp; BCD as
// its Decimal text; Bytes the first `size` bytes (at most 256). nullopt for
// the types that hold no check value (blobs, memos, the unknown types) and
// for BCD bytes that are no number. The one decoder of check values: the
// loader, describe and the restructure read them through it.
std::optional<Value> CheckValueOf(FieldType type, int size, const std::array<uint8_t, 256>& native);

}  // namespace vellum::engine::paradox
