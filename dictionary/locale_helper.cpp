#include "dictionary/locale_helper.h"

#include <clocale>
#include <ctime>

namespace vellum {

namespace {
std::optional<engine::Date> g_today;
std::optional<std::string> g_date_format;
std::optional<char> g_separator;
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

void Locale::SetTodayForTesting(std::optional<engine::Date> today) { g_today = today; }
void Locale::SetShortDateFormatForTesting(std::optional<std::string> format) {
  g_date_format = std::move(format);
}
void Locale::SetDecimalSeparatorForTesting(std::optional<char> separator) {
  g_separator = separator;
}

}  // namespace vellum
