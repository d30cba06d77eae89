#include "dictionary/field_type_names.h"

#include "engine/errors.h"

namespace vellum::dictionary {

std::string FieldTypeName(engine::FieldType type) {
  auto index = static_cast<size_t>(type);
  return std::string(FieldTypeNames.at(index));
}

engine::FieldType FieldTypeFromName(const std::string& text) {
  for (size_t i = 0; i < FieldTypeNames.size(); ++i) {
    if (FieldTypeNames[i] == text) return static_cast<engine::FieldType>(i);
  }
  // A name the dictionary could only store cut. No two names share their
  // first eight characters, so the cut name still names one type.
  if (text.size() == kStoredTypeNameWidth) {
    for (size_t i = 0; i < FieldTypeNames.size(); ++i) {
      if (FieldTypeNames[i].size() > text.size() &&
          FieldTypeNames[i].substr(0, text.size()) == text)
        return static_cast<engine::FieldType>(i);
    }
  }
  throw Error("Unknown data type \"" + text + "\"");
}

}  // namespace vellum::dictionary
