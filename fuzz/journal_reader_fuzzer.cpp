// Fuzz target for the restructure journal, the file every open of a table
// reads and acts on. The bytes are the journal T.JNL of a sound table T that
// has a work directory beside it; next to T lie another table, a user's file
// and a directory outside. Every open recovers, so the table is opened for
// reading (as describe, dump and verify do), then for writing, and read.
//
// Contracts beyond "only EDBEngineError": the journal reader never acts
// outside the table's own files and its own work directory (the other
// table, the user's file and the outside directory stay byte for byte); a
// journal the reader finds invalid changes no file at all and stays; a file
// that is no journal of ours (no header line or no valid checksum) stays
// byte for byte, by reads and writes alike; a committed one is finished,
// leaving neither journal nor work directory.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/restructure_journal.h"
#include "fuzz/fuzz_support.h"

namespace {

using vellum::engine::MemoryFileSystem;
using vellum::engine::ParsedJournal;
using vellum::engine::ParseJournal;
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

const std::string kWork = kDirectory + "/.T.restructure";

// T with a few rows, OTHER, a user's file, and a work directory holding a
// copy of T's files as a restructure would have left them.
const Files& Fixture() {
  static const Files files = [] {
    MemoryFileSystem fs;
    TableDefinition def;
    def.fields = {FieldDef{"ID", vellum::engine::FieldType::kInteger, 0},
                  FieldDef{"NAME", vellum::engine::FieldType::kString, 12}};
    def.indexes = {IndexDef{"", {"ID"}, true, true}, IndexDef{"ByName", {"NAME"}}};
    std::vector<Row> rows;
    for (int64_t i = 1; i <= 5; ++i) rows.push_back(Row{i, std::string("name ") + char('0' + i)});
    vellum::fuzz::MakeTableAndNeighbours(fs, def, rows);
    for (const auto& [path, data] : fs.snapshot()) {
      if (path.rfind(kDirectory + "/T.", 0) == 0) {
        fs.addFile(kWork + "/" + path.substr(kDirectory.size() + 1), data);
      }
    }
    const std::string note = "a user's notes";
    fs.addFile("outside/T.DB", MemoryFileSystem::Contents(note.begin(), note.end()));
    return fs.snapshot();
  }();
  return files;
}

// Whether `path` is one of the table's own files or in its work directory.
bool IsTablesOwn(const std::string& path) {
  return path.rfind(kDirectory + "/T.", 0) == 0 || path.rfind(kDirectory + "/t.", 0) == 0 ||
         path.rfind(kWork + "/", 0) == 0;
}

// A file under the journal's name that is not ours must stay as it was.
void CheckForeignJournalKept(MemoryFileSystem& fs, const ParsedJournal& parsed,
                             const Files& before) {
  if (parsed.state != ParsedJournal::State::kNotOurs) return;
  const auto* kept = fs.contents(kDirectory + "/T.JNL");
  if (kept == nullptr || *kept != before.at(kDirectory + "/T.JNL")) {
    Fail("a file that is no journal of ours was changed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  vellum::fuzz::Restore(fs, Fixture());
  fs.addFile(kDirectory + "/T.JNL", data, size);
  const Files before = fs.snapshot();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ParsedJournal parsed = ParseJournal(text, "T");

  std::unique_ptr<Table> t;
  const bool opened = Expect([&] { t = Table::Open(kDirectory, "T", OpenOptions{}, fs); });
  if (t) {
    vellum::fuzz::ReadAll(*t);
    t.reset();
  }
  const Files after_read = fs.snapshot();
  CheckOthersUntouched(before, after_read, IsTablesOwn);
  CheckForeignJournalKept(fs, parsed, before);
  if (parsed.state == ParsedJournal::State::kInvalid && after_read != before) {
    Fail("an invalid journal was acted on: " + parsed.problem);
  }
  if (opened && parsed.state == ParsedJournal::State::kCommitted &&
      (fs.contents(kDirectory + "/T.JNL") || fs.isDirectory(kWork))) {
    Fail("a committed journal was not finished");
  }
  vellum::engine::PendingRecovery(kDirectory, "T", fs);

  Expect([&] {
    auto writable = Table::Open(kDirectory, "T", OpenOptions{true, true}, fs);
    Expect([&] { writable->insert(Row{int64_t{99}, std::string("new")}); });
    writable->flush();
  });
  CheckOthersUntouched(before, fs.snapshot(), IsTablesOwn);
  CheckForeignJournalKept(fs, parsed, before);
  return 0;
}
