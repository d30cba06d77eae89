// Conversion of text between a table's code page (on disk) and UTF-8 (the
// engine's API), through iconv. Every call converts one whole value: the
// converter starts fresh and is flushed at the end, so a stateful code page
// (1255 holds a letter back until it knows no combining mark follows) loses
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellum::engine::paradox {

class CodePage {
 public:
  // `number` as stored in the header (437, 850, 1252, ...; 0 for Roman-8).
  explicit CodePage(int number);
  ~CodePage();
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

  int number() const { return number_; }
  // Bytes in the code page -> UTF-8. Bytes that do not convert become U+FFFD.
  std::string toUtf8(const char* data, size_t n) const;
  std::string toUtf8(const std::string& s) const { return toUtf8(s.data(), s.size()); }
  // UTF-8 -> bytes in the code page. Characters the code page lacks become '?'.
  std::string fromUtf8(const std::string& text) const;
  // UTF-8 -> bytes in the code page, or nullopt when the code page lacks a
  // character of `text` (nothing is replaced).
  std::optional<std::string> fromUtf8Exact(const std::string& text) const;
  // True when the code page's name is known to iconv.
  bool supported() const;

 private:
  struct Impl;
  int number_;
  std::unique_ptr<Impl> impl_;
};

// The code pages tables are known to be written in: the DOS and Windows
// pages of the Paradox language drivers, GBK (936) and Roman-8 (0).
const std::vector<int>& KnownCodePages();

// The length of the longest start of `data` (of `n` bytes) no longer than
// `limit` that ends on a character boundary of code page `number`: in the
// double-byte code pages (932, 936, 949, 950) a lead byte and the byte after
// it are one character and are kept or cut together.
size_t FitToCharacters(const uint8_t* data, size_t n, size_t limit, int number);

// iconv name of a code page number ("CP1252", "HP-ROMAN8", ...).
std::string IconvName(int number);

}  // namespace vellum::engine::paradox
