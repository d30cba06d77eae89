#include "shell/about_text.h"

#include <array>
#include <charconv>

#include "engine/errors.h"
#include "engine/text.h"

namespace vellum::shell {

namespace {

// The four parts of a product version, each a 16-bit number.
std::array<unsigned, 4> VersionParts(const std::string& version) {
  std::array<unsigned, 4> parts{};
  const char* at = version.data();
  const char* end = at + version.size();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      if (at == end || *at != '.') throw Error("Malformed product version \"" + version + "\"");
      ++at;
    }
    const auto [next, status] = std::from_chars(at, end, parts[i]);
    if (status != std::errc() || next == at || parts[i] > 0xFFFF) {
      throw Error("Malformed product version \"" + version + "\"");
    }
    at = next;
  }
  if (at != end) throw Error("Malformed product version \"" + version + "\"");
  return parts;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string ApplicationTitle(const std::string& program_path) {
  std::string name = program_path.substr(program_path.find_last_of('/') + 1);
  name = name.substr(0, name.find('.'));
  // Program files here are named in lower case ("vellum"): the first letter
  // is put in upper case so that the title reads as a name ("Vellum").
  if (!name.empty()) name[0] = engine::FoldAsciiLetter(name[0]);
  for (size_t i = 1; i < name.size(); ++i) name[i] = Lower(name[i]);
  return name;
}

std::string VersionText(const std::string& version) {
  if (version.empty()) return "";
  const std::array<unsigned, 4> parts = VersionParts(version);
  return " Versione " + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[3]);
}

std::string VersionLine(const std::string& version) {
  try {
    return VersionText(version);
  } catch (const std::exception&) {
    return "(No version info)";
  }
}

}  // namespace vellum::shell
