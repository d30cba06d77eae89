#include "engine/paradox/salvage.h"

#include <algorithm>
#include <optional>

#include "engine/paradox/codec.h"

namespace vellum::engine::paradox {

namespace {

// At most this many lines describe the damage; the counts say the rest.
constexpr size_t kMaxProblemLines = 10;

void Note(SalvageLog* log, std::string line) {
  if (log->chain_problems.size() < kMaxProblemLines) log->chain_problems.push_back(std::move(line));
}

// One block as its 6-byte header describes it.
struct Inspection {
  bool sound = false;  // a possible count whose records lie inside the file
  bool empty = false;  // marked empty (no records)
  uint16_t next = 0;
  uint32_t count = 0;
  std::string why;  // what is wrong, when not sound
};

class BlockInspector {
 public:
  BlockInspector(File& file, const TableHeader& header)
      : file_(file), header_(header), size_(file.size()) {}

  // Blocks the file holds, the last one possibly cut short.
  uint32_t blocksInFile() const {
    if (size_ <= header_.header_size || header_.blockSize() == 0) return 0;
    const uint64_t blocks =
        (size_ - header_.header_size + header_.blockSize() - 1) / header_.blockSize();
    return static_cast<uint32_t>(std::min<uint64_t>(blocks, 0xFFFF));
  }

  Inspection inspect(uint16_t block) const {
    Inspection in;
    const uint64_t off =
        header_.header_size + static_cast<uint64_t>(block - 1) * header_.blockSize();
    uint8_t raw[6];
    if (off + 6 > size_ || file_.read(off, raw, 6) != 6) {
      in.why = "it lies past the end of the file";
      return in;
    }
    in.next = LoadLe16(raw);
    const auto last_offset = static_cast<int16_t>(LoadLe16(raw + 4));
    if (last_offset < 0) {
      in.sound = in.empty = true;
      return in;
    }
    const uint32_t rs = header_.record_size;
    if (rs == 0 || static_cast<uint32_t>(last_offset) % rs != 0) {
      in.why = "its last-record offset is not a multiple of the record size";
      return in;
    }
    in.count = static_cast<uint32_t>(last_offset) / rs + 1;
    if (in.count > header_.blockCapacity()) {
      in.why = "it claims more records than a block holds";
      return in;
    }
    if (off + 6 + uint64_t{in.count} * rs > size_) {
      in.why = "it holds records past the end of the file";
      return in;
    }
    in.sound = true;
    return in;
  }

 private:
  File& file_;
  const TableHeader& header_;
  uint64_t size_;
};

}  // namespace

std::vector<RecordStore::BlockRef> SalvageBlocks(File& file, const TableHeader& header,
                                                 SalvageLog* log) {
  const BlockInspector inspector(file, header);
  const uint32_t blocks = inspector.blocksInFile();
  // 0: not seen; 1: taken; 2: on the free list; 3: left out as unreadable.
  std::vector<uint8_t> state(size_t{blocks} + 1, 0);
  std::vector<RecordStore::BlockRef> taken;

  // The chain, as far as it is sound.
  uint16_t b = header.first_block;
  while (b != 0) {
    if (b > blocks) {
      Note(log, "the block chain links to block " + std::to_string(b) + ", outside the file's " +
                    std::to_string(blocks) + " blocks");
      break;
    }
    if (state[b] != 0) {
      Note(log, "the block chain loops back to block " + std::to_string(b));
      break;
    }
    const Inspection in = inspector.inspect(b);
    if (!in.sound) {
      Note(log, "block " + std::to_string(b) + " of the block chain cannot be read: " + in.why);
      state[b] = 3;
      ++log->unreadable_blocks;
      break;
    }
    if (in.empty) {
      Note(log, "the block chain runs into block " + std::to_string(b) + ", which is marked empty");
      break;
    }
    state[b] = 1;
    taken.push_back({b, static_cast<uint16_t>(in.count)});
    ++log->chain_blocks;
    b = in.next;
  }

  // The free list, as far as it leads to blocks not yet seen.
  for (uint16_t f = header.first_free_block; f != 0 && f <= blocks && state[f] == 0;) {
    state[f] = 2;
    f = inspector.inspect(f).next;
  }

  // Every other block that looks like a data block.
  for (uint32_t n = 1; n <= blocks; ++n) {
    if (state[n] != 0) continue;
    const auto number = static_cast<uint16_t>(n);
    const Inspection in = inspector.inspect(number);
    if (!in.sound) {
      Note(log, "block " + std::to_string(n) + " cannot be read: " + in.why);
      ++log->unreadable_blocks;
      continue;
    }
    if (in.empty) continue;
    taken.push_back({number, static_cast<uint16_t>(in.count)});
    ++log->orphan_blocks;
  }
  if (log->orphan_blocks > 0) {
    Note(log, std::to_string(log->orphan_blocks) +
                  (log->orphan_blocks == 1 ? " data block was" : " data blocks were") +
                  " found outside the block chain");
  }
  for (const auto& ref : taken) log->records_found += ref.count;
  if (log->records_found != header.num_records) {
    Note(log, "the header counts " + std::to_string(header.num_records) +
                  " records; the blocks read hold " + std::to_string(log->records_found));
  }
  return taken;
}

}  // namespace vellum::engine::paradox
