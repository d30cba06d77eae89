// A FileSystem wrapper for crash tests that models a power loss.
//
// A process that is killed loses nothing that reached the page cache; a
// machine that loses power loses everything not yet synced. This wrapper
// keeps, beside the real files, what of them is durable: the bytes of each
// file as of its last sync, and the entries of each directory (files
// created, renamed or removed, directories made or removed) as of that
// directory's last sync. dropUnsynced() puts the disk back to exactly that
// durable state, as the machine would find it after the power came back: a
// write that was not synced is gone, a new file whose directory was not
// synced is gone, a rename or a removal that was not synced is undone.
//
// Only what goes through this wrapper is modelled: a file or directory is
// taken as durable as it stands the first time the wrapper touches it. The
// durable bytes of a file are read back at each sync, so the wrapper suits
// the small tables of crash tests, not large ones. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/fs/forwarding_file_system.h"

namespace vellum::engine {

class PowerLossFileSystem final : public ForwardingFileSystem {
 public:
  explicit PowerLossFileSystem(FileSystem& base) : ForwardingFileSystem(base) {}

  // Puts every file and directory entry the wrapper has seen back to its
  // durable state, on the real disk.
  void dropUnsynced();

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  void remove(const std::string& path) override;
  void rename(const std::string& from, const std::string& to) override;
  void makeDirectories(const std::string& path) override;
  void syncDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
  // Made of the operations above, so that each is tracked.
  bool createDirectory(const std::string& path) override {
    return FileSystem::createDirectory(path);  // NOLINT(bugprone-parent-virtual-call)
  }
  void removeTree(const std::string& path) override {
    FileSystem::removeTree(path);  // NOLINT(bugprone-parent-virtual-call)
  }
  // Its files record what each sync made durable, one at a time.
  void syncFiles(const std::vector<File*>& files) override { SyncEachFile(files); }
  void syncTogether(const std::vector<std::string>& files,
                    const std::vector<std::string>& directories) override {
    syncEachPath(files, directories);
  }

  // Called by the wrapper's files when they are synced.
  void fileSynced(int node, File& base_file);

 private:
  struct Node {
    bool directory = false;
    std::vector<uint8_t> durable;  // a file's bytes as of its last sync
  };

  // Registers `path` the first time it is touched: what is there now is
  // durable. Returns the node at `path`, if any.
  std::optional<int> see(const std::string& path);
  int newNode(bool directory);
  void restoreEntry(const std::string& path, std::optional<int> node);

  std::vector<Node> nodes_;
  std::map<std::string, int> current_;  // path -> node, for paths seen that exist now
  std::map<std::string, bool> seen_;    // every path seen
  // Directory -> entry name -> durable node (nullopt: no durable entry), for
  // every entry seen.
  std::map<std::string, std::map<std::string, std::optional<int>>> durable_;
};

}  // namespace vellum::engine
