// The state that the handles of one table file share in this process
// (Table::Impl), kept apart so that the table's implementation can be split
// along its parts (engine/paradox/table*.cpp). Nothing else includes it.
//
// One Impl per data file and access; Table handles hold it shared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/secondary_index.h"
#include "engine/paradox/table.h"
#include "engine/rollback_journal.h"

namespace vellum::engine::paradox {

struct Table::Impl : public ReadGuard {
  FileSystem* fs = nullptr;
  // Writable states write through it: each change is one transaction of
  // the table's rollback journal (rollback_journal.h). It outlives the
  // files opened through it.
  std::unique_ptr<JournalingFileSystem> journal;
  std::string directory;
  std::string base;  // table name as found on disk, without extension
  OpenOptions options;
  std::unique_ptr<RecordStore> store;
  std::unique_ptr<CodePage> code_page;
  std::unique_ptr<BlobFile> blobs;
  bool blob_file_missing = false;
  uint64_t values_cut_short = 0;  // blob values read as their leaders alone
  // What a salvage read met; null unless the open asked for one.
  std::unique_ptr<SalvageLog> salvage;
  // Why the rows of an encrypted table cannot be read (no password given or
  // a wrong one); empty when they can.
  std::string sealed;
  std::string px_path;
  std::unique_ptr<IndexFileWriter> px;
  std::vector<std::unique_ptr<SecondaryIndex>> secondaries;
  // Why each secondary index file that could not be opened was left out
  // (read-only opens); the integrity check reports them.
  std::vector<std::string> unopened_indexes;
  std::vector<KeyPart> pk_parts;
  size_t key_size = 0;
  int bulk = 0;
  bool check_required = true;
  bool indexes_dirty = false;
  uint64_t changes = 0;  // inserts, updates and deletes so far
  bool lock_held = false;
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> key_scratch;     // key records of searches
  std::vector<uint8_t> insert_scratch;  // records being inserted
  std::vector<uint8_t> read_scratch;    // records being decoded
  TableStructure structure;             // as read at open

  // --- several handles and processes --------------------------------------
  // An open of the data file of its own, holding the change lock.
  std::unique_ptr<File> change_file;
  int lock_depth = 0;        // lockChanges() nesting in this process
  int read_wait_ms = 10000;  // how long a read waits for another process's change
  uint64_t changes_at_lock = 0;
  // The data file's first bytes as this process last read or wrote them.
  // Every change of this engine bumps the header's write stamp, so another
  // process's change shows as a difference.
  std::vector<uint8_t> seen_head;
  bool reread_needed = false;  // a change could not be written: the files decide
  struct Listening {
    Table* handle;
    TableListener* listener;
  };
  std::vector<Listening> listeners;

  bool file_locked = false;  // this process holds change_file's lock, in either mode
  // A rollback journal beside the table that is not one to act on: reads
  // do not look for one again (changes still refuse it).
  bool journal_left_alone = false;
  // Asked for writing, but its data file may only be read (a read-only
  // medium, a file this user may only read): opened for reading instead.
  bool files_read_only = false;

  bool lockChanges(int wait_ms);
  void unlockChanges();
  // Undoes, under the change lock held exclusively, what a change that died
  // left (its rollback journal); true when it did.
  bool rollBackDeadChange();
  // Under the lock held shared: undoes what a writer that died left, then
  // takes the lock shared again (what this process holds is read again).
  void undoDeadChangeForReaders(int wait_ms);
  void waitForFileLock(bool exclusive, int wait_ms);
  void releaseFileLock();
  // Reads outside a change check, under a shared lock, that the file is
  // still as this process last saw it; else StaleTable is raised.
  bool beginRead() override;
  void endRead() override;
  void readAgainAfterStale(int wait_ms);
  // Takes the lock shared and brings what this process holds in line with
  // the files; false (and nothing taken) when a lock of this process holds
  // it already or nobody else can change the table.
  bool holdStill(int wait_ms);
  bool lookForOutsideChanges();
  void reread();
  void publish();
  std::vector<uint8_t> readHead();
  void tell(bool before, const TableChange& change);

  ~Impl() override;

  const TableHeader& h() const { return store->header(); }

  // --- value conversion -------------------------------------------------
  // Encodes `v` into `rec`. Text the code page cannot hold is refused in a
  // stored value; in a search key (`key`) it is replaced, as such a key
  // finds nothing stored.
  void encodeField(const PxField& f, size_t index, const Value& v, uint8_t* rec, bool* wrote_blob,
                   bool key = false);
  std::string encodeText(const PxField& f, const std::string& text, bool key);
  Value decodeField(const PxField& f, const uint8_t* rec);
  // A blob field's value as stored (its leader alone when the .MB is
  // missing), and the other way.
  Bytes readBlob(const PxField& f, const uint8_t* p);
  Bytes salvageBlob(const PxField& f, const uint8_t* p);
  void writeBlob(const PxField& f, const Bytes& data, uint8_t* p);
  Bytes storedBytes(const PxField& f, const uint8_t* rec);
  void setStoredBytes(const PxField& f, const Bytes& bytes, uint8_t* rec);
  void encodeRow(const Row& row, std::vector<uint8_t>* rec, const TableStructure& st);
  Row decodeRow(const uint8_t* rec);
  void releaseBlobs(const uint8_t* rec);

  // --- keys ---------------------------------------------------------------
  uint32_t lowerBound(const uint8_t* rec, size_t parts);
  void refreshIndexes();
  IndexLeafList px_leaves;  // reused between changes
  void collectLeaves();
  void checkUnique(const uint8_t* rec, std::optional<uint32_t> self, const std::string& table);
  uint32_t insertEncoded(const uint8_t* rec);
};

// Refuses a table name that is empty or holds a path separator.
void CheckTableName(const std::string& name);

// The block sizes an index file may have.
bool IsIndexBlockSize(uint8_t kb);

// Refuses a change of a table whose state `m` was opened for reading only.
[[noreturn]] void RefuseChange(const Table::Impl& m);

// Refuses a change through `table` (whose state is `m`) unless the handle
// was opened for writing and its state could be: a handle opened for
// reading may share the state of one opened for writing.
void RequireWritable(const Table& table, const Table::Impl& m);

}  // namespace vellum::engine::paradox
