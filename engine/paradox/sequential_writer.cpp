#include "engine/paradox/sequential_writer.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/index_file.h"

namespace vellum::engine::paradox {

namespace {

constexpr size_t kDataBufferBytes = size_t{512} * 1024;
constexpr size_t kIndexBufferBytes = size_t{128} * 1024;
// Writeback is started for every this many bytes written, so that the final
// sync has only the tail left to wait for.
constexpr uint64_t kWritebackBytes = uint64_t{4} * 1024 * 1024;

void PutCounter(uint8_t* p, uint32_t v) {
  EncodeShort(p, static_cast<int16_t>(std::min<uint32_t>(v, 32767)));
}

TableHeader ReadHeaderOf(File& file) {
  const uint64_t size = file.size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  file.read(0, head.data(), head.size());
  return ParseHeader(head.data(), head.size(), size, FileNameOf(file.path()));
}

}  // namespace

BlockRunWriter::BlockRunWriter(File& file, uint64_t header_size, uint32_t block_size,
                               size_t buffer_bytes)
    : file_(file),
      header_size_(header_size),
      block_size_(block_size),
      capacity_(std::max<size_t>(1, buffer_bytes / block_size)) {
  buffer_ = std::make_unique_for_overwrite<uint8_t[]>(capacity_ * block_size_);
}

uint8_t* BlockRunWriter::newBlock() {
  if (buffered_ > 0) StoreLe16(current(), static_cast<uint16_t>(blocks_ + 1));
  // The forward link of the last buffered block is set before it goes out.
  if (buffered_ == capacity_) flush();
  uint8_t* b = buffer_.get() + buffered_ * block_size_;
  std::memset(b, 0, block_size_);
  StoreLe16(b + 2, static_cast<uint16_t>(blocks_));
  ++blocks_;
  if (buffered_ == 0) first_buffered_ = blocks_;
  ++buffered_;
  return b;
}

void BlockRunWriter::flush() {
  if (buffered_ == 0) return;
  const uint64_t off = header_size_ + static_cast<uint64_t>(first_buffered_ - 1) * block_size_;
  const size_t bytes = buffered_ * block_size_;
  file_.write(off, buffer_.get(), bytes);
  buffered_ = 0;
  const uint64_t end = off + bytes;
  if (end - hinted_to_ >= kWritebackBytes) {
    file_.hintWriteback(hinted_to_, end - hinted_to_);
    hinted_to_ = end;
  }
}

SequentialTableWriter::SequentialTableWriter(FileSystem& fs, const std::string& db_path,
                                             const std::string& px_path, const std::string& table,
                                             const CodePage& code_page)
    : fs_(fs), table_(table), code_page_(code_page) {
  open(db_path, px_path, nullptr, 1, StripExtension(FileNameOf(db_path)) + ".PX");
}

SequentialTableWriter::SequentialTableWriter(FileSystem& fs, const std::string& x_path,
                                             const std::string& y_path, const std::string& table,
                                             const CodePage& code_page, const EntryLayout& layout)
    : fs_(fs), table_(table), code_page_(code_page) {
  open(x_path, y_path, &layout.parts, layout.y_file_type, layout.y_file);
}

// `parts` orders the records (nullptr: the key fields as they are); the
// index file gets type `index_file_type` and names itself `index_file_name`.
void SequentialTableWriter::open(const std::string& db_path, const std::string& px_path,
                                 const std::vector<KeyPart>* parts, uint8_t index_file_type,
                                 const std::string& index_file_name) {
  db_ = fs_.open(db_path, OpenMode::kReadWrite);
  header_ = ReadHeaderOf(*db_);
  if (header_.num_records != 0 || header_.file_blocks != 0) {
    ThrowInvalid("Table \"" + table_ + "\" is not empty; it cannot be filled front to back");
  }
  db_ = UnscrambledBlocks(std::move(db_), header_);
  capacity_ = header_.blockCapacity();
  data_ = std::make_unique<BlockRunWriter>(*db_, header_.header_size, header_.blockSize(),
                                           kDataBufferBytes);
  previous_.assign(header_.record_size, 0);
  // An index file's copies of autoincrement key fields leave its header's
  // counter alone.
  for (size_t i = 0; i < header_.fields.size() && !parts; ++i) {
    if (header_.fields[i].type == PxType::kAutoInc) auto_inc_fields_.push_back(i);
  }
  if (header_.key_fields == 0) return;
  if (parts && parts->size() < header_.key_fields) {
    ThrowInvalid("The index \"" + FileNameOf(db_path) + "\" has more key fields than its layout");
  }
  for (size_t i = 0; i < header_.key_fields; ++i) {
    const PxField& f = header_.fields[i];
    if (parts) {
      pk_parts_.push_back((*parts)[i]);
    } else {
      pk_parts_.push_back(KeyPart{f.offset, f.length, f.type, false, false});
    }
    key_size_ += f.length;
  }
  px_ = fs_.open(px_path, OpenMode::kReadWrite);
  // The index header as a table open derives it, keeping the block size the
  // new index file was created with.
  px_header_ = MakeIndexHeader(header_, header_.key_fields, index_file_type, index_file_name);
  const TableHeader created = ReadHeaderOf(*px_);
  if (created.record_size == px_header_.record_size) px_header_.block_kb = created.block_kb;
  SerializeHeader(px_header_);  // settles header_size
  px_ = UnscrambledBlocks(std::move(px_), px_header_);
  index_capacity_ = px_header_.blockCapacity();
  index_ = std::make_unique<BlockRunWriter>(*px_, px_header_.header_size, px_header_.blockSize(),
                                            kIndexBufferBytes);
}

SequentialTableWriter::~SequentialTableWriter() = default;

SequentialTableWriter::Append SequentialTableWriter::append(const uint8_t* rec) {
  if (!pk_parts_.empty() && has_previous_ && in_block_ > 0 &&
      CompareKeys(pk_parts_, pk_parts_.size(), lastRecord(), rec) > 0) {
    return Append::kOutOfOrder;  // nothing changed yet
  }
  std::memcpy(reserve(), rec, header_.record_size);
  return commit();
}

const uint8_t* SequentialTableWriter::lastRecord() const {
  return in_block_ > 0
             ? data_->current() + 6 + static_cast<size_t>(in_block_ - 1) * header_.record_size
             : previous_.data();
}

uint8_t* SequentialTableWriter::reserve() {
  const uint32_t rs = header_.record_size;
  if (in_block_ == 0 || in_block_ == capacity_) {
    if (in_block_ == capacity_) {
      // The block's memory may be reused for the next one: keep its last
      // record for the next order check.
      std::memcpy(previous_.data(), lastRecord(), rs);
      closeBlock();
    }
    if (data_->blocks() >= 0xFFFF) {
      ThrowLimit("Table \"" + FileNameOf(db_->path()) + "\" is full: it has reached 65,535 blocks");
    }
    data_->newBlock();
    in_block_ = 0;
  }
  reserved_ = data_->current() + 6 + static_cast<size_t>(in_block_) * rs;
  return reserved_;
}

SequentialTableWriter::Append SequentialTableWriter::commit() {
  const uint8_t* rec = reserved_;
  reserved_ = nullptr;
  if (!pk_parts_.empty() && has_previous_) {
    const int c = CompareKeys(pk_parts_, pk_parts_.size(), lastRecord(), rec);
    if (c > 0) return Append::kOutOfOrder;
    if (c == 0) {
      ThrowKeyViolation("Key violation in table \"" + table_ + "\": the primary key " +
                        DescribeKey(header_, pk_parts_, rec, code_page_) + " already exists");
    }
  }
  const uint32_t rs = header_.record_size;
  StoreLe16(data_->current() + 4, static_cast<uint16_t>(in_block_ * rs));
  ++in_block_;
  ++header_.num_records;
  for (size_t i : auto_inc_fields_) {
    if (auto v = DecodeLong(rec + header_.fields[i].offset)) {
      if (*v > 0 && static_cast<uint32_t>(*v) > header_.auto_inc) {
        header_.auto_inc = static_cast<uint32_t>(*v);
      }
    }
  }
  has_previous_ = true;
  return Append::kDone;
}

// Enters the current data block, now complete, in the leaf index level.
void SequentialTableWriter::closeBlock() {
  if (pk_parts_.empty() || in_block_ == 0) return;
  addLeaf(data_->current() + 6, static_cast<uint16_t>(data_->blocks()), in_block_);
}

void SequentialTableWriter::addLeaf(const uint8_t* key, uint16_t block, uint32_t count) {
  const size_t rs = px_header_.record_size;
  if (leaf_entries_ == 0 || leaf_entries_ == index_capacity_) {
    index_->newBlock();
    leaf_entries_ = 0;
    leaf_block_keys_.insert(leaf_block_keys_.end(), key, key + key_size_);
    leaf_block_sums_.push_back(0);
  }
  uint8_t* blk = index_->current();
  uint8_t* r = blk + 6 + leaf_entries_ * rs;
  std::memcpy(r, key, key_size_);
  EncodeShort(r + key_size_, static_cast<int16_t>(block));
  PutCounter(r + key_size_ + 2, count);
  EncodeShort(r + key_size_ + 4, 0);
  StoreLe16(blk + 4, static_cast<uint16_t>(leaf_entries_ * rs));
  ++leaf_entries_;
  ++leaf_total_;
  leaf_block_sums_.back() += count;
}

// Writes the upper index levels (one entry per block of the level below,
// until a level fits in one block, which is the root) and the index header.
void SequentialTableWriter::finishIndex() {
  if (pk_parts_.empty() || leaf_total_ == 0) return;
  const size_t rs = px_header_.record_size;
  const size_t cap = index_capacity_;
  std::vector<uint8_t> keys = std::move(leaf_block_keys_);
  std::vector<uint32_t> sums = std::move(leaf_block_sums_);
  std::vector<uint8_t> next_keys;
  std::vector<uint32_t> next_sums;
  size_t below_first = 1;  // first block of the level below
  size_t entries = leaf_total_;
  uint8_t levels = 1;
  while (sums.size() > 1) {
    const size_t n = sums.size();
    const size_t first = index_->blocks() + 1;
    next_keys.clear();
    next_sums.clear();
    for (size_t e = 0; e < n; ++e) {
      const size_t j = e % cap;
      if (j == 0) {
        index_->newBlock();
        next_keys.insert(next_keys.end(), keys.begin() + static_cast<long>(e * key_size_),
                         keys.begin() + static_cast<long>((e + 1) * key_size_));
        next_sums.push_back(0);
      }
      uint8_t* blk = index_->current();
      uint8_t* r = blk + 6 + j * rs;
      std::memcpy(r, keys.data() + e * key_size_, key_size_);
      EncodeShort(r + key_size_, static_cast<int16_t>(below_first + e));
      PutCounter(r + key_size_ + 2, sums[e]);
      EncodeShort(r + key_size_ + 4, 0);
      StoreLe16(blk + 4, static_cast<uint16_t>(j * rs));
      next_sums.back() += sums[e];
    }
    entries += n;
    ++levels;
    below_first = first;
    keys.swap(next_keys);
    sums.swap(next_sums);
  }
  const uint32_t blocks = index_->blocks();
  if (blocks > 0xFFFF) ThrowLimit("The index \"" + px_header_.table_name + "\" is too large");
  index_->flush();
  px_header_.num_records = static_cast<uint32_t>(entries);
  px_header_.file_blocks = px_header_.used_blocks = px_header_.max_blocks =
      static_cast<uint16_t>(blocks);
  px_header_.first_block = 1;
  px_header_.last_block = static_cast<uint16_t>(blocks);
  px_header_.index_root = static_cast<uint16_t>(blocks);
  px_header_.index_levels = levels;
  auto head = SerializeHeader(px_header_);
  px_->write(0, head.data(), head.size());
  px_->sync();
}

void SequentialTableWriter::finish() {
  closeBlock();
  data_->flush();
  if (header_.num_records > 0) {
    const auto blocks = static_cast<uint16_t>(data_->blocks());
    header_.file_blocks = header_.used_blocks = header_.max_blocks = blocks;
    header_.first_block = 1;
    header_.last_block = blocks;
    auto head = SerializeHeader(header_);
    db_->write(0, head.data(), head.size());
  }
  // The index goes out while the data file's writeback is under way.
  finishIndex();
  db_->sync();
}

}  // namespace vellum::engine::paradox
