#include "engine/paradox/record_store.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/salvage.h"

namespace vellum::engine::paradox {

namespace {
constexpr size_t kMaxCachedBlocks = 256;
// Chain walks read this many bytes at a time (whole blocks, at least one).
constexpr uint64_t kWindowBytes = uint64_t{256} * 1024;

uint64_t BlockOffset(const TableHeader& h, uint16_t block) {
  return h.header_size + static_cast<uint64_t>(block - 1) * h.blockSize();
}
}  // namespace

namespace {

// Checks a block's number against the file and returns its offset.
uint64_t CheckedBlockOffset(const TableHeader& header, uint16_t block, uint64_t file_size,
                            const std::string& name) {
  const std::string where = "block " + std::to_string(block);
  if (block == 0 || block > header.file_blocks) {
    ThrowCorrupt(name,
                 where + " is outside the file's " + std::to_string(header.file_blocks) + " blocks",
                 subcode::kBadBlock);
  }
  uint64_t off = BlockOffset(header, block);
  if (off + 6 > file_size) {
    ThrowCorrupt(name, where + " lies past the end of the file", subcode::kBadBlock);
  }
  return off;
}

// Decodes and checks the 6-byte header of a block at `off`.
BlockHeader ParseBlockHeader(const uint8_t* raw, const TableHeader& header, uint16_t block,
                             uint64_t off, uint64_t file_size, const std::string& name,
                             uint32_t* count) {
  const std::string where = "block " + std::to_string(block);
  BlockHeader bh{LoadLe16(raw), LoadLe16(raw + 2), static_cast<int16_t>(LoadLe16(raw + 4))};
  uint32_t n = 0;
  if (bh.last_offset >= 0) {
    if (bh.last_offset % header.record_size != 0) {
      ThrowCorrupt(name,
                   where +
                       " has a last-record offset that is not a multiple of the record "
                       "size",
                   subcode::kBadBlock);
    }
    n = static_cast<uint32_t>(bh.last_offset) / header.record_size + 1;
    if (n > header.blockCapacity()) {
      ThrowCorrupt(name, where + " claims more records than a block holds", subcode::kBadBlock);
    }
    if (off + 6 + static_cast<uint64_t>(n) * header.record_size > file_size) {
      ThrowCorrupt(name, where + " holds records past the end of the file", subcode::kBadBlock);
    }
  }
  *count = n;
  return bh;
}

}  // namespace

BlockHeader ReadBlockHeader(File& file, const TableHeader& header, uint16_t block,
                            uint64_t file_size, const std::string& name, uint32_t* count) {
  uint64_t off = CheckedBlockOffset(header, block, file_size, name);
  uint8_t raw[6];
  if (file.read(off, raw, 6) != 6) {
    ThrowCorrupt(name, "block " + std::to_string(block) + " is cut short", subcode::kBadBlock);
  }
  return ParseBlockHeader(raw, header, block, off, file_size, name, count);
}

ChainWalker::ChainWalker(File& file, const TableHeader& header, const std::string& name)
    : file_(file),
      header_(header),
      name_(name),
      visited_(65536, 0),
      next_block_(header.num_records == 0 && header.file_blocks == 0 ? 0 : header.first_block),
      file_size_(file.size()) {
  // No larger than the file's blocks: small tables take small windows.
  const uint64_t bs = header.blockSize();
  window_capacity_ = static_cast<size_t>(
      std::max<uint64_t>(1, std::min<uint64_t>(kWindowBytes / bs, header.file_blocks)));
  window_.resize(static_cast<size_t>(bs) * window_capacity_);
}

bool ChainWalker::next() {
  if (next_block_ == 0) return false;
  uint16_t b = next_block_;
  if (visited_[b]) {
    ThrowCorrupt(name_, "the block chain loops back to block " + std::to_string(b),
                 subcode::kBadBlock);
  }
  visited_[b] = 1;
  // One read per window of blocks: the headers and records together.
  const uint64_t off = CheckedBlockOffset(header_, b, file_size_, name_);
  const size_t bs = header_.blockSize();
  if (b < window_first_ || b >= window_first_ + window_blocks_) {
    const uint64_t available = file_size_ - off;
    const size_t blocks = static_cast<size_t>(std::min<uint64_t>(
        {static_cast<uint64_t>(window_capacity_),
         static_cast<uint64_t>(header_.file_blocks) - b + 1, (available + bs - 1) / bs}));
    const size_t want = static_cast<size_t>(std::min<uint64_t>(blocks * bs, available));
    const size_t got = file_.read(off, window_.data(), want);
    if (got < 6) {
      ThrowCorrupt(name_, "block " + std::to_string(b) + " is cut short", subcode::kBadBlock);
    }
    window_first_ = b;
    window_blocks_ = static_cast<uint16_t>((got + bs - 1) / bs);
    window_valid_ = got;
  }
  const size_t start = static_cast<size_t>(b - window_first_) * bs;
  current_data_ = window_.data() + start;
  if (start + 6 > window_valid_) {
    ThrowCorrupt(name_, "block " + std::to_string(b) + " is cut short", subcode::kBadBlock);
  }
  bh_ = ParseBlockHeader(current_data_, header_, b, off, file_size_, name_, &count_);
  if (start + 6 + static_cast<size_t>(count_) * header_.record_size > window_valid_) {
    ThrowCorrupt(name_, "block " + std::to_string(b) + " is cut short", subcode::kBadBlock);
  }
  previous_ = current_;
  current_ = b;
  next_block_ = bh_.next;
  seen_ += count_;
  return true;
}

RecordStore::RecordStore(std::unique_ptr<File> file, TableHeader header, std::string name)
    : file_(UnscrambledBlocks(std::move(file), header)),
      header_(std::move(header)),
      name_(std::move(name)) {}

RecordStore::~RecordStore() = default;

std::unique_ptr<RecordStore> RecordStore::Create(FileSystem& fs, const std::string& path,
                                                 TableHeader header) {
  header.num_records = 0;
  header.file_blocks = header.used_blocks = header.max_blocks = 0;
  header.first_block = header.last_block = 0;
  header.first_free_block = 0;
  auto file = fs.open(path, OpenMode::kCreate);
  auto bytes = SerializeHeader(header);
  file->write(0, bytes.data(), bytes.size());
  auto store = std::make_unique<RecordStore>(std::move(file), std::move(header), FileNameOf(path));
  store->loaded_ = true;
  store->file_size_ = store->header_.header_size;
  return store;
}

void RecordStore::load() {
  if (loaded_) return;
  GuardedRead guarded(guard_);
  file_size_ = file_->size();
  chain_.clear();
  if (salvage_) {
    chain_ = SalvageBlocks(*file_, header_, salvage_);
  } else if (header_.file_blocks > 0 && header_.first_block != 0) {
    // The walker reads the chain a window of blocks at a time and checks
    // every link (loops, blocks outside the file, impossible counts).
    ChainWalker walker(*file_, header_, name_);
    while (walker.next()) {
      chain_.push_back(BlockRef{walker.blockNumber(), static_cast<uint16_t>(walker.count())});
    }
  }
  first_keys_.assign(chain_.size(), std::string());
  loaded_ = true;
  reshape();
  invalidateStarts();
}

void RecordStore::reset(TableHeader header) {
  header_ = std::move(header);
  loaded_ = false;
  chain_.clear();
  first_keys_.clear();
  search_hint_ = 0;
  changed_.clear();
  reshaped_ = true;
  starts_.clear();
  starts_valid_ = false;
  cache_.clear();
  last_number_ = 0;
  last_block_ = nullptr;
  dirty_blocks_.clear();
  header_dirty_ = false;
}

uint32_t RecordStore::size() {
  load();
  rebuildStarts();
  return chain_.empty() ? 0 : starts_.back();
}

const std::vector<RecordStore::BlockRef>& RecordStore::chain() {
  load();
  return chain_;
}

void RecordStore::rebuildStarts() {
  if (starts_valid_) return;
  starts_.resize(chain_.size() + 1);
  uint32_t s = 0;
  for (size_t i = 0; i < chain_.size(); ++i) {
    starts_[i] = s;
    s += chain_[i].count;
  }
  starts_[chain_.size()] = s;
  starts_valid_ = true;
}

uint32_t RecordStore::chainStart(size_t index) {
  load();
  rebuildStarts();
  return starts_[index];
}

size_t RecordStore::chainIndexOf(uint32_t ordinal) {
  load();
  rebuildStarts();
  // Records of the last block (appends, searches near the end) need no search.
  const size_t last = chain_.size() - 1;
  if (!chain_.empty() && chain_[last].count > 0 && starts_[last] <= ordinal &&
      ordinal < starts_[last + 1]) {
    return last;
  }
  // Last block whose start <= ordinal and that holds records.
  auto it = std::upper_bound(starts_.begin(), starts_.end() - 1, ordinal);
  size_t i = static_cast<size_t>(it - starts_.begin()) - 1;
  while (i < chain_.size() && chain_[i].count == 0) ++i;
  return i;
}

RecordStore::Block& RecordStore::block(uint16_t number) {
  // Consecutive calls mostly ask for the same block.
  if (last_block_ != nullptr && last_number_ == number) return *last_block_;
  auto it = cache_.find(number);
  if (it != cache_.end()) {
    last_number_ = number;
    last_block_ = &it->second;
    it->second.used = ++use_clock_;
    return it->second;
  }
  Block b;
  b.data.assign(header_.blockSize(), 0);
  uint64_t off = BlockOffset(header_, number);
  if (off < file_size_) {
    GuardedRead guarded(guard_);
    size_t want = static_cast<size_t>(std::min<uint64_t>(header_.blockSize(), file_size_ - off));
    file_->read(off, b.data.data(), want);
  }
  b.used = ++use_clock_;
  Block& added = cache_.emplace(number, std::move(b)).first->second;
  last_number_ = number;
  last_block_ = &added;
  return added;
}

// Called only at the start of a public operation, so that no operation holds
// a reference to a cached block across an eviction.
void RecordStore::evictIfNeeded() {
  if (cache_.size() < kMaxCachedBlocks) return;
  flush();
  // The cache fills during long runs of changes: let the disk start on what
  // was just written, so that the sync at the end has less to wait for.
  file_->hintWriteback(0, 0);
  // Keep the more recently used half: searches and appends keep coming
  // back to the same blocks.
  std::vector<uint32_t> stamps;
  stamps.reserve(cache_.size());
  for (const auto& [number, b] : cache_) stamps.push_back(b.used);
  auto middle = stamps.begin() + static_cast<std::ptrdiff_t>(stamps.size() / 2);
  std::nth_element(stamps.begin(), middle, stamps.end());
  const uint32_t keep_from = *middle;
  for (auto it = cache_.begin(); it != cache_.end();) {
    it = it->second.used < keep_from ? cache_.erase(it) : std::next(it);
  }
  last_block_ = nullptr;
  if (use_clock_ > 0x7FFFFFFF) {
    // Renumber before the clock wraps.
    for (auto& [number, b] : cache_) b.used = b.used >= keep_from ? b.used - keep_from + 1 : 0;
    use_clock_ -= keep_from - 1;
  }
}

uint32_t RecordStore::countOf(const Block& b) const {
  auto off = static_cast<int16_t>(LoadLe16(b.data.data() + 4));
  return off < 0 ? 0 : static_cast<uint32_t>(off) / header_.record_size + 1;
}

void RecordStore::setCount(Block& b, uint32_t count) {
  int32_t off = (static_cast<int32_t>(count) - 1) * header_.record_size;
  StoreLe16(b.data.data() + 4, static_cast<uint16_t>(static_cast<int16_t>(off)));
}

void RecordStore::setLinks(Block& b, uint16_t next, uint16_t prev) {
  StoreLe16(b.data.data(), next);
  StoreLe16(b.data.data() + 2, prev);
}

void RecordStore::markDirty(uint16_t number, Block& b) {
  if (!b.dirty) {
    b.dirty = true;
    dirty_blocks_.push_back(number);
  }
}

const uint8_t* RecordStore::record(uint32_t ordinal) {
  evictIfNeeded();
  size_t i = chainIndexOf(ordinal);
  Block& b = block(chain_[i].number);
  return b.data.data() + 6 + static_cast<size_t>(ordinal - starts_[i]) * header_.record_size;
}

const uint8_t* RecordStore::firstRecordOfBlock(size_t index) {
  load();
  evictIfNeeded();
  return block(chain_[index].number).data.data() + 6;
}

void RecordStore::noteFirstKey(size_t index, const Block& b) {
  if (key_length_ > 0 && countOf(b) > 0) {
    first_keys_[index].assign(reinterpret_cast<const char*>(b.data.data() + 6), key_length_);
  } else {
    first_keys_[index].clear();
  }
}

const std::string& RecordStore::firstKey(size_t index, size_t n) {
  load();
  std::string& k = first_keys_[index];
  if (k.size() != n) {
    const uint8_t* r = firstRecordOfBlock(index);
    k.assign(reinterpret_cast<const char*>(r), n);
  }
  return k;
}

uint16_t RecordStore::blockOf(uint32_t ordinal) { return chain_[chainIndexOf(ordinal)].number; }

uint16_t RecordStore::allocateBlock() {
  uint16_t number;
  if (header_.first_free_block != 0) {
    number = header_.first_free_block;
    Block& b = block(number);
    header_.first_free_block = LoadLe16(b.data.data());
  } else {
    if (header_.file_blocks == 0xFFFF) {
      ThrowLimit("Table \"" + name_ + "\" is full: it has reached 65,535 blocks");
    }
    number = static_cast<uint16_t>(header_.file_blocks + 1);
    header_.file_blocks = header_.used_blocks = header_.max_blocks = number;
    Block& b = block(number);
    std::fill(b.data.begin(), b.data.end(), 0);
  }
  Block& b = block(number);
  std::fill(b.data.begin(), b.data.end(), 0);
  setCount(b, 0);
  markDirty(number, b);
  header_dirty_ = true;
  return number;
}

void RecordStore::freeBlock(uint16_t number) {
  Block& b = block(number);
  std::fill(b.data.begin(), b.data.end(), 0);
  setLinks(b, header_.first_free_block, 0);
  setCount(b, 0);
  markDirty(number, b);
  header_.first_free_block = number;
  header_dirty_ = true;
}

void RecordStore::reportMoves(Block& b, uint32_t from, uint32_t to, uint16_t number) {
  if (!on_move) return;
  for (uint32_t i = from; i < to; ++i) {
    on_move(b.data.data() + 6 + static_cast<size_t>(i) * header_.record_size, number);
  }
}

void RecordStore::insert(uint32_t ordinal, const uint8_t* rec) {
  load();
  evictIfNeeded();
  rebuildStarts();
  const size_t rs = header_.record_size;
  const uint32_t cap = header_.blockCapacity();
  // The record is counted only once it has a place: allocating a block
  // throws when the table is full.
  auto count_record = [this] {
    header_dirty_ = true;
    ++header_.num_records;
  };
  if (chain_.empty()) {
    uint16_t n = allocateBlock();
    count_record();
    Block& b = block(n);
    setLinks(b, 0, 0);
    std::memcpy(b.data.data() + 6, rec, rs);
    setCount(b, 1);
    chain_.push_back(BlockRef{n, 1});
    first_keys_.assign(1, std::string());
    reshape();
    header_.first_block = header_.last_block = n;
    invalidateStarts();
    return;
  }
  const uint32_t total = starts_.back();
  size_t ci;
  uint32_t slot;
  if (ordinal >= total) {
    ci = chain_.size() - 1;
    slot = chain_[ci].count;
  } else {
    ci = chainIndexOf(ordinal);
    slot = ordinal - starts_[ci];
    // At a block boundary the record goes into its predecessor's block when
    // that has room.
    if (slot == 0 && ci > 0 && chain_[ci - 1].count < cap) {
      --ci;
      slot = chain_[ci].count;
    }
  }
  uint16_t number = chain_[ci].number;
  Block* b = &block(number);
  uint32_t count = chain_[ci].count;
  // The block starts are kept in step below rather than rebuilt: a rebuild
  // walks the whole chain, which made every insert cost O(blocks).
  if (count < cap) {
    count_record();
    uint8_t* base = b->data.data() + 6;
    std::memmove(base + (slot + 1) * rs, base + slot * rs, (count - slot) * rs);
    std::memcpy(base + slot * rs, rec, rs);
    setCount(*b, count + 1);
    markDirty(number, *b);
    chain_[ci].count = static_cast<uint16_t>(count + 1);
    for (size_t j = ci + 1; j < starts_.size(); ++j) ++starts_[j];
    if (slot == 0) noteFirstKey(ci, *b);
    touch(ci);
    return;
  }
  // The block is full: open a new block after it. Appending at the very end
  // starts an empty block; elsewhere the block is split in half.
  uint16_t fresh = allocateBlock();
  count_record();
  b = &block(number);
  Block* nb = &block(fresh);
  // Neighbours come from the chain as it was walked and checked, never from
  // links stored in the block (a damaged link could point anywhere).
  uint16_t after = ci + 1 < chain_.size() ? chain_[ci + 1].number : 0;
  setLinks(*nb, after, number);
  setLinks(*b, fresh, ci > 0 ? chain_[ci - 1].number : 0);
  if (after != 0) {
    Block& a = block(after);
    StoreLe16(a.data.data() + 2, fresh);
    markDirty(after, a);
    b = &block(number);
    nb = &block(fresh);
  } else {
    header_.last_block = fresh;
  }
  markDirty(number, *b);
  chain_.insert(chain_.begin() + static_cast<long>(ci) + 1, BlockRef{fresh, 0});
  first_keys_.insert(first_keys_.begin() + static_cast<long>(ci) + 1, std::string());
  uint32_t keep = (slot == count) ? count : count / 2;
  uint32_t moved = count - keep;
  const bool goes_left = slot <= keep && !(slot == count);
  const uint32_t left = keep + (goes_left ? 1 : 0);
  const uint32_t right = moved + (goes_left ? 0 : 1);
  // Counts and starts first, so that the move callbacks see the final chain.
  chain_[ci].count = static_cast<uint16_t>(left);
  chain_[ci + 1].count = static_cast<uint16_t>(right);
  starts_.insert(starts_.begin() + static_cast<long>(ci) + 1, starts_[ci] + left);
  for (size_t j = ci + 2; j < starts_.size(); ++j) ++starts_[j];
  uint8_t* src = b->data.data() + 6;
  uint8_t* dst = nb->data.data() + 6;
  std::memcpy(dst, src + keep * rs, moved * rs);
  reportMoves(*nb, 0, moved, fresh);
  if (goes_left) {
    std::memmove(src + (slot + 1) * rs, src + slot * rs, (keep - slot) * rs);
    std::memcpy(src + slot * rs, rec, rs);
  } else {
    uint32_t s = slot - keep;
    std::memmove(dst + (s + 1) * rs, dst + s * rs, (moved - s) * rs);
    std::memcpy(dst + s * rs, rec, rs);
    if (on_move) on_move(dst + s * rs, fresh);
  }
  setCount(*b, left);
  setCount(*nb, right);
  markDirty(fresh, *nb);
  noteFirstKey(ci, *b);
  noteFirstKey(ci + 1, *nb);
  reshape();
}

void RecordStore::appendPacked(const uint8_t* rec) { insert(size(), rec); }

void RecordStore::overwrite(uint32_t ordinal, const uint8_t* rec) {
  evictIfNeeded();
  size_t ci = chainIndexOf(ordinal);
  uint16_t number = chain_[ci].number;
  Block& b = block(number);
  std::memcpy(b.data.data() + 6 + static_cast<size_t>(ordinal - starts_[ci]) * header_.record_size,
              rec, header_.record_size);
  markDirty(number, b);
  if (ordinal == starts_[ci]) {
    noteFirstKey(ci, b);
    touch(ci);
  }
}

void RecordStore::erase(uint32_t ordinal) {
  evictIfNeeded();
  size_t ci = chainIndexOf(ordinal);
  const size_t rs = header_.record_size;
  uint16_t number = chain_[ci].number;
  Block* b = &block(number);
  uint32_t slot = ordinal - starts_[ci];
  uint32_t count = chain_[ci].count;
  uint8_t* base = b->data.data() + 6;
  std::memmove(base + slot * rs, base + (slot + 1) * rs, (count - slot - 1) * rs);
  std::memset(base + (count - 1) * rs, 0, rs);
  setCount(*b, count - 1);
  markDirty(number, *b);
  chain_[ci].count = static_cast<uint16_t>(count - 1);
  if (slot == 0) noteFirstKey(ci, *b);
  touch(ci);
  --header_.num_records;
  header_dirty_ = true;
  invalidateStarts();
  if (count - 1 > 0) return;
  reshape();

  if (chain_.size() == 1) {
    // The table is empty: give back every block.
    chain_.clear();
    first_keys_.clear();
    cache_.clear();
    last_block_ = nullptr;
    dirty_blocks_.clear();
    header_.file_blocks = header_.used_blocks = header_.max_blocks = 0;
    header_.first_block = header_.last_block = header_.first_free_block = 0;
    file_->truncate(header_.header_size);
    file_size_ = header_.header_size;
    return;
  }
  if (ci == 0) {
    // Keep the head in place: pull the successor's records into it.
    uint16_t succ = chain_[1].number;
    Block& s = block(succ);
    uint32_t sc = chain_[1].count;
    uint16_t after = chain_.size() > 2 ? chain_[2].number : 0;
    b = &block(number);
    std::memcpy(b->data.data() + 6, s.data.data() + 6, sc * rs);
    setCount(*b, sc);
    setLinks(*b, after, 0);
    markDirty(number, *b);
    reportMoves(*b, 0, sc, number);
    if (after != 0) {
      Block& a = block(after);
      StoreLe16(a.data.data() + 2, number);
      markDirty(after, a);
    } else {
      header_.last_block = number;
    }
    chain_[0].count = static_cast<uint16_t>(sc);
    chain_.erase(chain_.begin() + 1);
    first_keys_.erase(first_keys_.begin() + 1);
    noteFirstKey(0, *b);
    freeBlock(succ);
    return;
  }
  uint16_t prev = chain_[ci - 1].number;
  uint16_t next = ci + 1 < chain_.size() ? chain_[ci + 1].number : 0;
  {
    Block& p = block(prev);
    StoreLe16(p.data.data(), next);
    markDirty(prev, p);
  }
  if (next != 0) {
    Block& n = block(next);
    StoreLe16(n.data.data() + 2, prev);
    markDirty(next, n);
  } else {
    header_.last_block = prev;
  }
  chain_.erase(chain_.begin() + static_cast<long>(ci));
  first_keys_.erase(first_keys_.begin() + static_cast<long>(ci));
  freeBlock(number);
}

void RecordStore::flush() {
  // Runs of consecutive blocks go out in one write.
  std::sort(dirty_blocks_.begin(), dirty_blocks_.end());
  dirty_blocks_.erase(std::unique(dirty_blocks_.begin(), dirty_blocks_.end()), dirty_blocks_.end());
  const size_t bs = header_.blockSize();
  std::vector<uint8_t> run;
  uint16_t run_start = 0;
  uint16_t run_end = 0;  // one past the last block of the run
  auto write_run = [&] {
    if (run.empty()) return;
    uint64_t off = BlockOffset(header_, run_start);
    file_->write(off, run.data(), run.size());
    file_size_ = std::max<uint64_t>(file_size_, off + run.size());
    run.clear();
  };
  for (uint16_t number : dirty_blocks_) {
    auto it = cache_.find(number);
    if (it == cache_.end() || !it->second.dirty) continue;
    if (run.empty() || number != run_end || run.size() >= 64 * bs) {
      write_run();
      run_start = number;
    }
    run.insert(run.end(), it->second.data.begin(), it->second.data.end());
    run_end = static_cast<uint16_t>(number + 1);
    it->second.dirty = false;
  }
  write_run();
  dirty_blocks_.clear();
  if (header_dirty_) {
    auto bytes = SerializeHeader(header_);
    file_->write(0, bytes.data(), bytes.size());
    header_dirty_ = false;
  }
}

void RecordStore::sync() {
  flush();
  file_->sync();
}

}  // namespace vellum::engine::paradox
