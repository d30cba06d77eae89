// Helpers shared by the fuzz targets.
//
// Every target feeds the bytes it is given to one reader of the engine
// through a MemoryFileSystem. A reader may reject damaged bytes only with
// EDBEngineError; Expect() swallows exactly that, so any other exception
// escapes to libFuzzer and is reported as a crash, like a sanitizer report or
// a signal.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/memory_file_system.h"
#include "engine/paradox/table.h"
#include "engine/value.h"

namespace vellum::fuzz {

using engine::MemoryFileSystem;

// Runs `step`; an EDBEngineError ends the step and is the expected outcome
// for damaged input. Returns true when the step ran to its end.
template <typename Step>
bool Expect(Step&& step) {
  try {
    step();
    return true;
  } catch (const engine::EDBEngineError&) {
    return false;
  }
}

// Directory that holds the files of every target.
inline const std::string kDirectory = "db";

// Loads a prepared set of files (e.g. a fixture table) into `fs`.
inline void Restore(MemoryFileSystem& fs,
                    const std::map<std::string, std::vector<uint8_t>>& files) {
  for (const auto& [path, data] : files) fs.addFile(path, data);
}

// Uses every value of a row the way a caller would (text of each value), so
// that decoding results are really produced and inspected.
inline size_t Consume(const engine::paradox::Row& row) {
  size_t total = 0;
  for (const auto& v : row) total += engine::ValueToText(v).size();
  return total;
}

// Files of a MemoryFileSystem by path, as snapshot() gives them.
using Files = std::map<std::string, MemoryFileSystem::Contents>;

// Makes tables T (holding `rows`) and OTHER of definition `def` in
// kDirectory, and a user's file notes.txt beside them: the neighbours a
// recovery of T must leave alone.
void MakeTableAndNeighbours(MemoryFileSystem& fs, const engine::paradox::TableDefinition& def,
                            const std::vector<engine::paradox::Row>& rows);

// Fails unless every file `own` does not claim is in `after` byte for byte
// as in `before`, and no such file was added.
void CheckOthersUntouched(const Files& before, const Files& after,
                          const std::function<bool(const std::string&)>& own);

// Reads every row of `table`, stopping quietly at an EDBEngineError.
void ReadAll(engine::paradox::Table& table);

// Stops a fuzz target in a way libFuzzer reports as a crash, with a message
// saying which engine contract the input broke.
[[noreturn]] void Fail(const std::string& what);

}  // namespace vellum::fuzz
