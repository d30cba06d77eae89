// Fuzz target for the .VAL reader (validity checks).
//
// The reader maps the file's footer (the fields the checks were written for)
// onto the fields of the table, so the bytes are read against several
// tables: the one the footer itself describes, the same fields reordered and
// one of them renamed (an outdated file), the same fields with other types
// (values dropped), and an unrelated table (the one the old layout of
// level-3 tables is read against). Checks and referential-integrity links
// read against the table the footer describes, or the level-3 table, must
// survive a write and a second read unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/px_types.h"
#include "engine/paradox/val_file.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::MemoryFileSystem;
using vellum::engine::paradox::CodePage;
using vellum::engine::paradox::IsKnownPxType;
using vellum::engine::paradox::LoadLe16;
using vellum::engine::paradox::LoadLe32;
using vellum::engine::paradox::PxField;
using vellum::engine::paradox::PxType;
using vellum::engine::paradox::ReadValFile;
using vellum::engine::paradox::RefIntegrity;
using vellum::engine::paradox::StorageSize;
using vellum::engine::paradox::ValidityCheck;
using vellum::engine::paradox::ValTableInfo;
using vellum::engine::paradox::WriteValFile;
using vellum::fuzz::Expect;
using vellum::fuzz::kDirectory;

const std::string kPath = kDirectory + "/FUZZ.VAL";
const std::string kCopyPath = kDirectory + "/COPY.VAL";

// Code page 437 gives every byte a character of its own, so text converts to
// UTF-8 and back without loss; 1252 leaves some bytes unmapped.
const CodePage& Cp437() {
  static const CodePage cp(437);
  return cp;
}
const CodePage& Cp1252() {
  static const CodePage cp(1252);
  return cp;
}

void AddField(ValTableInfo* info, std::string name, PxType type, uint8_t size_byte) {
  PxField f;
  f.name = std::move(name);
  f.type = type;
  f.size_byte = size_byte;
  f.offset = info->fields.empty()
                 ? 0
                 : static_cast<uint16_t>(info->fields.back().offset + info->fields.back().length);
  f.length = static_cast<uint16_t>(StorageSize(type, size_byte));
  info->fields.push_back(f);
}

// The table the footer describes, read from the bytes independently of the
// engine's reader; false when the footer cannot be made out.
bool TableOfFooter(const uint8_t* data, size_t size, ValTableInfo* info) {
  if (size < 0x35) return false;
  const uint8_t version = data[1];
  if (version < 0x05 || version > 0x0C) return false;
  const uint64_t footer = LoadLe32(data + 0x09);
  if (footer + 6 > size) return false;
  const size_t n = LoadLe16(data + footer);
  if (n == 0 || n > 255) return false;
  const size_t types_at = footer + 6 + 2 * n;
  const size_t table_name_size = version == 0x0C ? 261 : 79;
  size_t pos = types_at + 2 * n;
  if (pos + table_name_size > size) return false;
  info->file_version_id = version;
  info->change_count2 = data[0];
  info->hi_field_id = LoadLe16(data + 0x07);
  info->key_fields = LoadLe16(data + footer + 2);
  const uint8_t* table_name = data + pos;
  info->table_name.assign(reinterpret_cast<const char*>(table_name),
                          std::find(table_name, table_name + table_name_size, 0) - table_name);
  pos += table_name_size;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t type = data[types_at + 2 * i];
    const uint8_t size_byte = data[types_at + 2 * i + 1];
    if (!IsKnownPxType(type) || StorageSize(static_cast<PxType>(type), size_byte) == 0) {
      return false;
    }
    const uint8_t* end = std::find(data + pos, data + size, 0);
    if (end == data + size) return false;
    AddField(info, std::string(reinterpret_cast<const char*>(data + pos), end - (data + pos)),
             static_cast<PxType>(type), size_byte);
    pos = static_cast<size_t>(end - data) + 1;
  }
  return true;
}

// Field names the reader tells apart for sure: ASCII, distinct ignoring case.
bool DistinctAsciiNames(const ValTableInfo& info) {
  std::vector<std::string> names;
  for (const auto& f : info.fields) {
    std::string upper;
    for (char c : f.name) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
      upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    names.push_back(upper);
  }
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end();
}

// What was read from a file, written and read again, is what was read.
void CheckRoundTrip(MemoryFileSystem& fs, const ValTableInfo& info,
                    const std::vector<ValidityCheck>& first, const RefIntegrity& integrity) {
  if (!Expect([&] { WriteValFile(fs, kCopyPath, info, first, Cp437(), integrity); })) return;
  std::vector<ValidityCheck> second;
  RefIntegrity integrity_again;
  if (!Expect([&] { second = ReadValFile(fs, kCopyPath, info, Cp437(), &integrity_again); })) {
    vellum::fuzz::Fail("a validity file just written cannot be read back");
  }
  if (first != second) vellum::fuzz::Fail("validity checks change through a write and a read");
  if (integrity != integrity_again) {
    vellum::fuzz::Fail("referential integrity changes through a write and a read");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  fs.addFile(kPath, data, size);

  std::vector<ValTableInfo> tables;
  ValTableInfo own;
  const bool has_own = TableOfFooter(data, size, &own);
  if (has_own) {
    tables.push_back(own);
    ValTableInfo outdated = own;
    std::reverse(outdated.fields.begin(), outdated.fields.end());
    outdated.fields.front().name = "GONE";
    tables.push_back(outdated);
    ValTableInfo retyped = own;
    for (auto& f : retyped.fields) {
      const bool alpha = f.type == PxType::kAlpha;
      f.type = alpha ? PxType::kLong : PxType::kAlpha;
      f.size_byte = alpha ? 4 : 10;
      f.length = static_cast<uint16_t>(StorageSize(f.type, f.size_byte));
    }
    tables.push_back(retyped);
  }
  ValTableInfo other;
  other.table_name = "OTHER.DB";
  other.file_version_id = size > 1 ? data[1] : 0x09;
  AddField(&other, "ID", PxType::kLong, 4);
  AddField(&other, "Name", PxType::kAlpha, 30);
  AddField(&other, "Amount", PxType::kMoney, 8);
  AddField(&other, "When", PxType::kDate, 4);
  AddField(&other, "Notes", PxType::kMemo, 20);
  tables.push_back(other);

  // The old layout of level-3 tables names the table's fields directly.
  const bool old_layout = size > 1 && data[1] == 0x01;
  if (old_layout) other.file_version_id = 0x03;
  for (size_t i = 0; i < tables.size(); ++i) {
    std::vector<ValidityCheck> checks;
    RefIntegrity integrity;
    Expect([&] { checks = ReadValFile(fs, kPath, tables[i], Cp1252(), &integrity); });
    if (!Expect([&] { checks = ReadValFile(fs, kPath, tables[i], Cp437(), &integrity); })) {
      continue;
    }
    const bool footer_table = has_own && i == 0 && DistinctAsciiNames(own);
    const bool level3_table = old_layout && i + 1 == tables.size();
    if (footer_table || level3_table) CheckRoundTrip(fs, tables[i], checks, integrity);
  }
  return 0;
}
