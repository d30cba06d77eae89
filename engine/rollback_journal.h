// The rollback journal of a table's changes, and the recovery every open of
// the table runs.
//
// Every change of a table (one insert, update or delete, or the rows of a
// bulk change) is one transaction: it begins when the change lock is taken
// and commits when the lock is let go. Before a transaction first changes a
// table file, the journal RollbackJournalName(NAME) beside the table records
// the file's length as it was; before it first overwrites a page (4 KB) of
// what the file held, it records that page's old bytes. Each time it grows,
// the journal is synced before the file is written (and, when the journal is
// new, its directory too). The commit syncs every file written, then removes
// the journal and syncs the directory: the removal is the commit point.
//
// A journal found by an open (or by a change lock) while no change is under
// way is what a transaction that died left: its pages are written back, each
// file cut to its old length (a file the transaction created is removed),
// the files synced and the journal removed. The table is then as it was
// before the transaction, whatever the death interrupted, and putting it
// back is idempotent. Records are checksummed one by one; a record cut short
// or not matching its checksum ends the journal (its file write never ran:
// the journal is synced before it).
//
// A journal is a file anyone who can write the directory can craft. Only a
// journal with this program's header, whose table is the one opened and
// whose every file name is a plain name of a file of that table (no link),
// is acted on. An empty journal, or one of zero bytes only, is a journal
// whose creation a crash cut short: nothing was written after it, and it is
// removed. Anything else is reported and left alone.
//
// Invariants: while a transaction lives, the journal holds, synced, every
// file length and old page needed to undo what reached the table files; the
// journal exists only while a transaction lives or after one died.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fs/forwarding_file_system.h"

namespace vellum::engine {

// The name of the rollback journal of table `base` (name without extension).
std::string RollbackJournalName(const std::string& base);

// What a journal's bytes say.
struct RollbackJournalContents {
  enum class State {
    kEmpty,    // no bytes, or zero bytes only: a creation cut short
    kValid,    // this program's journal of the table: `files` and `pages`
    kInvalid,  // not a journal of the table: `problem` says why
  };
  struct FileEntry {
    std::string name;
    uint64_t length = 0;  // before the transaction
    bool existed = true;  // false: the transaction created it
  };
  struct Page {
    uint32_t file = 0;  // index into `files`
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
  };
  State state = State::kEmpty;
  std::vector<FileEntry> files;
  std::vector<Page> pages;
  std::string problem;
};

// Reads a journal's bytes for table `base`. Never throws for any input.
RollbackJournalContents ParseRollbackJournal(const uint8_t* data, size_t size,
                                             const std::string& base);

// What RollBackTable found and did.
struct RollbackOutcome {
  enum class State {
    kNothing,     // no journal
    kRolledBack,  // a transaction that died was undone
    kInUse,       // a change of another handle is under way: left alone
    kPending,     // could not be undone now (`message` says why)
    kInvalid,     // a journal that is not one to act on (`message`)
  };
  State state = State::kNothing;
  std::string message;
};

// Undoes what a transaction of table `base` of `directory` that died left,
// under the table's change lock taken exclusively (waiting up to `wait_ms`
// for a change under way); a table another handle holds exclusively is
// left alone. Never throws: failures come back as kPending.
RollbackOutcome RollBackTable(FileSystem& fs, const std::string& directory, const std::string& base,
                              int wait_ms);

// The same, for a caller that holds the table's change lock exclusively or
// the table exclusively (no change of another handle can be under way).
RollbackOutcome RollBackHeldTable(FileSystem& fs, const std::string& directory,
                                  const std::string& base);

// Removes the journal of table `base` when it is one of ours (valid or
// empty), as deleting the table does; a journal of another kind stays.
void RemoveRollbackJournal(FileSystem& fs, const std::string& directory, const std::string& base);

// The file system a table's handles write through: every file of table
// `base` in `directory` opened through it for writing is journaled while a
// transaction is open. Other files and all reads pass through. Not
// thread-safe; one per open table state.
class JournalingFileSystem final : public ForwardingFileSystem {
 public:
  JournalingFileSystem(FileSystem& base, std::string directory, std::string table_base);
  ~JournalingFileSystem() override;

  // Begins a transaction (nothing is written until a file changes).
  void begin();
  bool active() const { return active_; }
  // Syncs every file changed since begin(), then removes the journal and
  // syncs the directory. Ends the transaction.
  void commit();
  // Puts every file changed since begin() back as it was and ends the
  // transaction. Raises when that cannot be done (the journal then stays,
  // for the next open).
  void rollback();

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  void syncFiles(const std::vector<File*>& files) override { SyncEachFile(files); }

  // Called by the journaled files.
  void beforeWrite(const std::string& path, File& file, uint64_t offset, uint64_t n);
  void beforeTruncate(const std::string& path, File& file, uint64_t size);
  void written(const std::string& path);
  // A journaled file of `path` opens (`open`) or closes; `file` is its base.
  void opened(const std::string& path, File* file, bool open);

 private:
  struct Tracked {
    uint32_t index = 0;
    uint64_t length = 0;
    std::set<uint64_t> saved;  // pages recorded
  };
  Tracked& track(const std::string& path, File* file, bool existed);
  void savePages(Tracked& t, File& file, uint64_t from, uint64_t to);
  void appendRecords();
  void recordOpenFiles();
  void clear();
  std::string journalPath() const;
  bool ownFile(const std::string& path) const;

  std::string directory_;
  std::string base_;
  bool active_ = false;
  bool created_ = false;                    // a file was created since begin()
  std::map<std::string, Tracked> tracked_;  // by path
  std::vector<std::string> order_;          // paths by index
  std::vector<uint8_t> pending_;            // records not yet in the journal
  std::unique_ptr<File> journal_;
  uint64_t journal_size_ = 0;
  uint32_t salt_ = 0;
  std::set<std::string> written_;                   // paths written since begin()
  std::map<std::string, std::vector<File*>> open_;  // journaled files open, by path
};

}  // namespace vellum::engine
