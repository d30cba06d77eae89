// Text forms of field values for the command line's outputs.
//
// Dumps write every value the same way in CSV and JSON: numbers in their
// shortest round-trip form, dates, times and timestamps in ISO 8601
// ("YYYY-MM-DD", "HH:MM:SS.mmm", "YYYY-MM-DD HH:MM:SS.mmm"), BCD values as
// their exact decimal text, and bytes, binary blobs, graphics, OLE objects and
// formatted memos as upper-case hexadecimal (two digits per byte).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/paradox/table.h"
#include "engine/value.h"

namespace vellum::cli {

// Upper-case hexadecimal of `size` bytes.
std::string HexText(const uint8_t* data, size_t size);

// Shortest text that reads back as the same double: plain decimals from 1e-7
// up to 1e16 ("1.25", "100000"), scientific notation outside ("1e+21",
// "1.5e-08"); "NaN", "Infinity" or "-Infinity" for values that are not finite.
std::string DoubleText(double value);

// Text of a non-NULL value as described above ("" for NULL). Booleans are
// "true" or "false".
std::string ValueText(const engine::Value& value);

// Appends `value` as one CSV field (RFC 4180): NULL is an empty field, an
// empty string is "" (so the two stay distinct), and a field holding a comma,
// a quote, CR or LF is quoted with its quotes doubled.
void AppendCsvField(std::string& out, const engine::Value& value);
// Appends plain text as one CSV field, quoted only when it must be.
void AppendCsvText(std::string& out, std::string_view text);

// Appends `value` as JSON: NULL is null, booleans and numbers are JSON
// literals (non-finite doubles are strings), everything else is a string in
// the text form above. BCD values are strings so that no digit is lost.
void AppendJsonValue(std::string& out, const engine::Value& value);

// Text of one value of a validity check, read from its native 256-byte form
// (see engine/paradox/val_file.h) according to the field's storage type:
// Alpha text, integers, "true"/"false" for Logical, doubles, ISO dates, times
// and timestamps, BCD decimal text (the value as the engine decodes it, in
// the forms above); hexadecimal of the field's bytes for everything else or
// for a value that does not read as its type.
std::string CheckValueText(const engine::paradox::FieldInfo& field,
                           const std::array<uint8_t, 256>& native);

}  // namespace vellum::cli
