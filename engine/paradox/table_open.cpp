// Opening a table: the handles and the state they share, the open lock and
// its turns, what an interrupted restructure or change left, the data file
// and its companion files, and the password of an encrypted table.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/blob_file.h"
#include "engine/paradox/code_page.h"
#include "engine/paradox/codec.h"
#include "engine/paradox/crypt.h"
#include "engine/paradox/index_file.h"
#include "engine/paradox/record_store.h"
#include "engine/paradox/secondary_index.h"
#include "engine/paradox/table_locks.h"
#include "engine/restructure_journal.h"
#include "engine/rollback_journal.h"
#include "engine/text.h"

namespace vellum::engine::paradox {

Table::Table() : impl_(std::make_shared<Impl>()) {}

Table::~Table() {
  auto& listeners = impl_->listeners;
  listeners.erase(std::remove_if(listeners.begin(), listeners.end(),
                                 [this](const Impl::Listening& l) { return l.handle == this; }),
                  listeners.end());
}

Table::Impl::~Impl() {
  try {
    if (store && options.writable) {
      bulk = 0;
      if (lock_depth > 0) {
        lock_depth = 1;
        unlockChanges();
      }
      // After a change that failed and was undone, memory is ahead of the
      // files: nothing of it is written.
      if (reread_needed) return;
      if (journal) journal->begin();
      if (indexes_dirty) refreshIndexes();
      store->flush();
      if (blobs) blobs->sync();
      if (journal) journal->commit();
    }
  } catch (...) {
    // Destructors do not throw; flush() reports failures to callers that ask.
  }
}

bool IsIndexBlockSize(uint8_t kb) {
  return kb == 1 || kb == 2 || kb == 3 || kb == 4 || kb == 8 || kb == 16 || kb == 32;
}

namespace {

// The header of an index file; nothing when it cannot be read (the
// integrity check reports why).
std::optional<TableHeader> ReadIndexHeader(FileSystem& fs, const std::string& path) {
  try {
    auto file = fs.open(path, OpenMode::kRead);
    const uint64_t size = file->size();
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x800)));
    file->read(0, head.data(), head.size());
    return ParseHeader(head.data(), head.size(), size, FileNameOf(path));
  } catch (const EDBEngineError&) {
    return std::nullopt;
  }
}

// Open tables of this process, by data file and access.
std::mutex g_open_mutex;
std::map<std::string, std::weak_ptr<Table::Impl>> g_open_tables;

std::string OpenKey(const FileSystem& fs, const std::string& path, const OpenOptions& options) {
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(path, ec);
  return std::to_string(reinterpret_cast<uintptr_t>(&fs)) + (options.writable ? "|w" : "|r") +
         (options.salvage ? "s" : "") + (options.read_checks ? "|" : "-|") +
         (ec ? path : canonical.string());
}

// The state this process already holds of the data file `path` that an open
// with `options` can share: one opened for the same access or, for an open
// for reading, one opened for writing, which serves reads as well. Sharing
// it is what keeps a reader from waiting on a change lock its own process
// holds (a load that reads a table its batch is writing): the change lock
// belongs to the state, so two states of one file in one process would
// wait on each other like two processes. Null when there is none.
std::shared_ptr<Table::Impl> SharedState(const FileSystem& fs, const std::string& path,
                                         const OpenOptions& options) {
  if (!options.writable) {
    OpenOptions writing = options;
    writing.writable = true;
    if (auto state = g_open_tables[OpenKey(fs, path, writing)].lock()) return state;
  }
  return g_open_tables[OpenKey(fs, path, options)].lock();
}

// Whether this process has the data file `path` open through any handle.
bool OpenInThisProcess(const FileSystem& fs, const std::string& path) {
  std::lock_guard registry_lock(g_open_mutex);
  for (bool writable : {false, true}) {
    for (bool checks : {false, true}) {
      for (bool salvage : {false, true}) {
        OpenOptions o;
        o.writable = writable;
        o.read_checks = checks;
        o.salvage = salvage;
        const std::string key = OpenKey(fs, path, o);
        for (auto it = g_open_tables.lower_bound(key);
             it != g_open_tables.end() && it->first.compare(0, key.size(), key) == 0; ++it) {
          if (!it->second.expired()) return true;
        }
      }
    }
  }
  return false;
}

[[noreturn]] void ThrowOpenConflict(const std::string& path, bool exclusive) {
  throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric,
                       "Table \"" + path + "\" is " +
                           (exclusive ? "in use" : "opened exclusively") +
                           " by another user or program");
}

// The descriptor that holds a handle's open lock on the data file `path`,
// shared or (options.exclusive) exclusive.
//
// Opens take turns, so that readers opening and closing the table in a
// loop cannot keep a writer out for ever: an exclusive open that finds the
// table open elsewhere holds the turn lock (File::tryLockTurn) while it
// waits, up to options.lock_wait_ms, for the others to close; every open
// takes the turn shared for the moment it takes its own lock, so that opens
// coming after a waiting writer wait behind it (up to their own lock wait).
// A table this process holds open is never waited for: it cannot close
// while we wait.
std::unique_ptr<File> TakeOpenLock(FileSystem& fs, const std::string& path,
                                   const OpenOptions& options) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.lock_wait_ms);
  thread_local std::minstd_rand jitter(std::random_device{}());
  int pause_us = 200;
  auto pause = [&] {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us + jitter() % pause_us));
    pause_us = std::min(pause_us * 2, 5000);
    return true;
  };
  // A writer needs a descriptor opened for writing to hold the turn; one
  // that may only read the file takes its lock without a turn.
  std::unique_ptr<File> file;
  bool turns = true;
  if (options.exclusive) {
    try {
      file = fs.open(path, OpenMode::kReadWrite);
    } catch (const EDBEngineError&) {
      turns = false;
    }
  }
  if (!file) file = fs.open(path, OpenMode::kRead);

  // Wait behind a writer that waits for its turn.
  while (!file->tryLockTurn(false)) {
    if (!pause()) ThrowOpenConflict(path, options.exclusive);
  }
  const bool locked = file->tryLock(options.exclusive);
  file->unlockTurn();
  if (locked) return file;
  if (!options.exclusive || OpenInThisProcess(fs, path)) ThrowOpenConflict(path, options.exclusive);

  // Others have it open: hold the turn and wait for them to close.
  bool holding_turn = false;
  for (;;) {
    if (turns && !holding_turn) holding_turn = file->tryLockTurn(true);
    if (holding_turn || !turns) {
      if (file->tryLock(true)) break;
    }
    if (!pause()) {
      if (holding_turn) file->unlockTurn();
      ThrowOpenConflict(path, true);
    }
  }
  if (holding_turn) file->unlockTurn();
  return file;
}

// A committed restructure that could not be finished leaves the old files
// partly replaced: the table cannot be read until it is finished.
void RefuseCommittedLeftover(const RecoveryOutcome& recovery, const std::string& path) {
  if (!recovery.committed) return;
  if (recovery.state == RecoveryOutcome::State::kInUse) {
    throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric,
                         "Table \"" + path + "\" is being restructured by another user or program");
  }
  if (recovery.state == RecoveryOutcome::State::kPending) {
    throw EDBEngineError(ErrorCategory::kIo, subcode::kGeneric, recovery.message);
  }
}

// The files of one table ("<base>.*", whatever the letter case of their
// names), found in one listing of the directory.
class TableFileNames {
 public:
  TableFileNames(FileSystem& fs, std::string directory, std::string base)
      : fs_(fs), directory_(std::move(directory)), base_(std::move(base)) {
    relist();
  }
  // Lists the directory again (after a recovery replaced files).
  void relist() { entries_ = fs_.listPrefix(directory_, base_ + "."); }
  // The path of file `wanted` as the directory spells it, an exact match
  // first; `found` tells whether there is one (if not, the path is made of
  // `wanted` itself).
  std::string find(const std::string& wanted, bool* found) const {
    const std::string upper = Upper(wanted);
    const std::string* match = nullptr;
    for (const auto& e : entries_) {
      if (e == wanted) {
        match = &e;
        break;
      }
      if (!match && Upper(e) == upper) match = &e;
    }
    *found = match != nullptr;
    return JoinPath(directory_, match ? *match : wanted);
  }
  const std::vector<std::string>& entries() const { return entries_; }

 private:
  FileSystem& fs_;
  std::string directory_;
  std::string base_;
  std::vector<std::string> entries_;
};

// Finishes or discards what an interrupted restructure of the table left (a
// journal or a work directory); nothing to do gives a default outcome.
RecoveryOutcome RecoverInterruptedRestructure(FileSystem& fs, const std::string& directory,
                                              const std::string& file_name, TableFileNames& files) {
  const std::string table_base = StripExtension(file_name);
  bool journal = false;
  files.find(JournalName(table_base), &journal);
  const std::string work = JoinPath(directory, WorkDirectoryName(table_base));
  if (!journal && !fs.isDirectory(work) && !fs.isLink(work)) return {};
  RecoveryOutcome recovery = RecoverTable(directory, table_base, fs);
  RefuseCommittedLeftover(recovery, JoinPath(directory, file_name));
  files.relist();
  return recovery;
}

// Undoes what a change of the table (data file `path`) that died left, when
// its rollback journal is there.
RollbackOutcome RollBackInterruptedChange(FileSystem& fs, const std::string& directory,
                                          const std::string& path, const OpenOptions& options,
                                          TableFileNames& files) {
  const std::string base = StripExtension(FileNameOf(path));
  bool journal = false;
  files.find(RollbackJournalName(base), &journal);
  if (!journal) return {};
  RollbackOutcome outcome = RollBackTable(fs, directory, base, options.lock_wait_ms);
  files.relist();
  return outcome;
}

// Opens the data file that carries the change lock. A table asked for
// writing whose data file may only be read (a read-only medium, a file this
// user may only read) is opened for reading instead, as a table opened
// read-only: its handles read it, a change is refused, and its locks are
// shared ones, which a descriptor opened for reading can hold.
std::unique_ptr<File> OpenChangeFile(Table::Impl& m, const std::string& path) {
  if (!m.options.writable) return m.fs->open(path, OpenMode::kRead);
  try {
    return m.fs->open(path, OpenMode::kReadWrite);
  } catch (const EDBEngineError& e) {
    // A data file that is a symbolic link is never written through: the
    // table is read through it only.
    const int32_t why = e.entries().front().native_code;
    if (why != EACCES && why != EPERM && why != EROFS && why != ELOOP) throw;
  }
  m.options.writable = false;
  m.files_read_only = true;
  return m.fs->open(path, OpenMode::kRead);
}

// For the length of an open, holds the table's change lock, so that a
// shared open never meets another process's change half made (a writable
// open may mend a stale index, so it takes the lock for itself). An
// exclusive open needs none: no other process has the table open.
class OpenLock {
 public:
  OpenLock(Table::Impl& m, const std::string& path) {
    if (m.options.exclusive) return;
    m.change_file = OpenChangeFile(m, path);
    m.read_wait_ms = m.options.lock_wait_ms;
    m.waitForFileLock(m.options.writable, m.options.lock_wait_ms);
    impl_ = &m;
  }
  ~OpenLock() {
    if (impl_) impl_->releaseFileLock();
  }
  OpenLock(const OpenLock&) = delete;
  OpenLock& operator=(const OpenLock&) = delete;

 private:
  Table::Impl* impl_ = nullptr;
};

// Reads and checks the data file's header through the handle's own
// descriptor `handle_file`, then opens the table's record store, its code
// page and its primary key's parts. Index files and unkeyed tables with key
// fields are refused. The store of an encrypted table whose rows the open
// may not read reads its header alone.
void OpenDataFile(Table::Impl& m, File& handle_file, const std::string& path) {
  const uint64_t size = handle_file.size();
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, 0x10000)));
  handle_file.read(0, head.data(), head.size());
  m.seen_head.assign(head.begin(),
                     head.begin() + static_cast<long>(std::min<size_t>(head.size(), kHeadBytes)));
  TableHeader h = ParseHeader(head.data(), head.size(), size, FileNameOf(path));
  if (h.isIndexFile() || IsSecondaryDataType(h.file_type)) {
    ThrowCorrupt(FileNameOf(path), "it is an index file, not a table", subcode::kBadHeader);
  }
  if (h.key_fields > 0 && h.file_type != 0) {
    ThrowCorrupt(FileNameOf(path), "an unkeyed table with key fields", subcode::kBadHeader);
  }
  auto file = m.fs->open(path, m.options.writable ? OpenMode::kReadWrite : OpenMode::kRead);
  if (!m.sealed.empty()) {
    file = std::make_unique<SealedFile>(std::move(file), h.header_size, m.sealed);
  }
  m.store = std::make_unique<RecordStore>(std::move(file), std::move(h), FileNameOf(path));
  if (m.salvage) m.store->setSalvage(m.salvage.get());
  const TableHeader& stored = m.h();
  m.code_page = std::make_unique<CodePage>(stored.version_id >= 0x05 ? stored.code_page : 437);
  for (size_t i = 0; i < stored.key_fields; ++i) {
    const PxField& f = stored.fields[i];
    m.pk_parts.push_back(KeyPart{f.offset, f.length, f.type, false, false});
    m.key_size += f.length;
  }
  m.store->setKeyLength(m.key_size);
}

// The structure as the data file's header tells it: names, level, code
// page, sort order, block size and fields.
void DescribeFromHeader(const Table::Impl& m, const std::string& path, TableStructure& st) {
  const TableHeader& h = m.h();
  st.name = m.base;
  st.file = FileNameOf(path);
  st.level = h.levelText();
  st.code_page = m.code_page->number();
  st.sort_order = h.sort_order_id;
  st.sort_order_byte = h.sort_order;
  st.integrity_flag = h.index_flags;
  st.password_checksum = h.passwordChecksum();
  st.block_size = h.blockSize();
  st.key_fields = h.key_fields;
  for (const auto& f : h.fields) {
    FieldInfo fi;
    fi.name = m.code_page->toUtf8(f.name);
    fi.type = LogicalTypeOf(f.type);
    fi.size = ReportedSize(f.type, f.size_byte);
    fi.px_type = f.type;
    fi.size_byte = f.size_byte;
    st.fields.push_back(fi);
  }
}

// Opens the blob file when the table has blob fields; a missing one is
// noted (reads of blob values then fail, the integrity check reports it).
// An encrypted table whose rows the open may not read leaves it closed: its
// values are rows, and even its header block is scrambled.
void OpenBlobFile(Table::Impl& m, const TableFileNames& files) {
  if (!m.sealed.empty()) return;
  const TableHeader& h = m.h();
  const bool has_blobs = std::any_of(h.fields.begin(), h.fields.end(),
                                     [](const PxField& f) { return IsBlobType(f.type); });
  bool mb_found = false;
  const std::string mb_path = files.find(m.base + ".MB", &mb_found);
  if (has_blobs && mb_found) {
    try {
      m.blobs = BlobFile::Open(*m.fs, mb_path, m.options.writable, h.passwordChecksum());
    } catch (const EDBEngineError& e) {
      if (!m.salvage) throw;
      m.salvage->file_problems.push_back(e.what());
      m.blob_file_missing = true;
    }
  } else if (has_blobs) {
    m.blob_file_missing = true;
    if (m.salvage) m.salvage->file_problems.push_back("the blob file " + m.base + ".MB is missing");
  }
}

// Describes a keyed table's primary index in `st` and, for writing, opens
// it (to be made anew when it is missing). Returns the existing index's
// header, when it can be read.
std::optional<TableHeader> OpenPrimaryIndex(Table::Impl& m, const TableFileNames& files,
                                            TableStructure& st) {
  const TableHeader& h = m.h();
  if (h.key_fields == 0) return std::nullopt;
  IndexInfo pi;
  pi.primary = true;
  pi.unique = true;
  for (size_t i = 0; i < h.key_fields; ++i) {
    pi.key_fields.push_back(st.fields[i].name);
  }
  bool px_found = false;
  m.px_path = files.find(m.base + ".PX", &px_found);
  pi.file = px_found ? FileNameOf(m.px_path) : "";
  st.indexes.push_back(pi);
  std::optional<TableHeader> old_px;
  if (px_found) old_px = ReadIndexHeader(*m.fs, m.px_path);
  if (m.options.writable) {
    TableHeader ph = MakeIndexHeader(h, h.key_fields, 1, m.base + ".PX");
    if (old_px && old_px->record_size == ph.record_size) {
      // Keep the block size the existing index uses (unless a damaged
      // header gives one no index has, or one too small for three
      // entries), and its consistency byte, which the secondary indexes
      // repeat.
      if (IsIndexBlockSize(old_px->block_kb) && old_px->blockCapacity() >= 3) {
        ph.block_kb = old_px->block_kb;
      }
      ph.index_stamp = old_px->index_stamp;
    }
    m.px = std::make_unique<IndexFileWriter>(
        *m.fs, px_found ? m.px_path : JoinPath(m.directory, m.base + ".PX"), ph, !px_found);
    if (!px_found) m.indexes_dirty = true;
  }
  return old_px;
}

// Opens every secondary index of the table (each .Xnn / .XGn with its .Y
// file) and describes it in `st`. `old_px` is the primary index's header,
// whose consistency byte tells whether an index is up to date.
void OpenSecondaryIndexes(Table::Impl& m, const TableFileNames& files, TableStructure& st,
                          const std::optional<TableHeader>& old_px) {
  for (const auto& entry : files.entries()) {
    std::string ext = Upper(ExtensionOf(entry));
    if (Upper(StripExtension(entry)) != Upper(m.base)) continue;
    if (ext.size() != 4 || ext[1] != 'X') continue;
    try {
      auto si = SecondaryIndex::Open(*m.fs, m.directory, entry, m.h(), st, *m.code_page,
                                     m.options.writable);
      if (!m.sealed.empty() || m.salvage) {
        // Described from its header; its entries are rows and stay unread
        // (a salvage read neither needs nor trusts them).
        st.indexes.push_back(si->info());
        continue;
      }
      si->attach(*m.store, m.pk_parts,
                 old_px ? std::optional<uint8_t>(old_px->index_stamp) : std::nullopt);
      if (m.options.writable && si->rebuildIfStale()) m.indexes_dirty = true;
      st.indexes.push_back(si->info());
      m.secondaries.push_back(std::move(si));
    } catch (const EDBEngineError& e) {
      if (m.options.writable) throw;
      // Read-only opens still read the table when an index file is damaged;
      // the integrity check reports it.
      m.unopened_indexes.push_back(e.what());
      if (m.salvage) m.salvage->unreadable_indexes.push_back(e.what());
    }
  }
}

// Reads the validity checks and referential integrity of the .VAL file into
// `st`, when the open asks for them; a required check marks its field.
void ReadValidityChecks(const Table::Impl& m, const TableFileNames& files, TableStructure& st) {
  bool val_found = false;
  const std::string val_path = files.find(m.base + ".VAL", &val_found);
  if (!val_found || !m.options.read_checks) return;
  const TableHeader& h = m.h();
  ValTableInfo info;
  info.table_name = st.file;
  info.file_version_id = h.version_id;
  info.change_count2 = h.change_count2;
  info.hi_field_id = h.hi_field_id;
  info.key_fields = h.key_fields;
  info.fields = h.fields;
  try {
    st.checks = ReadValFile(*m.fs, val_path, info, *m.code_page, &st.integrity);
  } catch (const EDBEngineError& e) {
    if (!m.salvage) throw;
    m.salvage->unreadable_checks = e.what();
    st.checks.clear();
    st.integrity = {};
  }
  for (const auto& c : st.checks) {
    if (c.field_number >= 1 && c.field_number <= st.fields.size() && c.required) {
      st.fields[c.field_number - 1].required = true;
    }
  }
}

// A shared open: walks the block chains while the open's lock keeps them
// whole, then has every later read checked against other processes'
// changes. A chain that cannot be walked is left to the reads that need it:
// a scan still gives the records before the damage.
void GuardSharedReads(Table::Impl& m) {
  if (!m.sealed.empty()) return;  // nothing but headers is ever read
  try {
    m.store->size();
    for (auto& si : m.secondaries) {
      if (!si->outOfDate()) si->entries();
    }
  } catch (const EDBEngineError&) {
  }
  m.store->setReadGuard(&m);
  for (auto& si : m.secondaries) si->setReadGuard(&m);
  if (m.blobs) m.blobs->setReadGuard(&m);
}

// The password checksum of the table whose data file is `file`, and the
// code page its passwords are typed in; no checksum when the file holds
// none (or is no data file, or too short to tell: the header's parse says
// what is wrong with it).
struct Protection {
  uint32_t checksum = 0;
  int code_page = 437;
};
Protection ProtectionOf(File& file) {
  uint8_t head[0x78] = {};
  const size_t got = file.read(0, head, sizeof head);
  if (got < 0x58) return {};
  if (head[0x04] != static_cast<uint8_t>(FileType::kKeyedData) &&
      head[0x04] != static_cast<uint8_t>(FileType::kUnkeyedData)) {
    return {};
  }
  TableHeader h;
  h.file_type = head[0x04];
  h.version_id = head[0x39];
  h.encryption1 = LoadLe32(head + 0x25);
  if (h.hasExtension()) {
    if (got < 0x78) return {};
    h.encryption2 = LoadLe32(head + 0x5C);
  }
  return {h.passwordChecksum(), h.hasExtension() ? LoadLe16(head + 0x6A) : 437};
}

// Whether `password` (UTF-8, as typed) is the password of `protection`: its
// bytes in the table's code page, or as typed when the code page cannot
// hold it.
bool Opens(const std::string& password, const Protection& protection) {
  if (password.empty() || protection.checksum == 0) return false;
  return TablePasswordChecksum(password, protection.code_page) == protection.checksum ||
         PasswordChecksum(password) == protection.checksum;
}

// Why an open with `options` may not read the rows of the table whose data
// file `path` has `protection`; empty when it may. A writable open that may
// not is refused.
std::string SealOf(const Protection& protection, const OpenOptions& options,
                   const std::string& path) {
  if (protection.checksum == 0) return "";
  for (const std::string& password : options.passwords) {
    if (Opens(password, protection)) return "";
  }
  EDBEngineError refusal = PasswordRefusal(path, !options.passwords.empty());
  if (options.writable) throw refusal;
  return refusal.what();
}

}  // namespace

uint32_t TablePasswordChecksum(const std::string& password, int code_page) {
  const std::optional<std::string> bytes = CodePage(code_page).fromUtf8Exact(password);
  return PasswordChecksum(bytes ? *bytes : password);
}

uint32_t DataFilePasswordChecksum(FileSystem& fs, const std::string& path) {
  try {
    return ProtectionOf(*fs.open(path, OpenMode::kRead)).checksum;
  } catch (const EDBEngineError&) {
    return 0;
  }
}

EDBEngineError PasswordRefusal(const std::string& path, bool passwords_given) {
  return EDBEngineError(
      ErrorCategory::kInvalidRequest, subcode::kEncrypted,
      passwords_given
          ? "Table \"" + path +
                "\" is encrypted and the password given is not its password; "
                "its rows cannot be read"
          : "Table \"" + path + "\" is encrypted; its rows cannot be read without its password");
}

const TableHeader& Table::header() const { return impl_->h(); }

std::unique_ptr<Table> Table::Open(const std::string& directory, const std::string& name,
                                   const OpenOptions& options, FileSystem& fs) {
  CheckTableName(name);
  if (options.salvage && options.writable) ThrowInvalid("A salvage read cannot change the table");
  const std::string file_name = ExtensionOf(name).empty() ? name + ".DB" : name;
  if (!fs.isDirectory(directory.empty() ? "." : directory)) {
    ThrowNotFound("Table \"" + JoinPath(directory, file_name) + "\" does not exist",
                  subcode::kTableNotFound);
  }
  TableFileNames files(fs, directory, StripExtension(file_name));
  RefuseLetterCaseTwins(directory, files.entries(), StripExtension(file_name));
  const RecoveryOutcome recovery = RecoverInterruptedRestructure(fs, directory, file_name, files);
  bool found = false;
  const std::string path = files.find(file_name, &found);
  if (!found) {
    ThrowNotFound("Table \"" + JoinPath(directory, file_name) + "\" does not exist",
                  subcode::kTableNotFound);
  }
  const RollbackOutcome rollback = RollBackInterruptedChange(fs, directory, path, options, files);
  std::unique_ptr<Table> t(new Table());
  t->options_ = options;
  t->directory_ = directory;
  // Each handle locks the data file through a descriptor of its own.
  t->lock_ = TakeOpenLock(fs, path, options);
  // The password is checked before any block is read. Handles that may not
  // read the rows share no state with those that may.
  const std::string sealed = SealOf(ProtectionOf(*t->lock_), options, path);
  const std::string key = OpenKey(fs, path, options) + (sealed.empty() ? "" : "|" + sealed);
  std::lock_guard registry_lock(g_open_mutex);
  if (auto shared = SharedState(fs, path, options)) {
    t->impl_ = std::move(shared);
    t->structure_ = t->impl_->structure;
    t->structure_.record_count =
        sealed.empty() ? t->impl_->store->size() : t->impl_->h().num_records;
    return t;
  }
  Impl& m = *t->impl_;
  m.fs = &fs;
  m.directory = directory;
  m.options = options;
  m.base = StripExtension(FileNameOf(path));
  m.sealed = sealed;
  if (options.writable) {
    m.journal = std::make_unique<JournalingFileSystem>(fs, directory, m.base);
    m.fs = m.journal.get();
  }
  if (options.salvage) m.salvage = std::make_unique<SalvageLog>();
  OpenLock open_lock(m, path);
  OpenDataFile(m, *t->lock_, path);
  TableStructure& st = t->structure_;
  DescribeFromHeader(m, path, st);
  OpenBlobFile(m, files);
  const std::optional<TableHeader> old_px = OpenPrimaryIndex(m, files, st);
  OpenSecondaryIndexes(m, files, st, old_px);
  ReadValidityChecks(m, files, st);
  st.record_count = m.h().num_records;
  if (recovery.state == RecoveryOutcome::State::kPending ||
      recovery.state == RecoveryOutcome::State::kInvalid) {
    st.recovery_note = recovery.message;
  }
  if (rollback.state == RollbackOutcome::State::kPending ||
      rollback.state == RollbackOutcome::State::kInvalid) {
    st.recovery_note += (st.recovery_note.empty() ? "" : "; ") + rollback.message;
  }
  if (m.change_file) GuardSharedReads(m);
  Impl* mp = &m;
  m.store->on_move = [mp](const uint8_t* rec, uint16_t block) {
    for (auto& si : mp->secondaries) si->onMove(rec, block);
  };
  m.structure = st;
  g_open_tables[key] = t->impl_;
  return t;
}

bool Table::isPassword(const std::string& password) const {
  return Opens(password, Protection{structure_.password_checksum, structure_.code_page});
}

}  // namespace vellum::engine::paradox
