// ReusedFile: a file that takes over the blocks of an old one instead of
// emptying it, as if it had been created anew.
//
// Emptying a file frees its blocks (at a cost on file systems that discard
// freed blocks at once) only for the new content to allocate them again.
// ReusedContent records instead what has been written since the file was
// taken over and the size given to it; every other byte is the old file's
// and reads as zeros through ReusedFile. finish() then writes those zeros
// and cuts the file to its size, after which the file holds exactly what a
// new file given the same writes would. Until then the file's bytes on
// disk are the old file's where nothing was written: only a file nobody
// else reads (one in a work directory) may be taken over.
//
// Ownership: ReusedFile owns its base file and shares its ReusedContent
// with every other handle of the same file and with whoever finishes it.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "engine/fs/forwarding_file_system.h"

namespace vellum::engine {

class ReusedContent {
 public:
  // The size given to the file, as a new file would have it.
  uint64_t size() const { return size_; }
  void wrote(uint64_t offset, uint64_t n);
  void truncated(uint64_t size);
  // Zeroes what was not written in `buffer`, which holds bytes
  // [offset, offset + n) of the file as read.
  void blankUnwritten(uint64_t offset, uint8_t* buffer, size_t n) const;
  // Writes zeros over what was not written below the size and cuts the file
  // to its size: `file` is then what a new file would be.
  void finish(File& file) const;

 private:
  std::map<uint64_t, uint64_t> written_;  // start -> end; disjoint, not touching
  uint64_t size_ = 0;
};

class ReusedFile final : public ForwardingFile {
 public:
  ReusedFile(std::unique_ptr<File> base, std::shared_ptr<ReusedContent> content)
      : ForwardingFile(std::move(base)), content_(std::move(content)) {}
  uint64_t size() override { return content_->size(); }
  size_t read(uint64_t offset, void* buffer, size_t n) override;
  void write(uint64_t offset, const void* data, size_t n) override;
  // Sets the size only; the file is cut by finish().
  void truncate(uint64_t size) override { content_->truncated(size); }

 private:
  std::shared_ptr<ReusedContent> content_;
};

// A file system through which new files take over discarded ones: those its
// owner has moved into the directory `pool` and named with addPooled().
// Creating a file takes the pooled file of the same name (letter case
// aside) if there is one -- or, while takeAnyName() is on, any other -- and
// opens it as a ReusedFile; otherwise it creates the file as usual. Every sync
// through it is left to the owner, who calls finishReused() once the files
// are complete and then syncs them through the base.
class ReusingFileSystem final : public UnsyncedFileSystem {
 public:
  ReusingFileSystem(FileSystem& base, std::string pool)
      : UnsyncedFileSystem(base), pool_(std::move(pool)) {}
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  void remove(const std::string& path) override;
  void rename(const std::string& from, const std::string& to) override;

  // Off, a pooled file waits for a file of its own name (a table created
  // again); on, any file created may take it (a restructure's new files,
  // whose names are the table's own).
  void takeAnyName(bool on) { any_name_ = on; }
  // Turns takeAnyName() on for its lifetime; does nothing given nullptr.
  class AnyNameScope {
   public:
    explicit AnyNameScope(ReusingFileSystem* fs) : fs_(fs) {
      if (fs_) fs_->takeAnyName(true);
    }
    ~AnyNameScope() {
      if (fs_) fs_->takeAnyName(false);
    }
    AnyNameScope(const AnyNameScope&) = delete;
    AnyNameScope& operator=(const AnyNameScope&) = delete;

   private:
    ReusingFileSystem* fs_;
  };
  bool pooled(const std::string& name) const { return pooled_.count(name) != 0; }
  // `name` (upper case) is now in the pool.
  void addPooled(const std::string& name) { pooled_.insert(name); }
  // The pool and the files taken from it are gone.
  void forgetPooled();
  // Gives each file taken over (that is still there) the bytes and size of a
  // new file with the same writes.
  void finishReused();

 private:
  bool take(const std::string& path);

  struct Reused {
    std::string path;
    std::shared_ptr<ReusedContent> content;
  };
  std::string pool_;
  bool any_name_ = false;
  std::set<std::string> pooled_;          // upper-case names in pool_
  std::map<std::string, Reused> reused_;  // by upper-case path
};

}  // namespace vellum::engine
