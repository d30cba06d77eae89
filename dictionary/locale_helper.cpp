#include "dictionary/locale_helper.h"

#include <clocale>
#include <cmath>
#include <ctime>

#include "engine/number_text.h"

namespace vellum {

namespace {
std::optional<engine::Date> g_today;
std::optional<std::string> g_date_format;
std::optional<char> g_separator;

// Digits before the separator beyond which a value is written in scientific
// notation, and the smallest decimal exponent written in fixed notation.
constexpr int kMaxFixedExponent = 15;
constexpr int kMinFixedExponent = -5;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Copies the digits of `text` from `*i` on to `out`; returns how many.
size_t CopyDigits(std::string_view text, size_t* i, std::string* out) {
  size_t count = 0;
  for (; *i < text.size() && IsDigit(text[*i]); ++*i, ++count) *out += text[*i];
  return count;
}

}  // namespace

engine::Date Locale::Today() {
  if (g_today) return *g_today;
  // The rules ask for every posted row; the local date is worked out once a
  // second at most.
  thread_local std::time_t last_second = -1;
  thread_local engine::Date last_date{};
  std::time_t now = std::time(nullptr);
  if (now == last_second) return last_date;
  std::tm local{};
  localtime_r(&now, &local);
  last_second = now;
  last_date = engine::DateFromYmd(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return last_date;
}

std::string Locale::ShortDate(engine::Date date) {
  int y = 0, m = 0, d = 0;
  engine::YmdFromDate(date, &y, &m, &d);
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  char buf[64];
  const char* format = g_date_format ? g_date_format->c_str() : "%x";
  size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

char Locale::DecimalSeparator() {
  if (g_separator) return *g_separator;
  const std::lconv* lc = std::localeconv();
  return lc && lc->decimal_point && lc->decimal_point[0] ? lc->decimal_point[0] : '.';
}

std::string Locale::FloatToText(double value, int significant) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  const char separator = DecimalSeparator();
  engine::RoundedDigits rounded = engine::RoundToDigits(value, significant);
  std::string& digits = rounded.digits;
  const int exponent = rounded.exponent;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string text = rounded.negative ? "-" : "";
  if (exponent < kMinFixedExponent || exponent >= kMaxFixedExponent) {
    text += digits[0];
    if (digits.size() > 1) text += separator + digits.substr(1);
    text += 'E' + std::to_string(exponent);
  } else if (exponent < 0) {
    text += '0';
    text += separator;
    text += std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else {
    const size_t whole = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      text += digits + std::string(whole - digits.size(), '0');
    } else {
      text += digits.substr(0, whole) + separator + digits.substr(whole);
    }
  }
  return text;
}

std::optional<double> Locale::TextToFloat(std::string_view text) {
  std::string plain;  // the same number with '.' as separator
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) plain += text[i++];
  size_t digits = CopyDigits(text, &i, &plain);
  if (i < text.size() && text[i] == DecimalSeparator()) {
    plain += '.';
    ++i;
    digits += CopyDigits(text, &i, &plain);
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    plain += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) plain += text[i++];
    if (CopyDigits(text, &i, &plain) == 0) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  return engine::ParseDouble(plain);
}

void Locale::SetTodayForTesting(std::optional<engine::Date> today) { g_today = today; }
void Locale::SetShortDateFormatForTesting(std::optional<std::string> format) {
  g_date_format = std::move(format);
}
void Locale::SetDecimalSeparatorForTesting(std::optional<char> separator) {
  g_separator = separator;
}

}  // namespace vellum
