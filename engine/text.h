// Letter case of names: table, field, index and alias names are compared
// without regard to the case of the letters A to Z; every other byte
// (UTF-8 sequences included) must be equal as it stands.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// Lists of names (key fields, the fields of a link) are kept as vectors;
// the dictionary and the table property files write them as one text, the
// names joined by ";". An empty text is the empty list; any other text holds
// one name more than it has ";", empty names included ("A;;B" is three).
inline std::vector<std::string> SplitAtSemicolons(std::string_view text) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  while (true) {
    const size_t semicolon = text.find(';', start);
    parts.emplace_back(text.substr(start, semicolon - start));
    if (semicolon == std::string_view::npos) return parts;
    start = semicolon + 1;
  }
}

// The names of `parts` joined by ";": the text SplitAtSemicolons reads back
// when no name holds a ";" and the list is not one empty name.
inline std::string JoinWithSemicolons(const std::vector<std::string>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ';';
    text += parts[i];
  }
  return text;
}

// `text` with a to z in upper case.
inline std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = FoldAsciiLetter(c);
  return out;
}

// Characters of UTF-8 text (bytes that do not continue a character).
constexpr size_t CharacterCount(std::string_view utf8) {
  size_t count = 0;
  for (char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// The first `chars` characters of UTF-8 text. A String field of the engine's
// single-byte code pages holds as many characters as its size says.
inline std::string CutToCharacters(std::string_view utf8, size_t chars) {
  size_t count = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (count == chars) return std::string(utf8.substr(0, i));
      ++count;
    }
  }
  return std::string(utf8);
}

}  // namespace vellum::engine
