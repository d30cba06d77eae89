// The records of a table-format data file (.DB or .Xnn/.XGn), kept in a chain
// of fixed-size blocks.
//
// Invariants kept by every change:
//  - the chain runs from header.first_block through `next` links to
//    header.last_block; `prev` links mirror `next`; no block appears twice;
//  - each chained block holds 1..capacity records packed from byte 6, and its
//    last-record offset is (count - 1) * record_size;
//  - blocks not in the chain are on the free list (header.first_free_block,
//    linked through `next`), marked empty (offset -record_size);
//  - header.num_records is the sum of the chained blocks' counts, and
//    file_blocks / used_blocks / max_blocks count every block in the file;
//  - the chain's head is block 1 whenever the file has blocks: when the head
//    empties, its successor's records move into it.
// Records keep their relative order under insert and erase; the order itself
// (key order for keyed files) is the caller's business.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/header.h"

namespace vellum::engine::paradox {

struct SalvageLog;

struct BlockHeader {
  uint16_t next = 0;
  uint16_t prev = 0;
  int16_t last_offset = 0;
};

// Walks a file's block chain in order with bounded memory, checking every
// link against the file (cycles, blocks past the end, bad record counts).
class ChainWalker {
 public:
  ChainWalker(File& file, const TableHeader& header, const std::string& name);
  // Loads the next block of the chain; false at the end.
  bool next();
  uint16_t blockNumber() const { return current_; }
  const BlockHeader& blockHeader() const { return bh_; }
  uint32_t count() const { return count_; }
  const uint8_t* record(uint32_t i) const {
    return current_data_ + 6 + size_t{i} * header_.record_size;
  }
  // Records read so far including the current block.
  uint64_t recordsSeen() const { return seen_; }

 private:
  File& file_;
  const TableHeader& header_;
  std::string name_;
  std::vector<uint8_t> visited_;
  // Blocks are read a window at a time: chains mostly run in file order.
  std::vector<uint8_t> window_;
  size_t window_capacity_ = 1;  // blocks
  uint16_t window_first_ = 0;
  uint16_t window_blocks_ = 0;
  size_t window_valid_ = 0;  // bytes of the window read from the file
  const uint8_t* current_data_ = nullptr;
  uint16_t next_block_;
  uint16_t current_ = 0;
  uint16_t previous_ = 0;
  BlockHeader bh_{};
  uint32_t count_ = 0;
  uint64_t seen_ = 0;
  uint64_t file_size_;
};

// Told around each read a store makes of its file outside a change: a block
// it does not hold, or its block chain. beginRead() may raise to stop the
// read (another process changed the file since the store's blocks were
// read); when it returns true, endRead() follows the read.
class ReadGuard {
 public:
  virtual ~ReadGuard() = default;
  virtual bool beginRead() = 0;
  virtual void endRead() = 0;
};

// Brackets one read with a guard (or with nothing).
class GuardedRead {
 public:
  explicit GuardedRead(ReadGuard* guard) : guard_(guard && guard->beginRead() ? guard : nullptr) {}
  ~GuardedRead() {
    if (guard_) guard_->endRead();
  }
  GuardedRead(const GuardedRead&) = delete;
  GuardedRead& operator=(const GuardedRead&) = delete;

 private:
  ReadGuard* guard_;
};

// Reads and checks one block's header. Raises data corruption naming the file
// and block when the block lies outside the file or its count is impossible.
BlockHeader ReadBlockHeader(File& file, const TableHeader& header, uint16_t block,
                            uint64_t file_size, const std::string& name, uint32_t* count);

class RecordStore {
 public:
  struct BlockRef {
    uint16_t number;
    uint16_t count;
  };

  // Takes an open file and its parsed header. The blocks of an encrypted
  // file are read and written through their scrambling (crypt.h).
  RecordStore(std::unique_ptr<File> file, TableHeader header, std::string name);
  ~RecordStore();

  // Creates a new, empty file with `header` (its block counts are reset).
  static std::unique_ptr<RecordStore> Create(FileSystem& fs, const std::string& path,
                                             TableHeader header);

  TableHeader& header() { return header_; }
  const TableHeader& header() const { return header_; }
  File& file() { return *file_; }
  const std::string& name() const { return name_; }
  uint32_t recordSize() const { return header_.record_size; }

  uint32_t size();
  const std::vector<BlockRef>& chain();
  // Ordinal of the first record of chain position `index`.
  uint32_t chainStart(size_t index);
  // Chain position holding `ordinal` (< size()).
  size_t chainIndexOf(uint32_t ordinal);

  // Pointer to a record; valid until the next call on this store.
  const uint8_t* record(uint32_t ordinal);
  // First record of the block at chain position `index`.
  const uint8_t* firstRecordOfBlock(size_t index);
  // The first `n` bytes of that record, cached between calls.
  const std::string& firstKey(size_t index, size_t n);
  // Length of the key prefix that firstKey is asked for; with it, the first
  // keys of changed blocks are kept up to date without reading them back.
  void setKeyLength(size_t n) { key_length_ = n; }
  // The chain position where the last key search ended; searches start by
  // trying it, since consecutive searches mostly land in the same block.
  size_t searchHint() const { return search_hint_; }
  void setSearchHint(size_t index) { search_hint_ = index; }
  uint16_t blockOf(uint32_t ordinal);

  // Inserts before `ordinal` (== size() appends).
  void insert(uint32_t ordinal, const uint8_t* rec);
  void erase(uint32_t ordinal);
  void overwrite(uint32_t ordinal, const uint8_t* rec);
  // Appends at the end, filling the last block completely before opening a
  // new one (bulk loading of sorted or unkeyed data).
  void appendPacked(const uint8_t* rec);

  // What changed since clearChanges(): chain positions whose count or first
  // record changed, and whether blocks were added, removed or reordered.
  bool reshaped() const { return reshaped_; }
  const std::vector<uint32_t>& changedBlocks() const { return changed_; }
  void clearChanges() {
    changed_.clear();
    reshaped_ = false;
  }

  // Told of records that moved to another block (record bytes, new block).
  std::function<void(const uint8_t*, uint16_t)> on_move;

  // Forgets every block, count and change held in memory (unwritten ones
  // too) and takes `header` as the file's header: the file was changed by
  // another process. The chain is walked again at the next use.
  void reset(TableHeader header);
  // Has the header written at the next flush.
  void touchHeader() { header_dirty_ = true; }
  // The guard of the store's reads (none by default).
  void setReadGuard(ReadGuard* guard) { guard_ = guard; }
  // Takes its blocks as a salvage read finds them (salvage.h) instead of
  // walking the chain, noting the damage in `log`. For reading only.
  void setSalvage(SalvageLog* log) { salvage_ = log; }

  // Writes dirty blocks and the header.
  void flush();
  void sync();
  // True when something changed since the last flush.
  bool dirty() const { return header_dirty_ || !dirty_blocks_.empty(); }

 private:
  struct Block {
    std::vector<uint8_t> data;
    bool dirty = false;
    uint32_t used = 0;  // use_clock_ at the last lookup
  };

  void load();
  Block& block(uint16_t number);
  uint32_t countOf(const Block& b) const;
  void setCount(Block& b, uint32_t count);
  void setLinks(Block& b, uint16_t next, uint16_t prev);
  uint16_t allocateBlock();
  void freeBlock(uint16_t number);
  void markDirty(uint16_t number, Block& b);
  void invalidateStarts() { starts_valid_ = false; }
  void rebuildStarts();
  void evictIfNeeded();
  void reportMoves(Block& b, uint32_t from, uint32_t to, uint16_t number);

  std::unique_ptr<File> file_;
  TableHeader header_;
  std::string name_;
  bool loaded_ = false;
  std::vector<BlockRef> chain_;
  std::vector<std::string> first_keys_;  // parallel to chain_; empty = not cached
  size_t key_length_ = 0;
  size_t search_hint_ = 0;
  std::vector<uint32_t> changed_;
  bool reshaped_ = true;
  // After a reshape the whole index is rebuilt, so single changes are not kept.
  void touch(size_t index) {
    if (!reshaped_) changed_.push_back(static_cast<uint32_t>(index));
  }
  void reshape() {
    reshaped_ = true;
    changed_.clear();
  }
  void noteFirstKey(size_t index, const Block& b);
  std::vector<uint32_t> starts_;
  bool starts_valid_ = false;
  std::unordered_map<uint16_t, Block> cache_;
  // The block last returned by block(); elements of cache_ keep their
  // address until cache_ is cleared.
  uint16_t last_number_ = 0;
  Block* last_block_ = nullptr;
  uint32_t use_clock_ = 0;
  std::vector<uint16_t> dirty_blocks_;
  bool header_dirty_ = false;
  uint64_t file_size_ = 0;
  ReadGuard* guard_ = nullptr;
  SalvageLog* salvage_ = nullptr;
};

}  // namespace vellum::engine::paradox
