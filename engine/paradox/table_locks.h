// The pieces of the table's cross-process locking (table_locks.cpp) that
// the rest of its implementation uses: reads that run again when another
// process changed the table, and a scope that holds the table still.
#pragma once

#include <cstddef>

#include "engine/errors.h"
#include "engine/paradox/table_impl.h"

namespace vellum::engine::paradox {

// Bytes of a data file's header compared to tell whether another process
// changed the file: the fixed part (counts, chain, write stamp) and the
// extension (modification time).
inline constexpr size_t kHeadBytes = 0x78;

// A read found the file changed by another process since this process read
// what it holds: what it holds no longer goes with what the file holds.
struct StaleTable {};

// Runs a read of the table. When it meets another process's change, the
// table is read again (its listeners told) and the read runs once more; a
// read that names records by position, or by bytes read before, cannot run
// again, and raises a lock conflict instead: the caller's positions are no
// longer the table's.
template <typename Read>
auto ReadTable(Table::Impl& m, int wait_ms, bool by_position, Read&& read) -> decltype(read()) {
  for (int attempt = 0;; ++attempt) {
    try {
      return read();
    } catch (const StaleTable&) {
      m.readAgainAfterStale(wait_ms);
      if (by_position || attempt >= 2) {
        throw EDBEngineError(
            ErrorCategory::kLockConflict, subcode::kRecordChanged,
            "Table \"" + m.base + "\" was changed by another user or program while it was read");
      }
    }
  }
}

// For the life of a scope, holds the table's lock shared (when no lock of
// this process holds it already), after bringing what this process holds in
// line with the files: other processes' changes wait.
class HoldStill {
 public:
  HoldStill(Table::Impl& m, int wait_ms) {
    if (m.holdStill(wait_ms)) held_ = &m;
  }
  ~HoldStill() {
    if (held_) held_->releaseFileLock();
  }
  HoldStill(const HoldStill&) = delete;
  HoldStill& operator=(const HoldStill&) = delete;

 private:
  Table::Impl* held_ = nullptr;
};

}  // namespace vellum::engine::paradox
