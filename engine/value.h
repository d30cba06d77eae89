// Typed field values at the engine's API.
//
// Text is UTF-8; dates are day numbers where 1 January 0001 (proleptic
// Gregorian) is day 1; times are milliseconds since midnight; timestamps are
// day number * 86,400,000 + milliseconds; BCD values are kept as canonical
// decimal text so that no digit is lost.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vellum::engine {

using Bytes = std::vector<uint8_t>;

struct Date {
  int32_t day = 0;
  bool operator==(const Date&) const = default;
};
struct TimeOfDay {
  int32_t ms = 0;
  bool operator==(const TimeOfDay&) const = default;
};
struct Timestamp {
  double ms = 0;
  bool operator==(const Timestamp&) const = default;
};
struct Decimal {
  std::string text;  // e.g. "-12.50", as many decimals as the field's scale
  bool operator==(const Decimal&) const = default;
};

// NULL is std::monostate. Integers of every width are int64_t; Number and
// Money are double; Alpha and memo text is std::string; Bytes, binary blobs,
// graphics, OLE and formatted memos are Bytes.
using Value = std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Date,
                           TimeOfDay, Timestamp, Decimal>;

inline bool IsNull(const Value& v) { return std::holds_alternative<std::monostate>(v); }

// Calendar helpers.
Date DateFromYmd(int year, int month, int day);
void YmdFromDate(Date date, int* year, int* month, int* day);
// "YYYY-MM-DD", "HH:MM:SS.mmm", "YYYY-MM-DD HH:MM:SS.mmm".
std::string DateToIso(Date date);
std::string TimeToIso(TimeOfDay time);
std::string TimestampToIso(Timestamp ts);

// A short, stable text of any value (for dumps and messages). NULL is "".
std::string ValueToText(const Value& v);

}  // namespace vellum::engine
