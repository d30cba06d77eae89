// A FileSystem that keeps every file in memory: for the fuzz targets, which
// hand the engine the bytes libFuzzer generates as if they were files on
// disk, and for the engine's own trial runs that must leave the disk alone
// (a table definition is tried by creating the table here). Files are byte vectors shared
// by every open handle of them, so that, as on a POSIX file system, a handle
// sees what another one writes, a removed file stays readable through the
// handles still open on it, and creating a file that exists truncates it in
// place. Directories exist only as names; the root ("" or ".") always exists.
// Files cannot grow past a size limit: a write beyond it fails like a full
// disk, so that a damaged file cannot make the engine eat all memory.
//
// Not thread-safe: each fuzz input gets its own instance.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"

namespace vellum::engine {

class MemoryFileSystem final : public FileSystem {
 public:
  using Contents = std::vector<uint8_t>;

  explicit MemoryFileSystem(uint64_t max_file_size = uint64_t{64} << 20);

  // Adds (or replaces) a file, creating its directory.
  void addFile(const std::string& path, const uint8_t* data, size_t size);
  void addFile(const std::string& path, Contents data);
  // Bytes of a file, or nullptr when there is none.
  const Contents* contents(const std::string& path) const;
  // Every file with its bytes, by path (for snapshots of a prepared set of files).
  std::map<std::string, Contents> snapshot() const;

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  bool exists(const std::string& path) override;
  bool isDirectory(const std::string& path) override;
  void remove(const std::string& path) override;
  void rename(const std::string& from, const std::string& to) override;
  std::vector<std::string> list(const std::string& directory) override;
  void makeDirectories(const std::string& path) override;
  void syncDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
  void removeTree(const std::string& path) override;

 private:
  static std::string Normalize(const std::string& directory);

  uint64_t max_file_size_;
  std::map<std::string, std::shared_ptr<Contents>> files_;
  std::set<std::string> directories_;
};

}  // namespace vellum::engine
