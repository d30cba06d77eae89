// Repair of a damaged table: its readable rows written anew with fresh
// indexes, all or nothing.
//
// RepairTable reads the table with a salvage read (paradox/salvage.h): every
// record of every block that looks like a data block, blob values that
// cannot be read as NULL, the index files described from their headers and
// never read. It then writes the table anew under its own definition (its
// fields, its primary key, every secondary index whose definition could be
// read, its validity checks and properties) through the restructure's
// all-or-nothing path (rewrite_table.h): a kill during a repair leaves the
// damaged table as it was, or the repaired one. Rows repeating a primary
// key or a unique index key are left out after the first. The report tells
// what could not be kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/salvage.h"
#include "engine/table_descriptor.h"

namespace vellum::engine {

struct RepairReport {
  std::string table;            // the table's name as found on disk
  uint64_t rows_read = 0;       // records the salvage read found
  uint64_t rows_kept = 0;       // rows the repaired table holds
  uint32_t header_records = 0;  // the record count the damaged header held
  paradox::SalvageLog salvage;
  // The indexes of the repaired table ("primary key" for the primary one,
  // else the index's name), and those left out, each with why.
  std::vector<std::string> indexes_kept;
  std::vector<std::string> indexes_dropped;
  bool checks_dropped = false;  // the validity file could not be read
  RowsLeftOut repeated_keys;    // rows left out for a repeated unique key

  // Whether anything of the table was lost: rows in blocks that could not
  // be read (or fewer rows than the header counted), rows left out, blob
  // values lost, indexes or validity checks dropped.
  bool lost() const;
};

// Repairs table `name` (with or without extension) of `directory`. Raises
// an EDBEngineError when the table cannot be repaired at all (its data
// file's header cannot be read, it is in use, an encrypted table without
// its password, a directory that cannot be written or lacks room, a
// restructure of the table left pending); the table is then unchanged.
RepairReport RepairTable(const std::string& directory, const std::string& name,
                         const std::vector<std::string>& passwords,
                         FileSystem& fs = FileSystem::Default());

}  // namespace vellum::engine
