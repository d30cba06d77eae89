#include "widgets/field_text.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "dictionary/locale_helper.h"
#include "engine/errors.h"

namespace vellum::widgets {

using engine::Date;
using engine::FieldType;
using engine::Value;

std::string DisplayText(const Value& value) {
  if (const auto* d = std::get_if<Date>(&value)) return Locale::ShortDate(*d);
  if (const auto* f = std::get_if<double>(&value)) return Locale::FloatToText(*f);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
  return engine::ValueToText(value);
}

namespace {

// The order in which the short date format writes day (0), month (1) and
// year (2), worked out from a date whose parts differ.
std::array<int, 3> DatePartOrder() {
  const std::string text = Locale::ShortDate(engine::DateFromYmd(2033, 11, 22));
  const std::array<size_t, 3> at = {text.find("22"), text.find("11"), text.find("33")};
  std::array<int, 3> order = {1, 0, 2};  // month, day, year when the format says nothing
  if (at[0] == std::string::npos || at[1] == std::string::npos || at[2] == std::string::npos) {
    return order;
  }
  order = {0, 1, 2};
  std::sort(order.begin(), order.end(), [&](int a, int b) { return at[a] < at[b]; });
  return order;
}

bool ValidDay(int year, int month, int day) {
  static constexpr std::array<int, 12> kDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && !leap) return day <= 28;
  return day <= kDays[static_cast<size_t>(month - 1)];
}

}  // namespace

std::optional<Date> ParseShortDate(const std::string& text) {
  std::array<int, 3> numbers{};
  std::array<size_t, 3> digits{};
  size_t part = 0;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (; part < 3; ++part) {
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
           digits[part] < 4) {
      numbers[part] = numbers[part] * 10 + (text[i] - '0');
      ++digits[part];
      ++i;
    }
    if (digits[part] == 0) return std::nullopt;
    if (part < 2) {
      if (i >= text.size() || std::isdigit(static_cast<unsigned char>(text[i]))) {
        return std::nullopt;
      }
      ++i;  // the separator
    }
  }
  while (i < text.size() && text[i] == ' ') ++i;
  if (i != text.size()) return std::nullopt;
  const std::array<int, 3> order = DatePartOrder();
  std::array<int, 3> value{};  // day, month, year
  std::array<size_t, 3> width{};
  for (size_t k = 0; k < 3; ++k) {
    value[static_cast<size_t>(order[k])] = numbers[k];
    width[static_cast<size_t>(order[k])] = digits[k];
  }
  if (width[2] <= 2) value[2] += value[2] < 50 ? 2000 : 1900;
  if (!ValidDay(value[2], value[1], value[0])) return std::nullopt;
  return engine::DateFromYmd(value[2], value[1], value[0]);
}

void SetFieldFromText(engine::DatasetField& field, const std::string& text) {
  if (text.empty()) {
    field.clear();
    return;
  }
  switch (field.type()) {
    case FieldType::kDate: {
      const std::optional<Date> date = ParseShortDate(text);
      if (!date) throw Error("'" + text + "' is not a valid date");
      field.setAsDate(*date);
      return;
    }
    case FieldType::kFloat:
    case FieldType::kCurrency: {
      const std::optional<double> number = Locale::TextToFloat(text);
      if (!number) throw Error("'" + text + "' is not a valid floating point value");
      field.setAsFloat(*number);
      return;
    }
    default:
      field.setAsString(text);
  }
}

}  // namespace vellum::widgets
