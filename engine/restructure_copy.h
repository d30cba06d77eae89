// The rows of a restructure: how the records of the new table are made from
// the old table's, copied into the new table, and checked against the new
// table's unique keys before anything is written. Used by BuildTable and
// CheckBuildTable only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/table.h"
#include "engine/table_descriptor.h"

namespace vellum::engine::restructure {

// Makes the records of a new table from the old table's (both in one code
// page): new field i takes old field `source[i]` (-1: none) by its record
// bytes where both are stored alike (or are Alpha of other sizes in a
// single-byte code page); between text, bytes and large-object fields by the
// value's stored bytes (never decoded, so text the code page does not
// describe keeps its bytes), cut where the new field is shorter; otherwise
// through ConvertFieldValue. Large-object values are written to the new
// table's blob file, unless `with_blobs` is false (then they are left empty,
// as a check that never keeps the records does). Both tables must outlive it.
class RecordMapper {
 public:
  RecordMapper(paradox::Table& old_table, paradox::Table& fresh, const std::vector<int>& source,
               bool with_blobs);

  // Fills `out` (the new table's record size) from old record bytes `in`.
  void map(const uint8_t* in, uint8_t* out);
  // Whether new field `i` takes the old field's bytes unchanged.
  bool copiesBytes(size_t i) const { return fill_[i] == Fill::kBytes; }
  bool newTableHasBlobs() const { return has_blobs_; }

 private:
  enum class Fill { kNull, kBytes, kAlpha, kStored, kConvert };
  // A run of bytes taken over as they are; runs next to each other in both
  // records are one.
  struct Span {
    uint32_t from;
    uint32_t to;
    uint32_t length;
  };
  void planSpans();

  paradox::Table& old_;
  paradox::Table& fresh_;
  std::vector<int> source_;
  std::vector<Fill> fill_;
  std::vector<Span> copies_;
  // The bytes of the new record no copy fills, zeroed first: all of them
  // when a field is converted, since a conversion writes only its value.
  std::vector<Span> zeros_;
  std::vector<size_t> converted_;
  bool has_blobs_ = false;
};

// Copies every row of `old_table` into the new, empty table `base` in
// `work`, which `password` opens when it is encrypted (its sort runs are
// then scrambled too). With `stream`, the new .DB, .PX and secondary index files are
// written front to back and false is returned, with the new files left
// incomplete, as soon as a row sorts before the previous one under the new
// primary key. Otherwise rows are inserted one by one through the table,
// which sorts them and keeps every index. A row that repeats a unique key
// fails as inserting the rows one by one in the old table's order would.
bool CopyRows(FileSystem& fs, paradox::Table& old_table, const std::string& work,
              const std::string& base, const std::vector<int>& source, const std::string& password,
              bool stream, const BuildTableOptions& options);

// Raises the key violation that copying the rows of `old_table` into
// `fresh` (an empty table of the new definition, on `fresh_fs`) would meet: the
// first row, in the old table's order, whose new values repeat an earlier
// row's in the primary key or in a unique secondary index, naming the first
// of those (primary key first, then in the table's order) it breaks. Keys the
// old table already keeps unique (their fields copied unchanged from a
// unique key of the old table) are not checked; when none is left, no row is
// read. Sort runs go to `scratch_directory` on `scratch_fs`.
void CheckUniqueKeys(paradox::Table& old_table, paradox::Table& fresh, FileSystem& fresh_fs,
                     const std::vector<int>& source, FileSystem& scratch_fs,
                     const std::string& scratch_directory, size_t sort_buffer_bytes);

}  // namespace vellum::engine::restructure
