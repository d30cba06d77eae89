#include "engine/creation_batch.h"

#include <exception>
#include <map>
#include <utility>

#include "engine/errors.h"
#include "engine/fs/reused_file.h"
#include "engine/restructure_journal.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

constexpr char kLockFile[] = "LOCK";
constexpr char kReuseDirectory[] = "discarded";

bool IsDataFile(const std::string& file) { return Upper(ExtensionOf(file)) == ".DB"; }

// Opens the work directory's lock file, never writing it: an existing one
// is opened for reading (a link in its place is refused), a missing one is
// created exclusively.
std::unique_ptr<File> OpenLockFile(FileSystem& fs, const std::string& path) {
  for (int attempt = 0;; ++attempt) {
    if (fs.isLink(path)) RefuseWorkArea(path, kALink);
    if (fs.exists(path)) {
      if (fs.isDirectory(path)) RefuseWorkArea(path, kADirectory);
      return fs.open(path, OpenMode::kRead);
    }
    try {
      return fs.open(path, OpenMode::kCreateNew);
    } catch (const EDBEngineError&) {
      if (attempt > 0 || !fs.exists(path)) throw;  // made meanwhile: once more
    }
  }
}

}  // namespace

CreationBatch::CreationBatch(FileSystem& fs, std::string directory)
    : fs_(fs),
      directory_(std::move(directory)),
      work_(JoinPath(directory_, WorkDirectoryName())),
      reuse_(JoinPath(work_, kReuseDirectory)),
      reusing_(std::make_unique<ReusingFileSystem>(fs, reuse_)) {}

CreationBatch::~CreationBatch() {
  for (const std::string& base : pending_) {
    RemoveWorkDirectory(fs_, JoinPath(directory_, engine::WorkDirectoryName(base)));
  }
  pending_.clear();
  held_.clear();
  if (!lock_) return;
  try {
    clearWorkDirectory();
    lock_.reset();
    fs_.remove(JoinPath(work_, kLockFile));
    fs_.removeDirectory(work_);
  } catch (...) {
    // Left for the next batch in this directory to clear.
  }
}

const char* CreationBatch::WorkDirectoryName() { return ".new-tables"; }

void CreationBatch::CheckWorkDirectory(FileSystem& fs, const std::string& directory) {
  const std::string work = JoinPath(directory, WorkDirectoryName());
  if (fs.isLink(work)) RefuseWorkArea(work, kALink);
  if (!fs.exists(work)) return;
  if (!fs.isDirectory(work)) RefuseWorkArea(work, kNotADirectory);
  const std::string lock = JoinPath(work, kLockFile);
  if (fs.isLink(lock)) RefuseWorkArea(lock, kALink);
  if (fs.isDirectory(lock)) RefuseWorkArea(lock, kADirectory);
}

bool CreationBatch::ensureWorkDirectory() {
  if (refused_) std::rethrow_exception(refused_);
  if (!tried_) {
    tried_ = true;
    try {
      takeWorkDirectory();
    } catch (...) {
      refused_ = std::current_exception();
      throw;
    }
  }
  return lock_ != nullptr;
}

bool CreationBatch::takeWorkDirectory() {
  // Made fresh by this process or a plain directory left by an earlier
  // one; a link or a file in its place (made by someone else) is refused.
  fs_.createDirectory(work_);
  auto lock = OpenLockFile(fs_, JoinPath(work_, kLockFile));
  if (!lock->tryLock(true)) return false;  // another process batches here
  lock_ = std::move(lock);
  clearWorkDirectory();  // what a process that ended left behind
  return true;
}

// Removes the files in the work directory, but for its lock, and the
// discarded files not reused; a link among them goes itself, never what
// it points to.
void CreationBatch::clearWorkDirectory() {
  for (const std::string& entry : fs_.list(work_)) {
    if (entry != kLockFile) fs_.remove(JoinPath(work_, entry));
  }
  reusing_->forgetPooled();
  fs_.removeTree(reuse_);
}

void CreationBatch::removeQuietly(const std::string& path) {
  try {
    fs_.remove(path);
  } catch (const EDBEngineError&) {
    // A file that cannot be deleted stays.
  }
}

void CreationBatch::discard(const std::vector<std::string>& files) {
  // A work directory refused (a link in its place) is raised before
  // anything is marked.
  ensureWorkDirectory();
  for (const std::string& f : files) {
    discarded_files_.push_back(f);
    discarded_bases_.insert(Upper(StripExtension(f)));
  }
}

bool CreationBatch::discarded(const std::string& base) const {
  return discarded_bases_.count(Upper(base)) != 0;
}

void CreationBatch::finishDiscarded() {
  std::vector<std::string> files;
  for (const std::string& f : discarded_files_) {
    const std::string stem = StripExtension(f);
    // A table made anew in their place has replaced its own files.
    if (replaced_bases_.count(Upper(stem)) != 0 && IsTableFileName(f, stem)) continue;
    files.push_back(f);
  }
  discarded_files_.clear();
  discarded_bases_.clear();
  // Data files first: a table exists by its data file, and the directory
  // is synced before its other files go.
  for (bool data_files : {true, false}) {
    bool removed = false;
    for (const std::string& f : files) {
      if (IsDataFile(f) != data_files) continue;
      removeQuietly(JoinPath(directory_, f));
      removed = true;
    }
    if (data_files && removed) fs_.syncDirectory(directory_);
  }
}

bool CreationBatch::recycle(const std::string& file) {
  constexpr uint64_t kLargestRecycled = uint64_t{1} << 20;
  if (!ensureWorkDirectory()) return false;
  const std::string name = Upper(file);
  if (reusing_->pooled(name)) return false;
  const std::string path = JoinPath(directory_, file);
  if (fs_.open(path, OpenMode::kRead)->size() >= kLargestRecycled) return false;
  fs_.createDirectory(reuse_);
  fs_.rename(path, JoinPath(reuse_, name));
  reusing_->addPooled(name);
  return true;
}

void CreationBatch::create(const std::string& name, const paradox::TableDefinition& def) {
  ensureWorkDirectory();  // without it, nothing is reused
  const std::string base = paradox::TableBaseName(name);
  if (held_.count(Upper(base)) == 0) hold(base);  // else created again in this batch
  const std::string work = JoinPath(directory_, engine::WorkDirectoryName(base));
  // Created again in this batch: made anew in its work directory.
  RemoveWorkDirectory(*reusing_, work);
  reusing_->createDirectory(work);  // refuses a link in its place
  paradox::Table::Create(work, base, def, *reusing_);
  for (const std::string& b : pending_) {
    if (Upper(b) == Upper(base)) return;
  }
  pending_.push_back(base);
}

void CreationBatch::hold(const std::string& base) {
  paradox::Table::RefuseIfInUse(directory_, base, fs_);
  // What an interrupted restructure or batch left of the table is finished
  // or discarded first: its work directory is about to be made anew.
  const RecoveryOutcome recovery = RecoverTable(directory_, base, fs_);
  const std::string in_use =
      "Table \"" + JoinPath(directory_, base + ".DB") + "\" is in use by another user or program";
  switch (recovery.state) {
    case RecoveryOutcome::State::kPending:
    case RecoveryOutcome::State::kInvalid:
      ThrowInvalid("Cannot create table \"" + base + "\": " + recovery.message);
    case RecoveryOutcome::State::kInUse:
      throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric, in_use);
    default:
      break;
  }
  // The old table is held exclusively until the commit replaces it, as a
  // restructure holds it: no open recovers (and so discards) the new one.
  bool has_data = false;
  const std::string data = ResolveCaseInsensitive(fs_, directory_, base + ".DB", &has_data);
  if (!has_data) return;
  auto file = fs_.open(data, OpenMode::kRead);
  if (!file->tryLock(true))
    throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric, in_use);
  held_[Upper(base)] = std::move(file);
}

// A table of the commit under way: its new files in its work directory and,
// when it replaces old files, its journal.
struct CreationBatch::Staged {
  std::string base;
  std::string work;
  std::vector<std::string> new_files;
  std::vector<std::string> old_files;
  RestructureJournal journal;
  std::string journal_path;
  std::string staged_journal;
  std::unique_ptr<File> journal_file;  // held until the journal is removed
  bool committed = false;              // its journal is in place
};

void CreationBatch::commit() {
  if (pending_.empty()) return;
  std::vector<Staged> tables;
  try {
    // The new files, durable all at once.
    std::vector<std::string> files, directories;
    for (const std::string& base : pending_) {
      Staged& t = tables.emplace_back();
      t.base = base;
      t.work = JoinPath(directory_, engine::WorkDirectoryName(base));
      t.new_files = TableFilesAmong(fs_.list(t.work), base);
      for (const std::string& f : t.new_files) files.push_back(JoinPath(t.work, f));
      directories.push_back(t.work);
    }
    reusing_->finishReused();
    fs_.syncTogether(files, directories);

    // The journals of the tables that replace old files, written in their
    // work directories and synced together.
    files.clear();
    for (Staged& t : tables) {
      // A table held since its creation is not in use by anyone else.
      if (held_.count(Upper(t.base)) == 0) paradox::Table::RefuseIfInUse(directory_, t.base, fs_);
      t.old_files = TableFilesAmong(fs_.listPrefix(directory_, t.base + "."), t.base);
      if (t.old_files.empty()) continue;
      t.journal = JournalOf(t.old_files, t.new_files, engine::WorkDirectoryName(t.base));
      t.journal_path = JoinPath(directory_, JournalName(t.base));
      t.staged_journal = JoinPath(t.work, JournalName(t.base));
      t.journal_file = fs_.open(t.staged_journal, OpenMode::kCreateNew);
      if (!t.journal_file->tryLock(true)) {
        throw EDBEngineError(ErrorCategory::kLockConflict, subcode::kGeneric,
                             "The restructure journal \"" + t.journal_path +
                                 "\" is in use by another user or program");
      }
      const std::string text = FormatJournal(t.journal);
      t.journal_file->write(0, text.data(), text.size());
      files.push_back(t.staged_journal);
    }
    if (!files.empty()) {
      fs_.syncTogether(files, {});
      // The commit point of each: its journal renamed into place, with the
      // directory's sync.
      for (Staged& t : tables) {
        if (t.old_files.empty()) continue;
        if (fs_.exists(t.journal_path) || fs_.isLink(t.journal_path)) {
          ThrowInvalid("Cannot create table \"" + t.base + "\": \"" + t.journal_path +
                       "\" is not a restructure journal of this program; move it away");
        }
        fs_.rename(t.staged_journal, t.journal_path);
        t.committed = true;
      }
      fs_.syncDirectory(directory_);
    }
  } catch (...) {
    // Nothing is published: the tables not committed keep their old files,
    // the committed ones are finished by their next open.
    pending_.clear();
    for (Staged& t : tables) {
      if (t.committed) continue;
      t.journal_file.reset();
      RemoveWorkDirectory(fs_, t.work);
    }
    held_.clear();
    throw;
  }
  pending_.clear();
  // Let go of the old tables once their files are replaced, however that
  // ends.
  struct Release {
    std::map<std::string, std::unique_ptr<File>>& held;
    ~Release() { held.clear(); }
  } release{held_};

  // Committed: the old files a new one replaces or that go are handed over
  // for reuse (but the data file, which the new one replaces in one rename,
  // so that the table is never without one), the new files move in -- for a
  // table without old files the companions first, its data file once they
  // are durable -- and the journals go.
  for (Staged& t : tables) {
    if (!t.committed) continue;
    replaced_bases_.insert(Upper(t.base));
    for (const std::string& f : t.old_files) {
      if (IsDataFile(f)) continue;
      try {
        recycle(f);
      } catch (const EDBEngineError&) {
        // Left to the journal.
      }
    }
  }
  for (bool data_files : {false, true}) {
    for (Staged& t : tables) {
      const std::string work = t.work;
      if (t.committed) {
        if (data_files) continue;
        for (const std::string& d : t.journal.deletes) fs_.remove(JoinPath(directory_, d));
        for (const auto& [from, to] : t.journal.renames) {
          const std::string source = JoinPath(work, from);
          if (fs_.exists(source)) fs_.rename(source, JoinPath(directory_, to));
        }
        continue;
      }
      for (const std::string& f : t.new_files) {
        if (IsDataFile(f) == data_files) fs_.rename(JoinPath(work, f), JoinPath(directory_, f));
      }
    }
    fs_.syncDirectory(directory_);
  }
  bool journals = false;
  for (Staged& t : tables) {
    if (t.committed) {
      t.journal_file.reset();
      fs_.remove(t.journal_path);
      journals = true;
    }
    RemoveWorkDirectory(fs_, t.work);
  }
  if (journals) fs_.syncDirectory(directory_);
}

}  // namespace vellum::engine
