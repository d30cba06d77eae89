#include "engine/paradox/index_file.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/record_store.h"

namespace vellum::engine::paradox {

namespace {

void PutCounter(uint8_t* p, uint32_t v) {
  EncodeShort(p, static_cast<int16_t>(std::min<uint32_t>(v, 32767)));
}
// Whether the index file `file` holds is scrambled as `header` asks (both
// under the same checksum, or neither). A file too short for a header counts
// as one that agrees.
bool SameScrambling(File& file, const TableHeader& header) {
  uint8_t head[0x29];
  if (file.read(0, head, sizeof head) < sizeof head) return true;
  uint32_t held = LoadLe32(head + 0x25);
  if (held == 0xFF00FF00u) held = 0;
  return held == header.passwordChecksum();
}

}  // namespace

TableHeader MakeIndexHeader(const TableHeader& data, size_t key_fields, uint8_t file_type,
                            const std::string& file_name) {
  TableHeader h;
  h.file_type = file_type;
  h.version_id = data.version_id;
  h.sort_order = data.sort_order;
  h.fields.assign(data.fields.begin(), data.fields.begin() + static_cast<long>(key_fields));
  uint32_t key_size = 0;
  for (const auto& f : h.fields) key_size += f.length;
  h.record_size = static_cast<uint16_t>(key_size + 6);
  h.block_kb = h.record_size * 3 + 6 > 2048 ? 4 : 2;
  while (static_cast<uint32_t>(h.record_size) * 3 + 6 > h.blockSize() && h.block_kb < 32) {
    h.block_kb = static_cast<uint8_t>(h.block_kb * 2);
  }
  h.num_fields = static_cast<uint16_t>(key_fields);
  h.key_fields = 0;
  h.unknown12 = 4;
  h.index_stamp = data.change_count1;
  h.change_count1 = 1;
  h.change_count2 = 1;
  h.unknown3e = 0;
  h.unknown56 = 0;
  h.auto_inc = 1;
  h.table_name = file_name;
  // The index of an encrypted file is encrypted with it.
  h.setPasswordChecksum(data.passwordChecksum());
  return h;
}

std::vector<uint8_t> BuildIndexImage(TableHeader h, const std::vector<IndexLeaf>& leaves) {
  IndexLeafList list;
  list.reset(h.record_size - 6u);
  for (const auto& l : leaves) list.add(l.key.data(), l.block, l.count);
  std::vector<uint8_t> out;
  BuildIndexImage(std::move(h), list, &out);
  return out;
}

void BuildIndexImage(TableHeader h, const IndexLeafList& leaves, std::vector<uint8_t>* out) {
  const uint32_t rs = h.record_size;
  const size_t key_size = rs - 6u;
  const size_t bs = h.blockSize();
  const size_t cap = h.blockCapacity();
  // Entries per level, bottom-up: the leaves, then one entry per block of
  // the level below, until a level fits in one block.
  std::vector<size_t> entries;
  if (leaves.size() > 0) {
    entries.push_back(leaves.size());
    while (entries.back() > cap) entries.push_back((entries.back() + cap - 1) / cap);
  }
  std::vector<size_t> first_block(entries.size());  // 1-based number of a level's first block
  size_t total_blocks = 0;
  for (size_t l = 0; l < entries.size(); ++l) {
    first_block[l] = total_blocks + 1;
    total_blocks += (entries[l] + cap - 1) / cap;
  }
  if (total_blocks > 0xFFFF) ThrowLimit("The index \"" + h.table_name + "\" is too large");
  size_t total_entries = 0;
  for (size_t e : entries) total_entries += e;
  const auto nblocks = static_cast<uint16_t>(total_blocks);
  h.num_records = static_cast<uint32_t>(total_entries);
  h.file_blocks = h.used_blocks = h.max_blocks = nblocks;
  h.first_block = nblocks > 0 ? 1 : 0;
  h.last_block = nblocks;
  h.index_root = nblocks > 0 ? nblocks : 1;
  h.index_levels = static_cast<uint8_t>(entries.size());
  std::vector<uint8_t> head = SerializeHeader(h);
  out->assign(head.size() + total_blocks * bs, 0);
  std::memcpy(out->data(), head.data(), head.size());
  auto block_at = [&](size_t number) { return out->data() + head.size() + (number - 1) * bs; };

  std::vector<uint32_t> sums;  // counts of the blocks of the level below
  std::vector<uint32_t> next_sums;
  for (size_t l = 0; l < entries.size(); ++l) {
    next_sums.clear();
    const size_t n = entries[l];
    for (size_t i = 0; i < n; i += cap) {
      const size_t in_block = std::min(cap, n - i);
      uint8_t* blk = block_at(first_block[l] + i / cap);
      uint32_t sum = 0;
      for (size_t j = 0; j < in_block; ++j) {
        const size_t e = i + j;
        uint8_t* r = blk + 6 + j * rs;
        uint16_t child;
        uint32_t count;
        if (l == 0) {
          std::memcpy(r, leaves.keys.data() + e * key_size, key_size);
          child = leaves.blocks[e];
          count = leaves.counts[e];
        } else {
          child = static_cast<uint16_t>(first_block[l - 1] + e);
          std::memcpy(r, block_at(child) + 6, key_size);  // the child's first key
          count = sums[e];
        }
        EncodeShort(r + key_size, static_cast<int16_t>(child));
        PutCounter(r + key_size + 2, count);
        EncodeShort(r + key_size + 4, 0);
        sum += count;
      }
      StoreLe16(blk + 4, static_cast<uint16_t>((in_block - 1) * rs));
      next_sums.push_back(sum);
    }
    sums.swap(next_sums);
  }
  for (size_t i = 1; i <= total_blocks; ++i) {
    uint8_t* blk = block_at(i);
    StoreLe16(blk, i < total_blocks ? static_cast<uint16_t>(i + 1) : 0);
    StoreLe16(blk + 2, static_cast<uint16_t>(i - 1));
  }
}

IndexFileWriter::IndexFileWriter(FileSystem& fs, std::string path, TableHeader header, bool create)
    : fs_(fs), path_(std::move(path)), header_(std::move(header)) {
  file_ = UnscrambledBlocks(fs_.open(path_, create ? OpenMode::kCreate : OpenMode::kReadWrite),
                            header_);
  if (!create) loadImage();
  loaded_ = true;
}

void IndexFileWriter::loadImage() {
  // The header passes the scrambling as it is: its checksum is read clear.
  if (SameScrambling(*file_, header_)) {
    image_ = ReadWholeFile(*file_);
    rewrite_ = false;
  } else {
    image_.clear();
    rewrite_ = true;
  }
}

void IndexFileWriter::update(const std::vector<IndexLeaf>& leaves) {
  IndexLeafList list;
  list.reset(header_.record_size - 6u);
  for (const auto& l : leaves) list.add(l.key.data(), l.block, l.count);
  update(list);
}

void IndexFileWriter::update(const IndexLeafList& leaves) {
  BuildIndexImage(header_, leaves, &next_);
  // Remember the tree's shape and counts for patch().
  const size_t cap = header_.blockCapacity();
  level_first_.clear();
  level_counts_.clear();
  if (leaves.size() > 0) {
    level_counts_.emplace_back(leaves.counts.begin(), leaves.counts.end());
    while (level_counts_.back().size() > cap) {
      const auto& below = level_counts_.back();
      std::vector<uint32_t> above((below.size() + cap - 1) / cap, 0);
      for (size_t i = 0; i < below.size(); ++i) above[i / cap] += below[i];
      level_counts_.push_back(std::move(above));
    }
  }
  size_t first = 1;
  for (const auto& level : level_counts_) {
    level_first_.push_back(first);
    first += (level.size() + cap - 1) / cap;
  }
  header_bytes_ = next_.size() - (first - 1) * header_.blockSize();
  built_leaves_ = leaves.size();
  const size_t chunk = 2048;
  for (size_t off = 0; off < next_.size(); off += chunk) {
    size_t n = std::min(chunk, next_.size() - off);
    if (off + n <= image_.size() && std::memcmp(next_.data() + off, image_.data() + off, n) == 0) {
      continue;
    }
    file_->write(off, next_.data() + off, n);
  }
  if (next_.size() < image_.size() || (rewrite_ && file_->size() > next_.size())) {
    file_->truncate(next_.size());
  }
  rewrite_ = false;
  image_.swap(next_);
}

bool IndexFileWriter::patch(const IndexLeafList& leaves, const std::vector<uint32_t>& changed) {
  if (built_leaves_ != leaves.size() || leaves.size() == 0) return false;
  const size_t rs = header_.record_size;
  const size_t key_size = rs - 6u;
  const size_t bs = header_.blockSize();
  const size_t cap = header_.blockCapacity();
  auto entry_at = [&](size_t level, size_t j) {
    const size_t block = level_first_[level] + j / cap;
    return image_.data() + header_bytes_ + (block - 1) * bs + 6 + (j % cap) * rs;
  };
  std::vector<size_t> touched_blocks;
  for (uint32_t e : changed) {
    if (e >= leaves.size()) return false;
    if (leaves.blocks[e] !=
        static_cast<uint16_t>(DecodeShort(entry_at(0, e) + key_size).value_or(0))) {
      return false;
    }
  }
  for (uint32_t e : changed) {
    uint8_t* r = entry_at(0, e);
    std::memcpy(r, leaves.keys.data() + static_cast<size_t>(e) * key_size, key_size);
    PutCounter(r + key_size + 2, leaves.counts[e]);
    const int64_t delta =
        static_cast<int64_t>(leaves.counts[e]) - static_cast<int64_t>(level_counts_[0][e]);
    level_counts_[0][e] = leaves.counts[e];
    touched_blocks.push_back(level_first_[0] + e / cap);
    // Up the tree: the parent's count and first key.
    size_t j = e;
    for (size_t l = 1; l < level_counts_.size(); ++l) {
      const size_t child = j / cap;  // entry index at level l
      level_counts_[l][child] = static_cast<uint32_t>(level_counts_[l][child] + delta);
      uint8_t* p = entry_at(l, child);
      std::memcpy(p, entry_at(l - 1, child * cap), key_size);
      PutCounter(p + key_size + 2, level_counts_[l][child]);
      touched_blocks.push_back(level_first_[l] + child / cap);
      j = child;
    }
  }
  std::sort(touched_blocks.begin(), touched_blocks.end());
  touched_blocks.erase(std::unique(touched_blocks.begin(), touched_blocks.end()),
                       touched_blocks.end());
  for (size_t block : touched_blocks) {
    const size_t off = header_bytes_ + (block - 1) * bs;
    file_->write(off, image_.data() + off, bs);
  }
  return true;
}

void IndexFileWriter::sync() { file_->sync(); }

void IndexFileWriter::forget() {
  loadImage();
  built_leaves_ = SIZE_MAX;
}

std::vector<IndexLeaf> ReadIndexLeaves(File& file, const TableHeader& h, const std::string& name,
                                       std::vector<std::string>* problems) {
  std::vector<IndexLeaf> leaves;
  if (h.num_records == 0 || h.file_blocks == 0) return leaves;
  const uint64_t file_size = file.size();
  const uint32_t rs = h.record_size;
  const uint32_t key_size = rs - 6;
  if (h.index_levels == 0 || h.index_levels > 16) {
    ThrowCorrupt(name, "index depth " + std::to_string(h.index_levels), subcode::kBadIndex);
  }
  std::vector<uint8_t> visited(65536, 0);
  std::vector<uint8_t> buf(h.blockSize());
  uint32_t entries = 0;
  // Depth-first walk from the root; returns the sum of counts below.
  std::function<uint32_t(uint16_t, int, const uint8_t*)> walk =
      [&](uint16_t block, int level, const uint8_t* expected_first) -> uint32_t {
    if (visited[block]) {
      ThrowCorrupt(name, "index block " + std::to_string(block) + " is referenced twice",
                   subcode::kBadIndex);
    }
    visited[block] = 1;
    uint32_t count = 0;
    ReadBlockHeader(file, h, block, file_size, name, &count);
    size_t bytes = 6 + static_cast<size_t>(count) * rs;
    uint64_t off = h.header_size + static_cast<uint64_t>(block - 1) * h.blockSize();
    if (file.read(off, buf.data(), bytes) != bytes) {
      ThrowCorrupt(name, "index block " + std::to_string(block) + " is cut short",
                   subcode::kBadIndex);
    }
    std::vector<uint8_t> data(buf.begin(), buf.begin() + static_cast<long>(bytes));
    entries += count;
    if (count == 0 && problems) {
      problems->push_back(name + ": index block " + std::to_string(block) + " is empty");
    }
    if (expected_first && count > 0 &&
        std::memcmp(expected_first, data.data() + 6, key_size) != 0 && problems) {
      problems->push_back(name + ": the key of index block " + std::to_string(block) +
                          " differs from its first entry");
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* r = data.data() + 6 + static_cast<size_t>(i) * rs;
      auto child = DecodeShort(r + key_size).value_or(0);
      auto cnt = static_cast<uint16_t>(DecodeShort(r + key_size + 2).value_or(0));
      if (level == 1) {
        leaves.push_back(
            IndexLeaf{std::vector<uint8_t>(r, r + key_size), static_cast<uint16_t>(child), cnt});
        sum += cnt;
      } else {
        if (child <= 0 || static_cast<uint32_t>(child) > h.file_blocks) {
          ThrowCorrupt(
              name, "index block " + std::to_string(block) + " points at a block outside the file",
              subcode::kBadIndex);
        }
        uint32_t below = walk(static_cast<uint16_t>(child), level - 1, r);
        if (problems && std::min<uint32_t>(below, 32767) != cnt && cnt != 32767 && below < 65536) {
          problems->push_back(name + ": index block " + std::to_string(block) + " entry " +
                              std::to_string(i + 1) + " counts " + std::to_string(cnt) +
                              " records, its subtree holds " + std::to_string(below));
        }
        sum += below;
      }
    }
    return sum;
  };
  if (h.index_root == 0 || h.index_root > h.file_blocks) {
    ThrowCorrupt(name, "index root " + std::to_string(h.index_root) + " is outside the file",
                 subcode::kBadIndex);
  }
  walk(h.index_root, h.index_levels, nullptr);
  if (problems && entries != h.num_records) {
    problems->push_back(name + ": header counts " + std::to_string(h.num_records) +
                        " index entries, the tree holds " + std::to_string(entries));
  }
  return leaves;
}

}  // namespace vellum::engine::paradox
