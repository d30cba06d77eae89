// Fuzz target for the .DB reader: opens the bytes as a table's data file,
// reads every record through the scanner and by position, searches the
// primary key, and runs the integrity check. Then the table is opened for
// writing and changed (insert, update, delete), which must fail cleanly or
// leave a table that can still be read and checked. Every open gives the
// password of the corpus's encrypted tables ("123"), so that an encrypted
// header under its checksum has its blocks read through their scrambling;
// one more open without it must give the structure and refuse the rows.
// Last, the bytes are read by a salvage read and repaired: a repair that
// succeeds must leave a table that passes the integrity check.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/repair_table.h"
#include "fuzz/fuzz_support.h"

using vellum::engine::MemoryFileSystem;
using vellum::engine::paradox::OpenOptions;
using vellum::engine::paradox::Row;
using vellum::engine::paradox::Table;
using vellum::fuzz::Expect;
using vellum::fuzz::Fail;
using vellum::fuzz::kDirectory;

const OpenOptions kReading{.passwords = {"123"}};
const OpenOptions kWriting{.writable = true, .exclusive = true, .passwords = {"123"}};
const OpenOptions kSalvaging{.exclusive = true, .passwords = {"123"}, .salvage = true};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileSystem fs;
  fs.addFile(kDirectory + "/FUZZ.DB", data, size);
  Expect([&] {
    auto sealed = Table::Open(kDirectory, "FUZZ", OpenOptions{}, fs);
    sealed->recordCount();
    if (!sealed->rowsReadable() && Expect([&] { Table::Scanner scanner(*sealed); })) {
      Fail("the rows of an encrypted table were read without its password");
    }
  });
  std::unique_ptr<Table> table;
  if (!Expect([&] { table = Table::Open(kDirectory, "FUZZ", kReading, fs); })) return 0;

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
    auto writable = Table::Open(kDirectory, "FUZZ", kWriting, fs);
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
    auto reopened = Table::Open(kDirectory, "FUZZ", kReading, fs);
    Table::Scanner scanner(*reopened);
    Row row;
    while (scanner.next(row)) vellum::fuzz::Consume(row);
  });

  fs.addFile(kDirectory + "/FUZZ.DB", data, size);
  Expect([&] {
    auto salvaged = Table::Open(kDirectory, "FUZZ", kSalvaging, fs);
    Table::Scanner scanner(*salvaged);
    Row row;
    while (scanner.next(row)) vellum::fuzz::Consume(row);
  });
  if (Expect([&] { vellum::engine::RepairTable(kDirectory, "FUZZ", {"123"}, fs); })) {
    Expect([&] {
      auto repaired = Table::Open(kDirectory, "FUZZ", kReading, fs);
      if (!repaired->verify().empty()) Fail("a repaired table fails the integrity check");
    });
  }
  return 0;
}
