// The journal of a restructure, and the recovery every open of a table runs.
//
// A restructure writes the new files of table NAME into its work directory
// ".NAME.restructure" beside the table, then the journal NAME.JNL: the work
// directory, the old files to delete and the new files to move over the old
// ones, ending with a checksum. It is written and synced in the work
// directory and renamed into place: that rename, with the directory's sync,
// is the commit point; applying it is idempotent, so recovery can finish it
// after a crash at any point. Without a journal the restructure is not
// committed: recovery discards the work directory, and the old files are
// whole. A file under the journal's name that is not one of ours (its
// header and checksum) is the user's: it is left alone, and reported.
//
// A journal is a file anyone who can write the directory can craft, and
// every open of the table (describe, dump and verify included) recovers.
// So a journal acts only on the table's own files: every name in it must be
// a plain name (no separator, no "..", no control character) of a file of
// that table (NAME with one of the extensions a table owns), its work
// directory must be the table's own and no symbolic link, and no file it
// moves may be a link. A journal that breaks any of these rules is invalid:
// it is reported and left alone, never acted on.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fs/file_system.h"

namespace vellum::engine {

// What a committed journal does, by name: deletes `deletes` in the table's
// directory, then moves each `renames` pair from the work directory (first)
// to the table's directory (second).
struct RestructureJournal {
  std::string work_dir;  // a name inside the table's directory
  std::vector<std::string> deletes;
  std::vector<std::pair<std::string, std::string>> renames;
};

// The work directory and the journal of table `base` (name without extension).
std::string WorkDirectoryName(const std::string& base);
std::string JournalName(const std::string& base);

// Whether `extension` (dot included, any letter case) is one a table owns:
// .DB, .PX, .MB, .VAL, and the secondary index files .Xnn, .Ynn, .XGn, .YGn.
bool IsTableFileExtension(std::string_view extension);
// Whether `name` is a plain file name of table `base`: `base` (without regard
// to letter case), a dot and one of the extensions a table owns.
bool IsTableFileName(std::string_view name, std::string_view base);

// The files of table `base` among `entries` (names in one directory): those
// IsTableFileName() accepts, in the order given.
std::vector<std::string> TableFilesAmong(const std::vector<std::string>& entries,
                                         std::string_view base);
// Raises an invalid request naming both files when two files of table
// `base` among `entries` (names in `directory`) differ only in letter case,
// as ORDERS.DB and Orders.db do: two tables the engine, which looks names up
// without regard to letter case, cannot tell apart. Every command refuses
// such a table rather than act on the wrong one.
void RefuseLetterCaseTwins(const std::string& directory, const std::vector<std::string>& entries,
                           std::string_view base);

// The journal of a restructure of table files `old_files` (names in the
// table's directory) whose new files `new_files` are in the work directory
// `work_name`: each new file moves over the old file of the same name (the
// first of another letter case, keeping its case); every other old file of
// the table goes.
RestructureJournal JournalOf(const std::vector<std::string>& old_files,
                             const std::vector<std::string>& new_files,
                             const std::string& work_name);

// The journal's text, end line and checksum included.
std::string FormatJournal(const RestructureJournal& journal);

struct ParsedJournal {
  enum class State {
    // Not a journal of this program (no header line, no end line, or a
    // checksum that does not match): a file of the user's that happens to
    // have the journal's name, never acted on. A restructure writes its
    // journal complete elsewhere and renames it into place, so a torn one
    // is never found under the table's name.
    kNotOurs,
    kCommitted,  // whole, and every name is the table's own
    kInvalid,    // whole, but not a journal this table may act on
  };
  State state = State::kNotOurs;
  RestructureJournal journal;  // kCommitted only
  std::string problem;         // kInvalid: what is wrong, for the user
};

// Reads a journal's text for table `base`. Never throws for any input.
ParsedJournal ParseJournal(std::string_view text, const std::string& base);

// Applies a committed journal in `directory`: deletes, renames (those whose
// source is still there), syncs the directory and removes the work
// directory. Idempotent. The journal itself is left for the caller.
void ApplyJournal(FileSystem& fs, const std::string& directory, const RestructureJournal& journal);

// Removes work directory `path` (not a link) with the files in it. Returns
// false, leaving it, when it is a link or cannot be removed whole.
bool RemoveWorkDirectory(FileSystem& fs, const std::string& path);

// What RecoverTable found and did.
struct RecoveryOutcome {
  enum class State {
    kNothing,    // nothing was left behind
    kFinished,   // a committed restructure was finished: the table is the new one
    kDiscarded,  // an uncommitted restructure was discarded: the table is the old one
    kInUse,      // another handle holds the table or its journal: nothing was done
    kPending,    // what was left could not be cleaned up (see `committed`)
    kInvalid,    // the journal is invalid; it was left alone
  };
  State state = State::kNothing;
  // kPending and kInUse: whether a committed journal is waiting, so that
  // the old files may already be partly replaced.
  bool committed = false;
  std::string message;  // kPending and kInvalid: for the user
};

// What an interrupted restructure of `table` left beside it and is still
// there, for reports: empty when nothing is left, else a message saying what
// is pending (or why the journal is invalid). Reads only; never throws.
std::string PendingRecovery(const std::string& directory, const std::string& table,
                            FileSystem& fs = FileSystem::Default());

// Finishes or discards what an interrupted restructure of `table` (name
// without extension) in `directory` left behind, under the table's and the
// journal's exclusive locks. Opening a table does this. Failures to write
// the directory are not raised: they come back as kPending.
RecoveryOutcome RecoverTable(const std::string& directory, const std::string& table,
                             FileSystem& fs = FileSystem::Default());

}  // namespace vellum::engine
