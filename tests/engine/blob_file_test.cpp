// Tests of the .MB file: round trips, allocation and reuse, damaged files and
// the real files of the corpus. The .MB bytes are inspected directly, with
// small decoders written here from the file layout, so that the tests do not
// lean on the code they test.
#include "engine/paradox/blob_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/file_system.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using test::CorpusDir;
using test::TempDir;

constexpr uint32_t kBlockUnit = 4096;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

FileSystem& Fs() { return FileSystem::Default(); }

Bytes ReadRaw(const std::string& path) {
  auto f = Fs().open(path, OpenMode::kRead);
  return ReadWholeFile(*f);
}

void Patch(const std::string& path, uint64_t offset, const Bytes& bytes) {
  auto f = Fs().open(path, OpenMode::kReadWrite);
  f->write(offset, bytes.data(), bytes.size());
}

void Truncate(const std::string& path, uint64_t size) {
  auto f = Fs().open(path, OpenMode::kReadWrite);
  f->truncate(size);
}

uint64_t FileSize(const std::string& path) { return Fs().open(path, OpenMode::kRead)->size(); }

// A deterministic value of `n` bytes; memo values are printable text.
Bytes MakeValue(size_t n, uint32_t seed, bool text) {
  Bytes v(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = text ? static_cast<uint8_t>('a' + (x >> 16) % 26) : static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// The record bytes of one blob field: the leader and the descriptor.
struct Field {
  explicit Field(int leader) : leader(leader), bytes(static_cast<size_t>(leader) + 10, 0) {}
  int leader;
  Bytes bytes;
  uint8_t* data() { return bytes.data(); }
  uint32_t reference() const { return Le32(bytes.data() + leader); }
  uint32_t length() const { return Le32(bytes.data() + leader + 4); }
  uint16_t modification() const { return Le16(bytes.data() + leader + 8); }
  uint64_t block() const { return reference() & ~0xFFu; }
  int index() const { return static_cast<int>(reference() & 0xFF); }
  void setReference(uint32_t r) { PutLe32(bytes.data() + leader, r); }
  void setLength(uint32_t n) { PutLe32(bytes.data() + leader + 4, n); }
};

size_t PrefixOf(PxType type) { return type == PxType::kGraphic || type == PxType::kOle ? 8 : 0; }

// Runs `f` and expects a data-corrupt engine error about a damaged blob whose
// message holds every one of `parts`.
void ExpectCorrupt(const std::function<void()>& f, const std::vector<std::string>& parts = {}) {
  try {
    f();
    ADD_FAILURE() << "no error raised";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kDataCorrupt) << e.what();
    EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kDataCorrupt, subcode::kBadBlob)) << e.what();
    for (const auto& part : parts) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos)
          << "\"" << part << "\" missing in: " << e.what();
    }
  }
}

// ---------------------------------------------------------------------------
// Header block

TEST(BlobFileTest, NewFileHoldsOnlyTheHeaderBlock) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  BlobFile::Create(Fs(), path);
  Bytes raw = ReadRaw(path);
  ASSERT_EQ(raw.size(), 4096u);
  const Bytes expected_start = {0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                                0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08};
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 0x15), expected_start);
  EXPECT_EQ(raw[0x29], 0xA1);
  EXPECT_EQ(raw[0x2A], 0x02);
  for (size_t i = 0x15; i < raw.size(); ++i) {
    if (i == 0x29 || i == 0x2A) continue;
    ASSERT_EQ(raw[i], 0) << "byte " << i;
  }
  // The same bytes as a header written by the real engine (up to its
  // undocumented bytes at 0x38).
  Bytes engine = ReadRaw(CorpusDir() + "/leonhad_paradoxdriver/fields/memo.mb");
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 0x38), Bytes(engine.begin(), engine.begin() + 0x38));
}

TEST(BlobFileTest, CreateReplacesAnExistingFile) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  {
    auto mb = BlobFile::Create(Fs(), path);
    Field f(10);
    mb->write(f.data(), 10, PxType::kMemo, MakeValue(50000, 1, true));
  }
  BlobFile::Create(Fs(), path);
  EXPECT_EQ(FileSize(path), 4096u);
}

// ---------------------------------------------------------------------------
// Round trips

struct RoundTripCase {
  PxType type;
  int leader;
};

// "Memo10": the type and the leader's length.
std::string CaseName(const RoundTripCase& c) {
  const char* type = c.type == PxType::kMemo      ? "Memo"
                     : c.type == PxType::kBinary  ? "Binary"
                     : c.type == PxType::kGraphic ? "Graphic"
                     : c.type == PxType::kOle     ? "Ole"
                     : c.type == PxType::kFmtMemo ? "FmtMemo"
                                                  : "Other";
  return type + std::to_string(c.leader);
}

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << CaseName(c); }

class BlobRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(BlobRoundTripTest, ValuesOfEveryLengthClassSurviveWriteAndReopen) {
  const PxType type = GetParam().type;
  const int leader = GetParam().leader;
  const size_t prefix = PrefixOf(type);
  TempDir dir;
  const std::string path = dir.file("T.MB");
  const std::vector<size_t> lengths = {0,
                                       1,
                                       static_cast<size_t>(leader),
                                       static_cast<size_t>(leader) + 1,
                                       2040,
                                       2041,
                                       2048,
                                       2049,
                                       4096 - 9,
                                       4088,
                                       4096,
                                       100000};
  std::vector<Field> fields;
  std::vector<Bytes> values;
  uint16_t last_mod = 0;
  {
    auto mb = BlobFile::Create(Fs(), path);
    for (size_t i = 0; i < lengths.size(); ++i) {
      const size_t n = lengths[i];
      SCOPED_TRACE("length " + std::to_string(n));
      Bytes value = MakeValue(n, static_cast<uint32_t>(i + 1), type == PxType::kMemo);
      Field f(leader);
      std::fill(f.bytes.begin(), f.bytes.end(), 0xEE);  // stale record bytes
      mb->write(f.data(), leader, type, value);

      // The leader repeats the value's first bytes, zero padded.
      const size_t in_leader = std::min(n, static_cast<size_t>(leader));
      EXPECT_TRUE(std::equal(value.begin(), value.begin() + in_leader, f.bytes.begin()));
      EXPECT_TRUE(std::all_of(f.bytes.begin() + in_leader, f.bytes.begin() + leader,
                              [](uint8_t b) { return b == 0; }));
      if (n == 0) {
        EXPECT_TRUE(std::all_of(f.bytes.begin(), f.bytes.end(), [](uint8_t b) { return b == 0; }));
      } else if (n <= static_cast<size_t>(leader)) {
        EXPECT_EQ(f.reference(), 0u);
        EXPECT_EQ(f.length(), n);
        EXPECT_EQ(f.modification(), 0);
      } else {
        const size_t stored = n + prefix;
        EXPECT_EQ(f.length(), stored);
        EXPECT_GT(f.modification(), last_mod);
        last_mod = f.modification();
        Bytes raw = ReadRaw(path);
        ASSERT_EQ(f.block() % kBlockUnit, 0u);
        ASSERT_GE(f.block(), kBlockUnit);
        ASSERT_LE(f.block() + kBlockUnit, raw.size());
        const uint8_t* block = raw.data() + f.block();
        const uint8_t* data = nullptr;
        if (stored <= 2048) {
          EXPECT_LT(f.index(), 64);
          EXPECT_EQ(block[0], 3);
          EXPECT_EQ(Le16(block + 1), 1);
          const uint8_t* slot = block + 12 + 5 * f.index();
          EXPECT_GE(slot[0], 0x15);
          EXPECT_EQ(slot[1], (stored + 15) / 16);
          EXPECT_EQ(Le16(slot + 2), f.modification());
          EXPECT_EQ((slot[1] - 1) * 16 + slot[4], stored);
          data = block + slot[0] * 16;
        } else {
          EXPECT_EQ(f.index(), 0xFF);
          EXPECT_EQ(block[0], 2);
          EXPECT_EQ(Le16(block + 1), (9 + stored + 4095) / 4096);
          EXPECT_EQ(Le32(block + 3), stored);
          EXPECT_EQ(Le16(block + 7), f.modification());
          data = block + 9;
        }
        if (type == PxType::kGraphic) {
          EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 0, 0, 1}));
          EXPECT_EQ(Le32(data + 4), n);
        }
        EXPECT_TRUE(std::equal(value.begin(), value.end(), data + prefix));
      }
      EXPECT_EQ(mb->read(f.data(), leader, type, "F"), value);
      EXPECT_EQ(mb->check(f.data(), leader, type), "");
      fields.push_back(f);
      values.push_back(value);
    }
    // The file is whole blocks.
    EXPECT_EQ(FileSize(path) % kBlockUnit, 0u);
    mb->sync();
  }
  auto mb = BlobFile::Open(Fs(), path, false);
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(mb->read(fields[i].data(), leader, type, "F"), values[i]) << lengths[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    BlobTypes, BlobRoundTripTest,
    ::testing::Values(RoundTripCase{PxType::kMemo, 10}, RoundTripCase{PxType::kMemo, 240},
                      RoundTripCase{PxType::kBinary, 0}, RoundTripCase{PxType::kBinary, 100},
                      RoundTripCase{PxType::kGraphic, 0}, RoundTripCase{PxType::kGraphic, 240},
                      RoundTripCase{PxType::kOle, 20}, RoundTripCase{PxType::kFmtMemo, 1}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return CaseName(info.param); });

TEST(BlobFileTest, OleValuesCarryTheirKindPrefix) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field f(0);
  Bytes value = MakeValue(300, 9, false);
  mb->write(f.data(), 0, PxType::kOle, value);
  Bytes raw = ReadRaw(path);
  const uint8_t* slot = raw.data() + f.block() + 12 + 5 * f.index();
  const uint8_t* data = raw.data() + f.block() + slot[0] * 16;
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{1, 0, 0, 2}));
  EXPECT_EQ(Le32(data + 4), 300u);
  EXPECT_EQ(f.length(), 308u);
}

TEST(BlobFileTest, EveryWriteAdvancesTheModificationCounter) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  const uint16_t start = Le16(ReadRaw(path).data() + 3);
  std::vector<uint16_t> mods;
  for (size_t n : {100, 5000, 3, 700}) {
    Field f(10);
    const uint16_t before = Le16(ReadRaw(path).data() + 3);
    mb->write(f.data(), 10, PxType::kMemo, MakeValue(n, 3, true));
    const uint16_t after = Le16(ReadRaw(path).data() + 3);
    if (n <= 10) {
      EXPECT_EQ(after, before);  // a value in the leader does not touch the .MB
      continue;
    }
    EXPECT_EQ(after, before + 1);
    EXPECT_EQ(f.modification(), before);
    mods.push_back(f.modification());
  }
  EXPECT_EQ(mods, (std::vector<uint16_t>{start, static_cast<uint16_t>(start + 1),
                                         static_cast<uint16_t>(start + 2)}));
}

TEST(BlobFileTest, ReadOnlyFileRefusesWrites) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  BlobFile::Create(Fs(), path);
  auto mb = BlobFile::Open(Fs(), path, false);
  Field f(10);
  try {
    mb->write(f.data(), 10, PxType::kMemo, MakeValue(500, 1, true));
    ADD_FAILURE() << "write succeeded";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kInvalidRequest);
  }
  EXPECT_EQ(FileSize(path), 4096u);
}

TEST(BlobFileTest, ReadLeaderOnlyNeedsNoBlobFile) {
  TempDir dir;
  auto mb = BlobFile::Create(Fs(), dir.file("T.MB"));
  Field small(20), large(20);
  mb->write(small.data(), 20, PxType::kMemo, MakeValue(15, 1, true));
  mb->write(large.data(), 20, PxType::kMemo, MakeValue(25, 2, true));
  EXPECT_EQ(BlobFile::ReadLeaderOnly(small.data(), 20, PxType::kMemo, "T.DB", "Notes"),
            MakeValue(15, 1, true));
  ExpectCorrupt([&] { BlobFile::ReadLeaderOnly(large.data(), 20, PxType::kMemo, "T.DB", "Notes"); },
                {"T.DB", "Notes"});
}

// ---------------------------------------------------------------------------
// Release and reuse

TEST(BlobFileTest, ReleasedSingleBlockIsReusedWithoutGrowingTheFile) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(10), b(10), c(10);
  mb->write(a.data(), 10, PxType::kBinary, MakeValue(10000, 1, false));  // 3 units
  mb->write(b.data(), 10, PxType::kBinary, MakeValue(100, 2, false));
  const uint64_t size = FileSize(path);
  mb->release(a.data(), 10);
  Bytes raw = ReadRaw(path);
  EXPECT_EQ(raw[a.block()], 4);
  EXPECT_EQ(Le16(raw.data() + a.block() + 1), 3);  // keeps its units
  EXPECT_NE(mb->check(a.data(), 10, PxType::kBinary), "");
  mb->write(c.data(), 10, PxType::kBinary, MakeValue(9000, 3, false));
  EXPECT_EQ(c.block(), a.block());
  EXPECT_EQ(FileSize(path), size);
  EXPECT_EQ(mb->read(c.data(), 10, PxType::kBinary, "F"), MakeValue(9000, 3, false));
  EXPECT_EQ(mb->read(b.data(), 10, PxType::kBinary, "F"), MakeValue(100, 2, false));
}

TEST(BlobFileTest, LargerFreeBlockIsSplit) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(10), b(10), c(10), d(10);
  mb->write(a.data(), 10, PxType::kMemo, MakeValue(40000, 1, true));  // 10 units
  mb->write(b.data(), 10, PxType::kMemo, MakeValue(100, 2, true));
  const uint64_t size = FileSize(path);
  mb->release(a.data(), 10);
  mb->write(c.data(), 10, PxType::kMemo, MakeValue(3000, 3, true));  // 1 unit
  EXPECT_EQ(c.block(), a.block());
  mb->write(d.data(), 10, PxType::kMemo, MakeValue(20000, 4, true));  // 5 units
  EXPECT_EQ(d.block(), a.block() + 4096);
  Bytes raw = ReadRaw(path);
  EXPECT_EQ(raw[c.block()], 2);
  EXPECT_EQ(Le16(raw.data() + c.block() + 1), 1);
  EXPECT_EQ(raw[d.block()], 2);
  EXPECT_EQ(Le16(raw.data() + d.block() + 1), 5);
  EXPECT_EQ(raw[a.block() + 6 * 4096], 4);  // what is left stays free
  EXPECT_EQ(Le16(raw.data() + a.block() + 6 * 4096 + 1), 4);
  EXPECT_EQ(FileSize(path), size);
  EXPECT_EQ(mb->read(c.data(), 10, PxType::kMemo, "F"), MakeValue(3000, 3, true));
  EXPECT_EQ(mb->read(d.data(), 10, PxType::kMemo, "F"), MakeValue(20000, 4, true));
  EXPECT_EQ(mb->read(b.data(), 10, PxType::kMemo, "F"), MakeValue(100, 2, true));
}

class BlobMergeTest : public ::testing::TestWithParam<bool> {};

TEST_P(BlobMergeTest, AdjacentFreeBlocksAreMerged) {
  const bool first_then_second = GetParam();
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(10), b(10), c(10), d(10);
  mb->write(a.data(), 10, PxType::kBinary, MakeValue(10000, 1, false));  // 3 units
  mb->write(b.data(), 10, PxType::kBinary, MakeValue(10000, 2, false));  // 3 units
  mb->write(c.data(), 10, PxType::kBinary, MakeValue(100, 3, false));
  ASSERT_EQ(b.block(), a.block() + 3 * 4096);
  const uint64_t size = FileSize(path);
  if (first_then_second) {
    mb->release(a.data(), 10);
    mb->release(b.data(), 10);
  } else {
    mb->release(b.data(), 10);
    mb->release(a.data(), 10);
  }
  Bytes raw = ReadRaw(path);
  EXPECT_EQ(raw[a.block()], 4);
  EXPECT_EQ(Le16(raw.data() + a.block() + 1), 6);
  mb->write(d.data(), 10, PxType::kBinary, MakeValue(20000, 4, false));  // 5 units
  EXPECT_EQ(d.block(), a.block());
  EXPECT_EQ(FileSize(path), size);
  EXPECT_EQ(mb->read(d.data(), 10, PxType::kBinary, "F"), MakeValue(20000, 4, false));
  EXPECT_EQ(mb->read(c.data(), 10, PxType::kBinary, "F"), MakeValue(100, 3, false));
}

INSTANTIATE_TEST_SUITE_P(BlobOrders, BlobMergeTest, ::testing::Bool());

TEST(BlobFileTest, ReleasedSlotIsClearedAndReused) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field s1(10), s2(10), s3(10), s4(10);
  mb->write(s1.data(), 10, PxType::kMemo, MakeValue(300, 1, true));
  mb->write(s2.data(), 10, PxType::kMemo, MakeValue(400, 2, true));
  ASSERT_EQ(s1.block(), s2.block());
  EXPECT_EQ(s1.index(), 63);
  EXPECT_EQ(s2.index(), 62);
  const uint64_t size = FileSize(path);

  mb->release(s1.data(), 10);
  Bytes raw = ReadRaw(path);
  EXPECT_EQ(Bytes(raw.begin() + s1.block() + 12 + 5 * 63, raw.begin() + s1.block() + 12 + 5 * 64),
            Bytes(5, 0));
  EXPECT_EQ(raw[s1.block()], 3);  // still holds s2
  EXPECT_NE(mb->check(s1.data(), 10, PxType::kMemo), "");
  EXPECT_EQ(mb->read(s2.data(), 10, PxType::kMemo, "F"), MakeValue(400, 2, true));

  mb->write(s3.data(), 10, PxType::kMemo, MakeValue(300, 3, true));
  EXPECT_EQ(s3.block(), s1.block());
  EXPECT_EQ(s3.index(), 63);
  EXPECT_EQ(FileSize(path), size);

  // Releasing the last used slot frees the block; the next value takes it.
  mb->release(s2.data(), 10);
  mb->release(s3.data(), 10);
  raw = ReadRaw(path);
  EXPECT_EQ(raw[s1.block()], 4);
  EXPECT_EQ(Le16(raw.data() + s1.block() + 1), 1);
  mb->write(s4.data(), 10, PxType::kMemo, MakeValue(2000, 4, true));
  EXPECT_EQ(s4.block(), s1.block());
  EXPECT_EQ(ReadRaw(path)[s4.block()], 3);
  EXPECT_EQ(FileSize(path), size);
  EXPECT_EQ(mb->read(s4.data(), 10, PxType::kMemo, "F"), MakeValue(2000, 4, true));
}

TEST(BlobFileTest, ReleasingTwiceOrAStaleReferenceLeavesOtherValuesAlone) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(10), b(10);
  mb->write(a.data(), 10, PxType::kMemo, MakeValue(300, 1, true));
  Field stale = a;
  mb->release(a.data(), 10);
  mb->release(a.data(), 10);
  // b takes the same slot with the same length; the stale descriptor differs
  // only in its modification number and must not free b.
  mb->write(b.data(), 10, PxType::kMemo, MakeValue(300, 2, true));
  ASSERT_EQ(b.reference(), stale.reference());
  ASSERT_NE(b.modification(), stale.modification());
  mb->release(stale.data(), 10);
  EXPECT_EQ(mb->read(b.data(), 10, PxType::kMemo, "F"), MakeValue(300, 2, true));
  EXPECT_EQ(mb->check(b.data(), 10, PxType::kMemo), "");

  Field big(10), big2(10);
  mb->write(big.data(), 10, PxType::kMemo, MakeValue(9000, 3, true));
  mb->release(big.data(), 10);
  mb->release(big.data(), 10);
  mb->write(big2.data(), 10, PxType::kMemo, MakeValue(9000, 4, true));
  ASSERT_EQ(big2.block(), big.block());
  mb->release(big.data(), 10);
  EXPECT_EQ(mb->read(big2.data(), 10, PxType::kMemo, "F"), MakeValue(9000, 4, true));
}

TEST(BlobFileTest, ReleaseOfALeaderOnlyValueTouchesNothing) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(10);
  mb->write(a.data(), 10, PxType::kMemo, MakeValue(5, 1, true));
  Bytes before = ReadRaw(path);
  mb->release(a.data(), 10);
  EXPECT_EQ(ReadRaw(path), before);
}

// ---------------------------------------------------------------------------
// Many small values

// Checks every type-3 block of a raw .MB: one unit, used slots inside the
// data area and not overlapping. Returns the number of used slots.
int CheckSubBlocks(const Bytes& raw) {
  int used_slots = 0;
  uint64_t offset = kBlockUnit;
  while (offset < raw.size()) {
    const uint8_t* block = raw.data() + offset;
    const uint16_t units = Le16(block + 1);
    EXPECT_GE(units, 1);
    if (units == 0) break;
    if (block[0] == 3) {
      EXPECT_EQ(units, 1);
      std::vector<bool> chunk(256, false);
      for (int i = 0; i < 64; ++i) {
        const uint8_t* s = block + 12 + 5 * i;
        if (s[0] == 0) continue;
        ++used_slots;
        EXPECT_GE(s[0], 0x15);
        EXPECT_LE(s[0] + s[1], 256);
        EXPECT_GE(s[4], 1);
        EXPECT_LE(s[4], 16);
        for (int c = s[0]; c < std::min(256, s[0] + s[1]); ++c) {
          EXPECT_FALSE(chunk[c]) << "chunk " << c << " used twice";
          chunk[c] = true;
        }
      }
    }
    offset += units * uint64_t{kBlockUnit};
  }
  EXPECT_EQ(offset, raw.size());
  return used_slots;
}

TEST(BlobFileTest, ManySmallValuesFillSeveralSubAllocatedBlocks) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  std::vector<Field> fields;
  std::set<uint64_t> blocks;
  for (int i = 0; i < 300; ++i) {
    Field f(10);
    mb->write(f.data(), 10, PxType::kMemo, MakeValue(100 + i % 50, i, true));
    blocks.insert(f.block());
    fields.push_back(f);
  }
  // The first values of the first block: slots from 63 down, data from
  // chunk 0x15 up.
  Bytes raw = ReadRaw(path);
  EXPECT_EQ(fields[0].index(), 63);
  EXPECT_EQ(fields[1].index(), 62);
  const uint8_t* first = raw.data() + fields[0].block();
  EXPECT_EQ(first[12 + 5 * 63], 0x15);
  EXPECT_EQ(first[12 + 5 * 62], 0x15 + (100 + 15) / 16);
  EXPECT_GT(blocks.size(), 1u);
  EXPECT_EQ(raw.size(), (1 + blocks.size()) * kBlockUnit);  // no other blocks
  EXPECT_EQ(CheckSubBlocks(raw), 300);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(mb->read(fields[i].data(), 10, PxType::kMemo, "F"), MakeValue(100 + i % 50, i, true));
  }
}

TEST(BlobFileTest, SixtyFourSlotsPerBlock) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  std::vector<Field> fields;
  for (int i = 0; i < 65; ++i) {
    Field f(0);
    mb->write(f.data(), 0, PxType::kBinary, MakeValue(5, i, false));
    fields.push_back(f);
  }
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(fields[i].block(), fields[0].block());
    EXPECT_EQ(fields[i].index(), 63 - i);
  }
  EXPECT_NE(fields[64].block(), fields[0].block());
  EXPECT_EQ(CheckSubBlocks(ReadRaw(path)), 65);
}

TEST(BlobFileTest, ValueTakesABlockWithEnoughContiguousChunks) {
  TempDir dir;
  const std::string path = dir.file("T.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Field a(0), b(0), c(0), d(0);
  mb->write(a.data(), 0, PxType::kBinary, MakeValue(2048, 1, false));  // 128 chunks
  mb->write(b.data(), 0, PxType::kBinary, MakeValue(2048, 2, false));  // does not fit beside a
  EXPECT_NE(a.block(), b.block());
  mb->write(c.data(), 0, PxType::kBinary, MakeValue(100 * 16, 3, false));  // 100 chunks: fits
  EXPECT_EQ(c.block(), a.block());
  mb->write(d.data(), 0, PxType::kBinary, MakeValue(8 * 16, 4, false));  // 7 chunks left: no
  EXPECT_NE(d.block(), a.block());
  EXPECT_EQ(CheckSubBlocks(ReadRaw(path)), 4);
  EXPECT_EQ(mb->read(c.data(), 0, PxType::kBinary, "F"), MakeValue(1600, 3, false));
}

// ---------------------------------------------------------------------------
// Damaged files

class BlobCorruptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("T.MB");
    auto mb = BlobFile::Create(Fs(), path_);
    mb->write(small_.data(), 10, PxType::kMemo, MakeValue(555, 1, true));
    mb->write(large_.data(), 10, PxType::kMemo, MakeValue(10000, 2, true));
    mb->write(graphic_.data(), 10, PxType::kGraphic, MakeValue(6000, 3, false));
    mb->write(small_graphic_.data(), 10, PxType::kGraphic, MakeValue(300, 4, false));
  }

  void ExpectReadCorrupt(Field f, PxType type, const std::vector<std::string>& parts = {}) {
    std::unique_ptr<BlobFile> mb;
    ExpectCorrupt(
        [&] {
          mb = BlobFile::Open(Fs(), path_, false);
          mb->read(f.data(), f.leader, type, "Notes");
        },
        parts);
    if (mb) {
      EXPECT_NE(mb->check(f.data(), f.leader, type), "");
    }
  }

  TempDir dir_;
  std::string path_;
  Field small_{10}, large_{10}, graphic_{10}, small_graphic_{10};
};

TEST_F(BlobCorruptTest, IntactFileReadsBack) {
  auto mb = BlobFile::Open(Fs(), path_, false);
  EXPECT_EQ(mb->read(small_.data(), 10, PxType::kMemo, "Notes"), MakeValue(555, 1, true));
  EXPECT_EQ(mb->read(large_.data(), 10, PxType::kMemo, "Notes"), MakeValue(10000, 2, true));
  EXPECT_EQ(mb->read(graphic_.data(), 10, PxType::kGraphic, "Notes"), MakeValue(6000, 3, false));
  EXPECT_EQ(mb->read(small_graphic_.data(), 10, PxType::kGraphic, "Notes"),
            MakeValue(300, 4, false));
}

TEST_F(BlobCorruptTest, ZeroLengthFile) {
  Truncate(path_, 0);
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, false); }, {"T.MB"});
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, true); }, {"T.MB"});
}

TEST_F(BlobCorruptTest, FileShorterThanItsHeader) {
  Truncate(path_, 100);
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, false); }, {"T.MB"});
}

TEST_F(BlobCorruptTest, BadHeaderBlock) {
  Patch(path_, 0, {2});
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, false); }, {"T.MB", "header"});
  Patch(path_, 0, {0, 2, 0});
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, false); }, {"T.MB", "header"});
  Patch(path_, 0, {0, 1, 0});
  Patch(path_, 0x11, {0x20});
  ExpectCorrupt([&] { BlobFile::Open(Fs(), path_, false); }, {"T.MB", "header"});
}

TEST_F(BlobCorruptTest, TruncatedSingleBlock) {
  // The large value's block is 3 units; cut the file inside it.
  Truncate(path_, large_.block() + 2 * 4096);
  ExpectReadCorrupt(large_, PxType::kMemo, {"T.MB", "Notes", "0x2000", "end of the file"});
  Truncate(path_, large_.block() + 100);
  ExpectReadCorrupt(large_, PxType::kMemo, {"T.MB", "Notes", "0x2000"});
}

TEST_F(BlobCorruptTest, TruncatedSubAllocatedBlock) {
  Truncate(path_, small_.block() + 1000);
  ExpectReadCorrupt(small_, PxType::kMemo, {"T.MB", "Notes", "0x1000"});
}

TEST_F(BlobCorruptTest, BadBlockType) {
  for (uint8_t type : {0, 1, 4, 7, 0xFF}) {
    SCOPED_TRACE(type);
    Patch(path_, large_.block(), {type});
    ExpectReadCorrupt(large_, PxType::kMemo, {"Notes", "0x2000"});
    Patch(path_, small_.block(), {type});
    ExpectReadCorrupt(small_, PxType::kMemo, {"Notes", "0x1000"});
  }
  // A single-value reference to a sub-allocated block and the reverse.
  Patch(path_, large_.block(), {3});
  ExpectReadCorrupt(large_, PxType::kMemo, {"0x2000"});
  Patch(path_, small_.block(), {2});
  ExpectReadCorrupt(small_, PxType::kMemo, {"0x1000"});
}

TEST_F(BlobCorruptTest, BadUnitCount) {
  Patch(path_, large_.block() + 1, {0, 0});
  ExpectReadCorrupt(large_, PxType::kMemo, {"0x2000"});
  Patch(path_, large_.block() + 1, {0xFF, 0xFF});
  ExpectReadCorrupt(large_, PxType::kMemo, {"0x2000", "end of the file"});
  Patch(path_, small_.block() + 1, {2, 0});
  ExpectReadCorrupt(small_, PxType::kMemo, {"0x1000"});
}

TEST_F(BlobCorruptTest, SingleBlockLengthBeyondItsUnits) {
  Field f = large_;
  f.setLength(0x7FFFFFF0);
  Bytes len(4);
  PutLe32(len.data(), 0x7FFFFFF0);
  Patch(path_, large_.block() + 3, len);
  ExpectReadCorrupt(f, PxType::kMemo, {"0x2000"});
}

TEST_F(BlobCorruptTest, SlotPointingPastTheBlock) {
  const uint64_t entry = small_.block() + 12 + 5 * small_.index();
  Patch(path_, entry, {0xF0, 0x23});  // 35 chunks from 0xF0 run past chunk 0xFF
  ExpectReadCorrupt(small_, PxType::kMemo, {"Notes", "0x1000", "slot 63"});
  Patch(path_, entry, {0x02, 0x23});  // data in the slot table
  ExpectReadCorrupt(small_, PxType::kMemo, {"slot 63"});
  Patch(path_, entry, {0x15, 0x00});  // no chunks
  ExpectReadCorrupt(small_, PxType::kMemo, {"slot 63"});
  Patch(path_, entry, {0x15, 0x23, 1, 0, 17});  // 17 bytes in a 16-byte chunk
  ExpectReadCorrupt(small_, PxType::kMemo, {"slot 63"});
  Patch(path_, entry, {0x00, 0x23, 1, 0, 0x0B});  // unused slot
  ExpectReadCorrupt(small_, PxType::kMemo, {"slot 63"});
}

TEST_F(BlobCorruptTest, SlotIndexOutOfRange) {
  Field f = small_;
  f.setReference(static_cast<uint32_t>(small_.block()) | 64);
  ExpectReadCorrupt(f, PxType::kMemo, {"0x1000", "slot index 64"});
  f.setReference(static_cast<uint32_t>(small_.block()) | 0xFE);
  ExpectReadCorrupt(f, PxType::kMemo, {"0x1000"});
}

TEST_F(BlobCorruptTest, ReferencePastTheEndOfTheFile) {
  Field f = large_;
  f.setReference(0x00100000 | 0xFF);
  ExpectReadCorrupt(f, PxType::kMemo, {"T.MB", "Notes", "0x100000", "end of the file"});
  f.setReference(0xFFFFF03F);
  ExpectReadCorrupt(f, PxType::kMemo, {"0xFFFFF000"});
}

TEST_F(BlobCorruptTest, BadReferences) {
  Field f = large_;
  f.setReference(0x1800 | 0xFF);  // not on a block boundary
  ExpectReadCorrupt(f, PxType::kMemo, {"0x1800"});
  f.setReference(0x0000003F);  // the header block
  ExpectReadCorrupt(f, PxType::kMemo, {"header"});
  f.setReference(0);  // longer than the leader, but no reference
  ExpectReadCorrupt(f, PxType::kMemo, {"Notes"});
}

TEST_F(BlobCorruptTest, LengthMismatch) {
  Field f = large_;
  f.setLength(large_.length() + 1);
  ExpectReadCorrupt(f, PxType::kMemo, {"0x2000"});
  Field g = small_;
  g.setLength(small_.length() - 1);
  ExpectReadCorrupt(g, PxType::kMemo, {"0x1000"});
}

TEST_F(BlobCorruptTest, DamagedGraphicPrefix) {
  const uint64_t data = graphic_.block() + 9;
  Patch(path_, data + 3, {2});  // an OLE kind in a graphic field
  ExpectReadCorrupt(graphic_, PxType::kGraphic, {"Notes"});
  Patch(path_, data + 3, {1});
  Patch(path_, data + 4, {0, 0, 0, 0});  // payload length 0
  ExpectReadCorrupt(graphic_, PxType::kGraphic, {"Notes"});
  // A graphic value shorter than its prefix.
  const uint64_t entry = small_graphic_.block() + 12 + 5 * small_graphic_.index();
  Patch(path_, entry + 1, {1});  // one chunk
  Patch(path_, entry + 4, {5});  // holding 5 bytes
  Field g(4);
  g.setReference(small_graphic_.reference());
  g.setLength(5);
  PutLe16(g.data() + 4 + 8, small_graphic_.modification());
  ExpectReadCorrupt(g, PxType::kGraphic, {"Notes", "prefix"});
}

TEST_F(BlobCorruptTest, WritingIntoABrokenFileFailsCleanly) {
  Patch(path_, large_.block(), {9});
  auto mb = BlobFile::Open(Fs(), path_, true);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Field f(10);
    ExpectCorrupt([&] { mb->write(f.data(), 10, PxType::kMemo, MakeValue(500, 5, true)); },
                  {"T.MB", "0x2000"});
    EXPECT_TRUE(std::all_of(f.bytes.begin(), f.bytes.end(), [](uint8_t b) { return b == 0; }));
  }
  // Values in intact blocks still read.
  EXPECT_EQ(mb->read(small_.data(), 10, PxType::kMemo, "Notes"), MakeValue(555, 1, true));
}

TEST_F(BlobCorruptTest, ReleaseOfABadReferenceFails) {
  auto mb = BlobFile::Open(Fs(), path_, true);
  Field f = large_;
  f.setReference(0x00100000 | 0xFF);
  ExpectCorrupt([&] { mb->release(f.data(), 10); }, {"0x100000"});
  f.setReference(0x1800 | 0xFF);
  ExpectCorrupt([&] { mb->release(f.data(), 10); }, {"0x1800"});
}

TEST_F(BlobCorruptTest, ReleaseOfABlockLookalikeInsideAValueFails) {
  // A value whose bytes at a unit boundary look like the head of a type-2
  // block of one unit holding 3000 bytes with modification number 77.
  TempDir dir;
  const std::string path = dir.file("L.MB");
  auto mb = BlobFile::Create(Fs(), path);
  Bytes value = MakeValue(20000, 1, false);
  Field a(0);
  mb->write(a.data(), 0, PxType::kBinary, value);  // 5 units at 0x1000
  ASSERT_EQ(a.block(), 0x1000u);
  const size_t at = 0x2000 - 0x1000 - 9;  // position of offset 0x2000 in the value
  Bytes head = {2, 1, 0, 0, 0, 0, 0, 77, 0};
  PutLe32(head.data() + 3, 3000);
  std::copy(head.begin(), head.end(), value.begin() + at);
  mb->release(a.data(), 0);
  mb->write(a.data(), 0, PxType::kBinary, value);
  ASSERT_EQ(a.block(), 0x1000u);
  Field fake(0);
  fake.setReference(0x20FF);
  fake.setLength(3000);
  PutLe16(fake.data() + 8, 77);
  ExpectCorrupt([&] { mb->release(fake.data(), 0); }, {"0x2000"});
  EXPECT_EQ(mb->read(a.data(), 0, PxType::kBinary, "F"), value);
  EXPECT_EQ(ReadRaw(path)[0x1000], 2);
}

TEST_F(BlobCorruptTest, CheckReportsABadReference) {
  auto mb = BlobFile::Open(Fs(), path_, false);
  EXPECT_EQ(mb->check(small_.data(), 10, PxType::kMemo), "");
  EXPECT_EQ(mb->check(large_.data(), 10, PxType::kMemo), "");
  EXPECT_EQ(mb->check(graphic_.data(), 10, PxType::kGraphic), "");
  Field f = large_;
  f.setReference(0x00100000 | 0xFF);
  EXPECT_NE(mb->check(f.data(), 10, PxType::kMemo).find("0x100000"), std::string::npos);
  // A modification number that does not match the block.
  Field g = large_;
  g.bytes[10 + 8] ^= 0x40;
  EXPECT_NE(mb->check(g.data(), 10, PxType::kMemo), "");
  // A leader that does not repeat the value's start.
  Field h = small_;
  h.bytes[3] ^= 0x01;
  EXPECT_NE(mb->check(h.data(), 10, PxType::kMemo), "");
  // A short value that nevertheless has a reference.
  Field k(10);
  k.setLength(4);
  k.setReference(0x1000 | 63);
  EXPECT_NE(mb->check(k.data(), 10, PxType::kMemo), "");
}

// Random damage to the file and to the descriptors: every read yields a value
// or a data-corrupt error, and never touches memory it should not (the
// sanitizer build watches that).
TEST_F(BlobCorruptTest, RandomDamageNeverCrashes) {
  const Bytes original = ReadRaw(path_);
  std::vector<std::pair<Field, PxType>> fields = {{small_, PxType::kMemo},
                                                  {large_, PxType::kMemo},
                                                  {graphic_, PxType::kGraphic},
                                                  {small_graphic_, PxType::kGraphic}};
  uint32_t x = 7;
  auto next = [&x] {
    x = x * 1103515245u + 12345u;
    return x >> 8;
  };
  int corrupt = 0;
  for (int round = 0; round < 400; ++round) {
    Bytes damaged = original;
    const int flips = 1 + static_cast<int>(next() % 4);
    for (int i = 0; i < flips; ++i) {
      // Mostly the block heads and slot tables, where damage matters.
      uint64_t at;
      switch (next() % 3) {
        case 0:
          at = small_.block() + next() % (12 + 5 * 64);
          break;
        case 1:
          at = large_.block() + next() % 9;
          break;
        default:
          at = next() % damaged.size();
          break;
      }
      damaged[at] = static_cast<uint8_t>(next());
    }
    {
      auto f = Fs().open(path_, OpenMode::kCreate);
      f->write(0, damaged.data(), damaged.size() - (round % 7 == 0 ? next() % 8192 : 0));
    }
    try {
      auto mb = BlobFile::Open(Fs(), path_, true);
      for (auto [field, type] : fields) {
        if (round % 5 == 0) field.bytes[field.leader + next() % 10] = static_cast<uint8_t>(next());
        try {
          mb->read(field.data(), field.leader, type, "F");
        } catch (const EDBEngineError& e) {
          EXPECT_EQ(e.category(), ErrorCategory::kDataCorrupt) << e.what();
          ++corrupt;
        }
        mb->check(field.data(), field.leader, type);
      }
      // Writing and releasing either work or report the damage.
      try {
        Field f(10);
        mb->write(f.data(), 10, PxType::kMemo, MakeValue(500 + round, round, true));
        EXPECT_EQ(mb->read(f.data(), 10, PxType::kMemo, "F"), MakeValue(500 + round, round, true));
        mb->release(fields[1].first.data(), 10);
      } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.category(), ErrorCategory::kDataCorrupt) << e.what();
      }
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kDataCorrupt) << e.what();
    }
  }
  EXPECT_GT(corrupt, 0);
}

// ---------------------------------------------------------------------------
// Real files

// One blob field of a record of a corpus table.
struct CorpusField {
  int record;
  int field;
  PxType type;
  int leader;
  Field bytes;
};

// A small reader of .DB records, enough to find the blob fields: the header
// gives the record size, block size, field types and sizes; records are read
// along the block chain.
std::vector<CorpusField> BlobFieldsOf(const std::string& db_path) {
  Bytes d = ReadRaw(db_path);
  std::vector<CorpusField> out;
  if (d.size() < 0x78) {
    ADD_FAILURE() << db_path << " is too short";
    return out;
  }
  const uint16_t record_size = Le16(d.data());
  const uint16_t header_size = Le16(d.data() + 2);
  const size_t block_size = d[5] * size_t{1024};
  const uint16_t field_count = Le16(d.data() + 0x21);
  const size_t info = d[0x39] >= 5 ? 0x78 : 0x58;
  std::vector<std::pair<uint8_t, uint8_t>> fields;
  std::vector<size_t> offsets;
  size_t offset = 0;
  for (int i = 0; i < field_count; ++i) {
    uint8_t type = d[info + 2 * i], size = d[info + 2 * i + 1];
    fields.emplace_back(type, size);
    offsets.push_back(offset);
    offset += type == 0x17 ? 17 : size;
  }
  EXPECT_EQ(offset, record_size);
  int record = 0;
  uint16_t block = Le16(d.data() + 0x0E);
  for (int guard = 0; block != 0 && guard < 10000; ++guard) {
    const size_t start = header_size + (block - 1) * block_size;
    if (start + 6 > d.size()) {
      ADD_FAILURE() << "block " << block << " past the end of " << db_path;
      break;
    }
    const auto last = static_cast<int16_t>(Le16(d.data() + start + 4));
    const int count = last < 0 ? 0 : last / record_size + 1;
    for (int r = 0; r < count; ++r, ++record) {
      const size_t rec = start + 6 + r * size_t{record_size};
      for (size_t i = 0; i < fields.size(); ++i) {
        const auto type = static_cast<PxType>(fields[i].first);
        if (!IsBlobType(type)) continue;
        const int leader = fields[i].second - 10;
        Field f(leader);
        std::copy(d.begin() + rec + offsets[i], d.begin() + rec + offsets[i] + leader + 10,
                  f.bytes.begin());
        out.push_back(CorpusField{record, static_cast<int>(i), type, leader, f});
      }
    }
    block = Le16(d.data() + start);
  }
  return out;
}

struct CorpusTable {
  std::string db;
  std::string mb;
};

std::vector<CorpusTable> CorpusTables() {
  const std::string c = CorpusDir();
  return {
      {c + "/leonhad_paradoxdriver/fields/memo.db", c + "/leonhad_paradoxdriver/fields/memo.mb"},
      {c + "/leonhad_paradoxdriver/fields/fmemo.db", c + "/leonhad_paradoxdriver/fields/fmemo.mb"},
      {c + "/leonhad_paradoxdriver/fields/graphic.db",
       c + "/leonhad_paradoxdriver/fields/graphic.mb"},
      {c + "/leonhad_paradoxdriver/fields/graphic240.db",
       c + "/leonhad_paradoxdriver/fields/graphic240.mb"},
      {c + "/leonhad_paradoxdriver/fields/ole.db", c + "/leonhad_paradoxdriver/fields/ole.mb"},
      {c + "/celebithil_Paradox.pm/BIOLIFE.DB", c + "/celebithil_Paradox.pm/BIOLIFE.MB"},
      {c + "/leonhad_paradoxdriver/db/CUSTOMER.DB", c + "/leonhad_paradoxdriver/db/CUSTOMER.MB"},
      {c + "/leonhad_paradoxdriver/db/HERCULES.DB", c + "/leonhad_paradoxdriver/db/HERCULES.MB"},
      {c + "/teverett_paradoxReader/HERCULES.DB", c + "/teverett_paradoxReader/HERCULES.MB"},
  };
}

bool IsText(const Bytes& v) {
  return std::all_of(v.begin(), v.end(), [](uint8_t b) {
    return b == '\t' || b == '\n' || b == '\r' || (b >= 0x20 && b < 0x7F) || b >= 0xA0;
  });
}

std::string Str(const Bytes& v, size_t n) {
  return std::string(v.begin(), v.begin() + static_cast<long>(std::min(n, v.size())));
}

// For a bitmap: "BM", then its size in bytes (u32 LE), which is the payload.
void ExpectBitmap(const Bytes& v) {
  ASSERT_GE(v.size(), 6u);
  EXPECT_EQ(Str(v, 2), "BM");
  EXPECT_EQ(Le32(v.data() + 2), v.size());
}

TEST(BlobFileCorpusTest, EveryBlobFieldReadsAndChecks) {
  int values = 0, in_mb = 0;
  for (const auto& t : CorpusTables()) {
    SCOPED_TRACE(t.db);
    auto mb = BlobFile::Open(Fs(), t.mb, false);
    auto fields = BlobFieldsOf(t.db);
    ASSERT_FALSE(fields.empty());
    for (auto& f : fields) {
      SCOPED_TRACE("record " + std::to_string(f.record) + " field " + std::to_string(f.field));
      Bytes v = mb->read(f.bytes.data(), f.leader, f.type, "F");
      EXPECT_EQ(mb->check(f.bytes.data(), f.leader, f.type), "");
      const uint32_t length = f.bytes.length();
      if (length <= static_cast<uint32_t>(f.leader)) {
        EXPECT_EQ(v.size(), length);
      } else {
        ++in_mb;
        EXPECT_EQ(v.size() + PrefixOf(f.type), length);
      }
      // The leader repeats the start of the value.
      const size_t lead = std::min(v.size(), static_cast<size_t>(f.leader));
      EXPECT_TRUE(std::equal(v.begin(), v.begin() + lead, f.bytes.bytes.begin()));
      if (f.type == PxType::kMemo) {
        EXPECT_TRUE(IsText(v)) << Str(v, 60);
      }
      if (f.type == PxType::kGraphic) ExpectBitmap(v);
      if (!v.empty()) ++values;
    }
  }
  EXPECT_GT(values, 100);
  EXPECT_GT(in_mb, 70);
}

TEST(BlobFileCorpusTest, KnownValues) {
  const std::string c = CorpusDir() + "/leonhad_paradoxdriver";
  {
    auto mb = BlobFile::Open(Fs(), c + "/fields/memo.mb", false);
    auto f = BlobFieldsOf(c + "/fields/memo.db");
    ASSERT_EQ(f.size(), 2u);
    Bytes v0 = mb->read(f[0].bytes.data(), 240, PxType::kMemo, "memo");
    EXPECT_EQ(v0.size(), 555u);
    EXPECT_EQ(Str(v0, 20), "01234567890012345678");
    EXPECT_EQ(mb->read(f[1].bytes.data(), 240, PxType::kMemo, "memo"),
              Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '\n'}));
  }
  {
    auto mb = BlobFile::Open(Fs(), c + "/fields/graphic.mb", false);
    auto f = BlobFieldsOf(c + "/fields/graphic.db");
    ASSERT_EQ(f.size(), 3u);
    const size_t sizes[] = {20078, 9618, 2074678};
    for (int i = 0; i < 3; ++i) {
      Bytes v = mb->read(f[i].bytes.data(), 0, PxType::kGraphic, "graphic");
      EXPECT_EQ(v.size(), sizes[i]);
      ExpectBitmap(v);
    }
  }
  {
    // A leader of 240 bytes holds the bitmap's first bytes, not the prefix.
    auto mb = BlobFile::Open(Fs(), c + "/fields/graphic240.mb", false);
    auto f = BlobFieldsOf(c + "/fields/graphic240.db");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Str(f[0].bytes.bytes, 2), "BM");
    Bytes v = mb->read(f[0].bytes.data(), 240, PxType::kGraphic, "graphic");
    EXPECT_EQ(v.size(), 20078u);
    EXPECT_TRUE(std::equal(v.begin(), v.begin() + 240, f[0].bytes.bytes.begin()));
  }
  {
    auto mb = BlobFile::Open(Fs(), c + "/fields/ole.mb", false);
    auto f = BlobFieldsOf(c + "/fields/ole.db");
    ASSERT_EQ(f.size(), 1u);
    Bytes v = mb->read(f[0].bytes.data(), 0, PxType::kOle, "ole");
    EXPECT_EQ(v.size(), 365920u);
    EXPECT_EQ(Str(v, 18).substr(2), "Paradox Document");
  }
  {
    auto mb = BlobFile::Open(Fs(), c + "/fields/fmemo.mb", false);
    auto f = BlobFieldsOf(c + "/fields/fmemo.db");
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(mb->read(f[0].bytes.data(), 0, PxType::kFmtMemo, "fmemo").size(), 169u);
    EXPECT_EQ(mb->read(f[1].bytes.data(), 0, PxType::kFmtMemo, "fmemo").size(), 726u);
  }
  {
    auto mb = BlobFile::Open(Fs(), c + "/db/CUSTOMER.MB", false);
    auto f = BlobFieldsOf(c + "/db/CUSTOMER.DB");
    ASSERT_EQ(f.size(), 20u);
    Bytes v = mb->read(f[3].bytes.data(), 100, PxType::kMemo, "Comments");
    EXPECT_EQ(v.size(), 56864u);
    EXPECT_EQ(Str(v, 27), " The PARADOX File Structure");
    EXPECT_TRUE(mb->read(f[5].bytes.data(), 100, PxType::kMemo, "Comments").empty());
  }
  {
    auto mb = BlobFile::Open(Fs(), CorpusDir() + "/celebithil_Paradox.pm/BIOLIFE.MB", false);
    auto f = BlobFieldsOf(CorpusDir() + "/celebithil_Paradox.pm/BIOLIFE.DB");
    ASSERT_EQ(f.size(), 56u);
    EXPECT_EQ(Str(mb->read(f[0].bytes.data(), 50, PxType::kMemo, "Notes"), 19),
              "Also known as the b");
    ExpectBitmap(mb->read(f[1].bytes.data(), 0, PxType::kGraphic, "Graphic"));
  }
}

// Writes into copies of real files: free space the engine left is reused,
// existing values stay readable, and the modification numbers continue from
// the file's counter.
TEST(BlobFileCorpusTest, WritingIntoRealFiles) {
  TempDir dir;
  const std::string c = CorpusDir() + "/leonhad_paradoxdriver/fields";
  test::CopyTableFiles(c, "graphic", dir.path());
  test::CopyTableFiles(c, "ole", dir.path());
  test::CopyTableFiles(CorpusDir() + "/celebithil_Paradox.pm", "BIOLIFE", dir.path());
  {
    // graphic.mb has a free block of 5 units at 0x6000.
    const std::string path = dir.file("graphic.mb");
    const uint64_t size = FileSize(path);
    auto mb = BlobFile::Open(Fs(), path, true);
    Field f(0);
    mb->write(f.data(), 0, PxType::kGraphic, MakeValue(20000, 1, false));
    EXPECT_EQ(f.reference(), 0x60FFu);
    EXPECT_EQ(FileSize(path), size);
    EXPECT_EQ(mb->read(f.data(), 0, PxType::kGraphic, "G"), MakeValue(20000, 1, false));
    for (auto& old : BlobFieldsOf(dir.file("graphic.db"))) {
      ExpectBitmap(mb->read(old.bytes.data(), 0, PxType::kGraphic, "G"));
    }
  }
  {
    // ole.mb has a free block of 90 units at 0x1000; a value of 74 units
    // takes its start and leaves 16 units free.
    const std::string path = dir.file("ole.mb");
    const uint64_t size = FileSize(path);
    auto mb = BlobFile::Open(Fs(), path, true);
    Field f(0);
    mb->write(f.data(), 0, PxType::kOle, MakeValue(300000, 2, false));
    EXPECT_EQ(f.reference(), 0x10FFu);
    Bytes raw = ReadRaw(path);
    EXPECT_EQ(Le16(raw.data() + 0x1000 + 1), 74);
    EXPECT_EQ(raw[0x1000 + 74 * 4096], 4);
    EXPECT_EQ(Le16(raw.data() + 0x1000 + 74 * 4096 + 1), 16);
    EXPECT_EQ(FileSize(path), size);
    auto old = BlobFieldsOf(dir.file("ole.db"));
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(mb->read(old[0].bytes.data(), 0, PxType::kOle, "O").size(), 365920u);
    EXPECT_EQ(CheckSubBlocks(raw), 0);
  }
  {
    // BIOLIFE's counter says 57 after values numbered 1 to 56.
    const std::string path = dir.file("BIOLIFE.MB");
    auto old = BlobFieldsOf(dir.file("BIOLIFE.DB"));
    uint16_t highest = 0;
    for (auto& o : old) highest = std::max(highest, o.bytes.modification());
    const uint16_t counter = Le16(ReadRaw(path).data() + 3);
    ASSERT_EQ(counter, highest + 1);
    auto mb = BlobFile::Open(Fs(), path, true);
    Field f(50);
    mb->write(f.data(), 50, PxType::kMemo, MakeValue(500, 3, true));
    EXPECT_EQ(f.modification(), counter);
    EXPECT_EQ(Le16(ReadRaw(path).data() + 3), counter + 1);
    EXPECT_EQ(mb->read(f.data(), 50, PxType::kMemo, "Notes"), MakeValue(500, 3, true));
    for (auto& o : old) {
      EXPECT_EQ(mb->check(o.bytes.data(), o.leader, o.type), "");
    }
    // Releasing an engine-written value frees its slot for the next one.
    mb->release(old[0].bytes.data(), 50);
    EXPECT_NE(mb->check(old[0].bytes.data(), 50, PxType::kMemo), "");
    EXPECT_EQ(CheckSubBlocks(ReadRaw(path)), 28);
  }
}

}  // namespace
}  // namespace vellum::engine::paradox
