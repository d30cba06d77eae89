// Encrypted (password-protected) tables: the password checksum their headers
// hold and the scrambling of what their files keep.
//
// A table is encrypted when its data file's header holds a password checksum
// (TableHeader::passwordChecksum). Every header stays readable, so a table's
// structure needs no password. What is scrambled, as real tables show:
//  - the blocks of the data file (.DB);
//  - the blob file (.MB), whole, its header block included;
//  - the blocks of an index file (.PX, .Xnn/.XGn, .Ynn/.YGn) whose own header
//    holds the checksum: other programs leave the index files of an encrypted
//    table clear at times and read both kinds; this engine writes them
//    scrambled, as they hold the key values;
// and nothing of the validity file (.VAL).
//
// Scrambling works on chunks of 256 bytes. Each chunk's bytes are permuted
// and mixed with three fixed tables under four key bytes: the two low bytes
// of the checksum, and two bytes that say where the chunk is (in a block
// file its position in its block and the block's number, counted from the
// end of the header; in a blob file two bytes that follow from the
// checksum). Only the low 16 bits of the checksum key the scrambling; the
// whole checksum identifies the password, so that a password is checked
// before anything is read. The engine reads an encrypted table's rows only
// for the password whose checksum its header holds (Table::Open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/forwarding_file_system.h"
#include "engine/paradox/header.h"

namespace vellum::engine::paradox {

// Bytes of one scrambled chunk.
inline constexpr size_t kScrambleChunk = 256;

// The checksum a header holds for `password`, given as the bytes the table's
// code page gives it; 0 (no password) for an empty one. Never 0 otherwise.
uint32_t PasswordChecksum(std::string_view password);

// The key of one chunk: the checksum's two low bytes and the two bytes of the
// chunk's place.
struct ChunkKey {
  uint8_t a = 0;
  uint8_t b = 0;
  uint8_t c = 0;
  uint8_t d = 0;
};
// The key of chunk `chunk` (0-based, counted within its block) of block
// `block` (1-based) of a block file encrypted under `checksum`.
ChunkKey BlockChunkKey(uint32_t checksum, uint32_t block, uint32_t chunk);
// The key of every chunk of a blob file encrypted under `checksum`.
ChunkKey BlobChunkKey(uint32_t checksum);

// Scrambles and unscrambles one chunk of kScrambleChunk bytes in place.
void ScrambleChunk(uint8_t* chunk, const ChunkKey& key);
void UnscrambleChunk(uint8_t* chunk, const ChunkKey& key);

// A file seen through its scrambling: reads give the clear bytes and writes
// store them scrambled, at any offset and of any length (a chunk written in
// part is read, changed and written back whole, so a write past the end of
// the file extends it to the end of its last chunk). The first `clear_bytes`
// bytes (a block file's header) pass as they are. A chunk cut short by the
// end of the file cannot be unscrambled: reads stop before it. One thread
// at a time, like the file it wraps.
class ScrambledFile final : public ForwardingFile {
 public:
  // A block file: chunks are keyed by their place in blocks of `block_size`
  // bytes that follow `clear_bytes` bytes of header.
  ScrambledFile(std::unique_ptr<File> base, uint32_t checksum, uint64_t clear_bytes,
                uint32_t block_size);
  // A blob file: every chunk from the start has the same key.
  ScrambledFile(std::unique_ptr<File> base, uint32_t checksum);

  size_t read(uint64_t offset, void* buffer, size_t n) override;
  void write(uint64_t offset, const void* data, size_t n) override;

 private:
  // The key of the chunk at `at` bytes past the clear part.
  ChunkKey keyAt(uint64_t at) const;
  // Puts the clear bytes of the chunk at `at` into `out`; zeros where the
  // file holds no whole chunk there.
  void readChunk(uint64_t at, uint8_t* out);

  uint32_t checksum_;
  uint64_t clear_bytes_;
  uint32_t block_size_;  // 0: a blob file
  std::vector<uint8_t> scratch_;
};

// A file of an encrypted table opened without its password: the first
// `clear_bytes` bytes (its header) read as they are; any other read and any
// write raise `error`'s message as an invalid-request error (subcode
// kEncrypted), so that nothing past the header is ever read.
class SealedFile final : public ForwardingFile {
 public:
  SealedFile(std::unique_ptr<File> base, uint64_t clear_bytes, std::string error);
  size_t read(uint64_t offset, void* buffer, size_t n) override;
  void write(uint64_t offset, const void* data, size_t n) override;
  void truncate(uint64_t size) override;

 private:
  [[noreturn]] void refuse() const;
  uint64_t clear_bytes_;
  std::string error_;
};

// `file`, a table-format file (.DB, .PX, .Xnn/.XGn, .Ynn/.YGn) whose header
// is `header`, seen through its scrambling when the header holds a password
// checksum; otherwise `file` itself.
std::unique_ptr<File> UnscrambledBlocks(std::unique_ptr<File> file, const TableHeader& header);
// `file`, the blob file of a table encrypted under `checksum`, seen through
// its scrambling; `file` itself when `checksum` is 0.
std::unique_ptr<File> UnscrambledBlobFile(std::unique_ptr<File> file, uint32_t checksum);

// Opens every file through a whole-file scrambling under one checksum: for
// the scratch files (sort runs) that hold an encrypted table's values while
// a restructure works, so that they never lie on disk in the clear.
// Ownership: the base must outlive it.
class ScramblingFileSystem final : public ForwardingFileSystem {
 public:
  ScramblingFileSystem(FileSystem& base, uint32_t checksum)
      : ForwardingFileSystem(base), checksum_(checksum) {}
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  void syncFiles(const std::vector<File*>& files) override { SyncEachFile(files); }

 private:
  uint32_t checksum_;
};

}  // namespace vellum::engine::paradox
