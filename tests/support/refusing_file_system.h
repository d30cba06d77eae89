// A FileSystem wrapper for tests that refuses what the system would refuse a
// user: reading files that are not readable, writing files that may only be
// read, changing directories that are not writable, and room on a disk that
// is nearly full. Everything else goes to the wrapped file system. Paths are
// matched as the engine passes them. A read-only medium is both: every
// directory read-only and every file write-protected.
#pragma once

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/fs/file_system.h"

namespace vellum::test {

class RefusingFileSystem : public engine::FileSystem {
 public:
  explicit RefusingFileSystem(engine::FileSystem& base) : base_(base) {}

  // Files that cannot be opened (EACCES).
  std::function<bool(const std::string& path)> unreadable;
  // Existing files that cannot be opened for writing (EACCES); they open
  // for reading.
  std::function<bool(const std::string& path)> write_protected;
  // Directories whose entries cannot be created, renamed or removed (EACCES).
  std::function<bool(const std::string& directory)> read_only;
  // The room every directory reports; unset: the wrapped file system's.
  std::optional<uint64_t> available;

  std::unique_ptr<engine::File> open(const std::string& path, engine::OpenMode mode) override {
    if (unreadable && unreadable(path)) engine::ThrowIo(path, "Cannot open", EACCES);
    if (engine::CreatesFile(mode) && !base_.exists(path)) refuseIn(path);
    if (mode != engine::OpenMode::kRead && write_protected && write_protected(path) &&
        base_.exists(path)) {
      engine::ThrowIo(path, "Cannot open", EACCES);
    }
    return base_.open(path, mode);
  }
  bool exists(const std::string& path) override { return base_.exists(path); }
  bool isDirectory(const std::string& path) override { return base_.isDirectory(path); }
  void remove(const std::string& path) override {
    if (base_.exists(path)) refuseIn(path);
    base_.remove(path);
  }
  void rename(const std::string& from, const std::string& to) override {
    refuseIn(from);
    refuseIn(to);
    base_.rename(from, to);
  }
  std::vector<std::string> list(const std::string& directory) override {
    return base_.list(directory);
  }
  void makeDirectories(const std::string& path) override {
    if (!base_.isDirectory(path)) refuseIn(path);
    base_.makeDirectories(path);
  }
  void syncDirectory(const std::string& path) override { base_.syncDirectory(path); }
  void removeDirectory(const std::string& path) override {
    if (base_.exists(path)) refuseIn(path);
    base_.removeDirectory(path);
  }
  bool isLink(const std::string& path) override { return base_.isLink(path); }
  bool sameDirectory(const std::string& a, const std::string& b) override {
    return base_.sameDirectory(a, b);
  }
  bool canWriteFile(const std::string& path) override {
    return !(write_protected && write_protected(path)) && base_.canWriteFile(path);
  }
  bool canWriteDirectory(const std::string& directory) override {
    return !(read_only && read_only(directory)) && base_.canWriteDirectory(directory);
  }
  std::optional<uint64_t> availableBytes(const std::string& directory) override {
    return available ? available : base_.availableBytes(directory);
  }

 private:
  // Refuses a change of an entry of `path`'s directory when it is read-only.
  void refuseIn(const std::string& path) {
    if (read_only && read_only(engine::DirectoryOf(path))) {
      engine::ThrowIo(path, "Cannot change", EACCES);
    }
  }

  engine::FileSystem& base_;
};

// While it lives, everything under `root` (every path beginning with it) is
// on a read-only medium for whatever uses the engine's default file system:
// a RefusingFileSystem over the default takes its place.
class ReadOnlyMediumScope {
 public:
  explicit ReadOnlyMediumScope(const std::string& root) : medium_(engine::FileSystem::Default()) {
    const auto under = [root](const std::string& path) { return path.starts_with(root); };
    medium_.read_only = under;
    medium_.write_protected = under;
    engine::FileSystem::SetDefault(&medium_);
  }
  ~ReadOnlyMediumScope() { engine::FileSystem::SetDefault(nullptr); }
  ReadOnlyMediumScope(const ReadOnlyMediumScope&) = delete;
  ReadOnlyMediumScope& operator=(const ReadOnlyMediumScope&) = delete;

 private:
  RefusingFileSystem medium_;
};

}  // namespace vellum::test
