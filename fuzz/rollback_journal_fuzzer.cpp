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
using vellum::fuzz::Expect;
using vellum::fuzz::Fail;
using vellum::fuzz::kDirectory;
using Files = std::map<std::string, MemoryFileSystem::Contents>;

const std::string kJournal = kDirectory + "/" + RollbackJournalName("T");

const Files& Fixture() {
  static const Files files = [] {
    MemoryFileSystem fs;
    TableDefinition def;
    def.fields = {FieldDef{"ID", vellum::engine::FieldType::kInteger, 0},
                  FieldDef{"NAME", vellum::engine::FieldType::kString, 12},
                  FieldDef{"NOTE", vellum::engine::FieldType::kMemo, 10}};
    def.indexes = {IndexDef{"", "ID", true, true}, IndexDef{"ByName", "NAME"}};
    fs.makeDirectories(kDirectory);
    Table::Create(kDirectory, "T", def, fs);
    Table::Create(kDirectory, "OTHER", def, fs);
    {
      auto t = Table::Open(kDirectory, "T", OpenOptions{true, true}, fs);
      for (int64_t i = 1; i <= 30; ++i) {
        t->insert(Row{i, std::string("name ") + std::to_string(i), std::string(100, 'm')});
      }
    }
    const std::string note = "a user's notes";
    fs.addFile(kDirectory + "/notes.txt", MemoryFileSystem::Contents(note.begin(), note.end()));
    return fs.snapshot();
  }();
  return files;
}

bool IsTablesOwn(const std::string& path) {
  return path.rfind(kDirectory + "/T.", 0) == 0 || path.rfind(kDirectory + "/t.", 0) == 0;
}

void CheckOthersUntouched(const Files& before, const Files& after) {
  for (const auto& [path, data] : before) {
    if (IsTablesOwn(path)) continue;
    auto it = after.find(path);
    if (it == after.end() || it->second != data) Fail("recovery changed " + path);
  }
  for (const auto& [path, data] : after) {
    if (!IsTablesOwn(path) && before.count(path) == 0) Fail("recovery created " + path);
  }
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
    Expect([&] {
      Table::Scanner scanner(*t);
      Row row;
      while (scanner.next(row)) vellum::fuzz::Consume(row);
    });
    Expect([&] { t->verify(); });
    t.reset();
  }
  const Files after_read = fs.snapshot();
  CheckOthersUntouched(before, after_read);
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
  CheckOthersUntouched(before, fs.snapshot());
  return 0;
}
