// Today's date, the short date format and the decimal separator, in one
// place so that tests can fix them.
#pragma once

#include <optional>
#include <string>

#include "engine/value.h"

namespace vellum {

class Locale {
 public:
  // Today's date in the local time zone (or the date fixed by a test).
  static engine::Date Today();
  // The date in the system's short date format (or the test's format, a
  // strftime pattern such as "%d/%m/%Y").
  static std::string ShortDate(engine::Date date);
  // The user's decimal separator.
  static char DecimalSeparator();

  static void SetTodayForTesting(std::optional<engine::Date> today);
  static void SetShortDateFormatForTesting(std::optional<std::string> format);
  static void SetDecimalSeparatorForTesting(std::optional<char> separator);
};

}  // namespace vellum
