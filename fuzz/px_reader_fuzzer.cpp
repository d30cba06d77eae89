// Fuzz target for the .PX reader (primary index files).
//
// The bytes are read twice: directly, as an index file on its own (header,
// then the tree of index blocks), and as the .PX of a sound keyed table,
// which the table's integrity check compares with its data file. Last, the
// table is opened for writing over the damaged index and a record is
// inserted; that rebuilds the index, after which the integrity check must
// find nothing wrong.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/header.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/table.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::FieldType;
using vellum::engine::MemoryFileSystem;
using vellum::engine::OpenMode;
using vellum::engine::paradox::FieldDef;
using vellum::engine::paradox::IndexDef;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::ReadIndexLeaves;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;
using vellum::engine::paradox::TableHeader;
using vellum::fuzz::Expect;
using vellum::fuzz::kDirectory;

const std::string kTable = "FUZZ";
const std::string kIndexPath = kDirectory + "/FUZZ.PX";

// A keyed table of a few hundred records over several data blocks: an
// integer key, as in most of the seed indexes, then text and a number.
const std::map<std::string, std::vector<uint8_t>>& Fixture() {
  static const auto files = [] {
    MemoryFileSystem fs;
    fs.makeDirectories(kDirectory);
    TableDefinition def;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0, false},
                  FieldDef{"NAME", FieldType::kString, 24, false},
                  FieldDef{"AMOUNT", FieldType::kFloat, 0, false}};
    def.indexes = {IndexDef{"", {"ID"}, true, true, false, false}};
    Table::Create(kDirectory, kTable, def, fs);
    auto table = Table::Open(kDirectory, kTable, OpenOptions{true, true}, fs);
    table->beginBulk();
    for (int64_t i = 1; i <= 400; ++i) {
      table->insert(Row{i * 3, "name " + std::to_string(i), static_cast<double>(i) / 7});
    }
    table->endBulk();
    table->flush();
    table.reset();
    return fs.snapshot();
  }();
  return files;
}

void ReadDirectly(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  fs.addFile(kIndexPath, data, size);
  Expect([&] {
    auto file = fs.open(kIndexPath, OpenMode::kRead);
    const size_t head = std::min<size_t>(size, 0x10000);
    TableHeader h = vellum::engine::paradox::ParseHeader(data, head, size, "FUZZ.PX");
    if (!h.isIndexFile()) return;
    std::vector<std::string> problems;
    Expect([&] { ReadIndexLeaves(*file, h, "FUZZ.PX", &problems); });
    Expect([&] { ReadIndexLeaves(*file, h, "FUZZ.PX", nullptr); });
  });
}

void ReadWithTable(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  vellum::fuzz::Restore(fs, Fixture());
  fs.addFile(kIndexPath, data, size);
  Expect([&] {
    auto table = Table::Open(kDirectory, kTable, OpenOptions{}, fs);
    table->verify();
  });
  Expect([&] {
    auto table = Table::Open(kDirectory, kTable, OpenOptions{true, true}, fs);
    table->insert(Row{int64_t{1000000}, std::string("added"), 1.5});
    table->flush();
    auto problems = table->verify();
    if (!problems.empty()) {
      vellum::fuzz::Fail("the index rebuilt over a damaged .PX is not sound: " + problems.front());
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadDirectly(data, size);
  ReadWithTable(data, size);
  return 0;
}
