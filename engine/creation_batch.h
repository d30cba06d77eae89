// CreationBatch: creates many new, empty tables in one directory with one
// wait for the disk between them all, instead of a sync of every file and
// of the directory per table.
//
// Each table is written, unsynced, into a work directory inside the target
// directory. commit() makes everything written there durable at once, then
// publishes each table: its companion files move into the target directory
// first, the directory is synced, then the data files move in and the
// directory is synced again. A table exists only by its data file, so after
// a crash at any moment each table of the batch is either whole in the
// target directory or absent (companions without their data file are
// orphans, replaced when the table is next created); a table is reported
// created only by a commit that returned.
//
// Files of old tables that are to be deleted can be handed to the batch
// instead (discard()): they leave the target directory at once, as if
// deleted, and a table the batch creates reuses the files of the same
// names. A file system then need not free those files and find room for new
// ones, which on some (ext4 without a journal, which walks past every file
// deleted in the last minute or more on each create) grows with the number
// of files deleted. A reused file keeps its blocks (ReusedFile): it is not
// emptied, which on a file system that discards freed blocks at once costs
// as much as deleting it, and holds exactly a new file's bytes from the
// commit on. What is not reused is deleted when the batch ends.
//
// One process batches in a directory at a time: the work directory holds a
// lock file. A batch that finds it locked by another process creates its
// tables one by one, synced, as Table::Create does; a work directory left
// by a process that ended is cleared and taken over. The work directory,
// its lock file and its directory of discarded files must be what they
// seem: one that exists as a symbolic link or as anything but a directory
// (a lock file that is a link) is refused, and every call of the batch then
// raises that refusal; nothing is ever opened, emptied or deleted through
// a link there.
//
// Ownership: the batch uses `fs`, which must outlive it. Not thread-safe.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/fs/reused_file.h"
#include "engine/paradox/table.h"

namespace vellum::engine {

class CreationBatch {
 public:
  CreationBatch(FileSystem& fs, std::string directory);
  // Discards what was not committed: those tables are not created.
  ~CreationBatch();
  CreationBatch(const CreationBatch&) = delete;
  CreationBatch& operator=(const CreationBatch&) = delete;

  // The name of the work directory inside the target directory.
  static const char* WorkDirectoryName();
  // Raises the refusal a batch in `directory` would meet before it deletes
  // anything: its work directory, or the lock file in it, exists as a
  // symbolic link or as something it cannot be. Reads only.
  static void CheckWorkDirectory(FileSystem& fs, const std::string& directory);

  const std::string& directory() const { return directory_; }
  FileSystem& fileSystem() const { return fs_; }
  // Creates table `name` as Table::Create would; it appears in the target
  // directory at the next commit() (at once when another process holds
  // the work directory). Raises, before anything of the table is written,
  // what Table::Create raises, the refusal of the work directory, and a
  // lock conflict when a table of that name in the target directory is in
  // use.
  void create(const std::string& name, const paradox::TableDefinition& def);
  // Makes the tables created since the last commit durable and publishes
  // them. On a failure the tables not yet published are discarded.
  void commit();
  // Tables created and not yet committed.
  size_t pending() const { return pending_.size(); }
  // Takes the files `files` (names in the target directory, of tables not
  // in use) out of the target directory, as deleting them would: every data
  // file among them first, then, once the directory is synced, the others,
  // so that after a crash each of those tables is whole or absent. A table
  // created later in the batch reuses those of its file names. A file that
  // cannot be taken is deleted; one that cannot be deleted either stays.
  // Without the work directory (another process batches here) they are
  // deleted.
  void discard(const std::vector<std::string>& files);

  // The file system a restructure in the target directory writes its new
  // table through, so that the new files take over discarded ones; the
  // restructure calls its finishReused() before it syncs them.
  ReusingFileSystem& reusing() { return *reusing_; }
  // Takes `file`, a file of the target directory that no table needs any
  // more (one a committed restructure replaces or drops), into the
  // discarded files for reuse, without a sync. False when it stays where it
  // is: the batch has no work directory, a discarded file has its name, or
  // it holds 1 MB or more, whose room is better given back at once.
  bool recycle(const std::string& file);

 private:
  bool ensureWorkDirectory();
  bool takeWorkDirectory();
  void clearWorkDirectory();
  void removeQuietly(const std::string& path);

  FileSystem& fs_;
  std::string directory_;
  std::string work_;
  std::string reuse_;           // the discarded files, under upper-case names
  std::unique_ptr<File> lock_;  // held while the work directory is ours
  std::unique_ptr<ReusingFileSystem> reusing_;
  bool tried_ = false;
  std::exception_ptr refused_;        // why the work directory cannot be used
  std::vector<std::string> pending_;  // base names, in the order created
};

}  // namespace vellum::engine
