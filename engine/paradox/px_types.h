// Paradox storage types and the per-field layout of a record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/field_type.h"

namespace vellum::engine::paradox {

// Type byte of a field in a table header.
enum class PxType : uint8_t {
  kAlpha = 0x01,
  kDate = 0x02,
  kShort = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kNumber = 0x06,
  kLogical = 0x09,
  kMemo = 0x0C,
  kBinary = 0x0D,
  kFmtMemo = 0x0E,
  kOle = 0x0F,
  kGraphic = 0x10,
  kTime = 0x14,
  kTimestamp = 0x15,
  kAutoInc = 0x16,
  kBcd = 0x17,
  kBytes = 0x18,
};

// True when `type` is a type byte this engine knows.
bool IsKnownPxType(uint8_t type);
bool IsBlobType(PxType type);
// Bytes the field takes in a record, from its type and the header's size byte.
// Returns 0 for a size byte the type does not allow.
int StorageSize(PxType type, uint8_t size_byte);
// Lowest table level that can hold a field of this type.
int MinimumLevel(PxType type);
// Storage type of a logical type; false when Paradox has no such field.
bool PxTypeFor(FieldType t, PxType* out);
// Logical type the engine reports for a storage type.
FieldType LogicalTypeOf(PxType type);
// Size reported with the logical type: the length for Alpha and Bytes, the
// number of decimals for BCD, the leader length for blobs, 0 otherwise.
int ReportedSize(PxType type, uint8_t size_byte);
// One-letter code of a type as Paradox shows it ("A", "N", "$", ...).
const char* PxTypeLetter(PxType type);

// A field as laid out in the records of a table-format file.
struct PxField {
  std::string name;
  PxType type = PxType::kAlpha;
  uint8_t size_byte = 0;    // the header's size byte
  uint16_t offset = 0;      // offset in the record
  uint16_t length = 0;      // bytes in the record
  bool descending = false;  // X files: bit 15 of the field number

  // Leader length of a blob field (bytes of the value kept in the record).
  int leaderLength() const { return length - 10; }
};

}  // namespace vellum::engine::paradox
