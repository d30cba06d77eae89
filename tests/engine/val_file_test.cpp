// Tests of the .VAL reader and writer: the real files of the corpus, round
// trips of every value type, the bytes the writer puts on disk, outdated
// footers and damaged files.
#include "engine/paradox/val_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "engine/errors.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

using Bytes8 = std::vector<uint8_t>;
using Native = std::array<uint8_t, 256>;

uint16_t Le16(const Bytes8& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const Bytes8& b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

Native NativeOf(std::initializer_list<uint8_t> bytes) {
  Native n{};
  std::copy(bytes.begin(), bytes.end(), n.begin());
  return n;
}
Native NativeText(const std::string& utf8) {
  Native n{};
  std::memcpy(n.data(), utf8.data(), utf8.size());
  return n;
}
Native NativeShort(int16_t v) { return NativeOf({uint8_t(v & 0xFF), uint8_t((v >> 8) & 0xFF)}); }
Native NativeLong(int32_t v) {
  auto u = static_cast<uint32_t>(v);
  return NativeOf({uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)});
}
Native NativeDouble(double d) {
  uint64_t u;
  std::memcpy(&u, &d, 8);
  Native n{};
  for (int i = 0; i < 8; ++i) {
    n[static_cast<size_t>(i)] = static_cast<uint8_t>(u >> (8 * i));
  }
  return n;
}

Bytes8 ReadAll(const std::string& path) {
  auto file = FileSystem::Default().open(path, OpenMode::kRead);
  return ReadWholeFile(*file);
}

// An in-memory file system, so damaged variants of a file cost no disk I/O.
class MemoryFileSystem : public FileSystem {
 public:
  std::map<std::string, Bytes8> files;

  class MemFile : public File {
   public:
    MemFile(std::string path, Bytes8* data) : path_(std::move(path)), data_(data) {}
    const std::string& path() const override { return path_; }
    uint64_t size() override { return data_->size(); }
    size_t read(uint64_t offset, void* buffer, size_t n) override {
      if (offset >= data_->size()) {
        return 0;
      }
      size_t count = std::min<uint64_t>(n, data_->size() - offset);
      std::memcpy(buffer, data_->data() + offset, count);
      return count;
    }
    void write(uint64_t offset, const void* data, size_t n) override {
      if (data_->size() < offset + n) {
        data_->resize(offset + n);
      }
      std::memcpy(data_->data() + offset, data, n);
    }
    void truncate(uint64_t size) override { data_->resize(size); }
    void sync() override {}
    bool tryLock(bool) override { return true; }
    void unlock() override {}

   private:
    std::string path_;
    Bytes8* data_;
  };

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    auto it = files.find(path);
    if (mode == OpenMode::kCreate) {
      files[path].clear();
      it = files.find(path);
    } else if (it == files.end()) {
      ThrowNotFound("no file " + path);
    }
    return std::make_unique<MemFile>(path, &it->second);
  }
  bool exists(const std::string& path) override { return files.count(path) != 0; }
  bool isDirectory(const std::string&) override { return false; }
  void remove(const std::string& path) override { files.erase(path); }
  void rename(const std::string& from, const std::string& to) override {
    files[to] = files[from];
    files.erase(from);
  }
  std::vector<std::string> list(const std::string&) override { return {}; }
  void makeDirectories(const std::string&) override {}
  void syncDirectory(const std::string&) override {}
};

// What the test needs of a table, read from its .DB header independently of
// the engine's table reader: counters, version, key fields, code page and the
// field list ({type, size} pairs at 0x78, names after the table name).
struct DbInfo {
  ValTableInfo info;
  int code_page = 437;
};

DbInfo LoadDbInfo(const std::string& db_path) {
  Bytes8 b = ReadAll(db_path);
  EXPECT_GE(b.size(), 0x78u) << db_path;
  DbInfo out;
  const size_t n = Le16(b, 0x21);
  const uint8_t version = b[0x39];
  out.info.file_version_id = version;
  out.info.change_count2 = b[0x2E];
  out.info.key_fields = Le16(b, 0x23);
  const size_t base = version >= 0x05 ? 0x78 : 0x58;
  if (version >= 0x05) {
    out.info.hi_field_id = Le16(b, 0x64);
    out.code_page = Le16(b, 0x6A);
  }
  const size_t table_name_size = version == 0x0C ? 261 : 79;
  size_t name_at = base + 2 * n + 4 + 4 * n + table_name_size;
  uint16_t offset = 0;
  for (size_t i = 0; i < n; ++i) {
    PxField f;
    f.type = static_cast<PxType>(b[base + 2 * i]);
    f.size_byte = b[base + 2 * i + 1];
    f.length = static_cast<uint16_t>(StorageSize(f.type, f.size_byte));
    f.offset = offset;
    offset = static_cast<uint16_t>(offset + f.length);
    size_t len = 0;
    while (b.at(name_at + len) != 0) {
      ++len;
    }
    f.name.assign(reinterpret_cast<const char*>(&b[name_at]), len);
    name_at += len + 1;
    out.info.fields.push_back(f);
  }
  return out;
}

std::string CorpusFile(const std::string& relative) {
  return test::CorpusDir() + "/leonhad_paradoxdriver/" + relative;
}

// The table file beside a .VAL (same stem, extension .DB in any case).
std::string DbBeside(const std::string& val_path) {
  std::filesystem::path p(val_path);
  bool found = false;
  std::string db = ResolveCaseInsensitive(FileSystem::Default(), p.parent_path().string(),
                                          p.stem().string() + ".DB", &found);
  EXPECT_TRUE(found) << val_path;
  return db;
}

std::vector<ValidityCheck> ReadCorpusVal(const std::string& val_path) {
  DbInfo db = LoadDbInfo(DbBeside(val_path));
  CodePage cp(db.code_page);
  return ReadValFile(FileSystem::Default(), val_path, db.info, cp);
}

// A check as expected from a file's bytes.
struct Expected {
  uint16_t field;
  bool required;
  std::string picture;
  std::string lookup;
  uint8_t lookup_options = 0;
  bool has_min = false;
  bool has_max = false;
};

void ExpectChecks(const std::string& file, const std::vector<ValidityCheck>& got,
                  const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size()) << file;
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(file + " check " + std::to_string(i + 1));
    EXPECT_EQ(got[i].field_number, want[i].field);
    EXPECT_EQ(got[i].required, want[i].required);
    EXPECT_EQ(got[i].picture, want[i].picture);
    EXPECT_EQ(got[i].lookup_table, want[i].lookup);
    EXPECT_EQ(got[i].lookup_options, want[i].lookup_options);
    EXPECT_EQ(got[i].has_min, want[i].has_min);
    EXPECT_EQ(got[i].has_max, want[i].has_max);
  }
}

// The picture that CUSTOMER and FILMS give their long text fields.
const std::string kWordsPicture = "!*[{ ,.,(,;,}*{ ,.,(,;,}!,@]";

// ---------------------------------------------------------------------------
// The corpus: what xxd shows in each file.

const std::map<std::string, std::vector<Expected>>& CorpusExpectations() {
  static const std::map<std::string, std::vector<Expected>> expectations = {
      {"areas/ZIPCODES.VAL", {{1, false, "#####", ""}, {2, false, "&&", ""}}},
      {"db/AREACODE.VAL", {{1, false, "###", ""}, {4, false, "&&", ""}}},
      {"fields/logical.val", {{1, true, "", ""}}},
      {"history/7989240b-parent/joins/secondary.val",
       {{1, true, "", "primary.DB", kLookupHelpAndFill}, {2, true, "", ""}}},
      {"history/d1559bcc-parent/db/DECIMAL.VAL", {{1, true, "", ""}}},
      {"joins/A.VAL", {}},
      {"joins/B.VAL", {}},
      {"joins/C.VAL", {{1, true, "", ""}, {2, true, "", ""}}},
      {"joins/fk1.val", {}},
      {"joins/fk2.val", {}},
      {"joins/fk3.val", {}},
      {"joins/fk4.val", {}},
      {"joins/joinb.val", {{1, false, "", "joina.db", kLookupHelpAndFill}}},
      {"joins/multiple.val", {{2, true, "", ""}, {3, false, "[(*3{#}) ]*3{#}-*4{#}", ""}}},
      {"joins/origin.val", {{2, false, "", "destination.db", kLookupHelpAndFill}}},
      {"joins/paradox-ascii.val", {{1, true, "", ""}}},
      {"joins/primary.val", {}},
      {"joins/to_multiple.val", {}},
      {"joins/two.val", {}},
      // The old layout of level-3 tables. Entries that check nothing (CUSTOMER
      // 9-11, FILMS 3 and 9) are passed over.
      {"mtdemo/CUSTOMER.VAL",
       {{1, false, "*!", ""},
        {2, false, "!*@", ""},
        {3, false, "!*@", ""},
        {4, false, kWordsPicture, ""},
        {5, false, kWordsPicture, ""},
        {6, false, "&&", ""},
        {7, false, "#####[-####]", ""},
        {8, false, "###-###{#,-####}", ""}}},
      {"mtdemo/EMPLOYEE.VAL",
       {{1, false, "*!", "STORE.DB", kLookupAllFields | kLookupHelpAndFill}}},
      {"mtdemo/FILMS.VAL",
       {{1, false, "*!", ""},
        {2, false, kWordsPicture, ""},
        {4, false, kWordsPicture, ""},
        {6, false, "####", "", 0, true, true},
        {7, false, "G,PG,R,X", ""},
        {8, false, "", "", 0, true, false}}},
      {"mtdemo/STORE.VAL",
       {{1, false, "*!", ""}, {2, false, "!*@", ""}, {3, false, "!*@", ""}, {4, false, "!!", ""}}},
      {"mtdemo/TAXRATE.VAL", {{1, false, "*!", ""}, {2, false, "!!", ""}}},
  };
  return expectations;
}

TEST(ValFileCorpus, ReadsEveryCorpusFileWithTheChecksItHolds) {
  std::set<std::string> seen;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(test::CorpusDir())) {
    if (!entry.is_regular_file()) {
      continue;
    }
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext != ".val") {
      continue;
    }
    const std::string path = entry.path().string();
    SCOPED_TRACE(path);
    std::vector<ValidityCheck> checks;
    ASSERT_NO_THROW(checks = ReadCorpusVal(path));
    std::string relative =
        std::filesystem::relative(entry.path(), test::CorpusDir() + "/leonhad_paradoxdriver")
            .generic_string();
    auto it = CorpusExpectations().find(relative);
    if (it != CorpusExpectations().end()) {
      seen.insert(relative);
      ExpectChecks(relative, checks, it->second);
    }
  }
  EXPECT_EQ(seen.size(), CorpusExpectations().size());
}

TEST(ValFileCorpus, LogicalDefaultIsTrueAndRequired) {
  auto checks = ReadCorpusVal(CorpusFile("fields/logical.val"));
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].field_number, 1);
  EXPECT_TRUE(checks[0].required);
  EXPECT_TRUE(checks[0].has_default);
  EXPECT_FALSE(checks[0].has_min);
  EXPECT_FALSE(checks[0].has_max);
  // The file stores 0x81, the record encoding of true.
  EXPECT_EQ(checks[0].def, NativeOf({0xFF, 0xFF}));
  EXPECT_EQ(checks[0].min, Native{});
}

TEST(ValFileCorpus, Level7FooterWithLongTableNameIsRead) {
  // DECIMAL.VAL has version 0x0C: a 261-byte table name in its footer.
  const std::string path = CorpusFile("history/d1559bcc-parent/db/DECIMAL.VAL");
  Bytes8 raw = ReadAll(path);
  ASSERT_EQ(raw[1], 0x0C);
  ASSERT_EQ(Le16(raw, Le32(raw, 0x09) + 4), 261 + 21);  // "ID Data Number Money"
  auto checks = ReadCorpusVal(path);
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].field_number, 1);
  EXPECT_TRUE(checks[0].required);
  EXPECT_FALSE(checks[0].has_default);
}

TEST(ValFileCorpus, Level3ValuesAreInRecordEncoding) {
  // FILMS.VAL: Year (a Number) between c0 9d b0 00.. and c0 9f 3c 00..,
  // which are 1900 and 1999; Rental Fee (Money) at least 80 00.., 0.
  auto checks = ReadCorpusVal(CorpusFile("mtdemo/FILMS.VAL"));
  ASSERT_EQ(checks.size(), 6u);
  EXPECT_EQ(checks[3].min, NativeDouble(1900));
  EXPECT_EQ(checks[3].max, NativeDouble(1999));
  EXPECT_EQ(checks[5].min, NativeDouble(0));
}

TEST(ValFileCorrupt, Level3FilesShorterThanTheirEntriesAreCorrupt) {
  MemoryFileSystem fs;
  fs.files["OLD.VAL"] = {0x05, 0x01, 0x02, 0x13, 0x77};
  // A header announcing one entry, and 10 bytes of it.
  Bytes8 cut(0x35 + 10, 0);
  cut[1] = 0x01;
  cut[2] = 1;
  fs.files["CUT.VAL"] = cut;
  ValTableInfo info;
  info.fields.push_back(PxField{"A", PxType::kAlpha, 10, 0, 10, false});
  CodePage cp(437);
  for (const char* file : {"OLD.VAL", "CUT.VAL"}) {
    SCOPED_TRACE(file);
    try {
      ReadValFile(fs, file, info, cp);
      ADD_FAILURE() << "read";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.category(), ErrorCategory::kDataCorrupt);
    }
  }
}

// ---------------------------------------------------------------------------
// Rewriting the checks of engine-written files gives the same bytes, apart
// from the run-time pointers (header 0x03-0x06 and the six "present" words of
// each entry, whose being zero or not must agree).

struct RewriteCase {
  std::string file;
  std::string table_name;
  std::vector<size_t> entries;  // offsets of the check entries
  // Byte ranges [first, end) of run-time garbage: the old layout's header
  // after byte 2, the unused part of a lookup.
  std::vector<std::pair<size_t, size_t>> garbage = {};
};

void ExpectRewriteMatches(const RewriteCase& c) {
  SCOPED_TRACE(c.file);
  const std::string path = CorpusFile(c.file);
  DbInfo db = LoadDbInfo(DbBeside(path));
  db.info.table_name = c.table_name;
  CodePage cp(db.code_page);
  RefIntegrity integrity;
  auto checks = ReadValFile(FileSystem::Default(), path, db.info, cp, &integrity);
  test::TempDir dir;
  const std::string out = dir.file("OUT.VAL");
  WriteValFile(FileSystem::Default(), out, db.info, checks, cp, integrity);
  Bytes8 want = ReadAll(path);
  Bytes8 got = ReadAll(out);
  ASSERT_EQ(got.size(), want.size());
  std::vector<size_t> words = {0x03};
  for (size_t e : c.entries) {
    for (size_t k = 0; k < 6; ++k) {
      words.push_back(e + 4 + 4 * k);
    }
  }
  std::vector<bool> masked(want.size(), false);
  for (const auto& [first, end] : c.garbage) {
    std::fill(masked.begin() + static_cast<long>(first), masked.begin() + static_cast<long>(end),
              true);
  }
  for (size_t w : words) {
    for (size_t k = 0; k < 4; ++k) {
      masked[w + k] = true;
    }
    if (w != 0x03) {
      EXPECT_EQ(Le32(got, w) != 0, Le32(want, w) != 0) << "present word at " << w;
    }
  }
  for (size_t i = 0; i < want.size(); ++i) {
    if (!masked[i]) {
      EXPECT_EQ(got[i], want[i]) << "byte " << i;
    }
  }
  // And the rewritten file reads back to the same checks and links.
  RefIntegrity again;
  EXPECT_EQ(ReadValFile(FileSystem::Default(), out, db.info, cp, &again), checks);
  EXPECT_EQ(again, integrity);
}

TEST(ValFileWrite, RewriteOfLogicalDefaultMatchesEngineFile) {
  ExpectRewriteMatches({"fields/logical.val", "C:\\Paradox\\db\\resttemp.DB", {0x35}});
}

TEST(ValFileWrite, RewriteOfPicturesMatchesEngineFiles) {
  ExpectRewriteMatches({"areas/ZIPCODES.VAL", "\\PPC\\RESTTEMP.DB", {0x35, 0x57}});
  ExpectRewriteMatches({"db/AREACODE.VAL", "RESTTEMP.DB", {0x35, 0x55}});
}

TEST(ValFileWrite, RewriteOfRequiredChecksMatchesEngineFiles) {
  ExpectRewriteMatches(
      {"history/d1559bcc-parent/db/DECIMAL.VAL", "C:\\temp\\a\\resttemp.DB", {0x35}});
  ExpectRewriteMatches(
      {"joins/paradox-ascii.val", "C:\\Projetos\\charset\\paradox-ascii.db", {0x35}});
}

PxField Field(const std::string& name, PxType type, uint8_t size_byte, uint16_t offset) {
  PxField f;
  f.name = name;
  f.type = type;
  f.size_byte = size_byte;
  f.offset = offset;
  f.length = static_cast<uint16_t>(StorageSize(type, size_byte));
  return f;
}

TEST(ValFileWrite, RewriteOfLevel3FilesMatchesEngineFiles) {
  const std::pair<size_t, size_t> header = {0x03, 0x35};
  ExpectRewriteMatches({"mtdemo/STORE.VAL", "", {0x35, 0x54, 0x74, 0x94}, {header}});
  ExpectRewriteMatches({"mtdemo/TAXRATE.VAL", "", {0x35, 0x54}, {header}});
  // EMPLOYEE's lookup: "STORE.DB" and its NUL at 0x51, garbage to 0xA1.
  ExpectRewriteMatches({"mtdemo/EMPLOYEE.VAL", "", {0x35}, {header, {0x5A, 0xA1}}});
}

TEST(ValFileWrite, RewriteOfLookupsMatchesEngineFiles) {
  // origin.val: the lookup "destination.db" at 0x51, zeros after it.
  // (Its footer names the table "B.db".)
  ExpectRewriteMatches({"joins/origin.val", "C:\\Projetos\\Paradox\\B.db", {0x35}});
}

TEST(ValFileWrite, RewriteOfReferentialIntegrityMatchesEngineFiles) {
  ExpectRewriteMatches({"joins/fk1.val", "C:\\Projetos\\Paradox\\fk1.DB", {}});
  ExpectRewriteMatches({"joins/primary.val", "C:\\Projetos\\Paradox\\primary.db", {}});
  ExpectRewriteMatches({"joins/C.VAL", "C:\\Paradox\\db\\C.DB", {0x35, 0x51}});
  ExpectRewriteMatches({"joins/multiple.val", "C:\\Projetos\\Paradox\\multiple.DB", {0x35, 0x51}});
}

TEST(ValFileCorpus, ReferentialIntegrityLinksAreRead) {
  struct Case {
    std::string file;
    std::vector<RefIntegrityLink> links;  // stored bytes not compared
    bool master;
  };
  // What xxd shows: link name at 0, master table at 0xD4, rule at 0x19A,
  // field count at 0x19E, field numbers at 0x1A0 and 0x1C0 of each link.
  const Case cases[] = {
      {"joins/fk1.val", {{"reference", "primary.db", {2}, {1}, true, {}}}, false},
      {"joins/fk2.val", {{"reference", "primary.db", {2}, {1}, false, {}}}, false},
      {"joins/fk4.val", {{"reference", "two.db", {2, 4}, {1, 2}, true, {}}}, false},
      {"joins/C.VAL",
       {{"Reference A", "A.db", {2}, {1}, true, {}}, {"Reference B", "B.db", {3}, {1}, true, {}}},
       false},
      {"joins/primary.val", {}, true},
      {"joins/A.VAL", {}, true},
      {"joins/multiple.val",
       {{"fk2", "primary.db", {4}, {1}, true, {}},
        {"fk_multiple_primary", "primary.db", {2}, {1}, true, {}}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = CorpusFile(c.file);
    DbInfo db = LoadDbInfo(DbBeside(path));
    CodePage cp(db.code_page);
    RefIntegrity integrity;
    ReadValFile(FileSystem::Default(), path, db.info, cp, &integrity);
    for (auto& link : integrity.links) {
      EXPECT_EQ(link.stored.size(), 0x1E0u);
      link.stored.clear();
    }
    EXPECT_EQ(integrity.links, c.links);
    EXPECT_EQ(!integrity.master_part.empty(), c.master);
  }
}

TEST(ValFileWrite, LinksAreWrittenWithTheFieldsTheyNameNow) {
  // fk1's link on FK (field 2) written for a table where FK is field 3.
  const std::string path = CorpusFile("joins/fk1.val");
  DbInfo db = LoadDbInfo(DbBeside(path));
  CodePage cp(db.code_page);
  RefIntegrity integrity;
  ReadValFile(FileSystem::Default(), path, db.info, cp, &integrity);
  ASSERT_EQ(integrity.links.size(), 1u);
  ValTableInfo moved = db.info;
  moved.fields.insert(moved.fields.begin() + 1, Field("NEW", PxType::kShort, 2, 0));
  integrity.links[0].fields = {3};
  MemoryFileSystem fs;
  WriteValFile(fs, "FK1.VAL", moved, {}, cp, integrity);
  const Bytes8& b = fs.files["FK1.VAL"];
  const size_t link = Le32(b, 0x0D) + 2;
  EXPECT_EQ(Le16(b, Le32(b, 0x0D)), 1);  // one link
  EXPECT_EQ(Le16(b, link + 0x19E), 1);   // of one field,
  EXPECT_EQ(Le16(b, link + 0x1A0), 3);   // now the third
  EXPECT_EQ(Le16(b, link + 0x1C0), 1);   // on the master's first
  EXPECT_EQ(Le32(b, link + 0x19A), 1u);  // cascading
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[link])), "reference");
}

TEST(ValFileWrite, ValuesAreStoredInRecordEncoding) {
  ValTableInfo info;
  info.table_name = "NUMS.DB";
  info.file_version_id = 0x09;
  info.change_count2 = 0x42;
  info.hi_field_id = 4;
  info.key_fields = 1;
  info.fields = {Field("S", PxType::kShort, 2, 0), Field("L", PxType::kLong, 4, 2),
                 Field("N", PxType::kNumber, 8, 6)};
  ValidityCheck c1;
  c1.field_number = 1;
  c1.has_min = c1.has_max = true;
  c1.min = NativeShort(-5);
  c1.max = NativeShort(1000);
  ValidityCheck c2;
  c2.field_number = 2;
  c2.required = true;
  c2.has_default = true;
  c2.def = NativeLong(256);
  ValidityCheck c3;
  c3.field_number = 3;
  c3.has_min = true;
  c3.min = NativeDouble(1.0);
  c3.picture = "#.#";

  MemoryFileSystem fs;
  CodePage cp(437);
  WriteValFile(fs, "NUMS.VAL", info, {c1, c2, c3}, cp);
  const Bytes8& b = fs.files["NUMS.VAL"];

  EXPECT_EQ(b[0], 0x42);
  EXPECT_EQ(b[1], 0x09);
  EXPECT_EQ(b[2], 3);
  EXPECT_EQ(Le16(b, 0x07), 4);
  EXPECT_EQ(Le32(b, 0x0D), 0u);
  for (size_t i = 0x11; i < 0x35; ++i) {
    EXPECT_EQ(b[i], 0) << i;
  }
  // Entry 1 at 0x35: minimum and maximum present.
  EXPECT_EQ(b[0x35], 0);
  EXPECT_EQ(b[0x36], 0);
  EXPECT_EQ(b[0x37], 0);
  EXPECT_NE(Le32(b, 0x35 + 0x0C), 0u);
  EXPECT_NE(Le32(b, 0x35 + 0x10), 0u);
  EXPECT_EQ(Le32(b, 0x35 + 0x14), 0u);
  EXPECT_EQ(Le32(b, 0x35 + 0x18), 0u);
  EXPECT_EQ(Bytes8(b.begin() + 0x51, b.begin() + 0x55), (Bytes8{0x7F, 0xFB, 0x83, 0xE8}));
  // Entry 2 at 0x55: required, default 256.
  EXPECT_EQ(b[0x55], 1);
  EXPECT_EQ(b[0x57], 1);
  EXPECT_NE(Le32(b, 0x55 + 0x14), 0u);
  EXPECT_EQ(Bytes8(b.begin() + 0x71, b.begin() + 0x75), (Bytes8{0x80, 0x00, 0x01, 0x00}));
  // Entry 3 at 0x75: minimum 1.0 and picture "#.#" (4 bytes with its NUL).
  EXPECT_EQ(b[0x75], 2);
  EXPECT_EQ(b[0x76], 4);
  EXPECT_NE(Le32(b, 0x75 + 0x18), 0u);
  EXPECT_EQ(Bytes8(b.begin() + 0x91, b.begin() + 0x99),
            (Bytes8{0xBF, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes8(b.begin() + 0x99, b.begin() + 0x9D), (Bytes8{'#', '.', '#', 0}));
  // Footer at 0x9D.
  ASSERT_EQ(Le32(b, 0x09), 0x9Du);
  EXPECT_EQ(Le16(b, 0x9D), 3);
  EXPECT_EQ(Le16(b, 0x9F), 1);
  EXPECT_EQ(Le16(b, 0xA1), 79 + 6);
  EXPECT_EQ(Bytes8(b.begin() + 0xA3, b.begin() + 0xAF),
            (Bytes8{1, 0, 2, 0, 3, 0, 0x03, 0x02, 0x04, 0x04, 0x06, 0x08}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0xAF])), "NUMS.DB");
  EXPECT_EQ(b[0xAF + 78], 0);
  EXPECT_EQ(Bytes8(b.begin() + 0xAF + 79, b.end()), (Bytes8{'S', 0, 'L', 0, 'N', 0}));
}

TEST(ValFileWrite, Level7UsesTheLongTableNameAndHiFieldIdDefault) {
  ValTableInfo info;
  info.table_name = "SEVEN.DB";
  info.file_version_id = 0x0C;
  info.fields = {Field("ID", PxType::kLong, 4, 0), Field("Name", PxType::kAlpha, 10, 4)};
  ValidityCheck c;
  c.field_number = 2;
  c.required = true;
  MemoryFileSystem fs;
  CodePage cp(1252);
  WriteValFile(fs, "SEVEN.VAL", info, {c}, cp);
  const Bytes8& b = fs.files["SEVEN.VAL"];
  EXPECT_EQ(Le16(b, 0x07), 3);  // hiFieldID defaults to field count + 1
  const size_t footer = Le32(b, 0x09);
  EXPECT_EQ(footer, 0x35u + 0x1C);
  EXPECT_EQ(Le16(b, footer + 4), 261 + 3 + 5);
  EXPECT_EQ(b.size(), footer + 6 + 8 + 261 + 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[footer + 14 + 261])), "ID");
  EXPECT_EQ(ReadValFile(fs, "SEVEN.VAL", info, cp), std::vector<ValidityCheck>{c});
}

TEST(ValFileWrite, RejectsRequestsItCannotStore) {
  ValTableInfo info;
  info.fields = {Field("A", PxType::kShort, 2, 0), Field("M", PxType::kMemo, 20, 2)};
  MemoryFileSystem fs;
  CodePage cp(437);
  auto category_of = [&](const std::vector<ValidityCheck>& checks, const ValTableInfo& i,
                         const RefIntegrity& integrity = {}) {
    try {
      WriteValFile(fs, "X.VAL", i, checks, cp, integrity);
    } catch (const EDBEngineError& e) {
      return static_cast<int>(e.category());
    }
    return 0;
  };
  const int invalid = static_cast<int>(ErrorCategory::kInvalidRequest);
  ValidityCheck none;
  none.field_number = 0;
  ValidityCheck beyond;
  beyond.field_number = 3;
  ValidityCheck first;
  first.field_number = 1;
  first.required = true;
  ValidityCheck memo_default;
  memo_default.field_number = 2;
  memo_default.has_default = true;
  EXPECT_EQ(category_of({none}, info), invalid);
  EXPECT_EQ(category_of({beyond}, info), invalid);
  EXPECT_EQ(category_of({first, first}, info), invalid);
  EXPECT_EQ(category_of({memo_default}, info), invalid);
  // Level 3 has no referential integrity; a version below it no layout.
  ValTableInfo level3 = info;
  level3.file_version_id = 0x03;
  RefIntegrity link;
  link.links.push_back({"L", "M.DB", {1}, {1}, false, {}});
  EXPECT_EQ(category_of({first}, level3, link), invalid);
  EXPECT_EQ(category_of({first}, level3), 0);
  ValTableInfo unknown = info;
  unknown.file_version_id = 0x02;
  EXPECT_EQ(category_of({first}, unknown), invalid);
  // Text is never replaced: a picture the code page cannot hold, a lookup
  // name longer than its 25 bytes, a link on a field the table lacks.
  ValidityCheck hebrew = first;
  hebrew.picture = "\xD7\x90\xD7\x91";  // alef bet
  EXPECT_EQ(category_of({hebrew}, info), invalid);
  ValidityCheck long_lookup = first;
  long_lookup.lookup_table = std::string(26, 'L');
  EXPECT_EQ(category_of({long_lookup}, info), invalid);
  link.links[0].fields = {3};
  EXPECT_EQ(category_of({first}, info, link), invalid);
  EXPECT_EQ(category_of({first}, info), 0);
}

// ---------------------------------------------------------------------------
// Conversions between record encoding and native form, per type.

struct ConversionCase {
  PxField field;
  Bytes8 record;
  Native native;
};

TEST(ValConversion, EveryTypeConvertsBothWays) {
  CodePage cp(1252);
  Bytes8 bcd = {0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xDC};  // -1.23, scale 2
  Native bcd_native{};
  std::copy(bcd.begin(), bcd.end(), bcd_native.begin());
  const std::vector<ConversionCase> cases = {
      {Field("A", PxType::kAlpha, 6, 0),
       {'C', 'a', 'f', 0xE9, 0, 0},
       NativeOf({'C', 'a', 'f', 0xC3, 0xA9, 0})},
      {Field("A", PxType::kAlpha, 3, 0), {'a', 'b', 'c'}, NativeOf({'a', 'b', 'c', 0})},
      {Field("L", PxType::kLogical, 1, 0), {0x81}, NativeOf({0xFF, 0xFF})},
      {Field("L", PxType::kLogical, 1, 0), {0x80}, NativeOf({0x00, 0x00})},
      {Field("S", PxType::kShort, 2, 0), {0x80, 0x01}, NativeOf({0x01, 0x00})},
      {Field("S", PxType::kShort, 2, 0), {0x7F, 0xFF}, NativeOf({0xFF, 0xFF})},
      {Field("S", PxType::kShort, 2, 0), {0x81, 0x00}, NativeOf({0x00, 0x01})},
      {Field("I", PxType::kLong, 4, 0),
       {0x7F, 0xFF, 0xFF, 0xFE},
       NativeOf({0xFE, 0xFF, 0xFF, 0xFF})},
      {Field("+", PxType::kAutoInc, 4, 0),
       {0x80, 0x00, 0x01, 0x00},
       NativeOf({0x00, 0x01, 0x00, 0x00})},
      // 1 January 2018 = day 736695.
      {Field("D", PxType::kDate, 4, 0),
       {0x80, 0x0B, 0x3D, 0xB7},
       NativeOf({0xB7, 0x3D, 0x0B, 0x00})},
      // 01:00:01 = 3601000 ms.
      {Field("T", PxType::kTime, 4, 0),
       {0x80, 0x36, 0xF2, 0x68},
       NativeOf({0x68, 0xF2, 0x36, 0x00})},
      {Field("N", PxType::kNumber, 8, 0),
       {0xBF, 0xF0, 0, 0, 0, 0, 0, 0},
       NativeOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {Field("N", PxType::kNumber, 8, 0),
       {0x3F, 0x96, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       NativeOf({0, 0, 0, 0, 0, 0, 0x69, 0xC0})},  // -200.0
      {Field("$", PxType::kMoney, 8, 0),
       {0xC0, 0x59, 0x20, 0, 0, 0, 0, 0},
       NativeOf({0, 0, 0, 0, 0, 0x20, 0x59, 0x40})},  // 100.5
      // 2020-02-01 01:00:01 = 63716202001000 ms.
      {Field("@", PxType::kTimestamp, 8, 0),
       {0xC2, 0xCC, 0xF9, 0x8A, 0xCB, 0x19, 0x34, 0x00},
       NativeOf({0x00, 0x34, 0x19, 0xCB, 0x8A, 0xF9, 0xCC, 0x42})},
      {Field("#", PxType::kBcd, 2, 0), bcd, bcd_native},
      {Field("Y", PxType::kBytes, 4, 0),
       {0x00, 0x80, 0xFF, 0x01},
       NativeOf({0x00, 0x80, 0xFF, 0x01})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(PxTypeLetter(c.field.type)) + " " + std::to_string(c.record[0]));
    ASSERT_EQ(c.record.size(), c.field.length);
    Native native;
    native.fill(0xAA);
    RecordToNative(c.field, c.record.data(), native.data(), cp);
    EXPECT_EQ(native, c.native);
    Bytes8 record(c.field.length, 0xAA);
    NativeToRecord(c.field, c.native.data(), record.data(), cp);
    EXPECT_EQ(record, c.record);
  }
}

TEST(ValConversion, NullRecordValuesGiveZeroAndBlobsNothing) {
  CodePage cp(437);
  Native native;
  native.fill(0x55);
  const uint8_t zeros[8] = {};
  RecordToNative(Field("I", PxType::kLong, 4, 0), zeros, native.data(), cp);
  EXPECT_EQ(native, Native{});
  native.fill(0x55);
  RecordToNative(Field("N", PxType::kNumber, 8, 0), zeros, native.data(), cp);
  EXPECT_EQ(native, NativeDouble(0.0));

  Bytes8 record(20, 0x77);
  PxField memo = Field("M", PxType::kMemo, 20, 0);
  NativeToRecord(memo, NativeText("text").data(), record.data(), cp);
  EXPECT_EQ(record, Bytes8(20, 0x77));
}

TEST(ValConversion, AlphaIsCutToTheFieldAndPaddedWithZeros) {
  CodePage cp(850);
  PxField f = Field("A", PxType::kAlpha, 4, 0);
  Bytes8 record(4, 0xAA);
  NativeToRecord(f, NativeText("Zürich").data(), record.data(), cp);
  EXPECT_EQ(record, (Bytes8{'Z', 0x81, 'r', 'i'}));  // u-umlaut is 0x81 in CP850
  NativeToRecord(f, NativeText("ab").data(), record.data(), cp);
  EXPECT_EQ(record, (Bytes8{'a', 'b', 0, 0}));
}

// ---------------------------------------------------------------------------
// Round trips through the file of required, minimum, maximum and default for
// every type that has values.

ValTableInfo AllTypesTable() {
  ValTableInfo info;
  info.table_name = "ALLTYPES.DB";
  info.file_version_id = 0x0C;
  info.change_count2 = 7;
  info.hi_field_id = 14;
  info.key_fields = 1;
  uint16_t off = 0;
  auto add = [&](const char* name, PxType type, uint8_t size) {
    info.fields.push_back(Field(name, type, size, off));
    off = static_cast<uint16_t>(off + info.fields.back().length);
  };
  add("Name", PxType::kAlpha, 20);
  add("Small", PxType::kShort, 2);
  add("Count", PxType::kLong, 4);
  add("Ratio", PxType::kNumber, 8);
  add("Price", PxType::kMoney, 8);
  add("Flag", PxType::kLogical, 1);
  add("Day", PxType::kDate, 4);
  add("Clock", PxType::kTime, 4);
  add("Stamp", PxType::kTimestamp, 8);
  add("Amount", PxType::kBcd, 2);
  add("Raw", PxType::kBytes, 6);
  add("Seq", PxType::kAutoInc, 4);
  add("Notes", PxType::kMemo, 20);
  return info;
}

std::vector<ValidityCheck> AllTypesChecks() {
  auto check = [](uint16_t field, bool required) {
    ValidityCheck c;
    c.field_number = field;
    c.required = required;
    return c;
  };
  auto values = [](ValidityCheck c, const Native* min, const Native* max, const Native* def) {
    if (min != nullptr) {
      c.has_min = true;
      c.min = *min;
    }
    if (max != nullptr) {
      c.has_max = true;
      c.max = *max;
    }
    if (def != nullptr) {
      c.has_default = true;
      c.def = *def;
    }
    return c;
  };
  Native bcd_min{}, bcd_max{};
  const uint8_t neg[17] = {0x42, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xDC};
  const uint8_t pos[17] = {0xC2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23};
  std::copy(std::begin(neg), std::end(neg), bcd_min.begin());
  std::copy(std::begin(pos), std::end(pos), bcd_max.begin());
  Native a_min = NativeText("A"), a_max = NativeText("Zürich"), a_def = NativeText("Café");
  Native s_min = NativeShort(-5), s_max = NativeShort(1000), s_def = NativeShort(7);
  Native l_min = NativeLong(-100000), l_max = NativeLong(2000000000), l_def = NativeLong(0);
  Native n_min = NativeDouble(-1.5), n_max = NativeDouble(1e10), n_def = NativeDouble(3.25);
  Native m_min = NativeDouble(0.0), m_max = NativeDouble(99999.99), m_def = NativeDouble(100.5);
  Native b_def = NativeOf({0, 0});
  Native d_min = NativeLong(736695), d_max = NativeLong(766644), d_def = NativeLong(738000);
  Native t_min = NativeLong(0), t_max = NativeLong(86399999), t_def = NativeLong(3601000);
  Native ts_min = NativeDouble(86400000.0), ts_def = NativeDouble(63716202001000.0);
  Native y_def = NativeOf({1, 2, 3, 0, 5, 6});
  Native seq_min = NativeLong(1);

  ValidityCheck name = values(check(1, true), &a_min, &a_max, &a_def);
  name.picture = "&*?";
  ValidityCheck notes = check(13, true);
  notes.picture = "*!";
  return {name,
          values(check(2, false), &s_min, &s_max, &s_def),
          values(check(3, false), &l_min, &l_max, &l_def),
          values(check(4, true), &n_min, &n_max, &n_def),
          values(check(5, false), &m_min, &m_max, &m_def),
          values(check(6, true), nullptr, nullptr, &b_def),
          values(check(7, false), &d_min, &d_max, &d_def),
          values(check(8, false), &t_min, &t_max, &t_def),
          values(check(9, false), &ts_min, nullptr, &ts_def),
          values(check(10, false), &bcd_min, &bcd_max, nullptr),
          values(check(11, false), nullptr, nullptr, &y_def),
          values(check(12, true), &seq_min, nullptr, nullptr),
          notes};
}

TEST(ValFileRoundTrip, EveryTypeReadsBackAsWritten) {
  ValTableInfo info = AllTypesTable();
  std::vector<ValidityCheck> checks = AllTypesChecks();
  test::TempDir dir;
  CodePage cp(1252);
  const std::string path = dir.file("ALLTYPES.VAL");
  WriteValFile(FileSystem::Default(), path, info, checks, cp);
  std::vector<ValidityCheck> back = ReadValFile(FileSystem::Default(), path, info, cp);
  ASSERT_EQ(back.size(), checks.size());
  for (size_t i = 0; i < checks.size(); ++i) {
    EXPECT_EQ(back[i], checks[i]) << "check on field " << checks[i].field_number;
  }
  // The Alpha maximum is stored in the code page: "Z\xFCrich".
  Bytes8 raw = ReadAll(path);
  const uint8_t zurich[] = {'Z', 0xFC, 'r', 'i', 'c', 'h', 0};
  EXPECT_NE(std::search(raw.begin(), raw.end(), std::begin(zurich), std::end(zurich)), raw.end());
}

TEST(ValFileRoundTrip, EachTypeAloneRoundTripsAtLevels4And7) {
  const ValTableInfo all = AllTypesTable();
  const std::vector<ValidityCheck> checks = AllTypesChecks();
  CodePage cp(1252);
  for (uint8_t version : {uint8_t{0x09}, uint8_t{0x0B}, uint8_t{0x0C}}) {
    for (const ValidityCheck& c : checks) {
      ValTableInfo info = all;
      info.file_version_id = version;
      MemoryFileSystem fs;
      WriteValFile(fs, "T.VAL", info, {c}, cp);
      EXPECT_EQ(ReadValFile(fs, "T.VAL", info, cp), std::vector<ValidityCheck>{c})
          << "version " << int(version) << " field " << c.field_number;
    }
  }
}

// ---------------------------------------------------------------------------
// Footers that no longer match the table.

TEST(ValFileOutdated, ChecksFollowTheirFieldsByName) {
  ValTableInfo old_info;
  old_info.table_name = "STOCK.DB";
  old_info.fields = {Field("Name", PxType::kAlpha, 10, 0), Field("Qty", PxType::kShort, 2, 10),
                     Field("Price", PxType::kMoney, 8, 12)};
  ValidityCheck qty;
  qty.field_number = 2;
  qty.required = true;
  qty.has_min = true;
  qty.min = NativeShort(1);
  ValidityCheck price;
  price.field_number = 3;
  price.has_default = true;
  price.def = NativeDouble(9.5);
  MemoryFileSystem fs;
  CodePage cp(437);
  WriteValFile(fs, "STOCK.VAL", old_info, {qty, price}, cp);

  // Qty dropped, Price moved first, Name renamed in letter case only.
  ValTableInfo now = old_info;
  now.fields = {Field("PRICE", PxType::kMoney, 8, 0), Field("name", PxType::kAlpha, 10, 8)};
  auto checks = ReadValFile(fs, "STOCK.VAL", now, cp);
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].field_number, 1);
  EXPECT_TRUE(checks[0].has_default);
  EXPECT_EQ(checks[0].def, NativeDouble(9.5));

  // Qty became a Long: its minimum no longer applies, required stays.
  now.fields = {Field("Name", PxType::kAlpha, 10, 0), Field("Qty", PxType::kLong, 4, 10),
                Field("Price", PxType::kMoney, 8, 14)};
  checks = ReadValFile(fs, "STOCK.VAL", now, cp);
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].field_number, 2);
  EXPECT_TRUE(checks[0].required);
  EXPECT_FALSE(checks[0].has_min);
  EXPECT_EQ(checks[0].min, Native{});
  EXPECT_EQ(checks[1].field_number, 3);
  EXPECT_EQ(checks[1].def, NativeDouble(9.5));

  // Renamed in place, same count and type: matched by position.
  now.fields = old_info.fields;
  now.fields[1].name = "Quantity";
  checks = ReadValFile(fs, "STOCK.VAL", now, cp);
  ASSERT_EQ(checks.size(), 2u);
  EXPECT_EQ(checks[0].field_number, 2);
  EXPECT_EQ(checks[0].min, NativeShort(1));

  // A table without any of the fields gets no checks.
  now.fields = {Field("Other", PxType::kLong, 4, 0)};
  EXPECT_TRUE(ReadValFile(fs, "STOCK.VAL", now, cp).empty());
}

// ---------------------------------------------------------------------------
// Damaged files: data corruption naming the file, never a crash.

// Reads `data` as a .VAL; returns "" when it reads, "corrupt" when it raises
// data corruption naming the file, else a description of what happened.
std::string Outcome(const Bytes8& data, const ValTableInfo& info, const CodePage& cp) {
  MemoryFileSystem fs;
  const std::string name = "dir/DAMAGED.VAL";
  fs.files[name] = data;
  try {
    ReadValFile(fs, name, info, cp);
    return "";
  } catch (const EDBEngineError& e) {
    if (e.category() != ErrorCategory::kDataCorrupt) {
      return "category " + std::to_string(e.code());
    }
    if (std::string(e.what()).find(name) == std::string::npos) {
      return "unnamed: " + std::string(e.what());
    }
    return "corrupt";
  } catch (const std::exception& e) {
    return std::string("other exception: ") + e.what();
  }
}

struct Sample {
  std::string name;
  Bytes8 data;
  ValTableInfo info;
  int code_page;
};

std::vector<Sample> Samples() {
  std::vector<Sample> samples;
  for (const char* f :
       {"fields/logical.val", "areas/ZIPCODES.VAL", "history/7989240b-parent/joins/secondary.val",
        "history/d1559bcc-parent/db/DECIMAL.VAL", "joins/multiple.val", "joins/joinb.val"}) {
    const std::string path = CorpusFile(f);
    DbInfo db = LoadDbInfo(DbBeside(path));
    samples.push_back({f, ReadAll(path), db.info, db.code_page});
  }
  MemoryFileSystem fs;
  CodePage cp(1252);
  ValTableInfo info = AllTypesTable();
  WriteValFile(fs, "ALL.VAL", info, AllTypesChecks(), cp);
  samples.push_back({"written ALL.VAL", fs.files["ALL.VAL"], info, 1252});
  return samples;
}

TEST(ValFileCorrupt, EmptyAndTruncatedFilesAreCorrupt) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    CodePage cp(s.code_page);
    ASSERT_EQ(Outcome(s.data, s.info, cp), "");
    for (size_t len = 0; len < s.data.size(); ++len) {
      EXPECT_EQ(
          Outcome(Bytes8(s.data.begin(), s.data.begin() + static_cast<long>(len)), s.info, cp),
          "corrupt")
          << "truncated to " << len;
    }
  }
}

TEST(ValFileCorrupt, EveryBitFlipReadsOrIsReportedAsCorrupt) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    CodePage cp(s.code_page);
    size_t corrupt = 0;
    for (size_t i = 0; i < s.data.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        Bytes8 d = s.data;
        d[i] ^= static_cast<uint8_t>(1 << bit);
        std::string outcome = Outcome(d, s.info, cp);
        if (outcome == "corrupt") {
          ++corrupt;
        } else {
          ASSERT_EQ(outcome, "") << "byte " << i << " bit " << bit;
        }
      }
    }
    EXPECT_GT(corrupt, 0u);
  }
}

TEST(ValFileCorrupt, DamageToTheStructureIsDetected) {
  const std::string path = CorpusFile("areas/ZIPCODES.VAL");
  DbInfo db = LoadDbInfo(DbBeside(path));
  CodePage cp(db.code_page);
  const Bytes8 good = ReadAll(path);
  ASSERT_EQ(Outcome(good, db.info, cp), "");
  auto damaged = [&](size_t at, uint8_t value) {
    Bytes8 d = good;
    d[at] = value;
    return Outcome(d, db.info, cp);
  };
  EXPECT_EQ(damaged(0x01, 0x20), "corrupt");  // unknown version
  EXPECT_EQ(damaged(0x02, 3), "corrupt");     // one entry more than there is
  EXPECT_EQ(damaged(0x02, 1), "corrupt");     // one entry less
  EXPECT_EQ(damaged(0x0B, 0x01), "corrupt");  // footer offset far beyond the file
  EXPECT_EQ(damaged(0x0D, 0x40), "corrupt");  // RI section starting inside the entries
  EXPECT_EQ(damaged(0x35, 7), "corrupt");     // entry names footer field 8 of 3
  EXPECT_EQ(damaged(0x36, 7), "corrupt");     // picture length one too long
  EXPECT_EQ(damaged(0x56, '#'), "corrupt");   // picture without its NUL
  EXPECT_EQ(damaged(0x7A, 0x60), "corrupt");  // footer size word
  EXPECT_EQ(damaged(0x76, 0xFF), "corrupt");  // footer field count
  EXPECT_EQ(damaged(0x82, 0x07), "corrupt");  // footer field type unknown
  EXPECT_EQ(damaged(0x83, 0), "corrupt");     // Alpha of size 0
}

TEST(ValFileCorrupt, MissingFileIsNotFound) {
  MemoryFileSystem fs;
  CodePage cp(437);
  try {
    ReadValFile(fs, "NONE.VAL", ValTableInfo{}, cp);
    FAIL() << "no error";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.category(), ErrorCategory::kNotFound);
  }
}

// What a check value in native form is, type by type; the bytes are written
// out here, not made by the engine.
TEST(CheckValueOfTest, DecodesEachTypeFromItsNativeBytes) {
  struct Case {
    const char* name;
    FieldType type;
    int size;
    Native native;
    std::optional<Value> value;
  };
  Native bcd{};
  bcd[0] = 0xC2;  // positive, 2 decimals; the last four of 32 digits are 1250
  bcd[15] = 0x12;
  bcd[16] = 0x50;
  Native long_text{};
  std::fill(long_text.begin(), long_text.end(), 'x');
  const Case cases[] = {
      {"text up to its zero byte", FieldType::kString, 0, NativeText("abc"), Value{"abc"}},
      {"text without a zero byte stops at 255", FieldType::kString, 0, long_text,
       Value{std::string(255, 'x')}},
      {"a negative smallint", FieldType::kSmallint, 0, NativeOf({0xFE, 0xFF}), Value{int64_t{-2}}},
      {"a word is four bytes", FieldType::kWord, 0, NativeOf({0x70, 0x11, 0x01, 0x00}),
       Value{int64_t{70000}}},
      {"any set bit is true", FieldType::kBoolean, 0, NativeOf({0x00, 0x80}), Value{true}},
      {"zero is false", FieldType::kBoolean, 0, NativeOf({0, 0}), Value{false}},
      {"a double", FieldType::kCurrency, 0, NativeOf({0, 0, 0, 0, 0, 0, 0xF8, 0x3F}), Value{1.5}},
      {"a date's day number", FieldType::kDate, 0, NativeOf({0x10, 0x27, 0, 0}),
       Value{Date{10000}}},
      {"a time in milliseconds", FieldType::kTime, 0, NativeOf({0xE8, 0x03, 0, 0}),
       Value{TimeOfDay{1000}}},
      {"a timestamp", FieldType::kDateTime, 0, NativeOf({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}),
       Value{Timestamp{1.0}}},
      {"bytes of the field's length", FieldType::kBytes, 3, NativeOf({1, 2, 3, 4}),
       Value{engine::Bytes{1, 2, 3}}},
      {"a BCD number", FieldType::kBCD, 2, bcd, Value{Decimal{"12.50"}}},
      {"BCD bytes all zero are no number", FieldType::kBCD, 2, Native{}, std::nullopt},
      {"a memo has no check value", FieldType::kMemo, 10, NativeText("abc"), std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckValueOf(c.type, c.size, c.native), c.value) << c.name;
  }
}

}  // namespace
}  // namespace vellum::engine::paradox
