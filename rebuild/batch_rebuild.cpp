#include "rebuild/batch_rebuild.h"

#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "dictionary/schema.h"
#include "engine/errors.h"
#include "engine/restructure_journal.h"
#include "engine/text.h"
#include "rebuild/name_compare.h"
#include "rebuild/rebuild_plan.h"
#include "rebuild/table_regenerator.h"

namespace vellum::rebuild {

namespace {

// The help text, line by line.
constexpr const char* kHelpLines[] = {
    "Tables rebuilding",
    "",
    "Option available:",
    "  -? o -h",
    "    Show this help",
    "  -p Dir",
    "    Obbliged! Specify the directory containing the DataDictionary (tables DDTables,",
    "    DDFields and DDIndex)",
    "  -b Dir",
    "    Optional: if specified a backup copy of the work directory will be made in DIR",
    "  -d Dir",
    "    Optional: if specified, work directory, where the tables will be created/rebuild",
    "    Otherwise the Alias directory will be used ",
    "  -t TableName",
    "    Rebuild a single table. The name is in the format AliasName.TableName",
    "  -a AliasName",
    "    Rebuild the alias specified",
    "  -c",
    "    Recreate the EMPTY tables, DELETING those existing",
    "The option \"-a\" e \"-t\" cannot be specified together",
};

constexpr size_t kCopyChunk = size_t{64} * 1024;

// Shows the hourglass cursor while it lives.
class BusyCursor {
 public:
  explicit BusyCursor(Progress& progress) : progress_(progress) { progress_.busy(true); }
  ~BusyCursor() { progress_.busy(false); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  Progress& progress_;
};

// Creates `directory` with its parents when it is missing.
void EnsureDirectory(engine::FileSystem& fs, const std::string& directory) {
  if (fs.isDirectory(directory)) return;
  try {
    fs.makeDirectories(directory);
  } catch (const std::exception&) {
    // Reported below, as for a path that exists but is no directory.
  }
  if (!fs.isDirectory(directory)) {
    throw Error("Cannot create directory \"" + directory + "\"");
  }
}

// Whether the table whose files are named `stem`.* in `directory` is in use:
// its data file exists and cannot be locked exclusively. Where open files
// cannot be deleted, deleting the files of an open table fails file by file;
// here the files of a table in use are left alone as a whole, so that an open
// table (the dictionary itself, when it lives in the directory) keeps them.
bool TableInUse(engine::FileSystem& fs, const std::string& directory, const std::string& stem) {
  bool found = false;
  const std::string data_file = engine::ResolveCaseInsensitive(fs, directory, stem + ".DB", &found);
  if (!found) return false;
  try {
    std::unique_ptr<engine::File> file = fs.open(data_file, engine::OpenMode::kRead);
    if (!file->tryLock(true)) return true;
    file->unlock();
    return false;
  } catch (const std::exception&) {
    return false;  // not readable: the delete decides
  }
}

using engine::Upper;

// Copies one file, synced. A partial copy is removed and the failure raised
// as "Cannot make the backup copy of "<from>" in "<target>": <why>".
void CopyOneFile(engine::FileSystem& fs, const std::string& from, const std::string& to) {
  try {
    std::unique_ptr<engine::File> in = fs.open(from, engine::OpenMode::kRead);
    std::unique_ptr<engine::File> out = fs.open(to, engine::OpenMode::kCreate);
    std::vector<uint8_t> buffer(kCopyChunk);
    uint64_t offset = 0;
    for (;;) {
      const size_t n = in->read(offset, buffer.data(), buffer.size());
      if (n == 0) break;
      out->write(offset, buffer.data(), n);
      offset += n;
    }
    out->sync();
  } catch (const std::exception& e) {
    try {
      fs.remove(to);
    } catch (const std::exception&) {
      // The failure below is the one to report.
    }
    throw Error("Cannot make the backup copy of \"" + from + "\" in \"" + engine::DirectoryOf(to) +
                "\": " + e.what());
  }
}

// Holds a table's data file with a shared lock, so that no restructure
// replaces its files while they are copied.
class SharedTableLock {
 public:
  SharedTableLock(engine::FileSystem& fs, const std::string& directory, const std::string& stem) {
    engine::RecoverTable(directory, stem, fs);
    bool found = false;
    const std::string data = engine::ResolveCaseInsensitive(fs, directory, stem + ".DB", &found);
    if (!found) return;
    file_ = fs.open(data, engine::OpenMode::kRead);
    if (!file_->tryLock(false)) {
      throw Error("Cannot make the backup copy of \"" + data +
                  "\": the table is in use by another user or program");
    }
  }

 private:
  std::unique_ptr<engine::File> file_;
};

// The encrypted tables among `files` of `directory`, which -c deletes: the
// password checksum each data file's header holds, by table name in upper
// case.
std::map<std::string, uint32_t> ProtectionsOf(engine::FileSystem& fs, const std::string& directory,
                                              const std::vector<std::string>& files) {
  std::map<std::string, uint32_t> protections;
  for (const std::string& file : files) {
    if (Upper(engine::ExtensionOf(file)) != ".DB") continue;
    const uint32_t checksum =
        engine::paradox::DataFilePasswordChecksum(fs, engine::JoinPath(directory, file));
    if (checksum != 0) protections[Upper(engine::StripExtension(file))] = checksum;
  }
  return protections;
}

}  // namespace

BatchOptions ParseBatchOptions(const std::vector<std::string>& args) {
  BatchOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.empty() || arg[0] != '-') continue;
    const char letter = arg.size() > 1 ? arg[1] : '\0';
    std::string* value = nullptr;
    switch (letter) {
      case '?':
      case 'h':
      case 'H':
        options.show_help = true;
        continue;
      case 'p':
      case 'P':
        value = &options.project_directory;
        break;
      case 'b':
      case 'B':
        value = &options.backup_directory;
        break;
      case 'd':
      case 'D':
        value = &options.work_directory;
        break;
      case 't':
      case 'T':
        value = &options.table_text;
        break;
      case 'a':
      case 'A':
        value = &options.alias;
        break;
      case 'c':
      case 'C':
        options.recreate = true;
        continue;
      default:
        options.show_help = true;
        options.unknown_option = arg;
        return options;
    }
    if (arg.size() > 2) {
      *value = arg.substr(2);
    } else if (i + 1 < args.size()) {
      *value = args[++i];
    } else {
      value->clear();
    }
  }
  return options;
}

const std::string& BatchHelpText() {
  static const std::string text = [] {
    std::string joined;
    for (size_t i = 0; i < std::size(kHelpLines); ++i) {
      if (i > 0) joined += "\r\n";
      joined += kHelpLines[i];
    }
    return joined;
  }();
  return text;
}

std::string ValidateBatchOptions(const BatchOptions& options) {
  if (options.project_directory.empty()) {
    return "The directory containing the data description (ProjectDir, option \"-p\"), must be "
           "specified";
  }
  if (!options.table_text.empty() && !options.alias.empty()) {
    return "The options \"-t\" and \"-a\" cannot be used together";
  }
  if (options.table_text.empty() && options.alias.empty()) {
    return "One of the options \"-t\" e \"-a\" MUST be specified";
  }
  return "";
}

WorkDirectory ResolveWorkDirectory(const BatchOptions& options, engine::Session& session) {
  const std::string& given = options.work_directory;
  if (given.empty()) {
    if (!options.alias.empty()) {
      std::string path = session.aliasPath(options.alias);
      if (path.empty()) return {"", "The specified alias doesn't exist in the BDE configuration"};
      return {path, ""};
    }
    return {"",
            "The work directory (OutputDir, option \"-d\"), must be specified rebuilding a single "
            "table"};
  }
  if (given.front() == ':') {
    if (given.back() != ':') return {"", "Wrong work directory"};
    // ":" alone begins and ends with a colon too, and names no alias.
    const std::string name = given.size() >= 2 ? given.substr(1, given.size() - 2) : "";
    std::string path = name.empty() ? "" : session.aliasPath(name);
    if (path.empty()) return {"", "Wrong alias"};
    return {path, ""};
  }
  return {given, ""};
}

bool SplitTableText(const std::string& text, std::string* alias, std::string* table) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  *alias = text.substr(0, dot);
  *table = text.substr(dot + 1);
  return true;
}

bool JobTarget(const BatchJob& job, Questions& questions, std::string* alias, std::string* table) {
  *alias = job.options.alias;
  table->clear();
  if (job.aliasMode() || SplitTableText(job.options.table_text, alias, table)) return true;
  questions.ask(MessageKind::kError,
                "The table name to rebuild must include the alias name even, in the format "
                "\"ALIAS.TABLE\"",
                Buttons::kOk);
  return false;
}

std::string BatchJob::operationText() const {
  return options.recreate ? "Rebuilding structures" : "Rebuilding tables";
}

BatchStart StartBatch(const BatchOptions& options, dictionary::TdmDataDictionary& data_module,
                      Questions& questions) {
  BatchStart start;
  if (options.show_help) {
    questions.ask(MessageKind::kInformation, BatchHelpText(), Buttons::kOk);
    start.status = BatchStartStatus::kHelp;
    return start;
  }
  if (std::string message = ValidateBatchOptions(options); !message.empty()) {
    questions.ask(MessageKind::kError, message, Buttons::kOk);
    return start;
  }
  data_module.OpenDictionary(options.project_directory,
                             dictionary::TdmDataDictionary::Access::kReadOnly);
  WorkDirectory work = ResolveWorkDirectory(options, data_module.session());
  if (!work.error.empty()) {
    questions.ask(MessageKind::kError, work.error, Buttons::kOk);
    return start;
  }
  start.status = BatchStartStatus::kReady;
  start.job.options = options;
  start.job.work_directory = work.path;
  return start;
}

FilePattern FilePattern::TableFiles(const std::string& table) {
  return {table + ".*", engine::paradox::TableBaseName(table), false};
}

std::vector<std::string> MatchingFiles(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs) {
  std::vector<std::string> entries;
  try {
    entries = pattern.all ? fs.list(directory) : fs.listPrefix(directory, pattern.table + ".");
  } catch (const std::exception&) {
    return {};
  }
  std::vector<std::string> matching;
  if (!pattern.all) {
    for (std::string& entry : entries) {
      if (engine::IsTableFileName(entry, pattern.table)) matching.push_back(std::move(entry));
    }
    return matching;
  }
  std::set<std::string> tables;  // upper-case names of the data files' tables
  for (const std::string& entry : entries) {
    if (Upper(engine::ExtensionOf(entry)) == ".DB")
      tables.insert(Upper(engine::StripExtension(entry)));
  }
  for (std::string& entry : entries) {
    const std::string stem = engine::StripExtension(entry);
    if (tables.count(Upper(stem)) != 0 && engine::IsTableFileName(entry, stem)) {
      matching.push_back(std::move(entry));
    }
  }
  return matching;
}

std::vector<std::string> FilesToDelete(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs,
                                       const std::string& project_directory) {
  const bool in_project =
      !project_directory.empty() && fs.sameDirectory(directory, project_directory);
  std::vector<std::string> files;
  std::map<std::string, bool> kept;  // by upper-case table name
  for (std::string& entry : MatchingFiles(directory, pattern, fs)) {
    const std::string stem = engine::StripExtension(entry);
    auto [known, inserted] = kept.try_emplace(Upper(stem), false);
    if (inserted) {
      known->second =
          (in_project && dictionary::IsDictionaryTable(stem)) || TableInUse(fs, directory, stem);
    }
    if (!known->second) files.push_back(std::move(entry));
  }
  return files;
}

void DeleteFiles(const std::string& directory, const FilePattern& pattern, Progress& reporter,
                 engine::FileSystem& fs, const std::string& project_directory,
                 engine::CreationBatch* batch) {
  reporter.progress("Deleting \"" + engine::JoinPath(directory, pattern.text) + "\"...");
  reporter.processEvents();
  const std::vector<std::string> files = FilesToDelete(directory, pattern, fs, project_directory);
  std::set<std::string> recovered;
  for (const std::string& entry : files) {
    // A journal left by an interrupted restructure would otherwise act on
    // the table made anew.
    const std::string stem = engine::StripExtension(entry);
    if (recovered.insert(Upper(stem)).second) engine::RecoverTable(directory, stem, fs);
  }
  if (batch && fs.sameDirectory(batch->directory(), directory)) {
    batch->discard(files);
    return;
  }
  for (const std::string& entry : files) {
    try {
      fs.remove(engine::JoinPath(directory, entry));
    } catch (const std::exception&) {
      // A file that cannot be deleted stays, without a message.
    }
  }
}

void CopyFiles(const std::string& source, const std::string& target, const FilePattern& pattern,
               Progress& reporter, engine::FileSystem& fs) {
  if (!target.empty()) {
    reporter.progress("Making a backup copy of \"" + engine::JoinPath(source, pattern.text) +
                      "\" in \"" + target + "\"...");
    reporter.processEvents();
  }
  // Copying a directory onto itself would empty every file it opens.
  if (fs.sameDirectory(source, target)) return;
  std::map<std::string, std::vector<std::string>> by_table;  // upper-case stem -> files
  for (std::string& entry : MatchingFiles(source, pattern, fs)) {
    by_table[Upper(engine::StripExtension(entry))].push_back(std::move(entry));
  }
  for (const auto& [stem, files] : by_table) {
    SharedTableLock lock(fs, source, engine::StripExtension(files.front()));
    for (const std::string& entry : files) {
      CopyOneFile(fs, engine::JoinPath(source, entry), engine::JoinPath(target, entry));
    }
  }
  try {
    fs.syncDirectory(target);
  } catch (const std::exception& e) {
    throw Error("Cannot make the backup copy in \"" + target + "\": " + e.what());
  }
}

void PrepareWorkDirectory(const BatchJob& job, const std::string& table, Progress& reporter,
                          engine::FileSystem& fs, engine::CreationBatch* batch) {
  const FilePattern pattern =
      job.aliasMode() ? FilePattern::AllFiles() : FilePattern::TableFiles(table);
  const std::string& project = job.options.project_directory;
  if (job.options.recreate) {
    DeleteFiles(job.work_directory, pattern, reporter, fs, project, batch);
  } else if (!job.options.backup_directory.empty()) {
    DeleteFiles(job.options.backup_directory, pattern, reporter, fs, project);
    CopyFiles(job.work_directory, job.options.backup_directory, pattern, reporter, fs);
  }
}

void CheckBackupDirectory(const BatchJob& job, engine::FileSystem& fs) {
  const std::string& backup = job.options.backup_directory;
  if (!job.options.recreate && !backup.empty() && fs.sameDirectory(backup, job.work_directory)) {
    throw Error("The backup directory \"" + backup + "\" is the work directory");
  }
}

BatchRunStatus RunBatch(const BatchJob& job, dictionary::TdmDataDictionary& data_module, Ui& ui) {
  dictionary::RunGuard::Scope run(data_module.runs(), "Rebuild");
  engine::Session& session = data_module.session();
  engine::FileSystem& fs = session.fs();
  TTableRegenerator regenerator(session, ui, data_module.tblTables, data_module.tblFields,
                                data_module.tblIndex);

  std::string alias, table;
  if (!JobTarget(job, ui, &alias, &table)) return BatchRunStatus::kStopped;

  CheckBackupDirectory(job, fs);
  {
    const std::optional<BatchPlan> plan = PlanBatch(job, data_module, ui, PlanDetail::kChecksOnly);
    if (plan && plan->first_error) {
      if (!plan->first_step.empty()) {
        ui.progress(plan->first_step, plan->first_step_done, plan->first_step_total);
      }
      std::rethrow_exception(plan->first_error);
    }
  }
  // Every check has passed: the missing directories are made now.
  const std::string& backup = job.options.backup_directory;
  if (!backup.empty()) EnsureDirectory(fs, backup);
  EnsureDirectory(fs, job.work_directory);

  BusyCursor busy(ui);
  if (ui.stopRequested()) return BatchRunStatus::kInterrupted;
  // With -c the tables are created again in one batch, which replaces the
  // old ones only as it commits the new ones.
  std::optional<engine::CreationBatch> batch;
  if (job.options.recreate) batch.emplace(fs, job.work_directory);
  if (job.options.recreate) {
    // The tables deleted first come back encrypted as they were.
    const FilePattern pattern =
        job.aliasMode() ? FilePattern::AllFiles() : FilePattern::TableFiles(table);
    regenerator.deleted_protections = ProtectionsOf(
        fs, job.work_directory,
        FilesToDelete(job.work_directory, pattern, fs, job.options.project_directory));
  }
  PrepareWorkDirectory(job, table, ui, fs, batch ? &*batch : nullptr);
  if (job.aliasMode()) {
    if (!regenerator.RegenerateAlias(alias, job.work_directory, true, batch ? &*batch : nullptr)) {
      return BatchRunStatus::kInterrupted;
    }
    // The files of old tables the dictionary does not make anew go last.
    if (batch) batch->finishDiscarded();
  } else {
    if (ui.stopRequested()) return BatchRunStatus::kInterrupted;
    regenerator.RegenerateTable(alias, table, job.work_directory, batch ? &*batch : nullptr);
    if (batch) batch->finishDiscarded();
  }
  return BatchRunStatus::kDone;
}

}  // namespace vellum::rebuild
