// The batch rebuild: what the program does when it is started with
// command-line options. It reads and checks the options, opens the
// dictionary of the project directory, works out the work directory and then
// rebuilds one table (-t ALIAS.TABLE) or every table of an alias (-a ALIAS)
// there with the table regenerator, optionally after deleting the old tables
// (-c) or after a backup copy of the work directory (-b).
//
// The functions here carry the whole logic without a window: the batch
// window fills its panels from a BatchJob and calls RunBatch from its Run
// button; `vellum-cli rebuild` drives the same functions without a window.
// Questions, messages and progress texts go through the Ui given; failures
// of the run itself (the regenerator's, the definition builder's and the
// engine's) are errors that go to the caller.
//
// A run checks everything it can before it deletes, copies or rebuilds
// anything (the plan of rebuild_plan.h, worked out by the same code): a
// table the dictionary lacks, a definition that cannot be built or that the
// engine refuses, a table that cannot be opened, rows that would break a new
// unique key, a directory without write access or room, a backup that
// cannot be made. -b and -c take the files of tables only (the extensions a
// table owns), never another file of the directory, and never the
// dictionary's own tables. A backup that cannot be completed stops the run
// before anything is rebuilt. Each table is rebuilt all or nothing; a
// failure in the middle of an alias run (a full disk, say) leaves the
// tables rebuilt before it rebuilt.
#pragma once

#include <string>
#include <vector>

#include "dictionary/data_module.h"
#include "dictionary/ui.h"
#include "engine/creation_batch.h"
#include "engine/fs/file_system.h"
#include "engine/session.h"

namespace vellum::rebuild {

// The options as read from the command line; all texts empty and both flags
// false when not given.
struct BatchOptions {
  bool show_help = false;         // -?, -h, -H, or an option the program does not know
  std::string unknown_option;     // the unknown option that stopped the reading, if any
  std::string project_directory;  // -p Dir: where DDTables, DDFields and DDIndex are
  std::string backup_directory;   // -b Dir: receives a backup copy before the rebuild
  std::string work_directory;     // -d Dir or -d :ALIAS:, as given
  std::string table_text;         // -t ALIAS.TABLE: rebuild one table (table mode)
  std::string alias;              // -a ALIAS: rebuild every table of the alias (alias mode)
  bool recreate = false;          // -c: delete the tables first, so they come back empty
};

// Reads the options from `args`, the arguments after the program name.
// Arguments that do not begin with "-" are skipped. Only the character after
// the "-" counts, in either letter case (-P is -p, -cx is -c). -p, -b, -d, -t
// and -a take the rest of the argument as value (-pDIR) or, when nothing
// follows the letter, the next argument whatever it looks like (empty when
// there is none); a later occurrence replaces an earlier value. -?, -h and -H
// set show_help and the reading goes on; any other option, "-" alone
// included, sets show_help and unknown_option and ends the reading.
BatchOptions ParseBatchOptions(const std::vector<std::string>& args);

// The help text of the batch mode: its lines joined by CR LF, with no line
// break after the last one.
const std::string& BatchHelpText();

// The first failing check of the options, in this order: no project
// directory, both -t and -a, neither -t nor -a. Empty text when they pass.
std::string ValidateBatchOptions(const BatchOptions& options);

// The work directory the options name, or the message that refuses them.
struct WorkDirectory {
  std::string path;   // the directory, when `error` is empty
  std::string error;  // the message shown to the user, else empty
};

// Resolves the work directory of options that passed ValidateBatchOptions:
// -d as given; -d :NAME: the directory of the alias NAME; without -d the
// directory of the -a alias in alias mode, while table mode requires -d.
// Aliases are looked up in `session`'s configuration; an alias file that
// cannot be read raises its error (naming the file and the line).
WorkDirectory ResolveWorkDirectory(const BatchOptions& options, engine::Session& session);

// Splits the -t text at its first "." into alias and table name. False when
// the text holds no ".".
bool SplitTableText(const std::string& text, std::string* alias, std::string* table);

// Options that passed every check, with the work directory resolved.
struct BatchJob {
  BatchOptions options;
  std::string work_directory;

  bool aliasMode() const { return !options.alias.empty(); }
  // What the window shows as the table or alias to rebuild: the alias in
  // alias mode, else the -t text.
  std::string objectName() const { return aliasMode() ? options.alias : options.table_text; }
  // The operation text shown before the run: "Rebuilding structures" with
  // -c, else "Rebuilding tables".
  std::string operationText() const;
};

// The alias and the table `job` rebuilds: its -a alias and no table in
// alias mode, else the two parts of its -t text. A -t text without "."
// shows its error box and gives false.
bool JobTarget(const BatchJob& job, Questions& questions, std::string* alias, std::string* table);

enum class BatchStartStatus {
  kReady,    // the job can run
  kHelp,     // the help text was shown; the program ends
  kRefused,  // an error message was shown; the program ends
};

struct BatchStart {
  BatchStartStatus status = BatchStartStatus::kRefused;
  BatchJob job;  // filled when kReady
};

// Checks `options` as the program does before showing the batch window:
// with show_help it shows the help text in an information box and stops;
// a failing check of ValidateBatchOptions shows its message in an error box
// and stops; then it opens the dictionary in the project directory through
// `data_module` (engine errors go to the caller) and resolves the work
// directory, showing its message in an error box when that fails (an alias
// file that cannot be read is an error that goes to the caller). Boxes have
// an OK button. The caller shows the job's operation text.
BatchStart StartBatch(const BatchOptions& options, dictionary::TdmDataDictionary& data_module,
                      Questions& questions);

// Which files of a directory a deletion or copy takes: the files of every
// table there ("*.*": each file named like a table's data file, a "." and an
// extension a table owns, for every NAME.DB of the directory), or the files
// of one table ("NAME.*": NAME, a "." and an extension a table owns, NAME
// compared without regard to the letter case of A to Z and taken
// literally, so a "*" or "?" in it is no wildcard). Any other file -- a
// user's notes beside the tables -- and subdirectories are never taken.
struct FilePattern {
  static FilePattern AllFiles() { return {"*.*", "", true}; }
  static FilePattern TableFiles(const std::string& table);

  std::string text;   // the pattern as progress texts show it
  std::string table;  // the table name of TableFiles, without ".DB"
  bool all = false;
};

// Names of the files in `directory` that `pattern` takes, in name order. A
// directory that cannot be listed has none.
std::vector<std::string> MatchingFiles(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs);

// The files DeleteFiles deletes: those `pattern` takes, less the files of
// tables in use (a data file that cannot be locked exclusively because the
// table is open elsewhere) and of the dictionary's tables when `directory`
// is the project directory `project_directory`. Where open files cannot be
// deleted such a table's files stay; here they stay as a whole.
std::vector<std::string> FilesToDelete(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs,
                                       const std::string& project_directory = "");

// Shows "Deleting "<directory>/<pattern>"..." as progress, lets pending
// events run and deletes the files FilesToDelete names, each table's after
// what an interrupted restructure of it left is recovered. A file that
// cannot be deleted is left without a message.
// With `batch` (a creation batch for `directory`), the files go to the
// batch instead, which reuses them for the tables it creates.
void DeleteFiles(const std::string& directory, const FilePattern& pattern, Progress& reporter,
                 engine::FileSystem& fs, const std::string& project_directory = "",
                 engine::CreationBatch* batch = nullptr);

// Shows "Making a backup copy of "<source>/<pattern>" in "<target>"..." as
// progress (when `target` is not empty), lets pending events run and copies
// every file of `source` that `pattern` takes into `target` under the same
// name, replacing a file of that name, each table's files while its data
// file is locked against restructures; the copies and `target` are synced.
// A file that cannot be copied fails the backup (the partial copy is
// removed): "Cannot make the backup copy of "<file>" in "<target>": <why>".
// Nothing is copied when `source` and `target` are the same directory.
void CopyFiles(const std::string& source, const std::string& target, const FilePattern& pattern,
               Progress& reporter, engine::FileSystem& fs);

// Prepares the work directory for the rebuild: with -c deletes the tables
// (every table's files in alias mode, the files of `table` in table mode)
// and makes no backup; otherwise, when a backup directory is given, deletes
// the same files in the backup directory and copies them there from the
// work directory (a failure of the copy is an error); otherwise does
// nothing. The dictionary's own tables are never deleted.
void PrepareWorkDirectory(const BatchJob& job, const std::string& table, Progress& reporter,
                          engine::FileSystem& fs, engine::CreationBatch* batch = nullptr);

// Fails with "The backup directory "<path>" is the work directory" when the
// job would make its backup copy (-b without -c) into the work directory
// itself: deleting the backup's files first would delete the tables.
void CheckBackupDirectory(const BatchJob& job, engine::FileSystem& fs);

enum class BatchRunStatus {
  kDone,         // every table was rebuilt; the window closes
  kStopped,      // the -t text names no alias; the message was shown and the window stays
  kInterrupted,  // the user asked to stop; tables not reached are untouched
};

// Runs the rebuild of a job (the Run button): makes a regenerator over the
// data module's dictionary views; in table mode splits the -t text, stopping
// with an error box when it has no "."; checks the job (CheckBackupDirectory,
// then the plan's checks, a directory that cannot be made among them, whose
// first failure is raised as it is, before any directory is made or any file
// deleted or copied); creates the backup directory (when given) and the work
// directory with their parents where missing ("Cannot create directory
// "<path>""); prepares the work directory (with -c, a table deleted there
// that was encrypted is made anew encrypted under the same password); and
// rebuilds the alias (showing "Regenerating "<alias>.<table>"..." per table)
// or the one table.
// When the user asks to stop, the run stops before the next step (the
// preparation of the work directory, each table), leaving every table whole.
// Every failure is an error that goes to the caller; the last progress text
// shown is the step that failed. The run holds the data module's RunGuard;
// while another run holds it, it is refused (vellum::Error) before anything
// is done.
BatchRunStatus RunBatch(const BatchJob& job, dictionary::TdmDataDictionary& data_module, Ui& ui);

}  // namespace vellum::rebuild
