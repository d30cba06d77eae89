// The text listing: the dictionary's description of chosen tables of one
// alias, written as a plain text file for a line printer or an editor.
//
// For each table the file holds three header lines (name, insertion date,
// date of last change), the table's description, a heading and one line per
// field with the field's description under it, a block per index, and a form
// feed that ends the table's page. A line counter, set to 1 at the start of
// every table, breaks long tables into pages of 60 counted lines. Lines end
// with CR LF; a form feed is written without a line end, so the next text
// follows it on the same line. Texts go to the file byte for byte as the
// dictionary holds them (UTF-8).
//
// The main window's print-to-file command shows the table chooser in its
// file-name mode and, when the user confirms, hands its choice to
// WriteTextListing; the chooser's label caption is the window's business.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/data_module.h"
#include "engine/fs/file_system.h"

namespace vellum::shell {

// The lines per page: the counter breaks the page when it passes this.
inline constexpr int kListingPageLength = 60;

// Writes tables of the dictionary into one open file. It reads the rows
// through cursors of its own (the data module's reading cursors), so the
// views the user sees do not move, and writes at the file's start onwards;
// the file and the data module are the caller's and must outlive it.
// WriteTable, WriteDescription and NextLine share the file and the line
// counter.
class TextListing {
 public:
  TextListing(dictionary::TdmDataDictionary& data_module, engine::File& file);
  ~TextListing();

  // Writes one table: header, description, fields, indexes and the closing
  // form feed. A table that the dictionary does not hold under `alias`
  // raises vellum::Error before anything of it is written.
  void WriteTable(const std::string& alias, const std::string& table_name);

  // Writes a memo text line by line, `prefix` before the first line and as
  // many blanks as the prefix has characters before every later one; each
  // line is counted with NextLine. An empty memo writes nothing at all.
  void WriteDescription(const std::string& memo, const std::string& prefix);

  // Counts one line; when the count passes the page length, writes a form
  // feed and restarts the count at 0.
  void NextLine();

  int lineCounter() const { return line_counter_; }

 private:
  void Write(std::string_view text);
  void WriteLine(std::string_view text);
  void WriteFields();
  void WriteIndexes();

  std::unique_ptr<dictionary::TdmDataDictionary::ReadingCursors> cursors_;
  engine::File& file_;
  uint64_t offset_ = 0;
  int line_counter_ = 0;
};

// The print-to-file command after the chooser closed with OK: creates the
// file `file_name` (emptying an existing one; a relative name is taken from
// the current directory) and writes `table_names` of `alias` into it in the
// given order. Errors are not caught: an I/O error (EDBEngineError) or a
// missing table (vellum::Error) stops the listing and leaves the partly
// written file behind. Refused (vellum::Error) while another run holds the
// data module's RunGuard.
void WriteTextListing(dictionary::TdmDataDictionary& data_module, const std::string& alias,
                      const std::vector<std::string>& table_names, const std::string& file_name);

// Splits a memo text into lines at CR LF, lone CR or lone LF. A line break at
// the very end adds no empty line; an empty text gives no line.
std::vector<std::string> SplitMemoLines(const std::string& memo);

}  // namespace vellum::shell
