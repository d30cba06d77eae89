#include "rebuild/batch_rebuild.h"

#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "engine/errors.h"
#include "engine/text.h"
#include "rebuild/name_compare.h"
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

constexpr size_t kCopyChunk = 64 * 1024;

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

// True when `a` and `b` name the same directory: the same existing one, or
// the same path once made absolute and normal.
bool SameDirectory(const std::string& a, const std::string& b) {
  namespace stdfs = std::filesystem;
  std::error_code ec;
  if (stdfs::exists(a, ec) && stdfs::exists(b, ec)) {
    return stdfs::equivalent(a, b, ec) && !ec;
  }
  const auto normal = [](const std::string& path) {
    std::error_code error;
    stdfs::path p = stdfs::weakly_canonical(stdfs::absolute(path, error), error);
    if (!p.has_filename() && p != p.root_path()) p = p.parent_path();
    return p;
  };
  return normal(a) == normal(b);
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
// Copies one file; false when it could not be copied. A partial copy is
// removed.
bool CopyOneFile(engine::FileSystem& fs, const std::string& from, const std::string& to) {
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
    return true;
  } catch (const std::exception&) {
    try {
      fs.remove(to);
    } catch (const std::exception&) {
      // Nothing more can be done about it.
    }
    return false;
  }
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
      std::string path = AliasPath(session, options.alias);
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
    std::string path = name.empty() ? "" : AliasPath(session, name);
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
  data_module.OpenDictionary(options.project_directory);
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

std::vector<std::string> MatchingFiles(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs) {
  std::vector<std::string> entries;
  try {
    entries = fs.list(directory);
  } catch (const std::exception&) {
    return {};
  }
  if (pattern.all) return entries;
  const std::string prefix = pattern.table + ".";
  std::vector<std::string> matching;
  for (const std::string& entry : entries) {
    if (entry.size() >= prefix.size() &&
        SameNameIgnoringCase(std::string_view(entry).substr(0, prefix.size()), prefix)) {
      matching.push_back(entry);
    }
  }
  return matching;
}

std::vector<std::string> FilesToDelete(const std::string& directory, const FilePattern& pattern,
                                       engine::FileSystem& fs) {
  std::vector<std::string> files;
  std::map<std::string, bool> in_use;  // by upper-case table name
  for (std::string& entry : MatchingFiles(directory, pattern, fs)) {
    const std::string stem = engine::StripExtension(entry);
    auto [known, inserted] = in_use.try_emplace(Upper(stem), false);
    if (inserted) known->second = TableInUse(fs, directory, stem);
    if (!known->second) files.push_back(std::move(entry));
  }
  return files;
}

void DeleteFiles(const std::string& directory, const FilePattern& pattern, Progress& reporter,
                 engine::FileSystem& fs) {
  reporter.progress("Deleting \"" + engine::JoinPath(directory, pattern.text) + "\"...");
  reporter.processEvents();
  for (const std::string& entry : FilesToDelete(directory, pattern, fs)) {
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
  if (SameDirectory(source, target)) return;
  for (const std::string& entry : MatchingFiles(source, pattern, fs)) {
    CopyOneFile(fs, engine::JoinPath(source, entry), engine::JoinPath(target, entry));
  }
}

void PrepareWorkDirectory(const BatchJob& job, const std::string& table, Progress& reporter,
                          engine::FileSystem& fs) {
  const FilePattern pattern =
      job.aliasMode() ? FilePattern::AllFiles() : FilePattern::TableFiles(table);
  if (job.options.recreate) {
    DeleteFiles(job.work_directory, pattern, reporter, fs);
  } else if (!job.options.backup_directory.empty()) {
    DeleteFiles(job.options.backup_directory, pattern, reporter, fs);
    CopyFiles(job.work_directory, job.options.backup_directory, pattern, reporter, fs);
  }
}

void CheckBackupDirectory(const BatchJob& job) {
  const std::string& backup = job.options.backup_directory;
  if (!job.options.recreate && !backup.empty() && SameDirectory(backup, job.work_directory)) {
    throw Error("The backup directory \"" + backup + "\" is the work directory");
  }
}

BatchRunStatus RunBatch(const BatchJob& job, dictionary::TdmDataDictionary& data_module, Ui& ui) {
  dictionary::RunGuard::Scope run(data_module.runs(), "Rebuild");
  engine::Session& session = data_module.session();
  engine::FileSystem& fs = session.fs();
  TTableRegenerator regenerator(session, ui, data_module.tblTables, data_module.tblFields,
                                data_module.tblIndex);

  const std::string& backup = job.options.backup_directory;
  if (!backup.empty()) EnsureDirectory(fs, backup);
  EnsureDirectory(fs, job.work_directory);

  std::string alias = job.options.alias;
  std::string table;
  if (!job.aliasMode() && !SplitTableText(job.options.table_text, &alias, &table)) {
    ui.ask(MessageKind::kError,
           "The table name to rebuild must include the alias name even, in the format "
           "\"ALIAS.TABLE\"",
           Buttons::kOk);
    return BatchRunStatus::kStopped;
  }

  CheckBackupDirectory(job);

  BusyCursor busy(ui);
  if (ui.stopRequested()) return BatchRunStatus::kInterrupted;
  PrepareWorkDirectory(job, table, ui, fs);
  if (job.aliasMode()) {
    if (!regenerator.RegenerateAlias(alias, job.work_directory)) {
      return BatchRunStatus::kInterrupted;
    }
  } else {
    if (ui.stopRequested()) return BatchRunStatus::kInterrupted;
    regenerator.RegenerateTable(alias, table, job.work_directory);
  }
  return BatchRunStatus::kDone;
}

}  // namespace vellum::rebuild
