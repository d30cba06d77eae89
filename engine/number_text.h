// Numbers as text and back, the same under every locale of the C library.
//
// The C library's conversions (printf, strtod, std::stod, std::to_string of
// a double) follow the process's LC_NUMERIC, which a window toolkit sets from
// the environment: under a locale with a decimal comma they write "1,5" and
// read "1.5" as 1. Every conversion between a number and its text in the
// engine and the core goes through the functions here, which always use '.'
// and no digit grouping. Where the user's own conventions are wanted (what
// the windows and the text listing show, the dictionary's check values), the
// locale helper (dictionary/locale_helper.h) builds on them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellum::engine {

// `value` with up to `significant` significant digits (1 to 17), as printf's
// "%.*g" writes it in the C locale: fixed notation when the decimal
// exponent is at least -4 and below `significant`, scientific ("1e+20",
// "1.5e-07") otherwise, trailing zeros removed; "inf", "-inf" or "nan" for
// values that are not finite.
std::string FormatGeneral(double value, int significant = 15);

// `value` with exactly `decimals` digits after the point (0 to 30), as
// printf's "%.*f" writes it in the C locale.
std::string FormatFixed(double value, int decimals);

// The fewest digits that read back as exactly `value`, in fixed notation
// ("100000", "0.1") or, with `scientific`, in scientific notation ("1e+21",
// "1.5e-08"); "inf", "-inf" or "nan" for values that are not finite.
std::string FormatShortest(double value, bool scientific);

// A finite value rounded to `significant` significant digits (1 to 17):
// value = (negative ? -1 : 1) * 0.d1d2d3... * 10^(exponent + 1), that is
// d1.d2d3... times 10^exponent. `digits` keeps trailing zeros; zero is "0"
// followed by zeros with exponent 0.
struct RoundedDigits {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};
RoundedDigits RoundToDigits(double value, int significant);

// A whole decimal number, as std::stoll reads the whole of `text`: optional
// leading white space, an optional sign, then only digits. nullopt for
// anything else and for values beyond the range of int64_t.
std::optional<int64_t> ParseInteger(std::string_view text);

// A decimal floating-point number, as std::stod reads the whole of `text` in
// the C locale: optional leading white space, an optional sign, digits with
// at most one '.', an optional exponent ("e" or "E", a sign, digits); or
// "inf", "infinity", "nan" in any letter case. nullopt for anything else and
// for values too large or too small for a double.
std::optional<double> ParseDouble(std::string_view text);

}  // namespace vellum::engine
