// Fuzz target for the .MB reader (memo and blob values).
//
// A .MB is only reachable through the descriptors in table records, so this
// target makes its own: one for every value the bytes appear to hold (each
// single-value block, each slot of each sub-allocated block), with the length
// and modification number the file gives, plus one raw descriptor taken from
// the last bytes of the input, which may point anywhere.
//
// Read only, every descriptor is read and checked as a memo and as a graphic
// (whose values carry a prefix). A value that reads back must also pass the
// check once the leader repeats its first bytes.
//
// Writable, the descriptors are released, then new values of every size
// class are written. Each must read back unchanged right away and still at
// the end, after all the other changes: the allocator may never hand out
// space that holds a live value.
//
// A blob file begins with its header block's type, 0. Bytes that begin
// otherwise are also read as the blob file of an encrypted table, scrambled
// under the password of the corpus's encrypted tables ("123"), so that the
// scrambled reads and writes (read-modify-write of whole chunks) are fuzzed
// too; their descriptors are found in the bytes unscrambled.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::Bytes;
using vellum::engine::MemoryFileSystem;
using vellum::engine::paradox::BlobChunkKey;
using vellum::engine::paradox::BlobFile;
using vellum::engine::paradox::kScrambleChunk;
using vellum::engine::paradox::LoadLe16;
using vellum::engine::paradox::LoadLe32;
using vellum::engine::paradox::PasswordChecksum;
using vellum::engine::paradox::PxType;
using vellum::engine::paradox::StoreLe16;
using vellum::engine::paradox::StoreLe32;
using vellum::engine::paradox::UnscrambleChunk;
using vellum::fuzz::Expect;
using vellum::fuzz::Fail;
using vellum::fuzz::kDirectory;

const std::string kPath = kDirectory + "/FUZZ.MB";
constexpr size_t kUnit = 4096;
constexpr size_t kMaxDescriptors = 512;
constexpr int kLeaders[] = {1, 10, 32};
constexpr PxType kTypes[] = {PxType::kMemo, PxType::kGraphic};

struct Descriptor {
  uint32_t reference;
  uint32_t length;
  uint16_t modification;
};

// Record bytes of a blob field: `leader` bytes (from `start`, zero padded)
// then the descriptor.
std::vector<uint8_t> Field(const Descriptor& d, int leader, const Bytes& start = {}) {
  std::vector<uint8_t> f(static_cast<size_t>(leader) + 10, 0);
  std::copy_n(start.begin(), std::min(start.size(), static_cast<size_t>(leader)), f.begin());
  StoreLe32(f.data() + leader, d.reference);
  StoreLe32(f.data() + leader + 4, d.length);
  StoreLe16(f.data() + leader + 8, d.modification);
  return f;
}

std::vector<Descriptor> FindDescriptors(const uint8_t* data, size_t size) {
  std::vector<Descriptor> out;
  size_t offset = kUnit;
  while (offset + kUnit <= size && out.size() < kMaxDescriptors) {
    const uint8_t* block = data + offset;
    const uint8_t type = block[0];
    size_t units = LoadLe16(block + 1);
    if (type == 2) {
      out.push_back(Descriptor{static_cast<uint32_t>(offset) | 0xFF, LoadLe32(block + 3),
                               LoadLe16(block + 7)});
    } else if (type == 3) {
      for (int slot = 0; slot < 64; ++slot) {
        const uint8_t* e = block + 12 + 5 * slot;
        if (e[0] == 0 && e[1] == 0) continue;
        const uint32_t length = (e[1] - 1u) * 16 + e[4];
        out.push_back(Descriptor{static_cast<uint32_t>(offset) | static_cast<uint32_t>(slot),
                                 length, LoadLe16(e + 2)});
      }
    }
    if (type != 2 && type != 3 && type != 4) units = 1;
    offset += std::max<size_t>(units, 1) * kUnit;
  }
  if (size >= 10) {
    const uint8_t* tail = data + size - 10;
    out.push_back(Descriptor{LoadLe32(tail), LoadLe32(tail + 4), LoadLe16(tail + 8)});
  }
  return out;
}

void ReadAll(const uint8_t* data, size_t size, const std::vector<Descriptor>& descriptors,
             uint32_t checksum) {
  MemoryFileSystem fs;
  fs.addFile(kPath, data, size);
  std::unique_ptr<BlobFile> blobs;
  if (!Expect([&] { blobs = BlobFile::Open(fs, kPath, false, checksum); })) return;
  for (const Descriptor& d : descriptors) {
    for (PxType type : kTypes) {
      for (int leader : kLeaders) {
        std::vector<uint8_t> field = Field(d, leader);
        Bytes value;
        bool read = Expect([&] { value = blobs->read(field.data(), leader, type, "F"); });
        Expect([&] { blobs->check(field.data(), leader, type); });
        if (!read || d.length <= static_cast<uint32_t>(leader)) continue;
        field = Field(d, leader, value);
        std::string fault;
        if (!Expect([&] { fault = blobs->check(field.data(), leader, type); })) {
          fault = "the check raised an error";
        }
        if (!fault.empty()) Fail("a value that reads back fails its check: " + fault);
      }
    }
  }
  // Writing through a read-only handle must be refused, not done.
  std::vector<uint8_t> field(20, 0);
  if (Expect([&] { blobs->write(field.data(), 10, PxType::kMemo, Bytes(100, 'x')); })) {
    Fail("a read-only blob file accepted a write");
  }
}

// A value of `n` bytes that differs from every other one written here.
Bytes MakeValue(size_t n, int seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>('A' + (i * 7 + seed * 13) % 26);
  return v;
}

void WriteAll(const uint8_t* data, size_t size, const std::vector<Descriptor>& descriptors,
              uint32_t checksum) {
  MemoryFileSystem fs(uint64_t{16} << 20);
  fs.addFile(kPath, data, size);
  std::unique_ptr<BlobFile> blobs;
  if (!Expect([&] { blobs = BlobFile::Open(fs, kPath, true, checksum); })) return;
  for (const Descriptor& d : descriptors) {
    std::vector<uint8_t> field = Field(d, 10);
    Expect([&] { blobs->release(field.data(), 10); });
  }
  struct Written {
    std::vector<uint8_t> field;
    int leader;
    PxType type;
    Bytes value;
    bool live = true;
  };
  std::vector<Written> written;
  const size_t sizes[] = {5, 40, 700, 2040, 2048, 3000, 9000};
  int seed = 0;
  for (size_t n : sizes) {
    for (PxType type : kTypes) {
      Written w{std::vector<uint8_t>(20, 0), 10, type, MakeValue(n, ++seed)};
      if (!Expect([&] { blobs->write(w.field.data(), w.leader, w.type, w.value); })) continue;
      Bytes back;
      if (!Expect([&] { back = blobs->read(w.field.data(), w.leader, w.type, "F"); })) {
        Fail("a value just written cannot be read back");
      }
      if (back != w.value) Fail("a value just written reads back different");
      std::string fault;
      if (!Expect([&] { fault = blobs->check(w.field.data(), w.leader, w.type); })) {
        fault = "the check raised an error";
      }
      if (!fault.empty()) Fail("a value just written fails its check: " + fault);
      written.push_back(std::move(w));
    }
  }
  // Free every other value, then write again into the space that frees.
  for (size_t i = 0; i < written.size(); i += 2) {
    Expect([&] { blobs->release(written[i].field.data(), written[i].leader); });
    written[i].live = false;
  }
  for (size_t n : sizes) {
    Written w{std::vector<uint8_t>(20, 0), 10, PxType::kMemo, MakeValue(n, ++seed)};
    if (Expect([&] { blobs->write(w.field.data(), w.leader, w.type, w.value); })) {
      written.push_back(std::move(w));
    }
  }
  for (const Written& w : written) {
    if (!w.live) continue;
    Bytes back;
    if (!Expect([&] { back = blobs->read(w.field.data(), w.leader, w.type, "F"); }) ||
        back != w.value) {
      Fail("a value written earlier was overwritten by a later change");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Descriptor> descriptors = FindDescriptors(data, size);
  ReadAll(data, size, descriptors, 0);
  WriteAll(data, size, descriptors, 0);
  if (size == 0 || data[0] == 0) return 0;
  const uint32_t checksum = PasswordChecksum("123");
  std::vector<uint8_t> clear(data, data + size);
  for (size_t at = 0; at + kScrambleChunk <= clear.size(); at += kScrambleChunk) {
    UnscrambleChunk(clear.data() + at, BlobChunkKey(checksum));
  }
  const std::vector<Descriptor> scrambled = FindDescriptors(clear.data(), clear.size());
  ReadAll(data, size, scrambled, checksum);
  WriteAll(data, size, scrambled, checksum);
  return 0;
}
