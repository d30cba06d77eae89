// Tests of `vellum-cli load` and `vellum-cli list`, run in-process through
// RunCli with string streams, the way a new user would chain the commands:
// create a dictionary, register an alias, load a folder of real tables, list
// them, rebuild them empty elsewhere and restructure copies in place.
//
// What the commands wrote is checked against independent sources: the
// tables' own files read with pxlib (Debian's Paradox reader; it never opens
// a .MB here, it aborts on them), the dictionary format (DDTables, DDFields,
// DDIndex), the listing's line formats and the engine's integrity check.
extern "C" {
#include <paradox.h>
}

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/load_command.h"
#include "engine/paradox/table.h"
#include "engine/value.h"
#include "tests/support/cli_invoke.h"
#include "tests/support/temp_dir.h"

namespace vellum::cli {
namespace {

namespace fs = std::filesystem;

using engine::IsNull;
using engine::Value;
using engine::paradox::Row;
using engine::paradox::Table;

using Result = test::CliResult;
const auto Invoke = &test::InvokeCli;

// The load command with the terminal given: answers come from `answers`
// when `interactive`.
Result InvokeLoad(const std::vector<std::string>& args, bool interactive,
                  const std::string& answers = "") {
  std::istringstream in(answers);
  std::ostringstream out;
  std::ostringstream err;
  Result r;
  r.status = RunLoad(args, in, interactive, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

using test::ReadFile;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

const auto Snapshot = &test::SnapshotFiles;
const auto CopyFolder = &test::CopyFolderFiles;

// The file of `directory` named `stem` + `extension`, letter case ignored;
// empty when there is none.
std::string FindFile(const std::string& directory, const std::string& stem,
                     const std::string& extension) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (Upper(entry.path().filename().string()) == Upper(stem + extension)) {
      return entry.path().string();
    }
  }
  return "";
}

// The names of the tables of a folder: its .DB files (any letter case),
// without extension, in name order ignoring letter case.
std::vector<std::string> DataFileStems(const std::string& directory) {
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.is_regular_file() && Upper(entry.path().extension().string()) == ".DB") {
      stems.push_back(entry.path().stem().string());
    }
  }
  std::sort(stems.begin(), stems.end(),
            [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
  return stems;
}

// A table's secondary index files (.Xnn or .XGn) in `directory`.
int SecondaryIndexFiles(const std::string& directory, const std::string& stem) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string upper = Upper(entry.path().filename().string());
    const std::string prefix = Upper(stem) + ".X";
    if (upper.size() > prefix.size() && upper.starts_with(prefix)) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// pxlib

struct PxField {
  std::string name;
  int type = 0;
  int length = 0;
};

// What pxlib reads from a data file's header.
struct PxTable {
  bool opened = false;
  int records = 0;
  int key_fields = 0;
  int version = 0;  // 40 for level 4, 70 for level 7
  unsigned long encryption = 0;
  std::vector<PxField> fields;
};

void IgnorePxMessage(pxdoc_t*, int, const char*, void*) {}

PxTable ReadWithPxlib(const std::string& data_file) {
  PxTable table;
  pxdoc_t* doc = PX_new3(&IgnorePxMessage, nullptr, nullptr, nullptr, nullptr);
  if (doc == nullptr) return table;
  if (PX_open_file(doc, data_file.c_str()) == 0) {
    const pxhead_t* head = doc->px_head;
    table.opened = true;
    table.records = head->px_numrecords;
    table.key_fields = head->px_primarykeyfields;
    table.version = head->px_fileversion;
    table.encryption = head->px_encryption;
    for (int i = 0; i < head->px_numfields; ++i) {
      const pxfield_t& f = head->px_fields[i];
      table.fields.push_back({f.px_fname, static_cast<unsigned char>(f.px_ftype), f.px_flen});
    }
    PX_close(doc);
  }
  PX_delete(doc);
  return table;
}

// The dictionary's name of a Paradox field type (the names of the field
// type list, whose positions are the engine's logical types).
std::string TypeName(int px_type) {
  switch (px_type) {
    case pxfAlpha:
      return "String";
    case pxfDate:
      return "Date";
    case pxfShort:
      return "Smallint";
    case pxfLong:
      return "Integer";
    case pxfCurrency:
      return "Currency";
    case pxfNumber:
      return "Float";
    case pxfLogical:
      return "Boolean";
    case pxfMemoBLOb:
      return "Memo";
    case pxfBLOb:
      return "Blob";
    case pxfFmtMemoBLOb:
      return "FmtMemo";
    case pxfOLE:
      return "ParadoxOle";
    case pxfGraphic:
      return "Graphic";
    case pxfTime:
      return "Time";
    case pxfTimestamp:
      return "DateTime";
    case pxfAutoInc:
      return "AutoInc";
    case pxfBCD:
      return "BCD";
    case pxfBytes:
      return "Bytes";
  }
  return "?";
}

// The length the dictionary records for a field: the header's length for
// text and bytes; for blob fields the part kept in the record, which the
// header gives plus the 10 bytes of the blob reference; none (the engine's
// size 0) for the types of fixed size.
std::optional<int64_t> DictionaryLength(const PxField& field) {
  switch (field.type) {
    case pxfAlpha:
    case pxfBytes:
      return field.length;
    case pxfMemoBLOb:
    case pxfBLOb:
    case pxfFmtMemoBLOb:
    case pxfOLE:
    case pxfGraphic:
      return field.length - 10;
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// The dictionary, read row by row from its files.

using DictRow = std::map<std::string, Value>;

std::vector<DictRow> ReadRows(const std::string& directory, const std::string& table_name) {
  std::vector<DictRow> rows;
  auto table = Table::Open(directory, table_name);
  Table::Scanner scanner(*table);
  Row row;
  while (scanner.next(row)) {
    DictRow named;
    for (size_t i = 0; i < row.size(); ++i) named[table->structure().fields[i].name] = row[i];
    rows.push_back(std::move(named));
  }
  return rows;
}

std::string Text(const DictRow& row, const std::string& column) {
  const Value& v = row.at(column);
  return IsNull(v) ? "" : std::get<std::string>(v);
}

std::optional<int64_t> Integer(const DictRow& row, const std::string& column) {
  const Value& v = row.at(column);
  if (IsNull(v)) return std::nullopt;
  return std::get<int64_t>(v);
}

bool Flag(const DictRow& row, const std::string& column) {
  const Value& v = row.at(column);
  return !IsNull(v) && std::get<bool>(v);
}

// The rows of DDFields or DDIndex of the table with code `code`, in the
// file's key order (position for fields, name for indexes).
std::vector<DictRow> RowsOf(const std::vector<DictRow>& rows, int64_t code) {
  std::vector<DictRow> of;
  for (const DictRow& row : rows) {
    if (Integer(row, "CodTabella") == code) of.push_back(row);
  }
  return of;
}

// The DDTables row of `alias`.`name`; fails the test when there is none.
DictRow TableRow(const std::vector<DictRow>& tables, const std::string& alias,
                 const std::string& name) {
  for (const DictRow& row : tables) {
    if (Text(row, "Alias") == alias && Text(row, "Nome") == name) return row;
  }
  ADD_FAILURE() << "no DDTables row " << alias << "." << name;
  return {};
}

std::set<std::string> TableNamesOf(const std::vector<DictRow>& tables) {
  std::set<std::string> names;
  for (const DictRow& row : tables) names.insert(Text(row, "Nome"));
  return names;
}

std::string LoadingLines(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += "Loading \"" + name + "\n";
  return out;
}

// The field line of the listing up to the type column: position right in
// 3 characters, a blank, the name left in 29 characters, a blank.
std::string FieldLineStart(int position, const std::string& name) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%3d %-29s ", position, name.c_str());
  return buffer;
}

// ---------------------------------------------------------------------------

class LoadListCliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Invoke({"create-dictionary", dict_}).status, kExitOk); }

  // A folder `name` in the temporary directory holding copies of the files
  // of `tables` from the corpus folder.
  std::string SourceWith(const std::string& name, const std::vector<std::string>& tables) {
    const std::string folder = dir_.file(name);
    fs::create_directories(folder);
    for (const std::string& table : tables) test::CopyTableFiles(corpus_, table, folder);
    return folder;
  }

  Result Load(std::vector<std::string> args) {
    args.insert(args.begin(), {"load", "--config", conf_, "-p", dict_});
    return Invoke(args);
  }

  std::vector<std::string> LoadArgs(const std::string& source, const std::string& as) {
    return {"--config", conf_, "-p", dict_, "--source", source, "--as", as};
  }

  test::TempDir dir_;
  std::string dict_ = dir_.file("dict");
  std::string conf_ = dir_.file("aliases.conf");
  std::string corpus_ = test::CorpusDir() + "/leonhad_paradoxdriver/db";
};

// ---------------------------------------------------------------------------
// End to end

TEST_F(LoadListCliTest, LoadListRebuildAndRestructureAFolderOfRealTables) {
  // The folder and its alias, as a user would set them up.
  const std::string src = dir_.file("src");
  CopyFolder(corpus_, src);
  ASSERT_EQ(Invoke({"alias", "add", "SRC", src, "--config", conf_}).status, kExitOk);

  const std::vector<std::string> names = DataFileStems(src);
  ASSERT_FALSE(names.empty());
  std::map<std::string, PxTable> source;
  for (const std::string& name : names) {
    source[name] = ReadWithPxlib(FindFile(src, name, ".DB"));
    // None of the folder's tables is encrypted, and pxlib reads every header:
    // every one of them is expected in the dictionary.
    ASSERT_TRUE(source[name].opened) << name;
    ASSERT_EQ(source[name].encryption, 0u) << name;
  }

  // Load all of them.
  const Result load = Load({"--source", "SRC", "--as", "SRC", "--yes-all"});
  ASSERT_EQ(load.status, kExitOk) << load.err;
  EXPECT_EQ(load.err, "");
  EXPECT_EQ(load.out, LoadingLines(names));

  // One DDTables row per table, with its fields and indexes.
  const std::vector<DictRow> tables = ReadRows(dict_, "DDTables");
  const std::vector<DictRow> fields = ReadRows(dict_, "DDFields");
  const std::vector<DictRow> indexes = ReadRows(dict_, "DDIndex");
  ASSERT_EQ(tables.size(), names.size());
  EXPECT_EQ(TableNamesOf(tables), std::set<std::string>(names.begin(), names.end()));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const DictRow table = TableRow(tables, "SRC", name);
    ASSERT_FALSE(table.empty());
    EXPECT_FALSE(IsNull(table.at("DataInserimento")));
    // A first load records only the insertion date.
    EXPECT_TRUE(IsNull(table.at("DataUltimaModifica")));
    const int64_t code = *Integer(table, "Codice");

    const PxTable& px = source[name];
    const std::vector<DictRow> field_rows = RowsOf(fields, code);
    ASSERT_EQ(field_rows.size(), px.fields.size());
    for (size_t i = 0; i < px.fields.size(); ++i) {
      EXPECT_EQ(Integer(field_rows[i], "Posizione"), static_cast<int64_t>(i + 1));
      EXPECT_EQ(Text(field_rows[i], "Nome"), px.fields[i].name);
      EXPECT_EQ(Text(field_rows[i], "Tipo"), TypeName(px.fields[i].type)) << px.fields[i].name;
      EXPECT_EQ(Integer(field_rows[i], "Lunghezza"), DictionaryLength(px.fields[i]))
          << px.fields[i].name;
      EXPECT_FALSE(Flag(field_rows[i], "Obbligatorio"));
    }

    // The primary index (its key: the first key_fields fields) under the
    // name "*PRIMARY*", and one row per secondary index file.
    const std::vector<DictRow> index_rows = RowsOf(indexes, code);
    const int secondary = SecondaryIndexFiles(src, name);
    ASSERT_EQ(static_cast<int>(index_rows.size()), (px.key_fields > 0 ? 1 : 0) + secondary);
    if (px.key_fields > 0) {
      std::string keys;
      for (int k = 0; k < px.key_fields; ++k) keys += (k ? ";" : "") + px.fields[k].name;
      const auto primary = std::find_if(index_rows.begin(), index_rows.end(), [](const DictRow& r) {
        return Text(r, "Nome") == "*PRIMARY*";
      });
      ASSERT_NE(primary, index_rows.end());
      EXPECT_EQ(Text(*primary, "CampiChiave"), keys);
      EXPECT_TRUE(Flag(*primary, "Primario"));
      EXPECT_TRUE(Flag(*primary, "Unico"));
    }
  }

  // The listing: one block per table, each starting a page with its three
  // header lines.
  const std::string listing = dir_.file("listing.txt");
  const Result list = Invoke({"list", "-p", dict_, "--alias", "SRC", "-o", listing});
  ASSERT_EQ(list.status, kExitOk) << list.err;
  EXPECT_EQ(list.err, "");
  const std::string text = ReadFile(listing);
  size_t headers = 0;
  for (size_t at = text.find("Table name: "); at != std::string::npos;
       at = text.find("Table name: ", at + 1)) {
    ++headers;
  }
  EXPECT_EQ(headers, names.size());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\f');
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string header = "Table name: SRC." + name + "\r\n";
    const size_t at = text.find(header);
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(at == 0 || text[at - 1] == '\f');
    const size_t end = text.find('\f', at);
    ASSERT_NE(end, std::string::npos);
    const std::string block = text.substr(at, end - at);
    std::istringstream lines(block);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    EXPECT_TRUE(line.starts_with("Inserted on:  ") && line.size() > 15) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Modified:   \r");  // never modified since the load
    for (size_t i = 0; i < source[name].fields.size(); ++i) {
      EXPECT_NE(
          block.find("\r\n" + FieldLineStart(static_cast<int>(i + 1), source[name].fields[i].name)),
          std::string::npos)
          << source[name].fields[i].name;
    }
    if (source[name].key_fields > 0) {
      EXPECT_NE(block.find("\r\nIndex name:  *PRIMARY*\r\n"), std::string::npos);
    }
  }

  // Rebuilt into a new directory, every table is there, empty, with the same
  // fields, at the level it had.
  const std::string fresh = dir_.file("fresh");
  const Result rebuild =
      Invoke({"rebuild", "--config", conf_, "-p", dict_, "-a", "SRC", "-d", fresh});
  ASSERT_EQ(rebuild.status, kExitOk) << rebuild.err;
  EXPECT_EQ(rebuild.err, "");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string file = FindFile(fresh, name, ".DB");
    ASSERT_FALSE(file.empty());
    const PxTable px = ReadWithPxlib(file);
    ASSERT_TRUE(px.opened);
    EXPECT_EQ(px.records, 0);
    EXPECT_EQ(px.version, source[name].version);
    EXPECT_EQ(px.key_fields, source[name].key_fields);
    ASSERT_EQ(px.fields.size(), source[name].fields.size());
    for (size_t i = 0; i < px.fields.size(); ++i) {
      EXPECT_EQ(px.fields[i].name, source[name].fields[i].name);
      EXPECT_EQ(px.fields[i].type, source[name].fields[i].type);
      EXPECT_EQ(px.fields[i].length, source[name].fields[i].length);
    }
    EXPECT_EQ(SecondaryIndexFiles(fresh, name), SecondaryIndexFiles(src, name));
    auto table = Table::Open(fresh, name);
    EXPECT_EQ(table->recordCount(), 0u);
    EXPECT_EQ(table->verify(), std::vector<std::string>{});
  }

  // Restructured in place, copies of the originals keep every row.
  const std::string inplace = dir_.file("inplace");
  CopyFolder(corpus_, inplace);
  std::map<std::string, std::string> dump_before;
  for (const std::string& name : names) {
    const Result dump = Invoke({"dump", FindFile(inplace, name, ".DB")});
    ASSERT_EQ(dump.status, kExitOk) << dump.err;
    dump_before[name] = dump.out;
  }
  const Result restructure =
      Invoke({"rebuild", "--config", conf_, "-p", dict_, "-a", "SRC", "-d", inplace});
  ASSERT_EQ(restructure.status, kExitOk) << restructure.err;
  EXPECT_EQ(restructure.err, "");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string file = FindFile(inplace, name, ".DB");
    ASSERT_FALSE(file.empty());
    const PxTable px = ReadWithPxlib(file);
    ASSERT_TRUE(px.opened);
    EXPECT_EQ(px.version, source[name].version);
    EXPECT_EQ(px.records, source[name].records);
    ASSERT_EQ(px.fields.size(), source[name].fields.size());
    for (size_t i = 0; i < px.fields.size(); ++i) {
      EXPECT_EQ(px.fields[i].name, source[name].fields[i].name);
      EXPECT_EQ(px.fields[i].type, source[name].fields[i].type);
    }
    auto table = Table::Open(inplace, name);
    EXPECT_EQ(table->recordCount(), static_cast<uint32_t>(source[name].records));
    EXPECT_EQ(table->verify(), std::vector<std::string>{});
    table.reset();
    const Result verify = Invoke({"verify", file});
    EXPECT_EQ(verify.status, kExitOk) << verify.out << verify.err;
    EXPECT_EQ(verify.out, "OK\n");

    // Row by row, memos included: the dump of every record is unchanged.
    const Result dump = Invoke({"dump", file});
    ASSERT_EQ(dump.status, kExitOk) << dump.err;
    EXPECT_EQ(dump.out, dump_before[name]);
  }
  EXPECT_GT(source["CUSTOMER"].records, 0);
  EXPECT_NE(dump_before["CUSTOMER"].find("CustNo,"), std::string::npos);

  // What the three tables cannot hold is kept all the same. AREACODE's two
  // validity checks are pictures only ("###" on Area Code, "&&" on State):
  // DDFields has no column for them, DDProps keeps them, and both rebuilt
  // tables have them back. Every other table of the folder has none.
  const auto original = Table::Open(src, "AREACODE");
  ASSERT_EQ(original->structure().checks.size(), 2u);
  for (const auto& check : original->structure().checks) {
    EXPECT_FALSE(check.picture.empty());
    EXPECT_FALSE(check.has_min || check.has_max || check.has_default || check.required);
  }
  const DictRow areacode = TableRow(tables, "SRC", "AREACODE");
  for (const DictRow& row : RowsOf(fields, *Integer(areacode, "Codice"))) {
    EXPECT_EQ(Text(row, "ValoreMinimo") + Text(row, "ValoreMassimo") + Text(row, "ValoreDefault"),
              "");
  }
  for (const std::string& directory : {fresh, inplace}) {
    EXPECT_EQ(Table::Open(directory, "AREACODE")->structure().checks, original->structure().checks)
        << directory;
  }
  for (const std::string& name : names) {
    if (name == "AREACODE") continue;
    EXPECT_TRUE(Table::Open(src, name)->structure().checks.empty()) << name;
    EXPECT_TRUE(Table::Open(inplace, name)->structure().checks.empty()) << name;
  }
}

// The corpus's encrypted tables load without their password: everything a
// dictionary records lies in their clear headers. Their fields are the ones
// pxlib reads.
TEST_F(LoadListCliTest, EncryptedTablesLoadWithoutTheirPassword) {
  const test::ScopedEnvironment none("VELLUM_PASSWORD", std::nullopt);
  const std::string src = dir_.file("encrypted");
  CopyFolder(test::CorpusDir() + "/leonhad_paradoxdriver/encrypt", src);
  const std::vector<std::string> names = DataFileStems(src);
  ASSERT_EQ(names.size(), 3u);
  const Result load = Load({"--source", src, "--as", "ENC"});
  ASSERT_EQ(load.status, kExitOk) << load.err;
  EXPECT_EQ(load.err, "");
  const std::vector<DictRow> tables = ReadRows(dict_, "DDTables");
  const std::vector<DictRow> fields = ReadRows(dict_, "DDFields");
  EXPECT_EQ(TableNamesOf(tables), std::set<std::string>(names.begin(), names.end()));
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const PxTable px = ReadWithPxlib(FindFile(src, name, ".DB"));
    ASSERT_TRUE(px.opened);
    ASSERT_NE(px.encryption, 0u);
    const std::vector<DictRow> field_rows =
        RowsOf(fields, *Integer(TableRow(tables, "ENC", name), "Codice"));
    ASSERT_EQ(field_rows.size(), px.fields.size());
    for (size_t i = 0; i < px.fields.size(); ++i) {
      EXPECT_EQ(Text(field_rows[i], "Nome"), px.fields[i].name);
      EXPECT_EQ(Text(field_rows[i], "Tipo"), TypeName(px.fields[i].type));
      EXPECT_EQ(Integer(field_rows[i], "Lunghezza"), DictionaryLength(px.fields[i]));
    }
  }
}

// ---------------------------------------------------------------------------
// Bad input

TEST_F(LoadListCliTest, UnknownSourceIsOneErrorAndChangesNothing) {
  const auto before = Snapshot(dict_);
  const Result r = Load({"--source", "NOPE", "--as", "X", "CONTACTS"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("vellum-cli: load: ")) << r.err;
  EXPECT_NE(r.err.find("\"NOPE\""), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(Snapshot(dict_), before);

  // An alias whose directory is gone.
  std::ofstream(conf_) << "GONE STANDARD " << dir_.file("gone") << "\n";
  const Result gone = Load({"--source", "GONE", "--as", "X"});
  EXPECT_EQ(gone.status, kExitFailure);
  EXPECT_EQ(gone.err, "vellum-cli: load: the source \"GONE\" names the directory \"" +
                          dir_.file("gone") + "\", which does not exist\n");
  EXPECT_EQ(Snapshot(dict_), before);
}

TEST_F(LoadListCliTest, UnreadableTableIsSkippedWhileTheOthersLoad) {
  const std::string src = SourceWith("src", {"CONTACTS", "DECIMAL"});
  std::ofstream(src + "/BROKEN.DB").close();  // zero length
  const Result r = Load({"--source", src, "--as", "S"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, LoadingLines({"BROKEN", "CONTACTS", "DECIMAL"}));
  // The reason is the one describe gives for the table.
  const Result described = Invoke({"describe", src + "/BROKEN"});
  ASSERT_EQ(described.status, kExitFailure);
  ASSERT_TRUE(described.err.starts_with("vellum-cli: Corrupt table file \"BROKEN.DB\""))
      << described.err;
  const std::string reason = described.err.substr(12, described.err.size() - 13);
  EXPECT_EQ(r.err,
            "vellum-cli: load: Impossible to load the informations of the table \"BROKEN\": " +
                reason + "\n" + "vellum-cli: load: 1 table could not be loaded\n");
  EXPECT_EQ(TableNamesOf(ReadRows(dict_, "DDTables")),
            (std::set<std::string>{"CONTACTS", "DECIMAL"}));
  // CONTACTS has 4 fields, DECIMAL 1 (pxlib agrees).
  EXPECT_EQ(ReadRows(dict_, "DDFields").size(),
            ReadWithPxlib(src + "/CONTACTS.DB").fields.size() +
                ReadWithPxlib(src + "/DECIMAL.DB").fields.size());
}

TEST_F(LoadListCliTest, LoadingTheDictionarysOwnDirectorySkipsItsTablesWithOneNote) {
  test::CopyTableFiles(corpus_, "CONTACTS", dict_);
  const Result r = Load({"--source", dict_, "--as", "D"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, LoadingLines({"CONTACTS"}));
  EXPECT_EQ(r.err,
            "vellum-cli: load: The data dictionary's own tables are not loaded: DDFields, "
            "DDIndex, DDProps, DDTables\n");
  EXPECT_EQ(TableNamesOf(ReadRows(dict_, "DDTables")), (std::set<std::string>{"CONTACTS"}));

  // Named, they are skipped the same way, in any letter case.
  const Result named = Load({"--source", dict_, "--as", "D", "--yes-all", "ddtables", "CONTACTS"});
  EXPECT_EQ(named.status, kExitOk) << named.err;
  EXPECT_EQ(named.out, LoadingLines({"CONTACTS"}));
  EXPECT_EQ(named.err,
            "vellum-cli: load: The data dictionary's own tables are not loaded: ddtables\n");
}

TEST_F(LoadListCliTest, ProjectDirectoryWithoutDictionaryIsRefused) {
  const std::string src = SourceWith("src", {"CONTACTS"});
  const std::string empty = dir_.file("empty");
  fs::create_directories(empty);
  const Result r = Invoke({"load", "--config", conf_, "-p", empty, "--source", src, "--as", "S"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vellum-cli: load: \"" + empty +
                       "\" is not a project directory: DDTables.DB is missing\n");
  EXPECT_TRUE(fs::is_empty(empty));

  const Result missing =
      Invoke({"load", "--config", conf_, "-p", dir_.file("none"), "--source", src, "--as", "S"});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_EQ(missing.err, "vellum-cli: load: \"" + dir_.file("none") + "\" is not a directory\n");
  EXPECT_FALSE(fs::exists(dir_.file("none")));

  const Result list = Invoke({"list", "-p", empty, "--alias", "S", "-o", dir_.file("l.txt")});
  EXPECT_EQ(list.status, kExitFailure);
  EXPECT_EQ(list.err, "vellum-cli: list: \"" + empty +
                          "\" is not a project directory: DDTables.DB is missing\n");
  EXPECT_FALSE(fs::exists(dir_.file("l.txt")));
}

TEST_F(LoadListCliTest, TableNameOutsideTheSourceIsRefusedBeforeAnythingIsTouched) {
  // A readable table beside the source folder, which "../OUTSIDE" would reach.
  const std::string src = SourceWith("src", {"CONTACTS"});
  fs::copy_file(src + "/CONTACTS.DB", dir_.file("OUTSIDE.DB"));
  const auto before = Snapshot(dict_);
  for (const std::string& name : std::vector<std::string>{
           "../OUTSIDE", "sub/CONTACTS", "sub\\CONTACTS", "..", src + "/CONTACTS"}) {
    SCOPED_TRACE(name);
    const Result r = Load({"--source", src, "--as", "S", "CONTACTS", name});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("vellum-cli: load: \"" + name + "\" is not a table name"))
        << r.err;
    EXPECT_EQ(Snapshot(dict_), before);
  }
  EXPECT_TRUE(ReadRows(dict_, "DDTables").empty());
  // Refused even where the project directory is wrong: the names come first.
  const Result r = Invoke({"load", "-p", dir_.file("none"), "--source", src, "--as", "S", ".."});
  EXPECT_EQ(r.status, kExitUsage);
}

TEST_F(LoadListCliTest, ReloadAsksOnTheTerminalAndFailsWithoutOne) {
  const std::string src = SourceWith("src", {"CONTACTS", "DECIMAL"});
  ASSERT_EQ(Load({"--source", src, "--as", "S"}).status, kExitOk);
  const std::vector<DictRow> first = ReadRows(dict_, "DDTables");
  ASSERT_EQ(first.size(), 2u);
  const std::string question_contacts =
      "vellum-cli: load: The table \"S.CONTACTS\" has been already loaded. Do you confirm the "
      "upgrade?\n";

  // No terminal: the question is shown, nothing is changed, the command fails.
  auto before = Snapshot(dict_);
  const Result no_terminal = InvokeLoad(LoadArgs(src, "S"), /*interactive=*/false);
  EXPECT_EQ(no_terminal.status, kExitFailure);
  EXPECT_EQ(no_terminal.out, LoadingLines({"CONTACTS"}));
  EXPECT_EQ(no_terminal.err,
            question_contacts +
                "vellum-cli: load: no terminal to answer from; the load stops here (--yes-all "
                "upgrades the tables already in the dictionary without asking)\n");
  EXPECT_EQ(Snapshot(dict_), before);

  // On a terminal: no for CONTACTS, yes for DECIMAL. Only DECIMAL gets a date
  // of last change; both keep their rows (and codes).
  const Result answered = InvokeLoad(LoadArgs(src, "S"), /*interactive=*/true, "n\nyes\n");
  EXPECT_EQ(answered.status, kExitOk) << answered.err;
  EXPECT_EQ(answered.out, LoadingLines({"CONTACTS", "DECIMAL"}));
  EXPECT_TRUE(answered.err.starts_with(question_contacts)) << answered.err;
  EXPECT_NE(answered.err.find("\"S.DECIMAL\" has been already loaded"), std::string::npos);
  std::vector<DictRow> now = ReadRows(dict_, "DDTables");
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(TableRow(now, "S", "CONTACTS").at("Codice"),
            TableRow(first, "S", "CONTACTS").at("Codice"));
  EXPECT_TRUE(IsNull(TableRow(now, "S", "CONTACTS").at("DataUltimaModifica")));
  EXPECT_FALSE(IsNull(TableRow(now, "S", "DECIMAL").at("DataUltimaModifica")));

  // Cancel on the terminal stops the load and fails.
  before = Snapshot(dict_);
  const Result cancelled = InvokeLoad(LoadArgs(src, "S"), /*interactive=*/true, "c\n");
  EXPECT_EQ(cancelled.status, kExitFailure);
  EXPECT_EQ(cancelled.out, LoadingLines({"CONTACTS"}));
  EXPECT_NE(cancelled.err.find("vellum-cli: load: cancelled"), std::string::npos) << cancelled.err;
  EXPECT_EQ(Snapshot(dict_), before);

  // --yes-all upgrades both without a question, terminal or not.
  const Result yes_all = Load({"--source", src, "--as", "S", "--yes-all"});
  EXPECT_EQ(yes_all.status, kExitOk) << yes_all.err;
  EXPECT_EQ(yes_all.err, "");
  EXPECT_EQ(yes_all.out, LoadingLines({"CONTACTS", "DECIMAL"}));
  now = ReadRows(dict_, "DDTables");
  ASSERT_EQ(now.size(), 2u);
  for (const char* name : {"CONTACTS", "DECIMAL"}) {
    EXPECT_EQ(TableRow(now, "S", name).at("Codice"), TableRow(first, "S", name).at("Codice"));
    EXPECT_FALSE(IsNull(TableRow(now, "S", name).at("DataUltimaModifica"))) << name;
  }
  EXPECT_EQ(ReadRows(dict_, "DDFields").size(), 5u);  // 4 + 1, not doubled
}

TEST_F(LoadListCliTest, ProgramWithoutTerminalStopsAtTheQuestion) {
  // The program itself, its standard input not a terminal.
  const std::string src = SourceWith("src", {"DECIMAL"});
  ASSERT_EQ(Load({"--source", src, "--as", "S"}).status, kExitOk);
  const auto before = Snapshot(dict_);
  const std::string err_file = dir_.file("err.txt");
  const std::string command = std::string("'") + VELLUM_CLI_PATH + "' load --config '" + conf_ +
                              "' -p '" + dict_ + "' --source '" + src + "' --as S < /dev/null > '" +
                              dir_.file("out.txt") + "' 2> '" + err_file + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kExitFailure);
  EXPECT_NE(ReadFile(err_file).find("no terminal to answer from"), std::string::npos)
      << ReadFile(err_file);
  EXPECT_EQ(ReadFile(dir_.file("out.txt")), LoadingLines({"DECIMAL"}));
  EXPECT_EQ(Snapshot(dict_), before);
}

TEST_F(LoadListCliTest, LoadArgumentsAreChecked) {
  const std::string src = SourceWith("src", {"DECIMAL"});
  const auto before = Snapshot(dict_);
  EXPECT_EQ(Invoke({"load", "--source", src, "--as", "S"}).status, kExitUsage);
  EXPECT_EQ(Load({"--as", "S"}).status, kExitUsage);
  EXPECT_EQ(Load({"--source", src}).status, kExitUsage);
  EXPECT_EQ(Load({"--source", src, "--as"}).status, kExitUsage);
  EXPECT_EQ(Load({"--source", src, "--as="}).status, kExitUsage);
  EXPECT_EQ(Load({"--source", src, "--as", "S", "--force"}).status, kExitUsage);
  EXPECT_EQ(Load({"--source", src, "--as", "S", ""}).status, kExitUsage);
  EXPECT_EQ(Snapshot(dict_), before);

  const Result help = Invoke({"load", "--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_TRUE(help.out.starts_with("Usage: vellum-cli load -p DIR --source")) << help.out;
  EXPECT_TRUE(Invoke({"--help"}).out.find("\n  load -p DIR") != std::string::npos);

  // A source without tables loads nothing, and says so.
  fs::create_directories(dir_.file("bare"));
  const Result bare = Load({"--source", dir_.file("bare"), "--as", "S"});
  EXPECT_EQ(bare.status, kExitOk);
  EXPECT_EQ(bare.err, "vellum-cli: load: the source \"" + dir_.file("bare") +
                          "\" holds no tables; nothing was loaded\n");
  EXPECT_EQ(Snapshot(dict_), before);

  // The forms with "=" and the value joined to -p.
  const Result joined = Invoke(
      {"load", "--config=" + conf_, "-p" + dict_, "--source=" + src, "--as=S", "--", "DECIMAL"});
  EXPECT_EQ(joined.status, kExitOk) << joined.err;
  EXPECT_EQ(TableNamesOf(ReadRows(dict_, "DDTables")), (std::set<std::string>{"DECIMAL"}));
}

// ---------------------------------------------------------------------------
// list

TEST_F(LoadListCliTest, ListWritesNamedTablesInTheGivenOrder) {
  const std::string src = SourceWith("src", {"CONTACTS", "DECIMAL", "SERVER"});
  ASSERT_EQ(Load({"--source", src, "--as", "Shop"}).status, kExitOk);
  const std::string file = dir_.file("two.txt");
  std::ofstream(file) << "old content that is replaced";
  // The alias in another letter case finds the same rows.
  const Result r =
      Invoke({"list", "-p", dict_, "--alias", "SHOP", "-o", file, "SERVER", "DECIMAL"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, "Listed 2 tables of \"SHOP\" in \"" + file + "\"\n");
  const std::string text = ReadFile(file);
  EXPECT_TRUE(text.starts_with("Table name: SHOP.SERVER\r\n")) << text.substr(0, 40);
  const size_t second = text.find("\fTable name: SHOP.DECIMAL\r\n");
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(text.find("CONTACTS"), std::string::npos);
  EXPECT_EQ(text.find("old content"), std::string::npos);
  // SERVER's key is REQTYPE and URI; DECIMAL has one field and no index.
  EXPECT_NE(text.find("\r\nIndex name:  *PRIMARY*\r\nKey fields: REQTYPE;URI\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\n" + FieldLineStart(1, "DECIMAL") + "   Float"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\f'), 2);
}

TEST_F(LoadListCliTest, ListFailuresLeaveNoFile) {
  const std::string src = SourceWith("src", {"DECIMAL"});
  ASSERT_EQ(Load({"--source", src, "--as", "S"}).status, kExitOk);
  const std::string file = dir_.file("out.txt");

  const Result unknown = Invoke({"list", "-p", dict_, "--alias", "NOPE", "-o", file});
  EXPECT_EQ(unknown.status, kExitFailure);
  EXPECT_EQ(unknown.err,
            "vellum-cli: list: the data dictionary holds no table under the alias \"NOPE\"\n");
  EXPECT_FALSE(fs::exists(file));

  const Result missing =
      Invoke({"list", "-p", dict_, "--alias", "S", "-o", file, "DECIMAL", "MISSING"});
  EXPECT_EQ(missing.status, kExitFailure);
  EXPECT_EQ(missing.err,
            "vellum-cli: list: Table \"S.MISSING\" is not present in the datadictionary\n");
  EXPECT_FALSE(fs::exists(file));

  const Result unwritable =
      Invoke({"list", "-p", dict_, "--alias", "S", "-o", dir_.file("no/such/dir/out.txt")});
  EXPECT_EQ(unwritable.status, kExitFailure);
  EXPECT_TRUE(unwritable.err.starts_with("vellum-cli: list: ")) << unwritable.err;

  EXPECT_EQ(Invoke({"list", "-p", dict_, "--alias", "S"}).status, kExitUsage);
  EXPECT_EQ(Invoke({"list", "-p", dict_, "-o", file}).status, kExitUsage);
  EXPECT_EQ(Invoke({"list", "--alias", "S", "-o", file}).status, kExitUsage);
  EXPECT_EQ(Invoke({"list", "-p", dict_, "--alias", "S", "-o", file, "--all"}).status, kExitUsage);
  EXPECT_FALSE(fs::exists(file));
  const Result help = Invoke({"list", "--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_TRUE(help.out.starts_with("Usage: vellum-cli list -p DIR --alias ALIAS -o FILE"));
}

}  // namespace
}  // namespace vellum::cli
