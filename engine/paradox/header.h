// Headers of table-format files: .DB data files, .PX primary indexes, .Xnn /
// .XGn secondary-index data files and .Ynn / .YGn secondary-index indexes.
//
// All four share the fixed little-endian header at 0x00-0x57. Data files (DB
// and X) of version 0x05 and later add an extension block at 0x58-0x77; the
// variable part (field types, table name, field names, field numbers, sort
// order, index name) follows without gaps. Index files (PX and Y) have field
// types and the table name only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/paradox/px_types.h"

namespace vellum::engine::paradox {

enum class FileType : uint8_t {
  kKeyedData = 0,
  kPrimaryIndex = 1,
  kUnkeyedData = 2,
  kSecondaryDataNonMaintained = 3,
  kSecondaryIndex = 4,
  kSecondaryDataMaintained = 5,
  kCompositeDataNonMaintained = 6,
  kCompositeIndex = 7,
  kCompositeDataMaintained = 8,
};

inline bool IsIndexFileType(uint8_t t) { return t == 1 || t == 4 || t == 7; }
inline bool IsSecondaryDataType(uint8_t t) { return t == 3 || t == 5 || t == 6 || t == 8; }

struct TableHeader {
  // Fixed part.
  uint16_t record_size = 0;
  uint16_t header_size = 0x800;
  uint8_t file_type = 2;
  uint8_t block_kb = 2;  // maxTableSize
  uint32_t num_records = 0;
  uint16_t used_blocks = 0;
  uint16_t file_blocks = 0;
  uint16_t first_block = 0;
  uint16_t last_block = 0;
  uint16_t unknown12 = 3;
  uint8_t modified_flags1 = 0;
  uint8_t index_field_number = 0;
  uint32_t primary_index_workspace = 0;
  uint16_t index_root = 0;
  uint8_t index_levels = 0;
  uint16_t num_fields = 0;
  uint16_t key_fields = 0;
  uint32_t encryption1 = 0;
  uint8_t sort_order = 0;
  uint8_t modified_flags2 = 0;
  uint8_t index_stamp = 0;    // 0x2C
  uint8_t change_count1 = 1;  // 0x2D
  uint8_t change_count2 = 1;  // 0x2E
  uint8_t unknown2f = 0;      // 0x2F
  // 0x30: where other engines keep a run-time pointer (any value is
  // accepted). This engine counts its changes of a data file there, so that
  // another process holding blocks of the file in memory can tell that they
  // are out of date.
  uint32_t write_stamp = 0;
  uint8_t write_protected = 0;
  uint8_t version_id = 0x09;  // 0x39
  uint16_t max_blocks = 0;
  uint8_t aux_passwords = 0;
  uint16_t unknown3e = 0x0F1F;
  uint32_t auto_inc = 0;  // 0x49
  uint16_t first_free_block = 0;
  uint8_t index_update_required = 0;
  uint16_t real_header_size = 0;
  uint8_t index_flags = 0;  // 0x55
  uint8_t unknown56 = 0x20;
  // Extension block (data files of version >= 0x05).
  uint32_t encryption2 = 0;
  uint32_t update_time = 0;
  uint16_t hi_field_id = 0;
  uint16_t code_page = 0;
  uint16_t change_count4 = 0;
  // Variable part.
  std::vector<PxField> fields;          // names in the file's code page
  std::vector<uint16_t> field_numbers;  // data files of version >= 0x05
  std::string table_name;
  std::string sort_order_id;
  std::string index_name;  // .XGn only

  bool isIndexFile() const { return IsIndexFileType(file_type); }
  bool hasExtension() const { return !isIndexFile() && version_id >= 0x05; }
  bool encrypted() const {
    return hasExtension() ? encryption2 != 0 : (encryption1 != 0 && encryption1 != 0xFF00FF00u);
  }
  // The password checksum of an encrypted file (crypt.h); 0 when it is not
  // encrypted. Data files of version 0x05 and later keep it in the
  // extension, others at 0x25.
  uint32_t passwordChecksum() const {
    if (!encrypted()) return 0;
    return hasExtension() ? encryption2 : encryption1;
  }
  // Makes the file one encrypted under `checksum` (0: not encrypted), where
  // its version keeps it.
  void setPasswordChecksum(uint32_t checksum) {
    if (hasExtension()) {
      encryption1 = 0xFF00FF00u;
      encryption2 = checksum;
    } else {
      encryption1 = checksum;
      encryption2 = 0;
    }
  }
  uint32_t blockSize() const { return static_cast<uint32_t>(block_kb) * 1024u; }
  int tableNameLength() const { return version_id >= 0x0C ? 261 : 79; }
  // Records that fit in one block.
  uint32_t blockCapacity() const { return record_size == 0 ? 0 : (blockSize() - 6) / record_size; }
  // Level as reported: "3", "3.5", "4", "5" or "7".
  std::string levelText() const;
  int level() const;
};

// Parses a header. `data` holds at least the first min(file size, header
// size) bytes of the file; `file_size` is the file's real size and `file` its
// name for messages. Every count and offset is checked; a fault raises
// EDBEngineError (data corrupt) naming the file.
TableHeader ParseHeader(const uint8_t* data, size_t size, uint64_t file_size,
                        const std::string& file);

// Serialises a header to exactly header.header_size bytes, computing
// real_header_size and the extension's offsets from the variable part.
std::vector<uint8_t> SerializeHeader(TableHeader& header);

// Bytes of the variable part's end (the value of realHeaderSize) for a header.
size_t ComputeRealHeaderSize(const TableHeader& header);

// For a data or index file of `file_size` bytes: a text naming the block the
// file is cut in, empty when the file holds its blocks. The last block may
// end early on a kilobyte boundary after its block header (real tables end
// there, after its records; the chain walks check the records); any other
// end before the last block's end is a cut.
std::string BlockFileShortfall(const TableHeader& header, uint64_t file_size);

// Version byte and level conversions.
uint8_t VersionIdForLevel(int level);

// Sort-order id byte for a sort-order name (0 when unknown).
uint8_t SortOrderByteFor(const std::string& sort_order_id);
// Sort-order name of an id byte (level-3 headers hold the byte alone) in a
// table of code page `code_page`: one byte names two sort orders (0x8F is
// "ancyrr" for Windows Cyrillic, 1251, and "polish" otherwise); empty when
// unknown.
std::string SortOrderNameFor(uint8_t sort_order_byte, int code_page);

}  // namespace vellum::engine::paradox
