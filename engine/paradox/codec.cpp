#include "engine/paradox/codec.h"

#include <cmath>

namespace vellum::engine::paradox {

bool IsAllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

std::optional<int16_t> DecodeShort(const uint8_t* p) {
  if (p[0] == 0 && p[1] == 0) return std::nullopt;
  auto u = static_cast<uint16_t>((p[0] ^ 0x80) << 8 | p[1]);
  return static_cast<int16_t>(u);
}

void EncodeShort(uint8_t* p, int16_t v) {
  auto u = static_cast<uint16_t>(v);
  p[0] = static_cast<uint8_t>((u >> 8) ^ 0x80);
  p[1] = static_cast<uint8_t>(u);
}

std::optional<int32_t> DecodeLong(const uint8_t* p) {
  if (IsAllZero(p, 4)) return std::nullopt;
  uint32_t u = static_cast<uint32_t>(p[0] ^ 0x80) << 24 | static_cast<uint32_t>(p[1]) << 16 |
               static_cast<uint32_t>(p[2]) << 8 | p[3];
  return static_cast<int32_t>(u);
}

void EncodeLong(uint8_t* p, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>((u >> 24) ^ 0x80);
  p[1] = static_cast<uint8_t>(u >> 16);
  p[2] = static_cast<uint8_t>(u >> 8);
  p[3] = static_cast<uint8_t>(u);
}

std::optional<double> DecodeDouble(const uint8_t* p) {
  uint8_t b[8];
  if (p[0] & 0x80) {
    std::memcpy(b, p, 8);
    b[0] &= 0x7F;
  } else {
    if (IsAllZero(p, 8)) return std::nullopt;
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(~p[i]);
  }
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = u << 8 | b[i];
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}

void EncodeDouble(uint8_t* p, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(u);
    u >>= 8;
  }
  if (p[0] & 0x80) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(~p[i]);
  } else {
    p[0] |= 0x80;
  }
}

std::optional<bool> DecodeLogical(const uint8_t* p) {
  if (p[0] == 0) return std::nullopt;
  return (p[0] ^ 0x80) != 0;
}

void EncodeLogical(uint8_t* p, bool v) { p[0] = v ? 0x81 : 0x80; }

std::optional<std::string> DecodeBcd(const uint8_t* p, int scale) {
  if (IsAllZero(p, 17)) return std::nullopt;
  bool negative = (p[0] & 0x80) == 0;
  if (scale < 0) scale = 0;
  if (scale > 32) scale = 32;
  char digits[32];
  for (int i = 0; i < 32; ++i) {
    uint8_t byte = p[1 + i / 2];
    int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    if (negative) nibble ^= 0x0F;
    if (nibble > 9) nibble = 9;  // nibbles A-F occur in some files; keep the text a number
    digits[i] = static_cast<char>('0' + nibble);
  }
  int int_digits = 32 - scale;
  std::string int_part(digits, digits + int_digits);
  size_t first = int_part.find_first_not_of('0');
  int_part = first == std::string::npos ? "0" : int_part.substr(first);
  std::string text = int_part;
  if (scale > 0) text += "." + std::string(digits + int_digits, digits + 32);
  bool zero = text.find_first_not_of("0.") == std::string::npos;
  if (negative && !zero) text = "-" + text;
  return text;
}

bool EncodeBcd(uint8_t* p, int scale, const std::string& text) {
  if (scale < 0 || scale > 32) return false;
  size_t i = 0;
  bool negative = false;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string int_part, frac_part;
  bool seen_point = false, any_digit = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      (seen_point ? frac_part : int_part).push_back(c);
      any_digit = true;
    } else if ((c == '.' || c == ',') && !seen_point) {
      seen_point = true;
    } else if (c == ' ') {
      break;
    } else {
      return false;
    }
  }
  for (; i < text.size(); ++i) {
    if (text[i] != ' ') return false;
  }
  if (!any_digit) return false;
  // Round the fraction to `scale` digits, half away from zero.
  bool round_up =
      frac_part.size() > static_cast<size_t>(scale) && frac_part[static_cast<size_t>(scale)] >= '5';
  frac_part.resize(static_cast<size_t>(scale), '0');
  size_t first = int_part.find_first_not_of('0');
  int_part = first == std::string::npos ? "" : int_part.substr(first);
  std::string all = int_part + frac_part;
  if (round_up) {
    int k = static_cast<int>(all.size()) - 1;
    while (k >= 0 && all[static_cast<size_t>(k)] == '9') all[static_cast<size_t>(k--)] = '0';
    if (k >= 0) {
      ++all[static_cast<size_t>(k)];
    } else {
      all.insert(all.begin(), '1');
    }
  }
  if (all.size() > 32) return false;
  all.insert(all.begin(), 32 - all.size(), '0');
  if (all.find_first_not_of('0') == std::string::npos) negative = false;
  p[0] = static_cast<uint8_t>((negative ? 0x40 : 0xC0) | scale);
  for (size_t d = 0; d < 16; ++d) {
    int hi = all[2 * d] - '0';
    int lo = all[2 * d + 1] - '0';
    if (negative) {
      hi ^= 0x0F;
      lo ^= 0x0F;
    }
    p[1 + d] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace vellum::engine::paradox
