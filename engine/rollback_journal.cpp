#include "engine/rollback_journal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "engine/errors.h"
#include "engine/restructure_journal.h"
#include "engine/text.h"

namespace vellum::engine {

namespace {

constexpr char kMagic[] = "VELLUM-ROLLBACK\n";  // 16 bytes, no terminator written
constexpr size_t kMagicSize = 16;
constexpr uint32_t kVersion = 1;
constexpr uint64_t kPage = 4096;
constexpr uint8_t kFileTag = 'F';
constexpr uint8_t kPageTag = 'P';
// A journal holds old pages of a table's files; one much larger than any
// table is not read.
constexpr uint64_t kMaxJournalBytes = uint64_t{4} << 30;

uint32_t Fnv(uint32_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 16777619u;
  }
  return h;
}

uint32_t RecordChecksum(uint32_t salt, const uint8_t* p, size_t n) {
  uint8_t s[4];
  std::memcpy(s, &salt, 4);
  return Fnv(Fnv(2166136261u, s, 4), p, n);
}

void Put(std::vector<uint8_t>* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads little-endian integers from a byte range, failing softly at its end.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool get(uint64_t* v, int bytes) {
    if (n_ - at_ < static_cast<size_t>(bytes)) return false;
    *v = 0;
    for (int i = 0; i < bytes; ++i) *v |= static_cast<uint64_t>(p_[at_ + i]) << (8 * i);
    at_ += static_cast<size_t>(bytes);
    return true;
  }
  bool bytes(size_t count, const uint8_t** out) {
    if (n_ - at_ < count) return false;
    *out = p_ + at_;
    at_ += count;
    return true;
  }
  size_t at() const { return at_; }
  size_t left() const { return n_ - at_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

std::vector<uint8_t> Header(const std::string& base, uint32_t salt) {
  std::vector<uint8_t> h(kMagic, kMagic + kMagicSize);
  Put(&h, kVersion, 4);
  Put(&h, salt, 4);
  Put(&h, base.size(), 2);
  h.insert(h.end(), base.begin(), base.end());
  Put(&h, Fnv(2166136261u, h.data(), h.size()), 4);
  return h;
}

RollbackJournalContents Invalid(std::string problem) {
  RollbackJournalContents c;
  c.state = RollbackJournalContents::State::kInvalid;
  c.problem = std::move(problem);
  return c;
}

// The journals of transactions alive in this process (upper-case paths):
// an open meeting one of them leaves it alone.
std::mutex g_live_mutex;
std::set<std::string> g_live;

void SetLive(const std::string& path, bool live) {
  std::lock_guard lock(g_live_mutex);
  if (live) {
    g_live.insert(Upper(path));
  } else {
    g_live.erase(Upper(path));
  }
}

bool IsLive(const std::string& path) {
  std::lock_guard lock(g_live_mutex);
  return g_live.count(Upper(path)) > 0;
}

std::string DirectoryToSync(const std::string& directory) {
  return directory.empty() ? "." : directory;
}

std::vector<uint8_t> ReadJournal(FileSystem& fs, const std::string& path) {
  auto file = fs.open(path, OpenMode::kRead);
  if (file->size() > kMaxJournalBytes) {
    ThrowIo(path, "Cannot read the rollback journal: it is too large", EFBIG);
  }
  return ReadWholeFile(*file);
}

// Writes back what `c` (a valid journal) recorded, in `directory`, and
// syncs the files. Idempotent.
void Restore(FileSystem& fs, const std::string& directory, const RollbackJournalContents& c) {
  std::vector<std::string> paths;
  for (const auto& f : c.files) {
    const std::string path = JoinPath(directory, f.name);
    if (fs.isLink(path)) ThrowInvalid("\"" + path + "\" is a link");
    paths.push_back(path);
  }
  std::vector<std::unique_ptr<File>> files(c.files.size());
  auto file = [&](uint32_t i) -> File& {
    if (!files[i]) {
      files[i] = fs.open(paths[i], fs.exists(paths[i]) ? OpenMode::kReadWrite : OpenMode::kCreate);
    }
    return *files[i];
  };
  for (const auto& p : c.pages) {
    if (!c.files[p.file].existed) continue;
    file(p.file).write(p.offset, p.bytes.data(), p.bytes.size());
  }
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    if (!c.files[i].existed) continue;
    File& f = file(i);
    if (f.size() != c.files[i].length) f.truncate(c.files[i].length);
    f.sync();
  }
  files.clear();
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    if (!c.files[i].existed) fs.remove(paths[i]);
  }
}

// Undoes the journal at `journal_path` of table `base`, the caller holding
// the table's change lock exclusively (or the table being the caller's
// alone).
RollbackOutcome RollBackLocked(FileSystem& fs, const std::string& directory,
                               const std::string& base, const std::string& journal_path) {
  RollbackOutcome outcome;
  const std::vector<uint8_t> bytes = ReadJournal(fs, journal_path);
  const RollbackJournalContents c = ParseRollbackJournal(bytes.data(), bytes.size(), base);
  if (c.state == RollbackJournalContents::State::kInvalid) {
    outcome.state = RollbackOutcome::State::kInvalid;
    outcome.message = "The rollback journal \"" + journal_path + "\" of table \"" + base +
                      "\" is not one to act on and was left alone: " + c.problem;
    return outcome;
  }
  try {
    Restore(fs, directory, c);
  } catch (const EDBEngineError& e) {
    if (e.category() == ErrorCategory::kInvalidRequest) {
      outcome.state = RollbackOutcome::State::kInvalid;
      outcome.message = "The rollback journal \"" + journal_path + "\" of table \"" + base +
                        "\" is not one to act on and was left alone: " + e.what();
      return outcome;
    }
    throw;
  }
  fs.remove(journal_path);
  fs.syncDirectory(DirectoryToSync(directory));
  outcome.state = c.state == RollbackJournalContents::State::kValid
                      ? RollbackOutcome::State::kRolledBack
                      : RollbackOutcome::State::kNothing;
  return outcome;
}

RollbackOutcome PendingOutcome(const std::string& base, const std::string& why) {
  RollbackOutcome outcome;
  outcome.state = RollbackOutcome::State::kPending;
  outcome.message = "A change of table \"" + base + "\" was interrupted and could not be undone (" +
                    why + "); its files may be half changed until it is opened with write access";
  return outcome;
}

// A journaled file: writes and truncations of a transaction are recorded
// first.
class JournaledFile final : public ForwardingFile {
 public:
  JournaledFile(JournalingFileSystem& owner, std::string path, std::unique_ptr<File> file)
      : ForwardingFile(std::move(file)), owner_(owner), path_(std::move(path)) {
    owner_.opened(path_, &base(), true);
  }
  ~JournaledFile() override { owner_.opened(path_, &base(), false); }
  JournaledFile(const JournaledFile&) = delete;
  JournaledFile& operator=(const JournaledFile&) = delete;
  void write(uint64_t offset, const void* data, size_t n) override {
    owner_.beforeWrite(path_, base(), offset, n);
    base().write(offset, data, n);
    owner_.written(path_);
  }
  void truncate(uint64_t size) override {
    owner_.beforeTruncate(path_, base(), size);
    base().truncate(size);
    owner_.written(path_);
  }

 private:
  JournalingFileSystem& owner_;
  std::string path_;
};

}  // namespace

std::string RollbackJournalName(const std::string& base) { return base + ".DB-journal"; }

RollbackJournalContents ParseRollbackJournal(const uint8_t* data, size_t size,
                                             const std::string& base) {
  using State = RollbackJournalContents::State;
  if (std::all_of(data, data + size, [](uint8_t b) { return b == 0; })) return {};
  Reader r(data, size);
  const uint8_t* magic = nullptr;
  if (!r.bytes(kMagicSize, &magic) || std::memcmp(magic, kMagic, kMagicSize) != 0) {
    return Invalid("it is not a rollback journal of this program");
  }
  uint64_t version = 0, salt = 0, name_size = 0, sum = 0;
  const uint8_t* name = nullptr;
  if (!r.get(&version, 4) || !r.get(&salt, 4) || !r.get(&name_size, 2) ||
      !r.bytes(name_size, &name)) {
    return Invalid("its header is cut short");
  }
  const size_t header_size = r.at();
  if (!r.get(&sum, 4) || sum != Fnv(2166136261u, data, header_size)) {
    return Invalid("its header is damaged");
  }
  if (version != kVersion) return Invalid("it is of version " + std::to_string(version));
  const std::string owner(reinterpret_cast<const char*>(name), name_size);
  if (!SameNameIgnoringCase(owner, base)) {
    return Invalid("it belongs to table \"" + owner + "\"");
  }
  RollbackJournalContents c;
  c.state = State::kValid;
  // Records up to the first one cut short or not matching its checksum.
  while (r.left() > 0) {
    const size_t start = r.at();
    uint64_t tag = 0;
    r.get(&tag, 1);
    RollbackJournalContents::FileEntry file;
    RollbackJournalContents::Page page;
    if (tag == kFileTag) {
      uint64_t n = 0, existed = 0;
      const uint8_t* file_name = nullptr;
      if (!r.get(&n, 2) || !r.bytes(n, &file_name) || !r.get(&file.length, 8) ||
          !r.get(&existed, 1)) {
        break;
      }
      file.name.assign(reinterpret_cast<const char*>(file_name), n);
      file.existed = existed != 0;
    } else if (tag == kPageTag) {
      uint64_t index = 0, n = 0;
      const uint8_t* bytes = nullptr;
      if (!r.get(&index, 4) || !r.get(&page.offset, 8) || !r.get(&n, 4) || n > kPage ||
          !r.bytes(n, &bytes)) {
        break;
      }
      page.file = static_cast<uint32_t>(index);
      page.bytes.assign(bytes, bytes + n);
    } else {
      break;
    }
    uint64_t check = 0;
    if (!r.get(&check, 4) ||
        check != RecordChecksum(static_cast<uint32_t>(salt), data + start, r.at() - 4 - start)) {
      break;
    }
    if (tag == kFileTag) {
      if (!IsTableFileName(file.name, base)) {
        return Invalid("it names \"" + file.name + "\", which is no file of the table");
      }
      for (const auto& f : c.files) {
        if (Upper(f.name) == Upper(file.name)) return Invalid("it names \"" + f.name + "\" twice");
      }
      c.files.push_back(std::move(file));
    } else {
      if (page.file >= c.files.size() || page.offset > c.files[page.file].length ||
          page.bytes.size() > c.files[page.file].length - page.offset) {
        return Invalid("a page it holds lies outside its file");
      }
      c.pages.push_back(std::move(page));
    }
  }
  return c;
}

RollbackOutcome RollBackTable(FileSystem& fs, const std::string& directory, const std::string& base,
                              int wait_ms) {
  try {
    const std::optional<std::string> journal_name =
        fs.findFile(directory, RollbackJournalName(base));
    if (!journal_name) return {};
    const std::string journal_path = JoinPath(directory, *journal_name);
    RollbackOutcome in_use;
    in_use.state = RollbackOutcome::State::kInUse;
    if (IsLive(journal_path)) return in_use;
    const std::optional<std::string> data_name = fs.findFile(directory, base + ".DB");
    if (!data_name) return PendingOutcome(base, "its data file is missing");
    std::unique_ptr<File> data;
    try {
      data = fs.open(JoinPath(directory, *data_name), OpenMode::kReadWrite);
    } catch (const EDBEngineError& e) {
      return PendingOutcome(base, e.what());
    }
    // A handle that holds the table exclusively changes it without the
    // change lock: its journal is alive.
    if (!data->tryLock(false)) return in_use;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!data->tryLockChanges(true)) {
      if (std::chrono::steady_clock::now() >= deadline) return in_use;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!fs.exists(journal_path)) return {};  // the change under way committed
    return RollBackLocked(fs, directory, base, journal_path);
  } catch (const EDBEngineError& e) {
    return PendingOutcome(base, e.what());
  }
}

RollbackOutcome RollBackHeldTable(FileSystem& fs, const std::string& directory,
                                  const std::string& base) {
  try {
    const std::optional<std::string> journal_name =
        fs.findFile(directory, RollbackJournalName(base));
    if (!journal_name) return {};
    return RollBackLocked(fs, directory, base, JoinPath(directory, *journal_name));
  } catch (const EDBEngineError& e) {
    return PendingOutcome(base, e.what());
  }
}

void RemoveRollbackJournal(FileSystem& fs, const std::string& directory, const std::string& base) {
  const std::optional<std::string> name = fs.findFile(directory, RollbackJournalName(base));
  if (!name) return;
  const std::string path = JoinPath(directory, *name);
  const std::vector<uint8_t> bytes = ReadJournal(fs, path);
  if (ParseRollbackJournal(bytes.data(), bytes.size(), base).state !=
      RollbackJournalContents::State::kInvalid) {
    fs.remove(path);
  }
}

// --- JournalingFileSystem ---------------------------------------------------

JournalingFileSystem::JournalingFileSystem(FileSystem& base, std::string directory,
                                           std::string table_base)
    : ForwardingFileSystem(base), directory_(std::move(directory)), base_(std::move(table_base)) {}

JournalingFileSystem::~JournalingFileSystem() {
  if (journal_) SetLive(journalPath(), false);
}

std::string JournalingFileSystem::journalPath() const {
  return JoinPath(directory_, RollbackJournalName(base_));
}

bool JournalingFileSystem::ownFile(const std::string& path) const {
  return DirectoryOf(path) == DirectoryOf(JoinPath(directory_, "x")) &&
         IsTableFileName(FileNameOf(path), base_);
}

void JournalingFileSystem::begin() {
  thread_local std::minstd_rand salts(std::random_device{}());
  clear();
  salt_ = static_cast<uint32_t>(salts());
  active_ = true;
}

void JournalingFileSystem::clear() {
  active_ = false;
  created_ = false;
  tracked_.clear();
  order_.clear();
  pending_.clear();
  written_.clear();
}

std::unique_ptr<File> JournalingFileSystem::open(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::kRead || !ownFile(path)) return base().open(path, mode);
  if (mode == OpenMode::kCreate && active_) {
    // Creating over a file empties it: its pages go to the journal first.
    if (base().exists(path)) {
      auto old = base().open(path, OpenMode::kReadWrite);
      Tracked& t = track(path, old.get(), true);
      savePages(t, *old, 0, t.length);
    } else {
      track(path, nullptr, false);
      created_ = true;
    }
    appendRecords();
  }
  auto file = base().open(path, mode);
  if (mode == OpenMode::kCreate) written(path);
  return std::make_unique<JournaledFile>(*this, path, std::move(file));
}

JournalingFileSystem::Tracked& JournalingFileSystem::track(const std::string& path, File* file,
                                                           bool existed) {
  auto it = tracked_.find(path);
  if (it != tracked_.end()) return it->second;
  Tracked& t = tracked_[path];
  t.index = static_cast<uint32_t>(order_.size());
  t.length = existed && file ? file->size() : 0;
  order_.push_back(path);
  const std::string name = FileNameOf(path);
  const size_t start = pending_.size();
  pending_.push_back(kFileTag);
  Put(&pending_, name.size(), 2);
  pending_.insert(pending_.end(), name.begin(), name.end());
  Put(&pending_, t.length, 8);
  pending_.push_back(existed ? 1 : 0);
  Put(&pending_, RecordChecksum(salt_, pending_.data() + start, pending_.size() - start), 4);
  return t;
}

void JournalingFileSystem::savePages(Tracked& t, File& file, uint64_t from, uint64_t to) {
  to = std::min(to, t.length);
  if (from >= to) return;
  std::vector<uint8_t> old;
  for (uint64_t p = from / kPage; p * kPage < to; ++p) {
    if (!t.saved.insert(p).second) continue;
    const uint64_t offset = p * kPage;
    old.resize(static_cast<size_t>(std::min(kPage, t.length - offset)));
    old.resize(file.read(offset, old.data(), old.size()));
    const size_t start = pending_.size();
    pending_.push_back(kPageTag);
    Put(&pending_, t.index, 4);
    Put(&pending_, offset, 8);
    Put(&pending_, old.size(), 4);
    pending_.insert(pending_.end(), old.begin(), old.end());
    Put(&pending_, RecordChecksum(salt_, pending_.data() + start, pending_.size() - start), 4);
  }
}

void JournalingFileSystem::appendRecords() {
  if (pending_.empty()) return;
  if (!journal_) {
    const std::string path = journalPath();
    if (base().exists(path)) {
      throw EDBEngineError(ErrorCategory::kInvalidRequest, subcode::kGeneric,
                           "Table \"" + base_ + "\" cannot be changed: the file \"" + path +
                               "\" is in the way of its rollback journal");
    }
    // Records were checksummed with the salt of this journal: it is drawn
    // before the first record (in begin's transaction, track() uses salt_).
    std::vector<uint8_t> bytes = Header(base_, salt_);
    bytes.insert(bytes.end(), pending_.begin(), pending_.end());
    journal_ = base().open(path, OpenMode::kCreate);
    SetLive(path, true);
    journal_->write(0, bytes.data(), bytes.size());
    journal_->sync();
    base().syncDirectory(DirectoryToSync(directory_));
    journal_size_ = bytes.size();
  } else {
    journal_->write(journal_size_, pending_.data(), pending_.size());
    journal_->sync();
    journal_size_ += pending_.size();
  }
  pending_.clear();
}

void JournalingFileSystem::opened(const std::string& path, File* file, bool open) {
  std::vector<File*>& files = open_[path];
  if (open) {
    files.push_back(file);
    return;
  }
  // A file of the transaction that closes is synced now: commit() will not
  // find it.
  if (active_ && written_.count(path) > 0 && files.size() == 1) file->sync();
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
  if (files.empty()) open_.erase(path);
}

void JournalingFileSystem::recordOpenFiles() {
  // A change usually writes most of the table's files: each is recorded at
  // once, and small ones whole, so that the journal need not grow (and be
  // synced) again at each of their writes.
  constexpr uint64_t kWholeBudget = uint64_t{1} << 20;
  uint64_t budget = kWholeBudget;
  for (const auto& [path, files] : open_) {
    if (files.empty() || tracked_.count(path) > 0) continue;
    Tracked& t = track(path, files.front(), true);
    if (t.length <= budget) {
      savePages(t, *files.front(), 0, t.length);
      budget -= t.length;
    }
  }
}

void JournalingFileSystem::beforeWrite(const std::string& path, File& file, uint64_t offset,
                                       uint64_t n) {
  if (!active_) return;
  if (tracked_.empty()) recordOpenFiles();
  Tracked& t = track(path, &file, true);
  if (offset < t.length) savePages(t, file, offset, offset + n);
  appendRecords();
}

void JournalingFileSystem::beforeTruncate(const std::string& path, File& file, uint64_t size) {
  if (!active_) return;
  if (tracked_.empty()) recordOpenFiles();
  Tracked& t = track(path, &file, true);
  if (size < t.length) savePages(t, file, size, t.length);
  appendRecords();
}

void JournalingFileSystem::written(const std::string& path) {
  if (active_) written_.insert(path);
}

void JournalingFileSystem::commit() {
  if (!active_) return;
  // The files written, all at once; one closed since was synced then.
  std::vector<File*> files;
  for (const std::string& path : written_) {
    auto it = open_.find(path);
    if (it != open_.end() && !it->second.empty()) files.push_back(it->second.front());
  }
  base().syncFiles(files);
  if (journal_) {
    // A file the transaction created must be there before the journal that
    // would remove it goes.
    if (created_) base().syncDirectory(DirectoryToSync(directory_));
    const std::string path = journalPath();
    base().remove(path);
    journal_.reset();
    // The change is committed: what fails from here cannot undo it.
    SetLive(path, false);
    clear();
    base().syncDirectory(DirectoryToSync(directory_));
  }
  clear();
}

void JournalingFileSystem::rollback() {
  if (!active_) return;
  clear();
  if (!journal_) return;
  journal_.reset();
  const std::string path = journalPath();
  SetLive(path, false);
  RollBackLocked(base(), directory_, base_, path);
}

}  // namespace vellum::engine
