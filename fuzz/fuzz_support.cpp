#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

namespace vellum::fuzz {

void MakeTableAndNeighbours(MemoryFileSystem& fs, const engine::paradox::TableDefinition& def,
                            const std::vector<engine::paradox::Row>& rows) {
  using engine::paradox::OpenOptions;
  using engine::paradox::Table;
  fs.makeDirectories(kDirectory);
  Table::Create(kDirectory, "T", def, fs);
  Table::Create(kDirectory, "OTHER", def, fs);
  {
    auto t = Table::Open(kDirectory, "T", OpenOptions{true, true}, fs);
    for (const auto& row : rows) t->insert(row);
  }
  const std::string note = "a user's notes";
  fs.addFile(kDirectory + "/notes.txt", MemoryFileSystem::Contents(note.begin(), note.end()));
}

void CheckOthersUntouched(const Files& before, const Files& after,
                          const std::function<bool(const std::string&)>& own) {
  for (const auto& [path, data] : before) {
    if (own(path)) continue;
    auto it = after.find(path);
    if (it == after.end() || it->second != data) Fail("recovery changed " + path);
  }
  for (const auto& [path, data] : after) {
    if (!own(path) && before.count(path) == 0) Fail("recovery created " + path);
  }
}

void ReadAll(engine::paradox::Table& table) {
  Expect([&] {
    engine::paradox::Table::Scanner scanner(table);
    engine::paradox::Row row;
    while (scanner.next(row)) Consume(row);
  });
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz target failure: %s\n", what.c_str());
  std::abort();
}

}  // namespace vellum::fuzz
