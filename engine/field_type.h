// Logical field types as the engine reports them. The numeric values are part
// of the dictionary's format (their names are stored by position), so they
// must not change.
#pragma once

#include <cstdint>

namespace vellum::engine {

enum class FieldType : uint16_t {
  kUnknown = 0,
  kString = 1,
  kSmallint = 2,
  kInteger = 3,
  kWord = 4,
  kBoolean = 5,
  kFloat = 6,
  kCurrency = 7,
  kBCD = 8,
  kDate = 9,
  kTime = 10,
  kDateTime = 11,
  kBytes = 12,
  kVarBytes = 13,
  kAutoInc = 14,
  kBlob = 15,
  kMemo = 16,
  kGraphic = 17,
  kFmtMemo = 18,
  kParadoxOle = 19,
  kDBaseOle = 20,
  kTypedBinary = 21,
  kCursor = 22,
};

inline constexpr int kFieldTypeCount = 23;

// Whether values of `type` are large objects (memos, blobs, graphics, OLE),
// kept in the blob file with only a leader in the record.
constexpr bool IsLargeObjectType(FieldType type) {
  switch (type) {
    case FieldType::kBlob:
    case FieldType::kMemo:
    case FieldType::kGraphic:
    case FieldType::kFmtMemo:
    case FieldType::kParadoxOle:
    case FieldType::kDBaseOle:
    case FieldType::kTypedBinary:
      return true;
    default:
      return false;
  }
}

}  // namespace vellum::engine
