// Fuzz target for the rollback journal of table changes, which every open
// of a table reads and may act on. The bytes are T.DB-journal beside a
// sound table T; next to T lie another table and a user's file. The table
// is opened for reading (the open recovers) and read, then for writing, and
// a row is inserted.
//
// Contracts beyond "only EDBEngineError": the recovery never changes a file
// that is not T's own (the other table and the user's file stay byte for
// byte); a journal the reader finds invalid changes no file at all and
// stays; one it finds valid or empty is gone after the open.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/rollback_journal.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::MemoryFileSystem;
using vellum::engine::ParseRollbackJournal;
using vellum::engine::RollbackJournalContents;
using vellum::engine::RollbackJournalName;
using vellum::engine::paradox::FieldDef;
using vellum::engine::paradox::IndexDef;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::engine::paradox::TableDefinition;
using vellum::fuzz::CheckOthersUntouched;
using vellum::fuzz::Expect;
using vellum::fuzz::Fail;
using vellum::fuzz::Files;
using vellum::fuzz::kDirectory;

const std::string kJournal = kDirectory + "/" + RollbackJournalName("T");

const Files& Fixture() {
  static const Files files = [] {
    MemoryFileSystem fs;
    TableDefinition def;
    def.fields = {FieldDef{"ID", vellum::engine::FieldType::kInteger, 0},
                  FieldDef{"NAME", vellum::engine::FieldType::kString, 12},
                  FieldDef{"NOTE", vellum::engine::FieldType::kMemo, 10}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"ByName", {"NAME"}}};
    std::vector<Row> rows;
    for (int64_t i = 1; i <= 30; ++i) {
      rows.push_back(Row{i, std::string("name ") + std::to_string(i), std::string(100, 'm')});
    }
    vellum::fuzz::MakeTableAndNeighbours(fs, def, rows);
    return fs.snapshot();
  }();
  return files;
}

bool IsTablesOwn(const std::string& path) {
  return path.rfind(kDirectory + "/T.", 0) == 0 || path.rfind(kDirectory + "/t.", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  vellum::fuzz::Restore(fs, Fixture());
  fs.addFile(kJournal, data, size);
  const Files before = fs.snapshot();
  const RollbackJournalContents parsed = ParseRollbackJournal(data, size, "T");

  std::unique_ptr<Table> t;
  const bool opened = Expect([&] { t = Table::Open(kDirectory, "T", OpenOptions{}, fs); });
  if (t) {
    vellum::fuzz::ReadAll(*t);
    Expect([&] { t->verify(); });
    t.reset();
  }
  const Files after_read = fs.snapshot();
  CheckOthersUntouched(before, after_read, IsTablesOwn);
  if (parsed.state == RollbackJournalContents::State::kInvalid && after_read != before) {
    Fail("an invalid journal was acted on: " + parsed.problem);
  }
  if (opened && parsed.state != RollbackJournalContents::State::kInvalid && fs.contents(kJournal)) {
    Fail("a journal to act on was left after the open");
  }

  Expect([&] {
    auto writable = Table::Open(kDirectory, "T", OpenOptions{true, false}, fs);
    Expect([&] { writable->insert(Row{int64_t{99}, std::string("new"), std::string("x")}); });
    writable->flush();
  });
  CheckOthersUntouched(before, fs.snapshot(), IsTablesOwn);
  return 0;
}
