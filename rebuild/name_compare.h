// Name comparison as the rebuild compares field and index names: without
// regard to the letter case of A to Z; every other character, including
// letters outside A to Z, must be equal as it stands.
#pragma once

#include <string_view>

namespace vellum::rebuild {

constexpr char FoldAsciiLetter(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i])) return false;
  }
  return true;
}

}  // namespace vellum::rebuild
