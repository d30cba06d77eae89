#include "tests/support/original_shapes.h"

#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

#include "engine/fs/file_system.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/header.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/table.h"

namespace vellum::test {

namespace {

using engine::FieldType;
using engine::Value;
using engine::paradox::IndexDef;
using engine::paradox::Row;
using engine::paradox::Table;
using engine::paradox::TableDefinition;
using engine::paradox::TableHeader;

std::string Join(const std::string& directory, const std::string& file) {
  return directory + "/" + file;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Rewrites the header of a table-format file after `change` (same header size).
void PatchHeader(const std::string& path, const std::function<void(TableHeader&)>& change) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  TableHeader h = engine::paradox::ParseHeader(bytes.data(), bytes.size(), bytes.size(), path);
  change(h);
  const std::vector<uint8_t> head = engine::paradox::SerializeHeader(h);
  if (head.size() != h.header_size) throw std::runtime_error("header of " + path + " grew");
  std::memcpy(bytes.data(), head.data(), head.size());
  WriteBytes(path, bytes);
}

// What a restructure by another program does to the consistency bytes of a
// table and its primary index; index files it does not rewrite keep theirs.
void BumpConsistencyBytes(const std::string& directory, const std::string& table) {
  uint8_t stamp = 0;
  PatchHeader(Join(directory, table + ".DB"), [&](TableHeader& h) {
    h.change_count1 = static_cast<uint8_t>(h.change_count1 + 1);
    h.change_count2 = static_cast<uint8_t>(h.change_count2 + 1);
    stamp = h.change_count1;
  });
  PatchHeader(Join(directory, table + ".PX"), [&](TableHeader& h) { h.index_stamp = stamp; });
}

// Names of mixed letter case, with ASCII signs between 'Z' and 'a' and
// accented letters, so that upper-casing changes both content and order.
const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = {"Action Club",
                                                 "apple",
                                                 "Zebra",
                                                 "_under",
                                                 "[bracket",
                                                 "mixed CASE",
                                                 "action club",
                                                 "\xC3\xA9"
                                                 "clair",
                                                 "\xC3\x89"
                                                 "clair",
                                                 "b\xC3\xBC"
                                                 "ro"};
  return names;
}

const std::vector<std::string>& Cities() {
  static const std::vector<std::string> cities = {"Aptos", "Kapaa Kauai", "Freeport",   "Negril",
                                                  "Largo", "Bogota",      "Kato Paphos"};
  return cities;
}

// A keyed table: Id (Integer, key), [Zip A5,] Name A20, City A15.
TableDefinition People(bool with_zip, std::vector<IndexDef> secondary, int block_kb = 1) {
  TableDefinition def;
  def.fields.push_back({"Id", FieldType::kInteger, 0, false});
  if (with_zip) def.fields.push_back({"Zip", FieldType::kString, 5, false});
  def.fields.push_back({"Name", FieldType::kString, 20, false});
  def.fields.push_back({"City", FieldType::kString, 15, false});
  def.indexes.push_back({"", {"Id"}, true, true, false, false});
  for (auto& ix : secondary) def.indexes.push_back(std::move(ix));
  def.code_page = 1252;
  def.block_kb = block_kb;
  return def;
}

Row PersonRow(int64_t id, bool with_zip) {
  Row row{Value{id}};
  if (with_zip) row.push_back(Value{std::to_string(10000 + id)});
  row.push_back(Value{Names()[static_cast<size_t>(id) % Names().size()]});
  row.push_back(Value{Cities()[static_cast<size_t>(id * 3) % Cities().size()]});
  return row;
}

void Insert(const std::string& directory, const std::string& table, const std::vector<int64_t>& ids,
            bool with_zip) {
  auto t = Table::Open(directory, table, {true, true});
  for (int64_t id : ids) t->insert(PersonRow(id, with_zip));
}

std::vector<int64_t> Range(int64_t first, int64_t last, int64_t step = 1) {
  std::vector<int64_t> out;
  for (int64_t id = first; id <= last; id += step) out.push_back(id);
  return out;
}

const IndexDef kCityIndex{"City", {"City"}, false, false, false, false};
const IndexDef kNameCaseless{"ByName", {"Name"}, false, false, false, true};

// Records inserted in key order fill blocks one after the other; the odd
// keys inserted afterwards split them, moving records that keep the block
// their entries were made with. The new entries carry their current block.
void MakeStaleAfterSplits(const std::string& dir) {
  const std::string name = "STALE";
  Table::Create(dir, name, People(false, {kCityIndex, kNameCaseless}));
  Insert(dir, name, Range(2, 600, 2), false);
  std::map<int64_t, uint16_t> made_in;
  for (const auto& [id, block] : RecordBlocks(dir, name)) made_in[id] = block;
  Insert(dir, name, Range(1, 599, 2), false);
  std::map<int64_t, uint16_t> now;
  for (const auto& [id, block] : RecordBlocks(dir, name)) now[id] = block;
  auto hint = [&](int64_t id) { return id % 2 == 0 ? made_in.at(id) : now.at(id); };
  SetBlockHints(dir, name + ".X03", hint);
  SetBlockHints(dir, name + ".XG0", hint);
}

// A bulk load: each batch of 16384 / record size records carries the block
// that was current when the batch began.
void MakeStaleAfterBulkLoad(const std::string& dir) {
  const std::string name = "BULK";
  Table::Create(dir, name, People(false, {kCityIndex, kNameCaseless}));
  Insert(dir, name, Range(1, 1500), false);
  const auto blocks = RecordBlocks(dir, name);
  const TableHeader h = [&] {
    auto t = Table::Open(dir, name);
    return t->header();
  }();
  const size_t batch = 16384 / h.record_size;
  std::map<int64_t, uint16_t> hint_of;
  for (size_t i = 0; i < blocks.size(); ++i)
    hint_of[blocks[i].first] = blocks[i / batch * batch].second;
  auto hint = [&](int64_t id) { return hint_of.at(id); };
  SetBlockHints(dir, name + ".X03", hint);
  SetBlockHints(dir, name + ".XG0", hint);
}

// Another program inserted field Zip before Name and City and rewrote the
// table and its primary index, leaving the index on City (field 3 then, 4
// now) as it was.
void MakeInsertedField(const std::string& dir, const std::string& name, int64_t rows) {
  Table::Create(dir, name, People(false, {kCityIndex}));
  Insert(dir, name, Range(1, rows), false);
  const auto x = ReadBytes(Join(dir, name + ".X03"));
  const auto y = ReadBytes(Join(dir, name + ".Y03"));
  Table::Create(dir, name, People(true, {}));
  Insert(dir, name, Range(1, rows), true);
  WriteBytes(Join(dir, name + ".X03"), x);
  WriteBytes(Join(dir, name + ".Y03"), y);
  BumpConsistencyBytes(dir, name);
}

// Another program added rows to the table and its primary index alone.
void MakeRowsAfterIndex(const std::string& dir) {
  const std::string name = "MOREROWS";
  Table::Create(dir, name, People(false, {kCityIndex}));
  Insert(dir, name, Range(1, 30), false);
  const auto x = ReadBytes(Join(dir, name + ".X03"));
  const auto y = ReadBytes(Join(dir, name + ".Y03"));
  Insert(dir, name, Range(31, 40), false);
  WriteBytes(Join(dir, name + ".X03"), x);
  WriteBytes(Join(dir, name + ".Y03"), y);
}

// An empty table restructured by another program that left its index.
void MakeEmptyWithOldStamp(const std::string& dir) {
  const std::string name = "EMPTYSTAMP";
  Table::Create(dir, name, People(false, {kCityIndex}));
  BumpConsistencyBytes(dir, name);
}

// Indexes made on field "CustName", which another program has since renamed
// "Customer" in the table's header alone.
void MakeRenamedKeyField(const std::string& dir) {
  const std::string name = "RENAMED";
  TableDefinition def;
  def.fields = {{"Id", FieldType::kInteger, 0, false},
                {"CustName", FieldType::kString, 20, false},
                {"City", FieldType::kString, 15, false}};
  def.indexes = {{"", {"Id"}, true, true, false, false},
                 {"CustName", {"CustName"}, false, false, false, false},
                 {"ByCustomer", {"CustName", "City"}, false, false, false, true}};
  def.code_page = 1252;
  Table::Create(dir, name, def);
  Insert(dir, name, Range(1, 40), false);
  PatchHeader(Join(dir, name + ".DB"), [](TableHeader& h) { h.fields[1].name = "Customer"; });
}

// A case-insensitive index whose entries hold upper-cased text.
void MakeCaseless(const std::string& dir) {
  const std::string name = "CASELESS";
  Table::Create(dir, name, People(false, {kNameCaseless}, 2));
  Insert(dir, name, Range(1, 60), false);
}

}  // namespace

std::vector<std::pair<int64_t, uint16_t>> RecordBlocks(const std::string& directory,
                                                       const std::string& table) {
  auto file =
      engine::FileSystem::Default().open(Join(directory, table + ".DB"), engine::OpenMode::kRead);
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file->size(), 0x10000)));
  file->read(0, head.data(), head.size());
  const TableHeader h = engine::paradox::ParseHeader(head.data(), head.size(), file->size(), table);
  std::vector<std::pair<int64_t, uint16_t>> out;
  engine::paradox::ChainWalker w(*file, h, table);
  while (w.next()) {
    for (uint32_t i = 0; i < w.count(); ++i) {
      const auto id = engine::paradox::DecodeLong(w.record(i) + h.fields[0].offset);
      out.emplace_back(id.value_or(0), w.blockNumber());
    }
  }
  return out;
}

void SetBlockHints(const std::string& directory, const std::string& x_file,
                   const std::function<uint16_t(int64_t)>& hint) {
  const std::string path = Join(directory, x_file);
  auto file = engine::FileSystem::Default().open(path, engine::OpenMode::kReadWrite);
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(file->size(), 0x10000)));
  file->read(0, head.data(), head.size());
  TableHeader x = engine::paradox::ParseHeader(head.data(), head.size(), file->size(), x_file);
  const size_t n = x.fields.size();
  const uint16_t key_at = x.fields[n - 2].offset;
  const uint16_t blk_at = x.fields[n - 1].offset;
  engine::paradox::RecordStore store(std::move(file), x, x_file);
  std::vector<uint8_t> rec(x.record_size);
  for (uint32_t i = 0; i < store.size(); ++i) {
    std::memcpy(rec.data(), store.record(i), rec.size());
    const auto key = engine::paradox::DecodeLong(rec.data() + key_at);
    engine::paradox::EncodeShort(rec.data() + blk_at, static_cast<int16_t>(hint(key.value_or(0))));
    store.overwrite(i, rec.data());
  }
  store.flush();
  store.sync();
}

const std::vector<OriginalShape>& OriginalShapes() {
  static const std::vector<OriginalShape> shapes = {
      {"STALE",
       "entries keep the block their record had before block splits moved it",
       {},
       MakeStaleAfterSplits},
      {"BULK",
       "a bulk load's entries carry the block current when their batch began",
       {},
       MakeStaleAfterBulkLoad},
      {"INSERTED",
       "an index on City predating a field inserted before City",
       {"INSERTED.X03"},
       [](const std::string& dir) { MakeInsertedField(dir, "INSERTED", 50); }},
      {"EMPTYOLD",
       "an empty table's index predating a field inserted before its field",
       {"EMPTYOLD.X03"},
       [](const std::string& dir) { MakeInsertedField(dir, "EMPTYOLD", 0); }},
      {"MOREROWS",
       "rows added by another program after the index on City was made",
       {"MOREROWS.X03"},
       MakeRowsAfterIndex},
      {"EMPTYSTAMP",
       "an empty table rewritten by another program that kept its index",
       {"EMPTYSTAMP.X03"},
       MakeEmptyWithOldStamp},
      {"RENAMED", "indexes on a field renamed since they were made", {}, MakeRenamedKeyField},
      {"CASELESS", "a case-insensitive index holding upper-cased text", {}, MakeCaseless},
  };
  return shapes;
}

void PrintTo(const OriginalShape& shape, std::ostream* os) {
  *os << shape.table << " (" << shape.what << ")";
}

const OriginalShape& OriginalShapeNamed(const std::string& table) {
  for (const auto& shape : OriginalShapes()) {
    if (shape.table == table) return shape;
  }
  throw std::out_of_range("no shape named " + table);
}

}  // namespace vellum::test
