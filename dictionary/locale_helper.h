// Today's date, the short date format and the decimal separator, in one
// place so that tests can fix them; and the numbers the user reads and types
// (the windows' cells, the dictionary's check values), written and read with
// the user's decimal separator. Everything else converts numbers with the
// locale-independent functions of engine/number_text.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/value.h"

namespace vellum {

class Locale {
 public:
  // Today's date in the local time zone (or the date fixed by a test).
  static engine::Date Today();
  // The date in the system's short date format (or the test's format, a
  // strftime pattern such as "%d/%m/%Y").
  static std::string ShortDate(engine::Date date);
  // The user's decimal separator: that of the C library's LC_NUMERIC locale
  // (which the desktop program sets from the environment), or the test's.
  static char DecimalSeparator();

  // A floating-point value in general number format with DecimalSeparator():
  // rounded to `significant` significant digits (1 to 17) without trailing
  // zeros, in fixed notation when it has at most 15 digits before the
  // separator and is at least 0.00001 in magnitude ("1,5", "0,00001",
  // "100"), otherwise in scientific notation ("1,5E20", "1E-7"); "NAN",
  // "INF" or "-INF" for values that are not finite.
  static std::string FloatToText(double value, int significant = 15);
  // The way back: an optional sign, digits with at most one
  // DecimalSeparator() (at least one digit in all) and an optional exponent
  // ("E" or "e", an optional sign, digits); nothing else, no blanks. nullopt
  // for any other text and for values beyond the range of a double.
  static std::optional<double> TextToFloat(std::string_view text);

  static void SetTodayForTesting(std::optional<engine::Date> today);
  static void SetShortDateFormatForTesting(std::optional<std::string> format);
  static void SetDecimalSeparatorForTesting(std::optional<char> separator);
};

}  // namespace vellum
