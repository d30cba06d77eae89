#include "engine/restructure_journal.h"

#include <cstdint>
#include <map>
#include <set>

#include "engine/errors.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

constexpr std::string_view kHeaderLine = "VELLUM-RESTRUCTURE 1";
constexpr std::string_view kWorkSuffix = ".restructure";

uint32_t Checksum(std::string_view text) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// A name that stays inside the directory it is joined to.
bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Splits `text` into lines; false when it does not end with a line break.
bool SplitLines(std::string_view text, std::vector<std::string_view>* lines) {
  if (text.empty() || text.back() != '\n') return false;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines->push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

ParsedJournal Invalid(std::string problem) {
  ParsedJournal parsed;
  parsed.state = ParsedJournal::State::kInvalid;
  parsed.problem = std::move(problem);
  return parsed;
}

// Reads the entry lines between the header and the end line.
bool ReadEntries(const std::vector<std::string_view>& lines, RestructureJournal* j,
                 std::string* problem) {
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.rfind("WORK ", 0) == 0 && j->work_dir.empty()) {
      j->work_dir = line.substr(5);
    } else if (line.rfind("DELETE ", 0) == 0) {
      j->deletes.emplace_back(line.substr(7));
    } else if (line.rfind("RENAME ", 0) == 0) {
      const std::string_view rest = line.substr(7);
      const size_t tab = rest.find('\t');
      if (tab == std::string_view::npos) {
        *problem = "line " + std::to_string(i + 1) + " is not an entry";
        return false;
      }
      j->renames.emplace_back(rest.substr(0, tab), rest.substr(tab + 1));
    } else {
      *problem = "line " + std::to_string(i + 1) + " is not an entry";
      return false;
    }
  }
  return true;
}

// Why the entries of `j` are not ones table `base` may act on; empty when
// they are.
std::string CheckNames(const RestructureJournal& j, const std::string& base) {
  if (!SameNameIgnoringCase(j.work_dir, WorkDirectoryName(base))) {
    return "its work directory \"" + j.work_dir + "\" is not the table's own";
  }
  for (const auto& d : j.deletes) {
    if (!IsTableFileName(d, base)) return "it deletes \"" + d + "\", which is no file of the table";
  }
  std::set<std::string> targets;
  bool data_file = false;
  for (const auto& [from, to] : j.renames) {
    if (!IsTableFileName(from, base)) return "it moves \"" + from + "\", which is no file of it";
    if (!IsTableFileName(to, base)) return "it replaces \"" + to + "\", which is no file of it";
    if (!targets.insert(Upper(to)).second) return "it replaces \"" + to + "\" twice";
    if (Upper(ExtensionOf(to)) == ".DB") data_file = true;
  }
  if (!data_file) return "it gives the table no data file";
  return "";
}

// A symbolic link among the paths a journal would act through, if any.
std::string LinkIn(FileSystem& fs, const std::string& directory, const RestructureJournal& j) {
  std::string work = JoinPath(directory, j.work_dir);
  if (fs.isLink(work)) return work;
  for (const auto& [from, to] : j.renames) {
    std::string source = JoinPath(work, from);
    if (fs.isLink(source)) return source;
  }
  return "";
}

}  // namespace

std::string WorkDirectoryName(const std::string& base) {
  return "." + base + std::string(kWorkSuffix);
}

std::string JournalName(const std::string& base) { return base + ".JNL"; }

bool IsTableFileExtension(std::string_view extension) {
  const std::string e = Upper(extension);
  if (e == ".DB" || e == ".PX" || e == ".MB" || e == ".VAL") return true;
  if (e.size() != 4 || (e[1] != 'X' && e[1] != 'Y')) return false;
  if (e[2] == 'G') return IsHexDigit(e[3]);
  return IsHexDigit(e[2]) && IsHexDigit(e[3]);
}

bool IsTableFileName(std::string_view name, std::string_view base) {
  if (!IsPlainName(name) || base.empty()) return false;
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  return SameNameIgnoringCase(name.substr(0, dot), base) && IsTableFileExtension(name.substr(dot));
}

std::vector<std::string> TableFilesAmong(const std::vector<std::string>& entries,
                                         std::string_view base) {
  std::vector<std::string> files;
  for (const std::string& e : entries) {
    if (IsTableFileName(e, base)) files.push_back(e);
  }
  return files;
}

void RefuseLetterCaseTwins(const std::string& directory, const std::vector<std::string>& entries,
                           std::string_view base) {
  std::map<std::string, std::string> seen;  // upper-case name -> the name found first
  for (const std::string& f : TableFilesAmong(entries, base)) {
    auto [it, first] = seen.emplace(Upper(f), f);
    if (first) continue;
    ThrowInvalid("Table \"" + std::string(base) + "\" cannot be told apart from another: \"" +
                 JoinPath(directory, it->second) + "\" and \"" + JoinPath(directory, f) +
                 "\" differ only in letter case; rename or move one of them");
  }
}

std::string FormatJournal(const RestructureJournal& j) {
  std::string body = std::string(kHeaderLine) + "\n";
  body += "WORK " + j.work_dir + "\n";
  for (const auto& d : j.deletes) body += "DELETE " + d + "\n";
  for (const auto& r : j.renames) body += "RENAME " + r.first + "\t" + r.second + "\n";
  return body + "END " + std::to_string(Checksum(body)) + "\n";
}

ParsedJournal ParseJournal(std::string_view text, const std::string& base) {
  std::vector<std::string_view> lines;
  if (!SplitLines(text, &lines)) return {};
  const std::string_view end = lines.back();
  if (end.rfind("END ", 0) != 0) return {};
  const std::string_view body = text.substr(0, text.size() - end.size() - 1);
  if (end.substr(4) != std::to_string(Checksum(body))) return {};
  if (lines.front().rfind("VELLUM-RESTRUCTURE ", 0) != 0) return {};
  if (lines.front() != kHeaderLine) return Invalid("it is a journal of another version");
  ParsedJournal parsed;
  std::string problem;
  if (!ReadEntries(lines, &parsed.journal, &problem)) return Invalid(problem);
  problem = CheckNames(parsed.journal, base);
  if (!problem.empty()) return Invalid(problem);
  parsed.state = ParsedJournal::State::kCommitted;
  return parsed;
}

RestructureJournal JournalOf(const std::vector<std::string>& old_files,
                             const std::vector<std::string>& new_files,
                             const std::string& work_name) {
  RestructureJournal j;
  j.work_dir = work_name;
  std::vector<bool> replaced(old_files.size(), false);
  for (const auto& nf : new_files) {
    std::string final_name = nf;
    for (size_t k = 0; k < old_files.size(); ++k) {
      if (!replaced[k] && SameNameIgnoringCase(old_files[k], nf)) {
        final_name = old_files[k];
        replaced[k] = true;
        break;
      }
    }
    j.renames.emplace_back(nf, final_name);
  }
  for (size_t k = 0; k < old_files.size(); ++k) {
    if (!replaced[k]) j.deletes.push_back(old_files[k]);
  }
  return j;
}

void ApplyJournal(FileSystem& fs, const std::string& directory, const RestructureJournal& j) {
  const std::string work = JoinPath(directory, j.work_dir);
  for (const auto& d : j.deletes) fs.remove(JoinPath(directory, d));
  for (const auto& [from, to] : j.renames) {
    const std::string source = JoinPath(work, from);
    if (fs.exists(source)) fs.rename(source, JoinPath(directory, to));
  }
  fs.syncDirectory(directory);
  RemoveWorkDirectory(fs, work);
}

bool RemoveWorkDirectory(FileSystem& fs, const std::string& path) {
  if (fs.isLink(path)) return false;
  if (!fs.isDirectory(path)) return true;
  try {
    fs.removeTree(path);
  } catch (const EDBEngineError&) {
    return false;
  }
  return !fs.exists(path);
}

namespace {

// Holds the locks recovery needs: the table's data file and its journal,
// both exclusively. A restructure in progress holds one of them.
class RecoveryLocks {
 public:
  // False when another handle holds either.
  bool take(FileSystem& fs, const std::string& data_path, bool has_data,
            const std::string& journal_path, bool has_journal) {
    if (has_data) {
      data_ = fs.open(data_path, OpenMode::kRead);
      if (!data_->tryLock(true)) return false;
    }
    if (has_journal) {
      journal_ = fs.open(journal_path, OpenMode::kRead);
      if (!journal_->tryLock(true)) return false;
    }
    return true;
  }
  File* journal() { return journal_.get(); }

 private:
  std::unique_ptr<File> data_;
  std::unique_ptr<File> journal_;
};

RecoveryOutcome Pending(bool committed, const std::string& table, const std::string& why) {
  RecoveryOutcome outcome;
  outcome.state = RecoveryOutcome::State::kPending;
  outcome.committed = committed;
  outcome.message =
      committed ? "A restructure of table \"" + table +
                      "\" was committed but could not be finished (" + why +
                      "); recovery is pending: open the table once with write access to its "
                      "directory"
                : "An interrupted restructure of table \"" + table +
                      "\" left work files that could not be removed (" + why +
                      "); recovery is pending. The table's own files are whole";
  return outcome;
}

// Discards what an uncommitted restructure left: its work directory.
RecoveryOutcome Discard(FileSystem& fs, const std::string& directory, const std::string& base,
                        const std::string& work) {
  if (fs.isLink(work)) {
    RecoveryOutcome outcome;
    outcome.state = RecoveryOutcome::State::kInvalid;
    outcome.message = "The work directory \"" + work + "\" of table \"" + base +
                      "\" is a link; it was left alone";
    return outcome;
  }
  try {
    if (!RemoveWorkDirectory(fs, work)) return Pending(false, base, "cannot remove " + work);
    fs.syncDirectory(directory);
  } catch (const EDBEngineError& e) {
    return Pending(false, base, e.what());
  }
  RecoveryOutcome outcome;
  outcome.state = RecoveryOutcome::State::kDiscarded;
  return outcome;
}

// Finishes a committed journal.
RecoveryOutcome Finish(FileSystem& fs, const std::string& directory, const std::string& base,
                       const RestructureJournal& j, const std::string& journal_path) {
  const std::string link = LinkIn(fs, directory, j);
  if (!link.empty()) {
    RecoveryOutcome outcome;
    outcome.state = RecoveryOutcome::State::kInvalid;
    outcome.message = "The restructure journal \"" + journal_path +
                      "\" is invalid and was left alone: \"" + link + "\" is a link";
    return outcome;
  }
  try {
    ApplyJournal(fs, directory, j);
    fs.remove(journal_path);
    fs.syncDirectory(directory);
  } catch (const EDBEngineError& e) {
    return Pending(true, base, e.what());
  }
  RecoveryOutcome outcome;
  outcome.state = RecoveryOutcome::State::kFinished;
  return outcome;
}

std::string ReadJournalText(File& file) {
  // A journal lists a handful of names; anything much larger is not one.
  constexpr uint64_t kMaxJournalBytes = 1 << 20;
  if (file.size() > kMaxJournalBytes) return "";
  const std::vector<uint8_t> bytes = ReadWholeFile(file);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

std::string PendingRecovery(const std::string& directory, const std::string& table,
                            FileSystem& fs) {
  const std::string base = StripExtension(table);
  try {
    bool has_journal = false;
    const std::string journal_path =
        ResolveCaseInsensitive(fs, directory, JournalName(base), &has_journal);
    if (has_journal) {
      auto file = fs.open(journal_path, OpenMode::kRead);
      const ParsedJournal parsed = ParseJournal(ReadJournalText(*file), base);
      switch (parsed.state) {
        case ParsedJournal::State::kInvalid:
          return "The restructure journal \"" + journal_path +
                 "\" is invalid and was left alone: " + parsed.problem;
        case ParsedJournal::State::kCommitted:
          return "A restructure of table \"" + base +
                 "\" is committed but not finished; recovery is pending";
        case ParsedJournal::State::kNotOurs:
          return "\"" + journal_path +
                 "\" is not a restructure journal of this program; it was left alone";
      }
    }
    const std::string work = JoinPath(directory, WorkDirectoryName(base));
    if (!fs.isDirectory(work) && !fs.isLink(work)) return "";
  } catch (const EDBEngineError& e) {
    return std::string("What a restructure of table \"") + base +
           "\" left could not be read: " + e.what();
  }
  return "An interrupted restructure of table \"" + base +
         "\" left work files behind; recovery is pending. The table's own files are whole";
}

RecoveryOutcome RecoverTable(const std::string& directory, const std::string& table,
                             FileSystem& fs) {
  const std::string base = StripExtension(table);
  bool has_journal = false;
  const std::string journal_path =
      ResolveCaseInsensitive(fs, directory, JournalName(base), &has_journal);
  const std::string default_work = JoinPath(directory, WorkDirectoryName(base));
  if (!has_journal && !fs.isDirectory(default_work) && !fs.isLink(default_work)) return {};

  // A journal beside two tables whose names differ only in letter case
  // could name the files of either: it is not acted on.
  try {
    RefuseLetterCaseTwins(directory, fs.listPrefix(directory, base + "."), base);
  } catch (const EDBEngineError& e) {
    RecoveryOutcome outcome;
    outcome.state = RecoveryOutcome::State::kInvalid;
    outcome.message = e.what();
    return outcome;
  }
  bool has_data = false;
  const std::string data_path = ResolveCaseInsensitive(fs, directory, base + ".DB", &has_data);
  RecoveryLocks locks;
  std::string text;
  bool locked = false;
  try {
    locked = locks.take(fs, data_path, has_data, journal_path, has_journal);
    if (has_journal && locks.journal()) text = ReadJournalText(*locks.journal());
  } catch (const EDBEngineError& e) {
    return Pending(false, base, e.what());
  }
  const ParsedJournal parsed = ParseJournal(text, base);
  const bool committed = has_journal && parsed.state == ParsedJournal::State::kCommitted;
  if (!locked) {
    RecoveryOutcome outcome;
    outcome.state = RecoveryOutcome::State::kInUse;
    outcome.committed = committed;
    return outcome;
  }
  if (has_journal && parsed.state == ParsedJournal::State::kInvalid) {
    RecoveryOutcome outcome;
    outcome.state = RecoveryOutcome::State::kInvalid;
    outcome.message = "The restructure journal \"" + journal_path +
                      "\" is invalid and was left alone: " + parsed.problem;
    return outcome;
  }
  if (committed) {
    RecoveryOutcome outcome = Finish(fs, directory, base, parsed.journal, journal_path);
    // A work directory of another letter case than the journal's is the
    // same restructure's leftover.
    if (outcome.state == RecoveryOutcome::State::kFinished && fs.isDirectory(default_work)) {
      if (!RemoveWorkDirectory(fs, default_work)) return Pending(false, base, default_work);
    }
    return outcome;
  }
  // No journal of ours (a file of the user's under its name is left
  // alone): the restructure was not committed.
  if (!fs.isDirectory(default_work) && !fs.isLink(default_work)) return {};
  return Discard(fs, directory, base, default_work);
}

}  // namespace vellum::engine
