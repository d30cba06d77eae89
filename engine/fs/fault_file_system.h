// A FileSystem wrapper for tests: numbers every operation that changes the
// disk (write, truncate, sync, rename, remove, directory creation and sync)
// and, at a chosen number, either ends the process at once (a crash) or
// fails the operation with an I/O error such as a full disk. Over a
// PowerLossFileSystem, a crash also loses what was not yet synced.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "engine/errors.h"
#include "engine/fs/file_system.h"

namespace vellum::engine {

class FaultFileSystem : public FileSystem {
 public:
  enum class Mode { kCount, kCrash, kFail };

  explicit FaultFileSystem(FileSystem& base) : base_(base) {}

  // Operation number `n` (1-based) crashes or fails; 0 disables.
  void arm(uint64_t n, Mode mode, int error = ENOSPC) {
    fault_at_ = n;
    mode_ = mode;
    error_ = error;
  }
  uint64_t operations() const { return count_; }
  // Runs right before the process ends at a crash (e.g. to drop what a
  // power loss would lose).
  std::function<void()> on_crash;

  // Counts one disk-changing operation; crashes or fails when armed for it.
  void step(const std::string& path, const char* what) {
    ++count_;
    if (fault_at_ == 0 || count_ != fault_at_) return;
    if (mode_ == Mode::kCrash) {
      if (on_crash) on_crash();
      std::_Exit(0);
    }
    if (mode_ == Mode::kFail) ThrowIo(path, std::string("Cannot ") + what, error_);
  }

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  bool exists(const std::string& path) override { return base_.exists(path); }
  bool isDirectory(const std::string& path) override { return base_.isDirectory(path); }
  void remove(const std::string& path) override {
    step(path, "delete");
    base_.remove(path);
  }
  void rename(const std::string& from, const std::string& to) override {
    step(from, "rename");
    base_.rename(from, to);
  }
  std::vector<std::string> list(const std::string& directory) override {
    return base_.list(directory);
  }
  std::optional<std::string> findFile(const std::string& directory,
                                      const std::string& name) override {
    return base_.findFile(directory, name);
  }
  std::vector<std::string> listPrefix(const std::string& directory,
                                      const std::string& prefix) override {
    return base_.listPrefix(directory, prefix);
  }
  std::optional<DirectoryStamp> directoryStamp(const std::string& directory) override {
    return base_.directoryStamp(directory);
  }
  void makeDirectories(const std::string& path) override {
    step(path, "create directory");
    base_.makeDirectories(path);
  }
  void syncDirectory(const std::string& path) override {
    step(path, "sync");
    base_.syncDirectory(path);
  }
  void removeDirectory(const std::string& path) override {
    step(path, "remove directory");
    base_.removeDirectory(path);
  }
  bool isLink(const std::string& path) override { return base_.isLink(path); }
  bool sameDirectory(const std::string& a, const std::string& b) override {
    return base_.sameDirectory(a, b);
  }
  bool canWriteDirectory(const std::string& directory) override {
    return base_.canWriteDirectory(directory);
  }
  std::optional<uint64_t> availableBytes(const std::string& directory) override {
    return base_.availableBytes(directory);
  }

 private:
  FileSystem& base_;
  uint64_t count_ = 0;
  uint64_t fault_at_ = 0;
  Mode mode_ = Mode::kCount;
  int error_ = ENOSPC;
};

namespace detail {
class FaultFile : public File {
 public:
  FaultFile(FaultFileSystem& fs, std::unique_ptr<File> base) : fs_(fs), base_(std::move(base)) {}
  const std::string& path() const override { return base_->path(); }
  uint64_t size() override { return base_->size(); }
  size_t read(uint64_t offset, void* buffer, size_t n) override {
    return base_->read(offset, buffer, n);
  }
  void write(uint64_t offset, const void* data, size_t n) override {
    fs_.step(path(), "write");
    base_->write(offset, data, n);
  }
  void truncate(uint64_t size) override {
    fs_.step(path(), "resize");
    base_->truncate(size);
  }
  void sync() override {
    fs_.step(path(), "sync");
    base_->sync();
  }
  // Not a numbered operation: a hint changes nothing a crash could observe.
  void hintWriteback(uint64_t offset, uint64_t length) override {
    base_->hintWriteback(offset, length);
  }
  bool tryLock(bool exclusive) override { return base_->tryLock(exclusive); }
  void unlock() override { base_->unlock(); }
  bool tryLockChanges(bool exclusive) override { return base_->tryLockChanges(exclusive); }
  void unlockChanges() override { base_->unlockChanges(); }

 private:
  FaultFileSystem& fs_;
  std::unique_ptr<File> base_;
};
}  // namespace detail

inline std::unique_ptr<File> FaultFileSystem::open(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::kCreate) step(path, "create");
  return std::make_unique<detail::FaultFile>(*this, base_.open(path, mode));
}

}  // namespace vellum::engine
