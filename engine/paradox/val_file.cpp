// Reading and writing the .VAL file of a table.
//
// Layout (control words little-endian). Minimum, maximum and default values
// are in record encoding, byte for byte as a record of the table holds them
// (big-endian with the sign transformation; a Logical true is the byte 0x81).
//
//   0x00  u8    the table's second change counter (its header byte 0x2E)
//   0x01  u8    version: the table's fileVersionID (0x05..0x0C), or 0x01 for
//               the old layout of level-3 tables (below)
//   0x02  u8    number of check entries
//   0x03  u32   run-time pointer (meaningless on disk)
//   0x07  u16   the table's hiFieldID
//   0x09  u32   offset of the footer
//   0x0D  u32   offset of the referential-integrity section, 0 when none
//   0x11        zeros up to 0x34
//   0x35        the check entries, back to back. Each is 28 fixed bytes:
//                 +0x00 u8  index of the field in the footer's field list
//                 +0x01 u8  picture length including its NUL, 0 when none
//                 +0x02 u8  required (1 / 0)
//                 +0x03 u8  lookup options
//                 +0x04 u32 x 6  "present" words, non-zero when the item exists:
//                       lookup, (a second lookup word), minimum, maximum,
//                       default, picture
//               followed by the present items in that order: lookup (80 bytes,
//               the table name NUL-terminated in the first 26), minimum,
//               maximum and default (the field's storage size each, in record
//               encoding), picture (picture-length bytes ending in the NUL)
//   RI section  u16 number of links in which the table is the child, then
//               that many entries of 0x1E0 bytes (link name at 0, master table
//               at 0xD4, update rule u32 at 0x19A (1 cascade, 0 prohibit),
//               field count u16 at 0x19E, this table's field numbers u16 x 16
//               at 0x1A0, the master's at 0x1C0), then the master's part
//               (a u16, 0 when no other table links to this one), kept as is
//   footer      u16 field count n, u16 number of key fields, u16 size of the
//               table name and field names together, u16 field numbers[n],
//               {type, size byte}[n], table name (79 bytes; 261 at version
//               0x0C), n field names each NUL-terminated
//
// The old layout of level-3 tables has the same header bytes 0x00-0x02 (the
// rest of its header is run-time garbage) and the same check entries from
// 0x35 to the end of the file; it has no footer and no referential
// integrity, and its entries name the table's fields by their 0-based index.
// A lookup there also sets the second lookup word. Entries that check
// nothing at all occur in real files; the reader passes over them.
//
// Invariants, checked by ReadValFile and kept by WriteValFile:
//   - the entries start at 0x35 and end exactly where the next section (the
//     RI section when there is one, else the footer; the end of the file in
//     the old layout) starts;
//   - 0x35 <= RI offset < footer offset, and the whole footer (6 + 4n + its
//     size word) lies inside the file;
//   - the RI links lie inside the RI section and name 1 to 16 fields of the
//     footer each;
//   - the footer's size word equals the table-name length plus the bytes of
//     the n NUL-terminated names;
//   - every entry's field index names a footer field of a known type, so the
//     size of each stored value is that field's storage size;
//   - a present picture is at least its NUL and ends in it.
// The reader reads only the header, the entries, the RI section and the
// footer (never more than the counts above allow), so a damaged file costs a
// bounded read and raises data corruption naming the file. The writer puts a
// fixed non-zero marker into the run-time "present" words (engine-written
// files hold addresses there).
#include "engine/paradox/val_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "engine/errors.h"
#include "engine/paradox/codec.h"

namespace vellum::engine::paradox {

namespace {

constexpr size_t kHeaderSize = 0x35;
constexpr size_t kEntryFixedSize = 0x1C;
constexpr size_t kLookupSize = 80;
constexpr size_t kLookupNameSize = 26;
constexpr size_t kFooterFixedSize = 6;
constexpr size_t kNativeSize = 256;
constexpr uint8_t kLevel3Version = 0x01;
constexpr uint8_t kFirstVersion = 0x05;
constexpr uint8_t kLevel7Version = 0x0C;
// Written into every "present" word; readers only test it against zero.
constexpr uint32_t kPresentMarker = 1;
// Largest entry: fixed bytes, lookup, three values and a picture of at most
// 255 bytes each.
constexpr size_t kMaxEntrySize = kEntryFixedSize + kLookupSize + size_t{4} * 255;

// Offsets of the header words and of the entry's fields.
constexpr size_t kOffCount = 0x02;
constexpr size_t kOffHiFieldId = 0x07;
constexpr size_t kOffFooter = 0x09;
constexpr size_t kOffRi = 0x0D;
constexpr size_t kEntryPictureLength = 0x01;
constexpr size_t kEntryRequired = 0x02;
constexpr size_t kEntryLookupOptions = 0x03;
constexpr size_t kEntryLookup = 0x04;
constexpr size_t kEntryLookup2 = 0x08;
constexpr size_t kEntryMin = 0x0C;
constexpr size_t kEntryMax = 0x10;
constexpr size_t kEntryDefault = 0x14;
constexpr size_t kEntryPicture = 0x18;

// A referential-integrity link entry and its parts.
constexpr size_t kLinkSize = 0x1E0;
constexpr size_t kLinkNameSize = 64;
constexpr size_t kLinkMaster = 0xD4;
constexpr size_t kLinkMasterSize = 114;
constexpr size_t kLinkRule = 0x19A;
constexpr size_t kLinkFieldCount = 0x19E;
constexpr size_t kLinkFields = 0x1A0;
constexpr size_t kLinkMasterFields = 0x1C0;
constexpr size_t kLinkMaxFields = 16;

size_t TableNameSize(uint8_t version) { return version == kLevel7Version ? 261 : 79; }

std::string Hex(uint64_t v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

// Reads exactly n bytes at offset; a short read means the file is shorter
// than its own structure says.
std::vector<uint8_t> ReadExactly(File& file, const std::string& path, uint64_t offset, size_t n,
                                 const char* what) {
  std::vector<uint8_t> data(n);
  size_t got = n == 0 ? 0 : file.read(offset, data.data(), n);
  if (got != n) {
    ThrowCorrupt(path,
                 std::string("the file ends inside the ") + what + " (at byte " +
                     std::to_string(offset + got) + " of " + std::to_string(offset + n) + ")",
                 subcode::kBadHeader);
  }
  return data;
}

// Length of the NUL-terminated text at p, at most max bytes.
size_t BoundedLength(const uint8_t* p, size_t max) {
  const void* nul = std::memchr(p, 0, max);
  return nul == nullptr ? max : static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
}

std::string TextAt(const uint8_t* p, size_t max, const CodePage& code_page) {
  return code_page.toUtf8(reinterpret_cast<const char*>(p), BoundedLength(p, max));
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') {
      x = static_cast<unsigned char>(x - 32);
    }
    if (y >= 'a' && y <= 'z') {
      y = static_cast<unsigned char>(y - 32);
    }
    if (x != y) {
      return false;
    }
  }
  return true;
}

// Cuts UTF-8 text to at most max bytes without splitting a character.
std::string TruncateUtf8(std::string text, size_t max) {
  if (text.size() <= max) {
    return text;
  }
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  text.resize(end);
  return text;
}

void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}
uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = v << 8 | p[i];
  }
  return v;
}

// `text` in the code page; text it cannot hold is refused rather than
// replaced, naming `what`.
std::string Encode(const CodePage& code_page, const std::string& text, const std::string& what) {
  std::optional<std::string> bytes = code_page.fromUtf8Exact(text);
  if (!bytes) {
    ThrowInvalid(what + " \"" + text + "\" holds characters that code page " +
                 std::to_string(code_page.number()) + " cannot hold");
  }
  return *bytes;
}

// A field as the footer describes it.
struct FooterField {
  std::string name;  // in the table's code page
  PxField field;     // type, size byte and length; offset 0
};

struct Footer {
  std::vector<FooterField> fields;
};

// The types and size bytes of the footer's `n` fields, from `types` on.
void ParseFooterTypes(const std::string& path, const uint8_t* types, size_t n, Footer& footer) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t type = types[2 * i];
    uint8_t size_byte = types[2 * i + 1];
    if (!IsKnownPxType(type)) {
      ThrowCorrupt(path, "footer field " + std::to_string(i + 1) + " has unknown type " + Hex(type),
                   subcode::kBadHeader);
    }
    int length = StorageSize(static_cast<PxType>(type), size_byte);
    if (length == 0) {
      ThrowCorrupt(path,
                   "footer field " + std::to_string(i + 1) + " of type " +
                       PxTypeLetter(static_cast<PxType>(type)) + " has invalid size " +
                       std::to_string(size_byte),
                   subcode::kBadHeader);
    }
    PxField& f = footer.fields[i].field;
    f.type = static_cast<PxType>(type);
    f.size_byte = size_byte;
    f.length = static_cast<uint16_t>(length);
  }
}

// The footer's field names: in the name area from `area_at` to the end of
// the footer (`data`), after the table name (`table_name_size` bytes), each
// NUL-terminated, filling the area exactly. `names_size` is the area's size
// as the footer gives it.
void ParseFooterNames(const std::string& path, const std::vector<uint8_t>& data, size_t area_at,
                      size_t table_name_size, size_t names_size, Footer& footer) {
  const size_t n = footer.fields.size();
  size_t pos = area_at + table_name_size;
  for (size_t i = 0; i < n; ++i) {
    size_t len = BoundedLength(&data[pos], data.size() - pos);
    if (pos + len == data.size()) {
      ThrowCorrupt(
          path,
          "the name of footer field " + std::to_string(i + 1) + " runs past the footer's name area",
          subcode::kBadHeader);
    }
    footer.fields[i].name.assign(reinterpret_cast<const char*>(&data[pos]), len);
    footer.fields[i].field.name = footer.fields[i].name;
    pos += len + 1;
  }
  if (pos != data.size()) {
    ThrowCorrupt(path,
                 "the footer's name area is " + std::to_string(names_size) + " bytes but its " +
                     std::to_string(n) + " names end after " + std::to_string(pos - area_at),
                 subcode::kBadHeader);
  }
}

// Reads the footer at `offset`: its size words, checked against the file,
// then its field types and names.
Footer ParseFooter(File& file, const std::string& path, uint64_t file_size, uint64_t offset,
                   uint8_t version) {
  if (offset + kFooterFixedSize > file_size) {
    ThrowCorrupt(path, "the footer offset " + Hex(offset) + " lies beyond the end of the file",
                 subcode::kBadHeader);
  }
  std::vector<uint8_t> fixed = ReadExactly(file, path, offset, kFooterFixedSize, "footer");
  const size_t n = LoadLe16(&fixed[0]);
  const size_t names_size = LoadLe16(&fixed[4]);
  const size_t table_name_size = TableNameSize(version);
  if (names_size < table_name_size + n) {
    ThrowCorrupt(path,
                 "the footer's name area of " + std::to_string(names_size) +
                     " bytes cannot hold the table name and " + std::to_string(n) + " field names",
                 subcode::kBadHeader);
  }
  const uint64_t total = kFooterFixedSize + 4 * static_cast<uint64_t>(n) + names_size;
  if (offset + total > file_size) {
    ThrowCorrupt(path,
                 "the footer at " + Hex(offset) + " needs " + std::to_string(total) +
                     " bytes but the file ends at " + std::to_string(file_size),
                 subcode::kBadHeader);
  }
  std::vector<uint8_t> data = ReadExactly(file, path, offset, static_cast<size_t>(total), "footer");
  Footer footer;
  footer.fields.resize(n);
  const size_t types_at = kFooterFixedSize + 2 * n;
  ParseFooterTypes(path, &data[types_at], n, footer);
  ParseFooterNames(path, data, types_at + 2 * n, table_name_size, names_size, footer);
  return footer;
}

// The footer of the old layout: the table's own fields, each standing for
// itself.
Footer FooterOfTable(const ValTableInfo& info) {
  Footer footer;
  for (const PxField& f : info.fields) {
    FooterField ff;
    ff.name = f.name;
    ff.field = f;
    ff.field.offset = 0;
    footer.fields.push_back(std::move(ff));
  }
  return footer;
}

// Index into info.fields of the table field a footer field stands for, or
// nullopt when the table no longer has it. A footer that names the fields
// differently from the table (an outdated file) is matched by name; a field
// that is not found by name keeps its position when the footer and the table
// have the same number of fields and the types there agree.
std::optional<size_t> MapFooterField(const Footer& footer, size_t index, const ValTableInfo& info,
                                     const CodePage& code_page) {
  const FooterField& ff = footer.fields[index];
  std::string utf8 = code_page.toUtf8(ff.name);
  for (size_t i = 0; i < info.fields.size(); ++i) {
    const std::string& name = info.fields[i].name;
    if (EqualIgnoringAsciiCase(name, ff.name) || EqualIgnoringAsciiCase(name, utf8)) {
      return i;
    }
  }
  if (footer.fields.size() == info.fields.size() && info.fields[index].type == ff.field.type) {
    return index;
  }
  return std::nullopt;
}

// Where the sections of a file lie.
struct Layout {
  uint8_t version = 0;
  size_t count = 0;            // check entries
  uint64_t ri_offset = 0;      // 0 when none
  uint64_t footer_offset = 0;  // the end of the file in the old layout
  uint64_t body_end = 0;       // where the entries end
};

Layout ReadLayout(File& file, const std::string& path, uint64_t file_size) {
  if (file_size < kHeaderSize) {
    ThrowCorrupt(path,
                 "the file is " + std::to_string(file_size) + " bytes long, shorter than its " +
                     std::to_string(kHeaderSize) + "-byte header",
                 subcode::kBadHeader);
  }
  std::vector<uint8_t> header = ReadExactly(file, path, 0, kHeaderSize, "header");
  Layout layout;
  layout.version = header[1];
  layout.count = header[kOffCount];
  if (layout.version == kLevel3Version) {
    layout.footer_offset = file_size;
    layout.body_end = file_size;
  } else if (layout.version >= kFirstVersion && layout.version <= kLevel7Version) {
    layout.footer_offset = LoadLe32(&header[kOffFooter]);
    layout.ri_offset = LoadLe32(&header[kOffRi]);
    if (layout.footer_offset < kHeaderSize || layout.footer_offset >= file_size) {
      ThrowCorrupt(path,
                   "the footer offset " + Hex(layout.footer_offset) + " lies outside the file",
                   subcode::kBadHeader);
    }
    if (layout.ri_offset != 0 &&
        (layout.ri_offset < kHeaderSize || layout.ri_offset >= layout.footer_offset)) {
      ThrowCorrupt(path,
                   "the referential-integrity offset " + Hex(layout.ri_offset) +
                       " does not lie between the header and the footer at " +
                       Hex(layout.footer_offset),
                   subcode::kBadHeader);
    }
    layout.body_end = layout.ri_offset != 0 ? layout.ri_offset : layout.footer_offset;
  } else {
    ThrowCorrupt(path, "unknown validity file version " + Hex(layout.version), subcode::kBadHeader);
  }
  if (layout.body_end - kHeaderSize > layout.count * kMaxEntrySize) {
    ThrowCorrupt(path,
                 std::to_string(layout.count) + " check entries cannot fill the bytes from " +
                     Hex(kHeaderSize) + " to " + Hex(layout.body_end),
                 subcode::kBadHeader);
  }
  return layout;
}

// Reads the check entries of a file one item after another from `body` (the
// file's bytes up to the end of the entries); an item that runs past the end
// is damage.
class EntryReader {
 public:
  EntryReader(const std::string& path, const std::vector<uint8_t>& body)
      : path_(path), body_(body) {}
  // The next `n` bytes, the `item` of entry `entry` (0-based); moves past them.
  const uint8_t* take(size_t n, size_t entry, const char* item) {
    if (n > body_.size() - pos_) {
      ThrowCorrupt(path_,
                   "the " + std::string(item) + " of check entry " + std::to_string(entry + 1) +
                       " at " + Hex(pos_) + " runs past the end of the entries at " +
                       Hex(body_.size()),
                   subcode::kBadValue);
    }
    const uint8_t* at = &body_[pos_];
    pos_ += n;
    return at;
  }
  // Refuses entries that end before the next section starts.
  void checkEnd(size_t count) const {
    if (pos_ != body_.size()) {
      ThrowCorrupt(path_,
                   "the " + std::to_string(count) + " check entries end at " + Hex(pos_) +
                       " but the next section starts at " + Hex(body_.size()),
                   subcode::kBadValue);
    }
  }
  const std::string& path() const { return path_; }

 private:
  const std::string& path_;
  const std::vector<uint8_t>& body_;
  size_t pos_ = kHeaderSize;
};

// The picture of entry `e`, `length` bytes including its NUL.
std::string ReadPicture(EntryReader& in, size_t e, size_t length, const CodePage& code_page) {
  if (length == 0) {
    ThrowCorrupt(in.path(), "check entry " + std::to_string(e + 1) + " has a picture of length 0",
                 subcode::kBadValue);
  }
  const uint8_t* picture = in.take(length, e, "picture");
  if (picture[length - 1] != 0) {
    ThrowCorrupt(in.path(),
                 "the picture of check entry " + std::to_string(e + 1) +
                     " does not end in a NUL within its " + std::to_string(length) + " bytes",
                 subcode::kBadValue);
  }
  return TextAt(picture, length, code_page);
}

// Reads check entry `e`. Its field number is 0 when the table no longer
// has the entry's field; its values are kept only when the table's field
// still has the type they were stored in.
ValidityCheck ReadEntry(EntryReader& in, size_t e, const Footer& footer,
                        const std::vector<std::optional<size_t>>& mapping, const ValTableInfo& info,
                        const CodePage& code_page) {
  const uint8_t* entry = in.take(kEntryFixedSize, e, "fixed bytes");
  const size_t field_index = entry[0];
  if (field_index >= footer.fields.size()) {
    ThrowCorrupt(in.path(),
                 "check entry " + std::to_string(e + 1) + " names field " +
                     std::to_string(field_index + 1) + " of a footer with " +
                     std::to_string(footer.fields.size()) + " fields",
                 subcode::kBadValue);
  }
  const PxField& stored = footer.fields[field_index].field;
  const std::optional<size_t> table_index = mapping[field_index];
  const bool values_apply =
      table_index.has_value() && info.fields[*table_index].type == stored.type;
  ValidityCheck check;
  check.field_number = table_index.has_value() ? static_cast<uint16_t>(*table_index + 1) : 0;
  check.required = entry[kEntryRequired] != 0;
  if (LoadLe32(entry + kEntryLookup) != 0) {
    check.lookup_options = entry[kEntryLookupOptions];
    check.lookup_table = TextAt(in.take(kLookupSize, e, "lookup"), kLookupNameSize, code_page);
  }
  struct ValueSlot {
    size_t word;
    bool* flag;
    std::array<uint8_t, 256>* value;
    const char* name;
  };
  const ValueSlot slots[] = {{kEntryMin, &check.has_min, &check.min, "minimum"},
                             {kEntryMax, &check.has_max, &check.max, "maximum"},
                             {kEntryDefault, &check.has_default, &check.def, "default"}};
  for (const ValueSlot& slot : slots) {
    if (LoadLe32(entry + slot.word) == 0) continue;
    const uint8_t* value = in.take(stored.length, e, slot.name);
    if (values_apply) {
      *slot.flag = true;
      RecordToNative(stored, value, slot.value->data(), code_page);
    }
  }
  if (LoadLe32(entry + kEntryPicture) != 0) {
    check.picture = ReadPicture(in, e, entry[kEntryPictureLength], code_page);
  }
  if (check.lookup_table.empty()) check.lookup_options = 0;  // options of no lookup
  return check;
}

// An entry that checks nothing (the original engine leaves them behind), or
// whose picture or lookup is flagged but empty, is no check: what counts is
// what the entry holds, as the writer writes it.
bool ChecksSomething(const ValidityCheck& check) {
  return check.required || check.has_min || check.has_max || check.has_default ||
         !check.picture.empty() || !check.lookup_table.empty();
}

// Reads the check entries from `body` (the file's bytes up to the end of the
// entries), keeping those of fields the table still has.
std::vector<ValidityCheck> ReadEntries(const std::string& path, const std::vector<uint8_t>& body,
                                       size_t count, const Footer& footer,
                                       const std::vector<std::optional<size_t>>& mapping,
                                       const ValTableInfo& info, const CodePage& code_page) {
  EntryReader in(path, body);
  std::vector<ValidityCheck> checks;
  for (size_t e = 0; e < count; ++e) {
    ValidityCheck check = ReadEntry(in, e, footer, mapping, info, code_page);
    if (check.field_number != 0 && ChecksSomething(check)) checks.push_back(std::move(check));
  }
  in.checkEnd(count);
  return checks;
}

// Puts the parts of a link entry that RefIntegrityLink models (update rule,
// both field lists) into `entry`, as the writer writes them.
void StoreLinkParts(const RefIntegrityLink& link, uint8_t* entry) {
  StoreLe32(entry + kLinkRule, link.cascade ? 1 : 0);
  StoreLe16(entry + kLinkFieldCount, static_cast<uint16_t>(link.fields.size()));
  for (size_t i = 0; i < kLinkMaxFields; ++i) {
    const bool used = i < link.fields.size();
    StoreLe16(entry + kLinkFields + 2 * i, used ? link.fields[i] : 0);
    StoreLe16(entry + kLinkMasterFields + 2 * i, used ? link.master_fields[i] : 0);
  }
}

// Reads the referential-integrity section from `offset` to `end`. Links
// naming a footer field the table no longer has are left out.
RefIntegrity ReadReferences(File& file, const std::string& path, uint64_t offset, uint64_t end,
                            const Footer& footer, const std::vector<std::optional<size_t>>& mapping,
                            const CodePage& code_page) {
  const std::vector<uint8_t> data =
      ReadExactly(file, path, offset, static_cast<size_t>(end - offset), "referential integrity");
  if (data.size() < 2) {
    ThrowCorrupt(path, "the referential-integrity section at " + Hex(offset) + " is too short",
                 subcode::kBadHeader);
  }
  const size_t count = LoadLe16(data.data());
  if (count * kLinkSize > data.size() - 2) {
    ThrowCorrupt(path,
                 std::to_string(count) + " referential-integrity links do not fit between " +
                     Hex(offset) + " and " + Hex(end),
                 subcode::kBadHeader);
  }
  RefIntegrity integrity;
  for (size_t k = 0; k < count; ++k) {
    const uint8_t* entry = &data[2 + k * kLinkSize];
    const size_t fields = LoadLe16(entry + kLinkFieldCount);
    if (fields < 1 || fields > kLinkMaxFields) {
      ThrowCorrupt(path,
                   "referential-integrity link " + std::to_string(k + 1) + " has " +
                       std::to_string(fields) + " fields",
                   subcode::kBadValue);
    }
    RefIntegrityLink link;
    link.name = TextAt(entry, kLinkNameSize, code_page);
    link.master_table = TextAt(entry + kLinkMaster, kLinkMasterSize, code_page);
    link.cascade = LoadLe32(entry + kLinkRule) == 1;
    link.stored.assign(entry, entry + kLinkSize);
    bool mapped = true;
    for (size_t i = 0; i < fields; ++i) {
      const size_t number = LoadLe16(entry + kLinkFields + 2 * i);
      if (number < 1 || number > footer.fields.size()) {
        ThrowCorrupt(path,
                     "referential-integrity link " + std::to_string(k + 1) + " names field " +
                         std::to_string(number) + " of a footer with " +
                         std::to_string(footer.fields.size()) + " fields",
                     subcode::kBadValue);
      }
      const std::optional<size_t> table_index = mapping[number - 1];
      mapped = mapped && table_index.has_value();
      if (table_index) link.fields.push_back(static_cast<uint16_t>(*table_index + 1));
      link.master_fields.push_back(LoadLe16(entry + kLinkMasterFields + 2 * i));
    }
    if (!mapped) continue;
    // The stored bytes say what the link says now (the writer's form).
    StoreLinkParts(link, link.stored.data());
    integrity.links.push_back(std::move(link));
  }
  const size_t rest = 2 + count * kLinkSize;
  // Two zero bytes say no other table links to this one.
  if (data.size() - rest != 2 || data[rest] != 0 || data[rest + 1] != 0) {
    integrity.master_part.assign(data.begin() + static_cast<std::ptrdiff_t>(rest), data.end());
  }
  return integrity;
}

// Appends one check entry for `field` (the field's 0-based `index`).
void AppendEntry(std::vector<uint8_t>& out, const ValidityCheck& check, size_t index,
                 const PxField& field, bool old_layout, const CodePage& code_page) {
  std::string picture;
  if (!check.picture.empty()) {
    picture = Encode(code_page, check.picture, "The picture");
    if (picture.size() + 1 > 255 || picture.find('\0') != std::string::npos) {
      ThrowInvalid("The picture of field " + std::to_string(check.field_number) +
                   " is longer than 254 characters or holds a NUL");
    }
  }
  std::string lookup;
  if (!check.lookup_table.empty()) {
    lookup = Encode(code_page, check.lookup_table, "The lookup table");
    if (lookup.size() + 1 > kLookupNameSize || lookup.find('\0') != std::string::npos) {
      ThrowInvalid("The lookup table name \"" + check.lookup_table + "\" of field " +
                   std::to_string(check.field_number) + " is longer than " +
                   std::to_string(kLookupNameSize - 1) + " characters");
    }
  }

  const size_t at = out.size();
  out.resize(at + kEntryFixedSize, 0);
  out[at] = static_cast<uint8_t>(index);
  out[at + kEntryPictureLength] = picture.empty() ? 0 : static_cast<uint8_t>(picture.size() + 1);
  out[at + kEntryRequired] = check.required ? 1 : 0;
  const std::pair<bool, size_t> words[] = {
      {!lookup.empty(), kEntryLookup},    {!lookup.empty() && old_layout, kEntryLookup2},
      {check.has_min, kEntryMin},         {check.has_max, kEntryMax},
      {check.has_default, kEntryDefault}, {!picture.empty(), kEntryPicture}};
  for (const auto& [present, offset] : words) {
    if (present) StoreLe32(&out[at + offset], kPresentMarker);
  }
  if (!lookup.empty()) {
    out[at + kEntryLookupOptions] = check.lookup_options;
    const size_t l = out.size();
    out.resize(l + kLookupSize, 0);
    std::memcpy(&out[l], lookup.data(), lookup.size());
  }
  const std::pair<bool, const std::array<uint8_t, 256>*> values[] = {
      {check.has_min, &check.min}, {check.has_max, &check.max}, {check.has_default, &check.def}};
  for (const auto& [present, value] : values) {
    if (!present) {
      continue;
    }
    size_t v = out.size();
    out.resize(v + field.length, 0);
    NativeToRecord(field, value->data(), &out[v], code_page);
  }
  if (!picture.empty()) {
    out.insert(out.end(), picture.begin(), picture.end());
    out.push_back(0);
  }
}

void CheckEntries(const ValTableInfo& info, const std::vector<ValidityCheck>& checks) {
  const size_t n = info.fields.size();
  uint16_t previous = 0;
  for (const ValidityCheck& check : checks) {
    if (check.field_number < 1 || check.field_number > n) {
      ThrowInvalid("Validity check on field " + std::to_string(check.field_number) +
                   " of a table with " + std::to_string(n) + " fields");
    }
    if (check.field_number <= previous) {
      ThrowInvalid("Validity checks must be in ascending field order without repeats (field " +
                   std::to_string(check.field_number) + ")");
    }
    previous = check.field_number;
    const PxField& field = info.fields[check.field_number - 1];
    const bool any_value = check.has_min || check.has_max || check.has_default;
    if (any_value && IsBlobType(field.type)) {
      ThrowInvalid("A " + std::string(PxTypeLetter(field.type)) +
                   " field cannot have a minimum, maximum or default (field " +
                   std::to_string(check.field_number) + ")");
    }
    if (any_value && field.length != StorageSize(field.type, field.size_byte)) {
      ThrowInvalid("Field " + std::to_string(check.field_number) +
                   " has a length that does not match its type");
    }
  }
}

// Appends the referential-integrity section.
void AppendReferences(std::vector<uint8_t>& out, const ValTableInfo& info,
                      const RefIntegrity& integrity, const CodePage& code_page) {
  if (integrity.links.size() > 0xFFFF) ThrowLimit("Too many referential-integrity links");
  const size_t at = out.size();
  out.resize(at + 2, 0);
  StoreLe16(&out[at], static_cast<uint16_t>(integrity.links.size()));
  for (const RefIntegrityLink& link : integrity.links) {
    if (link.fields.empty() || link.fields.size() > kLinkMaxFields ||
        link.master_fields.size() != link.fields.size()) {
      ThrowInvalid("Referential-integrity link \"" + link.name + "\" needs 1 to " +
                   std::to_string(kLinkMaxFields) + " fields, as many as its master key has");
    }
    std::vector<uint8_t> entry = link.stored;
    if (entry.size() != kLinkSize) {
      // A new link: its name and master table in the parts the file keeps
      // for them, the rest zero.
      entry.assign(kLinkSize, 0);
      const std::string name = Encode(code_page, link.name, "The link name");
      const std::string master = Encode(code_page, link.master_table, "The master table");
      if (name.size() >= kLinkNameSize || master.size() >= kLinkMasterSize) {
        ThrowInvalid("Referential-integrity link \"" + link.name + "\" has too long a name");
      }
      std::memcpy(&entry[0], name.data(), name.size());
      std::memcpy(&entry[kLinkMaster], master.data(), master.size());
    }
    for (uint16_t field : link.fields) {
      if (field < 1 || field > info.fields.size()) {
        ThrowInvalid("Referential-integrity link \"" + link.name + "\" names field " +
                     std::to_string(field) + " of a table with " +
                     std::to_string(info.fields.size()) + " fields");
      }
    }
    StoreLinkParts(link, entry.data());
    out.insert(out.end(), entry.begin(), entry.end());
  }
  if (integrity.master_part.empty()) {
    out.push_back(0);
    out.push_back(0);
  } else {
    out.insert(out.end(), integrity.master_part.begin(), integrity.master_part.end());
  }
}

// Appends the footer: the table's fields as the file was written for them.
void AppendFooter(std::vector<uint8_t>& out, const ValTableInfo& info, const std::string& path) {
  const size_t n = info.fields.size();
  const size_t table_name_size = TableNameSize(info.file_version_id);
  size_t names_size = table_name_size;
  for (const PxField& f : info.fields) {
    names_size += BoundedLength(reinterpret_cast<const uint8_t*>(f.name.data()), f.name.size()) + 1;
  }
  if (names_size > 0xFFFF) {
    ThrowInvalid("Field names too long for \"" + path + "\"");
  }
  const size_t footer_offset = out.size();
  out.resize(footer_offset + kFooterFixedSize + 4 * n, 0);
  uint8_t* footer = &out[footer_offset];
  StoreLe16(footer, static_cast<uint16_t>(n));
  StoreLe16(footer + 2, static_cast<uint16_t>(info.key_fields));
  StoreLe16(footer + 4, static_cast<uint16_t>(names_size));
  for (size_t i = 0; i < n; ++i) {
    StoreLe16(footer + kFooterFixedSize + 2 * i, static_cast<uint16_t>(i + 1));
    footer[kFooterFixedSize + 2 * n + 2 * i] = static_cast<uint8_t>(info.fields[i].type);
    footer[kFooterFixedSize + 2 * n + 2 * i + 1] = info.fields[i].size_byte;
  }
  size_t name_at = out.size();
  out.resize(name_at + table_name_size, 0);
  std::memcpy(&out[name_at], info.table_name.data(),
              std::min(info.table_name.size(), table_name_size - 1));
  for (const PxField& f : info.fields) {
    size_t len = BoundedLength(reinterpret_cast<const uint8_t*>(f.name.data()), f.name.size());
    out.insert(out.end(), f.name.begin(), f.name.begin() + static_cast<std::ptrdiff_t>(len));
    out.push_back(0);
  }
}

}  // namespace

std::vector<ValidityCheck> ReadValFile(FileSystem& fs, const std::string& path,
                                       const ValTableInfo& info, const CodePage& code_page,
                                       RefIntegrity* integrity) {
  std::unique_ptr<File> file = fs.open(path, OpenMode::kRead);
  const uint64_t file_size = file->size();
  const Layout layout = ReadLayout(*file, path, file_size);
  const bool old_layout = layout.version == kLevel3Version;
  const Footer footer =
      old_layout ? FooterOfTable(info)
                 : ParseFooter(*file, path, file_size, layout.footer_offset, layout.version);
  std::vector<std::optional<size_t>> mapping(footer.fields.size());
  for (size_t i = 0; i < footer.fields.size(); ++i) {
    mapping[i] = old_layout ? std::optional<size_t>(i) : MapFooterField(footer, i, info, code_page);
  }
  const std::vector<uint8_t> body =
      ReadExactly(*file, path, 0, static_cast<size_t>(layout.body_end), "check entries");
  std::vector<ValidityCheck> checks =
      ReadEntries(path, body, layout.count, footer, mapping, info, code_page);
  if (integrity != nullptr) {
    *integrity = layout.ri_offset == 0
                     ? RefIntegrity{}
                     : ReadReferences(*file, path, layout.ri_offset, layout.footer_offset, footer,
                                      mapping, code_page);
  }
  return checks;
}

void WriteValFile(FileSystem& fs, const std::string& path, const ValTableInfo& info,
                  const std::vector<ValidityCheck>& checks, const CodePage& code_page,
                  const RefIntegrity& integrity) {
  const uint8_t version = info.file_version_id;
  const bool old_layout = version < kFirstVersion;
  if (version < 0x03 || version > kLevel7Version) {
    ThrowInvalid("Validity checks cannot be stored for a table of version " + Hex(version) +
                 " (\"" + path + "\")");
  }
  if (old_layout && !integrity.empty()) {
    ThrowInvalid("Referential integrity cannot be stored for a level 3 table (\"" + path + "\")");
  }
  const size_t n = info.fields.size();
  if (n == 0 || n > 255) {
    ThrowInvalid("Cannot write validity file \"" + path + "\" for a table of " + std::to_string(n) +
                 " fields");
  }
  if (checks.size() > 255) {
    ThrowLimit("Too many validity checks (" + std::to_string(checks.size()) + ") for \"" + path +
               "\"");
  }
  CheckEntries(info, checks);

  std::vector<uint8_t> out(kHeaderSize, 0);
  out[0] = info.change_count2;
  out[1] = old_layout ? kLevel3Version : version;
  out[kOffCount] = static_cast<uint8_t>(checks.size());
  if (!old_layout) {
    StoreLe16(&out[kOffHiFieldId],
              info.hi_field_id != 0 ? info.hi_field_id : static_cast<uint16_t>(n + 1));
  }
  for (const ValidityCheck& check : checks) {
    AppendEntry(out, check, check.field_number - 1u, info.fields[check.field_number - 1u],
                old_layout, code_page);
  }
  if (!old_layout) {
    if (!integrity.empty()) {
      StoreLe32(&out[kOffRi], static_cast<uint32_t>(out.size()));
      AppendReferences(out, info, integrity, code_page);
    }
    StoreLe32(&out[kOffFooter], static_cast<uint32_t>(out.size()));
    AppendFooter(out, info, path);
  }

  std::unique_ptr<File> file = fs.open(path, OpenMode::kCreate);
  file->write(0, out.data(), out.size());
  file->sync();
}

void RecordToNative(const PxField& field, const uint8_t* record, uint8_t* native,
                    const CodePage& code_page) {
  std::memset(native, 0, kNativeSize);
  switch (field.type) {
    case PxType::kAlpha: {
      size_t len = BoundedLength(record, field.length);
      std::string text =
          TruncateUtf8(code_page.toUtf8(reinterpret_cast<const char*>(record), len), 255);
      // The rest of the buffer is already zero: the text's terminator.
      std::copy_n(text.data(), text.size(), native);
      break;
    }
    case PxType::kLogical:
      if (DecodeLogical(record).value_or(false)) {
        StoreLe16(native, 0xFFFF);
      }
      break;
    case PxType::kShort:
      StoreLe16(native, static_cast<uint16_t>(DecodeShort(record).value_or(0)));
      break;
    case PxType::kLong:
    case PxType::kAutoInc:
    case PxType::kDate:
    case PxType::kTime:
      StoreLe32(native, static_cast<uint32_t>(DecodeLong(record).value_or(0)));
      break;
    case PxType::kNumber:
    case PxType::kMoney:
    case PxType::kTimestamp:
      StoreLe64(native, std::bit_cast<uint64_t>(DecodeDouble(record).value_or(0.0)));
      break;
    case PxType::kBcd:
    case PxType::kBytes:
      std::memcpy(native, record, std::min<size_t>(field.length, kNativeSize));
      break;
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      break;
  }
}

void NativeToRecord(const PxField& field, const uint8_t* native, uint8_t* record,
                    const CodePage& code_page) {
  switch (field.type) {
    case PxType::kAlpha: {
      size_t len = BoundedLength(native, kNativeSize);
      std::string text = Encode(code_page, std::string(reinterpret_cast<const char*>(native), len),
                                "The check value");
      std::memset(record, 0, field.length);
      // A text filling the field has no terminator, as in a record.
      std::copy_n(text.data(), std::min<size_t>(text.size(), field.length), record);
      break;
    }
    case PxType::kLogical:
      EncodeLogical(record, LoadLe16(native) != 0);
      break;
    case PxType::kShort:
      EncodeShort(record, static_cast<int16_t>(LoadLe16(native)));
      break;
    case PxType::kLong:
    case PxType::kAutoInc:
    case PxType::kDate:
    case PxType::kTime:
      EncodeLong(record, static_cast<int32_t>(LoadLe32(native)));
      break;
    case PxType::kNumber:
    case PxType::kMoney:
    case PxType::kTimestamp:
      EncodeDouble(record, std::bit_cast<double>(LoadLe64(native)));
      break;
    case PxType::kBcd:
    case PxType::kBytes:
      std::memcpy(record, native, std::min<size_t>(field.length, kNativeSize));
      break;
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo:
    case PxType::kOle:
    case PxType::kGraphic:
      break;
  }
}

std::optional<Value> CheckValueOf(FieldType type, int size,
                                  const std::array<uint8_t, 256>& native) {
  const uint8_t* p = native.data();
  switch (type) {
    case FieldType::kString:
      return Value{
          std::string(reinterpret_cast<const char*>(p), BoundedLength(p, kNativeSize - 1))};
    case FieldType::kSmallint:
      return Value{int64_t{static_cast<int16_t>(LoadLe16(p))}};
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kAutoInc:
      return Value{int64_t{static_cast<int32_t>(LoadLe32(p))}};
    case FieldType::kBoolean:
      return Value{LoadLe16(p) != 0};
    case FieldType::kFloat:
    case FieldType::kCurrency:
      return Value{std::bit_cast<double>(LoadLe64(p))};
    case FieldType::kDate:
      return Value{Date{static_cast<int32_t>(LoadLe32(p))}};
    case FieldType::kTime:
      return Value{TimeOfDay{static_cast<int32_t>(LoadLe32(p))}};
    case FieldType::kDateTime:
      return Value{Timestamp{std::bit_cast<double>(LoadLe64(p))}};
    case FieldType::kBCD:
      if (std::optional<std::string> text = DecodeBcd(p, size)) return Value{Decimal{*text}};
      return std::nullopt;
    case FieldType::kBytes: {
      const size_t length = std::min(static_cast<size_t>(std::max(size, 0)), kNativeSize);
      return Value{Bytes(p, p + length)};
    }
    default:
      return std::nullopt;
  }
}

}  // namespace vellum::engine::paradox
