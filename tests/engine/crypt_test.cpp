// The password checksum and the scrambling of encrypted tables, against
// pxlib's own functions (exported by Debian's libpx, though its header does
// not declare them) and the bytes of the corpus's encrypted tables.
extern "C" {
long px_passwd_checksum(const char* password);
void px_encrypt_db_block(unsigned char* src, unsigned char* dest, unsigned long encryption,
                         unsigned long blocksize, unsigned long blockno);
void px_encrypt_mb_block(unsigned char* src, unsigned char* dest, unsigned long encryption,
                         unsigned long blocksize);
}

#include "engine/paradox/crypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/codec.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::CorpusDir;
using test::ReadFile;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::string EncryptDir() { return CorpusDir() + "/leonhad_paradoxdriver/encrypt"; }

TEST(PasswordChecksumTest, AgreesWithPxlibAndWithTheCorpusHeaders) {
  const std::string longest(255, 'x');
  for (const char* password : {"a", "123", "secret", "Paradox7", "with spaces and 32 characters..",
                               "\xe0\xe8\xec\xf2\xf9", longest.c_str()}) {
    SCOPED_TRACE(password);
    EXPECT_EQ(PasswordChecksum(password),
              static_cast<uint32_t>(px_passwd_checksum(password) & 0xFFFFFFFFul));
  }
  EXPECT_EQ(PasswordChecksum(""), 0u);
  // The corpus's tables were encrypted under "123": a level-5 header keeps
  // the checksum at 0x5C, a level-3.5 header at 0x25.
  const std::string level5 = ReadFile(EncryptDir() + "/encrypted.db");
  const std::string level35 = ReadFile(EncryptDir() + "/encrypted35.db");
  ASSERT_GE(level5.size(), 0x60u);
  ASSERT_GE(level35.size(), 0x30u);
  EXPECT_EQ(PasswordChecksum("123"),
            LoadLe32(reinterpret_cast<const uint8_t*>(level5.data()) + 0x5C));
  EXPECT_EQ(PasswordChecksum("123"),
            LoadLe32(reinterpret_cast<const uint8_t*>(level35.data()) + 0x25));
  EXPECT_NE(PasswordChecksum("124"), PasswordChecksum("123"));
}

TEST(ScrambleTest, BlocksAndBlobChunksMatchPxlib) {
  const uint32_t checksum = PasswordChecksum("secret");
  for (uint32_t block_kb : {1u, 2u, 4u, 32u}) {
    for (uint32_t block : {1u, 2u, 255u, 256u, 300u}) {
      SCOPED_TRACE(std::to_string(block_kb) + " KB, block " + std::to_string(block));
      const uint32_t size = block_kb * 1024;
      std::vector<uint8_t> clear = RandomBytes(size, block * 7 + block_kb);
      std::vector<uint8_t> theirs(size);
      px_encrypt_db_block(clear.data(), theirs.data(), checksum, size, block);
      std::vector<uint8_t> ours = clear;
      for (uint32_t c = 0; c < size / kScrambleChunk; ++c) {
        ScrambleChunk(ours.data() + c * kScrambleChunk, BlockChunkKey(checksum, block, c));
      }
      EXPECT_EQ(ours, theirs);
      for (uint32_t c = 0; c < size / kScrambleChunk; ++c) {
        UnscrambleChunk(ours.data() + c * kScrambleChunk, BlockChunkKey(checksum, block, c));
      }
      EXPECT_EQ(ours, clear);
    }
  }
  std::vector<uint8_t> clear = RandomBytes(4096, 99);
  std::vector<uint8_t> theirs(clear.size());
  px_encrypt_mb_block(clear.data(), theirs.data(), checksum, clear.size());
  std::vector<uint8_t> ours = clear;
  for (size_t c = 0; c < ours.size(); c += kScrambleChunk) {
    ScrambleChunk(ours.data() + c, BlobChunkKey(checksum));
  }
  EXPECT_EQ(ours, theirs);
}

// The blob file of an encrypted table is scrambled from its first byte: its
// header block reads as every blob file's header block once unscrambled.
TEST(ScrambleTest, TheCorpusBlobFileIsScrambledWholeHeaderBlockIncluded) {
  const std::string raw = ReadFile(EncryptDir() + "/encryptedmemo.mb");
  ASSERT_GE(raw.size(), 4096u);
  std::vector<uint8_t> head(raw.begin(), raw.begin() + 4096);
  EXPECT_NE(head[5], 0x82);  // scrambled as it lies on disk
  for (size_t c = 0; c < head.size(); c += kScrambleChunk) {
    UnscrambleChunk(head.data() + c, BlobChunkKey(PasswordChecksum("123")));
  }
  EXPECT_EQ(head[0], 0);                    // the header block's type
  EXPECT_EQ(LoadLe16(head.data() + 1), 1);  // one 4 KB unit
  const uint8_t constant[] = {0x82, 0x73, 0x02, 0x00, 0x29};
  EXPECT_EQ(std::memcmp(head.data() + 5, constant, sizeof constant), 0);
  EXPECT_EQ(LoadLe16(head.data() + 0x0B), 0x1000);
  EXPECT_EQ(LoadLe16(head.data() + 0x29), 0x02A1);
}

// Reads and writes of any offset and length through a scrambled block file
// give back what was written, and the bytes on disk are pxlib's scrambling
// of the clear blocks.
TEST(ScrambledFileTest, UnalignedReadsAndWritesKeepEveryBlockAsPxlibScramblesIt) {
  constexpr uint64_t kHeader = 2048;
  constexpr uint32_t kBlock = 2048;
  constexpr size_t kBlocks = 6;
  const uint32_t checksum = PasswordChecksum("letters");
  MemoryFileSystem fs;
  std::vector<uint8_t> shadow(kHeader + kBlocks * kBlock, 0);
  {
    ScrambledFile file(fs.open("T.DB", OpenMode::kCreate), checksum, kHeader, kBlock);
    // Bytes never written read as the scrambling of what the disk holds, so
    // the blocks are written whole first, as every writer of blocks does.
    file.write(0, shadow.data(), shadow.size());
    std::mt19937 rng(5);
    for (int i = 0; i < 300; ++i) {
      const size_t at = rng() % shadow.size();
      const size_t n = std::min<size_t>(1 + rng() % 700, shadow.size() - at);
      const std::vector<uint8_t> data = RandomBytes(n, static_cast<unsigned>(i));
      file.write(at, data.data(), n);
      std::memcpy(shadow.data() + at, data.data(), n);
      const size_t from = rng() % shadow.size();
      const size_t m = std::min<size_t>(1 + rng() % 900, shadow.size() - from);
      std::vector<uint8_t> back(m);
      ASSERT_EQ(file.read(from, back.data(), m), m);
      ASSERT_EQ(std::memcmp(back.data(), shadow.data() + from, m), 0) << "read " << i;
    }
  }
  const auto* raw = fs.contents("T.DB");
  ASSERT_NE(raw, nullptr);
  ASSERT_EQ(raw->size(), shadow.size());
  EXPECT_EQ(std::memcmp(raw->data(), shadow.data(), kHeader), 0);  // the header is clear
  for (size_t b = 0; b < kBlocks; ++b) {
    std::vector<uint8_t> expected(kBlock);
    px_encrypt_db_block(shadow.data() + kHeader + b * kBlock, expected.data(), checksum, kBlock,
                        b + 1);
    EXPECT_EQ(std::memcmp(raw->data() + kHeader + b * kBlock, expected.data(), kBlock), 0)
        << "block " << b + 1;
  }
}

TEST(ScrambledFileTest, AChunkCutShortByTheEndOfTheFileIsNotRead) {
  MemoryFileSystem fs;
  const std::vector<uint8_t> data = RandomBytes(1000, 3);
  {
    ScrambledFile file(fs.open("T.MB", OpenMode::kCreate), PasswordChecksum("x"));
    file.write(0, data.data(), data.size());
    EXPECT_EQ(file.size(), 1024u);  // whole chunks
    file.truncate(700);
    std::vector<uint8_t> back(1000);
    EXPECT_EQ(file.read(0, back.data(), back.size()), 512u);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 512), 0);
    EXPECT_EQ(file.read(600, back.data(), 10), 0u);
  }
}

}  // namespace
}  // namespace vellum::engine::paradox
