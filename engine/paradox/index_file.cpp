#include "engine/paradox/index_file.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/record_store.h"

namespace vellum::engine::paradox {

namespace {
struct Entry {
  const uint8_t* key;
  uint16_t block;
  uint32_t count;
};

void PutCounter(uint8_t* p, uint32_t v) {
  EncodeShort(p, static_cast<int16_t>(std::min<uint32_t>(v, 32767)));
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
  return h;
}

std::vector<uint8_t> BuildIndexImage(TableHeader h, const std::vector<IndexLeaf>& leaves) {
  const uint32_t rs = h.record_size;
  const uint32_t key_size = rs - 6;
  const uint32_t bs = h.blockSize();
  const uint32_t cap = h.blockCapacity();
  // Lay out the levels bottom-up; block numbers are assigned in that order.
  std::vector<std::vector<uint8_t>> blocks;
  std::vector<Entry> level;
  level.reserve(leaves.size());
  for (const auto& l : leaves) level.push_back(Entry{l.key.data(), l.block, l.count});
  uint32_t total_entries = 0;
  int levels = 0;
  uint16_t root = 1;
  std::vector<std::vector<uint8_t>> first_keys;  // keeps keys of upper levels alive
  while (!level.empty()) {
    ++levels;
    std::vector<Entry> upper;
    for (size_t i = 0; i < level.size(); i += cap) {
      size_t n = std::min<size_t>(cap, level.size() - i);
      std::vector<uint8_t> blk(bs, 0);
      uint32_t sum = 0;
      for (size_t j = 0; j < n; ++j) {
        uint8_t* r = blk.data() + 6 + j * rs;
        std::memcpy(r, level[i + j].key, key_size);
        EncodeShort(r + key_size, static_cast<int16_t>(level[i + j].block));
        PutCounter(r + key_size + 2, level[i + j].count);
        EncodeShort(r + key_size + 4, 0);
        sum += level[i + j].count;
      }
      StoreLe16(blk.data() + 4, static_cast<uint16_t>((n - 1) * rs));
      total_entries += static_cast<uint32_t>(n);
      blocks.push_back(std::move(blk));
      auto number = static_cast<uint16_t>(blocks.size());
      first_keys.emplace_back(level[i].key, level[i].key + key_size);
      upper.push_back(Entry{nullptr, number, sum});
      root = number;
    }
    if (upper.size() == 1) break;
    // Keys of the upper entries are the first keys of their blocks.
    for (size_t k = 0; k < upper.size(); ++k) {
      upper[k].key = first_keys[first_keys.size() - upper.size() + k].data();
    }
    level = std::move(upper);
    if (blocks.size() > 0xFFFF) ThrowLimit("The index \"" + h.table_name + "\" is too large");
  }
  const auto nblocks = static_cast<uint16_t>(blocks.size());
  for (uint16_t i = 0; i < nblocks; ++i) {
    StoreLe16(blocks[i].data(), i + 1 < nblocks ? static_cast<uint16_t>(i + 2) : 0);
    StoreLe16(blocks[i].data() + 2, i > 0 ? i : 0);
  }
  h.num_records = total_entries;
  h.file_blocks = h.used_blocks = h.max_blocks = nblocks;
  h.first_block = nblocks > 0 ? 1 : 0;
  h.last_block = nblocks;
  h.index_root = nblocks > 0 ? root : 1;
  h.index_levels = static_cast<uint8_t>(nblocks > 0 ? levels : 0);
  std::vector<uint8_t> image = SerializeHeader(h);
  image.reserve(image.size() + static_cast<size_t>(nblocks) * bs);
  for (const auto& b : blocks) image.insert(image.end(), b.begin(), b.end());
  return image;
}

IndexFileWriter::IndexFileWriter(FileSystem& fs, std::string path, TableHeader header,
                                 bool create)
    : fs_(fs), path_(std::move(path)), header_(std::move(header)) {
  file_ = fs_.open(path_, create ? OpenMode::kCreate : OpenMode::kReadWrite);
  if (!create) {
    image_ = ReadWholeFile(*file_);
  }
  loaded_ = true;
}

void IndexFileWriter::update(const std::vector<IndexLeaf>& leaves) {
  std::vector<uint8_t> next = BuildIndexImage(header_, leaves);
  const size_t chunk = 2048;
  for (size_t off = 0; off < next.size(); off += chunk) {
    size_t n = std::min(chunk, next.size() - off);
    if (off + n <= image_.size() && std::memcmp(next.data() + off, image_.data() + off, n) == 0) {
      continue;
    }
    file_->write(off, next.data() + off, n);
  }
  if (next.size() < image_.size()) file_->truncate(next.size());
  image_ = std::move(next);
}

void IndexFileWriter::sync() { file_->sync(); }

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
    if (expected_first && count > 0 && std::memcmp(expected_first, data.data() + 6, key_size) != 0 &&
        problems) {
      problems->push_back(name + ": the key of index block " + std::to_string(block) +
                          " differs from its first entry");
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* r = data.data() + 6 + static_cast<size_t>(i) * rs;
      auto child = DecodeShort(r + key_size).value_or(0);
      auto cnt = static_cast<uint16_t>(DecodeShort(r + key_size + 2).value_or(0));
      if (level == 1) {
        leaves.push_back(IndexLeaf{std::vector<uint8_t>(r, r + key_size),
                                   static_cast<uint16_t>(child), cnt});
        sum += cnt;
      } else {
        if (child <= 0 || static_cast<uint32_t>(child) > h.file_blocks) {
          ThrowCorrupt(name, "index block " + std::to_string(block) +
                                 " points at a block outside the file", subcode::kBadIndex);
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
