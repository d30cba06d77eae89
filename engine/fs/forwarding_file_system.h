// ForwardingFileSystem and ForwardingFile: a FileSystem and a File that
// pass every call on to another one, for wrappers that watch or change a
// few operations (the fault and power-loss file systems of tests, the
// directory index) and must forward all the others faithfully.
//
// UnsyncedFileSystem forwards everything but syncs: files written through
// it are made durable later, all at once, by whoever owns them (a batch of
// new tables, a restructure's work directory), through the base.
//
// A wrapper derives from them and overrides what it changes; an operation
// added to FileSystem or File is added here once, so that no wrapper falls
// back silently to a default that answers for a file system it does not
// know (a symbolic link taken for none, free space unknown, a change lock
// that conflicts with nothing).
//
// Ownership: ForwardingFileSystem uses its base, which must outlive it;
// ForwardingFile owns its base file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/fs/file_system.h"

namespace vellum::engine {

class ForwardingFile : public File {
 public:
  explicit ForwardingFile(std::unique_ptr<File> base) : base_(std::move(base)) {}

  const std::string& path() const override { return base_->path(); }
  uint64_t size() override { return base_->size(); }
  size_t read(uint64_t offset, void* buffer, size_t n) override {
    return base_->read(offset, buffer, n);
  }
  void write(uint64_t offset, const void* data, size_t n) override {
    base_->write(offset, data, n);
  }
  void truncate(uint64_t size) override { base_->truncate(size); }
  void sync() override { base_->sync(); }
  void hintWriteback(uint64_t offset, uint64_t length) override {
    base_->hintWriteback(offset, length);
  }
  bool tryLock(bool exclusive) override { return base_->tryLock(exclusive); }
  void unlock() override { base_->unlock(); }
  bool tryLockChanges(bool exclusive) override { return base_->tryLockChanges(exclusive); }
  void unlockChanges() override { base_->unlockChanges(); }
  bool tryLockTurn(bool exclusive) override { return base_->tryLockTurn(exclusive); }
  void unlockTurn() override { base_->unlockTurn(); }

 protected:
  File& base() { return *base_; }

 private:
  std::unique_ptr<File> base_;
};

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& base) : base_(base) {}

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    return base_.open(path, mode);
  }
  bool exists(const std::string& path) override { return base_.exists(path); }
  bool isDirectory(const std::string& path) override { return base_.isDirectory(path); }
  void remove(const std::string& path) override { base_.remove(path); }
  void rename(const std::string& from, const std::string& to) override { base_.rename(from, to); }
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
  void makeDirectories(const std::string& path) override { base_.makeDirectories(path); }
  void syncDirectory(const std::string& path) override { base_.syncDirectory(path); }
  void removeDirectory(const std::string& path) override { base_.removeDirectory(path); }
  bool createDirectory(const std::string& path) override { return base_.createDirectory(path); }
  void removeTree(const std::string& path) override { base_.removeTree(path); }
  bool isLink(const std::string& path) override { return base_.isLink(path); }
  bool canWriteFile(const std::string& path) override { return base_.canWriteFile(path); }
  bool canWriteDirectory(const std::string& directory) override {
    return base_.canWriteDirectory(directory);
  }
  bool sameDirectory(const std::string& a, const std::string& b) override {
    return base_.sameDirectory(a, b);
  }
  std::optional<uint64_t> availableBytes(const std::string& directory) override {
    return base_.availableBytes(directory);
  }
  // Forwarded as they are: right for wrappers whose open() hands out the
  // base's own files. A wrapper that hands out files of its own (which may
  // count or record each sync, one thread at a time) syncs them itself, one
  // after the other, with SyncEachFile().
  void syncFiles(const std::vector<File*>& files) override { base_.syncFiles(files); }
  void syncTogether(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) override {
    base_.syncTogether(files, directories);
  }

 protected:
  FileSystem& base() { return base_; }
  // Syncs `files` one after the other, through each file's own sync().
  static void SyncEachFile(const std::vector<File*>& files) {
    for (File* f : files) f->sync();
  }
  // Syncs each of `files` and `directories` in turn through this wrapper.
  void syncEachPath(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) {
    FileSystem::syncTogether(files, directories);
  }

 private:
  FileSystem& base_;
};

// A file whose syncs are left to its owner.
class UnsyncedFile final : public ForwardingFile {
 public:
  using ForwardingFile::ForwardingFile;
  void sync() override {}
};

// Every sync of a file or directory through it is left to its owner, who
// syncs the files through the base once they are complete.
class UnsyncedFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override {
    return std::make_unique<UnsyncedFile>(base().open(path, mode));
  }
  void syncDirectory(const std::string&) override {}
  void syncFiles(const std::vector<File*>&) override {}
  void syncTogether(const std::vector<std::string>&, const std::vector<std::string>&) override {}
};

}  // namespace vellum::engine
