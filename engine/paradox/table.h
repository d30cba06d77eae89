// A Paradox table: its data file and companion files, opened as one unit.
//
// A Table owns the .DB data file (RecordStore), the primary index writer
// (.PX), the blob file (.MB), the secondary indexes (.Xnn/.Ynn, .XGn/.YGn) and
// the validity checks read from the .VAL. Every change through a Table keeps
// them consistent: keyed tables hold their records in primary-key order, the
// .PX lists every data block with its first key and count, and each
// maintained secondary index holds exactly one entry per record, in index
// order, pointing at the record's block. Values cross this API as UTF-8 text
// and typed Values; on disk text is in the table's code page. The files of
// an encrypted table are read and written through their scrambling
// (crypt.h); its structure needs no password, its rows need the one its
// header names (OpenOptions::passwords).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_type.h"
#include "engine/fs/file_system.h"
#include "engine/paradox/header.h"
#include "engine/paradox/salvage.h"
#include "engine/paradox/val_file.h"
#include "engine/paradox/verify_report.h"
#include "engine/value.h"

namespace vellum::engine::paradox {

using Row = std::vector<Value>;

// Definition of a field for Create: logical type and size as the engine
// reports them (length for String and Bytes, decimals for BCD, the part kept
// in the record for blobs).
struct FieldDef {
  std::string name;
  FieldType type = FieldType::kString;
  int size = 0;
  bool required = false;
};

// Definition of an index. The primary index has an empty name and its key
// fields must be the table's first fields in order.
struct IndexDef {
  std::string name;
  std::vector<std::string> key_fields;  // field names in key order
  bool primary = false;
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
};

struct TableDefinition {
  std::vector<FieldDef> fields;
  std::vector<IndexDef> indexes;
  std::vector<ValidityCheck> checks;  // native form; field numbers 1-based
  int level = 0;                      // 0: the default (4), raised as the features need
  int code_page = 1252;
  int block_kb = 0;  // 0: chosen from the record size
  // The sort order (language driver) named in the header; empty: the binary
  // order that goes with the code page (BinarySortOrderFor). `sort_order_byte`
  // is its id byte, -1 to look it up by name. A sort order whose collation the
  // engine does not implement is refused when an index orders Alpha values.
  std::string sort_order;
  int sort_order_byte = -1;
  RefIntegrity integrity;      // written to the .VAL with the checks
  uint8_t integrity_flag = 0;  // header byte 0x55 (2 in most tables in a link)
  // The table is encrypted under the password of this checksum (crypt.h);
  // 0: not encrypted. Its files are written scrambled from the start.
  uint32_t password_checksum = 0;
};

struct FieldInfo {
  std::string name;
  FieldType type = FieldType::kUnknown;
  int size = 0;
  bool required = false;
  PxType px_type = PxType::kAlpha;
  uint8_t size_byte = 0;
};

struct IndexInfo {
  std::string name;                     // empty for the primary index
  std::vector<std::string> key_fields;  // in key order; empty for an expression index
  bool primary = false;
  bool unique = false;
  bool descending = false;
  bool case_insensitive = false;
  bool maintained = true;
  std::string file;  // .PX, .Xnn or .XGn file name
  // The index file no longer matches its table (fields, entry count or
  // consistency bytes changed since it was written): the table cannot be
  // ordered or searched through it until it is made anew. `why` says what
  // differs.
  bool out_of_date = false;
  std::string why_out_of_date;
};

struct TableStructure {
  std::string name;   // table name without extension
  std::string file;   // data file name as found on disk
  std::string level;  // "3", "3.5", "4", "5", "7"
  int code_page = 0;
  std::string sort_order;
  uint8_t sort_order_byte = 0;
  uint32_t block_size = 0;
  uint32_t record_count = 0;
  int key_fields = 0;
  std::vector<FieldInfo> fields;
  std::vector<IndexInfo> indexes;
  std::vector<ValidityCheck> checks;
  // Set when what an interrupted restructure left beside the table could not
  // be cleaned up at the open (a directory this process may not write, an
  // invalid journal): says why, and that recovery is pending. The table read
  // is the one its own files hold, whole.
  std::string recovery_note;
  RefIntegrity integrity;      // the table's referential-integrity links (.VAL)
  uint8_t integrity_flag = 0;  // header byte 0x55
  // The password checksum of an encrypted table (its rows need the
  // password; see OpenOptions::passwords); 0 when it is not encrypted.
  uint32_t password_checksum = 0;
  bool encrypted() const { return password_checksum != 0; }
};

// Sort orders. The engine orders Alpha keys by their bytes: the order of the
// binary sort orders ("ascii", "DBWINUS0", "BLROM800"; at level 3, id byte 0)
// and of no other. Keys of every other type order alike under every sort
// order.
bool IsBinarySortOrder(const std::string& sort_order, int sort_order_byte, int level);
// The binary sort order that goes with a code page, as real tables pair
// them: "ascii" for the DOS code pages (and level 3), "BLROM800" for Roman-8
// (0), "DBWINUS0" (the Windows ANSI binary driver) for the others.
std::string BinarySortOrderFor(int code_page, int level);
// True when an index of `definition` has an Alpha key field.
bool HasAlphaKeys(const TableDefinition& definition);

struct OpenOptions {
  bool writable = false;
  bool exclusive = false;
  // Whether the validity file is read. A restructure replaces it from its
  // definition and need not read (or be stopped by) the old one.
  bool read_checks = true;
  // How long a change waits for another process to finish its own before it
  // fails with a lock conflict.
  int lock_wait_ms = 10000;
  // The passwords to try on an encrypted table, as a session holds them
  // (UTF-8, as typed). The one whose checksum the table's header holds
  // opens its rows, checked before any block is read. Without it a writable
  // open is refused, and a read-only open gives the table's structure and
  // its header's record count while every read of its rows (a scan, a
  // search, an integrity check) is refused; both raise an invalid-request
  // error (subcode kEncrypted) naming the table's data file, which tells a
  // missing password from a wrong one.
  std::vector<std::string> passwords = {};
  // A salvage read, for a repair of a damaged table (read-only; a writable
  // salvage open is refused): the records are those of every block that
  // looks like a data block, found without trusting the block chain whole
  // (salvage.h); the index files are only described from their headers,
  // never read nor checked; a blob value that cannot be read, and one that
  // lives in a missing blob file, reads as NULL; a validity or blob file
  // that cannot be read is left out. What was met is in salvageLog().
  bool salvage = false;
};

// A table's name without the extension of its data file, as Create, Delete
// and BuildTable take names: "ORDERS.DB" (any letter case) and "ORDERS" both
// name the table ORDERS, whose data file is ORDERS.DB; any other extension
// is part of the name ("A.B" is the table of the data file A.B.DB). Open
// takes a name with any extension as the data file's own name, so open such
// a table as TableBaseName(name) + ".DB".
std::string TableBaseName(const std::string& name);

class SecondaryIndex;
class Table;

// One change of a table's records, as told to its listeners. Ordinals are
// table positions (primary-key order, or table order when unkeyed). Record
// pointers are in the table's record layout and valid during the call only.
struct TableChange {
  enum class Kind {
    kInsert,  // new_record goes to / went to new_ordinal
    kErase,   // old_record at old_ordinal goes / went away
    kUpdate,  // old_record at old_ordinal becomes new_record at new_ordinal
              // (new_ordinal counts without the old record; equal to
              // old_ordinal when the primary key stays)
    kReset,   // anything may have changed (another process changed the file)
  };
  Kind kind = Kind::kReset;
  uint32_t old_ordinal = 0;
  uint32_t new_ordinal = 0;
  const uint8_t* old_record = nullptr;
  const uint8_t* new_record = nullptr;
};

// Told of every change of a table made through any handle of this process,
// and of changes found made by another process. Before a change the table
// still holds what it held; after it, what it holds now. A listener may read
// the table from either call, never change it.
class TableListener {
 public:
  virtual ~TableListener() = default;
  virtual void tableAboutToChange(Table& table, const TableChange& change) = 0;
  virtual void tableChanged(Table& table, const TableChange& change) = 0;
};

class Table {
 public:
  struct Impl;  // the state handles of one file share

  // Creates an empty table, replacing any table of that name and all its
  // own files (as Delete does). Unsupported types and invalid definitions raise an
  // EDBEngineError of the invalid-request category naming the field; the
  // whole definition is checked before anything is deleted, so a definition
  // refused leaves an existing table as it was.
  static void Create(const std::string& directory, const std::string& name,
                     const TableDefinition& definition, FileSystem& fs = FileSystem::Default());

  // Opens a table by directory and name, with or without extension, finding
  // its files whatever the letter case of their names. A table asked for
  // writing (not exclusively) whose data file may only be read -- on a
  // read-only medium, or a file this user may only read -- opens for
  // reading: writable() tells, and a change is refused.
  static std::unique_ptr<Table> Open(const std::string& directory, const std::string& name,
                                     const OpenOptions& options = {},
                                     FileSystem& fs = FileSystem::Default());

  // Deletes a table's own files: its data file, .PX, .MB, .VAL and secondary
  // index files (IsTableFileName); other files of the same name (a form's
  // .TV, a family's .FAM, the user's SALES.XLS) are kept. Raises an invalid
  // request when the name is that of two tables that differ only in letter
  // case, deleting nothing.
  static void Delete(const std::string& directory, const std::string& name,
                     FileSystem& fs = FileSystem::Default());
  // Raises a lock conflict, "Table "<path>" is in use by another user or
  // program", when table `base` of `directory` exists and is open (its data
  // file cannot be locked exclusively), as before replacing it.
  static void RefuseIfInUse(const std::string& directory, const std::string& base, FileSystem& fs);

  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // Whether changes can be made through this handle: it was opened for
  // writing, and the table's files could be opened so.
  bool writable() const;
  const TableStructure& structure() const { return structure_; }
  const TableHeader& header() const;
  const std::string& directory() const { return directory_; }
  // The number of records; for a table whose rows this handle cannot read
  // (rowsReadable), the count its header holds.
  uint32_t recordCount();
  bool keyed() const { return structure_.key_fields > 0; }

  // Encrypted tables. Whether this handle may read the table's rows: true
  // unless the table is encrypted and none of the passwords it was opened
  // with is the table's.
  bool rowsReadable() const;
  // Raises the error a read of the rows meets when rowsReadable() is false.
  void checkRowsReadable() const;
  // Whether `password` (UTF-8) is the password of this encrypted table.
  bool isPassword(const std::string& password) const;

  // Reads the record at 0-based position `ordinal` in table order.
  Row read(uint32_t ordinal);

  // Streams every record in table order with memory independent of the
  // table's size. While it lives, other processes' changes of the table wait
  // (they give up after their lock wait).
  class Scanner {
   public:
    explicit Scanner(Table& table);
    ~Scanner();
    bool next(Row& row);
    // Moves to the next record without decoding it (raw() gives its bytes).
    bool nextRaw();
    // Raw record bytes of the last row returned.
    const uint8_t* raw() const { return raw_; }

   private:
    Table& table_;
    struct State;
    std::unique_ptr<State> state_;
    const uint8_t* raw_ = nullptr;
  };

  // Inserts a record (keyed tables: at its key's place; others: at the end)
  // and returns its position. Autoincrement fields left NULL get the next
  // value. A duplicate primary key or unique-index key raises a key
  // violation and changes nothing.
  uint32_t insert(const Row& row);
  // Copies the bytes of the record at `ordinal` (this table's layout).
  void readRecordBytes(uint32_t ordinal, std::vector<uint8_t>* out);
  // The values of record bytes of this table's layout.
  Row decodeRecordBytes(const uint8_t* record);
  // Whether record bytes refer to values kept in the blob file (which a
  // later change of the table may free).
  bool refersToBlobFile(const uint8_t* record) const;
  // The value of field `index` in record bytes of this table's layout, and
  // the other way (blob values are written to this table's blob file).
  Value fieldValue(size_t index, const uint8_t* record);
  void setFieldValue(size_t index, const Value& value, uint8_t* record);
  // The same for fields that hold bytes (HoldsStoredBytes: Alpha, Bytes and
  // blob fields), as the bytes are stored, never decoded nor encoded: text in
  // the table's code page whatever it holds, blob values without the graphic
  // or OLE prefix. Empty for NULL. setFieldBytes keeps what fits the field
  // (KeptStoredBytes): an Alpha value cut on a character boundary of the
  // code page, a Bytes value to its length, a blob value whole.
  Bytes fieldBytes(size_t index, const uint8_t* record);
  void setFieldBytes(size_t index, const Bytes& bytes, uint8_t* record);

  // Inserts a record given as bytes in this table's record layout (blob
  // fields must already refer to this table's blob file); as insert(). A
  // record refused gives its blob values back to the blob file.
  uint32_t insertRecordBytes(const uint8_t* record);
  // Replaces the record at `ordinal`; returns its new position.
  uint32_t update(uint32_t ordinal, const Row& row);
  void remove(uint32_t ordinal);

  // Position of the first record whose leading `key.size()` primary-key
  // fields are >= `key` (recordCount() when none).
  uint32_t lowerBound(const Row& key);
  // Position of the first record whose leading `key.size()` primary-key
  // fields are above `key` (recordCount() when none).
  uint32_t upperBound(const Row& key);
  // A key encoded once for many comparisons with records: compareKey gives
  // <0, 0 or >0 as the record at `ordinal` sorts below, level with or above
  // the key on its leading primary-key fields.
  struct EncodedKey {
    std::vector<uint8_t> record;
    size_t parts = 0;
  };
  EncodedKey encodeKey(const Row& key);
  int compareKey(uint32_t ordinal, const EncodedKey& key);
  // The same for an order: `order` < 0 is the primary key, else secondary
  // index `order`; the record is given as bytes of this table's layout.
  EncodedKey encodeOrderKey(int order, const Row& key);
  int compareOrderKey(int order, const uint8_t* record, const EncodedKey& key);
  // Counts the inserts, updates and deletes made through any handle of this
  // process on the table, and the times the table was read again after
  // another process changed it, so that a caller can tell whether what it
  // worked out from the rows still holds.
  uint64_t changeCount() const;
  // Blob values read so far (through any handle of this process) whose data
  // lives in the blob file while that file is missing: each read as the part
  // its leader repeats, not whole.
  uint64_t valuesReadWithoutBlobFile() const;
  // Whether the table has blob fields and its blob file is missing: values
  // longer than their leaders then read as the leader alone.
  bool blobFileMissing() const;
  // How many values of blob fields `fields` (field indexes; every blob field
  // when empty) live in the missing blob file, so that the table holds only
  // their first bytes. Reads every record when the blob file is missing; 0
  // without reading anything when it is there.
  uint64_t valuesOnlyInMissingBlobFile(const std::vector<size_t>& fields = {});

  // Changes by several programs. Every change takes the table's change
  // lock, which serialises the writers of all processes: it waits for
  // another process's change to end (at most OpenOptions::lock_wait_ms,
  // then a lock conflict is raised), reads the table again when another
  // process changed it since this one last looked (listeners are told: a
  // reset), and at its end writes every change to the files before the
  // next writer gets in. lockChanges() holds it across several changes
  // (a read-modify-write); the calls nest, and handles of one process on
  // one table share it. A change whose record position was worked out
  // before the lock and finds the table changed by another process raises
  // a lock conflict (subcode kRecordChanged) instead of changing a record
  // it was not meant for. Tables opened exclusively need no lock: nobody
  // else can have them open.
  // True when it found the table changed by another process (and read it
  // again).
  bool lockChanges();
  // Ends what lockChanges() began; the outermost call writes the changes
  // (raising when they cannot be written: the table is then read again from
  // its files at the next lock) and lets others in.
  void unlockChanges();
  // Holds the change lock for the life of a scope. release() ends it and
  // reports a failure to write; a scope left by an exception ends it quietly.
  class ChangeLock {
   public:
    explicit ChangeLock(Table& table) : table_(&table), reread_(table.lockChanges()) {}
    ~ChangeLock();
    ChangeLock(const ChangeLock&) = delete;
    ChangeLock& operator=(const ChangeLock&) = delete;
    void release();
    // Whether taking it found the table changed by another process.
    bool foundOutsideChanges() const { return reread_; }

   private:
    Table* table_;
    bool reread_;
  };
  // Holds the table still for the life of a scope, so that several reads
  // (a walk by position, a record and the rows that go with it) see one
  // table: other processes' changes wait for it to end (and give up after
  // their own lock wait). Taking it waits for another process's change to
  // end (at most OpenOptions::lock_wait_ms, then a lock conflict) and brings
  // what this process holds in line with the files (listeners are told: a
  // reset). It does nothing when a lock of this process already holds the
  // table or the table is open exclusively. Keep it short: writers wait.
  class ReadLock {
   public:
    explicit ReadLock(Table& table);
    ~ReadLock();
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

   private:
    std::shared_ptr<Impl> held_;
  };
  // Looks whether another process changed the table since this process last
  // looked (under a shared lock, so never in the middle of a change) and, if
  // so, reads it again and tells the listeners (a reset). True when it did.
  // Without `wait`, it does not look while another process is changing the
  // table (false then).
  bool checkForOutsideChanges(bool wait = true);

  // Listeners of this handle; they go with it.
  void addListener(TableListener* listener);
  void removeListener(TableListener* listener);

  // Ordered access through maintained secondary index `k` (0-based among the
  // secondary indexes, in the order structure().indexes lists them after the
  // primary index). Entries are positions in index order.
  size_t secondaryCount() const;
  uint32_t indexEntries(size_t k);
  // First entry whose leading key.size() indexed fields are >= `key`.
  uint32_t indexLowerBound(size_t k, const Row& key);
  // First entry whose leading key.size() indexed fields are above `key`.
  uint32_t indexUpperBound(size_t k, const Row& key);
  // Entry that record bytes of this table's layout have in the index (for
  // a record of the table), or would take (for one that is not).
  uint32_t indexPositionFor(size_t k, const uint8_t* record);
  // Table position of the record an entry refers to.
  uint32_t indexEntryRecord(size_t k, uint32_t entry);
  // Entry of the record at table position `ordinal`.
  uint32_t indexEntryOf(size_t k, uint32_t ordinal);

  // What a salvage read (OpenOptions::salvage) met so far; null for other
  // opens.
  const SalvageLog* salvageLog() const;

  // Whether inserts and updates refuse NULL in required fields (on by
  // default; a restructure keeps every row whatever the new checks say).
  void setCheckRequired(bool check);

  // Many changes in a row: until the matching endBulk, index files are not
  // rewritten and changed data blocks stay in memory (written when the block
  // cache fills, at endBulk's flush or at a scan). Reads, searches and index
  // orders of this process see every change meanwhile. Nests.
  void beginBulk();
  void endBulk();
  bool inBulk() const;
  // Writes every pending change to disk and syncs.
  void flush();
  // flush() of several tables, their files synced together.
  static void FlushAll(const std::vector<Table*>& tables);

  // Integrity check of every file of the table against the others: record
  // counts and block chains, key order, blob references, the primary index
  // and each secondary index (an out-of-date index is one finding). Findings
  // are grouped by file and kind; stale block hints in secondary indexes are
  // information, not errors.
  VerifyReport verifyReport();
  // The error lines of verifyReport(), one per file and kind of problem; an
  // empty result means clean.
  std::vector<std::string> verify();

 private:
  Table();
  // Handles of one process on the same file share one Impl (opened for the
  // same access, or, for a handle opened for reading, one opened for
  // writing), so each sees the others' changes at once and none waits on a
  // change lock another handle of the process holds; each handle holds its
  // own open lock.
  std::shared_ptr<Impl> impl_;
  std::unique_ptr<File> lock_;
  OpenOptions options_;
  TableStructure structure_;
  std::string directory_;
};

// Whether fields of `type` hold their values as bytes that can be moved
// between fields without decoding: Alpha, Bytes and blob fields.
bool HoldsStoredBytes(PxType type);
// How many of a value's stored bytes a field of `type`, `length` bytes in
// the record, keeps in code page `code_page`: an Alpha field up to its
// length, cut on a character boundary and ending at a zero byte; a Bytes
// field up to its length; a blob field all.
size_t KeptStoredBytes(const Bytes& bytes, PxType type, size_t length, int code_page);

// The checksum a table of code page `code_page` holds for `password` (UTF-8,
// as typed): the checksum of its bytes in the code page, or of the text as
// typed when the code page cannot hold it; 0 for an empty password.
uint32_t TablePasswordChecksum(const std::string& password, int code_page);

// The password checksum the header of the data file `path` holds (for a
// table about to be deleted and made anew); 0 when the table is not
// encrypted or the file cannot be read.
uint32_t DataFilePasswordChecksum(FileSystem& fs, const std::string& path);

// The refusal of a read of an encrypted table's rows: for the data file
// `path` when no password was given (`passwords_given` false) or when none
// of those given is the table's.
EDBEngineError PasswordRefusal(const std::string& path, bool passwords_given);

// Table names (without extension) of the "*.DB" files of a directory.
std::vector<std::string> ListTables(const std::string& directory,
                                    FileSystem& fs = FileSystem::Default());

}  // namespace vellum::engine::paradox
