// Secondary indexes as the original engine keeps them, checked on tables
// shaped like its own (tests/support/original_shapes.h): block numbers that
// are stale hints, indexes tied to their fields by position, out-of-date
// indexes, upper-cased entries of case-insensitive indexes. What each shape
// must show comes from how it was made, not from the engine's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/header.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/table.h"
#include "tests/support/original_shapes.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

namespace fs = std::filesystem;
using test::OriginalShape;
using test::OriginalShapeNamed;
using test::TempDir;

// One X file entry as its bytes say: primary key (an Integer) and Blk Num.
struct Entry {
  int64_t key = 0;
  int blk = 0;
};

// The entries of an X file of a table keyed on one Integer, read by walking
// its chain.
std::vector<Entry> Entries(const std::string& path) {
  auto file = FileSystem::Default().open(path, OpenMode::kRead);
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file->size(), 0x10000)));
  file->read(0, head.data(), head.size());
  const TableHeader x = ParseHeader(head.data(), head.size(), file->size(), path);
  const size_t n = x.fields.size();
  std::vector<Entry> out;
  ChainWalker w(*file, x, path);
  while (w.next()) {
    for (uint32_t i = 0; i < w.count(); ++i) {
      const uint8_t* r = w.record(i);
      out.push_back({DecodeLong(r + x.fields[n - 2].offset).value_or(0),
                     DecodeShort(r + x.fields[n - 1].offset).value_or(0)});
    }
  }
  return out;
}

// Entries whose Blk Num is not the block that holds their record now.
uint64_t StaleHints(const std::string& dir, const std::string& table, const std::string& x_file) {
  std::map<int64_t, uint16_t> holder;
  for (const auto& [id, block] : test::RecordBlocks(dir, table)) holder[id] = block;
  uint64_t stale = 0;
  for (const Entry& e : Entries(dir + "/" + x_file)) stale += holder.at(e.key) != e.blk;
  return stale;
}

const Finding* FindingOf(const VerifyReport& report, const std::string& file,
                         const std::string& kind) {
  for (const auto& f : report.findings()) {
    if (f.file == file && f.kind == kind && f.count > 0) return &f;
  }
  return nullptr;
}

class OriginalShapeTest : public testing::TestWithParam<OriginalShape> {
 protected:
  void SetUp() override { GetParam().make(dir_.path()); }
  TempDir dir_;
};

std::string ShapeName(const testing::TestParamInfo<OriginalShape>& info) {
  return info.param.table;
}

// A current table verifies clean; one with out-of-date indexes gives one
// "index out of date" line per such file and nothing else.
TEST_P(OriginalShapeTest, VerifiesAsTheShapeSays) {
  const OriginalShape& shape = GetParam();
  auto t = Table::Open(dir_.path(), shape.table);
  std::vector<std::string> expected_files = shape.out_of_date;
  std::vector<std::string> reported_files;
  for (const auto& line : t->verify()) {
    EXPECT_NE(line.find(": index out of date: "), std::string::npos) << line;
    reported_files.push_back(line.substr(0, line.find(':')));
  }
  EXPECT_EQ(reported_files, expected_files);
}

// Every index file is listed, the out-of-date ones marked so.
TEST_P(OriginalShapeTest, ListsEveryIndexFile) {
  const OriginalShape& shape = GetParam();
  auto t = Table::Open(dir_.path(), shape.table);
  std::vector<std::string> on_disk, listed, out_of_date;
  for (const auto& e : fs::directory_iterator(dir_.path())) {
    const std::string ext = e.path().extension().string();
    if (ext.size() == 4 && ext[1] == 'X') on_disk.push_back(e.path().filename().string());
  }
  for (const auto& ix : t->structure().indexes) {
    if (ix.primary) continue;
    listed.push_back(ix.file);
    if (ix.out_of_date) out_of_date.push_back(ix.file);
  }
  std::sort(on_disk.begin(), on_disk.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, on_disk);
  EXPECT_EQ(out_of_date, shape.out_of_date);
}

INSTANTIATE_TEST_SUITE_P(Shapes, OriginalShapeTest, testing::ValuesIn(test::OriginalShapes()),
                         ShapeName);

// Stale hints are counted as information, for each index, against the
// entries looked at; the table is clean.
TEST(StaleHintTest, StaleHintsAreInformationWithTheirCount) {
  for (const std::string table : {"STALE", "BULK"}) {
    SCOPED_TRACE(table);
    TempDir dir;
    OriginalShapeNamed(table).make(dir.path());
    auto t = Table::Open(dir.path(), table);
    const VerifyReport report = t->verifyReport();
    EXPECT_TRUE(report.clean()) << report.lines(Severity::kError).front();
    for (const std::string& x : {table + ".X03", table + ".XG0"}) {
      const uint64_t stale = StaleHints(dir.path(), table, x);
      ASSERT_GT(stale, 0u) << x;
      const Finding* f = FindingOf(report, x, "entries whose block number is a stale hint");
      ASSERT_NE(f, nullptr) << x;
      EXPECT_EQ(f->severity, Severity::kInformation);
      EXPECT_EQ(f->count, stale);
      EXPECT_EQ(f->of, t->recordCount());
    }
  }
}

// Patches the Blk Num (or key) of entry `at` of an X file of the STALE shape.
void PatchEntry(const std::string& path, uint32_t at,
                const std::function<void(uint8_t*, const TableHeader&)>& change) {
  auto file = FileSystem::Default().open(path, OpenMode::kReadWrite);
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file->size(), 0x10000)));
  file->read(0, head.data(), head.size());
  const TableHeader x = ParseHeader(head.data(), head.size(), file->size(), path);
  RecordStore store(std::move(file), x, path);
  std::vector<uint8_t> rec(store.record(at), store.record(at) + x.record_size);
  change(rec.data(), x);
  store.overwrite(at, rec.data());
  store.flush();
}

TEST(StaleHintTest, ABlockNumberOutsideTheFileOrAMissingRecordStaysAnError) {
  struct Case {
    const char* what;
    std::function<void(uint8_t*, const TableHeader&)> change;
    std::string kind;
    bool new_key;  // the change gives the entry key 9999
  };
  auto set_block = [](int16_t block) {
    return [block](uint8_t* r, const TableHeader& x) {
      EncodeShort(r + x.fields.back().offset, block);
    };
  };
  const Case cases[] = {
      {"block 0", set_block(0), "entries whose block number is outside the table's file", false},
      {"a block past the end", set_block(30000),
       "entries whose block number is outside the table's file", false},
      {"a record that does not exist",
       [](uint8_t* r, const TableHeader& x) { EncodeLong(r + x.fields[1].offset, 9999); },
       "entries for records that do not exist", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    OriginalShapeNamed("STALE").make(dir.path());
    // The last entry (the greatest City, then the greatest Id with it):
    // raising its key keeps the order.
    const auto entries = Entries(dir.file("STALE.X03"));
    const int64_t key = c.new_key ? 9999 : entries.back().key;
    PatchEntry(dir.file("STALE.X03"), static_cast<uint32_t>(entries.size() - 1), c.change);
    EXPECT_EQ(Table::Open(dir.path(), "STALE")->verify(),
              std::vector<std::string>{"STALE.X03: " + c.kind + " (1, key (" + std::to_string(key) +
                                       "))"});
  }
}

// A renamed field keeps its indexes, listed under its current name, and
// the table is searched through them.
TEST(RenamedFieldTest, IndexesFollowTheFieldByPosition) {
  TempDir dir;
  OriginalShapeNamed("RENAMED").make(dir.path());
  auto t = Table::Open(dir.path(), "RENAMED");
  ASSERT_EQ(t->structure().fields[1].name, "Customer");
  std::map<std::string, std::vector<std::string>> keys_of;
  for (const auto& ix : t->structure().indexes) {
    EXPECT_FALSE(ix.out_of_date) << ix.file;
    if (!ix.primary) keys_of[ix.name] = ix.key_fields;
  }
  EXPECT_EQ(keys_of, (std::map<std::string, std::vector<std::string>>{
                         {"Customer", {"Customer"}}, {"ByCustomer", {"Customer", "City"}}}));
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
  // Through the simple index: the records named "apple" (ids 1, 11, 21, 31).
  size_t simple = 0;
  for (size_t k = 0; k < t->secondaryCount(); ++k) {
    if (t->structure().indexes[k + 1].name == "Customer") simple = k;
  }
  const uint32_t from = t->indexLowerBound(simple, {Value{std::string("apple")}});
  const uint32_t to = t->indexUpperBound(simple, {Value{std::string("apple")}});
  std::vector<int64_t> ids;
  for (uint32_t e = from; e < to; ++e) {
    ids.push_back(std::get<int64_t>(t->read(t->indexEntryRecord(simple, e))[0]));
  }
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 11, 21, 31}));
}

// ASCII upper-casing, as the test computes it.
std::string AsciiUpper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// A search of a case-insensitive index finds the records whatever the
// letter case of the key, and only those.
TEST(CaseInsensitiveIndexTest, SearchesIgnoreAsciiLetterCase) {
  TempDir dir;
  OriginalShapeNamed("CASELESS").make(dir.path());
  auto t = Table::Open(dir.path(), "CASELESS");
  ASSERT_EQ(t->secondaryCount(), 1u);
  ASSERT_TRUE(t->structure().indexes[1].case_insensitive);
  for (const std::string wanted : {"action club", "ACTION CLUB", "Action Club",
                                   "\xC3\xA9"
                                   "CLAIR"}) {
    SCOPED_TRACE(wanted);
    std::vector<int64_t> expected;
    for (uint32_t i = 0; i < t->recordCount(); ++i) {
      const Row row = t->read(i);
      if (AsciiUpper(std::get<std::string>(row[1])) == AsciiUpper(wanted)) {
        expected.push_back(std::get<int64_t>(row[0]));
      }
    }
    ASSERT_FALSE(expected.empty());
    std::vector<int64_t> found;
    const uint32_t to = t->indexUpperBound(0, {Value{wanted}});
    for (uint32_t e = t->indexLowerBound(0, {Value{wanted}}); e < to; ++e) {
      found.push_back(std::get<int64_t>(t->read(t->indexEntryRecord(0, e))[0]));
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
  }
}

// New and changed records get upper-cased entries; the check compares each
// entry with the record's upper-cased value and finds a lower-case entry.
TEST(CaseInsensitiveIndexTest, WritesAndChecksUpperCasedEntries) {
  TempDir dir;
  OriginalShapeNamed("CASELESS").make(dir.path());
  {
    auto t = Table::Open(dir.path(), "CASELESS", {true, true});
    t->insert(Row{Value{int64_t{100}}, Value{std::string("zz top")}, Value{std::string("x")}});
    t->update(0, Row{Value{int64_t{1}}, Value{std::string("quiet riot")}, Value{}});
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
  }
  std::vector<uint8_t> x;
  {
    std::ifstream in(dir.file("CASELESS.XG0"), std::ios::binary);
    x.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string bytes(x.begin(), x.end());
  EXPECT_NE(bytes.find("ZZ TOP"), std::string::npos);
  EXPECT_NE(bytes.find("QUIET RIOT"), std::string::npos);
  EXPECT_EQ(bytes.find("zz top"), std::string::npos);
  // Put an entry's text back in lower case, as a writer that does not fold
  // would have left it: it no longer matches its record's folded value.
  const size_t at = bytes.find("ZZ TOP");
  ASSERT_NE(at, std::string::npos);
  std::memcpy(x.data() + at, "zz top", 6);
  {
    std::ofstream out(dir.file("CASELESS.XG0"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(x.size()));
  }
  const auto problems = Table::Open(dir.path(), "CASELESS")->verify();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0],
            "CASELESS.XG0: entries that do not match their record's values (1, key (100))");
}

// A writer refuses an index whose fields no longer match (it could not keep
// it up to date) and rebuilds one whose entries alone are stale.
TEST(OutOfDateIndexTest, AWriterRefusesOrRebuildsIt) {
  TempDir dir;
  OriginalShapeNamed("INSERTED").make(dir.path());
  try {
    Table::Open(dir.path(), "INSERTED", {true, true});
    ADD_FAILURE() << "opened for writing";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kDataCorrupt, subcode::kIndexOutOfDate));
    EXPECT_NE(std::string(e.what()).find("INSERTED.X03: index out of date"), std::string::npos)
        << e.what();
  }
  OriginalShapeNamed("MOREROWS").make(dir.path());
  ASSERT_EQ(Entries(dir.file("MOREROWS.X03")).size(), 30u);
  { Table::Open(dir.path(), "MOREROWS", {true, true}); }
  EXPECT_EQ(Entries(dir.file("MOREROWS.X03")).size(), 40u);
  EXPECT_EQ(Table::Open(dir.path(), "MOREROWS")->verify(), std::vector<std::string>{});
}

// The secondary indexes of a real table repeat its primary index's
// consistency byte; a write through the engine keeps that byte, so the
// indexes stay current for other programs and for the check.
TEST(OutOfDateIndexTest, WritingARealTableKeepsItsIndexesCurrent) {
  TempDir dir;
  test::CopyTableFiles(test::CorpusDir() + "/leonhad_paradoxdriver/db", "CUSTOMER", dir.path());
  auto px_stamp = [&] {
    std::ifstream in(dir.file("CUSTOMER.PX"), std::ios::binary);
    in.seekg(0x2C);
    return in.get();
  };
  const int before = px_stamp();
  ASSERT_EQ(before, 26);  // the table's own byte 0x2D is 7
  {
    auto t = Table::Open(dir.path(), "CUSTOMER", {true, true});
    Row row = t->read(0);
    row[0] = Value{int64_t{9001}};
    t->insert(row);
  }
  EXPECT_EQ(px_stamp(), before);
  auto t = Table::Open(dir.path(), "CUSTOMER");
  EXPECT_EQ(t->verify(), std::vector<std::string>{});
  for (const auto& ix : t->structure().indexes) EXPECT_FALSE(ix.out_of_date) << ix.file;
}

}  // namespace
}  // namespace vellum::engine::paradox
