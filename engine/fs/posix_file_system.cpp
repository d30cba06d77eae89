#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/background_closes.h"
#include "engine/fs/file_system.h"
#include "engine/fs/indexed_file_system.h"
#include "engine/text.h"

namespace vellum::engine {
namespace {

// Closes the last descriptors of large files that are already deleted on a
// thread of its own. Such a close is where the file system frees the file's
// blocks, which can take a tenth of a second for a file of 100 MB (more
// where every freed block is discarded at once); a restructure, whose old
// data file is deleted by the rename that replaces it, need not wait for
// that. The file is gone from every directory, so nobody else can reach it
// or its locks in the meantime. Whoever asks how much space is free first
// waits for the closes still pending.
class BackgroundCloser {
 public:
  static BackgroundCloser& Instance() {
    // Never destroyed: descriptors may be closed during static destruction,
    // and the process's end closes what is still queued.
    static auto* closer = new BackgroundCloser;  // NOLINT(cppcoreguidelines-owning-memory)
    return *closer;
  }

  // Closes `fd` now or later: later only for a deleted file of at least
  // kDeferredBytes, in the process that started the thread (a child made
  // by fork() has no such thread and closes at once).
  void close(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_nlink != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_blocks) * 512 < kDeferredBytes || ::getpid() != pid_) {
      ::close(fd);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
      try {
        std::thread(&BackgroundCloser::run, this).detach();
        started_ = true;
      } catch (const std::system_error&) {
        ::close(fd);
        return;
      }
    }
    queue_.push_back(fd);
    wake_.notify_one();
  }

  // Returns once every descriptor queued before the call is closed; closes
  // the queued ones itself rather than waiting for the thread to reach them.
  void drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!queue_.empty()) closeNext(lock);
    done_.wait(lock, [this] { return closing_ == 0; });
  }

  // Tests: while held, the thread closes nothing (drain() still does).
  void hold(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
    wake_.notify_all();
  }

 private:
  static constexpr uint64_t kDeferredBytes = uint64_t{1} << 20;

  BackgroundCloser() : pid_(::getpid()) {}

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !held_ && !queue_.empty(); });
      closeNext(lock);
    }
  }

  // Closes the first queued descriptor, without the lock while it closes.
  void closeNext(std::unique_lock<std::mutex>& lock) {
    const int fd = queue_.front();
    queue_.pop_front();
    ++closing_;
    lock.unlock();
    ::close(fd);
    lock.lock();
    if (--closing_ == 0) done_.notify_all();
  }

  const pid_t pid_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<int> queue_;
  int closing_ = 0;
  bool started_ = false;
  bool held_ = false;
};

class PosixFile final : public File {
 public:
  PosixFile(std::string path, int fd, bool writable)
      : path_(std::move(path)), fd_(fd), writable_(writable) {}
  ~PosixFile() override {
    if (fd_ >= 0) BackgroundCloser::Instance().close(fd_);
  }
  const std::string& path() const override { return path_; }

  uint64_t size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) ThrowIo(path_, "Cannot read the size of", errno);
    return static_cast<uint64_t>(st.st_size);
  }

  size_t read(uint64_t offset, void* buffer, size_t n) override {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < n) {
      ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        ThrowIo(path_, "Cannot read", errno);
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return done;
  }

  void write(uint64_t offset, const void* data, size_t n) override {
    size_t done = 0;
    const auto* in = static_cast<const char*>(data);
    while (done < n) {
      ssize_t r = ::pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        ThrowIo(path_, "Cannot write", errno);
      }
      done += static_cast<size_t>(r);
    }
  }

  void truncate(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) ThrowIo(path_, "Cannot resize", errno);
  }

  void sync() override {
    if (::fdatasync(fd_) != 0) ThrowIo(path_, "Cannot sync", errno);
  }

  void hintWriteback(uint64_t offset, uint64_t length) override {
#ifdef __linux__
    // Starts writeback of the range's dirty pages and returns; errors are
    // left for the real sync to report.
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)length;
#endif
  }

  // flock() locks belong to the open file description, so closing another
  // descriptor of the same file in this process does not drop them, and two
  // descriptors of one process conflict like two processes do.
  bool tryLock(bool exclusive) override {
    while (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) return false;
      ThrowIo(path_, "Cannot lock", errno);
    }
    return true;
  }

  void unlock() override { ::flock(fd_, LOCK_UN); }

  // A lock on one byte far past any real file size, so that it meets no
  // byte-range lock another program takes on the file's contents. Linux's
  // open-file-description locks belong to this descriptor like flock()
  // does and are independent of it; elsewhere plain record locks stand in
  // (they belong to the process, and closing any descriptor of the file in
  // the process drops them).
  // A shared lock needs a descriptor opened for reading, an exclusive one a
  // descriptor opened for writing (a write lock on a descriptor opened for
  // reading fails with EBADF): this one is refused clearly instead.
  bool tryLockChanges(bool exclusive) override {
    if (exclusive && !writable_) {
      ThrowInvalid("Cannot lock \"" + path_ + "\" for a change: it was opened for reading only");
    }
    return changeLock(exclusive ? F_WRLCK : F_RDLCK);
  }
  void unlockChanges() override { changeLock(F_UNLCK); }

  // The byte after the change lock's.
  bool tryLockTurn(bool exclusive) override {
    if (exclusive && !writable_) {
      ThrowInvalid("Cannot wait for \"" + path_ + "\" in turn: it was opened for reading only");
    }
    return changeLock(exclusive ? F_WRLCK : F_RDLCK, kChangeLockOffset + 1);
  }
  void unlockTurn() override { changeLock(F_UNLCK, kChangeLockOffset + 1); }

 private:
  bool changeLock(short type, off_t offset = kChangeLockOffset) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
#ifdef F_OFD_SETLK
    const int command = F_OFD_SETLK;
#else
    const int command = F_SETLK;
#endif
    while (::fcntl(fd_, command, &lock) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return false;
      ThrowIo(path_, "Cannot lock", errno);
    }
    return true;
  }

  static constexpr off_t kChangeLockOffset = off_t{1} << 62;

  std::string path_;
  int fd_;
  bool writable_;
};

bool IsRegularEntry(DIR* dir, const dirent& e) {
  const std::string_view name = e.d_name;
  if (name == "." || name == "..") return false;
  if (e.d_type == DT_REG) return true;
  if (e.d_type != DT_LNK && e.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  return ::fstatat(::dirfd(dir), e.d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

// Removes every entry of the directory open as `fd` (and closes it):
// files and links by unlinkat() on that descriptor, directories (opened
// without following a link) with their entries first.
void RemoveEntriesAt(int fd, const std::string& path) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    ::close(fd);
    ThrowIo(path, "Cannot list the directory", error);
  }
  std::vector<std::string> files;
  std::vector<std::string> directories;
  for (dirent* e = ::readdir(dir); e != nullptr; e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    const bool is_dir =
        ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    (is_dir ? directories : files).emplace_back(name);
  }
  int error = 0;
  std::string failed;
  for (const std::string& name : files) {
    if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT && error == 0) {
      error = errno;
      failed = name;
    }
  }
  for (const std::string& name : directories) {
    const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) {
      try {
        RemoveEntriesAt(sub, JoinPath(path, name));
      } catch (const EDBEngineError&) {
        // Reported by the removal of the directory below.
      }
    }
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && error == 0) {
      error = errno;
      failed = name;
    }
  }
  ::closedir(dir);
  if (error != 0) ThrowIo(JoinPath(path, failed), "Cannot delete", error);
}

class PosixFileSystem final : public FileSystem {
 public:
  void syncFiles(const std::vector<File*>& files) override {
    if (files.size() < 2) {
      for (File* f : files) f->sync();
      return;
    }
    std::vector<std::exception_ptr> errors(files.size());
    std::vector<std::thread> threads;
    threads.reserve(files.size() - 1);
    auto sync_one = [&](size_t i) {
      try {
        files[i]->sync();
      } catch (...) {
        errors[i] = std::current_exception();
      }
    };
    for (size_t i = 1; i < files.size(); ++i) {
      try {
        threads.emplace_back(sync_one, i);
      } catch (const std::system_error&) {
        sync_one(i);  // no thread to be had: sync it here
      }
    }
    sync_one(0);
    for (auto& t : threads) t.join();
    for (auto& e : errors) {
      if (e) std::rethrow_exception(e);
    }
  }

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kRead:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR | O_NOFOLLOW;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
        break;
      case OpenMode::kCreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
      case OpenMode::kCreateOutput:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    // A file that may only be read is refused for writing here (EACCES,
    // EROFS); whoever can do with reading opens it again for that.
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
      throw EDBEngineError(
          ErrorCategory::kIo, subcode::kGeneric,
          "Cannot write \"" + path + "\": it is a symbolic link, which is never followed", ELOOP);
    }
    if (fd < 0) ThrowIo(path, "Cannot open", errno);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      ThrowIo(path, "Cannot open a directory as a file:", EISDIR);
    }
    return std::make_unique<PosixFile>(path, fd, mode != OpenMode::kRead);
  }

  bool exists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }

  bool isDirectory(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  void remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowIo(path, "Cannot delete", errno);
  }

  void rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) ThrowIo(from, "Cannot rename", errno);
  }

  // The entry's type comes with the listing on most file systems; only
  // symbolic links (counted as what they point to) and entries of unknown
  // type cost a stat.
  std::vector<std::string> list(const std::string& directory) override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) ThrowIo(directory, "Cannot list the directory", errno);
    int error = 0;
    for (;;) {
      errno = 0;
      dirent* e = ::readdir(dir);
      if (e == nullptr) {
        error = errno;
        break;
      }
      if (IsRegularEntry(dir, *e)) names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    if (error != 0) ThrowIo(directory, "Cannot list the directory", error);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::optional<DirectoryStamp> directoryStamp(const std::string& directory) override {
    struct stat st {};
    if (::stat(directory.empty() ? "." : directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return std::nullopt;
    }
    DirectoryStamp stamp;
    stamp.device = static_cast<uint64_t>(st.st_dev);
    stamp.inode = static_cast<uint64_t>(st.st_ino);
    stamp.modified_ns = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.changed_ns = int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec;
    stamp.size = static_cast<uint64_t>(st.st_size);
    return stamp;
  }

  void makeDirectories(const std::string& path) override {
    if (path.empty() || isDirectory(path)) return;
    std::string parent = DirectoryOf(path);
    if (!parent.empty() && parent != path) makeDirectories(parent);
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      ThrowIo(path, "Cannot create directory", errno);
    }
  }

  void removeDirectory(const std::string& path) override {
    if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
      ThrowIo(path, "Cannot remove the directory", errno);
    }
  }

  bool isLink(const std::string& path) override {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  bool createDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    const int error = errno;
    struct stat st {};
    if (error == EEXIST && ::lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return false;
      RefuseWorkArea(path, S_ISLNK(st.st_mode) ? kALink : kNotADirectory);
    }
    ThrowIo(path, "Cannot create directory", error);
  }

  void removeTree(const std::string& path) override {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return;
      ThrowIo(path, "Cannot delete", errno);
    }
    if (!S_ISDIR(st.st_mode)) {
      remove(path);
      return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) ThrowIo(path, "Cannot delete", errno);
    RemoveEntriesAt(fd, path);  // closes fd
    removeDirectory(path);
  }

  bool sameDirectory(const std::string& a, const std::string& b) override {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.empty() ? "." : a.c_str(), &sa) == 0 &&
        ::stat(b.empty() ? "." : b.c_str(), &sb) == 0) {
      return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return FileSystem::sameDirectory(a, b);
  }

  bool canWriteFile(const std::string& path) override { return ::access(path.c_str(), W_OK) == 0; }

  bool canWriteDirectory(const std::string& directory) override {
    const char* path = directory.empty() ? "." : directory.c_str();
    return isDirectory(path) && ::access(path, W_OK | X_OK) == 0;
  }

  std::optional<uint64_t> availableBytes(const std::string& directory) override {
    BackgroundCloser::Instance().drain();  // space of deleted files still being freed
    struct statvfs st {};
    if (::statvfs(directory.empty() ? "." : directory.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  }

  void syncDirectory(const std::string& path) override {
    int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // File systems that cannot sync a directory say EINVAL; they keep their
    // entries durable by other means.
    const int failed = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    if (failed != 0) ThrowIo(path, "Cannot sync the directory", failed);
  }

#ifdef __linux__
  void syncTogether(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) override {
    if (files.empty() && directories.empty()) return;
    const std::string anchor = !directories.empty() ? directories.front() : files.front();
    const int fd = ::open(anchor.empty() ? "." : anchor.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowIo(anchor, "Cannot sync", errno);
    // One flush of the whole file system; since Linux 5.8 it also reports
    // a failed writeback of any file there.
    const int failed = ::syncfs(fd) != 0 ? errno : 0;
    ::close(fd);
    if (failed != 0) ThrowIo(anchor, "Cannot sync the file system of", failed);
  }
#endif
};

PosixFileSystem g_posix;
IndexedFileSystem g_indexed(g_posix);
FileSystem* g_default = &g_indexed;

}  // namespace

void FileSystem::syncTogether(const std::vector<std::string>& files,
                              const std::vector<std::string>& directories) {
  for (const std::string& path : files) open(path, OpenMode::kReadWrite)->sync();
  for (const std::string& path : directories) syncDirectory(path);
}

bool FileSystem::createDirectory(const std::string& path) {
  if (isLink(path)) RefuseWorkArea(path, kALink);
  if (isDirectory(path)) return false;
  if (exists(path)) RefuseWorkArea(path, kNotADirectory);
  makeDirectories(path);
  return true;
}

void FileSystem::removeTree(const std::string& path) {
  if (isLink(path) || (exists(path) && !isDirectory(path))) {
    remove(path);
    return;
  }
  if (!isDirectory(path)) return;
  for (const std::string& f : list(path)) remove(JoinPath(path, f));
  removeDirectory(path);
}

void RefuseWorkArea(const std::string& path, const char* what) {
  throw EDBEngineError(ErrorCategory::kIo, subcode::kGeneric,
                       "Cannot use \"" + path + "\" for this program's work: it is " + what +
                           "; remove it and try again");
}

bool FileSystem::sameDirectory(const std::string& a, const std::string& b) {
  const auto normal = [](const std::string& path) {
    std::error_code error;
    std::filesystem::path p =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    if (!p.has_filename() && p != p.root_path()) p = p.parent_path();
    return p;
  };
  return normal(a.empty() ? "." : a) == normal(b.empty() ? "." : b);
}

FileSystem& FileSystem::Default() { return *g_default; }
void FileSystem::SetDefault(FileSystem* fs) { g_default = fs != nullptr ? fs : &g_indexed; }
FileSystem& FileSystem::Posix() { return g_posix; }

void WaitForBackgroundCloses() { BackgroundCloser::Instance().drain(); }

void HoldBackgroundClosesForTests(bool held) { BackgroundCloser::Instance().hold(held); }

std::optional<std::string> FileSystem::findFile(const std::string& directory,
                                                const std::string& name) {
  const std::string direct = JoinPath(directory, name);
  if (exists(direct) && !isDirectory(direct)) return name;
  if (!isDirectory(directory.empty() ? "." : directory)) return std::nullopt;
  for (std::string& entry : list(directory)) {
    if (SameNameIgnoringCase(entry, name)) return std::move(entry);
  }
  return std::nullopt;
}

std::vector<std::string> FileSystem::listPrefix(const std::string& directory,
                                                const std::string& prefix) {
  std::vector<std::string> matching;
  for (std::string& entry : list(directory)) {
    if (entry.size() >= prefix.size() &&
        SameNameIgnoringCase(std::string_view(entry).substr(0, prefix.size()), prefix)) {
      matching.push_back(std::move(entry));
    }
  }
  return matching;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string FileNameOf(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string StripExtension(const std::string& name) {
  auto dot = name.find_last_of('.');
  auto slash = name.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
}

std::string ExtensionOf(const std::string& name) {
  auto dot = name.find_last_of('.');
  auto slash = name.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return name.substr(dot);
}

std::string ResolveCaseInsensitive(FileSystem& fs, const std::string& directory,
                                   const std::string& name, bool* found) {
  const std::optional<std::string> entry = fs.findFile(directory, name);
  if (found) *found = entry.has_value();
  return JoinPath(directory, entry ? *entry : name);
}

std::vector<uint8_t> ReadWholeFile(File& file) {
  std::vector<uint8_t> data(static_cast<size_t>(file.size()));
  size_t n = file.read(0, data.data(), data.size());
  data.resize(n);
  return data;
}

}  // namespace vellum::engine
