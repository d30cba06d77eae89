// The text a user reads and types for one field value: dates in the short
// date format, floating-point values with the user's decimal separator
// (both through the locale helper), booleans as "True" / "False", the rest
// as the engine writes them. Qt-free, shared by the grid cells and the edit
// boxes.
#pragma once

#include <optional>
#include <string>

#include "engine/dataset.h"

namespace vellum::widgets {

// The text of `value` as a cell or an edit box shows it ("" for NULL).
std::string DisplayText(const engine::Value& value);

// A date typed in the short date format: day, month and year in the order
// the format writes them, separated by any character that is not a digit;
// a year of one or two digits lies within 1950..2049. nullopt for anything
// else, an impossible day included.
std::optional<engine::Date> ParseShortDate(const std::string& text);

// Sets `field` (in edit or insert state) from what the user typed: empty
// text clears it; dates are read as ParseShortDate reads them and floating
// point values with the user's decimal separator. Raises vellum::Error
// "'<text>' is not a valid date" (or the field's own conversion error)
// for text that is not a value of the field's type.
void SetFieldFromText(engine::DatasetField& field, const std::string& text);

}  // namespace vellum::widgets
