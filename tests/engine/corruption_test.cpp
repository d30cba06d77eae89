// Damaged table files: empty, cut short, with flipped bits, with block links
// that loop or point past the end. Opening, scanning and checking such a
// table must end in a data-corruption error naming the file (or, where the
// damage leaves a valid file, in no error) — never in a crash, a hang, an
// out-of-bounds read or another kind of failure. The suite also runs under
// AddressSanitizer and UndefinedBehaviorSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

namespace fs = std::filesystem;
using test::CopyTableFiles;
using test::CorpusDir;
using test::TempDir;
using Raw = std::vector<uint8_t>;

Raw ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Raw(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Raw& bytes, size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(n));
}
void WriteFile(const std::string& path, const Raw& bytes) { WriteFile(path, bytes, bytes.size()); }

uint16_t Le16(const Raw& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
void PutLe16(Raw& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
size_t BlockOffset(const Raw& b, int block) {
  return Le16(b, 2) + static_cast<size_t>(block - 1) * b[5] * 1024u;
}

// What became of opening, scanning and checking a table.
struct Outcome {
  bool failed = false;                // an EDBEngineError was raised
  std::string error;                  // its message
  std::vector<std::string> problems;  // verify's report when nothing was raised
  bool detected() const { return failed || !problems.empty(); }
  std::string text() const {
    std::string s = error;
    for (const auto& p : problems) s += "\n  " + p;
    return s;
  }
};

// Opens, scans every row and verifies. Any failure other than an
// EDBEngineError of the data-corruption category is a test failure; an
// encrypted-table refusal counts when the damage set the password field.
Outcome Exercise(const std::string& dir, const std::string& table) {
  Outcome o;
  try {
    auto t = Table::Open(dir, table);
    {
      Table::Scanner scan(*t);
      Row row;
      while (scan.next(row)) {
      }
    }
    for (uint32_t i = 0; i < std::min<uint32_t>(t->recordCount(), 3); ++i) t->read(i);
    o.problems = t->verify();
  } catch (const EDBEngineError& e) {
    o.failed = true;
    o.error = e.what();
    const bool encrypted =
        e.code() == MakeCode(ErrorCategory::kInvalidRequest, subcode::kEncrypted);
    EXPECT_TRUE(e.category() == ErrorCategory::kDataCorrupt || encrypted) << e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an engine error: " << e.what();
    o.failed = true;
    o.error = e.what();
  }
  return o;
}

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Names(const std::string& text, const std::string& file) {
  return Upper(text).find(Upper(file)) != std::string::npos;
}

// Every message names one of the table's files.
void ExpectNamesTableFiles(const Outcome& o, const std::string& table) {
  if (o.failed) {
    EXPECT_TRUE(Names(o.error, table + ".")) << o.error;
  }
  for (const auto& p : o.problems) EXPECT_TRUE(Names(p, table + ".")) << p;
}

// The bytes a data or index file needs: up to the end of the last record of
// every block on its chain (a file may end inside its last block after that).
size_t RequiredLength(const Raw& b) {
  const size_t rs = Le16(b, 0);
  size_t need = Le16(b, 2);
  int block = Le16(b, 0x0C) ? Le16(b, 0x0E) : 0;
  int guard = 0;
  while (block != 0 && guard++ < 65536) {
    const size_t off = BlockOffset(b, block);
    const auto last = static_cast<int16_t>(Le16(b, off + 4));
    need = std::max(need, off + 6 + (last < 0 ? 0 : static_cast<size_t>(last) + rs));
    block = Le16(b, off);
  }
  return need;
}

class CorruptionTest : public testing::Test {
 protected:
  // Copies a corpus table into the temporary directory.
  void CopyCorpus(const std::string& folder, const std::string& table) {
    CopyTableFiles((fs::path(CorpusDir()) / folder).string(), table, dir_.path());
  }
  std::string path(const std::string& file) const { return dir_.file(file); }

  // Runs `damage` on a fresh copy of `file` for each case, exercises the
  // table and restores the file.
  template <typename F>
  void EachDamage(const std::string& file, int cases, F&& damage,
                  const std::function<void(int, const Outcome&)>& check) {
    const Raw original = ReadFile(path(file));
    for (int i = 0; i < cases; ++i) {
      Raw b = original;
      size_t keep = b.size();
      damage(i, b, keep);
      WriteFile(path(file), b, std::min(keep, b.size()));
      check(i, Exercise(dir_.path(), table_));
    }
    WriteFile(path(file), original);
  }

  TempDir dir_;
  std::string table_;
};

TEST_F(CorruptionTest, EmptyFiles) {
  CopyCorpus("leonhad_paradoxdriver/db", "CUSTOMER");
  CopyCorpus("leonhad_paradoxdriver/db", "AREACODES");
  struct Case {
    std::string table, file;
  };
  for (const Case& c : {Case{"CUSTOMER", "CUSTOMER.DB"}, Case{"CUSTOMER", "CUSTOMER.PX"},
                        Case{"CUSTOMER", "CUSTOMER.MB"}, Case{"CUSTOMER", "CUSTOMER.X06"},
                        Case{"CUSTOMER", "CUSTOMER.Y06"}, Case{"AREACODES", "AREACODES.XG0"},
                        Case{"AREACODES", "AREACODES.YG0"}}) {
    SCOPED_TRACE(c.file);
    table_ = c.table;
    EachDamage(
        c.file, 1, [](int, Raw&, size_t& keep) { keep = 0; },
        [&](int, const Outcome& o) {
          EXPECT_TRUE(o.detected());
          EXPECT_TRUE(Names(o.text(), c.file)) << o.text();
          ExpectNamesTableFiles(o, c.table);
        });
  }
}

TEST_F(CorruptionTest, TruncatedFiles) {
  CopyCorpus("leonhad_paradoxdriver/db", "CUSTOMER");
  CopyCorpus("leonhad_paradoxdriver/db", "AREACODES");
  struct Case {
    std::string table, file;
  };
  for (const Case& c : {Case{"CUSTOMER", "CUSTOMER.DB"}, Case{"CUSTOMER", "CUSTOMER.PX"},
                        Case{"CUSTOMER", "CUSTOMER.MB"}, Case{"CUSTOMER", "CUSTOMER.X06"},
                        Case{"CUSTOMER", "CUSTOMER.Y06"}, Case{"AREACODES", "AREACODES.DB"},
                        Case{"AREACODES", "AREACODES.XG0"}, Case{"AREACODES", "AREACODES.YG0"}}) {
    SCOPED_TRACE(c.file);
    table_ = c.table;
    const Raw original = ReadFile(path(c.file));
    const bool blob_file = Upper(c.file).ends_with(".MB");
    const size_t need = blob_file ? original.size() : RequiredLength(original);
    // Every offset in the fixed header, then a stride through the rest and
    // the bytes around each block boundary.
    std::vector<size_t> cuts;
    for (size_t at = 1; at < std::min<size_t>(0x80, original.size()); at += 3) cuts.push_back(at);
    const size_t stride = std::max<size_t>(original.size() / 60, 1);
    for (size_t at = 0x80; at < original.size(); at += stride) cuts.push_back(at);
    const size_t unit = blob_file ? 4096 : original[5] * 1024u;
    for (size_t at = blob_file ? 4096 : Le16(original, 2); at < original.size(); at += unit) {
      cuts.push_back(at - 1);
      cuts.push_back(at);
      cuts.push_back(at + 6);
    }
    EachDamage(
        c.file, static_cast<int>(cuts.size()),
        [&](int i, Raw&, size_t& keep) { keep = cuts[static_cast<size_t>(i)]; },
        [&](int i, const Outcome& o) {
          const size_t cut = cuts[static_cast<size_t>(i)];
          SCOPED_TRACE("cut at " + std::to_string(cut));
          // A .MB cut inside space no record refers to leaves every
          // value readable; any other file cut before its last
          // record is damaged.
          if (!blob_file && cut < need) {
            EXPECT_TRUE(o.detected());
            EXPECT_TRUE(Names(o.text(), c.file)) << o.text();
          }
          ExpectNamesTableFiles(o, c.table);
        });
  }
}

// Deterministic pseudo-random bit flips, half in the used part of the
// header and half in the used bytes of the blocks (block headers and
// records; for a .MB anywhere after its header block).
TEST_F(CorruptionTest, FlippedBits) {
  CopyCorpus("leonhad_paradoxdriver/db", "CUSTOMER");
  CopyCorpus("leonhad_paradoxdriver/db", "AREACODES");
  CopyCorpus("celebithil_Paradox.pm", "BIOLIFE");
  struct Case {
    std::string table, file;
    int flips;
  };
  std::mt19937 rng(20240607);
  for (const Case& c :
       {Case{"CUSTOMER", "CUSTOMER.DB", 200}, Case{"CUSTOMER", "CUSTOMER.PX", 120},
        Case{"CUSTOMER", "CUSTOMER.MB", 120}, Case{"CUSTOMER", "CUSTOMER.X06", 120},
        Case{"CUSTOMER", "CUSTOMER.Y06", 100}, Case{"AREACODES", "AREACODES.XG0", 100},
        Case{"AREACODES", "AREACODES.YG0", 100}, Case{"BIOLIFE", "BIOLIFE.DB", 100},
        Case{"BIOLIFE", "BIOLIFE.MB", 100}}) {
    SCOPED_TRACE(c.file);
    table_ = c.table;
    const Raw original = ReadFile(path(c.file));
    const bool blob_file = Upper(c.file).ends_with(".MB");
    std::vector<size_t> header, body;
    if (blob_file) {
      for (size_t at = 0; at < 0x40; ++at) header.push_back(at);
      for (size_t at = 4096; at < original.size(); ++at) body.push_back(at);
    } else {
      const size_t used = original[0x39] >= 0x04 ? Le16(original, 0x51) : Le16(original, 2);
      for (size_t at = 0; at < std::max<size_t>(used, 0x58); ++at) header.push_back(at);
      const size_t rs = Le16(original, 0);
      for (int block = 1; block <= Le16(original, 0x0C); ++block) {
        const size_t off = BlockOffset(original, block);
        const auto last = static_cast<int16_t>(Le16(original, off + 4));
        const size_t end = off + 6 + (last < 0 ? 0 : static_cast<size_t>(last) + rs);
        for (size_t at = off; at < end && at < original.size(); ++at) body.push_back(at);
      }
    }
    ASSERT_FALSE(header.empty());
    ASSERT_FALSE(body.empty());
    int detected = 0;
    EachDamage(
        c.file, c.flips,
        [&](int i, Raw& b, size_t&) {
          const auto& where = i % 2 == 0 ? header : body;
          b[where[rng() % where.size()]] ^= static_cast<uint8_t>(1u << (rng() % 8));
        },
        [&](int, const Outcome& o) {
          detected += o.detected();
          ExpectNamesTableFiles(o, c.table);
        });
    EXPECT_GT(detected, 0);
  }
}

// The index of a large table: flips and cuts of a multi-level .PX.
TEST_F(CorruptionTest, DamagedMultiLevelIndex) {
  CopyCorpus("leonhad_paradoxdriver/areas", "ZIPCODES");
  table_ = "ZIPCODES";
  const Raw px = ReadFile(path("ZIPCODES.PX"));
  ASSERT_EQ(px[0x20], 2);  // two index levels
  const size_t need = RequiredLength(px);
  std::mt19937 rng(99);
  EachDamage(
      "ZIPCODES.PX", 14,
      [&](int i, Raw& b, size_t& keep) {
        if (i < 8) {
          keep = 0x800 + static_cast<size_t>(i) * (need - 0x800) / 8;
        } else {
          b[0x800 + rng() % (b.size() - 0x800)] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
      },
      [&](int i, const Outcome& o) {
        if (i < 8) {
          EXPECT_TRUE(o.detected()) << "cut " << i;
        }
        ExpectNamesTableFiles(o, "ZIPCODES");
      });
}

// Block links patched to loop or to point past the end, in every kind of
// file of a table the engine wrote.
class BrokenLinksTest : public CorruptionTest {
 protected:
  void SetUp() override {
    table_ = "LINKS";
    TableDefinition def;
    def.fields = {{"Id", FieldType::kInteger, 0, false},
                  {"Name", FieldType::kString, 60, false},
                  {"Note", FieldType::kMemo, 20, false}};
    def.indexes = {{"", {"Id"}, true, true, false, false},
                   {"ByName", {"Name"}, false, false, false, false}};
    Table::Create(dir_.path(), table_, def);
    auto t = Table::Open(dir_.path(), table_, {true, true});
    for (int id = 1; id <= 600; ++id) {
      t->insert(Row{int64_t{id}, "name " + std::to_string(id * 7919 % 600),
                    id % 5 == 0 ? Value{std::string(static_cast<size_t>(id * 13), 'x')} : Value{}});
    }
  }

  // Patches one file, expects a detection naming it, restores the file.
  void ExpectDetected(const std::string& file, const std::function<void(Raw&)>& patch,
                      const std::string& words) {
    SCOPED_TRACE(file + ": " + words);
    EachDamage(
        file, 1, [&](int, Raw& b, size_t&) { patch(b); },
        [&](int, const Outcome& o) {
          ASSERT_TRUE(o.detected());
          EXPECT_TRUE(Names(o.text(), file)) << o.text();
          EXPECT_NE(o.text().find(words), std::string::npos) << o.text();
        });
    EXPECT_FALSE(Exercise(dir_.path(), table_).detected());
  }
};

TEST_F(BrokenLinksTest, DataFileChains) {
  ASSERT_FALSE(Exercise(dir_.path(), table_).detected());
  const Raw db = ReadFile(path("LINKS.DB"));
  ASSERT_GT(Le16(db, 0x0C), 4);
  // Block 3's successor set to block 1: the chain loops.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, BlockOffset(b, 3), 1); }, "loops");
  // A successor past the file's blocks.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, BlockOffset(b, 2), 0x7FFF); }, "outside");
  // The header's block count larger than the file.
  ExpectDetected(
      "LINKS.DB",
      [](Raw& b) {
        PutLe16(b, 0x0C, static_cast<uint16_t>(Le16(b, 0x0C) + 5));
        PutLe16(b, BlockOffset(b, 4), static_cast<uint16_t>(Le16(b, 0x0C)));
      },
      "past the end");
  // The first block past the end.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, 0x0E, 0xFFFF); }, "outside");
  // A back link that does not mirror the forward link.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, BlockOffset(b, 3) + 2, 3); }, "links back");
  // A record count larger than a block holds.
  ExpectDetected(
      "LINKS.DB",
      [](Raw& b) { PutLe16(b, BlockOffset(b, 2) + 4, static_cast<uint16_t>(Le16(b, 0) * 200)); },
      "more records than a block holds");
  // The header's record count.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, 0x06, static_cast<uint16_t>(Le16(b, 6) + 1)); },
      "header counts");
}

TEST_F(BrokenLinksTest, FreeList) {
  {
    auto t = Table::Open(dir_.path(), table_, {true, true});
    // Empty some blocks so that they go to the free list.
    for (int i = 0; i < 120; ++i) t->remove(200);
  }
  const Raw db = ReadFile(path("LINKS.DB"));
  const uint16_t head = Le16(db, 0x4D);
  ASSERT_NE(head, 0);
  ASSERT_FALSE(Exercise(dir_.path(), table_).detected());
  // The free list's head block made to link to itself.
  ExpectDetected(
      "LINKS.DB", [&](Raw& b) { PutLe16(b, BlockOffset(b, head), head); }, "free-block list");
  ExpectDetected(
      "LINKS.DB", [&](Raw& b) { PutLe16(b, 0x4D, 0x7000); }, "free-block list");
}

TEST_F(BrokenLinksTest, IndexFiles) {
  ASSERT_FALSE(Exercise(dir_.path(), table_).detected());
  for (const std::string file : {"LINKS.PX", "LINKS.YG0", "LINKS.XG0"}) {
    const bool x_file = file == "LINKS.XG0";
    const Raw b0 = ReadFile(path(file));
    ASSERT_GE(Le16(b0, 0x0C), 1) << file;
    if (!x_file) {
      // The root's first entry points back at the root.
      ExpectDetected(
          file,
          [](Raw& b) {
            const size_t r = BlockOffset(b, Le16(b, 0x1E)) + 6 + Le16(b, 0) - 6;
            const uint16_t root = Le16(b, 0x1E);
            if (b[0x20] < 2) b[0x20] = 2;  // make the root an upper level
            b[r] = static_cast<uint8_t>((root >> 8) ^ 0x80);
            b[r + 1] = static_cast<uint8_t>(root);
          },
          "index block");
      // The root outside the file.
      ExpectDetected(
          file, [](Raw& b) { PutLe16(b, 0x1E, 0x6000); }, "outside");
      // An impossible depth.
      ExpectDetected(
          file, [](Raw& b) { b[0x20] = 40; }, "depth");
      // A leaf entry's count changed.
      ExpectDetected(
          file,
          [](Raw& b) {
            size_t r = BlockOffset(b, Le16(b, 0x1E)) + 6 + Le16(b, 0) - 4;
            b[r + 1] ^= 0x01;
          },
          file == "LINKS.PX" ? "LINKS.PX" : "LINKS.YG0");
    } else {
      ASSERT_GT(Le16(b0, 0x0C), 2);
      ExpectDetected(
          file, [](Raw& b) { PutLe16(b, BlockOffset(b, 2), 1); }, "loops");
      ExpectDetected(
          file, [](Raw& b) { PutLe16(b, BlockOffset(b, 1), 0x4000); }, "outside");
      ExpectDetected(
          file, [](Raw& b) { PutLe16(b, 0x06, 1); }, "header counts");
    }
  }
}

// Header counts, index headers and file lengths that disagree with the
// table while every block still reads.
TEST_F(BrokenLinksTest, HeadersThatDisagreeWithTheFiles) {
  ASSERT_FALSE(Exercise(dir_.path(), table_).detected());
  const Raw db = ReadFile(path("LINKS.DB"));
  const uint16_t blocks = Le16(db, 0x0C);
  ASSERT_GT(blocks, 3);
  // Blocks in use: neither the chain's nor the file's.
  ExpectDetected(
      "LINKS.DB", [&](Raw& b) { PutLe16(b, 0x0A, static_cast<uint16_t>(blocks + 2)); },
      "blocks in use");
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, 0x0A, 1); }, "blocks in use");
  // The last block of the chain.
  ExpectDetected(
      "LINKS.DB", [](Raw& b) { PutLe16(b, 0x10, 1); }, "as the last of the chain");
  // The primary index: another file type, a block size no index has, a key
  // field of another type (Autoincrement for Long, the same size).
  ExpectDetected(
      "LINKS.PX", [](Raw& b) { b[0x04] = 4; }, "not a primary index");
  ExpectDetected(
      "LINKS.PX", [](Raw& b) { b[0x05] = 6; }, "block size of 6 KB");
  ASSERT_EQ(ReadFile(path("LINKS.PX"))[0x58], 0x04);  // the key field Id, Long
  ExpectDetected(
      "LINKS.PX", [](Raw& b) { b[0x58] = 0x16; }, "its key does not match");
}

// A file that ends inside a block, after the records of its last block:
// every record still reads, but the file is cut.
TEST_F(BrokenLinksTest, FilesCutInsideTheirLastBlock) {
  for (const std::string file : {"LINKS.DB", "LINKS.XG0", "LINKS.PX", "LINKS.YG0"}) {
    SCOPED_TRACE(file);
    const Raw b0 = ReadFile(path(file));
    const size_t block_size = b0[5] * 1024u;
    const size_t last = Le16(b0, 2) + (Le16(b0, 0x0C) - 1u) * block_size;
    ASSERT_EQ(b0.size(), last + block_size);
    const auto last_offset = static_cast<int16_t>(Le16(b0, last + 4));
    const size_t used = 6 + (last_offset < 0 ? 0 : static_cast<size_t>(last_offset) + Le16(b0, 0));
    // One byte after the records, unless that is a kilobyte boundary.
    size_t cut = last + used + 1;
    if ((cut - Le16(b0, 2)) % 1024 == 0) ++cut;
    ASSERT_LT(cut, b0.size());
    ExpectDetected(
        file, [&](Raw& b) { b.resize(cut); }, "cut part-way through block");
  }
}

TEST_F(CorruptionTest, AutoincrementCounterBelowTheRows) {
  table_ = "AUTO";
  TableDefinition def;
  def.fields = {{"Id", FieldType::kAutoInc, 0, false}, {"Name", FieldType::kString, 10, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false}};
  Table::Create(dir_.path(), table_, def);
  {
    auto t = Table::Open(dir_.path(), table_, {true, true});
    for (int i = 0; i < 5; ++i) t->insert(Row{Value{}, Value{std::string("n")}});
  }
  ASSERT_FALSE(Exercise(dir_.path(), table_).detected());
  // Header 0x49: the last value handed out (5); make it 2.
  EachDamage(
      "AUTO.DB", 1, [](int, Raw& b, size_t&) { b[0x49] = 2; },
      [](int, const Outcome& o) {
        EXPECT_NE(o.text().find("AUTO.DB: the autoincrement counter is 2, below the largest "
                                "value in the rows, 5"),
                  std::string::npos)
            << o.text();
      });
}

// A damaged secondary index file does not keep a read-only open from
// reading the table, but the check must still name it.
TEST_F(BrokenLinksTest, UnreadableSecondaryIndexHeader) {
  ExpectDetected(
      "LINKS.XG0", [](Raw& b) { b[0x04] = 0x7F; }, "LINKS.XG0");
  ExpectDetected(
      "LINKS.XG0", [](Raw& b) { PutLe16(b, 0x21, 0); }, "LINKS.XG0");
  ExpectDetected(
      "LINKS.XG0", [](Raw& b) { b.resize(0x40); }, "LINKS.XG0");
  ExpectDetected(
      "LINKS.YG0", [](Raw& b) { PutLe16(b, 0x00, 3); }, "LINKS.YG0");
}

}  // namespace
}  // namespace vellum::engine::paradox
