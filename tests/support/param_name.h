// Readable names for the cases of parameterised tests: what the test list
// (and so ctest) shows instead of the bytes of a case's struct.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace vellum::test {

// `text` made a valid part of a test name: letters and digits kept, every
// other character an underscore; "Empty" for an empty text.
inline std::string ParamName(std::string_view text) {
  if (text.empty()) return "Empty";
  std::string name;
  for (char c : text) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name;
}

}  // namespace vellum::test
