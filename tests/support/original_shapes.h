// Tables shaped like those the original engine and other programs leave,
// built with this engine and then brought into the shape by patching their
// files the way those programs leave them:
//  - secondary index entries whose block numbers are stale hints (records
//    moved by block splits after their entries were made; a bulk load whose
//    batches carry the block current when the batch began);
//  - an index predating a field inserted before its key field, an index
//    predating rows added by another program, out-of-date indexes on empty
//    tables;
//  - an indexed field renamed since its index was made;
//  - case-insensitive indexes with upper-cased entries.
// Tests build them to exercise each rule on files that look like real ones;
// the program original_shapes_main.cpp writes them all into a directory.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vellum::test {

struct OriginalShape {
  std::string table;  // name of the table it writes
  std::string what;   // what it shows, for people
  // The index files that are out of date in it (empty: every index is
  // current and the table verifies clean).
  std::vector<std::string> out_of_date;
  std::function<void(const std::string& directory)> make;
};

// For test failure messages: the table and what it shows.
void PrintTo(const OriginalShape& shape, std::ostream* os);

// Every shape, each writing one table (and only its files) into a directory.
const std::vector<OriginalShape>& OriginalShapes();

// The shape of one table by name (throws std::out_of_range when unknown).
const OriginalShape& OriginalShapeNamed(const std::string& table);

// Block numbers of the records of a keyed table whose first field is an
// Integer key, by key value: the data block holding each record now.
std::vector<std::pair<int64_t, uint16_t>> RecordBlocks(const std::string& directory,
                                                       const std::string& table);

// Sets the Blk Num of every entry of secondary index data file `x_file` (of
// a table keyed on one Integer field) to `hint(key)`.
void SetBlockHints(const std::string& directory, const std::string& x_file,
                   const std::function<uint16_t(int64_t key)>& hint);

}  // namespace vellum::test
