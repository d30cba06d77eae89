#include "engine/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace vellum::engine {

namespace {

// Room for any double in any of the formats used here: 17 significant
// digits, a sign, a point, an exponent, or 309 integer digits and 30
// decimals in fixed notation.
constexpr size_t kBufferSize = 384;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `text` without its leading white space and a leading '+' (which
// std::from_chars does not take); nullopt when the '+' is followed by
// another sign.
std::optional<std::string_view> StripLead(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  text.remove_prefix(i);
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) return std::nullopt;
  }
  return text;
}

std::string ToChars(double value, std::chars_format format, int precision) {
  char buffer[kBufferSize];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string FormatGeneral(double value, int significant) {
  return ToChars(value, std::chars_format::general, std::clamp(significant, 1, 17));
}

std::string FormatFixed(double value, int decimals) {
  return ToChars(value, std::chars_format::fixed, std::clamp(decimals, 0, 30));
}

std::string FormatShortest(double value, bool scientific) {
  char buffer[kBufferSize];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value,
                    scientific ? std::chars_format::scientific : std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

RoundedDigits RoundToDigits(double value, int significant) {
  significant = std::clamp(significant, 1, 17);
  RoundedDigits rounded;
  if (!std::isfinite(value)) return rounded;
  // "-d.ddde+XX": the rounded digits and the decimal exponent.
  const std::string text = ToChars(value, std::chars_format::scientific, significant - 1);
  size_t i = 0;
  if (text[i] == '-') {
    rounded.negative = true;
    ++i;
  }
  for (; i < text.size() && text[i] != 'e'; ++i) {
    if (text[i] != '.') rounded.digits += text[i];
  }
  if (i < text.size()) {
    rounded.exponent =
        static_cast<int>(ParseInteger(std::string_view(text).substr(i + 1)).value_or(0));
  }
  return rounded;
}

std::optional<int64_t> ParseInteger(std::string_view text) {
  const std::optional<std::string_view> plain = StripLead(text);
  if (!plain || plain->empty()) return std::nullopt;
  int64_t value = 0;
  const char* end = plain->data() + plain->size();
  const auto [ptr, ec] = std::from_chars(plain->data(), end, value, 10);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::optional<double> ParseDouble(std::string_view text) {
  const std::optional<std::string_view> plain = StripLead(text);
  if (!plain || plain->empty()) return std::nullopt;
  double value = 0;
  const char* end = plain->data() + plain->size();
  const auto [ptr, ec] = std::from_chars(plain->data(), end, value, std::chars_format::general);
  if (ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

}  // namespace vellum::engine
