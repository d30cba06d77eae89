// A second program for the tests of several programs writing one table or
// one dictionary: each command does one thing through the engine or the data
// module, as another user's program would, and exits 0 when it did it.
//
//   insert DIR TABLE ID NAME     posts a row (Id, Name) through a dataset
//   delete DIR TABLE ID          deletes the row of that Id
//   rename DIR TABLE ID NAME     edits the Name of the row of that Id
//   hold DIR TABLE MS            holds the table's change lock for MS ms;
//                                writes "held" on stdout once it has it
//   describe DIR ALIAS FIRST N FIELDS BATCH
//                                posts N table rows (ALIAS, T<FIRST>...)
//                                with FIELDS field rows each through the
//                                data module, in one batch when BATCH is 1;
//                                writes the count of tables posted
//   insert-many DIR TABLE FIRST COUNT DIE_AT
//                                inserts COUNT rows (Id FIRST..., Name
//                                "row <Id>") in one bulk change; dies at
//                                its numbered file operation DIE_AT (0:
//                                never); writes the count of operations
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/data_module.h"
#include "engine/dataset.h"
#include "engine/errors.h"
#include "engine/fs/fault_file_system.h"
#include "engine/paradox/table.h"
#include "tests/support/scripted_ui.h"

namespace {

using vellum::engine::Dataset;
using vellum::engine::Session;
using vellum::engine::Value;

struct Opened {
  explicit Opened(const std::string& dir, const std::string& table)
      : session(dir + "/none.conf"), dataset(session) {
    dataset.setDatabaseName(dir);
    dataset.setTableName(table);
    dataset.open();
  }
  Session session;
  Dataset dataset;
};

int Insert(const std::vector<std::string>& a) {
  Opened o(a[0], a[1]);
  o.dataset.insert();
  o.dataset.fieldByName("Id").setAsInteger(std::stoll(a[2]));
  o.dataset.fieldByName("Name").setAsString(a[3]);
  o.dataset.post();
  return 0;
}

int Delete(const std::vector<std::string>& a) {
  Opened o(a[0], a[1]);
  if (!o.dataset.findKey({Value{static_cast<int64_t>(std::stoll(a[2]))}})) return 2;
  o.dataset.remove();
  return 0;
}

int Rename(const std::vector<std::string>& a) {
  Opened o(a[0], a[1]);
  if (!o.dataset.findKey({Value{static_cast<int64_t>(std::stoll(a[2]))}})) return 2;
  o.dataset.edit();
  o.dataset.fieldByName("Name").setAsString(a[3]);
  o.dataset.post();
  return 0;
}

int Hold(const std::vector<std::string>& a) {
  Opened o(a[0], a[1]);
  o.dataset.table().lockChanges();
  std::cout << "held" << std::endl;
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(a[2])));
  o.dataset.table().unlockChanges();
  return 0;
}

int InsertMany(const std::vector<std::string>& a) {
  vellum::engine::FaultFileSystem fault(vellum::engine::FileSystem::Default());
  fault.arm(std::stoull(a[4]), vellum::engine::FaultFileSystem::Mode::kCrash);
  vellum::engine::FileSystem::SetDefault(&fault);
  {
    using vellum::engine::paradox::Table;
    auto t = Table::Open(a[0], a[1], vellum::engine::paradox::OpenOptions{true, false});
    t->beginBulk();
    const int64_t first = std::stoll(a[2]);
    for (int64_t id = first; id < first + std::stoll(a[3]); ++id) {
      t->insert({Value{id}, Value{"row " + std::to_string(id)}});
    }
    t->endBulk();
  }
  vellum::engine::FileSystem::SetDefault(nullptr);
  std::cout << fault.operations() << std::endl;
  return 0;
}

int Describe(const std::vector<std::string>& a) {
  Session session(a[0] + "/none.conf");
  vellum::test::ScriptedUi ui;
  vellum::dictionary::TdmDataDictionary dm(session, ui);
  dm.OpenDictionary(a[0]);
  const std::string alias = a[1];
  const int first = std::stoi(a[2]), count = std::stoi(a[3]), fields = std::stoi(a[4]);
  const bool batch = a[5] == "1";
  int done = 0;
  std::unique_ptr<vellum::dictionary::DictionaryBatch> scope;
  if (batch) scope = std::make_unique<vellum::dictionary::DictionaryBatch>(dm);
  for (int t = first; t < first + count; ++t) {
    dm.tblTables.insert();
    dm.tblTables.fieldByName("Alias").setAsString(alias);
    dm.tblTables.fieldByName("Nome").setAsString("T" + std::to_string(t));
    dm.tblTables.post();
    for (int f = 0; f < fields; ++f) {
      dm.tblFields.insert();  // the rule sets CodTabella and Posizione
      dm.tblFields.fieldByName("Nome").setAsString("F" + std::to_string(f));
      dm.tblFields.post();
    }
    ++done;
  }
  if (scope) scope->commit();
  std::cout << done << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "insert" && args.size() == 4) return Insert(args);
    if (command == "delete" && args.size() == 3) return Delete(args);
    if (command == "rename" && args.size() == 4) return Rename(args);
    if (command == "hold" && args.size() == 3) return Hold(args);
    if (command == "describe" && args.size() == 6) return Describe(args);
    if (command == "insert-many" && args.size() == 5) return InsertMany(args);
  } catch (const vellum::engine::EDBEngineError& e) {
    std::cerr << e.what() << std::endl;
    return 10 + (e.code() >> 8 == 0x28 ? 1 : 0);  // 11: a lock conflict
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 20;
  }
  return 64;
}
