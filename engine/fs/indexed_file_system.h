// IndexedFileSystem: a FileSystem that keeps an index of the names in each
// directory it is asked about, so that finding a file without regard to
// letter case costs one stat of the directory and a search of the index,
// however many entries the directory holds.
//
// Ownership and lifetime: it forwards every operation to the FileSystem it
// is made over (those it does not override unchanged: ForwardingFileSystem), which must outlive it;
// it owns its indexes. Thread-safe: the indexes are guarded by a mutex, the base's calls run
// outside it.
//
// Invariants of one directory's index, kept between calls:
// - it holds the names of the directory's regular files as of its stamp
//   (DirectoryStamp: device, inode, modification and change time, size),
//   taken just before the listing it was built from;
// - the engine's own creates, removes and renames through this object update
//   it in place and take a new stamp, so they cost no listing; a stamp that
//   had moved before such a change (someone else changed the directory)
//   throws the index away instead;
// - every lookup takes the directory's stamp once; a stamp that differs from
//   the index's means another program changed the directory, and the
//   directory is listed again.
// File-system clocks are coarse (a few milliseconds; a second or two on some
// file systems), so a change made right after a listing may leave the stamp
// as it was. Hence:
// - a listing taken while the directory's last change is within the clock's
//   granularity of now is "racy", and every lookup lists again until a
//   listing is not;
// - the engine's own changes stamp the directory without listing it, so a
//   change another program makes at the same tick could go unseen; an index
//   changed that way is listed again at its first use after kRecheckNs.
// A directory is never examined entry by entry through the base: one list()
// per listing, one directoryStamp() per lookup and two per change.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "engine/fs/forwarding_file_system.h"

namespace vellum::engine {

class IndexedFileSystem final : public ForwardingFileSystem {
 public:
  // Clock giving the time since the epoch in nanoseconds, on the same scale
  // as the file system's time stamps.
  using Clock = std::function<int64_t()>;

  // Directories indexed at most at once; the least recently used goes.
  static constexpr size_t kMaxDirectories = 64;
  // Granularity of file-system time stamps allowed for (one clock tick).
  static constexpr int64_t kFineGranularityNs = 20'000'000;
  // Allowed for when a stamp's times have no sub-second part (file systems
  // that keep whole or even seconds).
  static constexpr int64_t kCoarseGranularityNs = 2'000'000'000;
  // How long an index kept up to date by the engine's own changes is
  // trusted before it is checked against a new listing.
  static constexpr int64_t kRecheckNs = 1'000'000'000;

  explicit IndexedFileSystem(FileSystem& base, Clock clock = nullptr);
  ~IndexedFileSystem() override;
  IndexedFileSystem(const IndexedFileSystem&) = delete;
  IndexedFileSystem& operator=(const IndexedFileSystem&) = delete;

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  void remove(const std::string& path) override;
  void rename(const std::string& from, const std::string& to) override;
  std::vector<std::string> list(const std::string& directory) override;
  std::optional<std::string> findFile(const std::string& directory,
                                      const std::string& name) override;
  std::vector<std::string> listPrefix(const std::string& directory,
                                      const std::string& prefix) override;
  void makeDirectories(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
  bool createDirectory(const std::string& path) override;
  void removeTree(const std::string& path) override;

  // Forgets every index (the next lookup of each directory lists it).
  void clear();
  // Number of directories indexed now (tests).
  size_t indexedDirectories() const;

 private:
  class Index;
  class Watch;
  struct Names;

  // Runs `use` on the current names of `directory`, listing it first when
  // its index is missing or out of date. False (and `use` not run) when the
  // directory has no stamp; errors of the listing go to the caller.
  template <typename Use>
  bool withNames(const std::string& directory, Use use);
  int64_t now() const { return clock_(); }

  Clock clock_;
  mutable std::mutex mutex_;
  std::unique_ptr<Index> index_;  // guarded by mutex_
};

}  // namespace vellum::engine
