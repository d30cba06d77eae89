// A rebuild keeps what the table had: real tables and tables of our own
// making go through load and rebuild (into another directory, in place, and
// anew after -c), and come back with their code page, sort order (or a note
// saying why not), level, block size, pictures, lookups, referential
// integrity and required fields. Expected values come from the files' bytes
// and from pxlib.
#include <gtest/gtest.h>

extern "C" {
#include <paradox.h>
}

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/paradox/table.h"
#include "loading/structure_loader.h"
#include "rebuild/table_regenerator.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/temp_dir.h"

namespace vellum::rebuild {
namespace {

namespace fs = std::filesystem;

using engine::FieldType;
using engine::Value;
using engine::paradox::FieldDef;
using engine::paradox::IndexDef;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using engine::paradox::ValidityCheck;
using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint16_t Le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

// The header words of a .DB file this test looks at, from its bytes.
struct DbHeader {
  uint8_t version = 0;    // 0x39
  uint8_t block_kb = 0;   // 0x05
  uint8_t sort_byte = 0;  // 0x29
  uint8_t flag55 = 0;     // 0x55
  int code_page = -1;     // 0x6A, level 4 and up
  std::string sort_name;  // at 0x58 + word 0x6E, level 4 and up
};

DbHeader HeaderOf(const std::string& path) {
  const Bytes b = ReadBytes(path);
  DbHeader h;
  h.version = b.at(0x39);
  h.block_kb = b.at(0x05);
  h.sort_byte = b.at(0x29);
  h.flag55 = b.at(0x55);
  if (h.version >= 0x05) {
    h.code_page = Le16(b, 0x6A);
    h.sort_name = reinterpret_cast<const char*>(&b.at(0x58 + Le16(b, 0x6E)));
  }
  return h;
}

// pxlib's view of a data file: its version (30 level 3, 40, 50, 70), record
// count and code page.
struct PxView {
  bool opened = false;
  int version = 0;
  int records = 0;
  int code_page = 0;
};

void Quiet(pxdoc_t*, int, const char*, void*) {}

PxView ReadWithPxlib(const std::string& path) {
  PxView view;
  pxdoc_t* doc = PX_new3(&Quiet, nullptr, nullptr, nullptr, nullptr);
  if (PX_open_file(doc, path.c_str()) == 0) {
    view.opened = true;
    view.version = doc->px_head->px_fileversion;
    view.records = doc->px_head->px_numrecords;
    view.code_page = doc->px_head->px_doscodepage;
    PX_close(doc);
  }
  PX_delete(doc);
  return view;
}

std::string FindFile(const std::string& directory, const std::string& table,
                     const std::string& ext) {
  bool found = false;
  const std::string path =
      engine::ResolveCaseInsensitive(engine::FileSystem::Default(), directory, table + ext, &found);
  return found ? path : "";
}

// A source directory of tables, a dictionary loaded from it and the
// regenerator's ways of rebuilding them.
class KeepPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_);
    NewDictionary(1252);
  }
  void TearDown() override { dm_.reset(); }

  void NewDictionary(int code_page) {
    dm_.reset();
    fs::remove_all(dict_);
    fs::create_directories(dict_);
    dictionary::CreateDictionaryTables(dict_, engine::FileSystem::Default(), code_page);
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
  }

  void CopyCorpus(const std::string& folder, const std::vector<std::string>& tables) {
    for (const auto& t : tables) test::CopyTableFiles(test::CorpusDir() + "/" + folder, t, src_);
  }

  void Load(const std::vector<std::string>& tables) {
    loading::LoadStructures(*dm_, ui_, src_, "SRC", tables);
    ASSERT_TRUE(ui_.shown.empty()) << ui_.shown[0].text;
  }

  void Rebuild(const std::string& directory) {
    TTableRegenerator regenerator(*dm_, ui_);
    regenerator.RegenerateAlias("SRC", directory, false);
  }

  // A copy of the source directory, for a rebuild in place.
  std::string CopyOfSource(const std::string& name) {
    const std::string copy = dir_.file(name);
    fs::copy(src_, copy, fs::copy_options::recursive);
    return copy;
  }

  test::TempDir dir_;
  std::string src_ = dir_.file("src");
  std::string dict_ = dir_.file("dict");
  engine::Session session_{dir_.file("aliases.conf")};
  test::ScriptedUi ui_;
  std::unique_ptr<dictionary::TdmDataDictionary> dm_;
};

// --- the level-3 tables of mtdemo ---------------------------------------

TEST_F(KeepPropertiesTest, Level3TablesComeBackWithTheirPicturesLookupAndValues) {
  const std::vector<std::string> names = {"CUSTOMER", "EMPLOYEE", "FILMS", "STORE", "TAXRATE"};
  CopyCorpus("leonhad_paradoxdriver/mtdemo", names);
  Load(names);
  const std::string fresh = dir_.file("fresh");
  Rebuild(fresh);
  const std::string inplace = CopyOfSource("inplace");
  Rebuild(inplace);

  for (const std::string& name : names) {
    const std::string original_file = FindFile(src_, name, ".DB");
    const DbHeader original = HeaderOf(original_file);
    const auto original_checks = Table::Open(src_, name)->structure().checks;
    ASSERT_FALSE(original_checks.empty()) << name;
    const PxView source = ReadWithPxlib(original_file);
    for (const std::string& directory : {fresh, inplace}) {
      SCOPED_TRACE(name + " in " + directory);
      const std::string file = FindFile(directory, name, ".DB");
      const DbHeader rebuilt = HeaderOf(file);
      EXPECT_EQ(rebuilt.version, 0x03);
      EXPECT_EQ(rebuilt.block_kb, original.block_kb);
      EXPECT_EQ(rebuilt.sort_byte, original.sort_byte);
      auto table = Table::Open(directory, name);
      EXPECT_EQ(table->structure().checks, original_checks);
      EXPECT_EQ(table->verify(), std::vector<std::string>{});
      // The validity file is in the old layout (version byte 0x01).
      EXPECT_EQ(ReadBytes(FindFile(directory, name, ".VAL")).at(1), 0x01);
      const PxView px = ReadWithPxlib(file);
      ASSERT_TRUE(px.opened);
      EXPECT_EQ(px.version, source.version);
      EXPECT_EQ(px.records, directory == inplace ? source.records : 0);
    }
  }
  // EMPLOYEE looks up STORE, filling all corresponding fields with help.
  const auto employee = Table::Open(fresh, "EMPLOYEE")->structure().checks;
  ASSERT_EQ(employee.size(), 1u);
  EXPECT_EQ(employee[0].lookup_table, "STORE.DB");
  EXPECT_EQ(employee[0].lookup_options, 3);
}

TEST_F(KeepPropertiesTest, ALookupComesBackAfterTheTableWasDeletedFirst) {
  CopyCorpus("leonhad_paradoxdriver/mtdemo", {"EMPLOYEE", "STORE"});
  Load({"EMPLOYEE", "STORE"});
  const test::CliResult r = test::InvokeCli({"rebuild", "--config", dir_.file("aliases.conf"), "-p",
                                             dict_, "-t", "SRC.EMPLOYEE", "-d", src_, "-c"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto table = Table::Open(src_, "EMPLOYEE");
  EXPECT_EQ(table->recordCount(), 0u);
  ASSERT_EQ(table->structure().checks.size(), 1u);
  EXPECT_EQ(table->structure().checks[0].picture, "*!");
  EXPECT_EQ(table->structure().checks[0].lookup_table, "STORE.DB");
}

// --- referential integrity -------------------------------------------------

TEST_F(KeepPropertiesTest, ReferentialIntegrityComesBackOnBothSides) {
  // fk1 is a child of primary; multiple is a child of primary and the master
  // of to_multiple.
  const std::vector<std::string> names = {"fk1", "primary", "multiple", "to_multiple"};
  CopyCorpus("leonhad_paradoxdriver/joins", names);
  Load(names);
  const std::string fresh = dir_.file("fresh");
  Rebuild(fresh);
  const std::string inplace = CopyOfSource("inplace");
  Rebuild(inplace);
  for (const std::string& name : names) {
    const auto original = Table::Open(src_, name)->structure();
    const DbHeader original_header = HeaderOf(FindFile(src_, name, ".DB"));
    EXPECT_FALSE(original.integrity.empty()) << name;
    for (const std::string& directory : {fresh, inplace}) {
      SCOPED_TRACE(name + " in " + directory);
      auto table = Table::Open(directory, name);
      EXPECT_EQ(table->structure().integrity, original.integrity);
      EXPECT_EQ(HeaderOf(FindFile(directory, name, ".DB")).flag55, original_header.flag55);
      EXPECT_EQ(table->verify(), std::vector<std::string>{});
    }
  }
  // What the bytes of fk1.val say: link "reference" on FK (field 2) to
  // primary.db's field 1, cascading.
  const auto fk1 = Table::Open(fresh, "fk1")->structure().integrity.links;
  ASSERT_EQ(fk1.size(), 1u);
  EXPECT_EQ(fk1[0].name, "reference");
  EXPECT_EQ(fk1[0].master_table, "primary.db");
  EXPECT_EQ(fk1[0].fields, std::vector<uint16_t>{2});
  EXPECT_TRUE(fk1[0].cascade);
}

// --- code page, sort order, required fields, names --------------------------

// A keyed table with a String key in code page `code_page`, its header then
// patched to name the sort order `sort_name` (id byte `sort_byte`): how real
// tables with collations the engine does not write come about.
void CreateWithSortOrder(const std::string& directory, const std::string& name, int code_page,
                         bool string_key, const std::string& sort_name, uint8_t sort_byte) {
  TableDefinition def;
  def.code_page = code_page;
  def.fields = {{"K", string_key ? FieldType::kString : FieldType::kInteger, 10},
                {"V", FieldType::kString, 10}};
  def.indexes = {{"", {"K"}, true, true}};
  Table::Create(directory, name, def);
  {
    auto t = Table::Open(directory, name, {.writable = true});
    t->insert({string_key ? Value{std::string("b")} : Value{int64_t{2}}, std::string("two")});
    t->insert({string_key ? Value{std::string("a")} : Value{int64_t{1}}, std::string("one")});
  }
  const std::string path = directory + "/" + name + ".DB";
  Bytes b = ReadBytes(path);
  const size_t at = 0x58 + Le16(b, 0x6E);
  // The new name goes over the old one, NUL-padded: the header keeps its
  // length.
  const std::string old_name(reinterpret_cast<const char*>(&b[at]));
  ASSERT_LE(sort_name.size(), old_name.size());
  std::string padded = sort_name;
  padded.resize(old_name.size(), '\0');
  std::copy(padded.begin(), padded.end(), b.begin() + static_cast<long>(at));
  b[0x29] = sort_byte;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

struct SortCase {
  std::string label;
  int code_page;
  bool string_key;
  std::string sort_name;  // what the table has
  uint8_t sort_byte;
  std::string kept_name;  // what the rebuilt table has
  uint8_t kept_byte;
  std::string note;  // what the rebuild says; empty when nothing
};
void PrintTo(const SortCase& c, std::ostream* out) { *out << c.label; }

class SortOrderTest : public KeepPropertiesTest, public ::testing::WithParamInterface<SortCase> {};

TEST_P(SortOrderTest, IsKeptWhereTheEngineWritesItsOrderElseTheRebuildSaysSo) {
  const SortCase& c = GetParam();
  CreateWithSortOrder(src_, "T", c.code_page, c.string_key, c.sort_name, c.sort_byte);
  Load({"T"});
  for (const std::string& directory : {dir_.file("fresh"), CopyOfSource("inplace")}) {
    SCOPED_TRACE(directory);
    // The plan says what the run will do, and the run says it again.
    const test::CliResult plan =
        test::InvokeCli({"rebuild", "--config", dir_.file("aliases.conf"), "-p", dict_, "-t",
                         "SRC.T", "-d", directory, "--plan"});
    ASSERT_EQ(plan.status, 0) << plan.err;
    ui_.progress_texts.clear();
    TTableRegenerator regenerator(*dm_, ui_);
    regenerator.RegenerateTable("SRC", "T", directory);
    if (c.note.empty()) {
      EXPECT_EQ(plan.out.find("note:"), std::string::npos) << plan.out;
      EXPECT_TRUE(ui_.progress_texts.empty());
    } else {
      EXPECT_NE(plan.out.find("  note: " + c.note + "\n"), std::string::npos) << plan.out;
      EXPECT_EQ(ui_.progress_texts, std::vector<std::string>{c.note});
    }
    const DbHeader h = HeaderOf(FindFile(directory, "T", ".DB"));
    EXPECT_EQ(h.code_page, c.code_page);
    EXPECT_EQ(h.sort_name, c.kept_name);
    EXPECT_EQ(h.sort_byte, c.kept_byte);
    auto t = Table::Open(directory, "T");
    EXPECT_EQ(t->verify(), std::vector<std::string>{});
  }
}

const std::string kNoteAnsiIntl =
    "Table \"T\": its sort order \"ANSIINTL\" is not kept, as the engine does not implement its "
    "collation; its indexes are written in \"DBWINUS0\", the binary order of code page 1252";
const std::string kNoteIntl =
    "Table \"T\": its sort order \"intl\" is not kept, as the engine does not implement its "
    "collation; its indexes are written in \"ascii\", the binary order of code page 437";

INSTANTIATE_TEST_SUITE_P(
    Tables, SortOrderTest,
    ::testing::Values(SortCase{"BinaryAnsiWithTextKeyIsKept", 1252, true, "DBWINUS0", 0x4C,
                               "DBWINUS0", 0x4C, ""},
                      SortCase{"CollationWithTextKeyGivesWay", 1252, true, "ANSIINTL", 0x62,
                               "DBWINUS0", 0x4C, kNoteAnsiIntl},
                      SortCase{"CollationWithNumberKeyIsKept", 1252, false, "ANSIINTL", 0x62,
                               "ANSIINTL", 0x62, ""},
                      SortCase{"DosCollationWithTextKeyGivesWay", 437, true, "intl", 0xB7, "ascii",
                               0x00, kNoteIntl},
                      // A header that holds the id byte alone: one byte names
                      // the Polish and the Cyrillic order, the code page
                      // tells which.
                      SortCase{"CyrillicCollationSharingItsIdWithPolishIsKnownByCodePage", 1251,
                               false, "", 0x8F, "ancyrr", 0x8F, ""}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return info.param.label; });

TEST_F(KeepPropertiesTest, AHebrewTableKeepsItsCodePageAndNamesThroughA1255Dictionary) {
  // Field "שלום" (F9 EC E5 ED in code page 1255) holding "אבג" (E0 E1 E2).
  const std::string shalom = "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D";
  const std::string abg = "\xD7\x90\xD7\x91\xD7\x92";
  TableDefinition def;
  def.code_page = 1255;
  def.fields = {{"ID", FieldType::kSmallint, 0}, {shalom, FieldType::kString, 10}};
  def.indexes = {{"", {"ID"}, true, true}};
  Table::Create(src_, "HEB", def);
  Table::Open(src_, "HEB", {.writable = true})->insert({int64_t{1}, abg});
  NewDictionary(1255);
  Load({"HEB"});

  const std::string fresh = dir_.file("fresh");
  Rebuild(fresh);
  const std::string inplace = CopyOfSource("inplace");
  Rebuild(inplace);
  for (const std::string& directory : {fresh, inplace}) {
    SCOPED_TRACE(directory);
    const std::string file = FindFile(directory, "HEB", ".DB");
    EXPECT_EQ(HeaderOf(file).code_page, 1255);
    const Bytes bytes = ReadBytes(file);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find(std::string("\xF9\xEC\xE5\xED") + '\0'), std::string::npos);
    EXPECT_EQ(ReadWithPxlib(file).code_page, 1255);
  }
  // The row restructured in place keeps its bytes.
  const Bytes row = ReadBytes(FindFile(inplace, "HEB", ".DB"));
  EXPECT_NE(std::string(row.begin(), row.end()).find("\xE0\xE1\xE2"), std::string::npos);
}

TEST_F(KeepPropertiesTest, ARequiredFieldWithoutValuesStaysRequired) {
  ValidityCheck required;
  required.field_number = 2;
  required.required = true;
  TableDefinition def;
  def.fields = {{"ID", FieldType::kSmallint, 0}, {"NAME", FieldType::kString, 10}};
  def.indexes = {{"", {"ID"}, true, true}};
  def.checks = {required};
  Table::Create(src_, "PEOPLE", def);
  Load({"PEOPLE"});
  const std::string fresh = dir_.file("fresh");
  Rebuild(fresh);
  // The rebuilt .VAL has one entry (count at byte 2) with the required byte
  // (entry + 2) set and nothing present.
  const Bytes val = ReadBytes(FindFile(fresh, "PEOPLE", ".VAL"));
  ASSERT_GT(val.size(), 0x35u + 0x1C);
  EXPECT_EQ(val[2], 1);
  EXPECT_EQ(val[0x35], 1);  // field index 1: NAME
  EXPECT_EQ(val[0x35 + 2], 1);
  auto t = Table::Open(fresh, "PEOPLE", {.writable = true});
  EXPECT_TRUE(t->structure().fields[1].required);
  EXPECT_THROW(t->insert({int64_t{1}, Value{}}), engine::EDBEngineError);
}

// --- a table the dictionary recorded no properties of ---------------------

class WithoutRecordedPropertiesTest : public KeepPropertiesTest {
 protected:
  // A table PRICES with a picture on PRICE and one row, loaded into a
  // dictionary that then loses DDProps, as one made before it had it.
  void SetUp() override {
    KeepPropertiesTest::SetUp();
    ValidityCheck picture;
    picture.field_number = 2;
    picture.picture = "###";
    TableDefinition def;
    def.fields = {{"ID", FieldType::kSmallint, 0}, {"PRICE", FieldType::kString, 3}};
    def.indexes = {{"", {"ID"}, true, true}};
    def.checks = {picture};
    Table::Create(src_, "PRICES", def);
    Table::Open(src_, "PRICES", {.writable = true})->insert({int64_t{1}, Value{"123"}});
    Load({"PRICES"});
    dm_.reset();
    for (const char* ext : {".DB", ".PX"}) fs::remove(FindFile(dict_, "DDProps", ext));
    dm_ = std::make_unique<dictionary::TdmDataDictionary>(session_, ui_);
    dm_->OpenDictionary(dict_);
  }
};

TEST_F(WithoutRecordedPropertiesTest, AnInPlaceRebuildKeepsTheTablesOwnPicture) {
  Rebuild(src_);
  auto table = Table::Open(src_, "PRICES");
  EXPECT_EQ(table->recordCount(), 1u);
  ASSERT_EQ(table->structure().checks.size(), 1u);
  EXPECT_EQ(table->structure().checks[0].field_number, 2);
  EXPECT_EQ(table->structure().checks[0].picture, "###");
}

TEST_F(WithoutRecordedPropertiesTest, AnUnreadableValidityFileIsRebuiltWithANote) {
  std::ofstream(FindFile(src_, "PRICES", ".VAL"), std::ios::binary | std::ios::trunc) << "\x09";
  Rebuild(src_);
  auto table = Table::Open(src_, "PRICES");
  EXPECT_EQ(table->recordCount(), 1u);
  bool noted = false;
  for (const std::string& text : ui_.progress_texts) {
    noted = noted || text.find("its validity file cannot be read") != std::string::npos;
  }
  EXPECT_TRUE(noted);
}

}  // namespace
}  // namespace vellum::rebuild
