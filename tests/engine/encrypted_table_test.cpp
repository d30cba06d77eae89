// Encrypted tables through Table: the corpus's, one pxlib encrypted, and
// ones the engine encrypts. pxlib is the oracle: it reads encrypted data and
// index files by itself (the checksum in each header keys the scrambling),
// writes encrypted tables when given a password, and exports its blob-file
// unscrambling, with which the tests read the .MB files themselves.
extern "C" {
#include <paradox.h>
void px_decrypt_mb_block(unsigned char* src, unsigned char* dest, unsigned long encryption,
                         unsigned long blocksize);
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/forwarding_file_system.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/table.h"
#include "tests/support/temp_dir.h"

namespace vellum::engine::paradox {
namespace {

namespace fs = std::filesystem;
using test::CopyTableFiles;
using test::CorpusDir;
using test::ReadFile;
using test::TempDir;

std::string EncryptDir() { return CorpusDir() + "/leonhad_paradoxdriver/encrypt"; }

// One table-format file as pxlib reads it.
class PxFile {
 public:
  explicit PxFile(const std::string& path) : doc_(PX_new()) {
    opened_ = PX_open_file(doc_, path.c_str()) == 0;
  }
  ~PxFile() {
    if (opened_) PX_close(doc_);
    PX_delete(doc_);
  }
  PxFile(const PxFile&) = delete;
  PxFile& operator=(const PxFile&) = delete;

  bool opened() const { return opened_; }
  pxdoc_t* doc() const { return doc_; }
  const pxhead_t& head() const { return *doc_->px_head; }
  // The checksum pxlib read from the header (it keeps it sign-extended in a
  // 64-bit long).
  uint32_t checksum() const { return static_cast<uint32_t>(head().px_encryption); }
  // Every record's bytes, in the order pxlib follows the block chain.
  std::vector<std::string> records() const {
    std::vector<std::string> out;
    std::vector<char> record(static_cast<size_t>(head().px_recordsize));
    for (int r = 0; r < head().px_numrecords; ++r) {
      if (PX_get_record(doc_, r, record.data()) == nullptr) {
        ADD_FAILURE() << "pxlib could not read record " << r;
        break;
      }
      out.emplace_back(record.data(), record.size());
    }
    return out;
  }

 private:
  pxdoc_t* doc_;
  bool opened_ = false;
};

// Every record's bytes, in table order, as the engine reads them.
std::vector<std::string> EngineRecords(Table& table) {
  std::vector<std::string> out;
  Table::Scanner scan(table);
  while (scan.nextRaw()) {
    out.emplace_back(reinterpret_cast<const char*>(scan.raw()), table.header().record_size);
  }
  return out;
}

// The blob file at `path`, unscrambled whole by pxlib under `checksum`.
std::string UnscrambledByPxlib(const std::string& path, uint32_t checksum) {
  std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.size() % 4096, 0u);
  auto* p = reinterpret_cast<unsigned char*>(bytes.data());
  px_decrypt_mb_block(p, p, checksum, bytes.size());
  return bytes;
}

// The value a memo field's descriptor (the 10 bytes after its leader) names
// in the clear bytes of its blob file: a single-blob block (offset & 0xFF
// = 0xFF) holds it from byte 9; a slot of a sub-allocated block names its
// chunk.
std::string BlobValue(const std::string& blob_file, const uint8_t* descriptor) {
  const uint32_t reference = LoadLe32(descriptor);
  const uint32_t length = LoadLe32(descriptor + 4);
  const size_t block = reference & 0xFFFFFF00u;
  const size_t index = reference & 0xFFu;
  if (block + 12 > blob_file.size()) return "<outside the file>";
  if (index == 0xFF) return blob_file.substr(block + 9, length);
  const auto* slot = reinterpret_cast<const uint8_t*>(blob_file.data()) + block + 12 + 5 * index;
  return blob_file.substr(block + size_t{slot[0]} * 16, length);
}

// ---------------------------------------------------------------------------
// The corpus's encrypted tables (password "123").

TEST(EncryptedTableTest, CorpusRowsEqualPxlibsAndMemosTheBlobFilePxlibUnscrambles) {
  for (const char* name : {"encrypted.db", "encrypted35.db", "encryptedmemo.db"}) {
    SCOPED_TRACE(name);
    PxFile px(EncryptDir() + "/" + name);
    ASSERT_TRUE(px.opened());
    auto table = Table::Open(EncryptDir(), name, {.passwords = {"123"}});
    ASSERT_TRUE(table->rowsReadable());
    EXPECT_EQ(table->structure().password_checksum, px.checksum());
    const std::vector<std::string> ours = EngineRecords(*table);
    EXPECT_EQ(ours, px.records());
    EXPECT_EQ(ours.size(), static_cast<size_t>(px.head().px_numrecords));
    EXPECT_EQ(table->verify(), std::vector<std::string>{});
  }
  // The memo values: the blob file unscrambled by pxlib, read here.
  auto table = Table::Open(EncryptDir(), "encryptedmemo.db", {.passwords = {"123"}});
  const std::string blob_file =
      UnscrambledByPxlib(EncryptDir() + "/encryptedmemo.mb", table->structure().password_checksum);
  const PxField& memo = table->header().fields[0];
  const CodePage cp(table->structure().code_page);
  Table::Scanner scan(*table);
  Row row;
  int memos = 0;
  while (scan.next(row)) {
    const std::string expected = BlobValue(blob_file, scan.raw() + memo.leaderLength());
    EXPECT_GT(expected.size(), 2048u);  // both values live in single-blob blocks
    EXPECT_EQ(std::get<std::string>(row[0]), cp.toUtf8(expected));
    ++memos;
  }
  EXPECT_EQ(memos, 2);
}

// Every read of a file, and every file opened.
class ReadWatch final : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  struct Read {
    std::string path;
    uint64_t offset;
  };
  std::vector<Read> reads;
  std::vector<std::string> opened;

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    opened.push_back(path);
    return std::make_unique<Watched>(*this, base().open(path, mode));
  }
  // Reads of `file` that start at or past `from`.
  size_t readsFrom(const std::string& file, uint64_t from) const {
    return static_cast<size_t>(std::count_if(reads.begin(), reads.end(), [&](const Read& r) {
      return FileNameOf(r.path) == file && r.offset >= from;
    }));
  }
  bool wasOpened(const std::string& file) const {
    return std::any_of(opened.begin(), opened.end(),
                       [&](const std::string& p) { return FileNameOf(p) == file; });
  }

 private:
  class Watched final : public ForwardingFile {
   public:
    Watched(ReadWatch& watch, std::unique_ptr<File> base)
        : ForwardingFile(std::move(base)), watch_(watch) {}
    size_t read(uint64_t offset, void* buffer, size_t n) override {
      watch_.reads.push_back({path(), offset});
      return ForwardingFile::read(offset, buffer, n);
    }

   private:
    ReadWatch& watch_;
  };
};

// A missing and a wrong password are told apart; either is refused before a
// block of the data file is read or the blob file is opened, for reads,
// checks and writable opens alike.
TEST(EncryptedTableTest, AMissingAndAWrongPasswordAreRefusedBeforeAnyBlockIsRead) {
  TempDir dir;
  CopyTableFiles(EncryptDir(), "encryptedmemo", dir.path());
  const std::string path = JoinPath(dir.path(), "encryptedmemo.db");
  const std::string missing =
      "Table \"" + path + "\" is encrypted; its rows cannot be read without its password";
  const std::string wrong = "Table \"" + path +
                            "\" is encrypted and the password given is not its password; its rows "
                            "cannot be read";
  const uint64_t header_size =
      LoadLe16(reinterpret_cast<const uint8_t*>(ReadFile(path).data()) + 2);
  ASSERT_EQ(header_size, 2048u);
  struct Case {
    std::vector<std::string> passwords;
    const std::string& message;
  };
  for (const Case& c : {Case{{}, missing}, Case{{"12", "1234", "321"}, wrong}}) {
    SCOPED_TRACE(c.message);
    ReadWatch watch(FileSystem::Default());
    const auto refused = [&](const std::function<void()>& action) {
      try {
        action();
        ADD_FAILURE() << "not refused";
      } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.code(), MakeCode(ErrorCategory::kInvalidRequest, subcode::kEncrypted));
        EXPECT_EQ(std::string(e.what()), c.message);
      }
    };
    {
      auto table = Table::Open(dir.path(), "encryptedmemo.db", {.passwords = c.passwords}, watch);
      EXPECT_FALSE(table->rowsReadable());
      EXPECT_EQ(table->recordCount(), 2u);  // the header's count
      refused([&] { Table::Scanner scan(*table); });
      refused([&] { table->read(0); });
      refused([&] { table->verifyReport(); });
      refused([&] { table->checkRowsReadable(); });
    }
    refused([&] {
      Table::Open(dir.path(), "encryptedmemo.db",
                  {.writable = true, .exclusive = true, .passwords = c.passwords}, watch);
    });
    EXPECT_EQ(watch.readsFrom("encryptedmemo.db", header_size), 0u);
    EXPECT_FALSE(watch.wasOpened("encryptedmemo.mb"));
  }
  // The watch sees the reads of blocks that the right password allows.
  ReadWatch watch(FileSystem::Default());
  auto table = Table::Open(dir.path(), "encryptedmemo.db", {.passwords = {"123"}}, watch);
  EXPECT_EQ(table->read(1).size(), 1u);
  EXPECT_GT(watch.readsFrom("encryptedmemo.db", header_size), 0u);
  EXPECT_TRUE(watch.wasOpened("encryptedmemo.mb"));
}

// ---------------------------------------------------------------------------
// A table pxlib encrypted.

struct PxlibTable {
  std::string password;
  int rows;
};

// Creates `path` with pxlib: Id I (pxlib's Long), Name A20, encrypted under
// `password`, rows Id = 1..rows, Name = "row <Id>".
void CreateWithPxlib(const std::string& path, const PxlibTable& spec) {
  pxdoc_t* doc = PX_new();
  auto* fields = static_cast<pxfield_t*>(doc->malloc(doc, 2 * sizeof(pxfield_t), "fields"));
  fields[0] = pxfield_t{PX_strdup(doc, "Id"), pxfLong, 4, 0};
  fields[1] = pxfield_t{PX_strdup(doc, "Name"), pxfAlpha, 20, 0};
  ASSERT_EQ(PX_create_file(doc, fields, 2, path.c_str(), pxfFileTypNonIndexDB), 0);
  ASSERT_EQ(PX_set_parameter(doc, "password", spec.password.c_str()), 0);
  std::vector<char> record(24);
  for (int id = 1; id <= spec.rows; ++id) {
    std::fill(record.begin(), record.end(), 0);
    PX_put_data_long(doc, record.data(), 4, id);
    std::string name = "row " + std::to_string(id);
    PX_put_data_alpha(doc, record.data() + 4, 20, name.data());
    ASSERT_GE(PX_put_record(doc, record.data()), 0);
  }
  PX_close(doc);
  PX_delete(doc);
}

TEST(EncryptedTableTest, ATablePxlibEncryptedReadsWithItsPasswordAndTakesChanges) {
  TempDir dir;
  const PxlibTable spec{"Sesame", 700};
  CreateWithPxlib(dir.file("PXT.DB"), spec);
  {
    PxFile px(dir.file("PXT.DB"));
    ASSERT_TRUE(px.opened());
    ASSERT_EQ(px.checksum(), PasswordChecksum(spec.password));
  }
  {
    auto table = Table::Open(dir.path(), "PXT", {.passwords = {"sesame", spec.password}});
    ASSERT_TRUE(table->rowsReadable());
    EXPECT_EQ(table->recordCount(), static_cast<uint32_t>(spec.rows));
    EXPECT_EQ(table->read(41), (Row{int64_t{42}, std::string("row 42")}));
    EXPECT_EQ(table->verify(), std::vector<std::string>{});
  }
  {
    auto table = Table::Open(dir.path(), "PXT",
                             {.writable = true, .exclusive = true, .passwords = {spec.password}});
    for (int id = spec.rows + 1; id <= spec.rows + 300; ++id) {
      table->insert(Row{int64_t{id}, "added " + std::to_string(id)});
    }
    for (uint32_t at = 0; at < 200; ++at) table->remove(at * 3);
    table->update(5, Row{int64_t{-5}, std::string("changed")});
  }
  auto table = Table::Open(dir.path(), "PXT", {.passwords = {spec.password}});
  EXPECT_EQ(table->recordCount(), static_cast<uint32_t>(spec.rows + 300 - 200));
  EXPECT_EQ(table->verify(), std::vector<std::string>{});
  PxFile px(dir.file("PXT.DB"));
  ASSERT_TRUE(px.opened());
  EXPECT_EQ(px.checksum(), PasswordChecksum(spec.password));
  EXPECT_EQ(EngineRecords(*table), px.records());
}

// ---------------------------------------------------------------------------
// Tables the engine encrypts.

constexpr const char* kPassword = "Open sesame";
constexpr const char* kMarker = "marker-text";

// A keyed level-7 table with a secondary index and a memo, encrypted under
// kPassword: Id I (key), Code A12 (indexed), Note M12.
void CreateEncrypted(const std::string& dir, const std::string& name, int rows) {
  TableDefinition def;
  def.level = 7;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"Code", FieldType::kString, 12, false},
                {"Note", FieldType::kMemo, 12, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"Code", {"Code"}, false, false, false, false}};
  def.password_checksum = TablePasswordChecksum(kPassword, def.code_page);
  Table::Create(dir, name, def);
  auto table =
      Table::Open(dir, name, {.writable = true, .exclusive = true, .passwords = {kPassword}});
  table->beginBulk();
  for (int i = 0; i < rows; ++i) {
    const int id = (i * 7919) % rows + 1;
    const std::string note = id % 3 == 0 ? std::string(kMarker) + " " + std::string(id % 3000, 'n')
                                         : std::string(kMarker);
    table->insert(Row{int64_t{id}, "code " + std::to_string(id % 50), note});
  }
  table->endBulk();
}

TEST(EncryptedTableTest, PxlibReadsEveryFileOfATableTheEngineEncrypted) {
  TempDir dir;
  constexpr int kRows = 2000;
  CreateEncrypted(dir.path(), "ENC", kRows);
  const uint32_t checksum = PasswordChecksum(kPassword);
  auto table = Table::Open(dir.path(), "ENC", {.passwords = {kPassword}});
  EXPECT_EQ(table->structure().password_checksum, checksum);
  EXPECT_EQ(table->verify(), std::vector<std::string>{});

  // The data file: pxlib unscrambles the same records, in key order.
  PxFile db(dir.file("ENC.DB"));
  ASSERT_TRUE(db.opened());
  EXPECT_EQ(db.checksum(), checksum);
  EXPECT_EQ(EngineRecords(*table), db.records());
  // The primary index and the secondary index's files carry the checksum in
  // their own headers; pxlib reads them through it.
  PxFile px(dir.file("ENC.PX"));
  ASSERT_TRUE(px.opened());
  EXPECT_EQ(px.checksum(), checksum);
  ASSERT_EQ(PX_read_primary_index(px.doc()), 0);
  for (const char* file : {"ENC.X02", "ENC.Y02"}) {
    SCOPED_TRACE(file);
    PxFile index(dir.file(file));
    ASSERT_TRUE(index.opened());
    EXPECT_EQ(index.checksum(), checksum);
    const std::vector<std::string> entries = index.records();
    ASSERT_FALSE(entries.empty());
    // An entry begins with the indexed value: "code ..." once unscrambled.
    if (std::string(file) == "ENC.X02") {
      EXPECT_EQ(entries.size(), static_cast<size_t>(kRows));
      EXPECT_EQ(entries.front().substr(0, 5), "code ");
    }
  }
  // The blob file, unscrambled by pxlib, is a blob file whose values are
  // the memos.
  const std::string blob_file = UnscrambledByPxlib(dir.file("ENC.MB"), checksum);
  const uint8_t constant[] = {0x82, 0x73, 0x02, 0x00, 0x29};
  EXPECT_EQ(blob_file[0], 0);
  EXPECT_EQ(std::memcmp(blob_file.data() + 5, constant, sizeof constant), 0);
  const PxField& note = table->header().fields[2];
  Table::Scanner scan(*table);
  Row row;
  int large = 0;
  while (scan.next(row)) {
    const std::string value = std::get<std::string>(row[2]);
    if (value.size() <= static_cast<size_t>(note.leaderLength())) continue;
    EXPECT_EQ(BlobValue(blob_file, scan.raw() + note.offset + note.leaderLength()), value);
    ++large;
  }
  EXPECT_GT(large, 500);
  // No file holds a value in the clear: the marker every memo starts with
  // and the codes appear nowhere (the field names do, in the headers).
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string bytes = ReadFile(e.path().string());
    SCOPED_TRACE(e.path().filename().string());
    EXPECT_EQ(bytes.find(kMarker), std::string::npos);
    EXPECT_EQ(bytes.find("code 1"), std::string::npos);
  }
  EXPECT_NE(ReadFile(dir.file("ENC.DB")).find("Note"), std::string::npos);
}

// Other programs leave the index files of an encrypted table clear at times
// (pxlib does): the engine reads such a file as its own header says, and a
// change writes it anew, scrambled.
TEST(EncryptedTableTest, AClearPrimaryIndexOfAnEncryptedTableIsReadAndWrittenAnewScrambled) {
  TempDir dir;
  CreateEncrypted(dir.path(), "ENC", 900);
  // The primary index as pxlib writes one for the table: clear.
  std::filesystem::remove(dir.file("ENC.PX"));
  {
    PxFile db(dir.file("ENC.DB"));
    ASSERT_TRUE(db.opened());
    pxdoc_t* index = PX_new();
    auto* key = static_cast<pxfield_t*>(index->malloc(index, sizeof(pxfield_t), "key"));
    key[0] = pxfield_t{PX_strdup(index, "Id"), pxfLong, 4, 0};
    ASSERT_EQ(PX_create_file(index, key, 1, dir.file("ENC.PX").c_str(), pxfFileTypPrimIndex), 0);
    ASSERT_EQ(PX_write_primary_index(db.doc(), index), 0);
    PX_close(index);
    PX_delete(index);
  }
  ASSERT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>(ReadFile(dir.file("ENC.PX")).data()) + 0x25),
            0u);
  {
    auto table = Table::Open(dir.path(), "ENC", {.passwords = {kPassword}});
    EXPECT_EQ(table->lowerBound(Row{int64_t{450}}), 449u);
    // The clear index checks against the table's blocks (pxlib's stamp in
    // it makes the secondary index out of date, which is no fault of it).
    for (const std::string& problem : table->verify()) {
      EXPECT_EQ(problem.find("ENC.PX"), std::string::npos) << problem;
    }
  }
  {
    auto table = Table::Open(dir.path(), "ENC",
                             {.writable = true, .exclusive = true, .passwords = {kPassword}});
    table->insert(Row{int64_t{5000}, std::string("new"), std::string(kMarker)});
  }
  const std::string px_bytes = ReadFile(dir.file("ENC.PX"));
  EXPECT_EQ(LoadLe32(reinterpret_cast<const uint8_t*>(px_bytes.data()) + 0x25),
            PasswordChecksum(kPassword));
  auto table = Table::Open(dir.path(), "ENC", {.passwords = {kPassword}});
  EXPECT_EQ(table->verify(), std::vector<std::string>{});
  PxFile px(dir.file("ENC.PX"));
  ASSERT_TRUE(px.opened());
  ASSERT_EQ(PX_read_primary_index(px.doc()), 0);
  EXPECT_GT(px.head().px_numrecords, 0);
}

}  // namespace
}  // namespace vellum::engine::paradox
