#include "engine/creation_batch.h"

#include <exception>
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
  if (!lock_) return;
  try {
    pending_.clear();
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
  // A work directory refused (a link in its place) is raised before any
  // file goes.
  if (!ensureWorkDirectory()) {
    for (const std::string& f : files) removeQuietly(JoinPath(directory_, f));
    return;
  }
  fs_.createDirectory(reuse_);
  // Data files first: a table exists by its data file, and the directory
  // is synced before its other files go.
  for (bool data_files : {true, false}) {
    bool moved = false;
    for (const std::string& f : files) {
      if (IsDataFile(f) != data_files) continue;
      const std::string name = Upper(f);
      try {
        fs_.rename(JoinPath(directory_, f), JoinPath(reuse_, name));
        reusing_->addPooled(name);
        moved = true;
      } catch (const EDBEngineError&) {
        removeQuietly(JoinPath(directory_, f));
      }
    }
    if (data_files && moved) fs_.syncDirectory(directory_);
  }
  // Listed once, so that the index of names knows what the files are when
  // they move on into the work directory, and need not list that again.
  fs_.list(reuse_);
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
  if (!ensureWorkDirectory()) {
    paradox::Table::Create(directory_, name, def, fs_);
    return;
  }
  const std::string base = paradox::TableBaseName(name);
  paradox::Table::RefuseIfInUse(directory_, base, fs_);
  paradox::Table::Create(work_, base, def, *reusing_);
  for (const std::string& b : pending_) {
    if (Upper(b) == Upper(base)) return;  // created again: replaced in the work directory
  }
  pending_.push_back(base);
}

namespace {

// The files of table `base` in `directory`.
std::vector<std::string> FilesOf(FileSystem& fs, const std::string& directory,
                                 const std::string& base) {
  return TableFilesAmong(fs.listPrefix(directory, base + "."), base);
}

}  // namespace

void CreationBatch::commit() {
  if (pending_.empty()) return;
  try {
    std::vector<std::string> files;
    for (const std::string& base : pending_) {
      for (const std::string& f : FilesOf(fs_, work_, base)) files.push_back(JoinPath(work_, f));
    }
    reusing_->finishReused();
    fs_.syncTogether(files, {work_});
    for (const std::string& base : pending_) {
      paradox::Table::RefuseIfInUse(directory_, base, fs_);
      paradox::Table::Delete(directory_, base, fs_);
    }
    // Companions first: a table exists by its data file, which comes last.
    for (bool data_files : {false, true}) {
      for (const std::string& base : pending_) {
        for (const std::string& f : FilesOf(fs_, work_, base)) {
          if (IsDataFile(f) == data_files) fs_.rename(JoinPath(work_, f), JoinPath(directory_, f));
        }
      }
      fs_.syncDirectory(directory_);
    }
  } catch (...) {
    pending_.clear();
    try {
      clearWorkDirectory();
    } catch (...) {
      // Cleared by the next batch here.
    }
    throw;
  }
  pending_.clear();
}

}  // namespace vellum::engine
