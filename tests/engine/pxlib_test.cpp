// Checks of the engine against an independent reader, pxlib (Debian 0.6.8):
// it must agree with the engine on every real table of the corpus, and it
// must read the tables the engine writes with the same structure and values.
//
// pxlib 0.6.8 aborts on any .MB file, reads NULL 4-byte values (Long, Date,
// Time, Autoincrement) as -2147483648 and prints 32-decimal BCD values as
// garbage, so no .MB is ever opened here, 4-byte NULLs are not compared and
// BCD fields of scale 32 are left out.
extern "C" {
#include <paradox.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "tests/support/original_shapes.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

namespace fs = std::filesystem;
using test::CorpusDir;
using test::TempDir;

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// One pxlib document with its own error log. pxlib reports problems through
// a callback; PX_Warning (100) is informational, the rest are failures.
class PxDoc {
 public:
  PxDoc() { doc_ = PX_new3(&PxDoc::Collect, nullptr, nullptr, nullptr, &messages_); }
  ~PxDoc() {
    if (index_ != nullptr) FreeIndexEntries(index_);
    if (doc_ != nullptr) PX_delete(doc_);
  }
  PxDoc(const PxDoc&) = delete;
  PxDoc& operator=(const PxDoc&) = delete;

  bool open(const std::string& path) { return PX_open_file(doc_, path.c_str()) == 0; }
  pxdoc_t* get() const { return doc_; }
  pxhead_t* head() const { return doc_->px_head; }

  // Errors (not warnings) reported so far, joined.
  std::string errors() const {
    std::string out;
    for (const auto& [type, text] : messages_) {
      if (type != PX_Warning) out += text + "\n";
    }
    return out;
  }

  // Makes `index` (an opened and read .PX) the index this document reads
  // records through. pxlib drops the block list it built on opening
  // without freeing it, so it is freed here first.
  int useIndex(PxDoc& index) {
    if (doc_->px_indexdata != nullptr && doc_->px_pindex == nullptr) {
      doc_->free(doc_, doc_->px_indexdata);
      doc_->px_indexdata = nullptr;
      doc_->px_indexdatalen = 0;
    }
    // On success this document reads through the index's entries, which the
    // index document owns: no record may be read once that one is gone.
    return PX_add_primary_index(doc_, index.doc_);
  }

  // Marks this document as a read index whose entry keys must be freed
  // (pxlib leaves them allocated).
  void ownIndexEntries() { index_ = doc_; }

 private:
  static void Collect(pxdoc_t*, int type, const char* msg, void* data) {
    static_cast<std::vector<std::pair<int, std::string>>*>(data)->emplace_back(type, msg);
  }
  static void FreeIndexEntries(pxdoc_t* doc) {
    auto* entries = static_cast<pxpindex_t*>(doc->px_data);
    if (entries == nullptr) return;
    for (int i = 0; i < doc->px_datalen; ++i) {
      if (entries[i].data != nullptr) doc->free(doc, entries[i].data);
      entries[i].data = nullptr;
    }
  }

  pxdoc_t* doc_ = nullptr;
  pxdoc_t* index_ = nullptr;
  std::vector<std::pair<int, std::string>> messages_;
};

// pxlib's file version for a level.
std::string LevelOfPxVersion(int v) {
  switch (v) {
    case 30:
      return "3";
    case 35:
      return "3.5";
    case 40:
      return "4";
    case 50:
      return "5";
    case 70:
      return "7";
    default:
      return "unknown " + std::to_string(v);
  }
}

// pxlib prints a BCD value with all its decimals and a point even when the
// scale is 0 ("1."); the engine writes no point then.
std::string NormalizeBcd(std::string s) {
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0" || s.rfind("-0.", 0) == 0) {
    if (s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  }
  return s;
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Compares one field of a record read by pxlib with the engine's value.
// Returns a description of the difference, or empty. `checked` counts the
// comparisons actually made.
std::string CompareField(PxDoc& px, const PxField& f, char* data, const Value& ours,
                         bool text_recoded, int* checked) {
  pxdoc_t* doc = px.get();
  auto differ = [&](const std::string& theirs) {
    return "field " + f.name + ": engine " + ValueToText(ours) + ", pxlib " + theirs;
  };
  switch (f.type) {
    case PxType::kAlpha: {
      char* v = nullptr;
      int rc = PX_get_data_alpha(doc, data, f.length, &v);
      std::string theirs = v ? v : "";
      if (v) doc->free(doc, v);
      if (rc < 0) return "";  // pxlib could not recode this value
      const auto* s = std::get_if<std::string>(&ours);
      std::string mine = s ? *s : "";
      if (!text_recoded && !IsAscii(mine)) return "";
      ++*checked;
      return theirs == mine ? "" : differ("\"" + theirs + "\"");
    }
    case PxType::kShort: {
      short v = 0;
      int rc = PX_get_data_short(doc, data, 2, &v);
      ++*checked;
      if (rc == 0) return IsNull(ours) ? "" : differ("NULL");
      return ours == Value{int64_t{v}} ? "" : differ(std::to_string(v));
    }
    case PxType::kLong:
    case PxType::kAutoInc:
    case PxType::kDate:
    case PxType::kTime: {
      if (IsNull(ours)) return "";  // pxlib misreads these NULLs
      long v = 0;
      PX_get_data_long(doc, data, 4, &v);
      int64_t mine = 0;
      if (const auto* i = std::get_if<int64_t>(&ours)) mine = *i;
      if (const auto* d = std::get_if<Date>(&ours)) mine = d->day;
      if (const auto* t = std::get_if<TimeOfDay>(&ours)) mine = t->ms;
      ++*checked;
      return mine == v ? "" : differ(std::to_string(v));
    }
    case PxType::kNumber:
    case PxType::kMoney:
    case PxType::kTimestamp: {
      double v = 0;
      int rc = PX_get_data_double(doc, data, 8, &v);
      ++*checked;
      if (rc == 0) return IsNull(ours) ? "" : differ("NULL");
      double mine = 0;
      if (const auto* d = std::get_if<double>(&ours)) mine = *d;
      if (const auto* t = std::get_if<Timestamp>(&ours)) mine = t->ms;
      return IsNull(ours) || mine != v ? differ(std::to_string(v)) : "";
    }
    case PxType::kLogical: {
      char v = 0;
      int rc = PX_get_data_byte(doc, data, 1, &v);
      ++*checked;
      if (rc == 0) return IsNull(ours) ? "" : differ("NULL");
      return ours == Value{v != 0} ? "" : differ(v ? "true" : "false");
    }
    case PxType::kBcd: {
      if (f.size_byte == 32) return "";  // pxlib prints these wrongly
      char* v = nullptr;
      int rc = PX_get_data_bcd(doc, reinterpret_cast<unsigned char*>(data), f.size_byte, &v);
      std::string theirs = v ? NormalizeBcd(v) : "";
      if (v) doc->free(doc, v);
      ++*checked;
      if (rc <= 0) return IsNull(ours) ? "" : differ("NULL");
      const auto* d = std::get_if<Decimal>(&ours);
      return d && d->text == theirs ? "" : differ(theirs);
    }
    case PxType::kBytes: {
      // pxlib takes a zero first byte for NULL.
      if (data[0] == 0) return "";
      // pxlib fills the caller's buffer or, in some versions, returns one
      // of its own.
      std::vector<char> buffer(f.length);
      char* p = buffer.data();
      PX_get_data_bytes(doc, data, f.length, &p);
      std::string theirs(p, f.length);
      if (p != buffer.data()) doc->free(doc, p);
      const auto* b = std::get_if<Bytes>(&ours);
      ++*checked;
      return b && std::string(b->begin(), b->end()) == theirs ? "" : differ("other bytes");
    }
    case PxType::kMemo:
    case PxType::kBinary:
    case PxType::kFmtMemo: {
      // Values held in the leader alone need no .MB.
      const int leader = f.length - 10;
      uint32_t length = 0;
      std::memcpy(&length, data + leader + 4, 4);  // little-endian host
      if (IsNull(ours) || length > static_cast<uint32_t>(leader)) return "";
      int mod = 0, size = 0;
      char* v = nullptr;
      int rc = PX_get_data_blob(doc, data, f.length, &mod, &size, &v);
      std::string theirs = rc > 0 && v ? std::string(v, static_cast<size_t>(size)) : "";
      if (v) doc->free(doc, v);
      std::string mine;
      if (const auto* s = std::get_if<std::string>(&ours)) mine = *s;
      if (const auto* b = std::get_if<Bytes>(&ours)) mine.assign(b->begin(), b->end());
      if (f.type == PxType::kMemo && !IsAscii(mine)) return "";
      ++*checked;
      return theirs == mine ? "" : differ("\"" + theirs + "\"");
    }
    default:
      return "";
  }
}

std::vector<std::string> UnencryptedCorpusTables() {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(CorpusDir())) {
    if (!e.is_regular_file() || Upper(e.path().extension().string()) != ".DB") continue;
    std::string rel = fs::relative(e.path(), CorpusDir()).generic_string();
    if (rel.rfind("leonhad_paradoxdriver/encrypt/", 0) == 0) continue;
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(PxlibTest, AgreesOnTheStructureOfEveryCorpusTable) {
  const auto tables = UnencryptedCorpusTables();
  EXPECT_EQ(tables.size(), 90u);
  for (const auto& rel : tables) {
    SCOPED_TRACE(rel);
    const fs::path path = fs::path(CorpusDir()) / rel;
    auto t = Table::Open(path.parent_path().string(), path.filename().string());
    const TableStructure& st = t->structure();
    const TableHeader& h = t->header();
    PxDoc px;
    ASSERT_TRUE(px.open(path.string())) << px.errors();
    const pxhead_t* ph = px.head();
    EXPECT_EQ(LevelOfPxVersion(ph->px_fileversion), st.level);
    EXPECT_EQ(ph->px_filetype, h.file_type);
    EXPECT_EQ(static_cast<uint32_t>(ph->px_numrecords), st.record_count);
    EXPECT_EQ(static_cast<uint32_t>(ph->px_maxtablesize) * 1024, st.block_size);
    EXPECT_EQ(ph->px_recordsize, h.record_size);
    EXPECT_EQ(ph->px_primarykeyfields, st.key_fields);
    EXPECT_EQ(static_cast<uint8_t>(ph->px_sortorder), st.sort_order_byte);
    // Level-3 headers have no code page (pxlib says 0; the engine assumes 437).
    if (st.level != "3" && st.level != "3.5") {
      EXPECT_EQ(ph->px_doscodepage, st.code_page);
    }
    ASSERT_EQ(static_cast<size_t>(ph->px_numfields), st.fields.size());
    for (size_t i = 0; i < st.fields.size(); ++i) {
      SCOPED_TRACE(st.fields[i].name);
      const pxfield_t& pf = ph->px_fields[i];
      // pxlib gives the names as stored, in the table's code page.
      EXPECT_EQ(std::string(pf.px_fname), h.fields[i].name);
      if (IsAscii(pf.px_fname)) {
        EXPECT_EQ(std::string(pf.px_fname), st.fields[i].name);
      }
      EXPECT_EQ(static_cast<uint8_t>(pf.px_ftype), static_cast<uint8_t>(st.fields[i].px_type));
      if (st.fields[i].type == FieldType::kBCD) {
        EXPECT_EQ(pf.px_flen, 17);
        EXPECT_EQ(pf.px_fdc, st.fields[i].size);
      } else {
        EXPECT_EQ(pf.px_flen, st.fields[i].size_byte);
      }
    }
    EXPECT_EQ(px.errors(), "");
  }
}

TEST(PxlibTest, AgreesOnTheValuesOfEveryCorpusTable) {
  int total = 0;
  for (const auto& rel : UnencryptedCorpusTables()) {
    SCOPED_TRACE(rel);
    const fs::path path = fs::path(CorpusDir()) / rel;
    auto t = Table::Open(path.parent_path().string(), path.filename().string());
    const TableHeader& h = t->header();
    PxDoc px;
    ASSERT_TRUE(px.open(path.string())) << px.errors();
    // pxlib recodes text from the header's code page when it knows it.
    const int cp =
        t->structure().level == "3" || t->structure().level == "3.5" ? 0 : t->structure().code_page;
    const bool recoded = cp != 0 && PX_set_targetencoding(px.get(), "UTF-8") == 0;
    std::vector<char> buffer(h.record_size);
    Table::Scanner scan(*t);
    Row row;
    int recno = 0, problems = 0;
    try {
      while (scan.next(row)) {
        ASSERT_NE(PX_get_record(px.get(), recno, buffer.data()), nullptr) << "record " << recno;
        EXPECT_EQ(std::memcmp(buffer.data(), scan.raw(), h.record_size), 0) << "record " << recno;
        for (size_t i = 0; i < h.fields.size(); ++i) {
          std::string d = CompareField(px, h.fields[i], buffer.data() + h.fields[i].offset, row[i],
                                       recoded, &total);
          if (!d.empty() && problems++ < 5) ADD_FAILURE() << "record " << recno << ": " << d;
        }
        ++recno;
      }
    } catch (const EDBEngineError& e) {
      ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(recno, PX_get_num_records(px.get()));
  }
  EXPECT_GT(total, 100000);
}

// Index files of the corpus that pxlib can read: every .PX.
TEST(PxlibTest, ReadsTheCorpusPrimaryIndexes) {
  int seen = 0;
  for (const auto& e : fs::recursive_directory_iterator(CorpusDir())) {
    if (!e.is_regular_file() || Upper(e.path().extension().string()) != ".PX") continue;
    SCOPED_TRACE(e.path().string());
    PxDoc px;
    ASSERT_TRUE(px.open(e.path().string())) << px.errors();
    px.ownIndexEntries();
    EXPECT_EQ(px.head()->px_filetype, 1);
    EXPECT_EQ(PX_read_primary_index(px.get()), 0) << px.errors();
    EXPECT_EQ(px.errors(), "");
    ++seen;
  }
  EXPECT_GT(seen, 30);
}

// ---------------------------------------------------------------------------
// Tables written by the engine.

struct WrittenSpec {
  int level;
  bool keyed;
  int rows;
};

std::string SpecText(const WrittenSpec& spec) {
  return "Level" + std::to_string(spec.level) + (spec.keyed ? "Keyed" : "Unkeyed") +
         std::to_string(spec.rows);
}

std::string SpecName(const testing::TestParamInfo<WrittenSpec>& info) {
  return SpecText(info.param);
}

void PrintTo(const WrittenSpec& spec, std::ostream* os) { *os << SpecText(spec); }

class PxlibWrittenTest : public testing::TestWithParam<WrittenSpec> {};

// Fields for a level: level 4 has the types of level 3 (Alpha, Short,
// Number, Money, Date); levels 5 and 7 add the others except blobs.
TableDefinition DefinitionFor(const WrittenSpec& spec) {
  TableDefinition def;
  def.level = spec.level;
  if (spec.level == 4) {
    def.fields = {
        {"Code", FieldType::kString, 8, false},  {"Seq", FieldType::kSmallint, 0, false},
        {"Amount", FieldType::kFloat, 0, false}, {"Price", FieldType::kCurrency, 0, false},
        {"Day", FieldType::kDate, 0, false},     {"Text", FieldType::kString, 40, false}};
    if (spec.keyed) def.indexes = {{"", {"Code", "Seq"}, true, true, false, false}};
  } else {
    def.fields = {{"Id", FieldType::kInteger, 0, false},
                  {"Name", FieldType::kString, 24, false},
                  {"Small", FieldType::kSmallint, 0, false},
                  {"Amount", FieldType::kFloat, 0, false},
                  {"Price", FieldType::kCurrency, 0, false},
                  {"Flag", FieldType::kBoolean, 0, false},
                  {"Day", FieldType::kDate, 0, false},
                  {"At", FieldType::kTime, 0, false},
                  {"Stamp", FieldType::kDateTime, 0, false},
                  {"Counter", FieldType::kAutoInc, 0, false},
                  {"Exact", FieldType::kBCD, spec.level == 7 ? 4 : 2, false},
                  {"Raw", FieldType::kBytes, 6, false}};
    if (spec.keyed) def.indexes = {{"", {"Id"}, true, true, false, false}};
  }
  return def;
}

// Calendar of a row (kept to check pxlib's own date conversion).
struct Ymd {
  int y, m, d;
};
Ymd DayOf(int id) { return Ymd{1900 + id % 200, 1 + id % 12, 1 + id % 28}; }

std::string Fixed(long long units, int scale) {
  bool negative = units < 0;
  unsigned long long u = negative ? -units : units;
  std::string digits = std::to_string(u);
  if (scale > 0) {
    if (digits.size() <= static_cast<size_t>(scale))
      digits.insert(0, scale + 1 - digits.size(), '0');
    digits.insert(digits.size() - scale, ".");
  }
  return (negative && u != 0 ? "-" : "") + digits;
}

// Values of row `id`; NULLs only where pxlib reads them right.
Row RowFor(const WrittenSpec& spec, int id) {
  if (spec.level == 4) {
    // Key (Code, Seq): distinct for distinct ids below 26^3 * 7.
    std::string code = std::string(1, static_cast<char>('A' + id % 26)) +
                       static_cast<char>('a' + (id / 26) % 26) +
                       static_cast<char>('a' + (id / 676) % 26);
    return Row{code,
               int64_t{id / 17576 * 1000 - 3000},
               id % 17 == 0 ? Value{} : Value{id * 1.5 - 1000.25},
               id % 19 == 0 ? Value{} : Value{(id % 1000) * (id % 2 ? -0.25 : 0.5)},
               DateFromYmd(DayOf(id).y, DayOf(id).m, DayOf(id).d),
               id % 11 == 0 ? Value{} : Value{"text of row " + std::to_string(id)}};
  }
  const int32_t ms = static_cast<int32_t>((static_cast<int64_t>(id) * 7919 * 1000 + id) % 86400000);
  const Date day = DateFromYmd(DayOf(id).y, DayOf(id).m, DayOf(id).d);
  const int scale = spec.level == 7 ? 4 : 2;
  return Row{int64_t{spec.keyed ? id : (id * 7) % 100003 - 50000},
             id % 11 == 0 ? Value{} : Value{"name " + std::to_string(id * 31 % 1000)},
             id % 13 == 0 ? Value{} : Value{int64_t{(id * 37) % 65535 - 32767}},
             id % 17 == 0 ? Value{} : Value{id * 1.5 - 1000.25},
             id % 19 == 0 ? Value{} : Value{(id % 1000) * (id % 2 ? -0.25 : 0.5)},
             id % 3 == 0 ? Value{} : Value{id % 2 == 0},
             day,
             TimeOfDay{ms},
             id % 23 == 0 ? Value{} : Value{Timestamp{day.day * 86400000.0 + ms}},
             int64_t{id},
             id % 29 == 0 ? Value{} : Value{Decimal{Fixed(id * 1234567LL - 99999999LL, scale)}},
             Bytes{static_cast<uint8_t>(1 + id % 255), static_cast<uint8_t>(id >> 8), 0,
                   static_cast<uint8_t>(id), 0xFF, 0x80}};
}

// The key of a row as the engine orders it.
std::pair<std::string, int64_t> KeyOf(const WrittenSpec& spec, const Row& r) {
  if (spec.level == 4) return {std::get<std::string>(r[0]), std::get<int64_t>(r[1])};
  return {"", std::get<int64_t>(r[0])};
}

TEST_P(PxlibWrittenTest, PxlibReadsWhatTheEngineWrote) {
  const WrittenSpec spec = GetParam();
  TempDir dir;
  const TableDefinition def = DefinitionFor(spec);
  Table::Create(dir.path(), "WRITTEN", def);
  std::vector<int> ids(static_cast<size_t>(spec.rows));
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(i) + 1;
  std::mt19937 rng(static_cast<unsigned>(spec.level * 100 + spec.rows));
  std::shuffle(ids.begin(), ids.end(), rng);

  // The rows that must remain, in the order the table keeps them.
  std::vector<Row> expected;
  {
    auto t = Table::Open(dir.path(), "WRITTEN", {true, true});
    for (int id : ids) {
      Row r = RowFor(spec, id);
      t->insert(r);
      expected.push_back(r);
    }
    // Delete every fifth row by position (keyed: in key order).
    if (spec.keyed) {
      std::sort(expected.begin(), expected.end(),
                [&](const Row& a, const Row& b) { return KeyOf(spec, a) < KeyOf(spec, b); });
    }
    for (size_t i = expected.size(); i-- > 0;) {
      if (i % 5 != 2) continue;
      t->remove(static_cast<uint32_t>(i));
      expected.erase(expected.begin() + static_cast<long>(i));
    }
    ASSERT_EQ(t->recordCount(), expected.size());
    ASSERT_EQ(t->verify(), std::vector<std::string>{});
  }

  auto t = Table::Open(dir.path(), "WRITTEN");
  const TableHeader& h = t->header();
  PxDoc px;
  ASSERT_TRUE(px.open(dir.file("WRITTEN.DB"))) << px.errors();
  const pxhead_t* ph = px.head();
  EXPECT_EQ(ph->px_fileversion, spec.level * 10);
  EXPECT_EQ(ph->px_filetype, spec.keyed ? 0 : 2);
  EXPECT_EQ(static_cast<size_t>(ph->px_numrecords), expected.size());
  EXPECT_EQ(ph->px_primarykeyfields, spec.keyed ? (spec.level == 4 ? 2 : 1) : 0);
  EXPECT_EQ(ph->px_maxtablesize, h.block_kb);
  EXPECT_EQ(ph->px_doscodepage, 1252);
  EXPECT_EQ(ph->px_recordsize, h.record_size);
  ASSERT_EQ(static_cast<size_t>(ph->px_numfields), def.fields.size());
  const int expected_types_4[] = {pxfAlpha, pxfShort, pxfNumber, pxfCurrency, pxfDate, pxfAlpha};
  const int expected_lengths_4[] = {8, 2, 8, 8, 4, 40};
  const int expected_types[] = {pxfLong,      pxfAlpha,   pxfShort, pxfNumber,
                                pxfCurrency,  pxfLogical, pxfDate,  pxfTime,
                                pxfTimestamp, pxfAutoInc, pxfBCD,   pxfBytes};
  const int expected_lengths[] = {4, 24, 2, 8, 8, 1, 4, 4, 8, 4, 17, 6};
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const pxfield_t& pf = ph->px_fields[i];
    EXPECT_EQ(std::string(pf.px_fname), def.fields[i].name);
    EXPECT_EQ(pf.px_ftype, spec.level == 4 ? expected_types_4[i] : expected_types[i]);
    EXPECT_EQ(pf.px_flen, spec.level == 4 ? expected_lengths_4[i] : expected_lengths[i]);
  }
  if (spec.level != 4) {
    EXPECT_EQ(ph->px_fields[10].px_fdc, spec.level == 7 ? 4 : 2);
  }

  // Row by row, in the order pxlib follows the block chain.
  std::vector<char> buffer(h.record_size);
  int checked = 0, problems = 0;
  for (size_t r = 0; r < expected.size(); ++r) {
    ASSERT_NE(PX_get_record(px.get(), static_cast<int>(r), buffer.data()), nullptr) << px.errors();
    for (size_t i = 0; i < h.fields.size(); ++i) {
      std::string d = CompareField(px, h.fields[i], buffer.data() + h.fields[i].offset,
                                   expected[r][i], false, &checked);
      if (!d.empty() && problems++ < 5) ADD_FAILURE() << "row " << r << ": " << d;
    }
    // pxlib's own calendar agrees on the date (its day numbers count from
    // the same 1 January 0001; its Gregorian conversion wants them shifted
    // to the Julian day count).
    const size_t day_field = spec.level == 4 ? 4 : 6;
    long day = 0;
    PX_get_data_long(px.get(), buffer.data() + h.fields[day_field].offset, 4, &day);
    int y = 0, m = 0, d = 0;
    PX_SdnToGregorian(day + 1721425, &y, &m, &d);
    int y2 = 0, m2 = 0, d2 = 0;
    YmdFromDate(std::get<Date>(expected[r][day_field]), &y2, &m2, &d2);
    EXPECT_EQ(std::make_tuple(y, m, d), std::make_tuple(y2, m2, d2));
  }
  EXPECT_GT(checked, static_cast<int>(expected.size()) * 4);
  EXPECT_EQ(px.errors(), "");

  if (!spec.keyed) return;
  // The primary index: pxlib reads every entry; its leaves list the data
  // blocks pxlib itself found by following the chain, with their counts.
  PxDoc index;
  ASSERT_TRUE(index.open(dir.file("WRITTEN.PX"))) << index.errors();
  index.ownIndexEntries();
  const pxhead_t* ih = index.head();
  EXPECT_EQ(ih->px_filetype, 1);
  EXPECT_EQ(ih->px_numfields, spec.level == 4 ? 2 : 1);
  ASSERT_EQ(PX_read_primary_index(index.get()), 0) << index.errors();
  EXPECT_EQ(index.errors(), "");
  const auto* entries = static_cast<const pxpindex_t*>(index.get()->px_data);
  const auto* blocks = static_cast<const pxpindex_t*>(px.get()->px_indexdata);
  const int levels = ih->px_numindexlevels;
  ASSERT_GE(levels, 1);
  ASSERT_LE(levels, 2);
  std::vector<std::pair<int, int>> leaves, chain;
  int upper_sum = 0;
  for (int i = 0; i < ih->px_numrecords; ++i) {
    if (levels == 2 && entries[i].myblocknumber == ih->px_indexroot) {
      upper_sum += entries[i].numrecords;
    } else {
      leaves.emplace_back(entries[i].blocknumber, entries[i].numrecords);
    }
  }
  // pxlib lists the blocks it finds along the chain in an array sized by
  // the header's block count; with no free block (deletes spread over the
  // table empty none) every slot is filled.
  ASSERT_EQ(h.first_free_block, 0);
  for (int i = 0; i < px.get()->px_indexdatalen; ++i) {
    if (blocks[i].blocknumber != 0) chain.emplace_back(blocks[i].blocknumber, blocks[i].numrecords);
  }
  EXPECT_EQ(leaves, chain);
  // One index block holds this many entries; more data blocks than that
  // need a second level (the larger tables here do).
  const int per_block = (ih->px_maxtablesize * 1024 - 6) / ih->px_recordsize;
  EXPECT_EQ(levels, static_cast<int>(chain.size()) > per_block ? 2 : 1);
  if (levels == 2) {
    EXPECT_EQ(static_cast<size_t>(upper_sum), expected.size());
  }
  // A single-block index is one pxlib can use for reading.
  if (ih->px_fileblocks == 1) {
    ASSERT_EQ(px.useIndex(index), 0) << px.errors();
    for (size_t r = 0; r < expected.size(); r += 7) {
      ASSERT_NE(PX_get_record(px.get(), static_cast<int>(r), buffer.data()), nullptr);
      std::string d = CompareField(px, h.fields[0], buffer.data(), expected[r][0], false, &checked);
      EXPECT_EQ(d, "") << "row " << r;
    }
  }
}

// pxlib reads secondary-index files as plain table-format files: the X file
// holds the indexed fields, the primary key and "Blk Num", one record per
// table record in index order; the Y file indexes the X file.
TEST(PxlibTest, ReadsTheSecondaryIndexFilesTheEngineWrote) {
  TempDir dir;
  TableDefinition def;
  def.level = 7;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"City", FieldType::kString, 20, false},
                {"Zip", FieldType::kSmallint, 0, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"City", {"City"}, false, false, false, false},
                 {"ByZipCity", {"Zip", "City"}, false, false, false, false}};
  Table::Create(dir.path(), "SEC", def);
  constexpr int kRows = 900;
  {
    auto t = Table::Open(dir.path(), "SEC", {true, true});
    for (int i = 0; i < kRows; ++i) {
      const int id = (i * 7919) % kRows + 1;
      t->insert(Row{int64_t{id}, "city " + std::to_string(id % 37), int64_t{id % 101}});
    }
  }
  struct Expect {
    const char* file;
    int file_type;
    std::vector<std::string> names;
  };
  for (const Expect& e : {Expect{"SEC.X02", 5, {"City", "Id", "Blk Num"}},
                          Expect{"SEC.XG0", 8, {"Zip", "City", "Id", "Blk Num"}}}) {
    SCOPED_TRACE(e.file);
    PxDoc px;
    ASSERT_TRUE(px.open(dir.file(e.file))) << px.errors();
    EXPECT_EQ(px.head()->px_filetype, e.file_type);
    EXPECT_EQ(px.head()->px_numrecords, kRows);
    ASSERT_EQ(static_cast<size_t>(px.head()->px_numfields), e.names.size());
    for (size_t i = 0; i < e.names.size(); ++i) {
      EXPECT_EQ(std::string(px.head()->px_fields[i].px_fname), e.names[i]);
    }
    // Records in index order: the indexed values never decrease.
    std::vector<char> buffer(static_cast<size_t>(px.head()->px_recordsize));
    std::string previous;
    for (int r = 0; r < kRows; ++r) {
      ASSERT_NE(PX_get_record(px.get(), r, buffer.data()), nullptr) << px.errors();
      std::string key(buffer.data(), static_cast<size_t>(px.head()->px_recordsize - 2));
      EXPECT_LE(previous, key) << "record " << r;
      previous = key;
      short block = 0;
      EXPECT_EQ(
          PX_get_data_short(px.get(), buffer.data() + px.head()->px_recordsize - 2, 2, &block), 1);
      EXPECT_GE(block, 1);
    }
    EXPECT_EQ(px.errors(), "");
  }
  for (const auto& [file, type] : {std::pair<const char*, int>{"SEC.Y02", 4}, {"SEC.YG0", 7}}) {
    SCOPED_TRACE(file);
    PxDoc y;
    ASSERT_TRUE(y.open(dir.file(file))) << y.errors();
    EXPECT_EQ(y.head()->px_filetype, type);
    EXPECT_GE(y.head()->px_numrecords, 1);
    EXPECT_EQ(y.errors(), "");
  }
}

// A level-3 table keyed without its index gets one on a writable open;
// pxlib reads that index and reads the table through it.
TEST(PxlibTest, UsesTheIndexBuiltForALevel3Table) {
  TempDir dir;
  test::CopyTableFiles((fs::path(CorpusDir()) / "leonhad_paradoxdriver/areas").string(), "STATES",
                       dir.path());
  Table::Open(dir.path(), "STATES", {true, true});
  ASSERT_TRUE(fs::exists(dir.file("STATES.PX")));
  PxDoc db;
  ASSERT_TRUE(db.open(dir.file("STATES.DB"))) << db.errors();
  const int records = PX_get_num_records(db.get());
  ASSERT_EQ(records, 53);
  const int size = PX_get_recordsize(db.get());
  std::vector<std::vector<char>> file_order;
  for (int r = 0; r < records; ++r) {
    std::vector<char> rec(static_cast<size_t>(size));
    ASSERT_NE(PX_get_record(db.get(), r, rec.data()), nullptr);
    file_order.push_back(rec);
  }
  PxDoc index;
  ASSERT_TRUE(index.open(dir.file("STATES.PX"))) << index.errors();
  index.ownIndexEntries();
  EXPECT_EQ(index.head()->px_filetype, 1);
  EXPECT_EQ(index.head()->px_fileversion, 30);
  ASSERT_EQ(PX_read_primary_index(index.get()), 0) << index.errors();
  ASSERT_EQ(db.useIndex(index), 0) << db.errors();
  for (int r = 0; r < records; ++r) {
    std::vector<char> rec(static_cast<size_t>(size));
    ASSERT_NE(PX_get_record(db.get(), r, rec.data()), nullptr);
    EXPECT_EQ(rec, file_order[static_cast<size_t>(r)]) << "record " << r;
  }
  EXPECT_EQ(db.errors() + index.errors(), "");
}

// Raw records of a file as pxlib reads them, in file order.
std::vector<std::string> RawRecords(const std::string& path) {
  PxDoc px;
  EXPECT_TRUE(px.open(path)) << px.errors();
  std::vector<std::string> out;
  const int size = PX_get_recordsize(px.get());
  std::vector<char> buffer(static_cast<size_t>(size));
  for (int r = 0; r < PX_get_num_records(px.get()); ++r) {
    EXPECT_NE(PX_get_record(px.get(), r, buffer.data()), nullptr) << px.errors();
    out.emplace_back(buffer.data(), buffer.size());
  }
  return out;
}

// The entries of a case-insensitive index hold the record's text with ASCII
// a-z upper-cased, other bytes as they are, in byte order of that text; the
// table keeps its own letter case. Both files are read by pxlib, the folding
// is computed here.
TEST(PxlibTest, CaseInsensitiveIndexEntriesHoldUpperCasedText) {
  TempDir dir;
  test::OriginalShapeNamed("CASELESS").make(dir.path());
  // Table records: Id (4 bytes), Name (20), City (15).
  std::map<std::string, std::string> name_of;  // encoded Id -> Name bytes
  for (const auto& rec : RawRecords(dir.file("CASELESS.DB"))) {
    name_of[rec.substr(0, 4)] = rec.substr(4, 20);
  }
  ASSERT_EQ(name_of.size(), 60u);
  // Index entries: Name (20), Id (4), Blk Num (2).
  const auto entries = RawRecords(dir.file("CASELESS.XG0"));
  ASSERT_EQ(entries.size(), 60u);
  bool some_letter_folded = false, some_high_byte = false;
  std::string previous;
  for (const auto& entry : entries) {
    const std::string text = entry.substr(0, 20);
    const std::string& original = name_of.at(entry.substr(20, 4));
    std::string folded = original;
    for (char& c : folded) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    EXPECT_EQ(text, folded);
    some_letter_folded = some_letter_folded || folded != original;
    some_high_byte = some_high_byte || !IsAscii(original);
    const std::string key = entry.substr(0, 24);
    EXPECT_LT(previous, key);  // std::string compares bytes as unsigned
    previous = key;
  }
  EXPECT_TRUE(some_letter_folded);
  EXPECT_TRUE(some_high_byte);
}

INSTANTIATE_TEST_SUITE_P(Levels, PxlibWrittenTest,
                         testing::Values(WrittenSpec{4, true, 3000}, WrittenSpec{4, false, 2000},
                                         WrittenSpec{5, true, 3000}, WrittenSpec{5, false, 2000},
                                         WrittenSpec{7, true, 6000}, WrittenSpec{7, false, 2000},
                                         WrittenSpec{7, true, 150}),
                         SpecName);

}  // namespace
}  // namespace vellum::engine::paradox
