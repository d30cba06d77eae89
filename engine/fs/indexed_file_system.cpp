#include "engine/fs/indexed_file_system.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "engine/text.h"

namespace vellum::engine {

namespace {

// Orders names without regard to the letter case of A to Z, so that the
// spellings of one name sit together and a prefix is a range.
struct FoldLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(FoldAsciiLetter(a[i]));
      const auto y = static_cast<unsigned char>(FoldAsciiLetter(b[i]));
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

using NameSet = std::multiset<std::string, FoldLess>;
using DirectoryKey = std::pair<uint64_t, uint64_t>;  // device, inode

DirectoryKey KeyOf(const DirectoryStamp& stamp) { return {stamp.device, stamp.inode}; }

int64_t SystemClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kSecondNs = 1'000'000'000;

// True when a listing that began at `listed_at` could miss a change that
// leaves `stamp` as it is: the directory's last change is within the
// granularity of its clock of that moment.
bool IsRacy(const DirectoryStamp& stamp, int64_t listed_at) {
  const bool whole_seconds =
      stamp.modified_ns % kSecondNs == 0 && stamp.changed_ns % kSecondNs == 0;
  const int64_t granularity = whole_seconds ? IndexedFileSystem::kCoarseGranularityNs
                                            : IndexedFileSystem::kFineGranularityNs;
  return std::max(stamp.modified_ns, stamp.changed_ns) >= listed_at - granularity;
}

void EraseExact(NameSet& names, const std::string& name) {
  auto [first, last] = names.equal_range(name);
  for (auto it = first; it != last; ++it) {
    if (*it == name) {
      names.erase(it);
      return;
    }
  }
}

bool ContainsExact(const NameSet& names, const std::string& name) {
  auto [first, last] = names.equal_range(name);
  return std::any_of(first, last, [&](const std::string& n) { return n == name; });
}

void InsertExact(NameSet& names, const std::string& name) {
  if (!ContainsExact(names, name)) names.insert(name);
}

}  // namespace

// One directory's index.
struct IndexedFileSystem::Names {
  DirectoryStamp stamp;
  NameSet names;
  bool racy = false;       // listed within the clock's granularity of a change
  int64_t recheck_at = 0;  // when changed by us: list again from then on (0: not due)
  uint64_t last_use = 0;
};

// The indexes by directory, the least recently used evicted beyond
// kMaxDirectories.
class IndexedFileSystem::Index {
 public:
  Names* find(const DirectoryStamp& stamp) {
    auto it = dirs_.find(KeyOf(stamp));
    if (it == dirs_.end()) return nullptr;
    it->second.last_use = ++uses_;
    return &it->second;
  }
  Names& put(Names names) {
    names.last_use = ++uses_;
    Names& slot = dirs_[KeyOf(names.stamp)];
    slot = std::move(names);
    if (dirs_.size() > kMaxDirectories) evictOldest();
    return slot;
  }
  void drop(const DirectoryStamp& stamp) { dirs_.erase(KeyOf(stamp)); }
  void clear() { dirs_.clear(); }
  size_t size() const { return dirs_.size(); }

 private:
  void evictOldest() {
    auto oldest = std::min_element(dirs_.begin(), dirs_.end(), [](const auto& a, const auto& b) {
      return a.second.last_use < b.second.last_use;
    });
    dirs_.erase(oldest);
  }

  std::map<DirectoryKey, Names> dirs_;
  uint64_t uses_ = 0;
};

// One change of a directory by this process: takes the directory's stamp
// before and after, and updates the index only when nobody else changed the
// directory in between as far as the stamps tell; otherwise the index goes
// and the next lookup lists the directory again.
class IndexedFileSystem::Watch {
 public:
  Watch(IndexedFileSystem& owner, std::string directory)
      : owner_(owner), directory_(std::move(directory)) {
    before_ = owner_.base().directoryStamp(directory_);
    if (!before_) return;
    std::lock_guard lock(owner_.mutex_);
    if (Names* names = owner_.index_->find(*before_)) {
      consistent_ = names->stamp == *before_;
      if (!consistent_) owner_.index_->drop(*before_);
    }
  }

  // True when both watch the same directory.
  bool sameDirectory(const Watch& other) const {
    return before_ && other.before_ && KeyOf(*before_) == KeyOf(*other.before_);
  }

  // Whether the directory held the regular file `name` before the change;
  // nullopt when its index cannot tell.
  std::optional<bool> holds(const std::string& name) {
    if (!consistent_) return std::nullopt;
    std::lock_guard lock(owner_.mutex_);
    Names* names = owner_.index_->find(*before_);
    if (names == nullptr) return std::nullopt;
    return ContainsExact(names->names, name);
  }

  // Makes the change; one that throws leaves the directory's names unknown.
  template <typename Change>
  decltype(auto) guard(Change change) {
    try {
      return change();
    } catch (...) {
      failed();
      throw;
    }
  }

  // The change failed: what it did to the directory is not known.
  void failed() {
    if (!before_) return;
    std::lock_guard lock(owner_.mutex_);
    owner_.index_->drop(*before_);
  }

  // The change was made; `update` applies it to the directory's names and
  // returns false when it cannot.
  template <typename Update>
  void done(Update update) {
    if (!before_) return;
    const std::optional<DirectoryStamp> after = owner_.base().directoryStamp(directory_);
    std::lock_guard lock(owner_.mutex_);
    Names* names = owner_.index_->find(*before_);
    if (names == nullptr) return;
    if (!consistent_ || !after || KeyOf(*after) != KeyOf(*before_) || names->stamp != *before_ ||
        !update(names->names)) {
      owner_.index_->drop(*before_);
      return;
    }
    names->stamp = *after;
    // From here a racy listing is covered by the recheck, as our change is.
    names->racy = false;
    if (names->recheck_at == 0) names->recheck_at = owner_.now() + kRecheckNs;
  }

 private:
  IndexedFileSystem& owner_;
  const std::string directory_;
  std::optional<DirectoryStamp> before_;
  bool consistent_ = false;
};

IndexedFileSystem::IndexedFileSystem(FileSystem& base, Clock clock)
    : ForwardingFileSystem(base),
      clock_(clock ? std::move(clock) : Clock(SystemClockNs)),
      index_(std::make_unique<Index>()) {}

IndexedFileSystem::~IndexedFileSystem() = default;

template <typename Use>
bool IndexedFileSystem::withNames(const std::string& directory, Use use) {
  const int64_t started = now();
  const std::optional<DirectoryStamp> stamp = base().directoryStamp(directory);
  if (!stamp) return false;
  {
    std::lock_guard lock(mutex_);
    Names* names = index_->find(*stamp);
    if (names != nullptr && names->stamp == *stamp && !names->racy &&
        (names->recheck_at == 0 || started < names->recheck_at)) {
      use(names->names);
      return true;
    }
  }
  // Listed after the stamp was taken: a change during the listing moves the
  // directory's stamp away from this one, and the next lookup lists again.
  Names fresh;
  fresh.stamp = *stamp;
  fresh.racy = IsRacy(*stamp, started);
  for (std::string& name : base().list(directory)) fresh.names.insert(std::move(name));
  std::lock_guard lock(mutex_);
  use(index_->put(std::move(fresh)).names);
  return true;
}

std::vector<std::string> IndexedFileSystem::list(const std::string& directory) {
  std::vector<std::string> out;
  const bool indexed =
      withNames(directory, [&](const NameSet& names) { out.assign(names.begin(), names.end()); });
  if (!indexed) return base().list(directory);
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> IndexedFileSystem::findFile(const std::string& directory,
                                                       const std::string& name) {
  std::optional<std::string> found;
  bool indexed = false;
  try {
    indexed = withNames(directory, [&](const NameSet& names) {
      auto [first, last] = names.equal_range(name);
      for (auto it = first; it != last; ++it) {
        if (!found || *it == name) found = *it;
      }
    });
  } catch (const std::exception&) {
    indexed = false;  // not listable: the base may still find the exact name
  }
  return indexed ? found : base().findFile(directory, name);
}

std::vector<std::string> IndexedFileSystem::listPrefix(const std::string& directory,
                                                       const std::string& prefix) {
  std::vector<std::string> out;
  const bool indexed = withNames(directory, [&](const NameSet& names) {
    for (auto it = names.lower_bound(prefix); it != names.end(); ++it) {
      if (it->size() < prefix.size() ||
          !SameNameIgnoringCase(std::string_view(*it).substr(0, prefix.size()), prefix)) {
        break;
      }
      out.push_back(*it);
    }
  });
  if (!indexed) return base().listPrefix(directory, prefix);
  std::sort(out.begin(), out.end());
  return out;
}

std::unique_ptr<File> IndexedFileSystem::open(const std::string& path, OpenMode mode) {
  if (!CreatesFile(mode)) return base().open(path, mode);
  const std::string directory = DirectoryOf(path);
  const std::string name = FileNameOf(path);
  Watch watch(*this, directory);
  std::unique_ptr<File> file = watch.guard([&] { return base().open(path, mode); });
  watch.done([&](NameSet& names) {
    InsertExact(names, name);
    return true;
  });
  return file;
}

void IndexedFileSystem::remove(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  const std::string name = FileNameOf(path);
  Watch watch(*this, directory);
  watch.guard([&] { base().remove(path); });
  watch.done([&](NameSet& names) {
    EraseExact(names, name);
    return true;
  });
}

void IndexedFileSystem::rename(const std::string& from, const std::string& to) {
  const std::string from_directory = DirectoryOf(from);
  const std::string to_directory = DirectoryOf(to);
  const std::string from_name = FileNameOf(from);
  const std::string to_name = FileNameOf(to);
  Watch source(*this, from_directory);
  // A file renamed within its directory has one index to update.
  std::optional<Watch> target;
  if (to_directory != from_directory) target.emplace(*this, to_directory);
  if (target && target->sameDirectory(source)) target.reset();
  // Only a regular file moves into the target's index; not knowing whether
  // it was one, the target is listed again.
  const std::optional<bool> regular = source.holds(from_name);
  try {
    base().rename(from, to);
  } catch (...) {
    source.failed();
    if (target) target->failed();
    throw;
  }
  auto arrive = [&](NameSet& names) {
    if (!regular) return false;
    EraseExact(names, to_name);
    if (*regular) names.insert(to_name);
    return true;
  };
  if (!target) {
    source.done([&](NameSet& names) {
      EraseExact(names, from_name);
      return arrive(names);
    });
    return;
  }
  source.done([&](NameSet& names) {
    EraseExact(names, from_name);
    return true;
  });
  target->done(arrive);
}

void IndexedFileSystem::makeDirectories(const std::string& path) {
  // A new directory is no regular file: its parent's names stay, its stamp
  // moves.
  Watch watch(*this, DirectoryOf(path));
  watch.guard([&] { base().makeDirectories(path); });
  watch.done([](NameSet&) { return true; });
}

bool IndexedFileSystem::createDirectory(const std::string& path) {
  Watch watch(*this, DirectoryOf(path));
  const bool made = watch.guard([&] { return base().createDirectory(path); });
  watch.done([](NameSet&) { return true; });
  return made;
}

void IndexedFileSystem::removeTree(const std::string& path) {
  if (const std::optional<DirectoryStamp> own = base().directoryStamp(path)) {
    if (!base().isLink(path)) {
      std::lock_guard lock(mutex_);
      index_->drop(*own);
    }
  }
  const std::string name = FileNameOf(path);
  Watch watch(*this, DirectoryOf(path));
  watch.guard([&] { base().removeTree(path); });
  watch.done([&](NameSet& names) {
    EraseExact(names, name);
    return true;
  });
}

void IndexedFileSystem::removeDirectory(const std::string& path) {
  if (const std::optional<DirectoryStamp> own = base().directoryStamp(path)) {
    std::lock_guard lock(mutex_);
    index_->drop(*own);
  }
  Watch watch(*this, DirectoryOf(path));
  watch.guard([&] { base().removeDirectory(path); });
  watch.done([](NameSet&) { return true; });
}

void IndexedFileSystem::clear() {
  std::lock_guard lock(mutex_);
  index_->clear();
}

size_t IndexedFileSystem::indexedDirectories() const {
  std::lock_guard lock(mutex_);
  return index_->size();
}

}  // namespace vellum::engine
