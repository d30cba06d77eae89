// CreationBatch: creates many new, empty tables in one directory with one
// wait for the disk between them all, instead of a sync of every file and
// of the directory per table.
//
// Each table is written, unsynced, into its own work directory beside the
// table (".NAME.restructure", the one a restructure uses). commit() makes
// everything written there durable at once and publishes each table. A
// table that replaces old files commits as a restructure does: its journal
// NAME.JNL (restructure_journal.h), listing the old files to delete and the
// new ones to move over them, is written in its work directory; the
// journals of all the tables are synced together and renamed into place,
// and the directory's sync is the commit point of every one of them. Until
// then the old files are untouched; after it, whatever a crash interrupts,
// the next open of the table (or the next batch) finishes the journal or,
// without one, discards the work directory: each table is the old one or
// the new one, never absent. A table that had no files is published
// without a journal: its companion files move into the target directory
// first, the directory is synced, then its data file moves in and the
// directory is synced again. A table is reported created only by a commit
// that returned.
//
// Files of old tables that are to be deleted are handed to the batch with
// discard(): they stay where they are, a table of their name the batch
// creates replaces them at its commit, and finishDiscarded() deletes the
// others once the run has ended well. Files a committed table no longer
// needs (the old ones a commit replaced, or those a committed restructure
// hands over with recycle()) go into a directory of discarded files inside
// the batch's work directory ".new-tables", and a table created later in
// the batch reuses those of the same names. A file system then need not
// free those files and find room for new ones, which on some (ext4 without
// a journal, which walks past every file deleted in the last minute or
// more on each create) grows with the number of files deleted. A reused
// file keeps its blocks (ReusedFile): it is not emptied, which on a file
// system that discards freed blocks at once costs as much as deleting it,
// and holds exactly a new file's bytes from the commit on. No file is
// reused before the commit that made it unneeded; what is not reused is
// deleted when the batch ends.
//
// One process keeps discarded files in a directory at a time: the work
// directory holds a lock file. A batch that finds it locked by another
// process reuses no file; a work directory left by a process that ended is
// cleared and taken over. The work directory,
// its lock file and its directory of discarded files must be what they
// seem: one that exists as a symbolic link or as anything but a directory
// (a lock file that is a link) is refused, and every call of the batch then
// raises that refusal; nothing is ever opened, emptied or deleted through
// a link there.
//
// Ownership: the batch uses `fs`, which must outlive it. Not thread-safe.
#pragma once

#include <exception>
#include <map>
#include <memory>
#include <set>
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
  // Creates table `name` as Table::Create would, in place of the table of
  // that name if there is one, which is held exclusively until then; it
  // appears in the target directory at the next commit(). Raises, before anything of the table is
  // written, what Table::Create raises, the refusal of the work directory, and a lock conflict when
  // a table of that name in the target directory is in use.
  void create(const std::string& name, const paradox::TableDefinition& def);
  // Makes the tables created since the last commit durable and publishes
  // them. On a failure the tables not yet committed are discarded (their
  // old files stay); those committed are finished, now or by their next
  // open.
  void commit();
  // Tables created and not yet committed.
  size_t pending() const { return pending_.size(); }
  // Marks the files `files` (names in the target directory, of tables not
  // in use) as files to delete: a table of their name created in the batch
  // replaces them at its commit, finishDiscarded() deletes the others. Until
  // then they stay as they are.
  void discard(const std::vector<std::string>& files);
  // Whether table `base` has files handed to discard(): the batch creates
  // it anew rather than keep or restructure it.
  bool discarded(const std::string& base) const;
  // Deletes the discarded files that no table created in the batch has
  // replaced: every data file among them first, then, once the directory
  // is synced, the others, so that after a crash each of those tables is
  // whole or absent. A file that cannot be deleted stays. Call it once the
  // tables are committed.
  void finishDiscarded();

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
  struct Staged;
  // Makes ready to create table `base` anew: what an interrupted
  // restructure left is finished or discarded, and its old table held.
  void hold(const std::string& base);
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
  // The data files of the old tables pending ones replace, held exclusively
  // until the commit; by upper-case base name.
  std::map<std::string, std::unique_ptr<File>> held_;
  std::vector<std::string> discarded_files_;
  std::set<std::string> discarded_bases_;  // upper case
  std::set<std::string> replaced_bases_;   // upper case: committed in place of discarded files
};

}  // namespace vellum::engine
