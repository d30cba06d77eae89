// Fuzz target for the .DB reader: opens the bytes as a table's data file,
// reads every record through the scanner and by position, searches the
// primary key, and runs the integrity check. Then the table is opened for
// writing and changed (insert, update, delete), which must fail cleanly or
// leave a table that can still be read and checked.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "fuzz/fuzz_support.h"

using vellum::engine::MemoryFileSystem;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::fuzz::Expect;
using vellum::fuzz::kDirectory;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  fs.addFile(kDirectory + "/FUZZ.DB", data, size);
  std::unique_ptr<Table> table;
  if (!Expect([&] { table = Table::Open(kDirectory, "FUZZ", OpenOptions{}, fs); })) return 0;

  uint64_t scanned = 0;
  Row first;
  Expect([&] {
    Table::Scanner scanner(*table);
    Row row;
    while (scanner.next(row)) {
      if (scanned == 0) first = row;
      vellum::fuzz::Consume(row);
      ++scanned;
    }
  });
  Expect([&] {
    const uint32_t count = table->recordCount();
    if (count > 0) {
      vellum::fuzz::Consume(table->read(0));
      vellum::fuzz::Consume(table->read(count - 1));
      vellum::fuzz::Consume(table->read(count / 2));
    }
  });
  if (table->keyed() && !first.empty()) {
    Expect([&] {
      Row key(first.begin(), first.begin() + table->structure().key_fields);
      table->lowerBound(key);
    });
  }
  Expect([&] { table->verify(); });
  table.reset();

  Expect([&] {
    auto writable = Table::Open(kDirectory, "FUZZ", OpenOptions{true, true}, fs);
    const Row nulls(writable->structure().fields.size());
    Expect([&] { writable->insert(nulls); });
    if (!first.empty()) {
      Expect([&] { writable->update(writable->recordCount() / 2, first); });
    }
    Expect([&] {
      if (writable->recordCount() > 0) writable->remove(0);
    });
    writable->flush();
    writable->verify();
  });
  Expect([&] {
    auto reopened = Table::Open(kDirectory, "FUZZ", OpenOptions{}, fs);
    Table::Scanner scanner(*reopened);
    Row row;
    while (scanner.next(row)) vellum::fuzz::Consume(row);
  });
  return 0;
}
