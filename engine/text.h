// Letter case of names: table, field, index and alias names are compared
// without regard to the case of the letters A to Z; every other byte
// (UTF-8 sequences included) must be equal as it stands.
#pragma once

#include <string>
#include <string_view>

namespace vellum::engine {

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

// `text` with a to z in upper case.
inline std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAsciiLetter(c);
  return out;
}

}  // namespace vellum::engine
