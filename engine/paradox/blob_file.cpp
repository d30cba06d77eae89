// The .MB file: reading, writing and freeing memo and blob values.
//
// Invariants of a .MB file as this code keeps it (a read checks those of the
// blocks it touches):
//  * The file is a sequence of blocks, each a whole number (1..65535) of
//    4096-byte units. The header block (type 0, one unit) is at offset 0;
//    walking from offset 4096 by each block's unit count ends exactly at the
//    end of the file. No block runs past the end of the file.
//  * Every block after the header is of type 2 (one value), 3 (up to 64 small
//    values) or 4 (free).
//  * A value is stored as its bytes, preceded by an 8-byte prefix for graphic
//    (01 00 00 01) and OLE (01 00 00 02) values: the prefix kind, then the
//    payload length (u32 LE). The stored length counts the prefix. Their
//    leader holds the payload's first bytes; a payload that fits in the
//    leader is kept there alone, without prefix, its length the payload's.
//  * A stored length of at most 2048 bytes lives in a slot of a type-3 block;
//    a longer one in a type-2 block whose 9-byte head repeats the length and
//    the modification number. Blocks written here have exactly
//    ceil((9 + length) / 4096) units (a larger free block is split); a block
//    written elsewhere may be larger, but its value lies within its units.
//  * A type-3 block is one unit. A used slot (start chunk != 0 and 1..16
//    bytes in its last chunk) covers chunks [start, start + count) of 16 bytes
//    within 0x15..0xFF; the chunks of two used slots never overlap. Slots are
//    taken from 63 downward, chunks first fit from 0x15 upward. When the last
//    used slot of a type-3 block is released the block becomes free.
//  * The header's counter (offset 3) is the modification number the next
//    write takes; each write takes it and advances it, skipping 0. The number
//    is stored in the value's slot or block and in the record's descriptor.
//  * A descriptor refers to a used slot or a type-2 block whose length and
//    modification number equal its own. A value no longer than the leader
//    lives in the leader alone: reference 0, modification 0. An empty value is
//    an all-zero field.
//  * A freed block is type 4 and keeps its unit count; when a block is freed
//    it is merged with a free block right after and right before it, as long
//    as the sum of units fits in 16 bits.
//
// The map of blocks used for allocation is built on the first write or
// release and then kept in step with every change this object makes. It
// assumes this object is the file's only writer while it is open, which the
// table's write lock guarantees.
#include "engine/paradox/blob_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"

namespace vellum::engine::paradox {
namespace {

constexpr uint64_t kUnit = 4096;
constexpr int kMaxLeader = 255 - 10;  // the size byte is at most 255
constexpr int kDescriptorSize = 10;

constexpr uint8_t kHeaderBlock = 0;
constexpr uint8_t kSingleBlock = 2;
constexpr uint8_t kSubBlock = 3;
constexpr uint8_t kFreeBlock = 4;
constexpr uint32_t kMaxUnits = 0xFFFF;

constexpr uint32_t kSmallLimit = 2048;  // longest stored length kept in a slot
constexpr size_t kSingleHead = 9;       // type, units, length, modification
constexpr uint8_t kOwnBlockIndex = 0xFF;

constexpr int kSlots = 64;
constexpr int kSlotTable = 12;
constexpr int kSlotSize = 5;
constexpr int kChunk = 16;
constexpr int kFirstDataChunk = 0x15;
constexpr int kChunksPerBlock = static_cast<int>(kUnit) / kChunk;

constexpr size_t kPrefixSize = 8;

// Highest block offset a reference can hold: the low byte is the slot index.
constexpr uint64_t kMaxBlockOffset = 0xFFFFF000u;

std::string Hex(uint64_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

std::string BlockText(uint64_t offset) { return "block at offset " + Hex(offset); }

bool HasPrefix(PxType type) { return type == PxType::kGraphic || type == PxType::kOle; }
uint8_t PrefixKind(PxType type) { return type == PxType::kGraphic ? 1 : 2; }
size_t PrefixSize(PxType type) { return HasPrefix(type) ? kPrefixSize : 0; }

uint64_t UnitsFor(uint64_t stored_length) {
  return (kSingleHead + stored_length + kUnit - 1) / kUnit;
}

// The fixed part of the header block; bytes not listed are zero.
void FillHeaderBlock(uint8_t* h, uint16_t counter) {
  std::memset(h, 0, kUnit);
  h[0x00] = kHeaderBlock;
  StoreLe16(h + 0x01, 1);
  StoreLe16(h + 0x03, counter);
  static const uint8_t kConstant[] = {0x82, 0x73, 0x02, 0x00, 0x29};
  std::memcpy(h + 0x05, kConstant, sizeof kConstant);
  StoreLe16(h + 0x0B, static_cast<uint16_t>(kUnit));  // base block size
  StoreLe16(h + 0x0D, static_cast<uint16_t>(kUnit));  // sub-allocated block size
  h[0x10] = kChunk;
  StoreLe16(h + 0x11, kSlots);
  StoreLe16(h + 0x13, static_cast<uint16_t>(kSmallLimit));
  StoreLe16(h + 0x29, 0x02A1);
}

struct SlotEntry {
  uint8_t start = 0;   // chunk number; 0 = unused
  uint8_t chunks = 0;  // chunk count
  uint16_t modification = 0;
  uint8_t last = 0;  // bytes used in the last chunk; 0 = deleted

  bool used() const { return start != 0 && last != 0; }
  uint32_t length() const { return (chunks - 1u) * kChunk + last; }
};

// Offset of a slot's entry in its block.
size_t SlotOffset(int slot) { return kSlotTable + kSlotSize * static_cast<size_t>(slot); }

SlotEntry LoadSlot(const uint8_t* block, int slot) {
  const uint8_t* p = block + SlotOffset(slot);
  return SlotEntry{p[0], p[1], LoadLe16(p + 2), p[4]};
}

void StoreSlot(uint8_t* block, int slot, const SlotEntry& e) {
  uint8_t* p = block + SlotOffset(slot);
  p[0] = e.start;
  p[1] = e.chunks;
  StoreLe16(p + 2, e.modification);
  p[4] = e.last;
}

// The fault of a used slot's chunk range, or empty.
std::string SlotRangeFault(const SlotEntry& e, int slot) {
  std::string s = "slot " + std::to_string(slot);
  if (e.last > kChunk) return s + " claims " + std::to_string(e.last) + " bytes in its last chunk";
  if (e.chunks == 0) return s + " has no chunks";
  if (e.start < kFirstDataChunk)
    return s + " starts at chunk " + Hex(e.start) + " in the slot table";
  if (e.start + e.chunks > kChunksPerBlock) {
    return s + " runs past the end of its block (chunk " + Hex(e.start) + ", " +
           std::to_string(e.chunks) + " chunks)";
  }
  return {};
}

// What a sub-allocated block offers for new values.
struct SubSummary {
  int free_slots = 0;
  int largest_run = 0;  // longest run of free chunks
  bool sound = true;    // slot table is consistent; only sound blocks take new values
};

// Marks the chunks used by the block's slots; returns false when a used slot
// is malformed or overlaps another.
bool MarkChunks(const uint8_t* block, std::array<bool, kChunksPerBlock>* used, int* free_slots) {
  used->fill(false);
  for (int c = 0; c < kFirstDataChunk; ++c) (*used)[c] = true;
  bool sound = true;
  *free_slots = 0;
  for (int i = 0; i < kSlots; ++i) {
    SlotEntry e = LoadSlot(block, i);
    if (!e.used()) {
      ++*free_slots;
      continue;
    }
    if (!SlotRangeFault(e, i).empty()) {
      sound = false;
      continue;
    }
    for (int c = e.start; c < e.start + e.chunks; ++c) {
      if ((*used)[c]) sound = false;
      (*used)[c] = true;
    }
  }
  return sound;
}

SubSummary Summarize(const uint8_t* block) {
  SubSummary s;
  std::array<bool, kChunksPerBlock> used;
  s.sound = MarkChunks(block, &used, &s.free_slots);
  int run = 0;
  for (int c = 0; c < kChunksPerBlock; ++c) {
    run = used[c] ? 0 : run + 1;
    s.largest_run = std::max(s.largest_run, run);
  }
  return s;
}

// First run of `count` free chunks, or nullopt.
std::optional<int> FindChunks(const std::array<bool, kChunksPerBlock>& used, int count) {
  int run = 0;
  for (int c = 0; c < kChunksPerBlock; ++c) {
    run = used[c] ? 0 : run + 1;
    if (run == count) return c - count + 1;
  }
  return std::nullopt;
}

void CheckLeader(int leader) {
  if (leader < 0 || leader > kMaxLeader) {
    ThrowInvalid("Blob field leader length " + std::to_string(leader) + " is out of range");
  }
}

void CheckBlobType(PxType type) {
  if (!IsBlobType(type)) ThrowInvalid("Field type is not a blob type", subcode::kUnsupportedType);
}

}  // namespace

BlobDescriptor BlobDescriptor::Decode(const uint8_t* field, int leader) {
  const uint8_t* p = field + leader;
  return BlobDescriptor{LoadLe32(p), LoadLe32(p + 4), LoadLe16(p + 8)};
}

struct BlobFile::Impl {
  // Where a value lives once its reference has been checked.
  struct Location {
    uint64_t block = 0;
    int slot = -1;  // -1: a block of its own
    uint64_t data = 0;
    uint32_t length = 0;
    uint16_t modification = 0;
  };

  // Outcome of following a reference. kStale: the place is valid but no
  // longer holds this value (freed, or reused for another one). kBroken: the
  // reference or the block it names is damaged.
  enum class Found { kYes, kStale, kBroken };
  struct Lookup {
    Found found = Found::kYes;
    std::string fault;
    Location where;
  };

  // One block of the file after the header, as the allocator sees it.
  struct Block {
    uint8_t type = 0;
    uint32_t units = 0;
    SubSummary sub;  // type-3 blocks only
  };

  std::unique_ptr<File> file;
  std::string path;
  bool writable = false;
  uint16_t counter = 1;

  bool mapped = false;
  std::map<uint64_t, Block> blocks;  // by offset
  uint64_t end = kUnit;              // end of the last block

  Impl(std::unique_ptr<File> f, std::string p, bool w)
      : file(std::move(f)), path(std::move(p)), writable(w) {}

  [[noreturn]] void Corrupt(const std::string& what) {
    ThrowCorrupt(path, what, subcode::kBadBlob);
  }

  // Reads exactly n bytes; the caller has checked the range against the
  // file's size, so a short read means the file shrank under us.
  void ReadExact(uint64_t offset, void* buffer, size_t n) {
    if (file->read(offset, buffer, n) != n) {
      Corrupt("file ends inside the " + BlockText(offset & ~(kUnit - 1)));
    }
  }

  void CheckHeader() {
    uint64_t size = file->size();
    if (size < kUnit) {
      Corrupt("file of " + std::to_string(size) + " bytes is shorter than its header block");
    }
    uint8_t h[kUnit];
    ReadExact(0, h, kUnit);
    if (h[0] != kHeaderBlock || LoadLe16(h + 1) != 1) {
      Corrupt("header block has type " + std::to_string(h[0]) + " and " +
              std::to_string(LoadLe16(h + 1)) + " units instead of type 0 and 1 unit");
    }
    if (LoadLe16(h + 0x0B) != kUnit || LoadLe16(h + 0x0D) != kUnit || h[0x10] != kChunk ||
        LoadLe16(h + 0x11) != kSlots || LoadLe16(h + 0x13) != kSmallLimit) {
      Corrupt("header block has an unknown block geometry");
    }
    counter = LoadLe16(h + 3);
    if (counter == 0) counter = 1;
  }

  // Follows the reference of a descriptor whose value is longer than the
  // leader. Every offset, type, unit count, slot and length is checked
  // against the file before it is used.
  Lookup Locate(const BlobDescriptor& d) {
    Lookup r;
    auto broken = [&r](std::string fault) {
      r.found = Found::kBroken;
      r.fault = std::move(fault);
      return r;
    };
    auto stale = [&r](std::string fault) {
      r.found = Found::kStale;
      r.fault = std::move(fault);
      return r;
    };
    if (d.reference == 0) {
      return broken("value of " + std::to_string(d.length) +
                    " bytes is longer than the leader but has no .MB reference");
    }
    const uint64_t block = d.reference & ~0xFFull;
    const int index = static_cast<int>(d.reference & 0xFF);
    const std::string at = BlockText(block) + ": ";
    if (block % kUnit != 0) return broken(at + "offset is not a multiple of 4096");
    if (block == 0) return broken(at + "reference names the header block");
    const uint64_t size = file->size();
    if (block + kUnit > size) {
      return broken(at + "past the end of the file (" + std::to_string(size) + " bytes)");
    }
    uint8_t head[kSingleHead];
    ReadExact(block, head, sizeof head);
    const uint8_t type = head[0];
    const uint32_t units = LoadLe16(head + 1);
    if (type != kSingleBlock && type != kSubBlock && type != kFreeBlock) {
      return broken(at + "unknown block type " + std::to_string(type));
    }
    if (units == 0) return broken(at + "block length of 0 units");
    if (block + units * kUnit > size) {
      return broken(at + "block of " + std::to_string(units) +
                    " units runs past the end of the file (" + std::to_string(size) + " bytes)");
    }
    if (index == kOwnBlockIndex) {
      if (type != kSingleBlock) {
        return stale(at + "block type " + std::to_string(type) +
                     " where a single-value block (type 2) is expected");
      }
      const uint32_t length = LoadLe32(head + 3);
      if (kSingleHead + length > units * kUnit) {
        return broken(at + "value of " + std::to_string(length) + " bytes overruns its " +
                      std::to_string(units) + " units");
      }
      if (length != d.length) {
        return stale(at + "block holds " + std::to_string(length) +
                     " bytes but the field's length is " + std::to_string(d.length));
      }
      r.where = Location{block, -1, block + kSingleHead, length, LoadLe16(head + 7)};
      return r;
    }
    if (index >= kSlots)
      return broken(at + "slot index " + std::to_string(index) + " out of range");
    if (type != kSubBlock) {
      return stale(at + "block type " + std::to_string(type) +
                   " where a sub-allocated block (type 3) is expected");
    }
    if (units != 1) {
      return broken(at + "sub-allocated block of " + std::to_string(units) + " units");
    }
    uint8_t raw[kSlotSize];
    ReadExact(block + SlotOffset(index), raw, kSlotSize);
    const SlotEntry e{raw[0], raw[1], LoadLe16(raw + 2), raw[4]};
    const std::string slot = "slot " + std::to_string(index);
    if (e.start == 0) return stale(at + slot + " is unused");
    if (e.last == 0) return stale(at + slot + " is deleted");
    if (std::string fault = SlotRangeFault(e, index); !fault.empty()) return broken(at + fault);
    if (e.length() != d.length) {
      return stale(at + slot + " holds " + std::to_string(e.length()) +
                   " bytes but the field's length is " + std::to_string(d.length));
    }
    r.where =
        Location{block, index, block + e.start * uint64_t{kChunk}, e.length(), e.modification};
    return r;
  }

  // The fault of a graphic or OLE prefix, or empty.
  static std::string PrefixFault(const uint8_t* prefix, uint32_t stored, PxType type) {
    const uint8_t kind[4] = {1, 0, 0, PrefixKind(type)};
    if (std::memcmp(prefix, kind, 4) != 0) return "value does not start with its kind prefix";
    if (LoadLe32(prefix + 4) != stored - kPrefixSize) {
      return "prefix gives a payload of " + std::to_string(LoadLe32(prefix + 4)) + " bytes but " +
             std::to_string(stored - kPrefixSize) + " are stored";
    }
    return {};
  }

  Bytes ReadStored(const Location& at, PxType type, const std::string& context) {
    uint64_t offset = at.data;
    uint32_t length = at.length;
    if (HasPrefix(type)) {
      if (length < kPrefixSize) {
        Corrupt(context + BlockText(at.block) + ": value of " + std::to_string(length) +
                " bytes is too short for its prefix");
      }
      uint8_t prefix[kPrefixSize];
      ReadExact(offset, prefix, kPrefixSize);
      if (std::string fault = PrefixFault(prefix, length, type); !fault.empty()) {
        Corrupt(context + BlockText(at.block) + ": " + fault);
      }
      offset += kPrefixSize;
      length -= kPrefixSize;
    }
    Bytes value(length);
    if (length > 0) ReadExact(offset, value.data(), length);
    return value;
  }

  // ---- Writing ----

  void RequireWritable() {
    if (!writable) ThrowInvalid("Blob file \"" + path + "\" is open for reading only");
  }

  // Walks all blocks once and records what the allocator needs.
  void Map() {
    if (mapped) return;
    blocks.clear();
    const uint64_t size = file->size();
    uint64_t offset = kUnit;
    std::vector<uint8_t> buffer(kUnit);
    while (offset < size) {
      const std::string at = BlockText(offset) + ": ";
      if (offset + kUnit > size) Corrupt(at + "block runs past the end of the file");
      uint8_t head[3];
      ReadExact(offset, head, sizeof head);
      Block b{head[0], LoadLe16(head + 1), {}};
      if (b.type != kSingleBlock && b.type != kSubBlock && b.type != kFreeBlock) {
        Corrupt(at + "unknown block type " + std::to_string(b.type));
      }
      if (b.units == 0) Corrupt(at + "block length of 0 units");
      if (offset + b.units * kUnit > size) {
        Corrupt(at + "block of " + std::to_string(b.units) +
                " units runs past the end of the file (" + std::to_string(size) + " bytes)");
      }
      if (b.type == kSubBlock) {
        if (b.units != 1) {
          Corrupt(at + "sub-allocated block of " + std::to_string(b.units) + " units");
        }
        ReadExact(offset, buffer.data(), kUnit);
        b.sub = Summarize(buffer.data());
      }
      blocks[offset] = b;
      offset += b.units * kUnit;
    }
    end = offset;
    mapped = true;
  }

  // Takes the modification number for a write and advances the counter.
  uint16_t TakeModification() {
    uint16_t mod = counter;
    uint16_t next = static_cast<uint16_t>(counter + 1);
    if (next == 0) next = 1;
    uint8_t raw[2];
    StoreLe16(raw, next);
    file->write(3, raw, sizeof raw);
    counter = next;
    return mod;
  }

  // Finds room for a block of `units`: the first free block large enough
  // (split when larger; the remainder stays free), else the end of the file.
  // The caller writes the new block over the returned offset.
  uint64_t Allocate(uint32_t units, uint8_t type) {
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
      Block& b = it->second;
      if (b.type != kFreeBlock || b.units < units) continue;
      const uint64_t offset = it->first;
      if (b.units > units) {
        const uint64_t rest_offset = offset + units * kUnit;
        const uint32_t rest_units = b.units - units;
        uint8_t head[3] = {kFreeBlock, 0, 0};
        StoreLe16(head + 1, static_cast<uint16_t>(rest_units));
        file->write(rest_offset, head, sizeof head);
        blocks[rest_offset] = Block{kFreeBlock, rest_units, {}};
      }
      b = Block{type, units, {}};
      return offset;
    }
    const uint64_t offset = end;
    if (offset > kMaxBlockOffset || offset + units * kUnit > kMaxBlockOffset + kUnit) {
      ThrowLimit("Blob file \"" + path + "\" is full");
    }
    blocks[offset] = Block{type, units, {}};
    end = offset + units * kUnit;
    return offset;
  }

  // Stores a value longer than 2048 bytes in a block of its own.
  uint32_t WriteSingle(const uint8_t* prefix, size_t prefix_size, const Bytes& payload,
                       uint16_t mod) {
    const uint64_t stored = prefix_size + payload.size();
    const auto units = static_cast<uint32_t>(UnitsFor(stored));
    const uint64_t offset = Allocate(units, kSingleBlock);
    // One write of the whole block, padded to its units, so that the block
    // appears complete or not at all.
    std::vector<uint8_t> block(units * kUnit, 0);
    block[0] = kSingleBlock;
    StoreLe16(block.data() + 1, static_cast<uint16_t>(units));
    StoreLe32(block.data() + 3, static_cast<uint32_t>(stored));
    StoreLe16(block.data() + 7, mod);
    if (prefix_size > 0) std::memcpy(block.data() + kSingleHead, prefix, prefix_size);
    std::memcpy(block.data() + kSingleHead + prefix_size, payload.data(), payload.size());
    file->write(offset, block.data(), block.size());
    return static_cast<uint32_t>(offset) | kOwnBlockIndex;
  }

  // Stores a value of 1..2048 bytes in a slot of a sub-allocated block.
  uint32_t WriteSmall(const uint8_t* prefix, size_t prefix_size, const Bytes& payload,
                      uint16_t mod) {
    const uint32_t stored = static_cast<uint32_t>(prefix_size + payload.size());
    const int chunks = static_cast<int>((stored + kChunk - 1) / kChunk);
    std::vector<uint8_t> buffer(kUnit);
    for (auto& [offset, b] : blocks) {
      if (b.type != kSubBlock || !b.sub.sound || b.sub.free_slots == 0 ||
          b.sub.largest_run < chunks) {
        continue;
      }
      ReadExact(offset, buffer.data(), kUnit);
      if (auto ref = PlaceInSub(buffer.data(), offset, chunks, prefix, prefix_size, payload, mod)) {
        file->write(offset, buffer.data(), kUnit);
        b.sub = Summarize(buffer.data());
        return *ref;
      }
      b.sub = Summarize(buffer.data());  // the file disagreed with the map
    }
    const uint64_t offset = Allocate(1, kSubBlock);
    std::fill(buffer.begin(), buffer.end(), 0);
    buffer[0] = kSubBlock;
    StoreLe16(buffer.data() + 1, 1);
    auto ref = PlaceInSub(buffer.data(), offset, chunks, prefix, prefix_size, payload, mod);
    file->write(offset, buffer.data(), kUnit);
    blocks[offset].sub = Summarize(buffer.data());
    return *ref;
  }

  // Puts a value into the highest free slot and the first free run of chunks
  // of a sub-allocated block held in `block`; nullopt when it does not fit.
  static std::optional<uint32_t> PlaceInSub(uint8_t* block, uint64_t offset, int chunks,
                                            const uint8_t* prefix, size_t prefix_size,
                                            const Bytes& payload, uint16_t mod) {
    std::array<bool, kChunksPerBlock> used;
    int free_slots = 0;
    if (!MarkChunks(block, &used, &free_slots) || free_slots == 0) return std::nullopt;
    int slot = kSlots - 1;
    while (slot >= 0 && LoadSlot(block, slot).used()) --slot;
    std::optional<int> start = FindChunks(used, chunks);
    if (slot < 0 || !start) return std::nullopt;
    uint8_t* data = block + static_cast<size_t>(*start) * kChunk;
    std::memset(data, 0, static_cast<size_t>(chunks) * kChunk);
    if (prefix_size > 0) std::memcpy(data, prefix, prefix_size);
    std::memcpy(data + prefix_size, payload.data(), payload.size());
    const size_t stored = prefix_size + payload.size();
    const auto last = static_cast<uint8_t>(stored - (chunks - 1) * static_cast<size_t>(kChunk));
    StoreSlot(block, slot,
              SlotEntry{static_cast<uint8_t>(*start), static_cast<uint8_t>(chunks), mod, last});
    return static_cast<uint32_t>(offset) | static_cast<uint32_t>(slot);
  }

  // Marks a block free and merges it with free neighbours.
  void Free(uint64_t offset) {
    auto it = blocks.find(offset);
    it->second.type = kFreeBlock;
    it->second.sub = {};
    auto next = std::next(it);
    if (next != blocks.end() && next->second.type == kFreeBlock &&
        next->first == offset + it->second.units * kUnit &&
        it->second.units + next->second.units <= kMaxUnits) {
      it->second.units += next->second.units;
      blocks.erase(next);
    }
    uint8_t head[3] = {kFreeBlock, 0, 0};
    StoreLe16(head + 1, static_cast<uint16_t>(it->second.units));
    if (it != blocks.begin()) {
      auto prev = std::prev(it);
      if (prev->second.type == kFreeBlock && prev->first + prev->second.units * kUnit == offset &&
          prev->second.units + it->second.units <= kMaxUnits) {
        // The block is first marked free on its own, then the previous one
        // grows over it: the file can be walked after either write.
        file->write(offset, head, sizeof head);
        prev->second.units += it->second.units;
        StoreLe16(head + 1, static_cast<uint16_t>(prev->second.units));
        file->write(prev->first + 1, head + 1, 2);
        blocks.erase(it);
        return;
      }
    }
    file->write(offset, head, sizeof head);
  }

  void Release(const BlobDescriptor& d) {
    Lookup l = Locate(d);
    if (l.found == Found::kBroken) Corrupt(l.fault);
    // Storage that no longer holds this value (already freed, or reused for
    // another one) is left alone.
    if (l.found == Found::kStale || l.where.modification != d.modification) return;
    const Location& at = l.where;
    // The reference must name a block of the walk, not bytes inside another
    // block that happen to look like one.
    if (blocks.count(at.block) == 0) {
      Corrupt(BlockText(at.block) + ": reference does not name the start of a block");
    }
    if (at.slot < 0) {
      Free(at.block);
      return;
    }
    std::vector<uint8_t> buffer(kUnit);
    ReadExact(at.block, buffer.data(), kUnit);
    StoreSlot(buffer.data(), at.slot, SlotEntry{});
    bool any_used = false;
    for (int i = 0; i < kSlots && !any_used; ++i) any_used = LoadSlot(buffer.data(), i).used();
    // The slot is cleared before the block is freed: an interruption in
    // between leaves a type-3 block without used slots, which is still valid
    // and takes new values.
    const size_t entry = SlotOffset(at.slot);
    file->write(at.block + entry, buffer.data() + entry, kSlotSize);
    if (any_used) {
      blocks[at.block].sub = Summarize(buffer.data());
      return;
    }
    Free(at.block);
  }

  // The faults of a value held in the .MB that reading alone would not
  // notice: modification number, prefix and leader. Empty when sound.
  std::string CheckStored(const BlobDescriptor& d, const uint8_t* field, int leader, PxType type);

  // Runs a change to the file; when it fails midway the map may no longer
  // match the file, so it is rebuilt before the next change.
  template <typename F>
  auto Change(F&& f) {
    RequireWritable();
    try {
      Map();
      return f();
    } catch (...) {
      mapped = false;
      throw;
    }
  }
};

BlobFile::BlobFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BlobFile::~BlobFile() = default;

std::unique_ptr<BlobFile> BlobFile::Open(FileSystem& fs, const std::string& path, bool writable,
                                         uint32_t password_checksum) {
  auto file = UnscrambledBlobFile(fs.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead),
                                  password_checksum);
  auto impl = std::make_unique<Impl>(std::move(file), path, writable);
  impl->CheckHeader();
  return std::unique_ptr<BlobFile>(new BlobFile(std::move(impl)));
}

std::unique_ptr<BlobFile> BlobFile::Create(FileSystem& fs, const std::string& path,
                                           uint32_t password_checksum) {
  auto file = UnscrambledBlobFile(fs.open(path, OpenMode::kCreate), password_checksum);
  std::vector<uint8_t> header(kUnit);
  FillHeaderBlock(header.data(), 1);
  file->write(0, header.data(), header.size());
  auto impl = std::make_unique<Impl>(std::move(file), path, true);
  impl->counter = 1;
  impl->blocks.clear();
  impl->end = kUnit;
  impl->mapped = true;
  return std::unique_ptr<BlobFile>(new BlobFile(std::move(impl)));
}

const std::string& BlobFile::path() const { return impl_->path; }

void BlobFile::forget() {
  impl_->mapped = false;
  impl_->blocks.clear();
  impl_->CheckHeader();
}

Bytes BlobFile::read(const uint8_t* field, int leader, PxType type, const std::string& field_name) {
  CheckLeader(leader);
  CheckBlobType(type);
  const BlobDescriptor d = BlobDescriptor::Decode(field, leader);
  if (d.length == 0) return {};
  if (d.length <= static_cast<uint32_t>(leader)) return Bytes(field, field + d.length);
  const std::string context = "field \"" + field_name + "\": ";
  GuardedRead guarded(guard_);
  Impl::Lookup l = impl_->Locate(d);
  if (l.found != Impl::Found::kYes) impl_->Corrupt(context + l.fault);
  return impl_->ReadStored(l.where, type, context);
}

void BlobFile::write(uint8_t* field, int leader, PxType type, const Bytes& value) {
  CheckLeader(leader);
  CheckBlobType(type);
  // Built aside and copied at the end, so that a failure leaves the record
  // bytes as they were.
  std::vector<uint8_t> out(static_cast<size_t>(leader) + kDescriptorSize, 0);
  if (!value.empty()) {
    std::memcpy(out.data(), value.data(), std::min(value.size(), static_cast<size_t>(leader)));
    BlobDescriptor d;
    if (value.size() <= static_cast<size_t>(leader)) {
      d.length = static_cast<uint32_t>(value.size());
    } else {
      const size_t prefix_size = PrefixSize(type);
      const uint64_t stored = prefix_size + value.size();
      if (UnitsFor(stored) > kMaxUnits) {
        ThrowLimit("Blob value of " + std::to_string(value.size()) + " bytes is too large");
      }
      uint8_t prefix[kPrefixSize] = {1, 0, 0, PrefixKind(type)};
      StoreLe32(prefix + 4, static_cast<uint32_t>(value.size()));
      d.length = static_cast<uint32_t>(stored);
      impl_->Change([&] {
        d.modification = impl_->TakeModification();
        d.reference = stored <= kSmallLimit
                          ? impl_->WriteSmall(prefix, prefix_size, value, d.modification)
                          : impl_->WriteSingle(prefix, prefix_size, value, d.modification);
      });
    }
    StoreLe32(out.data() + leader, d.reference);
    StoreLe32(out.data() + leader + 4, d.length);
    StoreLe16(out.data() + leader + 8, d.modification);
  }
  std::memcpy(field, out.data(), out.size());
}

void BlobFile::release(const uint8_t* field, int leader) {
  CheckLeader(leader);
  const BlobDescriptor d = BlobDescriptor::Decode(field, leader);
  if (d.reference == 0 || d.length <= static_cast<uint32_t>(leader)) return;
  impl_->Change([&] { impl_->Release(d); });
}

std::string BlobFile::check(const uint8_t* field, int leader, PxType type) {
  if (leader < 0 || leader > kMaxLeader) {
    return "leader length " + std::to_string(leader) + " is out of range";
  }
  const BlobDescriptor d = BlobDescriptor::Decode(field, leader);
  if (d.length == 0) {
    if (d.reference != 0) return "reference " + Hex(d.reference) + " with a length of 0";
    return {};
  }
  if (d.length <= static_cast<uint32_t>(leader)) {
    if (d.reference != 0) {
      return "value of " + std::to_string(d.length) +
             " bytes fits in the leader but has reference " + Hex(d.reference);
    }
    return {};
  }
  // A file that shrinks while it is checked raises data corrupt from the
  // reads below; that is reported like any other fault.
  try {
    return impl_->CheckStored(d, field, leader, type);
  } catch (const EDBEngineError& e) {
    if (e.category() != ErrorCategory::kDataCorrupt) throw;
    return e.what();
  }
}

std::string BlobFile::Impl::CheckStored(const BlobDescriptor& d, const uint8_t* field, int leader,
                                        PxType type) {
  Lookup l = Locate(d);
  if (l.found != Found::kYes) return l.fault;
  const Location& at = l.where;
  const std::string block = BlockText(at.block) + ": ";
  if (at.modification != d.modification) {
    return block + "modification number " + std::to_string(at.modification) +
           " differs from the field's " + std::to_string(d.modification);
  }
  // The leader must repeat the start of the value (after a prefix).
  const size_t prefix_size = PrefixSize(type);
  if (at.length < prefix_size) return block + "value is too short for its prefix";
  const size_t compare =
      std::min(static_cast<size_t>(leader), static_cast<size_t>(at.length) - prefix_size);
  std::vector<uint8_t> start(prefix_size + compare);
  ReadExact(at.data, start.data(), start.size());
  if (prefix_size > 0) {
    if (std::string fault = PrefixFault(start.data(), at.length, type); !fault.empty()) {
      return block + fault;
    }
  }
  if (compare > 0 && std::memcmp(start.data() + prefix_size, field, compare) != 0) {
    return block + "leader does not match the start of the value";
  }
  return {};
}

void BlobFile::sync() { impl_->file->sync(); }

File& BlobFile::file() { return *impl_->file; }

Bytes BlobFile::ReadLeaderOnly(const uint8_t* field, int leader, PxType type,
                               const std::string& table_file, const std::string& field_name) {
  CheckLeader(leader);
  CheckBlobType(type);
  const BlobDescriptor d = BlobDescriptor::Decode(field, leader);
  if (d.length == 0) return {};
  if (d.length > static_cast<uint32_t>(leader)) {
    ThrowCorrupt(table_file,
                 "field \"" + field_name + "\": value of " + std::to_string(d.length) +
                     " bytes needs the table's .MB file, which is missing",
                 subcode::kBadBlob);
  }
  return Bytes(field, field + d.length);
}

}  // namespace vellum::engine::paradox
