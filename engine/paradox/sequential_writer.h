// Front-to-back writing of a new table's data file and primary index.
//
// SequentialTableWriter fills a freshly created, empty table (.DB and, for a
// keyed table, .PX) from records that arrive in strictly ascending primary
// key order, or in any order for an unkeyed table. It writes the files the
// way the record store and BuildIndexImage would lay them out after the same
// records were appended one by one — every block filled completely, blocks
// chained 1..N, index leaves first, then each upper level, root last — but
// without reading anything back: data blocks and leaf index blocks go out in
// large runs as they fill, and only one entry per leaf index block is kept
// for the upper levels, which are written at the end. Its memory does not
// depend on the number of records.
//
// The caller owns everything else of the table (blob file, validity checks)
// and its secondary indexes; the same writer fills an index's X and Y files
// from its entries in index order. The blocks of an encrypted file are
// written scrambled, as its header asks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/header.h"
#include "engine/paradox/secondary_index.h"

namespace vellum::engine::paradox {

// Writes consecutive blocks 1, 2, ... of a table-format file through a
// buffer of whole blocks, chaining each block to its neighbours, and asks for
// writeback of what it wrote every few megabytes.
class BlockRunWriter {
 public:
  BlockRunWriter(File& file, uint64_t header_size, uint32_t block_size, size_t buffer_bytes);
  // Starts the next block (zeroed, linked back to the previous one, which is
  // linked forward to it) and returns it; valid until the next call.
  uint8_t* newBlock();
  // The block last started.
  uint8_t* current() { return buffer_.get() + (buffered_ - 1) * block_size_; }
  // Number of the block last started (0 before the first).
  uint32_t blocks() const { return blocks_; }
  // Writes the buffered blocks.
  void flush();

 private:
  File& file_;
  uint64_t header_size_;
  uint32_t block_size_;
  size_t capacity_;  // blocks in the buffer
  // Not cleared: each block is as it starts, so only the pages of blocks
  // started are touched.
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffered_ = 0;
  uint32_t blocks_ = 0;
  uint32_t first_buffered_ = 1;
  uint64_t hinted_to_ = 0;  // file offset up to which writeback was asked for
};

class SequentialTableWriter {
 public:
  // `db_path` is an empty data file as Table::Create leaves it and
  // `px_path` its empty primary index (ignored for an unkeyed table). Key
  // violations name the table `table` and show keys in `code_page`.
  SequentialTableWriter(FileSystem& fs, const std::string& db_path, const std::string& px_path,
                        const std::string& table, const CodePage& code_page);
  // `x_path` is the empty X file of a secondary index of `layout` as
  // SecondaryIndex::CreateFiles leaves it and `y_path` its empty Y file;
  // entries arrive in ascending order of the layout's parts.
  SequentialTableWriter(FileSystem& fs, const std::string& x_path, const std::string& y_path,
                        const std::string& table, const CodePage& code_page,
                        const EntryLayout& layout);
  ~SequentialTableWriter();

  enum class Append { kDone, kOutOfOrder };
  // Appends a record in the data file's layout. A key equal to the previous
  // record's raises a key violation; a smaller key appends nothing and
  // returns kOutOfOrder (the records need the general, sorting path).
  Append append(const uint8_t* record);
  // The same in two steps, for a caller that builds the record in place:
  // reserve() returns the place of the next record (record_size bytes, left
  // as they are: the caller fills every byte), commit() enters it. After
  // kOutOfOrder or an exception from commit() the writer is only to be
  // destroyed. The place stays valid until the next reserve().
  uint8_t* reserve();
  Append commit();
  // Writes what is buffered, the upper index levels and both headers, then
  // syncs both files.
  void finish();

  const TableHeader& header() const { return header_; }
  // Number of the data block the last record appended went into.
  uint16_t lastBlock() const { return static_cast<uint16_t>(data_->blocks()); }

 private:
  void open(const std::string& db_path, const std::string& px_path,
            const std::vector<KeyPart>* parts, uint8_t index_file_type,
            const std::string& index_file_name);
  void closeBlock();
  const uint8_t* lastRecord() const;
  void addLeaf(const uint8_t* key, uint16_t block, uint32_t count);
  void finishIndex();

  FileSystem& fs_;
  std::string table_;
  const CodePage& code_page_;
  std::unique_ptr<File> db_;
  std::unique_ptr<File> px_;
  TableHeader header_;
  TableHeader px_header_;
  std::vector<KeyPart> pk_parts_;
  size_t key_size_ = 0;
  std::unique_ptr<BlockRunWriter> data_;
  std::unique_ptr<BlockRunWriter> index_;
  uint32_t capacity_ = 0;  // records per data block
  uint32_t in_block_ = 0;  // records in the current data block
  // The last record appended, once its block has gone; while it is in the
  // current block it is read there.
  std::vector<uint8_t> previous_;
  bool has_previous_ = false;
  uint8_t* reserved_ = nullptr;
  // Leaf index level: entries in the current leaf block, and the first key
  // and record count of every leaf block written so far.
  uint32_t index_capacity_ = 0;
  uint32_t leaf_entries_ = 0;
  uint32_t leaf_total_ = 0;
  std::vector<uint8_t> leaf_block_keys_;
  std::vector<uint32_t> leaf_block_sums_;
  std::vector<size_t> auto_inc_fields_;
};

}  // namespace vellum::engine::paradox
