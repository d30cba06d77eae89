// The table's locks: changes by several handles and processes.
//
// Handles of one process on one file share an Impl, so they see each other's
// changes at once. Processes share only the files, and each keeps blocks,
// counts and index images in memory. So that no process writes over what
// another wrote, or reads a mix of two versions:
//  - every change runs under the change lock (an exclusive lock of the data
//    file, File::tryLockChanges), taken before the change reads anything;
//  - taking the lock compares the data file's first bytes with what this
//    process last saw; when they differ, everything held in memory is
//    dropped and read again, and the listeners are told (a reset);
//  - before the lock is let go, every change is written to the files and the
//    header's write stamp is bumped, so the next holder sees a difference;
//  - a failed write leaves memory ahead of the files: the next lock reads
//    the files again, which then decide.

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/table_locks.h"
#include "engine/rollback_journal.h"
#include "engine/text.h"

namespace vellum::engine::paradox {

namespace {

// "0.5 s", "10 s".
std::string WaitText(int ms) {
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) text += "." + std::to_string(ms % 1000 / 100);
  return text + " s";
}

}  // namespace

void Table::Impl::waitForFileLock(bool exclusive, int wait_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  // Waits grow to a few milliseconds, each a little random, so that
  // processes waiting together do not retry in step.
  thread_local std::minstd_rand jitter(std::random_device{}());
  int pause_us = 200;
  while (!change_file->tryLockChanges(exclusive)) {
    if (Clock::now() >= deadline) {
      throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kLockTimeout,
                           "Table \"" + base +
                               "\" is being changed by another user or program; gave up after " +
                               WaitText(wait_ms));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us + jitter() % pause_us));
    pause_us = std::min(pause_us * 2, 5000);
  }
  file_locked = true;
  if (!exclusive) undoDeadChangeForReaders(wait_ms);
}

void Table::Impl::undoDeadChangeForReaders(int wait_ms) {
  // Holding the lock shared, no change can be under way: a journal is what
  // a writer that died left. It is undone before anything is read.
  if (journal_left_alone || !fs->exists(JoinPath(directory, RollbackJournalName(base)))) return;
  releaseFileLock();
  const RollbackOutcome outcome = RollBackTable(*fs, directory, base, wait_ms);
  if (outcome.state == RollbackOutcome::State::kPending) {
    throw EDBEngineError(ErrorCategory::kIo, subcode::kGeneric, outcome.message);
  }
  // A journal not to act on was reported by the open; the table read is
  // the one its files hold.
  journal_left_alone = outcome.state == RollbackOutcome::State::kInvalid;
  if (outcome.state == RollbackOutcome::State::kRolledBack) reread_needed = true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (!change_file->tryLockChanges(false)) {
    if (Clock::now() >= deadline) {
      throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kLockTimeout,
                           "Table \"" + base +
                               "\" is being changed by another user or program; gave up after " +
                               WaitText(wait_ms));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  file_locked = true;
}

void Table::Impl::releaseFileLock() {
  if (!file_locked) return;
  file_locked = false;
  change_file->unlockChanges();
}

bool Table::Impl::beginRead() {
  if (!change_file || file_locked) return false;  // a lock already keeps the file still
  waitForFileLock(false, read_wait_ms);
  if (reread_needed || readHead() != seen_head) {
    releaseFileLock();
    throw StaleTable{};
  }
  return true;
}

void Table::Impl::endRead() { releaseFileLock(); }

// After StaleTable: the table is read again, and the listeners told.
void Table::Impl::readAgainAfterStale(int wait_ms) {
  waitForFileLock(false, wait_ms);
  try {
    lookForOutsideChanges();
  } catch (...) {
    releaseFileLock();
    throw;
  }
  releaseFileLock();
}

bool Table::Impl::holdStill(int wait_ms) {
  if (!change_file || file_locked) return false;
  waitForFileLock(false, wait_ms);
  try {
    lookForOutsideChanges();
  } catch (...) {
    releaseFileLock();
    throw;
  }
  return true;
}

Table::ReadLock::ReadLock(Table& table) {
  if (table.impl_->holdStill(table.options_.lock_wait_ms)) held_ = table.impl_;
}

Table::ReadLock::~ReadLock() {
  if (held_) held_->releaseFileLock();
}

std::vector<uint8_t> Table::Impl::readHead() {
  std::vector<uint8_t> head(kHeadBytes);
  head.resize(store->file().read(0, head.data(), head.size()));
  return head;
}

void Table::Impl::tell(bool before, const TableChange& change) {
  if (listeners.empty()) return;
  const std::vector<Listening> told = listeners;  // a listener may add or remove others
  for (const Listening& l : told) {
    if (before) {
      l.listener->tableAboutToChange(*l.handle, change);
    } else {
      l.listener->tableChanged(*l.handle, change);
    }
  }
}

bool Table::Impl::lookForOutsideChanges() {
  std::vector<uint8_t> head = readHead();
  if (!reread_needed && head == seen_head) return false;
  TableChange reset;
  reset.kind = TableChange::Kind::kReset;
  tell(true, reset);
  reread();
  tell(false, reset);
  return true;
}

void Table::Impl::reread() {
  File& file = store->file();
  const uint64_t size = file.size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  head.resize(file.read(0, head.data(), head.size()));
  TableHeader fresh = ParseHeader(head.data(), head.size(), size, store->name());
  // Nobody restructures a table that others have open.
  if (fresh.record_size != h().record_size || fresh.fields.size() != h().fields.size()) {
    ThrowCorrupt(store->name(), "its record layout changed while the table was open",
                 subcode::kBadHeader);
  }
  store->reset(std::move(fresh));
  if (px) px->forget();
  px_leaves.reset(key_size);
  if (blobs) blobs->forget();
  for (auto& si : secondaries) si->reread();
  indexes_dirty = false;
  reread_needed = false;
  ++changes;
  seen_head.assign(head.begin(),
                   head.begin() + static_cast<long>(std::min(head.size(), kHeadBytes)));
}

void Table::Impl::publish() {
  if (changes == changes_at_lock && !indexes_dirty) return;
  store->header().write_stamp += 1;
  store->touchHeader();
  refreshIndexes();  // writes the data file, its header and the indexes
  seen_head = readHead();
}

bool Table::Impl::lockChanges(int wait_ms) {
  if (lock_depth > 0) {
    ++lock_depth;
    return false;
  }
  if (!options.writable) RefuseChange(*this);
  bool reread_now = false;
  if (change_file) waitForFileLock(true, wait_ms);
  try {
    // A change of another process that died is undone first.
    if (journal && rollBackDeadChange()) reread_needed = true;
    if (change_file || reread_needed) reread_now = lookForOutsideChanges();
    if (journal) journal->begin();
  } catch (...) {
    releaseFileLock();
    throw;
  }
  lock_depth = 1;
  changes_at_lock = changes;
  return reread_now;
}

void Table::Impl::unlockChanges() {
  if (lock_depth == 0 || --lock_depth > 0) return;
  try {
    publish();
    if (journal) journal->commit();
  } catch (...) {
    // The change is undone; what this process holds is read again.
    reread_needed = true;
    try {
      if (journal) {
        journal->rollback();
        reread();  // memory goes back to what the files hold again
      }
    } catch (...) {
      // The journal stays: the next change lock or open undoes it.
    }
    if (change_file) releaseFileLock();
    throw;
  }
  if (change_file) releaseFileLock();
}

bool Table::Impl::rollBackDeadChange() {
  const std::string journal_path = JoinPath(directory, RollbackJournalName(base));
  if (!fs->exists(journal_path)) return false;
  const RollbackOutcome outcome = RollBackHeldTable(*fs, directory, base);
  if (outcome.state == RollbackOutcome::State::kPending ||
      outcome.state == RollbackOutcome::State::kInvalid) {
    throw EDBEngineError(ErrorCategory::kIo, subcode::kGeneric, outcome.message);
  }
  return outcome.state == RollbackOutcome::State::kRolledBack;
}

bool Table::lockChanges() {
  RequireWritable(*this, *impl_);
  return impl_->lockChanges(options_.lock_wait_ms);
}

void Table::unlockChanges() { impl_->unlockChanges(); }

Table::ChangeLock::~ChangeLock() {
  if (!table_) return;
  try {
    table_->unlockChanges();
  } catch (...) {
    // Left by an exception: the next lock reads the files again.
  }
}

void Table::ChangeLock::release() {
  Table* table = table_;
  table_ = nullptr;
  table->unlockChanges();
}

bool Table::checkForOutsideChanges(bool wait) {
  Impl& m = *impl_;
  // Nobody else can change it while this process holds the lock or the
  // table is open exclusively.
  if (!m.change_file || m.lock_depth > 0) return false;
  if (m.file_locked) return false;  // a read under way keeps the file still
  if (!wait) {
    if (!m.change_file->tryLockChanges(false)) return false;
    m.file_locked = true;
  } else {
    m.waitForFileLock(false, options_.lock_wait_ms);
  }
  try {
    const bool changed = m.lookForOutsideChanges();
    m.releaseFileLock();
    return changed;
  } catch (...) {
    m.releaseFileLock();
    throw;
  }
}

void Table::addListener(TableListener* listener) {
  impl_->listeners.push_back(Impl::Listening{this, listener});
}

void Table::removeListener(TableListener* listener) {
  auto& listeners = impl_->listeners;
  listeners.erase(std::remove_if(listeners.begin(), listeners.end(),
                                 [&](const Impl::Listening& l) {
                                   return l.handle == this && l.listener == listener;
                                 }),
                  listeners.end());
}

void Table::beginBulk() {
  // A bulk change holds the change lock throughout: its changes wait in
  // memory, where no other process could see them.
  if (writable()) lockChanges();
  ++impl_->bulk;
}

bool Table::inBulk() const { return impl_->bulk > 0; }

void Table::setCheckRequired(bool check) { impl_->check_required = check; }

void Table::endBulk() {
  Impl& m = *impl_;
  if (m.bulk == 0) return;
  --m.bulk;
  if (writable()) unlockChanges();
}

void Table::flush() { FlushAll({this}); }

void Table::FlushAll(const std::vector<Table*>& tables) {
  // Everything is written first, then all the files are synced together.
  // Tables outside a change write in a transaction of their own, committed
  // once their files are synced.
  std::map<FileSystem*, std::vector<File*>> files;
  std::vector<Impl*> own;
  try {
    for (Table* t : tables) {
      Impl& m = *t->impl_;
      if (!m.options.writable) continue;
      if (m.journal && !m.journal->active()) {
        m.journal->begin();
        own.push_back(&m);
      }
      if (m.indexes_dirty && m.bulk == 0) m.refreshIndexes();
      m.store->flush();
      std::vector<File*>& list = files[m.fs];
      list.push_back(&m.store->file());
      if (m.blobs) list.push_back(&m.blobs->file());
      if (m.px && m.px->file()) list.push_back(m.px->file());
      for (auto& si : m.secondaries) si->filesToSync(&list);
    }
    for (auto& [fs, list] : files) {
      // Tables open twice share their files: sync each once, in a fixed order.
      std::vector<File*> unique;
      for (File* f : list) {
        if (std::find(unique.begin(), unique.end(), f) == unique.end()) unique.push_back(f);
      }
      fs->syncFiles(unique);
    }
    for (Impl* m : own) m->journal->commit();
  } catch (...) {
    for (Impl* m : own) {
      try {
        m->journal->rollback();
      } catch (...) {
        // The journal stays: the next change lock or open undoes it.
      }
      m->reread_needed = true;
    }
    throw;
  }
}

}  // namespace vellum::engine::paradox
