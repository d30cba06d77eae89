#include "engine/paradox/header.h"

#include <cstring>

#include "engine/errors.h"
#include "engine/paradox/codec.h"

namespace vellum::engine::paradox {

namespace {

constexpr size_t kFixedSize = 0x58;
constexpr size_t kExtensionEnd = 0x78;

struct Sort {
  uint8_t id;
  const char* name;
};
constexpr Sort kSortOrders[] = {
    {0x00, "ascii"},    {0xB7, "intl"},     {0x54, "intl850"},  {0x82, "nordan"},
    {0xE6, "nordan40"}, {0xF0, "swedfin"},  {0x62, "ANSIINTL"}, {0x11, "ANSII850"},
    {0x5D, "ANSISPAN"}, {0x69, "ANSISWFN"}, {0x4E, "ANSINOR4"}, {0x4C, "DBWINUS0"},
    {0x40, "DBWINWE0"}, {0x3C, "DBWINES0"}, {0x03, "china"},    {0x14, "BLROM800"},
    {0x0D, "czech"},    {0x8F, "polish"},   {0xC0, "cyrr"},     {0xC6, "turk"},
    {0xDC, "anczech"},  {0x8F, "ancyrr"},   {0x0E, "angreek1"}, {0xD5, "ANTURK"},
};

// Bounded reader over the header bytes.
class Reader {
 public:
  Reader(const uint8_t* data, size_t limit, const std::string& file)
      : data_(data), limit_(limit), file_(file) {}
  void need(size_t pos, size_t n, const char* what) const {
    if (pos > limit_ || n > limit_ - pos) {
      ThrowCorrupt(file_, std::string("header ends inside ") + what, subcode::kBadHeader);
    }
  }
  std::string cstring(size_t* pos, const char* what) const {
    size_t start = *pos;
    while (true) {
      need(*pos, 1, what);
      if (data_[*pos] == 0) break;
      ++*pos;
    }
    std::string s(reinterpret_cast<const char*>(data_ + start), *pos - start);
    ++*pos;
    return s;
  }
  const uint8_t* at(size_t pos) const { return data_ + pos; }

 private:
  const uint8_t* data_;
  size_t limit_;
  const std::string& file_;
};

std::string FixedString(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(p), len);
}

}  // namespace

std::string TableHeader::levelText() const {
  switch (level()) {
    case 3:
      return version_id == 0x04 ? "3.5" : "3";
    default:
      return std::to_string(level());
  }
}

int TableHeader::level() const {
  if (version_id <= 0x04) return 3;
  if (version_id <= 0x09) return 4;
  if (version_id <= 0x0B) return 5;
  return 7;
}

uint8_t VersionIdForLevel(int level) {
  switch (level) {
    case 3:
      return 0x03;
    case 4:
      return 0x09;
    case 5:
      return 0x0B;
    default:
      return 0x0C;
  }
}

std::string BlockFileShortfall(const TableHeader& h, uint64_t file_size) {
  if (h.file_blocks == 0) return "";
  const uint64_t last = h.header_size + static_cast<uint64_t>(h.file_blocks - 1) * h.blockSize();
  const uint64_t end = last + h.blockSize();
  if (file_size >= end) return "";
  // Real files may end inside their last block, after its records, on a
  // kilobyte boundary; anything else is a file cut short.
  if (file_size >= last + 6 && (file_size - h.header_size) % 1024 == 0) return "";
  const uint64_t cut =
      file_size <= h.header_size ? 1 : (file_size - h.header_size) / h.blockSize() + 1;
  return "the file is cut part-way through block " + std::to_string(cut) + " of " +
         std::to_string(h.file_blocks);
}

uint8_t SortOrderByteFor(const std::string& sort_order_id) {
  for (const auto& s : kSortOrders) {
    if (sort_order_id == s.name) return s.id;
  }
  return 0;
}

std::string SortOrderNameFor(uint8_t sort_order_byte, int code_page) {
  if (sort_order_byte == 0x8F) return code_page == 1251 ? "ancyrr" : "polish";
  for (const auto& s : kSortOrders) {
    if (s.id == sort_order_byte) return s.name;
  }
  return "";
}

TableHeader ParseHeader(const uint8_t* data, size_t size, uint64_t file_size,
                        const std::string& file) {
  if (file_size == 0) ThrowCorrupt(file, "the file is empty", subcode::kBadHeader);
  if (size < kFixedSize || file_size < kFixedSize) {
    ThrowCorrupt(file, "the file is shorter than a table header", subcode::kBadHeader);
  }
  TableHeader h;
  const uint8_t* p = data;
  h.record_size = LoadLe16(p + 0x00);
  h.header_size = LoadLe16(p + 0x02);
  h.file_type = p[0x04];
  h.block_kb = p[0x05];
  h.num_records = LoadLe32(p + 0x06);
  h.used_blocks = LoadLe16(p + 0x0A);
  h.file_blocks = LoadLe16(p + 0x0C);
  h.first_block = LoadLe16(p + 0x0E);
  h.last_block = LoadLe16(p + 0x10);
  h.unknown12 = LoadLe16(p + 0x12);
  h.modified_flags1 = p[0x14];
  h.index_field_number = p[0x15];
  h.primary_index_workspace = LoadLe32(p + 0x16);
  h.index_root = LoadLe16(p + 0x1E);
  h.index_levels = p[0x20];
  h.num_fields = LoadLe16(p + 0x21);
  h.key_fields = LoadLe16(p + 0x23);
  h.encryption1 = LoadLe32(p + 0x25);
  h.sort_order = p[0x29];
  h.modified_flags2 = p[0x2A];
  h.index_stamp = p[0x2C];
  h.change_count1 = p[0x2D];
  h.change_count2 = p[0x2E];
  h.unknown2f = p[0x2F];
  h.write_stamp = LoadLe32(p + 0x30);
  h.write_protected = p[0x38];
  h.version_id = p[0x39];
  h.max_blocks = LoadLe16(p + 0x3A);
  h.aux_passwords = p[0x3D];
  h.unknown3e = LoadLe16(p + 0x3E);
  h.auto_inc = LoadLe32(p + 0x49);
  h.first_free_block = LoadLe16(p + 0x4D);
  h.index_update_required = p[0x4F];
  h.real_header_size = LoadLe16(p + 0x51);
  h.index_flags = p[0x55];
  h.unknown56 = p[0x56];

  if (h.file_type > 8) ThrowCorrupt(file, "unknown file type", subcode::kBadHeader);
  if (h.version_id < 0x03 || h.version_id > 0x0C) {
    ThrowCorrupt(file, "unknown file version " + std::to_string(h.version_id), subcode::kBadHeader);
  }
  if (h.record_size == 0) ThrowCorrupt(file, "record size is 0", subcode::kBadHeader);
  if (h.block_kb < 1 || h.block_kb > 32) {
    ThrowCorrupt(file, "block size of " + std::to_string(h.block_kb) + " KB", subcode::kBadHeader);
  }
  if (h.record_size + 6u > h.blockSize()) {
    ThrowCorrupt(file, "records are larger than a block", subcode::kBadHeader);
  }
  if (h.header_size < kFixedSize || h.header_size > file_size) {
    ThrowCorrupt(file, "header size " + std::to_string(h.header_size) + " does not fit the file",
                 subcode::kBadHeader);
  }
  if (h.num_fields == 0 || h.num_fields > 1024) {
    ThrowCorrupt(file, "field count " + std::to_string(h.num_fields), subcode::kBadHeader);
  }
  if (h.key_fields > h.num_fields) {
    ThrowCorrupt(file, "more key fields than fields", subcode::kBadHeader);
  }

  const size_t limit = std::min<size_t>(size, h.header_size);
  Reader r(data, limit, file);
  const bool index_file = h.isIndexFile();
  size_t pos = kFixedSize;
  if (h.hasExtension()) {
    r.need(kFixedSize, kExtensionEnd - kFixedSize, "the extension block");
    h.encryption2 = LoadLe32(p + 0x5C);
    h.update_time = LoadLe32(p + 0x60);
    h.hi_field_id = LoadLe16(p + 0x64);
    h.code_page = LoadLe16(p + 0x6A);
    h.change_count4 = LoadLe16(p + 0x70);
    pos = kExtensionEnd;
  }

  const size_t n = h.num_fields;
  r.need(pos, 2 * n, "the field list");
  uint32_t offset = 0;
  h.fields.resize(n);
  for (size_t i = 0; i < n; ++i) {
    uint8_t type = data[pos + 2 * i];
    uint8_t sz = data[pos + 2 * i + 1];
    if (!IsKnownPxType(type)) {
      ThrowCorrupt(file,
                   "field " + std::to_string(i + 1) + " has unknown type " + std::to_string(type),
                   subcode::kBadHeader);
    }
    int len = StorageSize(static_cast<PxType>(type), sz);
    if (len == 0) {
      ThrowCorrupt(file,
                   "field " + std::to_string(i + 1) + " has invalid size " + std::to_string(sz),
                   subcode::kBadHeader);
    }
    h.fields[i].type = static_cast<PxType>(type);
    h.fields[i].size_byte = sz;
    h.fields[i].offset = static_cast<uint16_t>(offset);
    h.fields[i].length = static_cast<uint16_t>(len);
    offset += static_cast<uint32_t>(len);
  }
  pos += 2 * n;
  const uint32_t expected = index_file ? offset + 6 : offset;
  if (expected != h.record_size) {
    ThrowCorrupt(file,
                 "record size " + std::to_string(h.record_size) + " does not match its fields (" +
                     std::to_string(expected) + ")",
                 subcode::kBadHeader);
  }
  pos += 4;                       // table name pointer
  if (!index_file) pos += 4 * n;  // field name pointers
  const size_t tlen = static_cast<size_t>(h.tableNameLength());
  r.need(pos, tlen, "the table name");
  h.table_name = FixedString(data + pos, tlen);
  pos += tlen;
  if (index_file) return h;

  for (size_t i = 0; i < n; ++i) h.fields[i].name = r.cstring(&pos, "the field names");
  if (h.version_id < 0x05) return h;

  // Field numbers and sort order: use the offsets the extension records when
  // they are sane, else the positions that follow. An encrypted table may
  // keep password information between the field names and the field
  // numbers (none in real tables seen so far); the offsets pass over it.
  size_t numbers_at = static_cast<size_t>(LoadLe16(p + 0x66)) + kFixedSize;
  if (LoadLe16(p + 0x66) == 0 || numbers_at + 2 * n > limit) numbers_at = pos;
  r.need(numbers_at, 2 * n, "the field numbers");
  h.field_numbers.resize(n);
  for (size_t i = 0; i < n; ++i) {
    uint16_t v = LoadLe16(data + numbers_at + 2 * i);
    h.field_numbers[i] = v;
    h.fields[i].descending = (v & 0x8000) != 0;
  }
  size_t sort_at = static_cast<size_t>(LoadLe16(p + 0x6E)) + kFixedSize;
  if (LoadLe16(p + 0x6E) == 0 || sort_at >= limit) sort_at = numbers_at + 2 * n;
  h.sort_order_id = r.cstring(&sort_at, "the sort order");
  if (h.file_type == 6 || h.file_type == 8) {
    uint16_t name_off = LoadLe16(p + 0x68);
    size_t name_at = name_off != 0 ? static_cast<size_t>(name_off) + kFixedSize : sort_at;
    if (name_at < limit) h.index_name = r.cstring(&name_at, "the index name");
  }
  return h;
}

size_t ComputeRealHeaderSize(const TableHeader& h) {
  const size_t n = h.fields.size();
  const bool index_file = h.isIndexFile();
  size_t pos = h.hasExtension() ? kExtensionEnd : kFixedSize;
  pos += 2 * n + 4 + static_cast<size_t>(h.tableNameLength());
  if (index_file) return pos;
  pos += 4 * n;
  for (const auto& f : h.fields) pos += f.name.size() + 1;
  if (h.version_id >= 0x05) {
    pos += 2 * n + h.sort_order_id.size() + 1;
    if (h.file_type == 6 || h.file_type == 8) pos += h.index_name.size() + 1;
  }
  return pos;
}

std::vector<uint8_t> SerializeHeader(TableHeader& h) {
  const size_t n = h.fields.size();
  h.num_fields = static_cast<uint16_t>(n);
  const size_t real = ComputeRealHeaderSize(h);
  if (h.version_id <= 0x03) {
    h.header_size = static_cast<uint16_t>(real);
    h.real_header_size = 0;
  } else {
    size_t rounded = (real + 0x7FF) / 0x800 * 0x800;
    if (rounded > 0xF800) ThrowLimit("The table header is too large");
    h.header_size = static_cast<uint16_t>(rounded);
    h.real_header_size = static_cast<uint16_t>(real);
  }
  std::vector<uint8_t> out(h.header_size, 0);
  uint8_t* p = out.data();
  StoreLe16(p + 0x00, h.record_size);
  StoreLe16(p + 0x02, h.header_size);
  p[0x04] = h.file_type;
  p[0x05] = h.block_kb;
  StoreLe32(p + 0x06, h.num_records);
  StoreLe16(p + 0x0A, h.used_blocks);
  StoreLe16(p + 0x0C, h.file_blocks);
  StoreLe16(p + 0x0E, h.first_block);
  StoreLe16(p + 0x10, h.last_block);
  StoreLe16(p + 0x12, h.unknown12);
  p[0x14] = h.modified_flags1;
  p[0x15] = h.index_field_number;
  StoreLe32(p + 0x16, h.primary_index_workspace);
  StoreLe16(p + 0x1E, h.index_root);
  p[0x20] = h.index_levels;
  StoreLe16(p + 0x21, h.num_fields);
  StoreLe16(p + 0x23, h.key_fields);
  StoreLe32(p + 0x25, h.encryption1);
  p[0x29] = h.sort_order;
  p[0x2A] = h.modified_flags2;
  p[0x2C] = h.index_stamp;
  p[0x2D] = h.change_count1;
  p[0x2E] = h.change_count2;
  p[0x2F] = h.unknown2f;
  StoreLe32(p + 0x30, h.write_stamp);
  p[0x38] = h.write_protected;
  p[0x39] = h.version_id;
  StoreLe16(p + 0x3A, h.max_blocks);
  p[0x3D] = h.aux_passwords;
  StoreLe16(p + 0x3E, h.unknown3e);
  StoreLe32(p + 0x49, h.auto_inc);
  StoreLe16(p + 0x4D, h.first_free_block);
  p[0x4F] = h.index_update_required;
  StoreLe16(p + 0x51, h.real_header_size);
  p[0x55] = h.index_flags;
  p[0x56] = h.unknown56;

  const bool index_file = h.isIndexFile();
  size_t pos = kFixedSize;
  if (h.hasExtension()) {
    StoreLe16(p + 0x58, static_cast<uint16_t>(0x0100 + h.version_id));
    StoreLe16(p + 0x5A, static_cast<uint16_t>(0x0100 + h.version_id));
    StoreLe32(p + 0x5C, h.encryption2);
    StoreLe32(p + 0x60, h.update_time);
    StoreLe16(p + 0x64, h.hi_field_id);
    StoreLe16(p + 0x6A, h.code_page);
    p[0x6C] = 1;
    p[0x6D] = 1;
    StoreLe16(p + 0x70, h.change_count4);
    pos = kExtensionEnd;
  }
  for (size_t i = 0; i < n; ++i) {
    p[pos + 2 * i] = static_cast<uint8_t>(h.fields[i].type);
    p[pos + 2 * i + 1] = h.fields[i].size_byte;
  }
  pos += 2 * n + 4;
  if (!index_file) pos += 4 * n;
  const size_t tlen = static_cast<size_t>(h.tableNameLength());
  std::memcpy(p + pos, h.table_name.data(), std::min(h.table_name.size(), tlen - 1));
  pos += tlen;
  if (index_file) return out;
  for (const auto& f : h.fields) {
    std::memcpy(p + pos, f.name.data(), f.name.size());
    pos += f.name.size() + 1;
  }
  if (h.version_id >= 0x05) {
    StoreLe16(p + 0x66, static_cast<uint16_t>(pos - kFixedSize));
    for (size_t i = 0; i < n; ++i) {
      uint16_t v = i < h.field_numbers.size() ? h.field_numbers[i] : static_cast<uint16_t>(i + 1);
      StoreLe16(p + pos + 2 * i, v);
    }
    pos += 2 * n;
    StoreLe16(p + 0x6E, static_cast<uint16_t>(pos - kFixedSize));
    std::memcpy(p + pos, h.sort_order_id.data(), h.sort_order_id.size());
    pos += h.sort_order_id.size() + 1;
    if (h.file_type == 6 || h.file_type == 8) {
      StoreLe16(p + 0x68, static_cast<uint16_t>(pos - kFixedSize));
      std::memcpy(p + pos, h.index_name.data(), h.index_name.size());
    }
  }
  return out;
}

}  // namespace vellum::engine::paradox
