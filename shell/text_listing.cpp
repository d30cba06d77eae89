#include "shell/text_listing.h"

#include <memory>

#include "dictionary/locale_helper.h"
#include "engine/errors.h"
#include "engine/text.h"

namespace vellum::shell {

namespace {

using engine::CharacterCount;
using engine::DatasetField;
using engine::Row;
using engine::Value;

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kFormFeed = "\f";
constexpr std::string_view kFieldHeading =
    "  N Name                              Type Len  Obb Min       Max        Default";

// The text padded with blanks on the right to `width` characters (printf's
// "%-Ns"); a longer text stays whole.
std::string PadRight(std::string_view text, size_t width) {
  std::string out(text);
  size_t chars = CharacterCount(text);
  if (chars < width) out.append(width - chars, ' ');
  return out;
}

// The text padded with blanks on the left to `width` characters ("%Ns").
std::string PadLeft(std::string_view text, size_t width) {
  size_t chars = CharacterCount(text);
  std::string out(chars < width ? width - chars : 0, ' ');
  out.append(text);
  return out;
}

const char* YesNo(bool flag) { return flag ? "Yes" : "No"; }

// Column readings: integers read 0, texts read "" and booleans read false
// when the column is empty; a date reads in the short date format.
std::string Text(const DatasetField& field) { return field.asString(); }
std::string DateText(const DatasetField& field) {
  return field.isNull() ? std::string() : Locale::ShortDate(field.asDate());
}

// One line of the field listing, laid out as
// "%3d %-29s %8s  %3d  %s %-9s %-9s  %-9s".
std::string FieldLine(int64_t position, const std::string& name, const std::string& type,
                      int64_t length, bool required, const std::string& minimum,
                      const std::string& maximum, const std::string& default_value) {
  std::string line = PadLeft(std::to_string(position), 3);
  line += ' ';
  line += PadRight(name, 29);
  line += ' ';
  line += PadLeft(type, 8);
  line += "  ";
  line += PadLeft(std::to_string(length), 3);
  line += "  ";
  line += YesNo(required);
  line += ' ';
  line += PadRight(minimum, 9);
  line += ' ';
  line += PadRight(maximum, 9);
  line += "  ";
  line += PadRight(default_value, 9);
  return line;
}

}  // namespace

std::vector<std::string> SplitMemoLines(const std::string& memo) {
  std::vector<std::string> lines;
  std::string current;
  bool open_line = false;  // text (or nothing) after the last line break
  for (size_t i = 0; i < memo.size(); ++i) {
    char c = memo[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(current));
      current.clear();
      open_line = false;
      if (c == '\r' && i + 1 < memo.size() && memo[i + 1] == '\n') ++i;
    } else {
      current += c;
      open_line = true;
    }
  }
  if (open_line) lines.push_back(std::move(current));
  return lines;
}

TextListing::TextListing(dictionary::TdmDataDictionary& data_module, engine::File& file)
    : cursors_(data_module.OpenReadingCursors()), file_(file) {}

TextListing::~TextListing() = default;

void TextListing::Write(std::string_view text) {
  if (text.empty()) return;
  file_.write(offset_, text.data(), text.size());
  offset_ += text.size();
}

void TextListing::WriteLine(std::string_view text) {
  std::string line(text);
  line += kLineEnd;
  Write(line);
}

void TextListing::NextLine() {
  ++line_counter_;
  if (line_counter_ > kListingPageLength) {
    Write(kFormFeed);
    line_counter_ = 0;
  }
}

void TextListing::WriteDescription(const std::string& memo, const std::string& prefix) {
  const std::string indent(CharacterCount(prefix), ' ');
  bool first = true;
  for (const std::string& line : SplitMemoLines(memo)) {
    WriteLine((first ? prefix : indent) + line);
    first = false;
    NextLine();
  }
}

void TextListing::WriteTable(const std::string& alias, const std::string& table_name) {
  line_counter_ = 1;

  // The table's record becomes the cursor's current one; the field and
  // index cursors follow it.
  engine::Dataset& tables = cursors_->tables;
  if (!tables.findKey(Row{Value{alias}, Value{table_name}})) {
    throw Error("Table \"" + table_name + "\" is not present in the datadictionary");
  }

  WriteLine("Table name: " + alias + "." + table_name);
  WriteLine("Inserted on:  " + DateText(tables.fieldByName("DataInserimento")));
  WriteLine("Modified:   " + DateText(tables.fieldByName("DataUltimaModifica")));
  line_counter_ += 3;
  WriteDescription(Text(tables.fieldByName("Descrizione")), "Description:  ");
  WriteLine("");
  ++line_counter_;

  WriteFields();
  WriteLine("");  // not counted
  WriteIndexes();

  // Every table ends its page.
  Write(kFormFeed);
}

void TextListing::WriteFields() {
  engine::Dataset& fields = cursors_->fields;
  fields.first();
  WriteLine(kFieldHeading);  // not counted
  for (; !fields.eof(); fields.next()) {
    NextLine();
    WriteLine(FieldLine(
        fields.fieldByName("Posizione").asInteger(), Text(fields.fieldByName("Nome")),
        Text(fields.fieldByName("Tipo")), fields.fieldByName("Lunghezza").asInteger(),
        fields.fieldByName("Obbligatorio").asBoolean(), Text(fields.fieldByName("ValoreMinimo")),
        Text(fields.fieldByName("ValoreMassimo")), Text(fields.fieldByName("ValoreDefault"))));
    WriteDescription(Text(fields.fieldByName("Descrizione")), "     ");
  }
}

void TextListing::WriteIndexes() {
  engine::Dataset& indexes = cursors_->indexes;
  for (indexes.first(); !indexes.eof(); indexes.next()) {
    // The block counts as one line; its three lines and the closing empty
    // line are not counted, only its description lines are.
    NextLine();
    WriteLine("Index name:  " + Text(indexes.fieldByName("Nome")));
    WriteLine("Key fields: " + Text(indexes.fieldByName("CampiChiave")));
    std::string options = "Primary:  ";
    options += YesNo(indexes.fieldByName("Primario").asBoolean());
    options += "   Unique: ";
    options += YesNo(indexes.fieldByName("Unico").asBoolean());
    options += "   Descending: ";
    options += YesNo(indexes.fieldByName("Discendente").asBoolean());
    options += "   Ignore Upper/Lower: ";
    options += YesNo(indexes.fieldByName("IgnoraMaiuscMinusc").asBoolean());
    WriteLine(options);
    WriteDescription(Text(indexes.fieldByName("Descrizione")), "Description:  ");
    WriteLine("");
  }
}

void WriteTextListing(dictionary::TdmDataDictionary& data_module, const std::string& alias,
                      const std::vector<std::string>& table_names, const std::string& file_name) {
  dictionary::RunGuard::Scope run(data_module.runs(), "Print");
  std::unique_ptr<engine::File> file =
      data_module.session().fs().open(file_name, engine::OpenMode::kCreateOutput);
  TextListing listing(data_module, *file);
  for (const std::string& table_name : table_names) {
    listing.WriteTable(alias, table_name);
  }
}

}  // namespace vellum::shell
