// Reading what can be read of a damaged data file, for a repair.
//
// A table opened with OpenOptions::salvage builds its list of data blocks
// here instead of trusting the block chain whole: the chain is followed from
// the header's first block as long as it is sound (each link names a block
// of the file, no block comes twice, each block's count is possible and its
// records lie inside the file); then every other block of the file that
// looks like a data block (a possible count of at least one record, not
// marked empty, not on the free list) is taken, in block order. Nothing is
// made up: a block whose header is impossible is left out and counted, and
// no record is taken from outside a block's count. What was met on the way
// is kept in a SalvageLog for the repair's report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/header.h"
#include "engine/paradox/record_store.h"

namespace vellum::engine::paradox {

// What a salvage read of a table met. Filled while the table is read;
// owned by the table's shared state.
struct SalvageLog {
  // The damage found in the data file's block chain, one line each (empty
  // when the chain is sound and holds every data block).
  std::vector<std::string> chain_problems;
  uint32_t chain_blocks = 0;       // blocks taken by following the chain
  uint32_t orphan_blocks = 0;      // data blocks found outside the chain
  uint32_t unreadable_blocks = 0;  // blocks left out: their header is impossible
  uint64_t records_found = 0;      // records in the blocks taken
  // Blob values that could not be read (damaged or missing blob file),
  // read as NULL; the first few described.
  uint64_t blob_values_lost = 0;
  std::vector<std::string> blob_problems;
  // The blob file, when it is missing or cannot be read (what is wrong).
  std::vector<std::string> file_problems;
  // Secondary index files whose header (their definition) cannot be read.
  std::vector<std::string> unreadable_indexes;
  // The validity file cannot be read (what is wrong); empty when it can.
  std::string unreadable_checks;
};

// The blocks of the data file `file` (header `header`) whose records a
// salvage read takes, in the order it takes them, with their record counts.
// Never raises for damage: notes it in `log`.
std::vector<RecordStore::BlockRef> SalvageBlocks(File& file, const TableHeader& header,
                                                 SalvageLog* log);

}  // namespace vellum::engine::paradox
