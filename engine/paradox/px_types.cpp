#include "engine/paradox/px_types.h"

namespace vellum::engine::paradox {

bool IsKnownPxType(uint8_t type) {
  switch (type) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
      return true;
    default:
      return false;
  }
}

bool IsBlobType(PxType type) {
  switch (type) {
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      return true;
    default:
      return false;
  }
}

int StorageSize(PxType type, uint8_t size_byte) {
  switch (type) {
    case PxType::kAlpha:
    case PxType::kBytes:
      return size_byte >= 1 ? size_byte : 0;
    case PxType::kDate:
    case PxType::kLong:
    case PxType::kTime:
    case PxType::kAutoInc:
      return size_byte == 4 ? 4 : 0;
    case PxType::kShort:
      return size_byte == 2 ? 2 : 0;
    case PxType::kMoney:
    case PxType::kNumber:
    case PxType::kTimestamp:
      return size_byte == 8 ? 8 : 0;
    case PxType::kLogical:
      return size_byte == 1 ? 1 : 0;
    case PxType::kBcd:
      return size_byte <= 32 ? 17 : 0;
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      return size_byte >= 10 ? size_byte : 0;
  }
  return 0;
}

int MinimumLevel(PxType type) {
  switch (type) {
    case PxType::kLong:
    case PxType::kTime:
    case PxType::kTimestamp:
    case PxType::kLogical:
    case PxType::kAutoInc:
    case PxType::kBcd:
    case PxType::kBytes:
      return 5;
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      return 4;
    default:
      return 3;
  }
}

bool PxTypeFor(FieldType t, PxType* out) {
  switch (t) {
    case FieldType::kString:
      *out = PxType::kAlpha;
      return true;
    case FieldType::kSmallint:
      *out = PxType::kShort;
      return true;
    case FieldType::kInteger:
      *out = PxType::kLong;
      return true;
    case FieldType::kBoolean:
      *out = PxType::kLogical;
      return true;
    case FieldType::kFloat:
      *out = PxType::kNumber;
      return true;
    case FieldType::kCurrency:
      *out = PxType::kMoney;
      return true;
    case FieldType::kBCD:
      *out = PxType::kBcd;
      return true;
    case FieldType::kDate:
      *out = PxType::kDate;
      return true;
    case FieldType::kTime:
      *out = PxType::kTime;
      return true;
    case FieldType::kDateTime:
      *out = PxType::kTimestamp;
      return true;
    case FieldType::kBytes:
      *out = PxType::kBytes;
      return true;
    case FieldType::kAutoInc:
      *out = PxType::kAutoInc;
      return true;
    case FieldType::kBlob:
      *out = PxType::kBinary;
      return true;
    case FieldType::kMemo:
      *out = PxType::kMemo;
      return true;
    case FieldType::kGraphic:
      *out = PxType::kGraphic;
      return true;
    case FieldType::kFmtMemo:
      *out = PxType::kFmtMemo;
      return true;
    case FieldType::kParadoxOle:
      *out = PxType::kOle;
      return true;
    default:
      return false;
  }
}

FieldType LogicalTypeOf(PxType type) {
  switch (type) {
    case PxType::kAlpha:
      return FieldType::kString;
    case PxType::kDate:
      return FieldType::kDate;
    case PxType::kShort:
      return FieldType::kSmallint;
    case PxType::kLong:
      return FieldType::kInteger;
    case PxType::kMoney:
      return FieldType::kCurrency;
    case PxType::kNumber:
      return FieldType::kFloat;
    case PxType::kLogical:
      return FieldType::kBoolean;
    case PxType::kMemo:
      return FieldType::kMemo;
    case PxType::kBinary:
      return FieldType::kBlob;
    case PxType::kFmtMemo:
      return FieldType::kFmtMemo;
    case PxType::kOle:
      return FieldType::kParadoxOle;
    case PxType::kGraphic:
      return FieldType::kGraphic;
    case PxType::kTime:
      return FieldType::kTime;
    case PxType::kTimestamp:
      return FieldType::kDateTime;
    case PxType::kAutoInc:
      return FieldType::kAutoInc;
    case PxType::kBcd:
      return FieldType::kBCD;
    case PxType::kBytes:
      return FieldType::kBytes;
  }
  return FieldType::kUnknown;
}

int ReportedSize(PxType type, uint8_t size_byte) {
  switch (type) {
    case PxType::kAlpha:
    case PxType::kBytes:
    case PxType::kBcd:
      return size_byte;
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      return size_byte >= 10 ? size_byte - 10 : 0;
    default:
      return 0;
  }
}

const char* PxTypeLetter(PxType type) {
  switch (type) {
    case PxType::kAlpha:
      return "A";
    case PxType::kDate:
      return "D";
    case PxType::kShort:
      return "S";
    case PxType::kLong:
      return "I";
    case PxType::kMoney:
      return "$";
    case PxType::kNumber:
      return "N";
    case PxType::kLogical:
      return "L";
    case PxType::kMemo:
      return "M";
    case PxType::kBinary:
      return "B";
    case PxType::kFmtMemo:
      return "F";
    case PxType::kOle:
      return "O";
    case PxType::kGraphic:
      return "G";
    case PxType::kTime:
      return "T";
    case PxType::kTimestamp:
      return "@";
    case PxType::kAutoInc:
      return "+";
    case PxType::kBcd:
      return "#";
    case PxType::kBytes:
      return "Y";
  }
  return "?";
}

}  // namespace vellum::engine::paradox
