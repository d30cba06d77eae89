// Sorting many fixed-size records (index entries) with bounded memory.
//
// EntrySorter takes records in any order and hands them back in ascending
// order of their first key parts. Records collect in a buffer of a given
// size; whenever it fills, it is sorted and written as a run to a file of its
// own in a scratch directory. At the end the runs are merged, each read
// through a small buffer, so that memory stays within the buffer size
// whatever the number of records. When every record fits in the buffer, no
// file is written at all. All files go through the FileSystem interface,
// are created exclusively (never over an existing file or through a link)
// and are removed once merged (or when the sorter is dropped).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/secondary_index.h"

namespace vellum::engine::paradox {

class EntrySorter {
 public:
  // Records of `record_size` bytes ordered by the first `compared` of
  // `parts`; run files are `directory`/`run_prefix`N; about `buffer_bytes`
  // of memory.
  EntrySorter(FileSystem& fs, std::string directory, std::string run_prefix, size_t record_size,
              std::vector<KeyPart> parts, size_t compared, size_t buffer_bytes);
  ~EntrySorter();
  EntrySorter(const EntrySorter&) = delete;
  EntrySorter& operator=(const EntrySorter&) = delete;

  // Run files are made in a directory others may write (the system's
  // temporary directory): each is removed from it as soon as it is created
  // and read back through the descriptor kept open, so that none is left
  // behind by a process that is killed. Call before the first add().
  void keepRunsUnnamed() { unnamed_runs_ = true; }

  void add(const uint8_t* record);
  // Calls `out` with every record added, in order (each pointer valid for
  // the call only), then removes the run files; the sorter is then empty.
  void drain(const std::function<void(const uint8_t*)>& out);
  // Runs written to files so far.
  size_t runs() const { return run_counts_.size(); }

 private:
  void sortBuffer();
  void writeRun();
  void removeRuns();
  std::string runPath(size_t i) const;

  FileSystem& fs_;
  std::string directory_;
  std::string prefix_;
  size_t record_size_;
  std::vector<KeyPart> parts_;
  size_t compared_;
  size_t buffer_bytes_;
  size_t capacity_;  // records in the buffer
  // Allocated at the first record, not cleared: only the pages the records
  // fill are ever touched, however large the capacity.
  std::unique_ptr<uint8_t[]> buffer_;
  size_t buffered_ = 0;
  std::vector<uint32_t> order_;  // sorted positions in the buffer
  bool unnamed_runs_ = false;
  std::vector<std::unique_ptr<File>> unnamed_;  // the runs' files, when unnamed
  std::vector<uint64_t> run_counts_;            // records per run file
};

}  // namespace vellum::engine::paradox
