#include "engine/value.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "engine/number_text.h"

namespace vellum::engine {

namespace {
constexpr int32_t kUnixEpochDay = 719163;  // 1970-01-01
}

Date DateFromYmd(int year, int month, int day) {
  using namespace std::chrono;
  sys_days d =
      year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                     std::chrono::day{static_cast<unsigned>(day)}};
  return Date{static_cast<int32_t>(d.time_since_epoch().count() + kUnixEpochDay)};
}

void YmdFromDate(Date date, int* year, int* month, int* day) {
  using namespace std::chrono;
  year_month_day ymd{sys_days{days{date.day - kUnixEpochDay}}};
  *year = static_cast<int>(ymd.year());
  *month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  *day = static_cast<int>(static_cast<unsigned>(ymd.day()));
}

std::string DateToIso(Date date) {
  if (date.day < 1 || date.day > 3652059) return std::to_string(date.day);
  int y = 0, m = 0, d = 0;
  YmdFromDate(date, &y, &m, &d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string TimeToIso(TimeOfDay time) {
  int32_t ms = time.ms;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return buf;
}

std::string TimestampToIso(Timestamp ts) {
  // Days 1..3652059 are the years 1 to 9999; anything else (damaged data)
  // is shown as the raw number.
  if (!std::isfinite(ts.ms) || ts.ms < 86400000.0 || ts.ms >= 3652060.0 * 86400000.0) {
    return FormatGeneral(ts.ms, 17);
  }
  double total = std::floor(ts.ms);
  auto day = static_cast<int64_t>(std::floor(total / 86400000.0));
  auto ms = static_cast<int64_t>(total - static_cast<double>(day) * 86400000.0);
  return DateToIso(Date{static_cast<int32_t>(day)}) + " " +
         TimeToIso(TimeOfDay{static_cast<int32_t>(ms)});
}

std::string ValueToText(const Value& v) {
  struct Visitor {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const { return FormatGeneral(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const Bytes& b) const {
      static const char* hex = "0123456789ABCDEF";
      std::string out;
      out.reserve(b.size() * 2);
      for (uint8_t c : b) {
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
      }
      return out;
    }
    std::string operator()(Date d) const { return DateToIso(d); }
    std::string operator()(TimeOfDay t) const { return TimeToIso(t); }
    std::string operator()(Timestamp t) const { return TimestampToIso(t); }
    std::string operator()(const Decimal& d) const { return d.text; }
  };
  return std::visit(Visitor{}, v);
}

}  // namespace vellum::engine
