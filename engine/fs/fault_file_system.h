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
#include "engine/fs/forwarding_file_system.h"

namespace vellum::engine {

class FaultFileSystem : public ForwardingFileSystem {
 public:
  enum class Mode { kCount, kCrash, kFail };

  explicit FaultFileSystem(FileSystem& base) : ForwardingFileSystem(base) {}

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
  void remove(const std::string& path) override {
    step(path, "delete");
    base().remove(path);
  }
  void rename(const std::string& from, const std::string& to) override {
    step(from, "rename");
    base().rename(from, to);
  }
  void makeDirectories(const std::string& path) override {
    step(path, "create directory");
    base().makeDirectories(path);
  }
  void syncDirectory(const std::string& path) override {
    step(path, "sync");
    base().syncDirectory(path);
  }
  void removeDirectory(const std::string& path) override {
    step(path, "remove directory");
    base().removeDirectory(path);
  }
  // Made of the numbered operations above.
  bool createDirectory(const std::string& path) override {
    return FileSystem::createDirectory(path);  // NOLINT(bugprone-parent-virtual-call)
  }
  void removeTree(const std::string& path) override {
    FileSystem::removeTree(path);  // NOLINT(bugprone-parent-virtual-call)
  }
  // Each file's sync is a numbered operation of its own.
  void syncFiles(const std::vector<File*>& files) override { SyncEachFile(files); }
  void syncTogether(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) override {
    syncEachPath(files, directories);
  }

 private:
  uint64_t count_ = 0;
  uint64_t fault_at_ = 0;
  Mode mode_ = Mode::kCount;
  int error_ = ENOSPC;
};

namespace detail {
class FaultFile : public ForwardingFile {
 public:
  FaultFile(FaultFileSystem& fs, std::unique_ptr<File> base)
      : ForwardingFile(std::move(base)), fs_(fs) {}
  void write(uint64_t offset, const void* data, size_t n) override {
    fs_.step(path(), "write");
    base().write(offset, data, n);
  }
  void truncate(uint64_t size) override {
    fs_.step(path(), "resize");
    base().truncate(size);
  }
  void sync() override {
    fs_.step(path(), "sync");
    base().sync();
  }
  // hintWriteback is not a numbered operation: a hint changes nothing a
  // crash could observe.

 private:
  FaultFileSystem& fs_;
};
}  // namespace detail

inline std::unique_ptr<File> FaultFileSystem::open(const std::string& path, OpenMode mode) {
  if (CreatesFile(mode)) step(path, "create");
  return std::make_unique<detail::FaultFile>(*this, base().open(path, mode));
}

}  // namespace vellum::engine
