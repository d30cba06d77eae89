#include "cli/value_text.h"

#include <cmath>
#include <optional>

#include "cli/json_writer.h"
#include "engine/number_text.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/val_file.h"

namespace vellum::cli {

namespace {

using engine::Value;

// Timestamps and dates outside years 1..9999 have no ISO form; such values
// (only found in damaged files) are shown as plain numbers instead.
constexpr int32_t kLastIsoDay = 3652059;  // 31 December 9999
constexpr double kMsPerDay = 86400000.0;

bool IsoDay(int64_t day) { return day >= 1 && day <= kLastIsoDay; }

std::string DateText(engine::Date date) {
  return IsoDay(date.day) ? engine::DateToIso(date) : std::to_string(date.day);
}

std::string TimeText(engine::TimeOfDay time) {
  return time.ms >= 0 && time.ms < 86400000 ? engine::TimeToIso(time) : std::to_string(time.ms);
}

std::string TimestampText(engine::Timestamp ts) {
  if (!std::isfinite(ts.ms) || ts.ms < kMsPerDay || ts.ms >= (kLastIsoDay + 1.0) * kMsPerDay) {
    return DoubleText(ts.ms);
  }
  return engine::TimestampToIso(ts);
}

bool NeedsCsvQuotes(std::string_view text) {
  return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

std::string HexText(const uint8_t* data, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

std::string DoubleText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  // The shortest digits that read back as the same double, written out in
  // full for ordinary magnitudes (100000, not 1e+05) and in scientific
  // notation beyond them. Above 1e16 doubles no longer hold every integer,
  // and fixed notation would print digits the value never had.
  const double magnitude = std::fabs(value);
  const bool fixed = magnitude == 0 || (magnitude >= 1e-7 && magnitude < 1e16);
  return engine::FormatShortest(value, !fixed);
}

std::string ValueText(const Value& value) {
  struct Visitor {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const { return DoubleText(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const engine::Bytes& b) const { return HexText(b.data(), b.size()); }
    std::string operator()(engine::Date d) const { return DateText(d); }
    std::string operator()(engine::TimeOfDay t) const { return TimeText(t); }
    std::string operator()(engine::Timestamp t) const { return TimestampText(t); }
    std::string operator()(const engine::Decimal& d) const { return d.text; }
  };
  return std::visit(Visitor{}, value);
}

void AppendCsvText(std::string& out, std::string_view text) {
  if (!NeedsCsvQuotes(text)) {
    out.append(text);
    return;
  }
  out.push_back('"');
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

void AppendCsvField(std::string& out, const Value& value) {
  if (engine::IsNull(value)) return;
  if (const auto* text = std::get_if<std::string>(&value)) {
    if (text->empty()) {
      out += "\"\"";
    } else {
      AppendCsvText(out, *text);
    }
    return;
  }
  // Only strings can hold the characters that need quoting.
  out += ValueText(value);
}

void AppendJsonValue(std::string& out, const Value& value) {
  if (engine::IsNull(value)) {
    out += "null";
  } else if (const auto* b = std::get_if<bool>(&value)) {
    out += *b ? "true" : "false";
  } else if (const auto* i = std::get_if<int64_t>(&value)) {
    out += std::to_string(*i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    AppendJsonNumber(out, *d);
  } else {
    AppendJsonString(out, ValueText(value));
  }
}

std::string CheckValueText(const engine::paradox::FieldInfo& field,
                           const std::array<uint8_t, 256>& native) {
  // The engine reads any Logical bits but zero as true; describe shows bits
  // other than the two that are written as they are.
  const uint16_t logical = engine::paradox::LoadLe16(native.data());
  const bool odd_logical =
      field.px_type == engine::paradox::PxType::kLogical && logical != 0 && logical != 0xFFFF;
  const std::optional<Value> value =
      odd_logical ? std::nullopt : engine::paradox::CheckValueOf(field.type, field.size, native);
  if (value) return ValueText(*value);
  // A type without check values, or bytes that are no value of the type:
  // the field's bytes as they are.
  int length = engine::paradox::StorageSize(field.px_type, field.size_byte);
  if (length <= 0 || length > static_cast<int>(native.size())) {
    length = static_cast<int>(native.size());
  }
  return HexText(native.data(), static_cast<size_t>(length));
}

}  // namespace vellum::cli
