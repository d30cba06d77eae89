// Byte encodings of Paradox field values.
//
// Control information (headers, block headers, blob descriptors, .VAL
// structure) is little-endian. Field data in records is big-endian with a sign
// transformation so that memcmp sorts it and all-zero bytes mean NULL.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace vellum::engine::paradox {

// Little-endian control words.
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

bool IsAllZero(const uint8_t* p, size_t n);

// Short (2 bytes), Long/Date/Time/AutoInc (4 bytes). nullopt = NULL.
std::optional<int16_t> DecodeShort(const uint8_t* p);
void EncodeShort(uint8_t* p, int16_t v);
std::optional<int32_t> DecodeLong(const uint8_t* p);
void EncodeLong(uint8_t* p, int32_t v);
// Number, Money, Timestamp (8 bytes).
std::optional<double> DecodeDouble(const uint8_t* p);
void EncodeDouble(uint8_t* p, double v);
// Logical (1 byte).
std::optional<bool> DecodeLogical(const uint8_t* p);
void EncodeLogical(uint8_t* p, bool v);
// BCD (17 bytes) with `scale` decimals. Returns canonical text ("-1.23").
std::optional<std::string> DecodeBcd(const uint8_t* p, int scale);
// Encodes decimal text; returns false when the text is not a number or does
// not fit in 32 digits with `scale` decimals (extra decimals are rounded off).
bool EncodeBcd(uint8_t* p, int scale, const std::string& text);

}  // namespace vellum::engine::paradox
