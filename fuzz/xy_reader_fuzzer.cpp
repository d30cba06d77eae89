// Fuzz target for the secondary-index readers (.Xnn / .XGn data files and
// .Ynn / .YGn index files).
//
// The bytes replace one index file of a sound keyed table that has two
// single-field indexes and one composite index: its X file when the header
// says a secondary data file (or cannot be parsed), else its Y file. The
// table is opened read only and checked, then opened for writing and changed
// (insert, update, delete). When only a Y file was damaged, those changes
// rebuild it, after which the integrity check must find nothing wrong.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/header.h"
#include "engine/paradox/table.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::FieldType;
using vellum::engine::MemoryFileSystem;
using vellum::engine::paradox::FieldDef;
using vellum::engine::paradox::IndexDef;
using vellum::engine::paradox::IsIndexFileType;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;
using vellum::engine::paradox::TableHeader;
using vellum::fuzz::Expect;
using vellum::fuzz::kDirectory;

const std::string kTable = "FUZZ";

// Integer fields 2 to 4 as in the seed indexes' tables: "F2" and "F3" are
// single-field indexes (.X02, .X03), "REF" a composite one over F2 and F4
// (.XG0).
const std::map<std::string, std::vector<uint8_t>>& Fixture() {
  static const auto files = [] {
    MemoryFileSystem fs;
    fs.makeDirectories(kDirectory);
    TableDefinition def;
    def.level = 5;
    def.fields = {FieldDef{"ID", FieldType::kInteger, 0, false},
                  FieldDef{"F2", FieldType::kInteger, 0, false},
                  FieldDef{"F3", FieldType::kInteger, 0, false},
                  FieldDef{"F4", FieldType::kInteger, 0, false},
                  FieldDef{"NAME", FieldType::kString, 20, false}};
    def.indexes = {IndexDef{"", {"ID"}, true, true, false, false},
                   IndexDef{"F2", {"F2"}, false, false, false, false},
                   IndexDef{"F3", {"F3"}, false, false, false, false},
                   IndexDef{"REF", {"F2", "F4"}, false, false, false, false}};
    Table::Create(kDirectory, kTable, def, fs);
    auto table = Table::Open(kDirectory, kTable, OpenOptions{true, true}, fs);
    table->beginBulk();
    for (int64_t i = 1; i <= 300; ++i) {
      table->insert(Row{i, (i * 7) % 50, i % 3, -i, "row " + std::to_string(i)});
    }
    table->endBulk();
    table->flush();
    table.reset();
    return fs.snapshot();
  }();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool index_file = false;
  bool composite = false;
  Expect([&] {
    TableHeader h = vellum::engine::paradox::ParseHeader(data, std::min<size_t>(size, 0x10000),
                                                         size, "FUZZ.X02");
    index_file = IsIndexFileType(h.file_type);
    composite = h.file_type == 6 || h.file_type == 7 || h.file_type == 8;
  });
  const std::string name =
      std::string("FUZZ.") + (index_file ? "Y" : "X") + (composite ? "G0" : "02");

  MemoryFileSystem fs;
  vellum::fuzz::Restore(fs, Fixture());
  fs.addFile(kDirectory + "/" + name, data, size);

  Expect([&] {
    auto table = Table::Open(kDirectory, kTable, OpenOptions{}, fs);
    table->verify();
  });
  Expect([&] {
    auto table = Table::Open(kDirectory, kTable, OpenOptions{true, true}, fs);
    bool changed = false;
    changed |= Expect([&] {
      table->insert(Row{int64_t{1000}, int64_t{3}, int64_t{1}, int64_t{-5}, "new"});
    });
    changed |= Expect([&] {
      table->update(10, Row{int64_t{2000}, int64_t{49}, int64_t{2}, int64_t{7}, "moved"});
    });
    changed |= Expect([&] { table->remove(0); });
    table->flush();
    auto problems = table->verify();
    if (index_file && changed && !problems.empty()) {
      vellum::fuzz::Fail("an index rebuilt over a damaged Y file is not sound: " +
                         problems.front());
    }
  });
  return 0;
}
